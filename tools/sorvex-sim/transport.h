// Where a simulated device meets its host: a pty, an RFC 2217 server on loopback, or a simulated
// HID device. Serial transports carry a byte stream (a chunk of bytes in, any bytes out); the HID
// transport carries reports (one output report in, one input report out).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace sorvex::sim {

class JsonLog;

class Transport {
  public:
    // Called on the transport's own thread with bytes from the host.
    using HostData = std::function<void(std::string_view)>;

    virtual ~Transport() = default;
    // Begins serving; the endpoint exists when it returns. Throws std::runtime_error on failure.
    virtual void Start(HostData onData) = 0;
    // Sends to the host; false when no host is there to take it.
    virtual bool Send(std::string_view bytes) = 0;
    // Unplug: the host's link reads the device as gone. Replug: the device is back (a serial
    // endpoint may get a new name; the caller maps it again).
    virtual void Unplug() = 0;
    virtual void Replug() = 0;
    virtual bool Plugged() const = 0;
    // "/dev/pts/4", "rfc2217://127.0.0.1:40123", "<root>/dev/hid/scanner.sock".
    virtual std::string Endpoint() const = 0;
    virtual bool ReportBased() const = 0;
    virtual const char* Kind() const = 0;
};

struct HidDeviceOptions {
    std::string name = "sorvex-sim";
    std::uint16_t usagePage = 0xFF45;
    std::uint16_t usage = 0;
    std::uint16_t vendorId = 0;
    std::uint16_t productId = 0x0001;
};

std::unique_ptr<Transport> MakePtyTransport(JsonLog& log);
// usbVirtualPort: the server ignores a request for 300 baud, as a USB virtual COM port does.
std::unique_ptr<Transport> MakeRfc2217Transport(JsonLog& log, bool usbVirtualPort);
std::unique_ptr<Transport> MakeHidTransport(JsonLog& log, const HidDeviceOptions& options);

}  // namespace sorvex::sim
