#include "service/frame/device.h"

#include <system_error>

#include "service/frame/errors.h"
#include "service/frame/log.h"
#include "service/frame/opos.h"
#include "service/frame/strings.h"

namespace talvex {

namespace {

constexpr std::uint32_t kBinaryConversionBits = kBcNone | kBcNibble | kBcDecimal;

}  // namespace

CDevice::CDevice(const DeviceTexts& texts) : m_Texts(texts) {
    m_EventQueue.SetDeliver(this, &CDevice::Deliver);
}

CDevice::~CDevice() {
    Shutdown();
}

bool CDevice::CreateDeviceWindow(std::uint32_t* win32Error) {
    try {
        m_Window = std::make_unique<sorvex::window::HiddenWindow>(
            "CScaleWindow", [this](std::uint32_t message, std::uintptr_t w, std::intptr_t l) {
                return OnWindowMessage(message, w, l);
            });
    } catch (const std::system_error& e) {
        if (win32Error != nullptr) {
            *win32Error = static_cast<std::uint32_t>(e.code().value());
        }
        return false;
    }
    m_WindowRef = m_Window->Ref();
    return true;
}

void CDevice::Shutdown() {
    // Destroying the window releases a delivery thread waiting at the hop; later hops (through
    // m_WindowRef) return at once, so stopping the delivery thread cannot wait for this thread.
    m_Window.reset();
    m_EventQueue.Stop();
}

void CDevice::Deliver(void* owner, OposEvent& event) {
    static_cast<CDevice*>(owner)->ProcessEvent(event);
}

std::intptr_t CDevice::SendToWindow(std::uint32_t message, std::uintptr_t wParam,
                                    std::intptr_t lParam) {
    return m_WindowRef.Send(message, wParam, lParam);
}

bool CDevice::StartTimer(std::uintptr_t id, unsigned periodMs) {
    return m_WindowRef.SetTimer(id, periodMs);
}

bool CDevice::StopTimer(std::uintptr_t id) {
    return m_WindowRef.KillTimer(id);
}

std::intptr_t CDevice::OnWindowMessage(std::uint32_t message, std::uintptr_t wParam,
                                       std::intptr_t lParam) {
    switch (message) {
        case sorvex::window::WM_TIMER:
            OnTimer(wParam);
            return 0;
        case WM_FIRE_DATA_EVENT:
            OnFireDataEvent(wParam);
            return 0;
        case WM_FIRE_ERROR_EVENT:
            OnFireErrorEvent(wParam, lParam);
            return 0;
        default:
            return 0;
    }
}

void CDevice::OnTimer(std::uintptr_t) {}

void CDevice::OnFireDataEvent(std::uintptr_t wParam) {
    std::lock_guard<sorvex::sync::CriticalSection> lock(m_FireLock);
    try {
        m_EventSink.FireDataEvent(static_cast<std::int32_t>(wParam));
    } catch (const TalvexError& e) {
        Trace(0, e.what());
    }
}

void CDevice::OnFireErrorEvent(std::uintptr_t, std::intptr_t) {}

bool CDevice::Tracing(std::int32_t level) const {
    return g_Log.Enabled(level);
}

void CDevice::Trace(std::int32_t level, const std::string& message) const {
    if (g_Log.Enabled(level)) {
        g_Log.Write(level, message, m_Texts.tag);
    }
}

void CDevice::TraceResult(const char* method, std::int32_t rc) {
    Trace(3, std::string("Exit ") + method);
    if (Tracing(4)) {
        Trace(4, m_Texts.resultDetail + NumToString(rc));
    }
}

bool CDevice::GetDeviceNumber(std::int32_t, std::int32_t&) {
    return false;
}
bool CDevice::SetDeviceNumber(std::int32_t, std::int32_t) {
    return false;
}
bool CDevice::GetDeviceString(std::int32_t, std::string&) {
    return false;
}

std::int32_t CDevice::OpenService(const std::string& deviceClass, const std::string& deviceName,
                                  sorvex::com::IDispatch* dispatch) {
    RegistryValues values(deviceClass, deviceName);
    try {
        g_Log.SetLevel(values.ReadServiceInfoNumber("LogVerbosity"));
    } catch (const TalvexError&) {
        g_Log.SetLevel(-1);
    }
    Trace(3, "Enter OpenService");
    if (Tracing(4)) {
        Trace(4, "  *   DeviceClass: " + deviceClass);
        Trace(4, m_Texts.deviceNameDetail + deviceName);
    }
    try {
        if (!ConfigureDevice(values)) {
            m_ResultCode = OPOS_E_NOHARDWARE;
            m_OpenResult = OPOS_E_NOHARDWARE;
            return OPOS_E_NOHARDWARE;
        }
        std::string mutexName = m_Texts.claimMutexPrefix + NumToString(m_ComPort);
        try {
            m_hClaimMutex = std::make_unique<sorvex::sync::NamedMutex>(mutexName);
        } catch (const std::system_error& e) {
            throw TalvexError("Unable to create the claim mutex " + mutexName + ": " + e.what());
        }
        m_EventSink.Attach(dispatch);
        m_DeviceStatus.Set(kOpened | kBcNone);
        m_DeviceStatus.Clear(kClaimed | kDeviceEnabled | kDataEventEnabled | kAutoDisable |
                             kDecodeData | kStatisticsPending);
        m_EventQueue.SetAutoDisable(false);  // follows the AutoDisable bit just cleared
        OnOpened();
        m_State = OPOS_S_IDLE;
        m_ResultCode = OPOS_SUCCESS;
        m_OpenResult = OPOS_SUCCESS;
        TraceResult("OpenService", OPOS_SUCCESS);
        return OPOS_SUCCESS;
    } catch (const TalvexError& e) {
        Trace(0, e.what());
        m_ResultCode = OPOS_ORS_CONFIG;
        m_OpenResult = OPOS_ORS_CONFIG;
        if (m_Texts.exitTraceOnConfigError) {
            TraceResult("OpenService", OPOS_ORS_CONFIG);
        }
        return OPOS_ORS_CONFIG;
    }
}

std::int32_t CDevice::CheckHealth(std::int32_t level) {
    Trace(3, "Enter CheckHealth");
    if (Tracing(4)) {
        Trace(4, "  *   Level: " + NumToString(level));
    }
    std::int32_t rc = OPOS_SUCCESS;
    switch (level) {
        case OPOS_CH_INTERNAL:
            m_CheckHealthText = "Internal HCheck: Complete";
            break;
        case OPOS_CH_EXTERNAL:
            m_CheckHealthText = "External HCheck: Complete";
            break;
        case OPOS_CH_INTERACTIVE:
            m_CheckHealthText = "Interactive HCheck: Complete";
            break;
        default:
            Trace(1, "Invalid CheckHealth level specified.");
            m_CheckHealthText = "[Error]";
            rc = OPOS_E_ILLEGAL;
            break;
    }
    m_ResultCode = rc;
    TraceResult("CheckHealth", rc);
    return rc;
}

std::int32_t CDevice::ClaimDevice(std::int32_t timeout) {
    Trace(3, "Enter ClaimDevice");
    if (Tracing(4)) {
        Trace(4, "  *   Timeout: " + NumToString(timeout));
    }
    std::int32_t rc = OPOS_SUCCESS;
    if (!m_DeviceStatus.Test(kClaimed)) {
        sorvex::sync::MutexWait wait = sorvex::sync::MutexWait::Failed;
        if (m_hClaimMutex) {
            wait = m_hClaimMutex->Wait(timeout < 0 ? sorvex::sync::kInfinite : timeout);
        }
        if (wait == sorvex::sync::MutexWait::Abandoned) {
            // The previous holder ended without releasing; the wait made us the owner, so the
            // claim is ours (refusing it would leave the device claimed by nobody).
            Trace(1, "The previous owner of the device ended without releasing it.");
            wait = sorvex::sync::MutexWait::Acquired;
        }
        if (wait == sorvex::sync::MutexWait::Acquired) {
            m_DeviceStatus.Set(kClaimed);
        } else {
            Trace(1, m_Texts.claimRefused);
            rc = OPOS_E_CLAIMED;
        }
    }
    m_ResultCode = rc;
    TraceResult("ClaimDevice", rc);
    return rc;
}

std::int32_t CDevice::ClearInput() {
    Trace(3, "Enter ClearInput");
    m_EventQueue.Remove(kEventData);
    m_EventQueue.Remove(kEventError);
    m_ResultCode = OPOS_SUCCESS;
    TraceResult("ClearInput", OPOS_SUCCESS);
    return OPOS_SUCCESS;
}

std::int32_t CDevice::ReleaseDevice() {
    Trace(3, "Enter ReleaseDevice");
    std::int32_t rc = OPOS_SUCCESS;
    if (!m_DeviceStatus.Test(kClaimed)) {
        Trace(1, "Cannot release a device that has not been claimed.");
        rc = OPOS_E_NOTCLAIMED;
    } else {
        StopReconnectTimer();
        if (m_DeviceStatus.Test(kDeviceEnabled)) {
            DeviceEnable(false);
        }
        m_EventQueue.SetAllowableEvents(0);
        m_EventQueue.Clear();
        if (m_hClaimMutex) {
            m_hClaimMutex->Release();
        }
        m_DeviceStatus.Clear(kClaimed);
    }
    m_ResultCode = rc;
    TraceResult("ReleaseDevice", rc);
    return rc;
}

std::int32_t CDevice::CloseService() {
    Trace(3, "Enter CloseService");
    if (!m_Texts.closeTestsOpened || m_DeviceStatus.Test(kOpened)) {
        if (m_DeviceStatus.Test(kClaimed)) {
            ReleaseDevice();
        }
        m_hClaimMutex.reset();
        m_State = OPOS_S_CLOSED;
        m_DeviceStatus.Clear(kOpened);
    }
    m_ResultCode = OPOS_SUCCESS;
    TraceResult("CloseService", OPOS_SUCCESS);
    return OPOS_SUCCESS;
}

std::int32_t CDevice::COFreezeEvents(bool freeze) {
    Trace(3, "Enter COFreezeEvents");
    if (Tracing(4)) {
        Trace(4, std::string("  *   Freeze: ") + (freeze ? "1" : "0"));
    }
    m_DeviceStatus.Assign(kControlFrozen, freeze);
    FreezeEvents();
    m_ResultCode = OPOS_SUCCESS;
    TraceResult("COFreezeEvents", OPOS_SUCCESS);
    return OPOS_SUCCESS;
}

std::int32_t CDevice::GetOpenResult() {
    Trace(3, "Enter GetOpenResult");
    std::int32_t rc = m_OpenResult;
    m_ResultCode = rc;
    TraceResult("GetOpenResult", rc);
    return rc;
}

std::int32_t CDevice::ResetStatistics(const std::string& statisticsBuffer) {
    return RefuseStatisticsChange("ResetStatistics", statisticsBuffer);
}

std::int32_t CDevice::UpdateStatistics(const std::string& statisticsBuffer) {
    return RefuseStatisticsChange("UpdateStatistics", statisticsBuffer);
}

std::int32_t CDevice::RefuseStatisticsChange(const char* method,
                                             const std::string& statisticsBuffer) {
    Trace(3, std::string("Enter ") + method);
    if (Tracing(4)) {
        Trace(4, "  *   statisticsBuffer = " + statisticsBuffer);
    }
    m_ResultCode = OPOS_E_ILLEGAL;
    m_ResultCodeExtended = 0;
    TraceResult(method, OPOS_E_ILLEGAL);
    return OPOS_E_ILLEGAL;
}

void CDevice::FreezeEvents() {
    if (g_Log.Enabled(3)) {
        g_Log.Write(3, "Enter FreezeEvents", "CDevice");
    }
    std::uint32_t bits = m_DeviceStatus.Get();
    std::int32_t mask = 0;
    if ((bits & (kFreezeEvents | kControlFrozen)) == 0) {
        mask = ((bits & kDataEventEnabled) ? 1 : 0) + ((bits & kOpened) ? 6 : 0);
    }
    m_EventQueue.SetEnabledEvents(mask);
    if (g_Log.Enabled(3)) {
        g_Log.Write(3, "Exit FreezeEvents", "CDevice");
    }
}

void CDevice::DataEventEnable(bool on) {
    if (g_Log.Enabled(3)) {
        g_Log.Write(3, "Enter DataEventEnable", "CDevice");
    }
    if (on) {
        m_DeviceStatus.Set(kDataEventEnabled);
        if (!m_DeviceStatus.Test(kFreezeEvents | kControlFrozen)) {
            m_EventQueue.ChangeEnabledEvents(kEventData, 0);
        }
    } else {
        m_DeviceStatus.Clear(kDataEventEnabled);
        m_EventQueue.ChangeEnabledEvents(0, kEventData);
    }
    if (g_Log.Enabled(3)) {
        g_Log.Write(3, "Exit DataEventEnable", "CDevice");
    }
}

std::string CDevice::ApplyBinaryConversion(const std::string& text, std::uint32_t flags) {
    if (flags & kBcNone) {
        return text;
    }
    std::string out;
    if (flags & kBcNibble) {
        out.reserve(text.size() * 2);
        for (unsigned char b : text) {
            out += static_cast<char>(0x30 + (b >> 4));
            out += static_cast<char>(0x30 + (b & 0x0F));
        }
        return out;
    }
    out.reserve(text.size() * 3);
    for (unsigned char b : text) {
        out += static_cast<char>('0' + b / 100);
        out += static_cast<char>('0' + (b / 10) % 10);
        out += static_cast<char>('0' + b % 10);
    }
    return out;
}

void CDevice::GetPropertyNumber(std::int32_t index, std::int32_t* number) {
    Trace(3, "Enter GetPropertyNumber");
    if (Tracing(4)) {
        Trace(4, "  *   PropIndex: " + NumToString(index));
    }
    const std::int32_t previousResult = m_ResultCode.exchange(OPOS_SUCCESS);
    const std::int32_t previousExtended = m_ResultCodeExtended.exchange(OPOS_SUCCESS);
    const std::uint32_t bits = m_DeviceStatus.Get();
    std::int32_t value = 0;
    bool valid = true;
    bool answered = true;
    switch (index) {
        case PIDX_Claimed:
            value = (bits & kClaimed) ? 1 : 0;
            break;
        case PIDX_DataEventEnabled:
            value = (bits & kDataEventEnabled) ? 1 : 0;
            break;
        case PIDX_DeviceEnabled:
            if (m_Texts.deviceEnabledNeedsClaim && !(bits & kClaimed)) {
                Trace(1, "Cannot check the device enabled property before it has been claimed.");
                m_ResultCode = OPOS_E_ILLEGAL;
                answered = false;
            } else {
                value = (bits & kDeviceEnabled) ? 1 : 0;
            }
            break;
        case PIDX_FreezeEvents:
            value = (bits & kFreezeEvents) ? 1 : 0;
            break;
        case PIDX_ResultCode:
            value = previousResult;
            break;
        case PIDX_ResultCodeExtended:
            value = previousExtended;
            break;
        case PIDX_ServiceObjectVersion:
            value = m_Texts.serviceObjectVersion;
            break;
        case PIDX_State:
            value = m_State;
            break;
        case PIDX_AutoDisable:
            value = (bits & kAutoDisable) ? 1 : 0;
            break;
        case PIDX_BinaryConversion:
            value = (bits & kBcNone)      ? OPOS_BC_NONE
                    : (bits & kBcNibble)  ? OPOS_BC_NIBBLE
                    : (bits & kBcDecimal) ? OPOS_BC_DECIMAL
                                          : OPOS_BC_NONE;
            break;
        case PIDX_DataCount:
            value = m_EventQueue.Count(kEventData);
            break;
        case PIDX_PowerNotify:
            value = 0;
            break;
        case PIDX_PowerState:
            value = OPOS_PS_UNKNOWN;
            break;
        case PIDX_CapPowerReporting:
            value = OPOS_PR_NONE;
            break;
        case PIDX_CapStatisticsReporting:
            value = 1;
            break;
        case PIDX_CapUpdateStatistics:
            value = 0;
            break;
        case PIDX_OutputID:
            valid = false;
            break;
        default:
            valid = GetDeviceNumber(index, value);
            break;
    }
    if (!valid) {
        Trace(1, m_Texts.invalidPropertyGet);
        m_ResultCode = OPOS_E_ILLEGAL;
        value = 0;
    }
    if (answered) {
        *number = value;
    }
    Trace(3, "Exit GetPropertyNumber");
    if (Tracing(4)) {
        Trace(4, m_Texts.numberDetail + NumToString(*number));
    }
}

std::string CDevice::GetPropertyString(std::int32_t index) {
    Trace(3, "Enter GetPropertyString");
    if (Tracing(4)) {
        Trace(4, "  *   PropIndex: " + NumToString(index));
    }
    m_ResultCode = OPOS_SUCCESS;
    m_ResultCodeExtended = OPOS_SUCCESS;
    std::string value;
    switch (index) {
        case PIDX_CheckHealthText:
            value = m_CheckHealthText;
            break;
        case PIDX_DeviceDescription:
            value = m_DeviceDescription;
            break;
        case PIDX_DeviceName:
            value = m_DeviceName;
            break;
        case PIDX_ServiceObjectDescription:
            value = m_Texts.serviceObjectDescription;
            break;
        default:
            if (!GetDeviceString(index, value)) {
                Trace(1, m_Texts.invalidProperty);
                m_ResultCode = OPOS_E_ILLEGAL;
                value = "[Error]";
            }
            break;
    }
    value = ApplyBinaryConversion(value, m_DeviceStatus.Get());
    Trace(3, "Exit GetPropertyString");
    if (Tracing(4)) {
        Trace(4, m_Texts.stringDetail + value);
    }
    return value;
}

void CDevice::SetPropertyNumber(std::int32_t index, std::int32_t number) {
    Trace(3, "Enter SetPropertyNumber");
    if (Tracing(4)) {
        Trace(4, "  *   PropIndex: " + NumToString(index));
        Trace(4, "  *   Number: " + NumToString(number));
    }
    m_ResultCode = OPOS_SUCCESS;
    m_ResultCodeExtended = OPOS_SUCCESS;
    bool valid = true;
    switch (index) {
        case PIDX_DataEventEnabled:
            DataEventEnable(number != 0);
            break;
        case PIDX_DeviceEnabled:
            if (!m_DeviceStatus.Test(kClaimed)) {
                Trace(1, m_Texts.enableBeforeClaim);
                m_ResultCode = OPOS_E_NOTCLAIMED;
            } else {
                StopReconnectTimer();
                m_ResultCode = DeviceEnable(number != 0);
            }
            break;
        case PIDX_FreezeEvents:
            m_DeviceStatus.Assign(kFreezeEvents, number != 0);
            FreezeEvents();
            break;
        case PIDX_AutoDisable:
            m_DeviceStatus.Assign(kAutoDisable, number != 0);
            m_EventQueue.SetAutoDisable(number != 0);
            break;
        case PIDX_BinaryConversion:
            m_DeviceStatus.Clear(kBinaryConversionBits);
            if (number == OPOS_BC_NONE) {
                m_DeviceStatus.Set(kBcNone);
            } else if (number == OPOS_BC_NIBBLE) {
                m_DeviceStatus.Set(kBcNibble);
            } else if (number == OPOS_BC_DECIMAL) {
                m_DeviceStatus.Set(kBcDecimal);
            }
            break;
        case PIDX_PowerNotify:
            valid = number == 0;
            break;
        case PIDX_Claimed:
        case PIDX_OutputID:
        case PIDX_ResultCode:
        case PIDX_ResultCodeExtended:
        case PIDX_ServiceObjectVersion:
        case PIDX_State:
        case PIDX_DataCount:
        case PIDX_PowerState:
        case PIDX_CapPowerReporting:
        case PIDX_CapStatisticsReporting:
        case PIDX_CapUpdateStatistics:
            valid = false;
            break;
        default:
            valid = SetDeviceNumber(index, number);
            break;
    }
    if (!valid) {
        Trace(1, m_Texts.invalidProperty);
        m_ResultCode = OPOS_E_ILLEGAL;
    }
    Trace(3, "Exit SetPropertyNumber");
}

void CDevice::SetPropertyString(std::int32_t index, const std::string& value) {
    Trace(3, "Enter SetPropertyString");
    if (Tracing(4)) {
        Trace(4, "  *   PropIndex: " + NumToString(index));
        Trace(4, "  *   String: " + value);
    }
    m_ResultCode = OPOS_SUCCESS;
    m_ResultCodeExtended = OPOS_SUCCESS;
    Trace(1, m_Texts.invalidProperty);
    m_ResultCode = OPOS_E_ILLEGAL;
    Trace(3, "Exit SetPropertyString");
}

}  // namespace talvex
