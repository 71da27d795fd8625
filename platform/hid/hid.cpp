// The HID contract: chooses the backend by device path.
#include "platform/hid/hid.h"

#include "platform/hid/hid_internal.h"
#include "platform/root/state_root.h"

namespace sorvex::hid {

std::string SimulatedDeviceDirectory() {
    return (root::StateRoot() / "dev" / "hid").string();
}

std::vector<DeviceInfo> Enumerate(bool* ok) {
    std::vector<DeviceInfo> devices;
    bool simulatedOk = detail::simulated::Enumerate(devices);
    bool hidrawOk = detail::hidraw::Enumerate(devices);
    if (ok != nullptr) {
        *ok = simulatedOk && hidrawOk;
    }
    return devices;
}

std::optional<DeviceInfo> Identify(std::string_view path) {
    if (detail::hidraw::IsHidrawPath(path)) {
        return detail::hidraw::Identify(path);
    }
    if (detail::simulated::IsSimulatedPath(path)) {
        return detail::simulated::Identify(path);
    }
    return std::nullopt;
}

std::unique_ptr<Device> Open(std::string_view path) {
    if (detail::hidraw::IsHidrawPath(path)) {
        return detail::hidraw::Open(path);
    }
    if (detail::simulated::IsSimulatedPath(path)) {
        return detail::simulated::Open(path);
    }
    throw HidError(2, "Not a HID device path: \"" + std::string(path) +
                          "\" (neither /dev/hidraw<n> nor a simulated device's .sock) (2)");
}

}  // namespace sorvex::hid
