// The termios backend: a local tty (a UART, a USB serial adapter, a pty).
//
// termios2 (TCGETS2/TCSETS2) carries the baud rate as a number both ways: standard rates go out
// with their B-constant (so programs on the old interface see them), any other with BOTHER, and
// the rate read back is the one the driver applied. <asm/termbits.h> and glibc's <termios.h>
// define the same names, so this file uses only the former.
//
// Quirks: the pty driver forces CS8 without parity and has no modem lines (TIOCM* fail with
// ENOTTY, older kernels EINVAL) and no break (TIOCSBRK succeeds doing nothing). A pty slave
// whose master closed is hung up: poll reports POLLHUP, read fails with EIO or reads 0.
//
// Threads: Read runs on the caller's read thread; Write, SetSettings, SetBreak and CancelRead
// may run on other threads at the same time. Writes are serialised by m_WriteMutex, settings
// changes (read-modify-write of the termios) by m_SettingsMutex; Read takes no lock, so a
// Write never waits for a pending Read.
#include <asm/termbits.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <system_error>
#include <utility>

#include "platform/serial/serial_backends.h"

namespace sorvex::serial {

namespace fs = std::filesystem;

namespace {

std::string ErrnoText(int err) {
    return std::generic_category().message(err);
}

[[noreturn]] void Fail(const std::string& path, const std::string& what, int err) {
    throw PortError(Win32FromErrno(err), path + ": " + what + ": " + ErrnoText(err));
}

[[noreturn]] void Gone(const std::string& path) {
    throw PortError(1167, path + ": the device went away (hangup)");
}

// A pty (or a driver without modem lines) answers modem-line requests with ENOTTY or EINVAL.
bool NoModemLines(int err) {
    return err == ENOTTY || err == EINVAL;
}

// The B-constant for a standard rate, so that programs on the old termios interface read the
// rate too; BOTHER (the rate as a number) for any other.
tcflag_t SpeedCode(std::uint32_t baud) {
    static constexpr struct {
        std::uint32_t rate;
        tcflag_t code;
    } kCodes[] = {
        {50, B50},           {75, B75},           {110, B110},         {134, B134},
        {150, B150},         {200, B200},         {300, B300},         {600, B600},
        {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
        {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
        {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
        {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
        {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
        {3500000, B3500000}, {4000000, B4000000},
    };
    for (const auto& c : kCodes) {
        if (c.rate == baud) {
            return c.code;
        }
    }
    return BOTHER;
}

void MakeRaw(termios2& t) {
    t.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL |
                                        IXON | IXOFF | IXANY | INPCK | IUCLC | IMAXBEL);
    t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN);
    t.c_cflag |= CREAD | CLOCAL;
    t.c_cc[VMIN] = 1;  // readable (for poll) as soon as one byte is there
    t.c_cc[VTIME] = 0;
}

class TermiosPort final : public Port {
  public:
    TermiosPort(std::string path, int fd, int cancelFd, bool usb)
        : m_Path(std::move(path)), m_Fd(fd), m_Cancel(cancelFd), m_Usb(usb) {}

    ~TermiosPort() override {
        ::ioctl(m_Fd, TIOCNXCL);  // the flag lives in the tty, not in our descriptor
        ::close(m_Fd);            // releases the flock
        ::close(m_Cancel);
    }

    LineSettings GetSettings() override {
        std::lock_guard lock(m_SettingsMutex);
        termios2 t = Get();
        LineSettings s;
        s.baudRate = t.c_ospeed;
        switch (t.c_cflag & CSIZE) {
            case CS5:
                s.dataBits = 5;
                break;
            case CS6:
                s.dataBits = 6;
                break;
            case CS7:
                s.dataBits = 7;
                break;
            default:
                s.dataBits = 8;
                break;
        }
        if ((t.c_cflag & PARENB) == 0) {
            s.parity = Parity::None;
        } else if (t.c_cflag & CMSPAR) {
            s.parity = (t.c_cflag & PARODD) ? Parity::Mark : Parity::Space;
        } else {
            s.parity = (t.c_cflag & PARODD) ? Parity::Odd : Parity::Even;
        }
        if ((t.c_cflag & CSTOPB) == 0) {
            s.stopBits = StopBits::One;
        } else {
            s.stopBits = s.dataBits == 5 ? StopBits::OnePointFive : StopBits::Two;
        }
        s.ctsFlow = (t.c_cflag & CRTSCTS) != 0;
        s.dsrFlow = false;  // Linux has no DSR output flow control
        s.xonXoff = (t.c_iflag & (IXON | IXOFF)) != 0;
        int lines = 0;
        if (::ioctl(m_Fd, TIOCMGET, &lines) == 0) {
            s.dtr = (lines & TIOCM_DTR) != 0;
            s.rts = (lines & TIOCM_RTS) != 0;
        } else if (NoModemLines(errno)) {
            s.dtr = m_Dtr;
            s.rts = m_Rts;
        } else {
            Fail(m_Path, "cannot read the modem lines", errno);
        }
        return s;
    }

    void SetSettings(const LineSettings& s) override {
        if (s.baudRate == 0) {
            throw PortError(87, m_Path + ": baud rate 0 is not a line speed");
        }
        if (s.dataBits < 5 || s.dataBits > 8) {
            throw PortError(87, m_Path + ": " + std::to_string(s.dataBits) +
                                    " data bits are not supported (5..8)");
        }
        std::lock_guard lock(m_SettingsMutex);
        termios2 t = Get();
        t.c_cflag &= ~static_cast<tcflag_t>(CBAUD | CIBAUD | CSIZE | PARENB | PARODD | CMSPAR |
                                            CSTOPB | CRTSCTS);
        const tcflag_t code = SpeedCode(s.baudRate);
        t.c_cflag |= code | (code << IBSHIFT);
        t.c_ispeed = t.c_ospeed = s.baudRate;
        static constexpr tcflag_t kSize[] = {CS5, CS6, CS7, CS8};
        t.c_cflag |= kSize[s.dataBits - 5];
        switch (s.parity) {
            case Parity::None:
                break;
            case Parity::Odd:
                t.c_cflag |= PARENB | PARODD;
                break;
            case Parity::Even:
                t.c_cflag |= PARENB;
                break;
            case Parity::Mark:
                t.c_cflag |= PARENB | CMSPAR | PARODD;
                break;
            case Parity::Space:
                t.c_cflag |= PARENB | CMSPAR;
                break;
        }
        if (s.stopBits != StopBits::One) {
            t.c_cflag |= CSTOPB;  // with 5 data bits a UART sends 1.5 stop bits
        }
        if (s.ctsFlow) {
            t.c_cflag |= CRTSCTS;
        }
        t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
        if (s.xonXoff) {
            t.c_iflag |= IXON | IXOFF;
        }
        if (::ioctl(m_Fd, TCSETS2, &t) != 0) {
            Fail(m_Path, "cannot apply the line settings", errno);
        }
        SetLine(TIOCM_DTR, s.dtr, "DTR");
        SetLine(TIOCM_RTS, s.rts, "RTS");
        m_Dtr = s.dtr;
        m_Rts = s.rts;
    }

    std::size_t Read(void* buffer, std::size_t size) override {
        if (size == 0 || m_Cancelled.load(std::memory_order_acquire)) {
            return 0;
        }
        pollfd fds[2] = {{m_Fd, POLLIN, 0}, {m_Cancel, POLLIN, 0}};
        for (;;) {
            if (::poll(fds, 2, -1) < 0) {
                if (errno == EINTR) {
                    continue;
                }
                Fail(m_Path, "poll failed", errno);
            }
            if (fds[1].revents != 0) {
                return 0;
            }
            if (fds[0].revents & POLLNVAL) {
                Fail(m_Path, "read failed", EBADF);
            }
            if (fds[0].revents == 0) {
                continue;
            }
            ssize_t n = ::read(m_Fd, buffer, size);
            if (n > 0) {
                return static_cast<std::size_t>(n);
            }
            if (n == 0) {
                Gone(m_Path);  // a hung-up tty reads as end of file
            }
            if (errno == EAGAIN || errno == EINTR) {
                continue;
            }
            if (errno == EIO) {
                Gone(m_Path);  // how a tty reports a line that hung up (pty master closed)
            }
            Fail(m_Path, "read failed", errno);
        }
    }

    void Write(const void* data, std::size_t size) override {
        std::lock_guard lock(m_WriteMutex);
        const char* p = static_cast<const char*>(data);
        while (size > 0) {
            ssize_t n = ::write(m_Fd, p, size);
            if (n > 0) {
                p += n;
                size -= static_cast<std::size_t>(n);
                continue;
            }
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0 && errno == EAGAIN) {
                pollfd fd{m_Fd, POLLOUT, 0};
                if (::poll(&fd, 1, -1) < 0 && errno != EINTR) {
                    Fail(m_Path, "poll failed", errno);
                }
                continue;
            }
            if (n < 0 && errno == EIO) {
                Gone(m_Path);
            }
            Fail(m_Path, "write failed", n < 0 ? errno : EIO);
        }
    }

    void SetBreak(bool on) override {
        if (::ioctl(m_Fd, on ? TIOCSBRK : TIOCCBRK) != 0) {
            Fail(m_Path, on ? "cannot set break" : "cannot clear break", errno);
        }
    }

    void CancelRead() override {
        m_Cancelled.store(true, std::memory_order_release);
        std::uint64_t one = 1;
        // The counter cannot overflow from a few cancels; a failure leaves the flag to do it.
        (void)!::write(m_Cancel, &one, sizeof one);
    }

    bool OnUsbBus() const override { return m_Usb; }
    const std::string& Name() const override { return m_Path; }

  private:
    termios2 Get() const {
        termios2 t{};
        if (::ioctl(m_Fd, TCGETS2, &t) != 0) {
            Fail(m_Path, "cannot read the line settings", errno);
        }
        return t;
    }

    void SetLine(int line, bool on, const char* name) {
        if (::ioctl(m_Fd, on ? TIOCMBIS : TIOCMBIC, &line) != 0 && !NoModemLines(errno)) {
            Fail(m_Path, std::string("cannot set ") + name, errno);
        }
    }

    const std::string m_Path;
    const int m_Fd;
    const int m_Cancel;
    const bool m_Usb;
    std::atomic<bool> m_Cancelled{false};
    std::mutex m_WriteMutex;
    std::mutex m_SettingsMutex;
    bool m_Dtr = false;  // last requested, for devices without modem lines; m_SettingsMutex
    bool m_Rts = false;
};

// Owns a descriptor until released.
struct Fd {
    int fd = -1;
    ~Fd() {
        if (fd >= 0) {
            ::close(fd);
        }
    }
    int Release() { return std::exchange(fd, -1); }
};

bool IsUsbHubName(const std::string& name) {
    if (name.size() <= 3 || name.compare(0, 3, "usb") != 0) {
        return false;
    }
    return name.find_first_not_of("0123456789", 3) == std::string::npos;
}

}  // namespace

bool TtyOnUsbBus(const fs::path& sysRoot, unsigned major, unsigned minor) {
    std::error_code ec;
    const fs::path node =
        sysRoot / "dev" / "char" / (std::to_string(major) + ":" + std::to_string(minor));
    fs::path device = fs::canonical(node / "device", ec);
    if (ec) {
        return false;  // no kernel device behind it (pty, virtual console)
    }
    fs::path top = fs::canonical(sysRoot, ec);
    if (ec) {
        return false;
    }
    for (fs::path p = device; p != top && p != p.root_path() && !p.empty(); p = p.parent_path()) {
        fs::path subsystem = fs::read_symlink(p / "subsystem", ec);
        if (!ec && subsystem.filename() == "usb") {
            return true;
        }
        if (IsUsbHubName(p.filename().string())) {
            return true;
        }
    }
    return false;
}

std::unique_ptr<Port> OpenTermiosPort(const std::string& path) {
    Fd fd{::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)};
    if (fd.fd < 0) {
        int err = errno;
        if (err == EBUSY) {
            throw PortError(5, path + ": in use by another program (exclusive tty)");
        }
        Fail(path, "cannot open", err);
    }
    struct stat st {};
    if (::fstat(fd.fd, &st) != 0) {
        Fail(path, "cannot stat", errno);
    }
    if (!S_ISCHR(st.st_mode)) {
        throw PortError(Win32FromErrno(ENOTTY), path + ": not a serial device");
    }
    // flock binds every opener that asks, root included; TIOCEXCL also stops openers that do
    // not ask (except root).
    if (::flock(fd.fd, LOCK_EX | LOCK_NB) != 0) {
        int err = errno;
        if (err == EWOULDBLOCK) {
            throw PortError(5, path + ": in use by another program (locked)");
        }
        Fail(path, "cannot lock", err);
    }
    termios2 t{};
    if (::ioctl(fd.fd, TCGETS2, &t) != 0) {
        int err = errno;
        if (err == ENOTTY) {
            throw PortError(Win32FromErrno(err), path + ": not a serial device");
        }
        Fail(path, "cannot read the line settings", err);
    }
    if (::ioctl(fd.fd, TIOCEXCL) != 0) {
        Fail(path, "cannot make the tty exclusive", errno);
    }
    MakeRaw(t);
    if (::ioctl(fd.fd, TCSETS2, &t) != 0) {
        int err = errno;
        ::ioctl(fd.fd, TIOCNXCL);
        Fail(path, "cannot set raw mode", err);
    }
    Fd cancel{::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)};
    if (cancel.fd < 0) {
        int err = errno;
        ::ioctl(fd.fd, TIOCNXCL);
        Fail(path, "cannot create the cancel event", err);
    }
    bool usb = TtyOnUsbBus("/sys", ::major(st.st_rdev), ::minor(st.st_rdev));
    auto port = std::make_unique<TermiosPort>(path, fd.fd, cancel.fd, usb);
    fd.Release();
    cancel.Release();
    return port;
}

}  // namespace sorvex::serial
