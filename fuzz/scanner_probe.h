// What the scanner's fuzz targets need to drive a CScanner without a port, a window or a
// profile: an interface kind, the enabled state and the decoder on the calling thread.
#pragma once

#include "service/scanner/scanner.h"

namespace talvex {

struct CScannerProbe {
    // Sets the interface kind and enables the scanner as DeviceEnable would, but without
    // subscribing anywhere: writes go to a port that has no link and vanish. Events may be
    // queued but are never delivered (the enabled mask stays 0).
    static void Enable(CScanner& s, int kind, bool autoDisable, bool decodeData) {
        s.m_CommProtocol = kind;
        s.m_ComPort = 0;
        s.m_DeviceStatus.Set(kDeviceEnabled);
        s.m_DeviceStatus.Assign(kAutoDisable, autoDisable);
        s.m_DeviceStatus.Assign(kDecodeData, decodeData);
        s.m_EventQueue.SetAllowableEvents(31);
        s.m_EventQueue.SetEnabledEvents(0);
        s.m_EventQueue.SetAutoDisable(false);
        std::lock_guard<std::mutex> lock(s.m_PartialLock);
        s.m_UsbPartialLabel.clear();
        s.m_UsbLabelOverflow = false;
    }
    static void SetStatisticsPending(CScanner& s, bool on) {
        s.m_DeviceStatus.Assign(kStatisticsPending, on);
    }
    // Decodes a data event into the properties (the window is absent, so nothing is fired).
    static void Handle(CScanner& s, const OposEvent& event) { s.HandleDataEvent(event); }
    static std::size_t PartialLabelSize(CScanner& s) {
        std::lock_guard<std::mutex> lock(s.m_PartialLock);
        return s.m_UsbPartialLabel.size();
    }
};

}  // namespace talvex
