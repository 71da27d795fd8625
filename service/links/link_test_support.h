// Helpers for the device links' tests: a pty mapped as a COM port, registry values, trace
// capture, a recording subscriber and waiting with a generous time-out.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "tests/support/pty.h"

namespace talvex::test {

using namespace std::chrono_literals;

// Generous bound for anything that should happen "at once"; only there to avoid hangs.
inline constexpr std::chrono::milliseconds kPatience = 10s;

// Polls `done` every millisecond until it is true or `timeout` passed.
bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = kPatience);

// A pseudo terminal: the test plays the device on the master side; the link opens the slave
// and must put the line into raw mode itself.
using sorvex::test::Pty;

// HKLM "HARDWARE\DEVICEMAP\SERIALCOMM" value "COM<n>" = target.
void MapComPort(int number, const std::string& target);
// HKLM "SOFTWARE\OLEforRetail\ServiceInfo\Orvanta" value `name` (REG_SZ).
void SetServiceInfo(const std::string& name, const std::string& value);

struct TraceLine {
    int level = 0;
    std::string tag;
    std::string message;
};

// Turns the trace log on at level 4 for the current state root; off again on destruction.
class TraceCapture {
  public:
    explicit TraceCapture(int level = 4);
    ~TraceCapture();
    TraceCapture(const TraceCapture&) = delete;
    TraceCapture& operator=(const TraceCapture&) = delete;

    // Every line written so far (waits for the writer).
    std::vector<TraceLine> Lines() const;
    // The messages of the lines with this tag, in order.
    std::vector<std::string> Messages(const std::string& tag) const;
    bool Has(int level, const std::string& tag, const std::string& message) const;
};

// A subscriber that records what it receives. Thread-safe.
class Recorder {
  public:
    // Callbacks for the arbiter and the links; `context` is a Recorder.
    static int Frame(void* context, const std::string& data);
    static int Report(void* context, const std::string& report, int lost);

    void SetResult(int result);
    // Runs inside each callback, after recording (may block).
    void SetHook(std::function<void(const std::string&)> hook);

    struct Call {
        std::string data;
        int lost = 0;
    };
    std::vector<Call> Calls() const;
    std::vector<std::string> Data() const;
    std::size_t Count() const;
    bool WaitForCount(std::size_t count, std::chrono::milliseconds timeout = kPatience) const;

  private:
    int Record(const std::string& data, int lost);

    mutable std::mutex m_Mutex;
    mutable std::condition_variable m_Changed;
    std::vector<Call> m_Calls;
    int m_Result = 0;
    std::function<void(const std::string&)> m_Hook;
};

}  // namespace talvex::test
