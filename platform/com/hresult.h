// HRESULT values of the dispatch interfaces.
#pragma once

#include <cstdint>

namespace sorvex::com {

using HRESULT = std::int32_t;

inline constexpr bool Succeeded(HRESULT hr) {
    return hr >= 0;
}
inline constexpr bool Failed(HRESULT hr) {
    return hr < 0;
}

inline constexpr HRESULT MakeHresult(std::uint32_t value) {
    return static_cast<HRESULT>(value);
}
// A Win32 error number as an HRESULT of facility Win32 (0x8007xxxx); 0 stays S_OK.
inline constexpr HRESULT HresultFromWin32(std::uint32_t error) {
    return error == 0 ? 0 : MakeHresult((error & 0xFFFFu) | 0x80070000u);
}

inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT S_FALSE = 1;
inline constexpr HRESULT E_NOTIMPL = MakeHresult(0x80004001u);
inline constexpr HRESULT E_NOINTERFACE = MakeHresult(0x80004002u);
inline constexpr HRESULT E_POINTER = MakeHresult(0x80004003u);
inline constexpr HRESULT E_FAIL = MakeHresult(0x80004005u);
inline constexpr HRESULT E_UNEXPECTED = MakeHresult(0x8000FFFFu);
inline constexpr HRESULT E_OUTOFMEMORY = MakeHresult(0x8007000Eu);
inline constexpr HRESULT E_INVALIDARG = MakeHresult(0x80070057u);
inline constexpr HRESULT E_ACCESSDENIED = MakeHresult(0x80070005u);
inline constexpr HRESULT CLASS_E_NOAGGREGATION = MakeHresult(0x80040110u);
inline constexpr HRESULT CLASS_E_CLASSNOTAVAILABLE = MakeHresult(0x80040111u);
inline constexpr HRESULT REGDB_E_READREGDB = MakeHresult(0x80040150u);
inline constexpr HRESULT REGDB_E_CLASSNOTREG = MakeHresult(0x80040154u);
inline constexpr HRESULT CO_E_NOTINITIALIZED = MakeHresult(0x800401F0u);
inline constexpr HRESULT CO_E_CLASSSTRING = MakeHresult(0x800401F3u);
inline constexpr HRESULT CO_E_DLLNOTFOUND = MakeHresult(0x800401F8u);
inline constexpr HRESULT CO_E_ERRORINDLL = MakeHresult(0x800401F9u);
inline constexpr HRESULT DISP_E_UNKNOWNINTERFACE = MakeHresult(0x80020001u);
inline constexpr HRESULT DISP_E_MEMBERNOTFOUND = MakeHresult(0x80020003u);
inline constexpr HRESULT DISP_E_PARAMNOTFOUND = MakeHresult(0x80020004u);
inline constexpr HRESULT DISP_E_TYPEMISMATCH = MakeHresult(0x80020005u);
inline constexpr HRESULT DISP_E_UNKNOWNNAME = MakeHresult(0x80020006u);
inline constexpr HRESULT DISP_E_BADVARTYPE = MakeHresult(0x80020008u);
inline constexpr HRESULT DISP_E_EXCEPTION = MakeHresult(0x80020009u);
inline constexpr HRESULT DISP_E_NONAMEDARGS = MakeHresult(0x80020007u);
inline constexpr HRESULT DISP_E_OVERFLOW = MakeHresult(0x8002000Au);
inline constexpr HRESULT DISP_E_BADINDEX = MakeHresult(0x8002000Bu);
inline constexpr HRESULT DISP_E_BADPARAMCOUNT = MakeHresult(0x8002000Eu);
inline constexpr HRESULT TYPE_E_INVDATAREAD = MakeHresult(0x80028018u);
inline constexpr HRESULT TYPE_E_UNSUPFORMAT = MakeHresult(0x80028019u);
inline constexpr HRESULT TYPE_E_REGISTRYACCESS = MakeHresult(0x8002801Cu);
inline constexpr HRESULT TYPE_E_ELEMENTNOTFOUND = MakeHresult(0x8002802Bu);
inline constexpr HRESULT TYPE_E_TYPEMISMATCH = MakeHresult(0x80028CA0u);
inline constexpr HRESULT TYPE_E_LIBNOTREGISTERED = MakeHresult(0x8002801Du);
inline constexpr HRESULT TYPE_E_CANTLOADLIBRARY = MakeHresult(0x80029C4Au);

}  // namespace sorvex::com
