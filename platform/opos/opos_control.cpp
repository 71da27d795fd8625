// OposControl: the common OPOS methods and properties, forwarded to the core.
#include <memory>
#include <string>
#include <utility>

#include "platform/com/variant.h"
#include "platform/opos/core_access.h"
#include "sorvex/opos.h"

namespace sorvex::opos {

namespace {

using opos_impl::ServiceMethod;

// Common property indices.
constexpr std::int32_t PIDX_Claimed = 1;
constexpr std::int32_t PIDX_DataEventEnabled = 2;
constexpr std::int32_t PIDX_DeviceEnabled = 3;
constexpr std::int32_t PIDX_FreezeEvents = 4;
constexpr std::int32_t PIDX_ServiceObjectVersion = 8;
constexpr std::int32_t PIDX_AutoDisable = 10;
constexpr std::int32_t PIDX_BinaryConversion = 11;
constexpr std::int32_t PIDX_DataCount = 12;
constexpr std::int32_t PIDX_PowerNotify = 13;
constexpr std::int32_t PIDX_PowerState = 14;
constexpr std::int32_t PIDX_CapPowerReporting = 501;
constexpr std::int32_t PIDX_CapStatisticsReporting = 502;
constexpr std::int32_t PIDX_CapUpdateStatistics = 503;
constexpr std::int32_t PIDX_CheckHealthText = 1000001;
constexpr std::int32_t PIDX_DeviceDescription = 1000002;
constexpr std::int32_t PIDX_DeviceName = 1000003;
constexpr std::int32_t PIDX_ServiceObjectDescription = 1000004;

}  // namespace

OposControl::OposControl(DeviceClass deviceClass)
    : m_Core(std::make_shared<Core>(deviceClass == DeviceClass::Scanner
                                        ? opos_impl::DeviceKind::Scanner
                                        : opos_impl::DeviceKind::Scale)) {
    m_Core->Start();
}

OposControl::~OposControl() {
    if (m_Core->OnOwnerThread()) {
        opos_impl::EntryScope entry;
        m_Core->Shutdown();
        m_Core.reset();  // or, inside a handler, when the running callback returns
        return;
    }
    m_Core.reset();  // the core reports the foreign thread and leaves the service object be
}

// --- methods ---

std::int32_t OposControl::Open(std::string_view deviceName) {
    SORVEX_OPOS_ENTER(OPOS_E_ILLEGAL);
    return m_Core->Open(deviceName);
}

std::int32_t OposControl::Close() {
    SORVEX_OPOS_ENTER(OPOS_E_ILLEGAL);
    return m_Core->Close();
}

std::int32_t OposControl::ClaimDevice(std::int32_t timeoutMs) {
    SORVEX_OPOS_ENTER(OPOS_E_ILLEGAL);
    return m_Core->CallResult(ServiceMethod::ClaimDevice, timeoutMs);
}

std::int32_t OposControl::ReleaseDevice() {
    SORVEX_OPOS_ENTER(OPOS_E_ILLEGAL);
    return m_Core->CallResult(ServiceMethod::ReleaseDevice);
}

std::int32_t OposControl::CheckHealth(std::int32_t level) {
    SORVEX_OPOS_ENTER(OPOS_E_ILLEGAL);
    return m_Core->CallResult(ServiceMethod::CheckHealth, level);
}

std::int32_t OposControl::ClearInput() {
    SORVEX_OPOS_ENTER(OPOS_E_ILLEGAL);
    return m_Core->CallResult(ServiceMethod::ClearInput);
}

std::int32_t OposControl::DirectIO(std::int32_t command, std::int32_t& data, std::string& string) {
    SORVEX_OPOS_ENTER(OPOS_E_ILLEGAL);
    com::BSTR text = com::AllocBstr(string);
    std::int32_t number = data;
    com::VARIANT args[3];
    args[0].vt = com::VT_BYREF | com::VT_BSTR;
    args[0].pbstrVal = &text;
    args[1].vt = com::VT_BYREF | com::VT_I4;
    args[1].plVal = &number;
    args[2].vt = com::VT_I4;
    args[2].lVal = command;
    const std::int32_t rc = m_Core->CallResult(ServiceMethod::DirectIO, args);
    data = number;
    string = com::BstrToString(text);
    com::SysFreeString(text);
    return rc;
}

std::int32_t OposControl::RetrieveStatistics(std::string& statistics) {
    SORVEX_OPOS_ENTER(OPOS_E_ILLEGAL);
    com::BSTR text = com::AllocBstr(statistics);
    com::VARIANT args[1];
    args[0].vt = com::VT_BYREF | com::VT_BSTR;
    args[0].pbstrVal = &text;
    const std::int32_t rc = m_Core->CallResult(ServiceMethod::RetrieveStatistics, args);
    statistics = com::BstrToString(text);
    com::SysFreeString(text);
    return rc;
}

std::int32_t OposControl::ResetStatistics(std::string_view statistics) {
    SORVEX_OPOS_ENTER(OPOS_E_ILLEGAL);
    return m_Core->CallResult(ServiceMethod::ResetStatistics, statistics);
}

std::int32_t OposControl::UpdateStatistics(std::string_view statistics) {
    SORVEX_OPOS_ENTER(OPOS_E_ILLEGAL);
    return m_Core->CallResult(ServiceMethod::UpdateStatistics, statistics);
}

std::int32_t OposControl::FreezeControlEvents(bool freeze) {
    SORVEX_OPOS_ENTER(OPOS_E_ILLEGAL);
    return m_Core->FreezeControlEvents(freeze);
}

// --- properties ---

bool OposControl::AutoDisable() {
    SORVEX_OPOS_ENTER(false);
    return m_Core->GetBool(PIDX_AutoDisable);
}
void OposControl::SetAutoDisable(bool on) {
    SORVEX_OPOS_ENTER();
    m_Core->SetBool(PIDX_AutoDisable, on);
}
std::int32_t OposControl::BinaryConversion() {
    SORVEX_OPOS_ENTER(0);
    return m_Core->GetNumber(PIDX_BinaryConversion);
}
void OposControl::SetBinaryConversion(std::int32_t conversion) {
    SORVEX_OPOS_ENTER();
    m_Core->SetNumber(PIDX_BinaryConversion, conversion);
}
std::int32_t OposControl::CapPowerReporting() {
    SORVEX_OPOS_ENTER(0);
    return m_Core->GetNumber(PIDX_CapPowerReporting);
}
bool OposControl::CapStatisticsReporting() {
    SORVEX_OPOS_ENTER(false);
    return m_Core->GetBool(PIDX_CapStatisticsReporting);
}
bool OposControl::CapUpdateStatistics() {
    SORVEX_OPOS_ENTER(false);
    return m_Core->GetBool(PIDX_CapUpdateStatistics);
}
std::string OposControl::CheckHealthText() {
    SORVEX_OPOS_ENTER({});
    return m_Core->GetString(PIDX_CheckHealthText);
}
bool OposControl::Claimed() {
    SORVEX_OPOS_ENTER(false);
    return m_Core->GetBool(PIDX_Claimed);
}
std::int32_t OposControl::DataCount() {
    SORVEX_OPOS_ENTER(0);
    return m_Core->GetNumber(PIDX_DataCount);
}
bool OposControl::DataEventEnabled() {
    SORVEX_OPOS_ENTER(false);
    return m_Core->GetBool(PIDX_DataEventEnabled);
}
void OposControl::SetDataEventEnabled(bool on) {
    SORVEX_OPOS_ENTER();
    m_Core->SetBool(PIDX_DataEventEnabled, on);
}
bool OposControl::DeviceEnabled() {
    SORVEX_OPOS_ENTER(false);
    return m_Core->GetBool(PIDX_DeviceEnabled);
}
void OposControl::SetDeviceEnabled(bool on) {
    SORVEX_OPOS_ENTER();
    m_Core->SetBool(PIDX_DeviceEnabled, on);
}
bool OposControl::FreezeEvents() {
    SORVEX_OPOS_ENTER(false);
    return m_Core->GetBool(PIDX_FreezeEvents);
}
void OposControl::SetFreezeEvents(bool on) {
    SORVEX_OPOS_ENTER();
    m_Core->SetBool(PIDX_FreezeEvents, on);
}
std::int32_t OposControl::PowerNotify() {
    SORVEX_OPOS_ENTER(0);
    return m_Core->GetNumber(PIDX_PowerNotify);
}
void OposControl::SetPowerNotify(std::int32_t notify) {
    SORVEX_OPOS_ENTER();
    m_Core->SetNumber(PIDX_PowerNotify, notify);
}
std::int32_t OposControl::PowerState() {
    SORVEX_OPOS_ENTER(0);
    return m_Core->GetNumber(PIDX_PowerState);
}
std::int32_t OposControl::ResultCode() {
    SORVEX_OPOS_ENTER(OPOS_E_ILLEGAL);
    return m_Core->ResultCode();
}
std::int32_t OposControl::ResultCodeExtended() {
    SORVEX_OPOS_ENTER(0);
    return m_Core->ResultCodeExtended();
}
std::int32_t OposControl::State() {
    SORVEX_OPOS_ENTER(0);
    return m_Core->State();
}
std::string OposControl::DeviceDescription() {
    SORVEX_OPOS_ENTER({});
    return m_Core->GetString(PIDX_DeviceDescription);
}
std::string OposControl::DeviceName() {
    SORVEX_OPOS_ENTER({});
    return m_Core->GetString(PIDX_DeviceName);
}
std::string OposControl::ServiceObjectDescription() {
    SORVEX_OPOS_ENTER({});
    return m_Core->GetString(PIDX_ServiceObjectDescription);
}
std::int32_t OposControl::ServiceObjectVersion() {
    SORVEX_OPOS_ENTER(0);
    return m_Core->GetNumber(PIDX_ServiceObjectVersion);
}

// --- answered by the control object ---

std::int32_t OposControl::OpenResult() const {
    return m_Core->OnOwnerThread() ? m_Core->OpenResult() : 0;
}
std::int32_t OposControl::ControlObjectVersion() const {
    return opos_impl::kControlObjectVersion;
}
std::string OposControl::ControlObjectDescription() const {
    return m_Core->ControlObjectDescription();
}
std::string OposControl::ErrorDetail() const {
    return m_Core->OnOwnerThread() ? m_Core->ErrorDetail() : std::string();
}

// --- events ---

void OposControl::SetDataEventHandler(DataEventHandler handler) {
    SORVEX_OPOS_ENTER();
    m_Core->onData = std::move(handler);
}
void OposControl::SetErrorEventHandler(ErrorEventHandler handler) {
    SORVEX_OPOS_ENTER();
    m_Core->onError = std::move(handler);
}
void OposControl::SetDirectIOEventHandler(DirectIOEventHandler handler) {
    SORVEX_OPOS_ENTER();
    m_Core->onDirectIO = std::move(handler);
}
void OposControl::SetStatusUpdateEventHandler(StatusUpdateEventHandler handler) {
    SORVEX_OPOS_ENTER();
    m_Core->onStatusUpdate = std::move(handler);
}

}  // namespace sorvex::opos
