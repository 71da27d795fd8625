// The device simulator (sorvex-sim) as a child process for the scale's end-to-end tests: started
// with a model, driven with commands on its standard input, its JSON lines collected on a
// thread of their own so that the child never blocks on a full pipe while the test waits in a
// synchronous ReadWeight.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/subprocess.h"

namespace talvex::test {

class SimulatedDevice {
  public:
    struct Event {
        std::string name;    // "ready", "command", "reply", "applied", "error", ...
        std::string detail;  // the "detail" field (or "message" of an error)
        std::string hex;     // the bytes of "received" and "sent"
        double t = 0;        // the simulator's time stamp, seconds
        std::string line;    // the whole JSON line
    };

    // Starts sorvex-sim with the arguments and waits for its "ready" line. Throws
    // std::runtime_error naming the arguments and the child's standard error when it does not
    // get ready.
    explicit SimulatedDevice(std::vector<std::string> arguments);
    // Ends the simulator ("quit") and collects it.
    ~SimulatedDevice();
    SimulatedDevice(const SimulatedDevice&) = delete;
    SimulatedDevice& operator=(const SimulatedDevice&) = delete;

    // Sends a command line and waits until the simulator applied it ("applied" event) or
    // refused it ("error"). True when applied.
    bool Apply(const std::string& line);
    // Waits until everything the simulator logged so far has been collected (a "mark" of the
    // scale models).
    void Sync();
    // Sends a line without waiting (framework commands such as "raw", "unplug").
    void Write(const std::string& line);

    std::vector<Event> Events() const;
    // Events of that name whose detail begins with `prefix`.
    std::size_t Count(const std::string& name, const std::string& prefix = "") const;
    // Waits until Count(name, prefix) reaches `count`.
    bool WaitForCount(const std::string& name, const std::string& prefix, std::size_t count,
                      std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
    // The "endpoint" of the ready line.
    const std::string& Endpoint() const { return m_Endpoint; }

  private:
    void Drain();
    // Counts matching events from m_Events[*seen] on, adding to *count. m_Mutex held.
    void CountNew(const std::string& name, const std::string& prefix, std::size_t* seen,
                  std::size_t* count) const;

    std::unique_ptr<sorvex::test::Subprocess> m_Child;
    std::string m_Endpoint;
    mutable std::mutex m_Mutex;
    mutable std::condition_variable m_Changed;
    std::vector<Event> m_Events;
    bool m_Stop = false;
    bool m_Ended = false;
    int m_Marks = 0;
    std::thread m_Drain;
};

}  // namespace talvex::test
