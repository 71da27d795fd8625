// Costs of the object layer as a control object meets them: a call through Invoke against the
// same call through the interface's own function, name look-up, creation, ProgID resolution.
#include <benchmark/benchmark.h>
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/com/apartment.h"
#include "platform/com/loader.h"
#include "platform/com/server.h"
#include "test_server_typelib.h"
#include "tests/support/temp_root.h"

namespace com = sorvex::com;

namespace {

// One registered server, one apartment, one object for the whole run.
struct Fixture {
    sorvex::test::TempRoot root;
    com::ComPtr<com::IDispatch> calc;
    com::ComPtr<ITestCalc> direct;

    Fixture() {
        void* h = ::dlopen(SORVEX_COM_TEST_SERVER, RTLD_NOW | RTLD_LOCAL);
        auto reg =
            h != nullptr
                ? reinterpret_cast<com::DllRegisterServerFunc>(::dlsym(h, "DllRegisterServer"))
                : nullptr;
        if (reg == nullptr || com::Failed(reg()) || com::CoInitialize() != com::S_OK ||
            com::CoCreateInstance(CLSID_TestCalc, nullptr, com::CLSCTX_INPROC_SERVER,
                                  com::IID_IDispatch, calc.outVoid()) != com::S_OK ||
            calc->QueryInterface(IID_ITestCalc, direct.outVoid()) != com::S_OK) {
            std::fprintf(stderr, "com_bench: cannot set up the test server\n");
            std::exit(1);
        }
        ::dlclose(h);
    }
};

Fixture& Get() {
    static Fixture f;
    return f;
}

void Check(bool ok, benchmark::State& state) {
    if (!ok) {
        state.SkipWithError("call failed");
    }
}

void BM_DirectCall(benchmark::State& state) {
    ITestCalc* calc = Get().direct.get();
    std::int32_t sum = 0;
    for (auto _ : state) {
        calc->Add(40, 2, &sum);
        benchmark::DoNotOptimize(sum);
    }
}
BENCHMARK(BM_DirectCall);

void BM_InvokeTwoLongsRetval(benchmark::State& state) {
    com::IDispatch* calc = Get().calc.get();
    com::VARIANT args[2];
    args[0].vt = args[1].vt = com::VT_I4;
    args[0].lVal = 2;
    args[1].lVal = 40;
    com::DISPPARAMS params{args, nullptr, 2, 0};
    for (auto _ : state) {
        com::Variant result;
        Check(calc->Invoke(1, com::IID_NULL, 1033, com::DISPATCH_METHOD, &params, &result, nullptr,
                           nullptr) == com::S_OK,
              state);
        benchmark::DoNotOptimize(result.lVal);
    }
}
BENCHMARK(BM_InvokeTwoLongsRetval);

void BM_InvokeEcho64ByteString(benchmark::State& state) {
    com::IDispatch* calc = Get().calc.get();
    com::Bstr text(std::string(64, 'x'));
    com::VARIANT arg;
    arg.vt = com::VT_BSTR;
    arg.bstrVal = text.get();
    com::DISPPARAMS params{&arg, nullptr, 1, 0};
    for (auto _ : state) {
        com::Variant result;
        Check(calc->Invoke(2, com::IID_NULL, 1033, com::DISPATCH_METHOD, &params, &result, nullptr,
                           nullptr) == com::S_OK,
              state);
    }
}
BENCHMARK(BM_InvokeEcho64ByteString);

void BM_InvokeByReference(benchmark::State& state) {
    com::IDispatch* calc = Get().calc.get();
    std::int32_t number = 1;
    com::BSTR text = com::AllocBstr("");
    com::VARIANT args[2];
    args[1].vt = com::VT_BYREF | com::VT_I4;
    args[1].plVal = &number;
    args[0].vt = com::VT_BYREF | com::VT_BSTR;
    args[0].pbstrVal = &text;
    com::DISPPARAMS params{args, nullptr, 2, 0};
    for (auto _ : state) {
        number = 1;
        com::SysReAllocString(&text, "ab");
        com::Variant result;
        Check(calc->Invoke(3, com::IID_NULL, 1033, com::DISPATCH_METHOD, &params, &result, nullptr,
                           nullptr) == com::S_OK,
              state);
    }
    com::SysFreeString(text);
}
BENCHMARK(BM_InvokeByReference);

void BM_GetIDsOfNames(benchmark::State& state) {
    com::IDispatch* calc = Get().calc.get();
    com::OLECHAR name[] = "exchange";
    com::OLECHAR* names[] = {name};
    com::DISPID id = 0;
    for (auto _ : state) {
        Check(calc->GetIDsOfNames(com::IID_NULL, names, 1, 1033, &id) == com::S_OK, state);
        benchmark::DoNotOptimize(id);
    }
}
BENCHMARK(BM_GetIDsOfNames);

void BM_CreateAndRelease(benchmark::State& state) {
    Get();
    for (auto _ : state) {
        com::ComPtr<com::IDispatch> object;
        Check(com::CoCreateInstance(CLSID_TestCalc, nullptr, com::CLSCTX_INPROC_SERVER,
                                    com::IID_IDispatch, object.outVoid()) == com::S_OK,
              state);
    }
}
BENCHMARK(BM_CreateAndRelease);

void BM_CLSIDFromProgIDWithCurVer(benchmark::State& state) {
    Get();
    com::CLSID clsid;
    for (auto _ : state) {
        Check(com::CLSIDFromProgID("SorvexTest.Calc", &clsid) == com::S_OK, state);
    }
}
BENCHMARK(BM_CLSIDFromProgIDWithCurVer);

}  // namespace

BENCHMARK_MAIN();
