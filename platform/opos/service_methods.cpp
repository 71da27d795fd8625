#include "platform/opos/service_methods.h"

namespace sorvex::opos_impl {

namespace {

using M = ServiceMethod;

// The methods of OPOS 1.0 are needed to open and run any device; GetOpenResult came with 1.5,
// the statistics methods with 1.8. The scale's display, zero and price methods belong to later
// releases than this control object's 1.8 and stay optional: a service object that has them
// is called, one that lacks them answers OPOS_E_NOSERVICE.
constexpr ServiceMethodInfo kMethods[] = {
    {M::OpenService, "OpenService", kBeforeOpen, true, true},
    {M::CheckHealth, "CheckHealth", kBeforeOpen, true, true},
    {M::ClaimDevice, "ClaimDevice", kBeforeOpen, true, true},
    {M::ClearInput, "ClearInput", kBeforeOpen, true, true},
    {M::CloseService, "CloseService", kBeforeOpen, true, true},
    {M::COFreezeEvents, "COFreezeEvents", kBeforeOpen, true, true},
    {M::DirectIO, "DirectIO", kBeforeOpen, true, true},
    {M::GetOpenResult, "GetOpenResult", 5, true, true},
    {M::ReleaseDevice, "ReleaseDevice", kBeforeOpen, true, true},
    {M::GetPropertyNumber, "GetPropertyNumber", kBeforeOpen, true, true},
    {M::GetPropertyString, "GetPropertyString", kBeforeOpen, true, true},
    {M::SetPropertyNumber, "SetPropertyNumber", kBeforeOpen, true, true},
    {M::SetPropertyString, "SetPropertyString", kBeforeOpen, true, true},
    {M::ResetStatistics, "ResetStatistics", 8, true, true},
    {M::RetrieveStatistics, "RetrieveStatistics", 8, true, true},
    {M::UpdateStatistics, "UpdateStatistics", 8, true, true},
    {M::DisplayText, "DisplayText", kOptional, false, true},
    {M::ReadWeight, "ReadWeight", kBeforeOpen, false, true},
    {M::ZeroScale, "ZeroScale", kOptional, false, true},
    {M::GetSalesPrice, "GetSalesPrice", kOptional, false, true},
    {M::GetUnitPrice, "GetUnitPrice", kOptional, false, true},
    {M::SetUnitPrice, "SetUnitPrice", kOptional, false, true},
};

static_assert(sizeof kMethods / sizeof kMethods[0] == kServiceMethodCount);

}  // namespace

std::span<const ServiceMethodInfo> ServiceMethods() {
    return kMethods;
}

const ServiceMethodInfo& Info(ServiceMethod method) {
    return kMethods[static_cast<std::size_t>(method)];
}

}  // namespace sorvex::opos_impl
