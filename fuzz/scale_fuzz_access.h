// What the scale's fuzz targets reach inside CScale: an object without a port or a window
// (its writes go to a port without a link and are dropped, its timers do nothing, its queue
// accepts nothing), its state word, and the callbacks the links call.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "service/frame/device.h"
#include "service/scale/scale.h"

namespace talvex {

struct ScaleTestAccess {
    // One object per interface kind (0 serial, 2 USB), kept for the whole run.
    static CScale& Instance(int commProtocol) {
        static CScale* objects[3] = {};
        CScale*& scale = objects[commProtocol];
        if (scale == nullptr) {
            ScaleTimings timings;
            timings.usbRepollPauseMs = 0;
            scale = new CScale(timings);
            scale->m_CommProtocol = commProtocol;
            scale->m_ComPort = 0;
        }
        return *scale;
    }
    static std::uint32_t Bits(std::uint8_t mode) {
        std::uint32_t bits = kOpened | kClaimed | kDeviceEnabled | kBcNone;
        bits |= (mode & 0x01) ? kWeightRequestPending : 0;
        bits |= (mode & 0x02) ? kStatusRequestPending : 0;
        bits |= (mode & 0x04) ? kAsyncMode : 0;
        bits |= (mode & 0x08) ? kKilograms : 0;
        bits |= (mode & 0x10) ? kAutoDisable : 0;
        return bits;
    }
    static void Set(CScale& scale, std::uint32_t bits) {
        scale.m_DeviceStatus.Store(bits);
        scale.m_Weight = 0;
        scale.m_ReadAnswered = false;
    }
    static int Serial(CScale& scale, const std::string& frame) {
        return CScale::SerialCallback(&scale, frame);
    }
    static int Usb(CScale& scale, const std::string& report) {
        return CScale::UsbCallback(&scale, report, 0);
    }
    static void Check(bool ok) {
        if (!ok) {
            __builtin_trap();
        }
    }
    // A weight is -1 (over capacity) or what at most nine decimal digits make; with nothing
    // pending the state word is as it was.
    static void CheckAfter(const CScale& scale, std::uint32_t before) {
        const std::int32_t weight = scale.Weight();
        Check(weight >= -1 && weight <= 999999999);
        if ((before & (kWeightRequestPending | kStatusRequestPending)) == 0) {
            Check(scale.StatusBits() == before);
        }
    }
};

}  // namespace talvex
