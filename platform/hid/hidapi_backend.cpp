// Real HID devices on /dev/hidraw<n>: hidapi (hidraw backend) lists and identifies them, the I/O
// goes straight to the hidraw node.
//
// Why the I/O bypasses hidapi: hid_read can only block for ever or until a time-out, so a read
// thread could be stopped only by polling with short time-outs. On the node itself a poll() on
// the device plus the cancel eventfd blocks without CPU and wakes at once on a cancel.
//
// Quirks relied on:
// - hidapi 0.13 answers both "no device" and "cannot enumerate" with an empty list; only
//   hid_error(NULL) tells them apart ("No HID devices found in the system." for the first).
// - hidapi keeps its last error in one unguarded global, so every hidapi call here runs under
//   one mutex.
// - hidapi 0.13 lists one entry per hidraw node, with the usage of its first top-level
//   collection (it parses the report descriptor from sysfs; no access to the node needed).
// - read() on hidraw returns one report; the report id is first only when the device uses
//   report ids, so for other devices a 0 is put in front to give the report-id-first form.
//   A read buffer shorter than the report truncates it silently, hence one spare byte.
// - write() takes the report number first, 0 for devices without report ids; the kernel drops
//   that 0 before the report goes to the device. Reports are therefore written unchanged.
// - A device that goes away wakes poll() with POLLHUP/POLLERR; read() then fails with EIO (or
//   ENODEV), write() with ENODEV. A read() of 0 bytes, which a live node never gives, is taken
//   as the device gone too.
#include <fcntl.h>
#include <hidapi/hidapi.h>
#include <linux/hidraw.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cwchar>
#include <mutex>

#include "platform/hid/hid_internal.h"
#include "platform/hid/report_descriptor.h"

namespace sorvex::hid::detail::hidraw {

namespace {

constexpr std::string_view kPrefix = "/dev/hidraw";

std::mutex g_HidapiMutex;

unsigned long NodeNumber(std::string_view path) {
    return std::strtoul(std::string(path.substr(kPrefix.size())).c_str(), nullptr, 10);
}

// hidapi's list of devices, sorted by node number, one entry per node. False when hidapi
// cannot list them. Caller holds g_HidapiMutex.
bool ListLocked(std::vector<DeviceInfo>& out) {
    static const bool initialized = hid_init() == 0;
    if (!initialized) {
        return false;
    }
    hid_device_info* list = hid_enumerate(0, 0);
    if (list == nullptr) {
        const wchar_t* error = hid_error(nullptr);
        return error != nullptr && std::wcsncmp(error, L"No HID devices", 14) == 0;
    }
    std::vector<DeviceInfo> found;
    for (const hid_device_info* d = list; d != nullptr; d = d->next) {
        if (d->path == nullptr || !IsHidrawPath(d->path)) {
            continue;
        }
        DeviceInfo info;
        info.path = d->path;
        info.usagePage = d->usage_page;
        info.usage = d->usage;
        info.vendorId = d->vendor_id;
        info.productId = d->product_id;
        found.push_back(std::move(info));
    }
    hid_free_enumeration(list);
    std::stable_sort(found.begin(), found.end(), [](const DeviceInfo& a, const DeviceInfo& b) {
        return NodeNumber(a.path) < NodeNumber(b.path);
    });
    found.erase(
        std::unique(found.begin(), found.end(),
                    [](const DeviceInfo& a, const DeviceInfo& b) { return a.path == b.path; }),
        found.end());
    out.insert(out.end(), found.begin(), found.end());
    return true;
}

HidError Lost(const std::string& path) {
    return HidError(1167, "The HID device " + path + " is no longer connected (1167)");
}

class HidrawDevice final : public Device {
  public:
    HidrawDevice(std::string path, UniqueFd fd, bool reportIds)
        : m_Path(std::move(path)), m_Fd(std::move(fd)), m_ReportIds(reportIds) {}

    bool Read(std::string& report) override {
        const std::size_t offset = m_ReportIds ? 0 : 1;
        m_Buffer.assign(kMaxReportSize + 1, 0);
        for (;;) {
            if (!WaitReadable(m_Fd.get(), m_Cancel, m_Path)) {
                return false;
            }
            ssize_t n = ::read(m_Fd.get(), m_Buffer.data() + offset, m_Buffer.size() - offset);
            if (n < 0) {
                int err = errno;
                if (err == EAGAIN || err == EINTR) {
                    continue;
                }
                if (err == EIO || err == ENODEV || err == ESHUTDOWN) {
                    throw Lost(m_Path);
                }
                ThrowErrno("Cannot read from HID device " + m_Path, err);
            }
            if (n == 0) {
                throw Lost(m_Path);  // no live node reads empty; nothing more will come
            }
            std::size_t size = static_cast<std::size_t>(n) + offset;
            if (size > kMaxReportSize) {
                throw HidError(234, "HID device " + m_Path + " sent a report longer than " +
                                        std::to_string(kMaxReportSize) + " bytes (234)");
            }
            report.assign(m_Buffer.data(), size);
            return true;
        }
    }

    void Write(std::string_view report) override {
        if (report.empty() || report.size() > kMaxReportSize) {
            throw HidError(87, "Cannot write a report of " + std::to_string(report.size()) +
                                   " bytes to HID device " + m_Path + ": a report holds 1 to " +
                                   std::to_string(kMaxReportSize) + " bytes (87)");
        }
        for (;;) {
            ssize_t n = ::write(m_Fd.get(), report.data(), report.size());
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0) {
                int err = errno;
                if (err == ENODEV || err == ESHUTDOWN) {
                    throw Lost(m_Path);
                }
                ThrowErrno("Cannot write to HID device " + m_Path, err);
            }
            if (static_cast<std::size_t>(n) != report.size()) {
                throw HidError(31, "HID device " + m_Path + " took " + std::to_string(n) + " of " +
                                       std::to_string(report.size()) + " report bytes (31)");
            }
            return;
        }
    }

    void CancelRead() override { m_Cancel.Set(); }

  private:
    const std::string m_Path;
    UniqueFd m_Fd;
    const bool m_ReportIds;
    CancelLatch m_Cancel;
    std::vector<char> m_Buffer;  // read thread only
};

}  // namespace

bool IsHidrawPath(std::string_view path) {
    if (path.size() <= kPrefix.size() || path.substr(0, kPrefix.size()) != kPrefix) {
        return false;
    }
    return std::all_of(path.begin() + static_cast<std::ptrdiff_t>(kPrefix.size()), path.end(),
                       [](char c) { return c >= '0' && c <= '9'; });
}

bool Enumerate(std::vector<DeviceInfo>& out) {
    std::lock_guard<std::mutex> lock(g_HidapiMutex);
    return ListLocked(out);
}

std::optional<DeviceInfo> Identify(std::string_view path) {
    std::vector<DeviceInfo> devices;
    {
        std::lock_guard<std::mutex> lock(g_HidapiMutex);
        if (!ListLocked(devices)) {
            return std::nullopt;
        }
    }
    for (DeviceInfo& info : devices) {
        if (info.path == path) {
            return std::move(info);
        }
    }
    return std::nullopt;
}

std::unique_ptr<Device> Open(std::string_view path) {
    const std::string nodePath(path);
    UniqueFd fd(::open(nodePath.c_str(), O_RDWR | O_CLOEXEC | O_NONBLOCK));
    if (!fd) {
        int err = errno;
        ThrowErrno("Cannot open HID device " + nodePath, err);
    }
    int size = 0;
    if (::ioctl(fd.get(), HIDIOCGRDESCSIZE, &size) != 0) {
        int err = errno;
        ThrowErrno("Cannot read the report descriptor size of HID device " + nodePath, err);
    }
    hidraw_report_descriptor descriptor{};
    descriptor.size = static_cast<__u32>(std::clamp(size, 0, HID_MAX_DESCRIPTOR_SIZE));
    if (::ioctl(fd.get(), HIDIOCGRDESC, &descriptor) != 0) {
        int err = errno;
        ThrowErrno("Cannot read the report descriptor of HID device " + nodePath, err);
    }
    bool reportIds = UsesReportIds(
        std::string_view(reinterpret_cast<const char*>(descriptor.value), descriptor.size));
    return AdoptNode(nodePath, std::move(fd), reportIds);
}

std::unique_ptr<Device> AdoptNode(std::string path, UniqueFd fd, bool reportIds) {
    return std::make_unique<HidrawDevice>(std::move(path), std::move(fd), reportIds);
}

}  // namespace sorvex::hid::detail::hidraw
