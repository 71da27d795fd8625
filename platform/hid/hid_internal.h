// Internals of the HID layer shared by its backends; not part of the API.
#pragma once

#include <atomic>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/hid/hid.h"

namespace sorvex::hid::detail {

// The Win32 error number for an errno value. The one mapping of the HID layer.
unsigned long Win32FromErrno(int err);

// "<what>: <strerror> (<win32>)" for messages.
std::string ErrnoMessage(const std::string& what, int err);

// Throws HidError(Win32FromErrno(err), ErrnoMessage(what, err)).
[[noreturn]] void ThrowErrno(const std::string& what, int err);

// An owned file descriptor, closed when the object goes.
class UniqueFd {
  public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : m_Fd(fd) {}
    ~UniqueFd() { Reset(); }
    UniqueFd(UniqueFd&& other) noexcept : m_Fd(other.Release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept;
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const { return m_Fd; }
    explicit operator bool() const { return m_Fd >= 0; }
    int Release();
    void Reset(int fd = -1);

  private:
    int m_Fd = -1;
};

// A one-way latch with a file descriptor (an eventfd) that becomes readable once it is set, so
// that a poll() can wait for it beside a device.
class CancelLatch {
  public:
    CancelLatch();  // throws HidError
    void Set();     // any thread; idempotent
    bool IsSet() const { return m_Set.load(std::memory_order_acquire); }
    int fd() const { return m_Fd.get(); }

  private:
    UniqueFd m_Fd;
    std::atomic<bool> m_Set{false};
};

// Waits without time-out until `fd` is readable (or has hung up or failed: the next read tells
// which) or the latch is set. True when `fd` is ready and the latch is not set. Throws HidError
// naming `path` when poll itself fails.
bool WaitReadable(int fd, const CancelLatch& cancel, const std::string& path);

// Simulated backend (simulated_backend.cpp).
namespace simulated {
bool IsSimulatedPath(std::string_view path);
bool Enumerate(std::vector<DeviceInfo>& out);  // false when the directory cannot be read
std::optional<DeviceInfo> Identify(std::string_view path);
std::unique_ptr<Device> Open(std::string_view path);
}  // namespace simulated

// hidapi/hidraw backend (hidapi_backend.cpp).
namespace hidraw {
bool IsHidrawPath(std::string_view path);
bool Enumerate(std::vector<DeviceInfo>& out);  // false when hidapi cannot list devices
std::optional<DeviceInfo> Identify(std::string_view path);
std::unique_ptr<Device> Open(std::string_view path);
// The device on an open hidraw descriptor (Open's second half; tests hand it a stand-in).
std::unique_ptr<Device> AdoptNode(std::string path, UniqueFd fd, bool reportIds);
}  // namespace hidraw

}  // namespace sorvex::hid::detail
