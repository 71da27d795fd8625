// Helpers of the scale's tests: a scale the test plays on a pty mapped as a COM port or as a
// simulated USB HID device, profiles, and waiting while the object's thread serves its window.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/hid/simulated_hid_server.h"
#include "service/links/link_test_support.h"

namespace talvex::test {

// A serial reply: F8, the three status bytes as two decimal digits each, the digits, F1.
std::string SerialReply(int s0, int s1, int s2, const std::string& digits = "");
// A USB input report: report id 0, the status bytes, the digits.
std::string UsbReport(const std::string& status, const std::string& digits = "");

// The scale's side of a conversation: gets each command (the serial frame or the USB output
// report) and answers with the bytes to send back (nothing for an empty string). Runs on the
// device's own thread.
using ScaleResponder = std::function<std::string(const std::string& command)>;

// Commands the device received, recorded in order. Thread-safe.
class CommandLog {
  public:
    void Add(const std::string& command);
    std::vector<std::string> All() const;
    std::size_t CountOf(const std::string& command) const;
    std::size_t Count() const;
    bool WaitForCount(std::size_t count, std::chrono::milliseconds timeout = kPatience) const;

  private:
    mutable std::mutex m_Mutex;
    mutable std::condition_variable m_Changed;
    std::vector<std::string> m_Commands;
};

// A single-cable scale on a pty mapped as COM<port>: cuts the host's bytes into 7-byte commands
// (F8 ... F1) and answers each through the responder.
class PtyScale {
  public:
    explicit PtyScale(int port);
    ~PtyScale();
    PtyScale(const PtyScale&) = delete;
    PtyScale& operator=(const PtyScale&) = delete;

    void SetResponder(ScaleResponder responder);
    // Sends bytes unasked.
    void Send(const std::string& bytes);
    const CommandLog& Commands() const { return m_Log; }

  private:
    void Run();

    Pty m_Pty;
    CommandLog m_Log;
    std::mutex m_Mutex;
    ScaleResponder m_Responder;
    int m_StopPipe[2] = {-1, -1};
    std::thread m_Thread;
};

// A USB POS scale (usage 0x6E00, the maker's vendor id) served as a simulated HID device.
class UsbScale {
  public:
    UsbScale();
    ~UsbScale();
    void SetResponder(ScaleResponder responder);
    void Send(const std::string& report);
    const CommandLog& Commands() const { return m_Log; }

  private:
    CommandLog m_Log;
    std::mutex m_Mutex;
    ScaleResponder m_Responder;
    std::unique_ptr<sorvex::hid::SimulatedHidServer> m_Server;
};

// HKLM "...\ServiceOPOS\Scale\<name>": "Scale Version" = version and the other values given
// (an empty text leaves a value out).
void WriteScaleProfile(const std::string& name, const std::string& version,
                       const std::string& serialPort, const std::string& display = "0",
                       const std::string& weightUnit = "0");

// Serves the calling thread's messages until the condition holds or the time-out passed.
bool PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = kPatience);
// Serves the calling thread's messages for that long.
void PumpFor(std::chrono::milliseconds duration);

}  // namespace talvex::test
