// The methods a control object calls on its service object, by name, and which releases of
// the service objects require them.
//
// A control object knows the service object only through IDispatch: it asks GetIDsOfNames for
// every name below and calls Invoke with the DISPIDs it gets. A method the service object's
// release requires must be there (else the open fails with OPOS_OR_BADIF); one it does not
// require may be missing, and calling it then answers OPOS_E_NOSERVICE.
#pragma once

#include <cstdint>
#include <span>

namespace sorvex::opos_impl {

enum class ServiceMethod {
    OpenService,
    CheckHealth,
    ClaimDevice,
    ClearInput,
    CloseService,
    COFreezeEvents,
    DirectIO,
    GetOpenResult,
    ReleaseDevice,
    GetPropertyNumber,
    GetPropertyString,
    SetPropertyNumber,
    SetPropertyString,
    ResetStatistics,
    RetrieveStatistics,
    UpdateStatistics,
    DisplayText,
    ReadWeight,
    ZeroScale,
    GetSalesPrice,
    GetUnitPrice,
    SetUnitPrice,
    kCount,
};

inline constexpr std::size_t kServiceMethodCount = static_cast<std::size_t>(ServiceMethod::kCount);

inline constexpr int kBeforeOpen = -1;
inline constexpr int kOptional = 1 << 30;

struct ServiceMethodInfo {
    ServiceMethod method;
    const char* name;
    // The first minor release of OPOS 1.x that requires it; kBeforeOpen: a control object
    // cannot even open without it; kOptional: no release this control object knows requires it.
    int requiredSince;
    bool scanner;  // part of the scanner's interface
    bool scale;    // part of the scale's interface
};

std::span<const ServiceMethodInfo> ServiceMethods();
const ServiceMethodInfo& Info(ServiceMethod method);

}  // namespace sorvex::opos_impl
