#include "service/links/usb_device_info.h"

#include <optional>
#include <vector>

#include "platform/hid/hid.h"
#include "service/frame/log.h"
#include "service/frame/registry_values.h"
#include "service/frame/strings.h"

namespace talvex {

namespace {

constexpr const char* kTag = "CIbmUsbComm";

std::string Num(std::int64_t n) {
    return NumToString(n);
}

}  // namespace

std::string UsbDeviceInfo::FindUsbDevice(int DeviceType, const std::string& astrModelNumber,
                                         int* pRC) {
    TALVEX_LOG(3, kTag, "Enter std::string UsbDeviceInfo::FindUsbDevice(...)");
    TALVEX_LOG(4, kTag, "  *   DeviceType:       " + Num(DeviceType));
    TALVEX_LOG(4, kTag, "  *   astrModelNumber:  " + astrModelNumber);

    bool listed = true;
    std::vector<sorvex::hid::DeviceInfo> devices = sorvex::hid::Enumerate(&listed);
    if (!listed && devices.empty()) {
        TALVEX_LOG(3, kTag, "Exit std::string UsbDeviceInfo::FindUsbDevice(...)");
        TALVEX_LOG(4, kTag, "  *   DeviceName: <null string>");
        if (pRC != nullptr) {
            *pRC = 0;
        }
        TALVEX_LOG(4, kTag, "  *   pRC = " + Num(0));
        return std::string();
    }

    std::string chosen;
    int kind = 0;
    for (const sorvex::hid::DeviceInfo& device : devices) {
        kind = CheckDeviceType(device.path, astrModelNumber);
        if (kind == DeviceType) {
            chosen = device.path;
            break;
        }
    }

    TALVEX_LOG(3, kTag, "Exit std::string UsbDeviceInfo::FindUsbDevice(...)");
    TALVEX_LOG(4, kTag,
               chosen.empty() ? std::string("  *   DeviceName: <null string>")
                              : "  *   DeviceName: " + chosen);
    if (pRC != nullptr) {
        *pRC = kind;
    }
    TALVEX_LOG(4, kTag, "  *   pRC = " + Num(kind));
    return chosen;
}

int UsbDeviceInfo::CheckDeviceType(const std::string& DeviceName,
                                   const std::string& astrModelNumber) {
    TALVEX_LOG(3, kTag, "Enter int UsbDeviceInfo::CheckDeviceType(...)");
    TALVEX_LOG(4, kTag, "  *   DeviceName:      " + DeviceName);
    TALVEX_LOG(4, kTag, "  *   astrModelNumber: " + astrModelNumber);

    // Identification gives the top-level usage and the vendor ID together, or nothing.
    std::optional<sorvex::hid::DeviceInfo> info = sorvex::hid::Identify(DeviceName);
    int kind = 0;
    if (info) {
        const std::int32_t enforcement = ReadServiceInfoNumberOr("VendorEnforcement", 1);
        const bool enforced = enforcement == 1;
        if (info->usage == kUsageTableTopScanner) {
            TALVEX_LOG(4, kTag, "  *   in ::CheckDeviceType, DeviceCapabilities.Usage = 0x4A00");
            const bool handHeldModel =
                astrModelNumber.compare(0, 7, "Falcora") == 0 || astrModelNumber == "Larko/1150";
            kind = enforced && handHeldModel ? 0 : 1;
        } else if (info->usage == kUsageHandHeldScanner) {
            TALVEX_LOG(4, kTag, "  *   in ::CheckDeviceType, DeviceCapabilities.Usage = 0x4B00");
            const bool tableTopModel =
                astrModelNumber == "Heronix/2110" || astrModelNumber == "Heronix/2140";
            kind = enforced && tableTopModel ? 0 : 3;
        } else if (info->usage >= kUsageScaleFirst && info->usage <= kUsageScaleLast) {
            TALVEX_LOG(4, kTag, "  *   in ::CheckDeviceType, DeviceCapabilities.Usage = 0x6E0x");
            kind = 2;
        }
        if (enforced) {
            if (info->vendorId != MakerVendorId) {
                kind = 0;
            }
            TALVEX_LOG(4, kTag, "  *   in ::CheckDeviceType, VendorEnforcement is ON");
        } else {
            TALVEX_LOG(4, kTag, "  *   in ::CheckDeviceType, VendorEnforcement us OFF");
        }
    }

    if (kind == 2) {
        TALVEX_LOG(4, kTag, "  *   in ::CheckDeviceType, found Scale!");
    } else if (kind == 0) {
        TALVEX_LOG(4, kTag, "  *   in ::CheckDeviceType, found unknown device type");
    } else {
        TALVEX_LOG(4, kTag, "  *   in ::CheckDeviceType, found Scanner!");
    }
    TALVEX_LOG(3, kTag, "Exit int UsbDeviceInfo::CheckDeviceType(...)");
    return kind;
}

}  // namespace talvex
