// Serial ports: one small contract, two backends (termios for local ttys, an RFC 2217 client for
// network serial servers), chosen by the port name.
//
// Names:
//   "\\.\COM<n>" or "COM<n>"   resolved through HKLM "HARDWARE\DEVICEMAP\SERIALCOMM", value
//                              "COM<n>" (REG_SZ): an absolute tty path or "rfc2217://host:port";
//                              unmapped ports fall back to a fixed Linux naming
//                              (docs/serial-ports.md)
//   "/dev/..."                 a local tty
//   "rfc2217://host:port"      a network serial port
//
// Errors are PortError with the Win32 error number that messages show ("Unable to open COM port
// (5)."): 2 no such device, 5 in use or access denied, 31 device failure, 1167 device gone, ...
// errno values are mapped in one place, Win32FromErrno (table in docs/serial-ports.md).
//
// Threads: Read runs on one thread (the link's read thread); Write, SetSettings, GetSettings,
// SetBreak and CancelRead may run on other threads at the same time. A port must not be
// destroyed while a call is still running in another thread: CancelRead, then wait for the
// reader.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

namespace sorvex::serial {

class PortError : public std::runtime_error {
  public:
    PortError(unsigned long win32Error, const std::string& what)
        : std::runtime_error(what), m_Code(win32Error) {}
    unsigned long code() const { return m_Code; }

  private:
    unsigned long m_Code;
};

// The Win32 error number for an errno value (ENOENT 2, EACCES/EBUSY/EAGAIN 5, EIO 1117,
// EPIPE/ECONNRESET 1167, ECONNREFUSED 1225, ETIMEDOUT 121, EINVAL 87, anything unknown 31).
unsigned long Win32FromErrno(int err);

enum class Parity { None, Odd, Even, Mark, Space };
enum class StopBits { One, OnePointFive, Two };

struct LineSettings {
    std::uint32_t baudRate = 9600;
    std::uint8_t dataBits = 8;
    Parity parity = Parity::None;
    StopBits stopBits = StopBits::One;
    bool ctsFlow = false;  // hardware output flow control
    bool dsrFlow = false;
    bool xonXoff = false;  // software flow control, both directions
    bool dtr = false;      // DTR line asserted
    bool rts = false;      // RTS line asserted
};

class Port {
  public:
    virtual ~Port() = default;

    // The line settings as the device reports them now: for a tty as the driver applied them
    // (a pty always runs 8 data bits, no parity); for RFC 2217 as the server last confirmed
    // them (a request it never answered reads back as requested). Never waits for the device.
    virtual LineSettings GetSettings() = 0;
    // Applies the settings. Modem lines a device does not have (a pty) are not an error.
    // PortError(87) for settings no port takes (0 baud, data bits outside 5..8). Over RFC 2217
    // it waits for the server's answers, 500 ms at most, and never fails for a missing answer.
    virtual void SetSettings(const LineSettings& settings) = 0;

    // Blocks until at least one byte is there, then returns at once with what has arrived, up
    // to `size` bytes. Returns 0 when CancelRead was called (before or during the wait) and for
    // `size` 0. Throws PortError when the device fails or goes away (1167: a tty that hung up,
    // a dropped network connection), after the bytes that arrived before.
    virtual std::size_t Read(void* buffer, std::size_t size) = 0;
    // Writes all bytes; may run while another thread waits in Read. Blocks while the device
    // takes no bytes (flow control, a pty nobody reads). PortError(1167) when it is gone.
    virtual void Write(const void* data, std::size_t size) = 0;
    virtual void SetBreak(bool on) = 0;
    // Any thread: makes a pending and every later Read return 0.
    virtual void CancelRead() = 0;

    // True when the device is a USB virtual COM port by its nature (a tty whose kernel device
    // sits on the USB bus). The RFC 2217 backend says false; the baud probe decides there.
    virtual bool OnUsbBus() const = 0;
    // What was opened, for messages: "/dev/ttyUSB0", "rfc2217://127.0.0.1:7000".
    virtual const std::string& Name() const = 0;
};

// What a port name resolves to.
struct Target {
    enum class Kind { Tty, Rfc2217 } kind = Kind::Tty;
    std::string path;  // Tty
    std::string host;  // Rfc2217
    std::uint16_t port = 0;
};
// Throws PortError(2) for a name that names no port.
Target Resolve(std::string_view name);

// Opens the port exclusively: a second open of the same device, in this or another process,
// fails with PortError(5) until the first is closed. The line is raw: no echo, no signals, no
// character translation. Settings are left as they were; call SetSettings.
std::unique_ptr<Port> OpenPort(std::string_view name);

}  // namespace sorvex::serial
