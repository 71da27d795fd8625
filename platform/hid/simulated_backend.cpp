// Host side of simulated HID devices: <root>/dev/hid/<name>.sock, served by a simulator
// (SimulatedHidServer, or any program that follows docs/simulated-hid.md).
//
// One SOCK_SEQPACKET message is one report, report id first, in both directions. The peer
// closing the connection (a zero-length read, ECONNRESET, EPIPE) is the device being unplugged.
// A simulator serves one host at a time: while it has one it does not listen, so a second
// connect is refused; the locked metadata file then tells "in use" (32) from "gone" (2).
#include <dirent.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include "platform/hid/simulated_files.h"

namespace sorvex::hid::detail::simulated {

namespace {

bool EndsWith(std::string_view s, std::string_view suffix) {
    return s.size() >= suffix.size() && s.substr(s.size() - suffix.size()) == suffix;
}

bool IsSocket(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
}

DeviceInfo ToInfo(const std::string& path, const SimulatedDeviceMetadata& metadata) {
    DeviceInfo info;
    info.path = path;
    info.usagePage = metadata.usagePage;
    info.usage = metadata.usage;
    info.vendorId = metadata.vendorId;
    info.productId = metadata.productId;
    return info;
}

HidError Lost(const std::string& path) {
    return HidError(1167, "The simulated HID device " + path + " is no longer connected (1167)");
}

bool IsLostErrno(int err) {
    return err == ECONNRESET || err == EPIPE || err == ENOTCONN || err == ESHUTDOWN;
}

class SimulatedDevice final : public Device {
  public:
    SimulatedDevice(std::string path, UniqueFd fd) : m_Path(std::move(path)), m_Fd(std::move(fd)) {}

    bool Read(std::string& report) override {
        // One byte more than the limit, so that a longer message shows as such.
        m_Buffer.resize(kMaxReportSize + 1);
        for (;;) {
            if (!WaitReadable(m_Fd.get(), m_Cancel, m_Path)) {
                return false;
            }
            iovec iov{m_Buffer.data(), m_Buffer.size()};
            msghdr msg{};
            msg.msg_iov = &iov;
            msg.msg_iovlen = 1;
            ssize_t n = ::recvmsg(m_Fd.get(), &msg, MSG_DONTWAIT | MSG_TRUNC);
            if (n < 0) {
                int err = errno;
                if (err == EAGAIN || err == EINTR) {
                    continue;
                }
                if (IsLostErrno(err)) {
                    throw Lost(m_Path);
                }
                ThrowErrno("Cannot read from simulated HID device " + m_Path, err);
            }
            if (n == 0) {
                throw Lost(m_Path);
            }
            std::size_t size = static_cast<std::size_t>(n);
            if (size > kMaxReportSize || (msg.msg_flags & MSG_TRUNC) != 0) {
                throw HidError(234, "Simulated HID device " + m_Path + " sent a report of " +
                                        std::to_string(size) + " bytes; the limit is " +
                                        std::to_string(kMaxReportSize) + " (234)");
            }
            report.assign(m_Buffer.data(), size);
            return true;
        }
    }

    void Write(std::string_view report) override {
        if (report.empty() || report.size() > kMaxReportSize) {
            throw HidError(87, "Cannot write a report of " + std::to_string(report.size()) +
                                   " bytes to simulated HID device " + m_Path +
                                   ": a report holds 1 to " + std::to_string(kMaxReportSize) +
                                   " bytes (87)");
        }
        for (;;) {
            ssize_t n =
                ::send(m_Fd.get(), report.data(), report.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n >= 0) {
                return;  // a SOCK_SEQPACKET message goes whole or not at all
            }
            int err = errno;
            if (err == EINTR) {
                continue;
            }
            if (err == EAGAIN) {
                // The simulator has not read its queue yet; wait until it has room (or is gone).
                pollfd pfd{m_Fd.get(), POLLOUT, 0};
                if (::poll(&pfd, 1, -1) < 0 && errno != EINTR) {
                    int pollErr = errno;
                    ThrowErrno("Cannot wait to write to simulated HID device " + m_Path, pollErr);
                }
                continue;
            }
            if (IsLostErrno(err)) {
                throw Lost(m_Path);
            }
            ThrowErrno("Cannot write to simulated HID device " + m_Path, err);
        }
    }

    void CancelRead() override { m_Cancel.Set(); }

  private:
    const std::string m_Path;
    UniqueFd m_Fd;
    CancelLatch m_Cancel;
    std::vector<char> m_Buffer;  // read thread only
};

}  // namespace

bool IsSimulatedPath(std::string_view path) {
    return EndsWith(path, kSocketSuffix);
}

bool Enumerate(std::vector<DeviceInfo>& out) {
    const std::string dir = SimulatedDeviceDirectory();
    DIR* d = ::opendir(dir.c_str());
    if (d == nullptr) {
        return errno == ENOENT;  // no simulated device was ever plugged in this root
    }
    std::vector<std::string> names;
    const std::string_view suffix = kMetadataSuffix;
    while (dirent* entry = ::readdir(d)) {
        std::string_view file = entry->d_name;
        if (EndsWith(file, suffix)) {
            std::string_view name = file.substr(0, file.size() - suffix.size());
            if (IsValidSimulatedDeviceName(name)) {
                names.emplace_back(name);
            }
        }
    }
    ::closedir(d);
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        const std::string socketPath = dir + "/" + name + kSocketSuffix;
        if (!IsSocket(socketPath)) {
            continue;
        }
        std::optional<MetadataFile> metadata = ReadMetadataFile(dir + "/" + name + kMetadataSuffix);
        if (metadata && IsServed(socketPath, *metadata)) {
            out.push_back(ToInfo(socketPath, metadata->metadata));
        }
    }
    return true;
}

std::optional<DeviceInfo> Identify(std::string_view path) {
    const std::string socketPath(path);
    if (!IsSocket(socketPath)) {
        return std::nullopt;
    }
    std::optional<MetadataFile> metadata = ReadMetadataFile(MetadataPathFor(socketPath));
    if (!metadata || !IsServed(socketPath, *metadata)) {
        return std::nullopt;
    }
    return ToInfo(socketPath, metadata->metadata);
}

std::unique_ptr<Device> Open(std::string_view path) {
    const std::string socketPath(path);
    int err = 0;
    UniqueFd fd = ConnectSeqpacket(socketPath, err);
    if (!fd) {
        if (err == ECONNREFUSED) {
            std::optional<MetadataFile> metadata = ReadMetadataFile(MetadataPathFor(socketPath));
            if (metadata && metadata->locked) {
                throw HidError(
                    32, "Simulated HID device " + socketPath + " is open by another host (32)");
            }
            throw HidError(
                2, "Simulated HID device " + socketPath + " is not served by any simulator (2)");
        }
        if (err == EAGAIN) {
            throw HidError(170, "Simulated HID device " + socketPath + " is busy (170)");
        }
        ThrowErrno("Cannot open simulated HID device " + socketPath, err);
    }
    return std::make_unique<SimulatedDevice>(socketPath, std::move(fd));
}

}  // namespace sorvex::hid::detail::simulated
