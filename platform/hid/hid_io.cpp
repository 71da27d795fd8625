// File descriptors, the cancel latch, the cancellable wait and the errno mapping of the HID layer.
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "platform/hid/hid_internal.h"

namespace sorvex::hid::detail {

unsigned long Win32FromErrno(int err) {
    switch (err) {
        case ENOENT:
        case ECONNREFUSED:  // a socket file nobody serves: the device is not there
            return 2;       // ERROR_FILE_NOT_FOUND
        case ENOTDIR:
            return 3;  // ERROR_PATH_NOT_FOUND
        case EMFILE:
        case ENFILE:
            return 4;  // ERROR_TOO_MANY_OPEN_FILES
        case EACCES:
        case EPERM:
        case EROFS:
            return 5;  // ERROR_ACCESS_DENIED
        case ENOMEM:
        case ENOBUFS:
            return 8;  // ERROR_NOT_ENOUGH_MEMORY
        case EINVAL:
        case EMSGSIZE:
            return 87;  // ERROR_INVALID_PARAMETER
        case ENOSPC:
            return 112;  // ERROR_DISK_FULL
        case EBUSY:
        case EAGAIN:
            return 170;  // ERROR_BUSY
        case EEXIST:
            return 183;  // ERROR_ALREADY_EXISTS
        case ENAMETOOLONG:
            return 206;  // ERROR_FILENAME_EXCED_RANGE
        case EIO:
            return 1117;  // ERROR_IO_DEVICE
        case ENODEV:
        case ENXIO:
        case ESHUTDOWN:
        case EPIPE:
        case ECONNRESET:
        case ENOTCONN:
            return 1167;  // ERROR_DEVICE_NOT_CONNECTED
        case ETIMEDOUT:
            return 1460;  // ERROR_TIMEOUT
        default:
            return 31;  // ERROR_GEN_FAILURE
    }
}

std::string ErrnoMessage(const std::string& what, int err) {
    return what + ": " + std::strerror(err) + " (" + std::to_string(Win32FromErrno(err)) + ")";
}

void ThrowErrno(const std::string& what, int err) {
    throw HidError(Win32FromErrno(err), ErrnoMessage(what, err));
}

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
        Reset(other.Release());
    }
    return *this;
}

int UniqueFd::Release() {
    int fd = m_Fd;
    m_Fd = -1;
    return fd;
}

void UniqueFd::Reset(int fd) {
    if (m_Fd >= 0) {
        ::close(m_Fd);
    }
    m_Fd = fd;
}

CancelLatch::CancelLatch() : m_Fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (!m_Fd) {
        ThrowErrno("Cannot create the cancel event of a HID device", errno);
    }
}

void CancelLatch::Set() {
    m_Set.store(true, std::memory_order_release);
    // The counter is never read back, so the descriptor stays readable for every later wait.
    std::uint64_t one = 1;
    ssize_t n;
    do {
        n = ::write(m_Fd.get(), &one, sizeof one);
    } while (n < 0 && errno == EINTR);
    // EAGAIN means the counter is already far from zero: readable, which is all we need.
}

bool WaitReadable(int fd, const CancelLatch& cancel, const std::string& path) {
    for (;;) {
        if (cancel.IsSet()) {
            return false;
        }
        pollfd fds[2] = {{fd, POLLIN, 0}, {cancel.fd(), POLLIN, 0}};
        int n = ::poll(fds, 2, -1);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            ThrowErrno("Cannot wait for HID device " + path, errno);
        }
        if (fds[1].revents != 0 || cancel.IsSet()) {
            return false;
        }
        if ((fds[0].revents & POLLNVAL) != 0) {
            throw HidError(6, "HID device " + path + " is not open (6)");  // ERROR_INVALID_HANDLE
        }
        if (fds[0].revents != 0) {
            return true;
        }
    }
}

}  // namespace sorvex::hid::detail
