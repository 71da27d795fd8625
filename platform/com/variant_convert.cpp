#include "platform/com/variant_convert.h"

#include <cmath>
#include <cstdio>
#include <limits>
#include <string>
#include <string_view>

#include "platform/com/unknown.h"

namespace sorvex::com {

namespace {

// A source value with its reference, if any, followed.
struct Source {
    VARTYPE vt = VT_EMPTY;
    const VARIANT* v = nullptr;  // for plain values
    // the value read through a reference
    std::int64_t i = 0;
    double d = 0;
    std::string_view s;
    IUnknown* unk = nullptr;
    IDispatch* disp = nullptr;
};

bool Resolve(const VARIANT& in, Source& out, int depth = 0) {
    out.vt = static_cast<VARTYPE>(in.vt & ~VT_BYREF);
    const bool byRef = (in.vt & VT_BYREF) != 0;
    if (byRef && in.pvarVal == nullptr) {
        return false;
    }
    switch (in.vt) {
        case VT_EMPTY:
        case VT_NULL:
            return true;
        case VT_I2:
            out.i = in.iVal;
            return true;
        case VT_I4:
            out.i = in.lVal;
            return true;
        case VT_UI1:
            out.i = in.bVal;
            return true;
        case VT_BOOL:
            out.i = in.boolVal;
            return true;
        case VT_CY:
            out.i = in.cyVal.int64;
            return true;
        case VT_R8:
            out.d = in.dblVal;
            return true;
        case VT_BSTR:
            out.s = BstrView(in.bstrVal);
            return true;
        case VT_DISPATCH:
            out.disp = in.pdispVal;
            return true;
        case VT_UNKNOWN:
            out.unk = in.punkVal;
            return true;
        case VT_BYREF | VT_I4:
            out.i = *in.plVal;
            return true;
        case VT_BYREF | VT_BOOL:
            out.i = *in.pboolVal;
            return true;
        case VT_BYREF | VT_CY:
            out.i = in.pcyVal->int64;
            return true;
        case VT_BYREF | VT_BSTR:
            out.s = BstrView(*in.pbstrVal);
            return true;
        case VT_BYREF | VT_VARIANT:
            return depth < 2 && Resolve(*in.pvarVal, out, depth + 1);
        default:
            return false;
    }
}

bool IsInteger(VARTYPE vt) {
    return vt == VT_I2 || vt == VT_I4 || vt == VT_UI1 || vt == VT_BOOL;
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) {
        s.remove_prefix(1);
    }
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) {
        s.remove_suffix(1);
    }
    return s;
}

// Rounds q + r/divisor (|r| < divisor, same sign as the value) to the nearest integer, halves to
// even.
std::int64_t RoundHalfEven(std::int64_t q, std::int64_t r, std::int64_t divisor) {
    const std::int64_t twice = (r < 0 ? -r : r) * 2;
    const int sign = r < 0 ? -1 : 1;
    if (twice > divisor || (twice == divisor && (q % 2) != 0)) {
        return q + sign;
    }
    return q;
}

// Parses decimal text ("-12.345") scaled by 10^scale, rounded halves to even.
HRESULT ParseDecimal(std::string_view text, int scale, std::int64_t& out) {
    text = Trim(text);
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    using Wide = unsigned __int128;
    constexpr Wide kCap = Wide{1} << 70;  // far above any target's range
    Wide value = 0;
    bool anyDigit = false, dot = false, overflow = false;
    int fractionDigits = 0;
    int roundDigit = -1;  // the first digit past the scale
    bool stickyNonZero = false;
    for (char c : text) {
        if (c == '.' && !dot) {
            dot = true;
            continue;
        }
        if (c < '0' || c > '9') {
            return DISP_E_TYPEMISMATCH;
        }
        anyDigit = true;
        const int digit = c - '0';
        if (dot && fractionDigits >= scale) {
            if (roundDigit < 0) {
                roundDigit = digit;
            } else if (digit != 0) {
                stickyNonZero = true;
            }
            continue;
        }
        if (dot) {
            ++fractionDigits;
        }
        value = value * 10 + static_cast<unsigned>(digit);
        if (value > kCap) {
            overflow = true;
            value = kCap;
        }
    }
    if (!anyDigit) {
        return DISP_E_TYPEMISMATCH;
    }
    for (; fractionDigits < scale; ++fractionDigits) {
        value = value * 10;
        if (value > kCap) {
            overflow = true;
            value = kCap;
        }
    }
    if (roundDigit > 5 || (roundDigit == 5 && (stickyNonZero || (value & 1) != 0))) {
        value += 1;
    }
    const Wide limit = negative ? Wide{1} << 63 : (Wide{1} << 63) - 1;
    if (overflow || value > limit) {
        return DISP_E_OVERFLOW;
    }
    out = negative ? static_cast<std::int64_t>(Wide{0} - value) : static_cast<std::int64_t>(value);
    return S_OK;
}

HRESULT ToInt64Scaled(const Source& s, int scale, std::int64_t& out) {
    const std::int64_t factor = scale == 0 ? 1 : 10000;
    if (s.vt == VT_EMPTY) {
        out = 0;
        return S_OK;
    }
    if (IsInteger(s.vt)) {
        out = s.i * factor;
        return S_OK;
    }
    if (s.vt == VT_CY) {
        out = scale == 4 ? s.i : RoundHalfEven(s.i / 10000, s.i % 10000, 10000);
        return S_OK;
    }
    if (s.vt == VT_R8) {
        const double scaled = std::nearbyint(s.d * static_cast<double>(factor));
        if (!(scaled >= -9.2233720368547758e18 && scaled < 9.2233720368547758e18)) {
            return DISP_E_OVERFLOW;
        }
        out = static_cast<std::int64_t>(scaled);
        return S_OK;
    }
    if (s.vt == VT_BSTR) {
        return ParseDecimal(s.s, scale, out);
    }
    return DISP_E_TYPEMISMATCH;
}

std::string CurrencyText(std::int64_t cy) {
    const bool negative = cy < 0;
    const auto magnitude =
        negative ? 0 - static_cast<std::uint64_t>(cy) : static_cast<std::uint64_t>(cy);
    std::string text = std::to_string(magnitude / 10000);
    std::uint64_t fraction = magnitude % 10000;
    if (fraction != 0) {
        char digits[8];
        std::snprintf(digits, sizeof digits, "%04llu", static_cast<unsigned long long>(fraction));
        std::string f(digits);
        while (!f.empty() && f.back() == '0') {
            f.pop_back();
        }
        text += "." + f;
    }
    return negative ? "-" + text : text;
}

HRESULT Convert(const Source& s, std::uint16_t flags, VARTYPE vt, VARIANT& out) {
    switch (vt) {
        case VT_I4: {
            std::int64_t v;
            if (HRESULT hr = ToInt64Scaled(s, 0, v); Failed(hr)) {
                return hr;
            }
            if (v < std::numeric_limits<std::int32_t>::min() ||
                v > std::numeric_limits<std::int32_t>::max()) {
                return DISP_E_OVERFLOW;
            }
            out.vt = VT_I4;
            out.lVal = static_cast<std::int32_t>(v);
            return S_OK;
        }
        case VT_CY: {
            std::int64_t v;
            if (HRESULT hr = ToInt64Scaled(s, 4, v); Failed(hr)) {
                return hr;
            }
            out.vt = VT_CY;
            out.cyVal.int64 = v;
            return S_OK;
        }
        case VT_BOOL: {
            bool value;
            if (s.vt == VT_BSTR) {
                const std::string_view t = Trim(s.s);
                auto equals = [t](std::string_view word) {
                    if (t.size() != word.size()) {
                        return false;
                    }
                    for (std::size_t i = 0; i < t.size(); ++i) {
                        char c = t[i];
                        if (c >= 'A' && c <= 'Z') {
                            c = static_cast<char>(c - 'A' + 'a');
                        }
                        if (c != word[i]) {
                            return false;
                        }
                    }
                    return true;
                };
                if (equals("true")) {
                    value = true;
                } else if (equals("false")) {
                    value = false;
                } else {
                    std::int64_t v;
                    if (HRESULT hr = ParseDecimal(t, 4, v); Failed(hr)) {
                        return hr;
                    }
                    value = v != 0;
                }
            } else if (s.vt == VT_R8) {
                value = s.d != 0;
            } else if (s.vt == VT_EMPTY || IsInteger(s.vt) || s.vt == VT_CY) {
                value = s.i != 0;
            } else {
                return DISP_E_TYPEMISMATCH;
            }
            out.vt = VT_BOOL;
            out.boolVal = value ? VARIANT_TRUE : VARIANT_FALSE;
            return S_OK;
        }
        case VT_BSTR: {
            std::string text;
            if (s.vt == VT_BSTR) {
                text.assign(s.s);
            } else if (s.vt == VT_EMPTY) {
            } else if (s.vt == VT_BOOL) {
                text = (flags & VARIANT_ALPHABOOL) != 0 ? (s.i != 0 ? "True" : "False")
                                                        : (s.i != 0 ? "-1" : "0");
            } else if (IsInteger(s.vt)) {
                text = std::to_string(s.i);
            } else if (s.vt == VT_CY) {
                text = CurrencyText(s.i);
            } else if (s.vt == VT_R8) {
                char digits[40];
                std::snprintf(digits, sizeof digits, "%.15g", s.d);
                text = digits;
            } else {
                return DISP_E_TYPEMISMATCH;
            }
            BSTR b = AllocBstr(text);
            if (b == nullptr) {
                return E_OUTOFMEMORY;
            }
            out.vt = VT_BSTR;
            out.bstrVal = b;
            return S_OK;
        }
        case VT_DISPATCH: {
            IDispatch* d = nullptr;
            if (s.vt == VT_DISPATCH) {
                d = s.disp;
                if (d != nullptr) {
                    d->AddRef();
                }
            } else if (s.vt == VT_UNKNOWN) {
                if (s.unk != nullptr &&
                    Failed(s.unk->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&d)))) {
                    return DISP_E_TYPEMISMATCH;
                }
            } else if (s.vt != VT_EMPTY) {
                return DISP_E_TYPEMISMATCH;
            }
            out.vt = VT_DISPATCH;
            out.pdispVal = d;
            return S_OK;
        }
        default:
            return DISP_E_BADVARTYPE;
    }
}

}  // namespace

HRESULT VariantChangeType(VARIANT* dest, const VARIANT* src, std::uint16_t flags, VARTYPE vt) {
    if (dest == nullptr || src == nullptr) {
        return E_INVALIDARG;
    }
    if (vt != VT_I4 && vt != VT_BOOL && vt != VT_BSTR && vt != VT_CY && vt != VT_DISPATCH) {
        return DISP_E_BADVARTYPE;
    }
    Source s;
    if (!Resolve(*src, s)) {
        return DISP_E_TYPEMISMATCH;
    }
    if (s.vt == VT_NULL) {
        return DISP_E_TYPEMISMATCH;
    }
    VARIANT result;
    if (HRESULT hr = Convert(s, flags, vt, result); Failed(hr)) {
        return hr;
    }
    VariantClear(dest);
    *dest = result;
    return S_OK;
}

}  // namespace sorvex::com
