#include "service/scale/scale.h"

#include <chrono>
#include <thread>

#include "service/frame/errors.h"
#include "service/frame/log.h"
#include "service/frame/opos.h"
#include "service/frame/statistics.h"
#include "service/frame/strings.h"
#include "service/links/comm_arbiter.h"
#include "service/links/usb_device_info.h"

namespace talvex {

const DeviceTexts kScaleTexts = {
    "CScale",
    "OrvantaOposScale",
    "The device is already claimed by another application.",
    "Attempted to enable the device before it is claimed.",
    "Invalid property number specified.",
    "Invalid property number specified.",
    "  *   DeviceName: ",
    "  *  pRC: ",
    "  *  pNumber: ",
    "  *  pString: ",
    1008003,
    "Orvanta OPOS Scale Service Object",
    /*deviceEnabledNeedsClaim=*/false,
    /*closeTestsOpened=*/false,
    /*exitTraceOnConfigError=*/false,
};

namespace {

constexpr std::uint8_t kStartByte = 0xF8;
constexpr std::uint8_t kStopByte = 0xF1;
constexpr const char* kUsbModel = "scale";
constexpr const char* kDeviceName = "Orvanta Scanner/Scale";
constexpr const char* kDeviceDescription = "Orvanta Heronix/21xx Single-Cable Scanner/Scale";

std::int32_t ReadProfileNumberOr(const RegistryValues& values, const char* name,
                                 std::int32_t fallback) {
    try {
        return values.ReadProfileNumber(name);
    } catch (const TalvexError&) {
        return fallback;
    }
}

}  // namespace

CScale::CScale(ScaleTimings timings) : CDevice(kScaleTexts), m_Timings(timings) {}

CScale::~CScale() {
    TheArbiter().DetachContext(this);
    Shutdown();
}

// ---------------------------------------------------------------------------------------------
// Open, enable, properties

bool CScale::ConfigureDevice(const RegistryValues& values) {
    m_CommProtocol = ReadProfileNumberOr(values, "Scale Version", 0);
    m_ComPort = 0;
    if (m_CommProtocol == 2) {
        if (UsbDeviceInfo::FindUsbDevice(kUsbDeviceKind, kUsbModel, nullptr).empty()) {
            Trace(0, "No Full Speed USB Scales are connected to the system.");
            return false;
        }
    } else {
        m_ComPort = values.ReadProfileNumber("Serial Port");
    }
    try {
        m_DisplaySetting = values.ReadProfileNumber("Display");
    } catch (const TalvexError&) {
        Trace(1, "Unable to read configuration setting RegistryValues::ScaleDisplay.");
        m_DisplaySetting = 0;
    }
    try {
        m_UnitSetting = values.ReadProfileNumber("WeightUnit");
    } catch (const TalvexError&) {
        Trace(1, "Unable to read configuration setting RegistryValues::WeightUnits.");
        m_UnitSetting = 0;
    }

    // Unit probe: ask the scale for its status over the link enabling uses.
    m_DeviceStatus.Store(0);
    try {
        Subscribe();
    } catch (const TalvexError&) {
        Trace(1, "Error attempting to determine scanner configuration.");
        return false;
    }
    m_StatusEvent.Reset();
    RequestStatus();
    const bool answered = m_StatusEvent.Wait(m_Timings.statusProbeMs);
    Unsubscribe();
    // A reply being decoded right now must not change the flags after they are reset below.
    WaitForCallbacks();
    if (answered) {
        m_UnitSetting = m_DeviceStatus.Test(kKilograms) ? 1 : 0;
    }
    m_DeviceStatus.Store(0);
    m_DeviceName = kDeviceName;
    m_DeviceDescription = kDeviceDescription;
    return true;
}

void CScale::OnOpened() {
    m_CheckHealthText = "[Error]";
    if (m_DisplaySetting != 0) {
        m_DeviceStatus.Set(kCapDisplay);
    }
    if (m_UnitSetting == 1) {
        m_DeviceStatus.Set(kKilograms);
    }
}

void CScale::Subscribe() {
    if (m_CommProtocol == 0) {
        TheArbiter().AddSerialDevice(kSerialDeviceType, m_ComPort, kStartByte, kStopByte, this,
                                     &CScale::SerialCallback);
    } else {
        TheArbiter().AddIbmUsbDevice(kUsbDeviceKind, kUsbModel, this, &CScale::UsbCallback);
    }
}

void CScale::Unsubscribe() {
    if (m_CommProtocol == 0) {
        TheArbiter().RemoveSerialDevice(kSerialDeviceType, m_ComPort, kStartByte, kStopByte);
    } else {
        TheArbiter().RemoveIbmUsbDevice(kUsbDeviceKind);
    }
}

void CScale::WaitForCallbacks() {
    for (int active = m_ActiveCallbacks.load(); active != 0; active = m_ActiveCallbacks.load()) {
        m_ActiveCallbacks.wait(active);
    }
}

std::int32_t CScale::DeviceEnable(bool enable) {
    std::lock_guard<std::mutex> lock(m_EnableLock);
    Trace(3, "Enter DeviceEnable");
    if (Tracing(4)) {
        Trace(4, std::string("  *   Enable: ") + (enable ? "1" : "0"));
    }
    std::int32_t rc = OPOS_SUCCESS;
    if (enable && !m_DeviceStatus.Test(kDeviceEnabled)) {
        try {
            m_EventQueue.SetAllowableEvents(31);
            m_EventQueue.SetEnabledEvents(
                kEventError | (m_DeviceStatus.Test(kDataEventEnabled) ? kEventData : 0));
            Subscribe();
            std::this_thread::yield();
            m_DeviceStatus.Set(kDeviceEnabled);
        } catch (const TalvexError& e) {
            Trace(0, e.what());
            rc = OPOS_E_FAILURE;
            m_EventQueue.SetAllowableEvents(0);
            m_EventQueue.SetEnabledEvents(0);
        }
    } else if (!enable && m_DeviceStatus.Test(kDeviceEnabled)) {
        StopTimer(AsyncReadTimeout);
        m_EventQueue.SetAllowableEvents(0);
        Unsubscribe();
        // A read that was pending has lost its timer and its link: it is over, so the next
        // asynchronous ReadWeight after enabling again is accepted.
        m_DeviceStatus.Clear(kWeightRequestPending | kStatusRequestPending);
        m_DeviceStatus.Clear(kDeviceEnabled);
    }
    Trace(3, "Exit DeviceEnable");
    return rc;
}

bool CScale::GetDeviceNumber(std::int32_t index, std::int32_t& value) {
    const std::uint32_t bits = m_DeviceStatus.Get();
    switch (index) {
        case PIDX_SCAL_MaximumWeight:
            value = (bits & kKilograms) ? 15000 : (bits & kOunces) ? 480000 : 30000;
            return true;
        case PIDX_SCAL_WeightUnit:
            value = (bits & kKilograms) ? SCAL_WU_KILOGRAM
                    : (bits & kOunces)  ? SCAL_WU_OUNCE
                                        : SCAL_WU_POUND;
            return true;
        case PIDX_SCAL_AsyncMode:
            value = (bits & kAsyncMode) ? 1 : 0;
            return true;
        case PIDX_SCAL_MaxDisplayTextChars:
        case PIDX_SCAL_TareWeight:
        case PIDX_SCAL_CapDisplayText:
        case PIDX_SCAL_CapPriceCalculating:
            value = 0;
            return true;
        case PIDX_SCAL_CapDisplay:
            value = (bits & kCapDisplay) ? 1 : 0;
            return true;
        case PIDX_SCAL_CapTareWeight:
        case PIDX_SCAL_CapZeroScale:
            value = 1;
            return true;
        default:
            return false;
    }
}

bool CScale::SetDeviceNumber(std::int32_t index, std::int32_t value) {
    if (index == PIDX_SCAL_AsyncMode) {
        m_DeviceStatus.Assign(kAsyncMode, value != 0);
        return true;
    }
    return false;
}

// ---------------------------------------------------------------------------------------------
// The scale's own methods

std::int32_t CScale::DirectIO(std::int32_t Command, std::int32_t* pData, std::string* pString) {
    Trace(3, "Enter DirectIO");
    if (Tracing(4)) {
        Trace(4, "  *   Command: " + NumToString(Command));
        Trace(4, "  *   pData: " + NumToString(pData != nullptr ? *pData : 0));
        Trace(4, "  *   pString: " + (pString != nullptr ? *pString : std::string()));
    }
    const std::int32_t rc = m_DeviceStatus.Test(kDeviceEnabled) ? OPOS_SUCCESS : OPOS_E_ILLEGAL;
    m_ResultCode = rc;
    TraceResult("DirectIO", rc);
    return rc;
}

std::int32_t CScale::DisplayText(const std::string& Data) {
    Trace(3, "Enter DisplayText");
    if (Tracing(4)) {
        Trace(4, "  *   Data: " + Data);
    }
    Trace(1, "The scale does not support setting the display text.");
    m_ResultCode = OPOS_E_ILLEGAL;
    TraceResult("DisplayText", OPOS_E_ILLEGAL);
    return OPOS_E_ILLEGAL;
}

void CScale::GetSalesPrice(sorvex::com::CY* pCY) {
    Trace(3, "Enter GetSalesPrice");
    pCY->int64 = 0;
    m_ResultCode = OPOS_SUCCESS;
    Trace(3, "Exit GetSalesPrice");
}

void CScale::GetUnitPrice(sorvex::com::CY* pCY) {
    Trace(3, "Enter GetUnitPrice");
    pCY->int64 = 0;
    m_ResultCode = OPOS_SUCCESS;
    Trace(3, "Exit GetUnitPrice");
}

void CScale::SetUnitPrice(sorvex::com::CY) {
    Trace(3, "Enter SetUnitPrice");
    m_ResultCode = OPOS_E_ILLEGAL;
    Trace(3, "Exit SetUnitPrice");
}

std::int32_t CScale::RetrieveStatistics(std::string* pString) {
    Trace(3, "Enter RetrieveStatistics");
    if (Tracing(4)) {
        Trace(4, "  *   pString: " + *pString);
    }
    std::int32_t rc = OPOS_SUCCESS;
    if (!m_DeviceStatus.Test(kClaimed)) {
        Trace(1, "Attempt to retrieve statistics before the device is claimed.");
        rc = OPOS_E_NOTCLAIMED;
    } else if (!m_DeviceStatus.Test(kDeviceEnabled)) {
        Trace(1, "Attempt to retrieve statistics before the device is enabled.");
        rc = OPOS_E_DISABLED;
    } else {
        // The scale is never asked: its equipment section always holds the defaults.
        m_DeviceStatus.Set(kStatisticsPending);
        Trace(3, "Enter RequestStatistics");
        if (m_CommProtocol != 0) {
            Trace(1,
                  "Attempt to RequestStatistics through an interface for which this method is "
                  "not presently supported and/or tested.");
        }
        Trace(3, "Exit RequestStatistics");
        m_DeviceStatus.Clear(kStatisticsPending);
        const EquipmentInfo equipment = DefaultEquipment(StatisticsDevice::Scale, m_CommProtocol);
        const StatisticsSelection selection = SelectStatistics(*pString, StatisticsDevice::Scale);
        if (selection.unknownName) {
            rc = OPOS_E_ILLEGAL;
        }
        m_StatisticsText = BuildStatisticsDocument(equipment, selection, StatisticsDevice::Scale);
        *pString = m_StatisticsText;
    }
    m_ResultCode = rc;
    TraceResult("RetrieveStatistics", rc);
    return rc;
}

// ---------------------------------------------------------------------------------------------
// Reading

void CScale::Send(scale::Command command) {
    if (m_CommProtocol == 0) {
        TheArbiter().WriteData(m_ComPort, scale::SerialCommand(command));
    } else {
        TheArbiter().WriteUsbData(kUsbDeviceKind, scale::UsbCommand(command));
    }
}

void CScale::RequestWeight() {
    Trace(3, "Enter RequestWeight");
    Send(m_DeviceStatus.Test(kKilograms) ? scale::Command::WeightKilograms
                                         : scale::Command::WeightPounds);
    Trace(3, "Exit RequestWeight");
}

void CScale::RequestStatus() {
    Trace(3, "Enter RequestStatus");
    m_DeviceStatus.Set(kStatusRequestPending);
    Send(scale::Command::Status);
    Trace(3, "Exit RequestStatus");
}

std::int32_t CScale::ReadWeight(std::int32_t* pData, std::int32_t Timeout) {
    Trace(3, "Enter ReadWeight");
    if (Tracing(4)) {
        Trace(4, "  *   pData: " + NumToString(*pData));
        Trace(4, "  *   Timeout: " + NumToString(Timeout));
    }
    m_ResultCodeExtended = 0;
    std::int32_t rc = OPOS_SUCCESS;
    const std::uint32_t bits = m_DeviceStatus.Get();
    if (!(bits & kClaimed)) {
        TALVEX_LOG(1, "ReadWeight", "Attempt to read a weight before the device is claimed.");
        rc = OPOS_E_NOTCLAIMED;
    } else if (!(bits & kDeviceEnabled)) {
        Trace(1, "Attempt to read a weight before the device is enabled.");
        rc = OPOS_E_DISABLED;
    } else if ((bits & kWeightRequestPending) && (bits & kAsyncMode)) {
        Trace(1, "Attempt to read a weight while there is already a weight request pending.");
        rc = OPOS_E_ILLEGAL;
    } else {
        m_Weight = 0;
        m_ReadEvent.Reset();
        m_ReadAnswered = false;
        ++m_ReadSequence;
        m_DeviceStatus.Set(kWeightRequestPending);
        if (bits & kAsyncMode) {
            m_AsyncTimeout = Timeout;
            // Started before the request goes out, so a reply that comes at once always finds
            // the timer to stop.
            if (Timeout >= 0) {
                StartTimer(AsyncReadTimeout, static_cast<unsigned>(Timeout));
            }
        }
        RequestWeight();
        if (bits & kAsyncMode) {
            Trace(4, "  *   in ReadWeight, asynchronous mode");
            *pData = 0;
        } else {
            Trace(4, "  *   in ReadWeight, synchronous mode");
            const int wait = Timeout == 0  ? m_Timings.defaultReadTimeoutMs
                             : Timeout < 0 ? sorvex::sync::kInfinite
                                           : Timeout;
            if (m_ReadEvent.Wait(wait)) {
                Trace(4,
                      "  *   in ReadWeight, back from WaitForSingleObject, with Result = "
                      "WAIT_OBJECT_0");
                const std::int32_t weight = m_Weight.load();
                if (weight != -1) {
                    *pData = weight;
                } else {
                    *pData = 0;
                    rc = OPOS_E_EXTENDED;
                    m_ResultCodeExtended = OPOS_ESCAL_OVERWEIGHT;
                }
            } else {
                Trace(4,
                      "  *   in ReadWeight, back from WaitForSingleObject, with Result != "
                      "WAIT_OBJECT_0");
                *pData = 0;
                rc = OPOS_E_TIMEOUT;
            }
            m_DeviceStatus.Clear(kWeightRequestPending);
        }
    }
    m_ResultCode = rc;
    Trace(3, "Exit ReadWeight");
    if (Tracing(4)) {
        Trace(4, "  *  pData: " + NumToString(*pData));
        Trace(4, "  *  pRC: " + NumToString(rc));
    }
    return rc;
}

std::int32_t CScale::ZeroScale() {
    Trace(3, "Enter ZeroScale");
    std::int32_t rc = OPOS_SUCCESS;
    const std::uint32_t bits = m_DeviceStatus.Get();
    if (!(bits & kClaimed)) {
        Trace(1, "Attempt to zero the scale before the device is claimed.");
        rc = OPOS_E_NOTCLAIMED;
    } else if (!(bits & kDeviceEnabled)) {
        Trace(1, "Attempt to zero the scale before the device is enabled.");
        rc = OPOS_E_DISABLED;
    } else {
        Send(scale::Command::Zero);
    }
    m_ResultCode = rc;
    TraceResult("ZeroScale", rc);
    return rc;
}

// ---------------------------------------------------------------------------------------------
// Link callbacks (read thread)

namespace {

// Counts a callback in progress, for WaitForCallbacks.
class CallbackScope {
  public:
    explicit CallbackScope(std::atomic<int>& active) : m_Active(active) { ++m_Active; }
    ~CallbackScope() {
        --m_Active;
        m_Active.notify_all();
    }
    CallbackScope(const CallbackScope&) = delete;
    CallbackScope& operator=(const CallbackScope&) = delete;

  private:
    std::atomic<int>& m_Active;
};

}  // namespace

int CScale::SerialCallback(void* context, const std::string& frame) {
    auto* scale = static_cast<CScale*>(context);
    CallbackScope scope(scale->m_ActiveCallbacks);
    try {
        scale->ProcessDataEvent(frame);
    } catch (const std::exception& e) {
        TALVEX_LOG(0, "CScale", e.what());
    }
    return 0;
}

int CScale::UsbCallback(void* context, const std::string& report, int) {
    auto* scale = static_cast<CScale*>(context);
    CallbackScope scope(scale->m_ActiveCallbacks);
    try {
        scale->ProcessUsbDataEvent(report);
    } catch (const std::exception& e) {
        TALVEX_LOG(0, "CScale", e.what());
    }
    return 0;
}

int CScale::ProcessDataEvent(const std::string& Data) {
    Trace(3, "Enter ProcessDataEvent");
    if (Tracing(4)) {
        Trace(4, "  *   Data: " + StringToHex(Data));
    }
    int r = 0;
    if (m_DeviceStatus.Test(kWeightRequestPending | kStatusRequestPending)) {
        std::optional<scale::Reply> reply = scale::ParseSerialReply(Data);
        if (!reply) {
            // Too short to hold a status: the answer to the request is lost, so ask again.
            Trace(2, "Scale reply too short to decode: " + StringToHex(Data));
            if (m_DeviceStatus.Test(kWeightRequestPending)) {
                RequestWeight();
            }
        } else if (m_DeviceStatus.Test(kWeightRequestPending) && !reply->digits.empty()) {
            r = ProcessScaleData(reply->status, reply->digits);
        } else {
            ProcessStatus(reply->status);
            if (m_DeviceStatus.Test(kWeightRequestPending)) {
                RequestWeight();
            }
        }
    }
    Trace(3, "Exit ProcessDataEvent");
    return r;
}

bool CScale::PauseBeforeRepoll() {
    std::this_thread::sleep_for(std::chrono::milliseconds(m_Timings.usbRepollPauseMs));
    return m_DeviceStatus.Test(kWeightRequestPending | kStatusRequestPending);
}

int CScale::ProcessUsbDataEvent(const std::string& Data) {
    Trace(3, "Enter ProcessUsbDataEvent");
    if (Tracing(4)) {
        Trace(4, "  *   Data: " + StringToHex(Data));
    }
    if (m_DeviceStatus.Test(kWeightRequestPending | kStatusRequestPending)) {
        std::optional<scale::UsbReply> usb = scale::ParseUsbReport(Data);
        if (!usb) {
            // No status byte at all: the answer is lost, ask again.
            Trace(2, "Scale report without status: " + StringToHex(Data));
            if (m_DeviceStatus.Test(kWeightRequestPending) && PauseBeforeRepoll()) {
                RequestWeight();
            }
        } else {
            if (Tracing(4)) {
                Trace(4, "  *   intStatusLength = " + NumToString(usb->statusLength));
                Trace(4, "  *   Status = " + StringToHex(usb->reply.status));
            }
            if (usb->statusLength == 2) {
                Trace(4, "  *   Setting RequestWeight Timer...");
                if (PauseBeforeRepoll()) {
                    RequestWeight();
                }
            } else if (m_DeviceStatus.Test(kWeightRequestPending) && !usb->reply.digits.empty()) {
                ProcessScaleData(usb->reply.status, usb->reply.digits);
            } else {
                ProcessStatus(usb->reply.status);
                // A weight request answered without digits: ask again after the pause, as for
                // every other reply without a usable weight (else the read stalls until its
                // time-out, or for ever).
                if (m_DeviceStatus.Test(kWeightRequestPending)) {
                    Trace(4, "  *   Setting RequestWeight Timer...");
                    if (PauseBeforeRepoll()) {
                        RequestWeight();
                    }
                }
            }
        }
    }
    Trace(3, "Exit ProcessUsbDataEvent");
    return 0;
}

void CScale::ApplyUnit(const std::string& status) {
    std::optional<bool> kilograms = scale::KilogramsOf(status);
    if (!kilograms) {
        return;
    }
    if (*kilograms && !m_DeviceStatus.Test(kKilograms)) {
        Trace(4, "  *   Selecting kilograms...");
        m_DeviceStatus.Set(kKilograms);
    } else if (!*kilograms && m_DeviceStatus.Test(kKilograms)) {
        Trace(4, "  *   De-selecting kilograms...");
        m_DeviceStatus.Clear(kKilograms);
    }
}

void CScale::ProcessStatus(const std::string& Status) {
    Trace(3, "Enter ProcessStatus");
    if (Tracing(4)) {
        Trace(4, "  *   Status: " + StringToHex(Status));
    }
    ApplyUnit(Status);
    m_DeviceStatus.Clear(kStatusRequestPending);
    // Signalled last: the unit probe reads the unit as soon as it wakes.
    m_StatusEvent.Set();
    Trace(3, "Exit ProcessStatus");
}

int CScale::ProcessScaleData(const std::string& Status, const std::string& Data) {
    Trace(3, "Enter ProcessScaleData");
    if (Tracing(4)) {
        Trace(4, "  *   Status: " + StringToHex(Status));
        Trace(4, "  *   Data:   " + StringToHex(Data));
    }
    if (!m_DeviceStatus.Test(kWeightRequestPending)) {
        Trace(3, "Exit ProcessScaleData");
        return 0;
    }
    const scale::StatusFlags flags = scale::FlagsOf(Status);
    if (Tracing(4)) {
        Trace(4, "  *   intNoWghtData_Or_ScaleInMotion = " + NumToString(flags.motion));
        Trace(4, "  *   intScaleCenterOfZero           = " + NumToString(flags.zero));
        Trace(4, "  *   intScaleOverCapacity           = " + NumToString(flags.over));
    }
    const std::int32_t zeroWeightReject = ReadServiceInfoNumberOr("ZeroWeightReject", 0);
    if (Tracing(4)) {
        Trace(4, "  *   intZeroWeightReject            = " + NumToString(zeroWeightReject));
    }
    const bool asyncMode = m_DeviceStatus.Test(kAsyncMode);
    const scale::Decision decision = scale::Decide(flags, Data, zeroWeightReject, asyncMode);
    int result = 0;
    switch (decision.outcome) {
        case scale::Outcome::OverCapacity:
            m_Weight = -1;
            m_ReadEvent.Set();
            break;
        case scale::Outcome::Deliver:
            // The reading is in the unit the scale reports now.
            ApplyUnit(Status);
            m_Weight = decision.weight;
            if (asyncMode) {
                StopTimer(AsyncReadTimeout);
                Trace(4, "  *   In asynch mode, attempting to queue a new data event...");
                std::lock_guard<sorvex::sync::CriticalSection> lock(m_FireLock);
                if (!m_ReadAnswered.exchange(true)) {
                    try {
                        m_EventQueue.Enqueue(OposEvent::Data(decision.weight, Data));
                    } catch (const TalvexError& e) {
                        Trace(0, e.what());
                    }
                    if (m_DeviceStatus.Test(kAutoDisable)) {
                        result = 1;
                    }
                }
            } else {
                Trace(4, "  *   In synch mode, about to SetEvent(m_ReadEvent)...");
                m_ReadEvent.Set();
            }
            break;
        case scale::Outcome::Retry:
            if (decision.undecodable) {
                Trace(2, "Undecodable weight digits: " + StringToHex(Data));
            }
            ProcessStatus(Status);
            Trace(4, "  *   In ProcessScaleData, about to Request Weight again...");
            if (m_CommProtocol == 2) {
                Trace(4, "  *   Setting RequestWeight Timer...");
                if (PauseBeforeRepoll()) {
                    RequestWeight();
                }
            } else {
                RequestWeight();
            }
            break;
    }
    Trace(3, "Exit ProcessScaleData");
    return result;
}

// ---------------------------------------------------------------------------------------------
// Events

void CScale::OnTimer(std::uintptr_t timerId) {
    OnReadTimeout(timerId);
}

void CScale::OnReadTimeout(std::uintptr_t timerId) {
    Trace(3, "Enter OnReadTimeout");
    if (timerId == AsyncReadTimeout) {
        Trace(4, "  *   wParam: AsyncReadTimeout");
        StopTimer(AsyncReadTimeout);
        if (!m_ReadAnswered.exchange(true)) {
            try {
                m_EventQueue.Enqueue(OposEvent::Error(OPOS_E_TIMEOUT, 0, OPOS_EL_INPUT));
            } catch (const TalvexError& e) {
                Trace(0, e.what());
            }
        }
    }
    Trace(3, "Exit OnReadTimeout");
}

void CScale::ProcessEvent(OposEvent& event) {
    Trace(3, "Enter ProcessEvent");
    try {
        switch (event.Type()) {
            case kEventData:
                HandleDataEvent(event);
                break;
            case kEventError:
                HandleErrorEvent(event);
                break;
            case kEventDisable:
                DeviceEnable(false);
                break;
            default:
                break;
        }
    } catch (const TalvexError& e) {
        Trace(0, e.what());
    }
    Trace(3, "Exit ProcessEvent");
}

void CScale::HandleDataEvent(OposEvent& event) {
    Trace(3, "Enter HandleDataEvent");
    const std::int32_t weight = event.DataKind();
    DataEventEnable(false);
    m_HopSequence = m_ReadSequence.load();
    m_DeviceStatus.Clear(kWeightRequestPending);
    SendToWindow(WM_FIRE_DATA_EVENT, static_cast<std::uint32_t>(weight), 0);
    Trace(3, "Exit HandleDataEvent");
}

void CScale::OnFireDataEvent(std::uintptr_t wParam) {
    std::lock_guard<sorvex::sync::CriticalSection> lock(m_FireLock);
    // Cleared before the application hears of the weight, so a ReadWeight from inside its
    // DataEvent handler starts a new read; a read started before this hop is left pending.
    if (m_ReadSequence.load() == m_HopSequence.load()) {
        m_DeviceStatus.Clear(kWeightRequestPending);
    }
    try {
        m_EventSink.FireDataEvent(static_cast<std::int32_t>(static_cast<std::uint32_t>(wParam)));
    } catch (const TalvexError& e) {
        Trace(0, e.what());
    }
}

void CScale::HandleErrorEvent(OposEvent& event) {
    Trace(3, "Enter HandleErrorEvent");
    m_DeviceStatus.Clear(kWeightRequestPending);
    m_State = OPOS_S_ERROR;
    SendToWindow(WM_FIRE_ERROR_EVENT, 0, reinterpret_cast<std::intptr_t>(&event));
    Trace(3, "Exit HandleErrorEvent");
}

void CScale::OnFireErrorEvent(std::uintptr_t, std::intptr_t lParam) {
    const OposEvent& event = *reinterpret_cast<const OposEvent*>(lParam);
    std::int32_t response = OPOS_ER_CLEAR;
    {
        std::lock_guard<sorvex::sync::CriticalSection> lock(m_FireLock);
        try {
            m_EventSink.FireErrorEvent(event.ResultCode(), event.ResultCodeExtended(),
                                       event.ErrorLocus(), &response);
        } catch (const TalvexError& e) {
            Trace(0, e.what());
        }
    }
    m_State = OPOS_S_IDLE;
    if (response == OPOS_ER_RETRY) {
        std::int32_t weight = 0;
        ReadWeight(&weight, m_AsyncTimeout);
    } else if (response == OPOS_ER_CLEAR) {
        ClearInput();
    }
}

}  // namespace talvex
