// Helpers of the scanner's tests: profiles, a scanner object with a recording control object on
// the test thread (which is the object's thread and pumps its messages while it waits), a
// recorder for the scanner's pauses, and the device simulator as a second process.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "service/frame/fake_control_object.h"
#include "service/scanner/scanner.h"
#include "tests/support/subprocess.h"

namespace talvex::test {

using namespace std::chrono_literals;

// Generous bound for what should happen soon; only there to avoid hangs.
inline constexpr std::chrono::milliseconds kScannerPatience = 15s;

// The values of a scanner profile; a value left empty is not written.
struct ScannerProfile {
    std::string model = "6620";
    std::optional<std::string> kind;  // "Scanner Version"
    std::optional<std::string> port;  // "Serial Port"
    std::optional<std::string> firstPosUsbUnit;
};
// Writes HKLM "SOFTWARE\OLEforRetail\ServiceOPOS\Scanner\<name>" afresh.
void WriteScannerProfile(const std::string& name, const ScannerProfile& profile);
// A profile value as text, or nullopt when it is missing.
std::optional<std::string> ReadScannerProfileValue(const std::string& name,
                                                   const std::string& value);
// A value of the maker's global key (LogVerbosity, AX310Handling, VendorEnforcement).
void SetGlobalValue(const std::string& name, const std::string& value);

// Serves the calling thread's messages until `done` holds; false after `timeout`.
bool PumpUntil(const std::function<bool()>& done,
               std::chrono::milliseconds timeout = kScannerPatience);
// Serves the calling thread's messages for a while.
void PumpFor(std::chrono::milliseconds duration);

// Records the scanner's fixed pauses instead of sleeping (any thread).
class PauseRecorder {
  public:
    std::function<void(std::chrono::milliseconds)> Hook();
    std::vector<int> Pauses() const;  // milliseconds, in order
    void Clear();

  private:
    mutable std::mutex m_Lock;
    std::vector<int> m_Pauses;
};

// Timings for tests: short reconnect pauses; the statistics wait as given.
ScannerTimings FastTimings(std::chrono::milliseconds statisticsReply = 3000ms);

// A scanner with its control object, created on the calling thread (the object's thread).
class ScannerObject {
  public:
    explicit ScannerObject(ScannerTimings timings = FastTimings());
    // Closes the service, so that no subscription outlives the object.
    ~ScannerObject();
    ScannerObject(const ScannerObject&) = delete;
    ScannerObject& operator=(const ScannerObject&) = delete;

    std::int32_t Open(const std::string& profile = "Lane1");
    // Open, claim, enable; each must succeed (checked with gtest assertions by the caller).
    std::int32_t OpenClaimEnable(const std::string& profile = "Lane1");

    std::int32_t Number(std::int32_t index);
    std::string String(std::int32_t index);
    void Set(std::int32_t index, std::int32_t value);

    std::size_t DataEvents() const { return control.CountOf("SOData"); }
    // Sets DataEventEnabled and pumps until the data event number `count` has arrived.
    bool WaitForDataEvents(std::size_t count, std::chrono::milliseconds timeout = kScannerPatience);

    FakeControlObject control;
    CScanner scanner;
};

// The device simulator (sorvex-sim) as a child process. Its JSON lines are collected by a thread
// of their own, so the test thread stays free to pump messages while it waits for them.
class SimProcess {
  public:
    // Starts sorvex-sim with the arguments and waits for its "ready" line.
    explicit SimProcess(std::vector<std::string> args);
    // Ends the simulator ("quit") and waits for it.
    ~SimProcess();
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

    bool Ready() const;
    std::string Endpoint() const;
    // Sends one command line.
    void Command(const std::string& line);

    // Every line so far whose event is `event`.
    std::vector<std::string> Events(const std::string& event) const;
    // The "detail" texts of the "command" events so far.
    std::vector<std::string> Commands() const;
    // The "message" texts of the "error" events so far.
    std::vector<std::string> Errors() const;
    // Pumps the calling thread's messages until `done` holds for the lines.
    bool WaitFor(const std::function<bool(const SimProcess&)>& done,
                 std::chrono::milliseconds timeout = kScannerPatience) const;
    // Pumps until at least `count` command events have come.
    bool WaitForCommands(std::size_t count,
                         std::chrono::milliseconds timeout = kScannerPatience) const;
    std::string Stderr() const;

    // A field of a JSON line, its string value with \u00XX escapes decoded to bytes.
    static std::string Field(const std::string& line, const std::string& name);

  private:
    void Read();

    std::unique_ptr<sorvex::test::Subprocess> m_Child;
    mutable std::mutex m_Lock;
    std::condition_variable m_Changed;
    std::vector<std::string> m_Lines;
    bool m_Stop = false;
    bool m_Ended = false;
    std::string m_Ready;
    std::thread m_Reader;
};

}  // namespace talvex::test
