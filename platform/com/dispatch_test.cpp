// Late-bound calls through IDispatch, answered from the registered type library: what an OPOS
// control object does with a service object. Against the test server (test_server.cpp).
#include "platform/com/dispatch.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <vector>

#include "callback_test_typelib.h"
#include "platform/com/apartment.h"
#include "platform/com/error_detail.h"
#include "platform/com/loader.h"
#include "platform/com/server.h"
#include "platform/com/typelib_registry.h"
#include "test_server_typelib.h"
#include "tests/support/temp_root.h"

namespace sorvex::com {
namespace {

const std::string kServer = SORVEX_COM_TEST_SERVER;

enum Id : DISPID {
    kAdd = 1,
    kEcho,
    kExchange,
    kScale,
    kNegate,
    kFail,
    kStore,
    kFetch,
    kIsSelf,
    kUnbound
};

// Arguments in the callee's order; handed to Invoke last first. Owns what it holds.
class Args {
  public:
    ~Args() {
        for (VARIANT& v : m_Values) {
            VariantClear(&v);
        }
    }
    Args& Long(std::int32_t x) {
        return Add(VT_I4, [&](VARIANT& v) { v.lVal = x; });
    }
    Args& Text(std::string_view s) {
        return Add(VT_BSTR, [&](VARIANT& v) { v.bstrVal = AllocBstr(s); });
    }
    Args& Money(std::int64_t ten_thousandths) {
        return Add(VT_CY, [&](VARIANT& v) { v.cyVal.int64 = ten_thousandths; });
    }
    Args& Bool(VARIANT_BOOL b) {
        return Add(VT_BOOL, [&](VARIANT& v) { v.boolVal = b; });
    }
    Args& Empty() {
        return Add(VT_EMPTY, [](VARIANT&) {});
    }
    Args& Unknown(IUnknown* p) {
        p->AddRef();
        return Add(VT_UNKNOWN, [&](VARIANT& v) { v.punkVal = p; });
    }
    Args& Dispatch(IDispatch* p) {
        p->AddRef();
        return Add(VT_DISPATCH, [&](VARIANT& v) { v.pdispVal = p; });
    }
    Args& RefLong(std::int32_t* p) {
        return Add(VT_BYREF | VT_I4, [&](VARIANT& v) { v.plVal = p; });
    }
    Args& RefText(BSTR* p) {
        return Add(VT_BYREF | VT_BSTR, [&](VARIANT& v) { v.pbstrVal = p; });
    }
    Args& RefVariant(VARIANT* p) {
        return Add(VT_BYREF | VT_VARIANT, [&](VARIANT& v) { v.pvarVal = p; });
    }

    DISPPARAMS Params() {
        m_Reversed.assign(m_Values.rbegin(), m_Values.rend());
        return DISPPARAMS{m_Reversed.data(), nullptr, static_cast<std::uint32_t>(m_Reversed.size()),
                          0};
    }

  private:
    template <class F>
    Args& Add(VARTYPE vt, F fill) {
        VARIANT v;
        v.vt = vt;
        fill(v);
        m_Values.push_back(v);
        return *this;
    }
    std::vector<VARIANT> m_Values;
    std::vector<VARIANT> m_Reversed;  // shallow copies handed to Invoke
};

struct Outcome {
    HRESULT hr = E_FAIL;
    Variant result;
    EXCEPINFO exception;
    std::uint32_t argError = 0xFFFFFFFF;
};

class Dispatch : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(CoInitialize(), S_OK);
        ASSERT_EQ(Register(), S_OK) << LastErrorDetail();
        ASSERT_EQ(CoCreateInstance(CLSID_TestCalc, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                                   m_Calc.outVoid()),
                  S_OK)
            << LastErrorDetail();
    }
    void TearDown() override {
        m_Calc.Reset();
        CoUninitialize();  // unloads the server, and with it the type information it kept
    }

    static HRESULT Register() {
        void* h = ::dlopen(kServer.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (h == nullptr) {
            return E_FAIL;
        }
        auto entry = reinterpret_cast<DllRegisterServerFunc>(::dlsym(h, "DllRegisterServer"));
        const HRESULT hr = entry();
        ::dlclose(h);
        return hr;
    }

    void Invoke(Outcome& out, DISPID id, Args& args, std::uint16_t flags = DISPATCH_METHOD,
                bool wantResult = true) {
        DISPPARAMS params = args.Params();
        out.hr = m_Calc->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params,
                                wantResult ? &out.result : nullptr, &out.exception, &out.argError);
    }

    test::TempRoot m_Root;
    ComPtr<IDispatch> m_Calc;
};

TEST_F(Dispatch, NamesResolveCaseInsensitivelyWithParameterPositions) {
    OLECHAR exchange[] = "eXcHaNgE", text[] = "TEXT", number[] = "number", bogus[] = "bogus";
    OLECHAR* names[] = {exchange, text, number, bogus};
    DISPID ids[4] = {};
    EXPECT_EQ(m_Calc->GetIDsOfNames(IID_NULL, names, 3, LOCALE_SYSTEM_DEFAULT, ids), S_OK);
    EXPECT_EQ(ids[0], kExchange);
    EXPECT_EQ(ids[1], 1);
    EXPECT_EQ(ids[2], 0);
    EXPECT_EQ(m_Calc->GetIDsOfNames(IID_NULL, names, 4, LOCALE_SYSTEM_DEFAULT, ids),
              DISP_E_UNKNOWNNAME);
    EXPECT_EQ(ids[3], DISPID_UNKNOWN);
    OLECHAR* unknown[] = {bogus};
    EXPECT_EQ(m_Calc->GetIDsOfNames(IID_NULL, unknown, 1, 1033, ids), DISP_E_UNKNOWNNAME);
    EXPECT_EQ(ids[0], DISPID_UNKNOWN);
    EXPECT_EQ(m_Calc->GetIDsOfNames(IID_IDispatch, names, 1, 1033, ids), DISP_E_UNKNOWNINTERFACE);
}

TEST_F(Dispatch, ArgumentsArriveInOrderAndRetvalBecomesTheResult) {
    Outcome out;
    Args args;
    args.Money(15000).Long(3);  // Scale(1.5, 3)
    Invoke(out, kScale, args);
    ASSERT_EQ(out.hr, S_OK);
    EXPECT_EQ(out.result.vt, VT_CY);
    EXPECT_EQ(out.result.cyVal.int64, 45000);

    Outcome sum;
    Args two;
    two.Long(-40).Long(-2);
    Invoke(sum, kAdd, two, DISPATCH_METHOD | DISPATCH_PROPERTYGET);
    ASSERT_EQ(sum.hr, S_OK);
    EXPECT_EQ(sum.result.vt, VT_I4);
    EXPECT_EQ(sum.result.lVal, -42);
}

TEST_F(Dispatch, StringsKeepEveryByte) {
    const std::string bytes("a\0b\xff\x01", 5);
    Outcome out;
    Args args;
    args.Text(bytes);
    Invoke(out, kEcho, args);
    ASSERT_EQ(out.hr, S_OK);
    ASSERT_EQ(out.result.vt, VT_BSTR);
    EXPECT_EQ(BstrView(out.result.bstrVal), bytes);

    Outcome nothing;
    Args null;
    null.Text("");
    Invoke(nothing, kEcho, null, DISPATCH_METHOD, false);  // the retval string is freed
    EXPECT_EQ(nothing.hr, S_OK);
}

TEST_F(Dispatch, ByReferenceParametersAreUpdatedInPlace) {
    std::int32_t number = 21;
    Bstr text(std::string("\0\xff", 2));
    BSTR raw = text.release();
    Outcome out;
    Args args;
    args.RefLong(&number).RefText(&raw);
    Invoke(out, kExchange, args);
    ASSERT_EQ(out.hr, S_OK);
    EXPECT_EQ(out.result.lVal, 21);
    EXPECT_EQ(number, 42);
    EXPECT_EQ(BstrView(raw), std::string("<\0\xff>", 4));
    SysFreeString(raw);

    // Through VT_BYREF | VT_VARIANT the values are converted and written back typed.
    Variant n, t;
    n.vt = VT_BSTR;
    n.bstrVal = AllocBstr("7");
    t.vt = VT_I4;
    t.lVal = 5;
    Outcome converted;
    Args refs;
    refs.RefVariant(&n).RefVariant(&t);
    Invoke(converted, kExchange, refs);
    ASSERT_EQ(converted.hr, S_OK);
    EXPECT_EQ(n.vt, VT_I4);
    EXPECT_EQ(n.lVal, 14);
    ASSERT_EQ(t.vt, VT_BSTR);
    EXPECT_EQ(BstrView(t.bstrVal), "<5>");

    // A pure [out] parameter, and a method without retval leaves the result empty.
    Outcome stored;
    Args store;
    store.Long(9);
    Invoke(stored, kStore, store);
    EXPECT_EQ(stored.hr, S_OK);
    EXPECT_EQ(stored.result.vt, VT_EMPTY);
    std::int32_t fetched = 0;
    Outcome got;
    Args fetch;
    fetch.RefLong(&fetched);
    Invoke(got, kFetch, fetch);
    EXPECT_EQ(got.hr, S_OK);
    EXPECT_EQ(fetched, 9);
}

TEST_F(Dispatch, ValuesAreCoercedAsVariantChangeTypeWould) {
    struct Row {
        const char* what;
        DISPID id;
        std::function<void(Args&)> args;
        VARTYPE vt;
        std::int64_t value;  // lVal, boolVal or cyVal.int64
    } rows[] = {
        {"digits as long", kAdd, [](Args& a) { a.Text(" 40 ").Long(2); }, VT_I4, 42},
        {"bool as long", kAdd, [](Args& a) { a.Bool(VARIANT_TRUE).Long(2); }, VT_I4, 1},
        {"currency as long", kAdd, [](Args& a) { a.Money(25000).Long(0); }, VT_I4, 2},
        {"text as currency", kScale, [](Args& a) { a.Text("1.25").Long(2); }, VT_CY, 25000},
        {"long as currency", kScale, [](Args& a) { a.Long(3).Long(2); }, VT_CY, 60000},
        {"long as bool", kNegate, [](Args& a) { a.Long(0); }, VT_BOOL, VARIANT_TRUE},
        {"text as bool", kNegate, [](Args& a) { a.Text("True"); }, VT_BOOL, VARIANT_FALSE},
        {"empty as bool", kNegate, [](Args& a) { a.Empty(); }, VT_BOOL, VARIANT_TRUE},
    };
    for (const Row& row : rows) {
        Outcome out;
        Args args;
        row.args(args);
        Invoke(out, row.id, args);
        ASSERT_EQ(out.hr, S_OK) << row.what;
        ASSERT_EQ(out.result.vt, row.vt) << row.what;
        const std::int64_t got = row.vt == VT_I4     ? out.result.lVal
                                 : row.vt == VT_BOOL ? out.result.boolVal
                                                     : out.result.cyVal.int64;
        EXPECT_EQ(got, row.value) << row.what;
    }
}

TEST_F(Dispatch, InterfaceArguments) {
    ComPtr<IUnknown> unknown;
    ASSERT_EQ(m_Calc->QueryInterface(IID_IUnknown, unknown.outVoid()), S_OK);
    struct Row {
        const char* what;
        std::function<void(Args&)> args;
        VARIANT_BOOL expected;
    } rows[] = {
        {"itself", [&](Args& a) { a.Dispatch(m_Calc.get()); }, VARIANT_TRUE},
        {"as IUnknown", [&](Args& a) { a.Unknown(unknown.get()); }, VARIANT_TRUE},
        {"nothing", [](Args& a) { a.Empty(); }, VARIANT_FALSE},
    };
    for (const Row& row : rows) {
        Outcome out;
        Args args;
        row.args(args);
        Invoke(out, kIsSelf, args);
        ASSERT_EQ(out.hr, S_OK) << row.what;
        EXPECT_EQ(out.result.boolVal, row.expected) << row.what;
    }
}

TEST_F(Dispatch, RefusesBadCalls) {
    std::int32_t n = 0;
    struct Row {
        const char* what;
        DISPID id;
        std::function<void(Args&)> args;
        std::uint16_t flags;
        HRESULT expected;
        std::uint32_t argError;  // 0xFFFFFFFF: not set
    } rows[] = {
        {"too few", kAdd, [](Args& a) { a.Long(1); }, DISPATCH_METHOD, DISP_E_BADPARAMCOUNT, ~0u},
        {"too many", kAdd, [](Args& a) { a.Long(1).Long(2).Long(3); }, DISPATCH_METHOD,
         DISP_E_BADPARAMCOUNT, ~0u},
        {"retval passed", kAdd, [&](Args& a) { a.Long(1).Long(2).RefLong(&n); }, DISPATCH_METHOD,
         DISP_E_BADPARAMCOUNT, ~0u},
        {"unknown DISPID", 99, [](Args&) {}, DISPATCH_METHOD, DISP_E_MEMBERNOTFOUND, ~0u},
        {"no table entry", kUnbound, [](Args&) {}, DISPATCH_METHOD, DISP_E_MEMBERNOTFOUND, ~0u},
        {"property put", kStore, [](Args& a) { a.Long(1); }, DISPATCH_PROPERTYPUT,
         DISP_E_MEMBERNOTFOUND, ~0u},
        {"text as long", kAdd, [](Args& a) { a.Long(1).Text("one"); }, DISPATCH_METHOD,
         DISP_E_TYPEMISMATCH, 0},
        {"first argument", kAdd, [](Args& a) { a.Text("one").Long(1); }, DISPATCH_METHOD,
         DISP_E_TYPEMISMATCH, 1},
        {"overflow", kAdd, [](Args& a) { a.Long(1).Text("99999999999"); }, DISPATCH_METHOD,
         DISP_E_OVERFLOW, 0},
        {"value for a reference", kExchange, [&](Args& a) { a.Long(1).Text("x"); }, DISPATCH_METHOD,
         DISP_E_TYPEMISMATCH, 1},
        {"reference of another type", kFetch, [](Args& a) { a.Text("x"); }, DISPATCH_METHOD,
         DISP_E_TYPEMISMATCH, 0},
        {"text as interface", kIsSelf, [](Args& a) { a.Text("x"); }, DISPATCH_METHOD,
         DISP_E_TYPEMISMATCH, 0},
    };
    for (const Row& row : rows) {
        Outcome out;
        Args args;
        row.args(args);
        Invoke(out, row.id, args, row.flags);
        EXPECT_EQ(out.hr, row.expected) << row.what;
        EXPECT_EQ(out.argError, row.argError) << row.what;
        EXPECT_EQ(out.result.vt, VT_EMPTY) << row.what;
    }

    Args none;
    DISPPARAMS params = none.Params();
    EXPECT_EQ(m_Calc->Invoke(kStore, IID_IDispatch, 1033, DISPATCH_METHOD, &params, nullptr,
                             nullptr, nullptr),
              DISP_E_UNKNOWNINTERFACE);
    EXPECT_EQ(
        m_Calc->Invoke(kStore, IID_NULL, 1033, DISPATCH_METHOD, nullptr, nullptr, nullptr, nullptr),
        E_INVALIDARG);
    Args one;
    one.Long(1);
    params = one.Params();
    DISPID named = 0;
    params.rgdispidNamedArgs = &named;
    params.cNamedArgs = 1;
    EXPECT_EQ(
        m_Calc->Invoke(kStore, IID_NULL, 1033, DISPATCH_METHOD, &params, nullptr, nullptr, nullptr),
        DISP_E_NONAMEDARGS);
}

TEST_F(Dispatch, AFailingMethodBecomesAnException) {
    Outcome out;
    Args args;
    args.Long(E_ACCESSDENIED);
    Invoke(out, kFail, args);
    EXPECT_EQ(out.hr, DISP_E_EXCEPTION);
    EXPECT_EQ(out.exception.scode, E_ACCESSDENIED);
    EXPECT_EQ(out.exception.bstrDescription, nullptr);

    Outcome ok;
    Args positive;
    positive.Long(S_FALSE);
    Invoke(ok, kFail, positive);
    EXPECT_EQ(ok.hr, S_OK);
}

TEST_F(Dispatch, TypeInformationIsOurs) {
    std::uint32_t count = 0;
    ASSERT_EQ(m_Calc->GetTypeInfoCount(&count), S_OK);
    EXPECT_EQ(count, 1u);
    ComPtr<ITypeInfo> info;
    ASSERT_EQ(m_Calc->GetTypeInfo(0, 1033, info.out()), S_OK);
    EXPECT_EQ(info->Describe().name, "ITestCalc");
    EXPECT_EQ(info->Describe().funcs.size(), 10u);
    ASSERT_NE(info->FindFunc(kExchange), nullptr);
    EXPECT_EQ(info->FindFunc(kExchange)->help, "method Exchange");
    ComPtr<ITypeLib> lib;
    ASSERT_EQ(info->GetContainingTypeLib(lib.out(), nullptr), S_OK);
    EXPECT_EQ(lib->Describe().name, "SorvexTestLib");
    EXPECT_EQ(m_Calc->GetTypeInfo(1, 1033, info.out()), DISP_E_BADINDEX);
    EXPECT_FALSE(info);
}

TEST_F(Dispatch, WithoutARegisteredTypeLibraryOnlyTheVtableWorks) {
    ASSERT_EQ(UnRegisterTypeLib(LIBID_SorvexTestLib, 1, 0, 1033, SysKind::Linux64), S_OK);
    OLECHAR add[] = "Add";
    OLECHAR* names[] = {add};
    DISPID id = 0;
    EXPECT_EQ(m_Calc->GetIDsOfNames(IID_NULL, names, 1, 1033, &id), TYPE_E_LIBNOTREGISTERED);
    Outcome out;
    Args args;
    args.Long(1).Long(2);
    Invoke(out, kAdd, args);
    EXPECT_EQ(out.hr, TYPE_E_LIBNOTREGISTERED);
    ComPtr<ITypeInfo> info;
    EXPECT_EQ(m_Calc->GetTypeInfo(0, 1033, info.out()), TYPE_E_LIBNOTREGISTERED);
    std::uint32_t count = 0;
    EXPECT_EQ(m_Calc->GetTypeInfoCount(&count), S_OK);
    EXPECT_EQ(count, 1u);

    ComPtr<ITestCalc> direct;
    ASSERT_EQ(m_Calc->QueryInterface(IID_ITestCalc, direct.outVoid()), S_OK);
    std::int32_t sum = 0;
    EXPECT_EQ(direct->Add(1, 2, &sum), S_OK);
    EXPECT_EQ(sum, 3);

    // Registering later makes the next call load it; once loaded it is kept.
    ComPtr<ITypeLib> lib;
    ASSERT_EQ(LoadTypeLib(kServer, lib.out()), S_OK);
    ASSERT_EQ(RegisterTypeLib(lib.get(), kServer, ""), S_OK);
    Outcome later;
    Invoke(later, kAdd, args);
    ASSERT_EQ(later.hr, S_OK);
    EXPECT_EQ(later.result.lVal, 3);
    ASSERT_EQ(UnRegisterTypeLib(LIBID_SorvexTestLib, 1, 0, 1033, SysKind::Linux64), S_OK);
    Outcome kept;
    Invoke(kept, kAdd, args);
    EXPECT_EQ(kept.hr, S_OK);
}

// A table that does not match the type library is refused when the type information loads.
class IMismatch : public IDispatch {
  public:
    virtual HRESULT Add(BSTR a, std::int32_t b, std::int32_t* sum) = 0;
    virtual HRESULT Missing() = 0;

  protected:
    ~IMismatch() = default;
};

constexpr DispatchMember kWrongTypes[] = {SORVEX_METHOD(&IMismatch::Add)};
constexpr DispatchMember kWrongName[] = {SORVEX_METHOD(&IMismatch::Missing)};
constexpr DispatchMember kTwice[] = {SORVEX_METHOD_NAMED("Add", &ITestCalc::Add),
                                     SORVEX_METHOD_NAMED("add", &ITestCalc::Add)};

TEST_F(Dispatch, ATableThatDoesNotMatchTheTypeLibraryIsRefused) {
    EXPECT_EQ(detail::MemberName("&ITestCalc::Exchange"), "Exchange");
    const IID elsewhere{0x1234, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};
    struct Row {
        std::span<const DispatchMember> table;
        IID iid;
        HRESULT expected;
        const char* detail;
    } rows[] = {
        {kWrongTypes, IID_ITestCalc, TYPE_E_TYPEMISMATCH,
         "ITestCalc.Add: parameter a is long in the type library, BSTR in C++"},
        {kWrongName, IID_ITestCalc, TYPE_E_ELEMENTNOTFOUND,
         "ITestCalc.Missing: the type library has no such method"},
        {kTwice, IID_ITestCalc, TYPE_E_TYPEMISMATCH, "two table entries"},
        {{}, elsewhere, TYPE_E_ELEMENTNOTFOUND, "no interface"},
        {ITestCalc_DispatchMembers, IID_ITestCalc, S_OK, ""},
    };
    for (const Row& row : rows) {
        TypeInfoHolder holder(LIBID_SorvexTestLib, 1, 0, row.iid, row.table);
        ComPtr<ITypeInfo> info;
        EXPECT_EQ(holder.GetTypeInfo(0, 1033, info.out()), row.expected) << row.detail;
        EXPECT_NE(LastErrorDetail().find(row.detail), std::string::npos) << LastErrorDetail();
    }
}

// A client's callback object, answered from the type library embedded in this test program.
constinit TypeInfoHolder g_EventsInfo(EmbeddedTypeLib{}, IID_ITestEvents,
                                      ITestEvents_DispatchMembers);

class Events final : public DualDispatch<ITestEvents, g_EventsInfo> {
  public:
    HRESULT QueryInterface(const IID& iid, void** object) override {
        *object = (iid == IID_IUnknown || iid == IID_IDispatch || iid == IID_ITestEvents)
                      ? static_cast<ITestEvents*>(this)
                      : nullptr;
        return *object != nullptr ? S_OK : E_NOINTERFACE;
    }
    std::uint32_t AddRef() override { return 1; }
    std::uint32_t Release() override { return 1; }
    HRESULT SOData(std::int32_t status) override {
        data.push_back(status);
        return S_OK;
    }
    HRESULT SOError(std::int32_t resultCode, std::int32_t, std::int32_t,
                    std::int32_t* errorResponse) override {
        *errorResponse = resultCode + 1;
        return S_OK;
    }
    std::vector<std::int32_t> data;
};

TEST(EmbeddedTypeInfo, AnswersWithoutRegistration) {
    test::TempRoot root;  // an empty registry
    Events events;
    OLECHAR name[] = "soerror";
    OLECHAR* names[] = {name};
    DISPID id = 0;
    ASSERT_EQ(events.GetIDsOfNames(IID_NULL, names, 1, LOCALE_SYSTEM_DEFAULT, &id), S_OK)
        << LastErrorDetail();
    EXPECT_EQ(id, 2);
    std::int32_t response = 0;
    VARIANT args[4];
    args[0].vt = VT_BYREF | VT_I4;
    args[0].plVal = &response;
    for (int i = 1; i < 4; ++i) {
        args[i].vt = VT_I4;
        args[i].lVal = 110 + i;  // ErrorLocus 111, ResultCodeExtended 112, ResultCode 113
    }
    DISPPARAMS params{args, nullptr, 4, 0};
    EXPECT_EQ(events.Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, nullptr,
                            nullptr, nullptr),
              S_OK);
    EXPECT_EQ(response, 114);
}

}  // namespace
}  // namespace sorvex::com
