// The VARIANT subset the dispatch interfaces use, and the argument block of Invoke.
//
// Supported: VT_EMPTY, VT_I4, VT_BOOL, VT_CY, VT_BSTR, VT_DISPATCH, VT_UNKNOWN, and VT_BYREF
// forms of VT_I4, VT_BOOL, VT_CY, VT_BSTR and VT_VARIANT. VT_NULL, VT_I2, VT_UI1 and VT_R8 are
// plain values that callers may pass and that VariantChangeType (variant_convert.h) converts.
#pragma once

#include <cstdint>

#include "platform/com/bstr.h"
#include "platform/com/hresult.h"

namespace sorvex::com {

class IUnknown;
class IDispatch;

using VARTYPE = std::uint16_t;
using DISPID = std::int32_t;
using LCID = std::uint32_t;
using VARIANT_BOOL = std::int16_t;

inline constexpr VARIANT_BOOL VARIANT_TRUE = -1;
inline constexpr VARIANT_BOOL VARIANT_FALSE = 0;

inline constexpr VARTYPE VT_EMPTY = 0;
inline constexpr VARTYPE VT_NULL = 1;
inline constexpr VARTYPE VT_I2 = 2;
inline constexpr VARTYPE VT_I4 = 3;
inline constexpr VARTYPE VT_R8 = 5;
inline constexpr VARTYPE VT_CY = 6;
inline constexpr VARTYPE VT_BSTR = 8;
inline constexpr VARTYPE VT_DISPATCH = 9;
inline constexpr VARTYPE VT_ERROR = 10;
inline constexpr VARTYPE VT_BOOL = 11;
inline constexpr VARTYPE VT_VARIANT = 12;
inline constexpr VARTYPE VT_UNKNOWN = 13;
inline constexpr VARTYPE VT_UI1 = 17;
inline constexpr VARTYPE VT_BYREF = 0x4000;

inline constexpr DISPID DISPID_UNKNOWN = -1;
inline constexpr DISPID DISPID_VALUE = 0;
inline constexpr DISPID DISPID_PROPERTYPUT = -3;

inline constexpr std::uint16_t DISPATCH_METHOD = 1;
inline constexpr std::uint16_t DISPATCH_PROPERTYGET = 2;
inline constexpr std::uint16_t DISPATCH_PROPERTYPUT = 4;

inline constexpr LCID LOCALE_USER_DEFAULT = 0x0400;
inline constexpr LCID LOCALE_SYSTEM_DEFAULT = 0x0800;

// Automation currency: a 64-bit integer count of ten-thousandths.
struct CY {
    std::int64_t int64 = 0;
};

struct VARIANT {
    VARTYPE vt = VT_EMPTY;
    std::uint16_t reserved[3] = {};
    union {
        std::int32_t lVal;
        std::int16_t iVal;
        std::uint8_t bVal;
        double dblVal;
        VARIANT_BOOL boolVal;
        CY cyVal;
        BSTR bstrVal;
        IDispatch* pdispVal;
        IUnknown* punkVal;
        HRESULT scode;
        std::int32_t* plVal;
        VARIANT_BOOL* pboolVal;
        CY* pcyVal;
        BSTR* pbstrVal;
        VARIANT* pvarVal;
    };
    VARIANT() : cyVal() {}
};

void VariantInit(VARIANT* v);
// Frees what the variant owns (a BSTR; a reference on an interface) and makes it VT_EMPTY.
HRESULT VariantClear(VARIANT* v);
// Deep copy (a new BSTR, AddRef on interfaces); by-reference variants are copied as references.
HRESULT VariantCopy(VARIANT* dest, const VARIANT* src);

// Owns one VARIANT; clears it when it goes.
class Variant : public VARIANT {
  public:
    Variant() = default;
    explicit Variant(std::int32_t value) {
        vt = VT_I4;
        lVal = value;
    }
    ~Variant() { VariantClear(this); }
    Variant(const Variant&) = delete;
    Variant& operator=(const Variant&) = delete;
};

// Arguments of Invoke: rgvarg holds them in reverse order (rgvarg[0] is the last argument).
struct DISPPARAMS {
    VARIANT* rgvarg = nullptr;
    DISPID* rgdispidNamedArgs = nullptr;
    std::uint32_t cArgs = 0;
    std::uint32_t cNamedArgs = 0;
};

struct EXCEPINFO {
    std::uint16_t wCode = 0;
    std::uint16_t wReserved = 0;
    BSTR bstrSource = nullptr;
    BSTR bstrDescription = nullptr;
    BSTR bstrHelpFile = nullptr;
    std::uint32_t dwHelpContext = 0;
    void* pvReserved = nullptr;
    void* pfnDeferredFillIn = nullptr;
    HRESULT scode = 0;
};

}  // namespace sorvex::com
