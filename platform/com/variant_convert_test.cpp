#include "platform/com/variant_convert.h"

#include <gtest/gtest.h>

#include <functional>

#include "platform/com/unknown.h"

namespace sorvex::com {
namespace {

Variant* Make(Variant& v, VARTYPE vt, std::function<void(VARIANT&)> fill) {
    v.vt = vt;
    fill(v);
    return &v;
}

TEST(VariantChangeType, ConvertsToLong) {
    std::int32_t number = 77;
    Variant inner;
    inner.vt = VT_I2;
    inner.iVal = -5;
    struct Row {
        const char* what;
        std::function<void(VARIANT&)> fill;
        VARTYPE vt;
        HRESULT expected;
        std::int32_t value;
    } rows[] = {
        {"I4", [](VARIANT& v) { v.lVal = -7; }, VT_I4, S_OK, -7},
        {"I2", [](VARIANT& v) { v.iVal = -300; }, VT_I2, S_OK, -300},
        {"UI1", [](VARIANT& v) { v.bVal = 255; }, VT_UI1, S_OK, 255},
        {"true", [](VARIANT& v) { v.boolVal = VARIANT_TRUE; }, VT_BOOL, S_OK, -1},
        {"empty", [](VARIANT&) {}, VT_EMPTY, S_OK, 0},
        {"digits", [](VARIANT& v) { v.bstrVal = AllocBstr(" -42\t"); }, VT_BSTR, S_OK, -42},
        {"plus", [](VARIANT& v) { v.bstrVal = AllocBstr("+2147483647"); }, VT_BSTR, S_OK,
         2147483647},
        {"fraction half to even", [](VARIANT& v) { v.bstrVal = AllocBstr("2.5"); }, VT_BSTR, S_OK,
         2},
        {"fraction up", [](VARIANT& v) { v.bstrVal = AllocBstr("-3.5"); }, VT_BSTR, S_OK, -4},
        {"fraction above half", [](VARIANT& v) { v.bstrVal = AllocBstr("2.50001"); }, VT_BSTR, S_OK,
         3},
        {"not a number", [](VARIANT& v) { v.bstrVal = AllocBstr("12a"); }, VT_BSTR,
         DISP_E_TYPEMISMATCH, 0},
        {"empty text", [](VARIANT& v) { v.bstrVal = nullptr; }, VT_BSTR, DISP_E_TYPEMISMATCH, 0},
        {"embedded zero",
         [](VARIANT& v) {
             v.bstrVal =
                 AllocBstr(std::string("1\0"
                                       "2",
                                       3));
         },
         VT_BSTR, DISP_E_TYPEMISMATCH, 0},
        {"too big", [](VARIANT& v) { v.bstrVal = AllocBstr("2147483648"); }, VT_BSTR,
         DISP_E_OVERFLOW, 0},
        {"far too big", [](VARIANT& v) { v.bstrVal = AllocBstr(std::string(60, '9')); }, VT_BSTR,
         DISP_E_OVERFLOW, 0},
        {"currency", [](VARIANT& v) { v.cyVal.int64 = 125000; }, VT_CY, S_OK, 12},
        {"currency half", [](VARIANT& v) { v.cyVal.int64 = -135000; }, VT_CY, S_OK, -14},
        {"double", [](VARIANT& v) { v.dblVal = 6.5; }, VT_R8, S_OK, 6},
        {"double overflow", [](VARIANT& v) { v.dblVal = 3e9; }, VT_R8, DISP_E_OVERFLOW, 0},
        {"null", [](VARIANT&) {}, VT_NULL, DISP_E_TYPEMISMATCH, 0},
        {"by reference", [&](VARIANT& v) { v.plVal = &number; }, VT_BYREF | VT_I4, S_OK, 77},
        {"variant by reference", [&](VARIANT& v) { v.pvarVal = &inner; }, VT_BYREF | VT_VARIANT,
         S_OK, -5},
        {"null reference", [](VARIANT& v) { v.plVal = nullptr; }, VT_BYREF | VT_I4,
         DISP_E_TYPEMISMATCH, 0},
    };
    for (const Row& row : rows) {
        Variant src, dest;
        Make(src, row.vt, row.fill);
        EXPECT_EQ(VariantChangeType(&dest, &src, 0, VT_I4), row.expected) << row.what;
        if (row.expected == S_OK) {
            EXPECT_EQ(dest.vt, VT_I4) << row.what;
            EXPECT_EQ(dest.lVal, row.value) << row.what;
        } else {
            EXPECT_EQ(dest.vt, VT_EMPTY) << row.what;
        }
    }
}

TEST(VariantChangeType, ConvertsToCurrencyBoolAndText) {
    struct Row {
        const char* what;
        std::function<void(VARIANT&)> fill;
        VARTYPE from;
        VARTYPE to;
        std::uint16_t flags;
        HRESULT expected;
        std::function<void(const VARIANT&)> check;
    } rows[] = {
        {"long to currency", [](VARIANT& v) { v.lVal = -3; }, VT_I4, VT_CY, 0, S_OK,
         [](const VARIANT& v) { EXPECT_EQ(v.cyVal.int64, -30000); }},
        {"text to currency", [](VARIANT& v) { v.bstrVal = AllocBstr("12.34565"); }, VT_BSTR, VT_CY,
         0, S_OK, [](const VARIANT& v) { EXPECT_EQ(v.cyVal.int64, 123456); }},
        {"text to currency, largest",
         [](VARIANT& v) { v.bstrVal = AllocBstr("-922337203685477.5808"); }, VT_BSTR, VT_CY, 0,
         S_OK, [](const VARIANT& v) { EXPECT_EQ(v.cyVal.int64, INT64_MIN); }},
        {"text to currency, too big",
         [](VARIANT& v) { v.bstrVal = AllocBstr("922337203685477.5808"); }, VT_BSTR, VT_CY, 0,
         DISP_E_OVERFLOW, nullptr},
        {"double to currency", [](VARIANT& v) { v.dblVal = -1.25; }, VT_R8, VT_CY, 0, S_OK,
         [](const VARIANT& v) { EXPECT_EQ(v.cyVal.int64, -12500); }},
        {"currency to text", [](VARIANT& v) { v.cyVal.int64 = -125000; }, VT_CY, VT_BSTR, 0, S_OK,
         [](const VARIANT& v) { EXPECT_EQ(BstrView(v.bstrVal), "-12.5"); }},
        {"small currency to text", [](VARIANT& v) { v.cyVal.int64 = 1; }, VT_CY, VT_BSTR, 0, S_OK,
         [](const VARIANT& v) { EXPECT_EQ(BstrView(v.bstrVal), "0.0001"); }},
        {"long to text", [](VARIANT& v) { v.lVal = -2147483647 - 1; }, VT_I4, VT_BSTR, 0, S_OK,
         [](const VARIANT& v) { EXPECT_EQ(BstrView(v.bstrVal), "-2147483648"); }},
        {"bool to text", [](VARIANT& v) { v.boolVal = VARIANT_TRUE; }, VT_BOOL, VT_BSTR, 0, S_OK,
         [](const VARIANT& v) { EXPECT_EQ(BstrView(v.bstrVal), "-1"); }},
        {"bool to words", [](VARIANT& v) { v.boolVal = VARIANT_FALSE; }, VT_BOOL, VT_BSTR,
         VARIANT_ALPHABOOL, S_OK,
         [](const VARIANT& v) { EXPECT_EQ(BstrView(v.bstrVal), "False"); }},
        {"text keeps bytes", [](VARIANT& v) { v.bstrVal = AllocBstr(std::string("\0\xff", 2)); },
         VT_BSTR, VT_BSTR, 0, S_OK,
         [](const VARIANT& v) { EXPECT_EQ(BstrView(v.bstrVal), std::string("\0\xff", 2)); }},
        {"empty to text", [](VARIANT&) {}, VT_EMPTY, VT_BSTR, 0, S_OK,
         [](const VARIANT& v) { EXPECT_EQ(SysStringLen(v.bstrVal), 0u); }},
        {"text true", [](VARIANT& v) { v.bstrVal = AllocBstr(" TRUE "); }, VT_BSTR, VT_BOOL, 0,
         S_OK, [](const VARIANT& v) { EXPECT_EQ(v.boolVal, VARIANT_TRUE); }},
        {"text zero", [](VARIANT& v) { v.bstrVal = AllocBstr("0"); }, VT_BSTR, VT_BOOL, 0, S_OK,
         [](const VARIANT& v) { EXPECT_EQ(v.boolVal, VARIANT_FALSE); }},
        {"text yes", [](VARIANT& v) { v.bstrVal = AllocBstr("yes"); }, VT_BSTR, VT_BOOL, 0,
         DISP_E_TYPEMISMATCH, nullptr},
        {"long to bool", [](VARIANT& v) { v.lVal = 2; }, VT_I4, VT_BOOL, 0, S_OK,
         [](const VARIANT& v) { EXPECT_EQ(v.boolVal, VARIANT_TRUE); }},
        {"empty to dispatch", [](VARIANT&) {}, VT_EMPTY, VT_DISPATCH, 0, S_OK,
         [](const VARIANT& v) { EXPECT_EQ(v.pdispVal, nullptr); }},
        {"text to dispatch", [](VARIANT& v) { v.bstrVal = AllocBstr("x"); }, VT_BSTR, VT_DISPATCH,
         0, DISP_E_TYPEMISMATCH, nullptr},
        {"unsupported target", [](VARIANT& v) { v.lVal = 1; }, VT_I4, VT_R8, 0, DISP_E_BADVARTYPE,
         nullptr},
    };
    for (const Row& row : rows) {
        Variant src, dest;
        Make(src, row.from, row.fill);
        EXPECT_EQ(VariantChangeType(&dest, &src, row.flags, row.to), row.expected) << row.what;
        if (row.expected == S_OK) {
            EXPECT_EQ(dest.vt, row.to) << row.what;
            row.check(dest);
        }
    }
}

TEST(VariantChangeType, ConvertsInPlace) {
    Variant v;
    v.vt = VT_BSTR;
    v.bstrVal = AllocBstr("123");
    ASSERT_EQ(VariantChangeType(&v, &v, 0, VT_I4), S_OK);
    EXPECT_EQ(v.vt, VT_I4);
    EXPECT_EQ(v.lVal, 123);
}

}  // namespace
}  // namespace sorvex::com
