// libTalvexSO.so as the loader and a control object see it: its exports, registration, creation
// by ProgID and late-bound calls.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>

#include "platform/com/apartment.h"
#include "platform/com/loader.h"
#include "platform/com/server.h"
#include "platform/registry/registry.h"
#include "service/frame/fake_control_object.h"
#include "service/frame/opos.h"
#include "tests/support/subprocess.h"
#include "tests/support/temp_root.h"

namespace talvex {
namespace {

namespace com = sorvex::com;
namespace reg = sorvex::registry;

// The server's entry points, straight from the library.
struct Module {
    Module() {
        handle = ::dlopen(TALVEXSO_PATH, RTLD_NOW | RTLD_LOCAL);
        EXPECT_NE(handle, nullptr) << ::dlerror();
        getClassObject =
            reinterpret_cast<com::DllGetClassObjectFunc>(::dlsym(handle, "DllGetClassObject"));
        canUnloadNow =
            reinterpret_cast<com::DllCanUnloadNowFunc>(::dlsym(handle, "DllCanUnloadNow"));
        registerServer =
            reinterpret_cast<com::DllRegisterServerFunc>(::dlsym(handle, "DllRegisterServer"));
        unregisterServer =
            reinterpret_cast<com::DllUnregisterServerFunc>(::dlsym(handle, "DllUnregisterServer"));
    }
    ~Module() { ::dlclose(handle); }
    void* handle = nullptr;
    com::DllGetClassObjectFunc getClassObject = nullptr;
    com::DllCanUnloadNowFunc canUnloadNow = nullptr;
    com::DllRegisterServerFunc registerServer = nullptr;
    com::DllUnregisterServerFunc unregisterServer = nullptr;
};

std::string Default(const std::string& path, const std::string& name = "") {
    reg::Key key;
    if (reg::Key::Open(reg::Hive::ClassesRoot, path, reg::kRead, key) != reg::Status::Ok) {
        return "<no key>";
    }
    reg::Value v;
    if (key.Get(name, v) != reg::Status::Ok) {
        return "<no value>";
    }
    return v.data;
}

bool KeyExists(const std::string& path) {
    reg::Key key;
    return reg::Key::Open(reg::Hive::ClassesRoot, path, reg::kRead, key) == reg::Status::Ok;
}

class ServerTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(com::CoInitialize(), com::S_OK); }
    void TearDown() override { com::CoUninitialize(); }
    sorvex::test::TempRoot root;
};

TEST_F(ServerTest, ExportsExactlyItsFourEntryPoints) {
    auto nm = sorvex::test::Run({"/usr/bin/nm", "-D", "--defined-only", TALVEXSO_PATH});
    if (nm.exitCode != 0) {
        GTEST_SKIP() << "nm is not available";
    }
    std::vector<std::string> symbols;
    std::size_t start = 0;
    for (std::size_t end; (end = nm.out.find('\n', start)) != std::string::npos; start = end + 1) {
        std::string line = nm.out.substr(start, end - start);
        std::string name = line.substr(line.rfind(' ') + 1);
        if (line.find(" T ") != std::string::npos || line.find(" D ") != std::string::npos ||
            line.find(" B ") != std::string::npos || line.find(" W ") != std::string::npos ||
            line.find(" V ") != std::string::npos || line.find(" u ") != std::string::npos) {
            symbols.push_back(name);
        }
    }
    std::sort(symbols.begin(), symbols.end());
    EXPECT_EQ(symbols, (std::vector<std::string>{"DllCanUnloadNow", "DllGetClassObject",
                                                 "DllRegisterServer", "DllUnregisterServer"}))
        << nm.out;
}

TEST_F(ServerTest, WritesAndRemovesTheClassEntries) {
    Module m;
    ASSERT_EQ(m.registerServer(), com::S_OK);
    struct Names {
        const char* progId;
        const char* independent;
        const char* description;
    };
    const Names classes[] = {
        {"Orvanta.Opos.Scanner.1", "Orvanta.Opos.Scanner", "Orvanta OPOS Scanner Class"},
        {"Orvanta.OPOS.Scale.1", "Orvanta.OPOS.Scale", "Orvanta OPOS Scale Class"},
    };
    const std::string path = com::ModulePath(reinterpret_cast<const void*>(m.registerServer));
    std::string libid;
    for (const Names& c : classes) {
        const std::string clsid = Default(std::string(c.progId) + "\\CLSID");
        ASSERT_TRUE(com::ParseGuid(clsid)) << clsid;
        const std::string classKey = "CLSID\\" + clsid;
        EXPECT_EQ(Default(c.progId), c.description);
        EXPECT_EQ(Default(c.independent), c.description);
        EXPECT_EQ(Default(std::string(c.independent) + "\\CLSID"), clsid);
        EXPECT_EQ(Default(std::string(c.independent) + "\\CurVer"), c.progId);
        EXPECT_EQ(Default(classKey), c.description);
        EXPECT_EQ(Default(classKey + "\\ProgID"), c.progId);
        EXPECT_EQ(Default(classKey + "\\VersionIndependentProgID"), c.independent);
        EXPECT_TRUE(KeyExists(classKey + "\\Programmable"));
        EXPECT_EQ(Default(classKey + "\\Programmable"), "<no value>");
        EXPECT_EQ(Default(classKey + "\\InprocServer32"), path);
        EXPECT_EQ(Default(classKey + "\\InprocServer32", "ThreadingModel"), "Apartment");
        libid = Default(classKey + "\\TypeLib");
        EXPECT_TRUE(com::ParseGuid(libid)) << libid;
        com::CLSID resolved;
        ASSERT_EQ(com::CLSIDFromProgID(c.independent, &resolved), com::S_OK);
        EXPECT_EQ(com::ToString(resolved), clsid);
    }
    EXPECT_EQ(Default("TypeLib\\" + libid + "\\1.0"), "TalvexSO 1.0 Type Library");
    // Registering again writes the same entries (the class key is rewritten, not duplicated).
    ASSERT_EQ(m.registerServer(), com::S_OK);

    const std::string scannerClsid = Default("Orvanta.Opos.Scanner\\CLSID");
    ASSERT_EQ(m.unregisterServer(), com::S_OK);
    for (const Names& c : classes) {
        EXPECT_FALSE(KeyExists(c.progId));
        EXPECT_FALSE(KeyExists(c.independent));
    }
    EXPECT_FALSE(KeyExists("CLSID\\" + scannerClsid));
    EXPECT_FALSE(KeyExists("TypeLib\\" + libid));
    EXPECT_TRUE(KeyExists("CLSID"));
}

TEST_F(ServerTest, AnswersOnlyItsOwnClassesAndCountsObjectsAndLocks) {
    Module m;
    ASSERT_EQ(m.registerServer(), com::S_OK);
    com::GUID unknown = *com::ParseGuid("{0F0F0F0F-1111-2222-3333-444455556666}");
    void* object = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(m.getClassObject(unknown, com::IID_IClassFactory, &object),
              com::CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(m.getClassObject(unknown, com::IID_IClassFactory, nullptr), com::E_POINTER);

    com::CLSID scanner;
    ASSERT_EQ(com::CLSIDFromProgID("Orvanta.Opos.Scanner", &scanner), com::S_OK);
    com::ComPtr<com::IClassFactory> factory;
    ASSERT_EQ(m.getClassObject(scanner, com::IID_IClassFactory, factory.outVoid()), com::S_OK);
    EXPECT_EQ(m.canUnloadNow(), com::S_OK);
    com::ComPtr<com::IDispatch> device;
    ASSERT_EQ(factory->CreateInstance(nullptr, com::IID_IDispatch, device.outVoid()), com::S_OK);
    EXPECT_EQ(m.canUnloadNow(), com::S_FALSE);
    device.Reset();
    EXPECT_EQ(m.canUnloadNow(), com::S_OK);
    factory->LockServer(1);
    EXPECT_EQ(m.canUnloadNow(), com::S_FALSE);
    factory->LockServer(0);
    EXPECT_EQ(m.canUnloadNow(), com::S_OK);
}

// Calls a method by name through IDispatch with long arguments (given in order); the retval.
com::HRESULT CallByName(com::IDispatch* d, const char* method, std::vector<std::int32_t> args,
                        std::int32_t* result) {
    com::OLECHAR* names[] = {const_cast<com::OLECHAR*>(method)};
    com::DISPID id = 0;
    com::HRESULT hr = d->GetIDsOfNames(com::IID_NULL, names, 1, com::LOCALE_USER_DEFAULT, &id);
    if (com::Failed(hr)) {
        return hr;
    }
    std::vector<com::VARIANT> v(args.size());
    for (std::size_t i = 0; i < args.size(); ++i) {
        v[args.size() - 1 - i].vt = com::VT_I4;
        v[args.size() - 1 - i].lVal = args[i];
    }
    com::DISPPARAMS params{v.data(), nullptr, static_cast<std::uint32_t>(v.size()), 0};
    com::Variant out;
    hr = d->Invoke(id, com::IID_NULL, com::LOCALE_USER_DEFAULT, com::DISPATCH_METHOD, &params, &out,
                   nullptr, nullptr);
    if (com::Succeeded(hr) && result != nullptr) {
        *result = out.vt == com::VT_I4 ? out.lVal : -999;
    }
    return hr;
}

TEST_F(ServerTest, CreatesBothClassesByProgIdAndServesLateBoundCalls) {
    Module m;
    ASSERT_EQ(m.registerServer(), com::S_OK);
    for (const char* progId : {"Orvanta.Opos.Scanner", "Orvanta.OPOS.Scale"}) {
        com::ComPtr<com::IDispatch> device;
        ASSERT_EQ(com::CreateInstanceByProgID(progId, com::IID_IDispatch, device.outVoid()),
                  com::S_OK)
            << progId;
        std::int32_t rc = -1;
        // A closed object: CheckHealth still answers, ClaimDevice is refused (no claim mutex).
        ASSERT_EQ(CallByName(device.get(), "CheckHealth", {OPOS_CH_INTERNAL}, &rc), com::S_OK);
        EXPECT_EQ(rc, OPOS_SUCCESS);
        ASSERT_EQ(CallByName(device.get(), "ClaimDevice", {0}, &rc), com::S_OK);
        EXPECT_EQ(rc, OPOS_E_CLAIMED);
        ASSERT_EQ(CallByName(device.get(), "GetPropertyNumber", {PIDX_ServiceObjectVersion}, &rc),
                  com::S_OK);
        EXPECT_EQ(rc / 1000000, 1);
    }
}

TEST_F(ServerTest, RefusesLateBoundCallsWhenTheTypeLibraryIsNotRegistered) {
    Module m;
    ASSERT_EQ(m.registerServer(), com::S_OK);
    const std::string libid =
        Default("CLSID\\" + Default("Orvanta.Opos.Scanner\\CLSID") + "\\TypeLib");
    ASSERT_EQ(reg::DeleteTree(reg::Hive::ClassesRoot, "TypeLib\\" + libid), reg::Status::Ok);
    com::ComPtr<com::IDispatch> device;
    ASSERT_EQ(
        com::CreateInstanceByProgID("Orvanta.OPOS.Scale", com::IID_IDispatch, device.outVoid()),
        com::S_OK);
    std::int32_t rc = 0;
    EXPECT_EQ(CallByName(device.get(), "CheckHealth", {1}, &rc), com::TYPE_E_LIBNOTREGISTERED);
}

TEST_F(ServerTest, RegistersThroughSorvexRegsvrAndShowsItsVersion) {
    auto run = sorvex::test::Run({sorvex::test::BinPath("sorvex-regsvr").string(), TALVEXSO_PATH});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_TRUE(KeyExists("Orvanta.Opos.Scanner"));
    auto version =
        sorvex::test::Run({sorvex::test::BinPath("sorvex-regsvr").string(), "/v", TALVEXSO_PATH});
    EXPECT_EQ(version.exitCode, 0) << version.err;
    for (const char* expected : {"1.0.1.25", "TalvexSO Module", "1, 0, 1, 25", "TalvexSO.DLL",
                                 "OLESelfRegister", "0x0409"}) {
        EXPECT_NE(version.out.find(expected), std::string::npos) << expected << "\n" << version.out;
    }
}

}  // namespace
}  // namespace talvex
