// Finding the HID device of a requested kind ("Full Speed USB", IBM OEM USB point of sale).
//
// Device kinds, by the HID top-level usage (the usage page is not examined):
//   1 table-top scanner (the scanner-scales)   0x4A00
//   2 scale                                    0x6E00, 0x6E01, 0x6E02
//   3 hand-held scanner                        0x4B00
//   0 anything else, or a device rejected by the rules below
//
// With the global value "VendorEnforcement" = 1 (also when it is missing or unreadable; it is
// read afresh for every device examined), only devices reporting MakerVendorId are accepted, and
// the model named by the profile must fit the usage: a hand-held model ("Falcora..." or
// "Larko/1150") is never bound to a table-top device, a table-top model ("Heronix/2110",
// "Heronix/2140") never to a hand-held one. docs/usb-devices.md explains this for technicians.
#pragma once

#include <cstdint>
#include <string>

namespace talvex {

// The maker's USB vendor ID, as its devices report it in their HID attributes.
inline constexpr std::uint16_t MakerVendorId = 0x2A8F;

inline constexpr std::uint16_t kUsageTableTopScanner = 0x4A00;
inline constexpr std::uint16_t kUsageHandHeldScanner = 0x4B00;
inline constexpr std::uint16_t kUsageScaleFirst = 0x6E00;
inline constexpr std::uint16_t kUsageScaleLast = 0x6E02;

class UsbDeviceInfo {
  public:
    // The path of the first present HID device (in the system's stable enumeration order) whose
    // kind is `DeviceType`, or "" when there is none. `pRC` (may be null) receives the kind of
    // the last device examined (so `DeviceType` when one was found), 0 when none was examined
    // or the device list is not available.
    static std::string FindUsbDevice(int DeviceType, const std::string& astrModelNumber, int* pRC);

    // The kind of the device at `DeviceName` for a profile of model `astrModelNumber`. Never
    // fails: a device that cannot be identified is kind 0.
    static int CheckDeviceType(const std::string& DeviceName, const std::string& astrModelNumber);
};

}  // namespace talvex
