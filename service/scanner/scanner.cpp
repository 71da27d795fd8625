// The scanner service object.
//
// Device quirks this file relies on:
//   - RS-232 scanners (interface 1) expect two ACK bytes for every label frame, written one at
//     a time; POS USB scanners (3) get no ACK, but the AX310 USB accessory, when the maker's
//     "AX310Handling" is 1 (read afresh for every frame), wants 0xFF before the label is queued
//     and 0x80 25 ms after.
//   - The single-cable scanner-scale (0) answers every command with a frame whose second byte
//     is 'S'; those replies carry no label.
//   - A USB scanner that goes away is reported once by its link; the reconnect timer 50 then
//     disables, waits 450 ms and tries to find and enable it again until it is back or the
//     claim is released.
#include "service/scanner/scanner.h"

#include <thread>

#include "service/frame/errors.h"
#include "service/frame/log.h"
#include "service/frame/opos.h"
#include "service/frame/statistics.h"
#include "service/frame/strings.h"
#include "service/links/comm_arbiter.h"
#include "service/links/usb_device_info.h"
#include "service/scanner/scanner_decoder.h"

namespace talvex {

const DeviceTexts kScannerTexts = {
    "CScanner",
    "OrvantaOposScanner",
    "The device has already been claimed by another application.",
    "The device must be claimed before it can be enabled.",
    "Invalid property number specified.",
    "An invalid property number was specified.",
    "  *   DeviceName:  ",
    "  *  pRC: ",
    "  *   pNumber: ",
    "  *  pString: ",
    1008008,
    "Orvanta OPOS Scanner Service Object",
    /*deviceEnabledNeedsClaim=*/true,
    /*closeTestsOpened=*/true,
    /*exitTraceOnConfigError=*/true,
};

namespace {

using namespace std::chrono_literals;

constexpr std::uint8_t kSoh = 0x01;
constexpr std::uint8_t kStx = 0x02;
constexpr std::uint8_t kEtx = 0x03;
constexpr std::uint8_t kSingleCableStart = 0xF3;
constexpr std::uint8_t kSingleCableStop = 0xF1;
constexpr std::uint8_t kProbeStop = 0x05;

const std::string kAck("\x06", 1);
const std::string kSerialEnable("\xF3\x11\x00\xF1", 4);
const std::string kSerialDisable("\xF3\x12\x00\xF1", 4);
const std::string kUsbEnable("\x00\x11\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00", 12);
const std::string kUsbDisable("\x00\x12\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00", 12);

const char* Bit(bool on) {
    return on ? "1" : "0";
}

}  // namespace

CScanner::CScanner() : CDevice(kScannerTexts) {}

CScanner::~CScanner() {
    TheArbiter().DetachContext(this);
    Shutdown();
}

void CScanner::SetTimings(ScannerTimings timings) {
    m_Timings = std::move(timings);
}

int CScanner::UsbDeviceKind() const {
    return (m_ModelNumber == "Heronix/2110" || m_ModelNumber == "Heronix/2140") ? 1 : 3;
}

void CScanner::Pause(std::chrono::milliseconds duration) const {
    if (m_Timings.pause) {
        m_Timings.pause(duration);
    } else {
        std::this_thread::sleep_for(duration);
    }
}

void CScanner::Write(const std::string& bytes) {
    TheArbiter().WriteData(m_ComPort, bytes);
}

// ---------------------------------------------------------------------------------------------
// OpenService, device configuration

bool CScanner::ConfigureDevice(const RegistryValues& values) {
    m_ModelNumber = values.ReadProfileString("Model");
    if (Tracing(4)) {
        Trace(4, "  *   in OpenService, ModelNumber = " + m_ModelNumber);
    }
    try {
        m_CommProtocol = values.ReadProfileNumber("Scanner Version");
    } catch (const TalvexError&) {
        m_CommProtocol = 1;
    }
    if (m_CommProtocol == 2) {
        if (UsbDeviceInfo::FindUsbDevice(UsbDeviceKind(), m_ModelNumber, nullptr).empty()) {
            Trace(0, "No Full Speed USB Scanners are connected to the system.");
            return false;
        }
    } else if (m_CommProtocol == 3) {
        std::int32_t first = 0;
        try {
            first = values.ReadProfileNumber("FirstPosUsbUnit");
        } catch (const TalvexError&) {
            first = 0;
        }
        const int unit = FindPosUsbUnit(first);
        if (unit == -1) {
            Trace(0, "No POS USB Scanners are connected to the system.");
            return false;
        }
        try {
            m_ComPort = values.ReadProfileNumber("Serial Port");
        } catch (const TalvexError&) {
            m_ComPort = -1;
        }
        if (m_ComPort != unit) {
            m_ComPort = unit;
            values.WriteProfileNumber("Serial Port", unit);
        }
        if (first != unit) {
            values.WriteProfileNumber("FirstPosUsbUnit", unit);
        }
    } else {
        m_ComPort = values.ReadProfileNumber("Serial Port");
    }
    m_DeviceName = "Orvanta " + m_ModelNumber;
    m_DeviceDescription = m_DeviceName + " bar code scanner.";
    return true;
}

int CScanner::FindPosUsbUnit(int first) {
    CCommArbiter& arbiter = TheArbiter();
    auto isUsbUnit = [&](int unit) {
        try {
            arbiter.AddSerialDevice(0, unit, kSoh, kProbeStop, this, nullptr);
        } catch (const TalvexError&) {
            return false;  // a port that cannot be opened is no unit
        }
        const bool usb = arbiter.IsUsbPort(unit) == 1;
        arbiter.RemoveSerialDevice(0, unit, kSoh, kProbeStop);
        return usb;
    };
    if (first > 0 && isUsbUnit(first)) {
        return first;
    }
    const int last = arbiter.MaxPortNumber(3);
    for (int unit = 1; unit <= last; ++unit) {
        if (isUsbUnit(unit)) {
            return unit;
        }
    }
    return -1;
}

void CScanner::OnOpened() {
    std::lock_guard<std::mutex> lock(m_DataLock);
    ScanData.clear();
    ScanDataLabel.clear();
    ScanDataType = 0;
}

// ---------------------------------------------------------------------------------------------
// Enabling

std::int32_t CScanner::DeviceEnable(bool enable) {
    std::lock_guard<sorvex::sync::CriticalSection> lock(m_EnableLock);
    Trace(3, "Enter DeviceEnable");
    if (Tracing(4)) {
        Trace(4, std::string("  *   Enable: ") + Bit(enable));
        Trace(4, "  *   in DeviceEnable, m_CommProtocol: " + NumToString(m_CommProtocol));
        Trace(4, "  *   in DeviceEnable, m_ModelNumber:  " + m_ModelNumber);
    }
    std::int32_t rc = OPOS_SUCCESS;
    CCommArbiter& arbiter = TheArbiter();
    const int usbKind = UsbDeviceKind();
    if (enable && !m_DeviceStatus.Test(kDeviceEnabled)) {
        m_EventQueue.SetAllowableEvents(31);
        m_EventQueue.SetEnabledEvents(kEventError |
                                      (m_DeviceStatus.Test(kDataEventEnabled) ? kEventData : 0));
        {
            // Parts of a label from before this enable never join a label read after it.
            std::lock_guard<std::mutex> partial(m_PartialLock);
            m_UsbPartialLabel.clear();
            m_UsbLabelOverflow = false;
        }
        int subscribed = 0;  // what to undo when a later step fails
        try {
            if (m_CommProtocol == 2) {
                arbiter.AddIbmUsbDevice(usbKind, m_ModelNumber, this, &CScanner::UsbCallback);
                subscribed = 1;
                std::this_thread::yield();
                arbiter.WriteUsbData(usbKind, kUsbEnable);
            } else if (m_CommProtocol == 0) {
                arbiter.AddSerialDevice(0, m_ComPort, kSingleCableStart, kSingleCableStop, this,
                                        &CScanner::DataCallback);
                subscribed = 1;
                Write(kSerialEnable);
                std::this_thread::yield();
            } else {
                arbiter.AddSerialDevice(0, m_ComPort, kStx, kEtx, this, &CScanner::DataCallback);
                subscribed = 1;
                arbiter.AddSerialDevice(0, m_ComPort, kSoh, kEtx, this, &CScanner::StatsCallback);
                subscribed = 2;
                std::this_thread::yield();
            }
            m_DeviceStatus.Set(kDeviceEnabled);
        } catch (const TalvexError& e) {
            Trace(0, e.what());
            rc = OPOS_E_FAILURE;
            m_EventQueue.SetAllowableEvents(0);
            m_EventQueue.SetEnabledEvents(0);
            // Leave no subscription behind: it would keep the port open.
            if (m_CommProtocol == 2) {
                if (subscribed > 0) {
                    arbiter.RemoveIbmUsbDevice(usbKind);
                }
            } else if (m_CommProtocol == 0) {
                if (subscribed > 0) {
                    arbiter.RemoveSerialDevice(0, m_ComPort, kSingleCableStart, kSingleCableStop);
                }
            } else {
                if (subscribed > 1) {
                    arbiter.RemoveSerialDevice(0, m_ComPort, kSoh, kEtx);
                }
                if (subscribed > 0) {
                    arbiter.RemoveSerialDevice(0, m_ComPort, kStx, kEtx);
                }
            }
        }
    } else if (!enable && m_DeviceStatus.Test(kDeviceEnabled)) {
        m_EventQueue.SetAllowableEvents(0);
        if (m_CommProtocol == 2) {
            arbiter.WriteUsbData(usbKind, kUsbDisable);
            arbiter.RemoveIbmUsbDevice(usbKind);
            // A device lost just before this disable may have started the reconnect timer after
            // the caller stopped it; its link is gone now, so stop the timer for good, unless
            // the disable is the reconnect's own.
            if (!m_Reconnecting) {
                StopTimer(kReconnectTimer);
            }
        } else if (m_CommProtocol == 0) {
            Write(kSerialDisable);
            arbiter.RemoveSerialDevice(0, m_ComPort, kSingleCableStart, kSingleCableStop);
        } else {
            arbiter.RemoveSerialDevice(0, m_ComPort, kStx, kEtx);
            arbiter.RemoveSerialDevice(0, m_ComPort, kSoh, kEtx);
        }
        m_DeviceStatus.Clear(kDeviceEnabled);
    }
    Trace(3, "Exit DeviceEnable");
    return rc;
}

void CScanner::StopReconnectTimer() {
    StopTimer(kReconnectTimer);
}

// ---------------------------------------------------------------------------------------------
// Properties

bool CScanner::GetDeviceNumber(std::int32_t index, std::int32_t& value) {
    switch (index) {
        case PIDX_SCAN_DecodeData:
            value = m_DeviceStatus.Test(kDecodeData) ? 1 : 0;
            return true;
        case PIDX_SCAN_ScanDataType: {
            std::lock_guard<std::mutex> lock(m_DataLock);
            value = ScanDataType;
            return true;
        }
        default:
            return false;
    }
}

bool CScanner::SetDeviceNumber(std::int32_t index, std::int32_t value) {
    if (index == PIDX_SCAN_DecodeData) {
        m_DeviceStatus.Assign(kDecodeData, value != 0);
        return true;
    }
    return false;  // ScanDataType and unknown indices
}

bool CScanner::GetDeviceString(std::int32_t index, std::string& value) {
    std::lock_guard<std::mutex> lock(m_DataLock);
    switch (index) {
        case PIDX_SCAN_ScanData:
            value = ScanData;
            return true;
        case PIDX_SCAN_ScanDataLabel:
            value = ScanDataLabel;
            return true;
        default:
            return false;
    }
}

// ---------------------------------------------------------------------------------------------
// Link callbacks (read threads)

int CScanner::DataCallback(void* context, const std::string& frame) {
    return static_cast<CScanner*>(context)->ProcessDataEvent(frame);
}

int CScanner::StatsCallback(void* context, const std::string& frame) {
    return static_cast<CScanner*>(context)->ProcessStatsEvent(frame);
}

int CScanner::UsbCallback(void* context, const std::string& report, int lost) {
    return static_cast<CScanner*>(context)->ProcessUsbDataEvent(report, lost);
}

int CScanner::ProcessDataEvent(const std::string& frame) {
    std::lock_guard<sorvex::sync::CriticalSection> fire(m_FireLock);
    Trace(3, "Enter ProcessDataEvent");
    if (Tracing(4)) {
        Trace(4, "  *   Data: " + frame);
        Trace(4, "  *   in ProcessDataEvent, Data.length = " + NumToString(frame.size()));
        Trace(4,
              "  *   in ProcessDataEvent, m_DeviceStatus = " + NumToString(m_DeviceStatus.Get()));
    }
    if (frame.size() <= 3) {
        Trace(4, "  *   in ProcessDataEvent, Data.length() <= 3");
        return 0;
    }
    if (!m_DeviceStatus.Test(kDeviceEnabled)) {
        Trace(4, "  *   in ProcessDataEvent, Device is Disabled");
        return 0;
    }
    if (m_CommProtocol == 0 && IsScannerScaleCommandReply(frame)) {
        Trace(4, "  *   in ProcessDataEvent, id'd Heronix command response");
        return 0;
    }
    bool ax310 = false;
    if (m_CommProtocol == 3) {
        ax310 = ReadServiceInfoNumberOr("AX310Handling", 0) == 1;
    }
    std::int32_t dataKind = kDataKindScannerScale;
    if (static_cast<std::uint8_t>(frame[0]) == kStx) {
        dataKind = kDataKindScannerOnly;
        if (m_CommProtocol != 3) {
            for (int i = 0; i < 2; ++i) {
                Trace(4, "  *   in ProcessDataEvent, about to send ACK (" + kAck + ")");
                Write(kAck);
            }
        } else if (ax310) {
            Write(std::string("\xFF", 1));
        }
    }
    int result = 0;
    if (!HasScanData(dataKind, frame)) {
        // Nothing but STX bytes: there is no label to deliver, and nothing to stop reading for.
        Trace(2, "Scan data without a label received and dropped: " + StringToHex(frame));
    } else {
        Trace(4, "  *   in ProcessDataEvent, about to try to enqueue event");
        try {
            m_EventQueue.Enqueue(OposEvent::Data(dataKind, frame));
        } catch (const TalvexError& e) {
            Trace(0, e.what());
        }
        // Stopping the link's reading ends the read thread of the whole port; on the single
        // cable the scale shares that port, so there the auto-disable is left to the queue.
        if (m_DeviceStatus.Test(kAutoDisable) && m_CommProtocol != 0) {
            result = 1;
        }
    }
    if (result == 0 && ax310 && dataKind == kDataKindScannerOnly) {
        Pause(25ms);
        Write(std::string("\x80", 1));
    }
    Trace(3, "Exit ProcessDataEvent");
    if (Tracing(4)) {
        Trace(4, "  *   ReturnValue = " + NumToString(result));
    }
    return result;
}

int CScanner::ProcessStatsEvent(const std::string& frame) {
    Trace(3, "Enter ProcessStatsEvent");
    if (Tracing(4)) {
        Trace(4, "  *   Stats: " + frame);
    }
    std::lock_guard<sorvex::sync::CriticalSection> lock(m_StatsLock);
    if (m_DeviceStatus.Test(kStatisticsPending) && m_DeviceStatus.Test(kDeviceEnabled) &&
        frame.size() >= 11) {
        m_ScannerStats = frame.substr(1, frame.size() - 2);
        if (Tracing(4)) {
            Trace(4, "  *   m_ScannerStats = " + m_ScannerStats);
        }
        m_hStatsEvent.Set();
    }
    return 0;
}

int CScanner::ProcessUsbDataEvent(const std::string& report, int errorCode) {
    Trace(3, "Enter ProcessUsbDataEvent");
    if (Tracing(4)) {
        Trace(4, "  *   Data:          " + StringToHex(report));
        Trace(4, "  *   aintErrorCode: " + NumToString(errorCode));
    }
    if (errorCode != 0) {
        {
            // Whatever arrived of a label is lost with the device.
            std::lock_guard<std::mutex> partial(m_PartialLock);
            m_UsbPartialLabel.clear();
            m_UsbLabelOverflow = false;
        }
        Trace(4, "  *   Setting Reconnect timer");
        StartTimer(kReconnectTimer, m_Timings.reconnectPeriodMs);
        return 0;
    }
    int result = 0;
    {
        std::lock_guard<sorvex::sync::CriticalSection> fire(m_FireLock);
        UsbReportResult step;
        {
            std::lock_guard<std::mutex> partial(m_PartialLock);
            step = AssembleUsbReport(report, m_UsbPartialLabel, m_UsbLabelOverflow);
        }
        if (step.stalePartialDropped) {
            Trace(2, "USB label parts without their last part dropped.");
        }
        switch (step.outcome) {
            case UsbReportOutcome::Truncated:
                Trace(2, "USB report shorter than its length byte claims dropped: " +
                             StringToHex(report));
                break;
            case UsbReportOutcome::Overflow:
                Trace(2, "USB label longer than " + NumToString(kMaxUsbPartialLabel) +
                             " bytes dropped.");
                break;
            case UsbReportOutcome::NoLabel:
                Trace(2, "USB label part shorter than its symbology suffix dropped: " +
                             StringToHex(report));
                break;
            case UsbReportOutcome::Label:
                try {
                    m_EventQueue.Enqueue(OposEvent::Data(kDataKindIbmUsb, std::move(step.part)));
                } catch (const TalvexError& e) {
                    Trace(0, e.what());
                }
                result = m_DeviceStatus.Test(kAutoDisable) ? 1 : 0;
                break;
            default:  // bad headers, empty parts, continuations, the rest of a dropped label
                break;
        }
    }
    Trace(3, "Exit ProcessUsbDataEvent");
    if (Tracing(4)) {
        Trace(4, "  *   ReturnValue = " + NumToString(result));
    }
    return result;
}

// ---------------------------------------------------------------------------------------------
// Delivery thread

void CScanner::ProcessEvent(OposEvent& event) {
    Trace(3, "Enter ProcessEvent");
    switch (event.Type()) {
        case kEventData:
            HandleDataEvent(event);
            break;
        case kEventDisable:
            DeviceEnable(false);
            break;
        default:
            break;
    }
    Trace(3, "Exit ProcessEvent");
}

void CScanner::HandleDataEvent(const OposEvent& event) {
    Trace(3, "Enter HandleDataEvent");
    const bool decode = m_DeviceStatus.Test(kDecodeData);
    ScanLabel label;
    switch (event.DataKind()) {
        case kDataKindScannerScale:
            label = ParseScannerScaleData(event.Data(), decode);
            break;
        case kDataKindScannerOnly:
            label = ParseScannerOnlyData(event.Data(), decode);
            break;
        case kDataKindIbmUsb:
            label = ParseIbmUsbScannerData(event.Data(), decode);
            break;
        default:
            Trace(2, "Invalid scan data type received.");
            Trace(3, "Exit HandleDataEvent");
            return;
    }
    {
        std::lock_guard<std::mutex> lock(m_DataLock);
        ScanData = std::move(label.scanData);
        ScanDataLabel = std::move(label.scanDataLabel);
        ScanDataType = label.scanDataType;
    }
    DataEventEnable(false);
    SendToWindow(WM_FIRE_DATA_EVENT, 0, 0);
    Trace(3, "Exit HandleDataEvent");
}

// ---------------------------------------------------------------------------------------------
// USB reconnection (object's thread)

void CScanner::OnTimer(std::uintptr_t timerId) {
    OnReconnectTimeout(timerId);
}

void CScanner::OnReconnectTimeout(std::uintptr_t timerId) {
    Trace(3, "Enter OnReconnectTimeout");
    if (timerId == kReconnectTimer) {
        Trace(4, "  *   wParam: ReconnectIbmUsbTimeout");
        StopTimer(kReconnectTimer);
        m_Reconnecting = true;
        DeviceEnable(false);
        m_Reconnecting = false;
        m_hReconnectWait.Wait(static_cast<int>(m_Timings.reconnectPause.count()));
        if (!m_DeviceStatus.Test(kDeviceEnabled) && m_DeviceStatus.Test(kClaimed)) {
            if (!UsbDeviceInfo::FindUsbDevice(UsbDeviceKind(), m_ModelNumber, nullptr).empty()) {
                DeviceEnable(true);
            } else {
                Trace(4, "  *   Unable to find device");
            }
            m_hReconnectWait.Wait(static_cast<int>(m_Timings.reconnectSettle.count()));
        }
        if (m_DeviceStatus.Test(kDeviceEnabled)) {
            Trace(4, "  *   Device is re-Enabled");
        } else if (!m_DeviceStatus.Test(kClaimed)) {
            Trace(4, "  *   Device is no longer Claimed");
        } else {
            Trace(4, "  *   Re-setting timer to try again");
            StartTimer(kReconnectTimer, m_Timings.reconnectPeriodMs);
        }
    }
    Trace(3, "Exit OnReconnectTimeout");
}

// ---------------------------------------------------------------------------------------------
// Statistics

void CScanner::RequestStatistics() {
    Trace(3, "Enter RequestStatistics");
    if (m_CommProtocol == 1 || m_CommProtocol == 3) {
        Write("U");
    } else {
        Trace(1,
              "Attempt to RequestStatistics through an interface for which this method is not "
              "presently supported and/or tested.");
    }
    Trace(3, "Exit RequestStatistics");
}

std::int32_t CScanner::RetrieveStatistics(std::string* pString) {
    Trace(3, "Enter RetrieveStatistics");
    const std::string request = pString != nullptr ? *pString : std::string();
    if (Tracing(4)) {
        Trace(4, "  *   pString: " + request);
    }
    std::int32_t rc = OPOS_SUCCESS;
    if (!m_DeviceStatus.Test(kClaimed)) {
        Trace(1, "Attempt to retrieve statistics before the device is claimed.");
        rc = OPOS_E_NOTCLAIMED;
    } else if (!m_DeviceStatus.Test(kDeviceEnabled)) {
        Trace(1, "Attempt to retrieve statistics before the device is enabled.");
        rc = OPOS_E_DISABLED;
    } else {
        {
            std::lock_guard<sorvex::sync::CriticalSection> lock(m_StatsLock);
            m_ScannerStats.clear();
            m_hStatsEvent.Reset();
            m_DeviceStatus.Set(kStatisticsPending);
        }
        RequestStatistics();
        const bool replied =
            m_hStatsEvent.Wait(static_cast<int>(m_Timings.statisticsReply.count()));
        std::string reply;
        {
            std::lock_guard<sorvex::sync::CriticalSection> lock(m_StatsLock);
            m_DeviceStatus.Clear(kStatisticsPending);
            reply = m_ScannerStats;
        }
        if (!replied) {
            Trace(1, "Error or timeout on attempt to retrieve statistics from scanner.");
            rc = OPOS_E_TIMEOUT;
        } else {
            EquipmentInfo equipment = DefaultEquipment(StatisticsDevice::Scanner, m_CommProtocol);
            ApplyStatisticsReply(reply, equipment);
            const StatisticsSelection selection =
                SelectStatistics(request, StatisticsDevice::Scanner);
            if (selection.unknownName) {
                rc = OPOS_E_ILLEGAL;
            }
            m_StatisticsText =
                BuildStatisticsDocument(equipment, selection, StatisticsDevice::Scanner);
            if (pString != nullptr) {
                *pString = m_StatisticsText;
            }
        }
    }
    m_ResultCode = rc;
    TraceResult("RetrieveStatistics", rc);
    return rc;
}

// ---------------------------------------------------------------------------------------------
// DirectIO

std::int32_t CScanner::DirectIO(std::int32_t command, std::int32_t* pData, std::string* pString) {
    Trace(3, "Enter DirectIO");
    const std::string text = pString != nullptr ? *pString : std::string();
    if (Tracing(4)) {
        Trace(4, "  *   Command: " + NumToString(command));
        Trace(4, "  *   pData: " + NumToString(pData != nullptr ? *pData : 0));
        Trace(4, "  *   pString: " + text);
    }
    std::int32_t rc = OPOS_SUCCESS;
    if (!m_DeviceStatus.Test(kDeviceEnabled)) {
        rc = OPOS_E_ILLEGAL;
    } else if (m_CommProtocol == 0) {
        auto send = [this](const char* bytes, int times, std::chrono::milliseconds pause) {
            for (int i = 0; i < times; ++i) {
                Write(std::string(bytes, 4));
                Pause(pause);
            }
        };
        switch (command) {
            case 1:
                send("\xF3\x14\x01\xF1", 3, 125ms);
                break;
            case 2:
                send("\xF3\x14\x02\xF1", 1, 1000ms);
                break;
            case 3:
                send("\xF3\x14\x01\xF1", 1, 100ms);
                break;
            case 4:
                send("\xF3\x14\x00\xF1", 1, 100ms);
                break;
            case 5:
                send("\xF3\x18\x00\xF1", 1, 100ms);
                break;
            case 10:
                Write(text);
                Pause(100ms);
                break;
            default:
                break;
        }
    } else if (m_CommProtocol == 1 || m_CommProtocol == 3) {
        switch (command) {
            case 1:
                for (int i = 0; i < 3; ++i) {
                    Write("\x07");
                    Pause(300ms);
                }
                break;
            case 2:
                Write("z");
                Pause(250ms);
                break;
            case 3:
                Write("\x07");
                Pause(250ms);
                break;
            case 10:
                Write(text);
                Pause(100ms);
                break;
            default:
                break;
        }
    }
    m_ResultCode = rc;
    TraceResult("DirectIO", rc);
    return rc;
}

}  // namespace talvex
