// The device side of a simulated HID device (a side header of the HID layer, for the device
// simulator and for tests): serves <root>/dev/hid/<name>.sock with <name>.dev beside it, as
// docs/simulated-hid.md describes, so that hosts find and open it through platform/hid/hid.h.
//
// Hosts: like a real HID device, which every opener may read and write, a simulated device takes
// several hosts at once (up to kMaxSimulatedHosts; one more is accepted and closed at once, so
// it reads the device as lost). Every host gets every input report; output reports of all hosts
// arrive in one stream.
//
// Threads: each server runs one thread of its own. It accepts hosts and receives their output
// reports; every handler below is called on that thread, never with a lock of the server held,
// so a handler may call SendReport, Unplug and Replug (not the destructor).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/hid/hid.h"
#include "platform/hid/simulated_metadata.h"

namespace sorvex::hid {

namespace detail {
class UniqueFd;
}

inline constexpr std::size_t kMaxSimulatedHosts = 8;

struct SimulatedDeviceDescription {
    std::string name;  // see IsValidSimulatedDeviceName
    std::uint16_t usagePage = 0;
    std::uint16_t usage = 0;
    std::uint16_t vendorId = 0;
    std::uint16_t productId = 0;
    std::string product;  // optional description
};

class SimulatedHidServer {
  public:
    struct Handlers {
        // Optional: each output report the host writes, report id first. Without it the reports
        // are queued for NextOutputReport.
        std::function<void(std::string_view report)> outputReport;
        // Optional: the number of connected hosts changed (a host connected, went away, or was
        // cut off by Unplug).
        std::function<void(std::size_t hosts)> hostsChanged;
        // Optional: a failure on the server thread (a host that broke the protocol and was cut
        // off, a socket error that unplugged the device). Without it the message goes to stderr.
        std::function<void(const std::string& message)> error;
    };

    // Plugs the device in the current state root: creates the directory if needed, publishes
    // the socket and the locked metadata file, and starts the server thread. Files left by a
    // simulator that died are replaced. Throws HidError: 87 for an invalid name, 183 when a live
    // simulator already serves that name, else the error that setting up failed with.
    static std::unique_ptr<SimulatedHidServer> Create(std::string name, std::uint16_t usagePage,
                                                      std::uint16_t usage, std::uint16_t vendorId,
                                                      std::uint16_t productId,
                                                      Handlers handlers = {});
    static std::unique_ptr<SimulatedHidServer> Create(SimulatedDeviceDescription description,
                                                      Handlers handlers = {});

    // Unplugs and stops the server thread. Not from a handler.
    ~SimulatedHidServer();
    SimulatedHidServer(const SimulatedHidServer&) = delete;
    SimulatedHidServer& operator=(const SimulatedHidServer&) = delete;

    // The path hosts open: <root>/dev/hid/<name>.sock.
    const std::string& Path() const { return m_SocketPath; }

    // Any thread. Sends one input report (report id first, 1 to kMaxReportSize bytes, else
    // HidError 87) to every connected host. False when it reached no host (none connected, or
    // they went away during the send); the report is then dropped, as a real device's would
    // be. Blocks while a host's receive queue is full (a host that does not read); Unplug ends
    // such a wait.
    bool SendReport(std::string_view report);

    // Any thread. The number of hosts the server thread has accepted and not yet seen go; a
    // host's Open returns before that, so tests wait for it with WaitForHosts.
    std::size_t HostCount() const;
    bool WaitForHosts(std::size_t count, std::chrono::milliseconds timeout) const;

    // Any thread; only when no outputReport handler was given. The oldest queued output report,
    // waiting up to `timeout` for one; nullopt when none came.
    std::optional<std::string> NextOutputReport(std::chrono::milliseconds timeout);

    // Any thread, handlers included. Unplug cuts off the hosts (they read the device as lost),
    // removes the .sock and .dev files and lets the lock go, all before it returns; enumeration
    // no longer lists the device. Replug publishes the device again (HidError on failure).
    // Both do nothing when the device already is in that state.
    void Unplug();
    void Replug();
    bool IsPlugged() const;

  private:
    SimulatedHidServer(SimulatedDeviceDescription description, Handlers handlers);
    void PlugLocked();
    void UnplugLocked();
    void Wake();
    void Run();
    void Accept(const std::shared_ptr<detail::UniqueFd>& listener);
    bool Receive(const std::shared_ptr<detail::UniqueFd>& host, std::vector<char>& buffer);
    void ReportError(const std::string& message);

    const SimulatedDeviceDescription m_Description;
    const Handlers m_Handlers;
    const std::string m_SocketPath;
    const std::string m_MetadataPath;

    std::unique_ptr<detail::UniqueFd> m_Wake;  // eventfd that wakes the server thread; set once

    mutable std::mutex m_Mutex;  // guards everything down to the queue
    mutable std::condition_variable m_HostCv;
    bool m_Plugged = false;
    bool m_Stop = false;
    // Shared with the server thread and senders, so that a descriptor stays open (and its
    // number unused) while anybody still polls or sends on it; Unplug shuts hosts down instead.
    std::shared_ptr<detail::UniqueFd> m_Listener;  // null while unplugged
    std::vector<std::shared_ptr<detail::UniqueFd>> m_Hosts;
    std::unique_ptr<detail::UniqueFd> m_Lock;  // the locked .dev file while plugged

    std::mutex m_QueueMutex;
    std::condition_variable m_QueueCv;
    std::deque<std::string> m_Queue;

    std::thread m_Thread;  // last: starts once everything above exists
};

}  // namespace sorvex::hid
