// The device side of a simulated HID device. See docs/simulated-hid.md for what hosts rely on.
#include "platform/hid/simulated_hid_server.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "platform/hid/simulated_files.h"
#include "platform/root/state_root.h"

namespace sorvex::hid {

using detail::UniqueFd;

namespace {

bool IsLostErrno(int err) {
    return err == ECONNRESET || err == EPIPE || err == ENOTCONN || err == ESHUTDOWN;
}

// Sends one message, waiting for room in the peer's queue. False when the peer is gone.
bool SendMessage(int fd, std::string_view report, const std::string& path) {
    for (;;) {
        ssize_t n = ::send(fd, report.data(), report.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n >= 0) {
            return true;
        }
        int err = errno;
        if (err == EINTR) {
            continue;
        }
        if (err == EAGAIN) {
            pollfd pfd{fd, POLLOUT, 0};
            if (::poll(&pfd, 1, -1) < 0 && errno != EINTR) {
                int pollErr = errno;
                detail::ThrowErrno("Cannot wait to send a report on " + path, pollErr);
            }
            continue;
        }
        if (IsLostErrno(err)) {
            return false;
        }
        detail::ThrowErrno("Cannot send a report on " + path, err);
    }
}

}  // namespace

std::unique_ptr<SimulatedHidServer> SimulatedHidServer::Create(
    std::string name, std::uint16_t usagePage, std::uint16_t usage, std::uint16_t vendorId,
    std::uint16_t productId, Handlers handlers) {
    SimulatedDeviceDescription description;
    description.name = std::move(name);
    description.usagePage = usagePage;
    description.usage = usage;
    description.vendorId = vendorId;
    description.productId = productId;
    return Create(std::move(description), std::move(handlers));
}

std::unique_ptr<SimulatedHidServer> SimulatedHidServer::Create(
    SimulatedDeviceDescription description, Handlers handlers) {
    if (!IsValidSimulatedDeviceName(description.name)) {
        throw HidError(87, "Invalid simulated HID device name \"" + description.name +
                               "\": use 1 to 64 letters, digits, '-', '_' or '.', not starting "
                               "with '.' (87)");
    }
    return std::unique_ptr<SimulatedHidServer>(
        new SimulatedHidServer(std::move(description), std::move(handlers)));
}

SimulatedHidServer::SimulatedHidServer(SimulatedDeviceDescription description, Handlers handlers)
    : m_Description(std::move(description)),
      m_Handlers(std::move(handlers)),
      m_SocketPath(SimulatedDeviceDirectory() + "/" + m_Description.name + detail::kSocketSuffix),
      m_MetadataPath(SimulatedDeviceDirectory() + "/" + m_Description.name +
                     detail::kMetadataSuffix) {
    try {
        root::EnsureDirectory(SimulatedDeviceDirectory(), 0755);
    } catch (const std::filesystem::filesystem_error& e) {
        throw HidError(detail::Win32FromErrno(e.code().value()),
                       "Cannot create the simulated HID device directory " +
                           SimulatedDeviceDirectory() + ": " + e.code().message());
    }
    m_Wake = std::make_unique<UniqueFd>(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!*m_Wake) {
        int err = errno;
        detail::ThrowErrno("Cannot create the wake-up event of " + m_SocketPath, err);
    }
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        PlugLocked();
    }
    m_Thread = std::thread([this] { Run(); });
}

SimulatedHidServer::~SimulatedHidServer() {
    if (std::this_thread::get_id() == m_Thread.get_id()) {
        std::fprintf(stderr, "SimulatedHidServer %s destroyed from its own handler\n",
                     m_SocketPath.c_str());
        std::abort();
    }
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        UnplugLocked();
        m_Stop = true;
    }
    Wake();
    m_Thread.join();
}

void SimulatedHidServer::Wake() {
    std::uint64_t one = 1;
    // EAGAIN: the counter is already set, the thread will wake anyway.
    while (::write(m_Wake->get(), &one, sizeof one) < 0 && errno == EINTR) {
    }
}

void SimulatedHidServer::PlugLocked() {
    if (m_Plugged) {
        return;
    }
    if (std::optional<detail::MetadataFile> existing = detail::ReadMetadataFile(m_MetadataPath);
        existing && detail::IsServed(m_SocketPath, *existing)) {
        throw HidError(183, "Simulated HID device " + m_SocketPath +
                                " is already served by another simulator (183)");
    }
    auto listener = std::make_shared<UniqueFd>(detail::ListenSeqpacket(m_SocketPath));
    SimulatedDeviceMetadata metadata;
    metadata.usagePage = m_Description.usagePage;
    metadata.usage = m_Description.usage;
    metadata.vendorId = m_Description.vendorId;
    metadata.productId = m_Description.productId;
    metadata.product = m_Description.product;
    try {
        m_Lock = std::make_unique<UniqueFd>(detail::WriteLockedMetadata(m_MetadataPath, metadata));
    } catch (...) {
        ::unlink(m_SocketPath.c_str());
        throw;
    }
    m_Listener = std::move(listener);
    m_Plugged = true;
}

void SimulatedHidServer::UnplugLocked() {
    if (!m_Plugged) {
        return;
    }
    m_Plugged = false;
    ::unlink(m_MetadataPath.c_str());
    ::unlink(m_SocketPath.c_str());
    m_Lock.reset();  // after the names are gone, so nobody finds them unlocked
    for (const auto& host : m_Hosts) {
        // Wakes the host's read (end of file) and any send blocked on it; the descriptor itself
        // closes when the last user lets it go.
        ::shutdown(host->get(), SHUT_RDWR);
    }
    m_Hosts.clear();
    m_Listener.reset();
    m_HostCv.notify_all();
}

void SimulatedHidServer::Unplug() {
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        UnplugLocked();
    }
    Wake();
}

void SimulatedHidServer::Replug() {
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        PlugLocked();
    }
    Wake();
}

bool SimulatedHidServer::IsPlugged() const {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_Plugged;
}

std::size_t SimulatedHidServer::HostCount() const {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_Hosts.size();
}

bool SimulatedHidServer::WaitForHosts(std::size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(m_Mutex);
    return m_HostCv.wait_for(lock, timeout, [&] { return m_Hosts.size() >= count; });
}

bool SimulatedHidServer::SendReport(std::string_view report) {
    if (report.empty() || report.size() > kMaxReportSize) {
        throw HidError(87, "Cannot send a report of " + std::to_string(report.size()) +
                               " bytes on " + m_SocketPath + ": a report holds 1 to " +
                               std::to_string(kMaxReportSize) + " bytes (87)");
    }
    std::vector<std::shared_ptr<UniqueFd>> hosts;
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        hosts = m_Hosts;
    }
    bool delivered = false;
    for (const auto& host : hosts) {
        delivered = SendMessage(host->get(), report, m_SocketPath) || delivered;
    }
    return delivered;
}

std::optional<std::string> SimulatedHidServer::NextOutputReport(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(m_QueueMutex);
    if (!m_QueueCv.wait_for(lock, timeout, [&] { return !m_Queue.empty(); })) {
        return std::nullopt;
    }
    std::string report = std::move(m_Queue.front());
    m_Queue.pop_front();
    return report;
}

void SimulatedHidServer::ReportError(const std::string& message) {
    if (m_Handlers.error) {
        m_Handlers.error(message);
    } else {
        std::fprintf(stderr, "%s\n", message.c_str());
    }
}

void SimulatedHidServer::Accept(const std::shared_ptr<UniqueFd>& listener) {
    int fd = ::accept4(listener->get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
        int err = errno;
        if (err == EAGAIN || err == EINTR || err == ECONNABORTED) {
            return;
        }
        {
            std::lock_guard<std::mutex> lock(m_Mutex);
            if (m_Listener != listener) {
                return;  // unplugged meanwhile
            }
            UnplugLocked();
        }
        ReportError(detail::ErrnoMessage("Cannot accept a host on " + m_SocketPath, err) +
                    "; the device is unplugged");
        return;
    }
    auto host = std::make_shared<UniqueFd>(fd);
    std::lock_guard<std::mutex> lock(m_Mutex);
    // A host beyond the limit, or one that came in as the device was unplugged, is closed at
    // once (when `host` goes) and reads the device as lost.
    if (m_Listener == listener && m_Hosts.size() < kMaxSimulatedHosts) {
        m_Hosts.push_back(std::move(host));
        m_HostCv.notify_all();
    }
}

bool SimulatedHidServer::Receive(const std::shared_ptr<UniqueFd>& host, std::vector<char>& buffer) {
    iovec iov{buffer.data(), buffer.size()};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    ssize_t n = ::recvmsg(host->get(), &msg, MSG_DONTWAIT | MSG_TRUNC);
    int err = n < 0 ? errno : 0;
    if (n < 0 && (err == EAGAIN || err == EINTR)) {
        return true;
    }
    std::string problem;
    if (n < 0 && !IsLostErrno(err)) {
        problem = detail::ErrnoMessage("Cannot receive from a host of " + m_SocketPath, err);
    } else if (n > static_cast<ssize_t>(kMaxReportSize) || (n > 0 && (msg.msg_flags & MSG_TRUNC))) {
        problem = "A host of " + m_SocketPath + " wrote a report of " + std::to_string(n) +
                  " bytes; the limit is " + std::to_string(kMaxReportSize) +
                  "; the host is cut off";
    } else if (n > 0) {
        std::string_view report(buffer.data(), static_cast<std::size_t>(n));
        if (m_Handlers.outputReport) {
            m_Handlers.outputReport(report);
        } else {
            std::lock_guard<std::mutex> lock(m_QueueMutex);
            m_Queue.emplace_back(report);
            m_QueueCv.notify_all();
        }
        return true;
    }
    // End of file, a lost peer, or a host cut off for a problem (told before the host can see
    // it, so that whoever watches both sees them in that order).
    if (!problem.empty()) {
        ReportError(problem);
    }
    ::shutdown(host->get(), SHUT_RDWR);
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_Hosts.erase(std::remove(m_Hosts.begin(), m_Hosts.end(), host), m_Hosts.end());
    }
    return false;
}

void SimulatedHidServer::Run() {
    std::vector<char> buffer(kMaxReportSize + 1);
    std::size_t announced = 0;
    std::vector<pollfd> fds;
    for (;;) {
        std::shared_ptr<UniqueFd> listener;
        std::vector<std::shared_ptr<UniqueFd>> hosts;
        {
            std::lock_guard<std::mutex> lock(m_Mutex);
            if (m_Stop) {
                break;
            }
            listener = m_Listener;
            hosts = m_Hosts;
        }
        if (hosts.size() != announced) {
            announced = hosts.size();
            if (m_Handlers.hostsChanged) {
                m_Handlers.hostsChanged(announced);
            }
            continue;  // the handler may have changed the state
        }

        fds.clear();
        fds.push_back({m_Wake->get(), POLLIN, 0});
        for (const auto& host : hosts) {
            fds.push_back({host->get(), POLLIN, 0});
        }
        if (listener) {
            fds.push_back({listener->get(), POLLIN, 0});
        }
        if (::poll(fds.data(), fds.size(), -1) < 0) {
            int err = errno;
            if (err == EINTR) {
                continue;
            }
            {
                std::lock_guard<std::mutex> lock(m_Mutex);
                UnplugLocked();
            }
            ReportError(detail::ErrnoMessage("Cannot wait on " + m_SocketPath, err) +
                        "; the device is unplugged");
            continue;
        }
        if (fds[0].revents != 0) {
            std::uint64_t count;
            while (::read(m_Wake->get(), &count, sizeof count) < 0 && errno == EINTR) {
            }
        }
        // Hosts first: a host that closed before another connected is gone before the new one
        // is counted.
        for (std::size_t i = 0; i < hosts.size(); ++i) {
            if (fds[i + 1].revents != 0) {
                Receive(hosts[i], buffer);
            }
        }
        if (listener && fds.back().revents != 0) {
            Accept(listener);
        }
    }
}

}  // namespace sorvex::hid
