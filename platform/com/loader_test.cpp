// The loader and apartments, against the test server library (test_server.cpp).
#include "platform/com/loader.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "platform/com/apartment.h"
#include "platform/com/error_detail.h"
#include "platform/com/server.h"
#include "platform/com/typelib_registry.h"
#include "platform/registry/registry.h"
#include "test_server_typelib.h"
#include "tests/support/subprocess.h"
#include "tests/support/temp_root.h"

namespace sorvex::com {
namespace {

namespace reg = sorvex::registry;

const std::string kServer = SORVEX_COM_TEST_SERVER;
const std::string kClassKey = "CLSID\\{F718D91E-EA80-4C5F-AB12-34B068BA4D86}";

// Whether the dynamic loader has the library mapped (whoever loaded it).
bool Mapped(const std::string& path) {
    void* h = ::dlopen(path.c_str(), RTLD_LAZY | RTLD_NOLOAD);
    if (h != nullptr) {
        ::dlclose(h);
    }
    return h != nullptr;
}

// Calls one entry point of the server the way sorvex-regsvr does, then unloads it again.
HRESULT CallEntry(const char* name) {
    void* h = ::dlopen(kServer.c_str(), RTLD_NOW | RTLD_LOCAL);
    EXPECT_NE(h, nullptr) << ::dlerror();
    auto entry = reinterpret_cast<DllRegisterServerFunc>(::dlsym(h, name));
    EXPECT_NE(entry, nullptr);
    const HRESULT hr = entry();
    ::dlclose(h);
    return hr;
}

class Loader : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(Mapped(kServer)) << "an earlier test left the server loaded";
        ASSERT_EQ(CallEntry("DllRegisterServer"), S_OK) << LastErrorDetail();
        ASSERT_EQ(CoInitialize(), S_OK);
    }
    void TearDown() override {
        CoUninitialize();
        EXPECT_FALSE(Mapped(kServer)) << "the last CoUninitialize did not unload the server";
    }

    ComPtr<ITestCalc> Create() {
        ComPtr<ITestCalc> calc;
        EXPECT_EQ(CoCreateInstance(CLSID_TestCalc, nullptr, CLSCTX_INPROC_SERVER, IID_ITestCalc,
                                   calc.outVoid()),
                  S_OK)
            << LastErrorDetail();
        return calc;
    }

    test::TempRoot m_Root;
};

TEST_F(Loader, CreatesByProgIdFollowingCurVerAndByClsid) {
    for (const char* progId : {"SorvexTest.Calc", "SorvexTest.Calc.1", "sorvextest.calc"}) {
        CLSID clsid;
        ASSERT_EQ(CLSIDFromProgID(progId, &clsid), S_OK) << progId;
        EXPECT_EQ(clsid, CLSID_TestCalc);
    }
    // CurVer wins over the version-independent key's own CLSID.
    reg::Key key;
    ASSERT_EQ(reg::Key::Create(reg::Hive::ClassesRoot, "SorvexTest.Calc\\CLSID", key),
              reg::Status::Ok);
    key.SetString("", "{00000000-0000-0000-0000-000000000042}");
    CLSID clsid;
    ASSERT_EQ(CLSIDFromProgID("SorvexTest.Calc", &clsid), S_OK);
    EXPECT_EQ(clsid, CLSID_TestCalc);

    ComPtr<ITestCalc> calc;
    ASSERT_EQ(CreateInstanceByProgID("SorvexTest.Calc", IID_ITestCalc, calc.outVoid()), S_OK)
        << LastErrorDetail();
    std::int32_t sum = 0;
    EXPECT_EQ(calc->Add(40, 2, &sum), S_OK);
    EXPECT_EQ(sum, 42);
    ComPtr<IDispatch> dispatch;
    EXPECT_EQ(
        CoCreateInstance(CLSID_TestCalc, nullptr, CLSCTX_ALL, IID_IDispatch, dispatch.outVoid()),
        S_OK);
    EXPECT_TRUE(IsLibraryLoaded(kServer));
}

TEST_F(Loader, ProgIdErrors) {
    reg::Key key;
    ASSERT_EQ(reg::Key::Create(reg::Hive::ClassesRoot, "Broken.Thing\\CLSID", key),
              reg::Status::Ok);
    key.SetString("", "not a guid");
    ASSERT_EQ(reg::Key::Create(reg::Hive::ClassesRoot, "Loop.A\\CurVer", key), reg::Status::Ok);
    key.SetString("", "Loop.A");
    struct Row {
        const char* progId;
        HRESULT expected;
    } rows[] = {
        {"No.Such.Thing", CO_E_CLASSSTRING},
        {"", CO_E_CLASSSTRING},
        {"SorvexTest.Calc\\CLSID", CO_E_CLASSSTRING},
        {"Broken.Thing", CO_E_CLASSSTRING},
        {"Loop.A", CO_E_CLASSSTRING},  // CurVer naming itself, and no CLSID
    };
    for (const Row& row : rows) {
        CLSID clsid{1};
        EXPECT_EQ(CLSIDFromProgID(row.progId, &clsid), row.expected) << row.progId;
        EXPECT_EQ(clsid, CLSID{}) << row.progId;
        EXPECT_FALSE(LastErrorDetail().empty()) << row.progId;
    }
    void* object = &key;
    EXPECT_EQ(CreateInstanceByProgID("No.Such.Thing", IID_IUnknown, &object), CO_E_CLASSSTRING);
    EXPECT_EQ(object, nullptr);
}

TEST_F(Loader, ClassRegistrationErrors) {
    const CLSID unknown{0x12345678, 0, 0, {0, 0, 0, 0, 0, 0, 0, 1}};
    auto create = [](const CLSID& clsid, std::uint32_t context = CLSCTX_INPROC_SERVER,
                     const IID& iid = IID_IUnknown) {
        void* object = reinterpret_cast<void*>(1);
        const HRESULT hr = CoCreateInstance(clsid, nullptr, context, iid, &object);
        EXPECT_EQ(object, nullptr);
        return hr;
    };
    EXPECT_EQ(create(unknown), REGDB_E_CLASSNOTREG);
    EXPECT_EQ(create(CLSID_TestCalc, CLSCTX_LOCAL_SERVER), REGDB_E_CLASSNOTREG);
    EXPECT_EQ(create(CLSID_TestCalc, CLSCTX_INPROC_SERVER, IID_ITypeLib), E_NOINTERFACE);
    EXPECT_EQ(
        CoCreateInstance(CLSID_TestCalc, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, nullptr),
        E_INVALIDARG);

    // A class registered for the library that the library does not implement.
    const std::string otherKey = "CLSID\\" + ToString(unknown);
    reg::Key key;
    ASSERT_EQ(reg::Key::Create(reg::Hive::ClassesRoot, otherKey + "\\InprocServer32", key),
              reg::Status::Ok);
    key.SetString("", kServer);
    EXPECT_EQ(create(unknown), CLASS_E_CLASSNOTAVAILABLE);

    struct Row {
        const char* what;
        std::string path;
        HRESULT expected;
        const char* detail;
    } rows[] = {
        {"relative", "lib/libsorvex_com_test_server.so", CO_E_DLLNOTFOUND,
         "is not an absolute path"},
        {"bare name", "libsorvex_com_test_server.so", CO_E_DLLNOTFOUND, "is not an absolute path"},
        {"missing", m_Root.path().string() + "/gone.so", CO_E_DLLNOTFOUND, "no such library"},
        {"no entry point", SORVEX_PLATFORM_LIBRARY, CO_E_ERRORINDLL,
         "does not export DllGetClassObject"},
        {"empty", "", REGDB_E_CLASSNOTREG, "no in-process server"},
    };
    for (const Row& row : rows) {
        key.SetString("", row.path);
        EXPECT_EQ(create(unknown), row.expected) << row.what;
        EXPECT_NE(LastErrorDetail().find(row.detail), std::string::npos)
            << row.what << ": " << LastErrorDetail();
    }
    std::ofstream(m_Root.path() / "junk.so") << "not ELF";
    key.SetString("", (m_Root.path() / "junk.so").string());
    EXPECT_EQ(create(unknown), CO_E_ERRORINDLL);
    EXPECT_NE(LastErrorDetail().find("junk.so"), std::string::npos) << LastErrorDetail();
    key.Close();
    ASSERT_EQ(reg::DeleteTree(reg::Hive::ClassesRoot, otherKey + "\\InprocServer32"),
              reg::Status::Ok);
    EXPECT_EQ(create(unknown), REGDB_E_CLASSNOTREG);
}

TEST_F(Loader, UnloadsOnlyAfterTheLastObjectAndLockAreGone) {
    ComPtr<ITestCalc> first = Create();
    ComPtr<ITestCalc> second = Create();
    ASSERT_TRUE(Mapped(kServer));
    first.Reset();
    CoFreeUnusedLibraries();
    EXPECT_TRUE(Mapped(kServer));
    second.Reset();
    CoFreeUnusedLibraries();
    EXPECT_FALSE(Mapped(kServer));
    EXPECT_FALSE(IsLibraryLoaded(kServer));

    // A server lock keeps it too; holding only the class object does not.
    ComPtr<IClassFactory> factory;
    ASSERT_EQ(CoGetClassObject(CLSID_TestCalc, CLSCTX_INPROC_SERVER, IID_IClassFactory,
                               factory.outVoid()),
              S_OK);
    ASSERT_EQ(factory->LockServer(1), S_OK);
    CoFreeUnusedLibraries();
    EXPECT_TRUE(Mapped(kServer));
    ASSERT_EQ(factory->LockServer(0), S_OK);
    factory.Reset();
    CoFreeUnusedLibraries();
    EXPECT_FALSE(Mapped(kServer));

    // Loaded again on demand.
    ComPtr<ITestCalc> again = Create();
    std::int32_t sum = 0;
    EXPECT_EQ(again->Add(1, 2, &sum), S_OK);
    EXPECT_EQ(sum, 3);
}

TEST_F(Loader, LastApartmentLeavingKeepsLibrariesWithLiveObjects) {
    ComPtr<ITestCalc> calc = Create();
    ASSERT_EQ(CoInitialize(), S_FALSE);  // nested
    CoUninitialize();
    CoUninitialize();  // the process has no apartment now
    EXPECT_TRUE(Mapped(kServer));
    std::int32_t sum = 0;
    EXPECT_EQ(calc->Add(2, 2, &sum), S_OK);
    calc.Reset();
    ASSERT_EQ(CoInitialize(), S_OK);  // for TearDown, whose CoUninitialize unloads
}

TEST_F(Loader, NeedsCoInitializeOnTheCallingThread) {
    HRESULT onOtherThread = S_OK;
    bool joinedThere = true;
    std::thread([&] {
        void* object = nullptr;
        joinedThere = IsApartmentThread();
        onOtherThread =
            CoCreateInstance(CLSID_TestCalc, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &object);
    }).join();
    EXPECT_FALSE(joinedThere);
    EXPECT_EQ(onOtherThread, CO_E_NOTINITIALIZED);

    CoUninitialize();
    void* object = nullptr;
    EXPECT_EQ(
        CoCreateInstance(CLSID_TestCalc, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &object),
        CO_E_NOTINITIALIZED);
    EXPECT_EQ(CoGetClassObject(CLSID_TestCalc, CLSCTX_INPROC_SERVER, IID_IClassFactory, &object),
              CO_E_NOTINITIALIZED);
    CoUninitialize();  // not joined: ignored
    ASSERT_EQ(CoInitialize(), S_OK);
}

TEST_F(Loader, DelayedFreeingWaitsForTheLibraryToStayIdle) {
    Create().Reset();
    CoFreeUnusedLibrariesEx(std::chrono::hours(1));
    CoFreeUnusedLibrariesEx(std::chrono::hours(1));
    EXPECT_TRUE(Mapped(kServer));
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    CoFreeUnusedLibrariesEx(std::chrono::milliseconds(1));  // idle since the first call above
    EXPECT_FALSE(Mapped(kServer));

    // A creation in between starts the wait again.
    Create().Reset();
    CoFreeUnusedLibrariesEx(std::chrono::milliseconds(1));
    Create().Reset();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    CoFreeUnusedLibrariesEx(std::chrono::milliseconds(1));
    EXPECT_TRUE(Mapped(kServer));
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    CoFreeUnusedLibrariesEx(std::chrono::milliseconds(1));
    EXPECT_FALSE(Mapped(kServer));
}

TEST_F(Loader, ThreadsCreateAndFreeConcurrently) {
    // An object kept by this thread keeps the library loaded while the other threads create,
    // release and free: an unload while another thread is still inside a final Release is the
    // hazard CoFreeUnusedLibrariesEx's delay covers, and not what this test is about.
    ComPtr<ITestCalc> keeper = Create();
    constexpr int kThreads = 4;
    constexpr int kRounds = 25;
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            if (CoInitialize() != S_OK) {
                ++failures;
                return;
            }
            for (int i = 0; i < kRounds; ++i) {
                ComPtr<IDispatch> calc;
                if (CoCreateInstance(CLSID_TestCalc, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                                     calc.outVoid()) != S_OK) {
                    ++failures;
                    continue;
                }
                // First use of the type information races between the threads.
                OLECHAR add[] = "Add";
                OLECHAR* names[] = {add};
                DISPID id = 0;
                Variant args[2], result;
                args[0].vt = VT_I4;
                args[0].lVal = i;
                args[1].vt = VT_I4;
                args[1].lVal = t;
                DISPPARAMS params{args, nullptr, 2, 0};
                if (calc->GetIDsOfNames(IID_NULL, names, 1, 1033, &id) != S_OK ||
                    calc->Invoke(id, IID_NULL, 1033, DISPATCH_METHOD, &params, &result, nullptr,
                                 nullptr) != S_OK ||
                    result.lVal != i + t) {
                    ++failures;
                }
                calc.Reset();
                if (i % 5 == 0) {
                    CoFreeUnusedLibraries();
                }
            }
            CoUninitialize();
        });
    }
    for (auto& th : threads) {
        th.join();
    }
    EXPECT_EQ(failures.load(), 0);
}

TEST_F(Loader, ServerExportsExactlyItsFourEntryPoints) {
    const test::RunResult nm = test::Run({"/usr/bin/nm", "-D", "--defined-only", kServer});
    if (nm.exitCode == 127 || nm.exitCode < 0) {
        GTEST_SKIP() << "nm is not available";
    }
    ASSERT_EQ(nm.exitCode, 0) << nm.err;
    std::vector<std::string> symbols;
    std::istringstream lines(nm.out);
    for (std::string line; std::getline(lines, line);) {
        const std::size_t space = line.rfind(' ');
        const std::string name = line.substr(space + 1);
        if (name.rfind("__", 0) != 0) {  // toolchain and sanitizer markers
            symbols.push_back(name);
        }
    }
    std::sort(symbols.begin(), symbols.end());
    EXPECT_EQ(symbols, (std::vector<std::string>{"DllCanUnloadNow", "DllGetClassObject",
                                                 "DllRegisterServer", "DllUnregisterServer"}))
        << nm.out;
}

}  // namespace
}  // namespace sorvex::com
