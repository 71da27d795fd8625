// Conversion of VARIANT values between the types the dispatch interfaces use, the way
// VariantChangeType converts them.
//
// Sources: VT_EMPTY, VT_NULL, VT_I2, VT_I4, VT_UI1, VT_R8, VT_BOOL, VT_CY, VT_BSTR, VT_DISPATCH,
// VT_UNKNOWN, and VT_BYREF forms of these (VT_BYREF | VT_VARIANT is followed to the variant it
// points at). Targets: VT_I4, VT_BOOL, VT_BSTR, VT_CY, VT_DISPATCH.
//
//   to VT_I4     integers as they are; VT_BOOL true is -1; VT_CY and VT_R8 rounded to the
//                nearest integer, halves to even (2.5 -> 2, 3.5 -> 4); VT_BSTR holding a
//                decimal number ("  -42 ", "7.5"), rounded the same way; VT_EMPTY is 0.
//   to VT_BOOL   numbers: not zero is VARIANT_TRUE; VT_BSTR "True" / "False" (any case) or a
//                number; VT_EMPTY is VARIANT_FALSE.
//   to VT_BSTR   decimal text ("-42", "12.5" for currency, up to 15 significant digits for
//                VT_R8); VT_BOOL as "-1" / "0" ("True" / "False" with VARIANT_ALPHABOOL);
//                VT_EMPTY is "".
//   to VT_CY     integers times 10000; VT_R8 and VT_BSTR rounded to four decimals, halves to
//                even; VT_EMPTY is 0.
//   to VT_DISPATCH  VT_DISPATCH (AddRef'd); VT_UNKNOWN through QueryInterface; VT_EMPTY is null.
//
// Failures: DISP_E_TYPEMISMATCH when the value has no meaning in the target type (text that is
// no number, VT_NULL, an interface where a number is wanted), DISP_E_OVERFLOW when it is out of
// the target's range, DISP_E_BADVARTYPE for a target outside the list.
#pragma once

#include <cstdint>

#include "platform/com/variant.h"

namespace sorvex::com {

inline constexpr std::uint16_t VARIANT_ALPHABOOL = 0x2;

// `dest` may be `src`. On success `dest` holds the converted value (what it held before is
// cleared); on failure `dest` is left as it was.
HRESULT VariantChangeType(VARIANT* dest, const VARIANT* src, std::uint16_t flags, VARTYPE vt);

}  // namespace sorvex::com
