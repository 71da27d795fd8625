// USB HID devices: enumerate, identify, open, read one input report, write one output report,
// cancel a pending read. Two backends behind this one contract, chosen by the device path:
//
//   "/dev/hidraw<n>"               real devices, through hidapi over hidraw
//   "<root>/dev/hid/<name>.sock"   simulated devices: a UNIX SOCK_SEQPACKET socket served by a
//                                  simulator, with <name>.dev beside it describing the device
//                                  (docs/simulated-hid.md). One message is one report; a closed
//                                  socket is an unplugged device.
//
// Reports are byte strings with the report id first (0 for devices that use no report ids), as
// the host sees them on Windows. Any byte value may appear in a report.
//
// Errors are HidError with a Win32 error number: 2 no such device (or its simulator is gone),
// 5 access denied, 32 a simulated device that takes no further host now, 87 a report that is
// empty or longer than kMaxReportSize, 170 busy, 234 the device sent a report longer than
// kMaxReportSize, 1167 the device is no longer connected. Messages name the device path.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace sorvex::hid {

class HidError : public std::runtime_error {
  public:
    HidError(unsigned long win32Error, const std::string& what)
        : std::runtime_error(what), m_Code(win32Error) {}
    unsigned long code() const { return m_Code; }

  private:
    unsigned long m_Code;
};

// Longest report, report id included, that Read delivers and Write accepts.
inline constexpr std::size_t kMaxReportSize = 4096;

struct DeviceInfo {
    std::string path;
    std::uint16_t usagePage = 0;  // top-level collection
    std::uint16_t usage = 0;
    std::uint16_t vendorId = 0;
    std::uint16_t productId = 0;
};

// Every present HID device of both backends, in a stable order (simulated devices by name, then
// hidraw devices by number). `ok` (optional) becomes false when a backend's device list could
// not be read; the devices of the other backend are still returned. No device at all is ok.
std::vector<DeviceInfo> Enumerate(bool* ok = nullptr);

// Identification of one device by path, without opening it for I/O; nullopt when it cannot
// be opened or identified (no such device, a simulated device whose simulator is gone).
std::optional<DeviceInfo> Identify(std::string_view path);

// One open device. Read runs on one thread at a time (the read thread); Write may be called from
// any thread, also while a Read waits; CancelRead from any thread. Destroy the device only when
// no call is running on it.
class Device {
  public:
    virtual ~Device() = default;
    // Blocks for the next input report, without using CPU while it waits. False when CancelRead
    // was called (before or during the wait; a cancel wins over a report that is ready). Throws
    // HidError when the device fails or is unplugged (1167; again on every later attempt).
    virtual bool Read(std::string& report) = 0;
    // Writes one output report (report id first). Throws HidError.
    virtual void Write(std::string_view report) = 0;
    // Any thread: makes a pending and every later Read return false.
    virtual void CancelRead() = 0;
};

// Opens the device for reading and writing. Throws HidError.
std::unique_ptr<Device> Open(std::string_view path);

// Directory of the simulated devices of the current state root: <root>/dev/hid.
std::string SimulatedDeviceDirectory();

}  // namespace sorvex::hid
