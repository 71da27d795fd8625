// OposScale: the scale's own methods and properties.
#include "platform/com/variant.h"
#include "platform/opos/core_access.h"
#include "sorvex/opos.h"

namespace sorvex::opos {

namespace {

using opos_impl::ServiceMethod;

constexpr std::int32_t PIDX_SCAL_MaximumWeight = 9001;
constexpr std::int32_t PIDX_SCAL_WeightUnit = 9002;
constexpr std::int32_t PIDX_SCAL_AsyncMode = 9003;
constexpr std::int32_t PIDX_SCAL_MaxDisplayTextChars = 9004;
constexpr std::int32_t PIDX_SCAL_TareWeight = 9005;
constexpr std::int32_t PIDX_SCAL_CapDisplay = 9501;
constexpr std::int32_t PIDX_SCAL_CapDisplayText = 9502;
constexpr std::int32_t PIDX_SCAL_CapPriceCalculating = 9503;
constexpr std::int32_t PIDX_SCAL_CapTareWeight = 9504;
constexpr std::int32_t PIDX_SCAL_CapZeroScale = 9505;

}  // namespace

OposScale::OposScale() : OposControl(DeviceClass::Scale) {}
OposScale::~OposScale() = default;

std::int32_t OposScale::ReadWeight(std::int32_t& weight, std::int32_t timeoutMs) {
    SORVEX_OPOS_ENTER(OPOS_E_ILLEGAL);
    std::int32_t value = weight;
    com::VARIANT args[2];
    args[0].vt = com::VT_I4;
    args[0].lVal = timeoutMs;
    args[1].vt = com::VT_BYREF | com::VT_I4;
    args[1].plVal = &value;
    const std::int32_t rc = m_Core->CallResult(ServiceMethod::ReadWeight, args);
    weight = value;
    return rc;
}

std::int32_t OposScale::ZeroScale() {
    SORVEX_OPOS_ENTER(OPOS_E_ILLEGAL);
    return m_Core->CallResult(ServiceMethod::ZeroScale);
}

std::int32_t OposScale::DisplayText(std::string_view data) {
    SORVEX_OPOS_ENTER(OPOS_E_ILLEGAL);
    return m_Core->CallResult(ServiceMethod::DisplayText, data);
}

bool OposScale::AsyncMode() {
    SORVEX_OPOS_ENTER(false);
    return m_Core->GetBool(PIDX_SCAL_AsyncMode);
}
void OposScale::SetAsyncMode(bool on) {
    SORVEX_OPOS_ENTER();
    m_Core->SetBool(PIDX_SCAL_AsyncMode, on);
}
std::int32_t OposScale::MaximumWeight() {
    SORVEX_OPOS_ENTER(0);
    return m_Core->GetNumber(PIDX_SCAL_MaximumWeight);
}
std::int32_t OposScale::WeightUnit() {
    SORVEX_OPOS_ENTER(0);
    return m_Core->GetNumber(PIDX_SCAL_WeightUnit);
}
std::int32_t OposScale::MaxDisplayTextChars() {
    SORVEX_OPOS_ENTER(0);
    return m_Core->GetNumber(PIDX_SCAL_MaxDisplayTextChars);
}
std::int32_t OposScale::TareWeight() {
    SORVEX_OPOS_ENTER(0);
    return m_Core->GetNumber(PIDX_SCAL_TareWeight);
}
void OposScale::SetTareWeight(std::int32_t weight) {
    SORVEX_OPOS_ENTER();
    m_Core->SetNumber(PIDX_SCAL_TareWeight, weight);
}
Currency OposScale::SalesPrice() {
    SORVEX_OPOS_ENTER(0);
    return m_Core->GetCurrency(ServiceMethod::GetSalesPrice);
}
Currency OposScale::UnitPrice() {
    SORVEX_OPOS_ENTER(0);
    return m_Core->GetCurrency(ServiceMethod::GetUnitPrice);
}
void OposScale::SetUnitPrice(Currency price) {
    SORVEX_OPOS_ENTER();
    m_Core->SetCurrency(ServiceMethod::SetUnitPrice, price);
}
bool OposScale::CapDisplay() {
    SORVEX_OPOS_ENTER(false);
    return m_Core->GetBool(PIDX_SCAL_CapDisplay);
}
bool OposScale::CapDisplayText() {
    SORVEX_OPOS_ENTER(false);
    return m_Core->GetBool(PIDX_SCAL_CapDisplayText);
}
bool OposScale::CapPriceCalculating() {
    SORVEX_OPOS_ENTER(false);
    return m_Core->GetBool(PIDX_SCAL_CapPriceCalculating);
}
bool OposScale::CapTareWeight() {
    SORVEX_OPOS_ENTER(false);
    return m_Core->GetBool(PIDX_SCAL_CapTareWeight);
}
bool OposScale::CapZeroScale() {
    SORVEX_OPOS_ENTER(false);
    return m_Core->GetBool(PIDX_SCAL_CapZeroScale);
}

}  // namespace sorvex::opos
