// A small in-process server for the object layer's tests: one creatable class, TestCalc, with
// the dual interface ITestCalc described by test_server.typelib. It is written the way a
// product server is: four exports, a class object, a module lock count, registration of its
// class keys and of the type library stored in the library itself.
#include <atomic>
#include <filesystem>
#include <string>

#include "platform/com/dispatch.h"
#include "platform/com/server.h"
#include "platform/com/typelib_registry.h"
#include "platform/registry/registry.h"
#include "test_server_typelib.h"

namespace com = sorvex::com;
namespace reg = sorvex::registry;

namespace {

std::atomic<long> g_LockCount{0};  // live objects + server locks

// Unbound has no entry on purpose: Invoke answers DISP_E_MEMBERNOTFOUND for it.
constexpr com::DispatchMember kCalcMembers[] = {
    SORVEX_METHOD(&ITestCalc::Add),      SORVEX_METHOD(&ITestCalc::Echo),
    SORVEX_METHOD(&ITestCalc::Exchange), SORVEX_METHOD(&ITestCalc::Scale),
    SORVEX_METHOD(&ITestCalc::Negate),   SORVEX_METHOD(&ITestCalc::Fail),
    SORVEX_METHOD(&ITestCalc::Store),    SORVEX_METHOD(&ITestCalc::Fetch),
    SORVEX_METHOD(&ITestCalc::IsSelf),
};

constinit com::TypeInfoHolder g_CalcTypeInfo(LIBID_SorvexTestLib, SorvexTestLib_MajorVersion,
                                             SorvexTestLib_MinorVersion, IID_ITestCalc,
                                             kCalcMembers);

class CTestCalc final : public com::RefCounted<com::DualDispatch<ITestCalc, g_CalcTypeInfo>> {
  public:
    CTestCalc() { g_LockCount.fetch_add(1); }

    com::HRESULT QueryInterface(const com::IID& iid, void** object) override {
        return com::QueryInterfaceFor(static_cast<ITestCalc*>(this), iid, object,
                                      {com::IID_IUnknown, com::IID_IDispatch, IID_ITestCalc});
    }

    com::HRESULT Add(std::int32_t a, std::int32_t b, std::int32_t* sum) override {
        *sum = static_cast<std::int32_t>(static_cast<std::uint32_t>(a) +
                                         static_cast<std::uint32_t>(b));
        return com::S_OK;
    }
    com::HRESULT Echo(com::BSTR text, com::BSTR* copy) override {
        *copy = com::AllocBstr(com::BstrView(text));
        return com::S_OK;
    }
    // Doubles the number and brackets the text; answers the old number.
    com::HRESULT Exchange(std::int32_t* number, com::BSTR* text, std::int32_t* rc) override {
        *rc = *number;
        *number *= 2;
        com::SysReAllocString(text, "<" + std::string(com::BstrView(*text)) + ">");
        return com::S_OK;
    }
    com::HRESULT Scale(com::CY amount, std::int32_t factor, com::CY* result) override {
        result->int64 = amount.int64 * factor;
        return com::S_OK;
    }
    com::HRESULT Negate(com::VARIANT_BOOL flag, com::VARIANT_BOOL* result) override {
        *result = flag == com::VARIANT_FALSE ? com::VARIANT_TRUE : com::VARIANT_FALSE;
        return com::S_OK;
    }
    com::HRESULT Fail(std::int32_t code) override { return static_cast<com::HRESULT>(code); }
    com::HRESULT Store(std::int32_t value) override {
        m_Stored = value;
        return com::S_OK;
    }
    com::HRESULT Fetch(std::int32_t* value) override {
        *value = m_Stored;
        return com::S_OK;
    }
    com::HRESULT IsSelf(com::IDispatch* other, com::VARIANT_BOOL* same) override {
        *same =
            other == static_cast<com::IDispatch*>(this) ? com::VARIANT_TRUE : com::VARIANT_FALSE;
        return com::S_OK;
    }
    com::HRESULT Unbound() override { return com::S_OK; }

  private:
    ~CTestCalc() override { g_LockCount.fetch_sub(1); }

    std::int32_t m_Stored = 0;
};

class CTestCalcFactory final : public com::IClassFactory {
  public:
    com::HRESULT QueryInterface(const com::IID& iid, void** object) override {
        return com::QueryInterfaceFor(static_cast<com::IClassFactory*>(this), iid, object,
                                      {com::IID_IUnknown, com::IID_IClassFactory});
    }
    // The class object lives as long as the library.
    std::uint32_t AddRef() override { return 2; }
    std::uint32_t Release() override { return 1; }

    com::HRESULT CreateInstance(com::IUnknown* outer, const com::IID& iid, void** object) override {
        if (object == nullptr) {
            return com::E_POINTER;
        }
        *object = nullptr;
        if (outer != nullptr) {
            return com::CLASS_E_NOAGGREGATION;
        }
        auto* calc = new CTestCalc();
        calc->AddRef();
        const com::HRESULT hr = calc->QueryInterface(iid, object);
        calc->Release();
        return hr;
    }
    com::HRESULT LockServer(std::int32_t lock) override {
        g_LockCount.fetch_add(lock != 0 ? 1 : -1);
        return com::S_OK;
    }
};

CTestCalcFactory g_Factory;

constexpr char kProgId[] = "SorvexTest.Calc.1";
constexpr char kVersionIndependentProgId[] = "SorvexTest.Calc";
constexpr char kClassName[] = "Sorvex Test Calc Class";

std::filesystem::path OwnPath() {
    return com::ModulePath(reinterpret_cast<const void*>(&DllRegisterServer));
}

}  // namespace

com::HRESULT DllGetClassObject(const com::CLSID& clsid, const com::IID& iid, void** object) {
    if (object == nullptr) {
        return com::E_POINTER;
    }
    *object = nullptr;
    if (clsid != CLSID_TestCalc) {
        return com::CLASS_E_CLASSNOTAVAILABLE;
    }
    return g_Factory.QueryInterface(iid, object);
}

com::HRESULT DllCanUnloadNow() {
    return g_LockCount.load() == 0 ? com::S_OK : com::S_FALSE;
}

com::HRESULT DllRegisterServer() {
    const std::filesystem::path path = OwnPath();
    const std::string clsid = com::ToString(CLSID_TestCalc);
    const std::string classKey = "CLSID\\" + clsid;
    const auto cr = reg::Hive::ClassesRoot;
    reg::DeleteTree(cr, classKey);
    reg::Batch batch;
    auto set = [&](const std::string& key, const char* name, const std::string& value) {
        batch.SetValue(cr, key, name, reg::Type::String, value);
    };
    set(kProgId, "", kClassName);
    set(std::string(kProgId) + "\\CLSID", "", clsid);
    set(kVersionIndependentProgId, "", kClassName);
    set(std::string(kVersionIndependentProgId) + "\\CLSID", "", clsid);
    set(std::string(kVersionIndependentProgId) + "\\CurVer", "", kProgId);
    set(classKey, "", kClassName);
    set(classKey + "\\ProgID", "", kProgId);
    set(classKey + "\\VersionIndependentProgID", "", kVersionIndependentProgId);
    batch.CreateKey(cr, classKey + "\\Programmable");
    set(classKey + "\\InprocServer32", "", path.string());
    set(classKey + "\\InprocServer32", "ThreadingModel", "Apartment");
    set(classKey + "\\TypeLib", "", com::ToString(LIBID_SorvexTestLib));
    if (batch.Commit() != reg::Status::Ok) {
        return com::E_ACCESSDENIED;
    }
    com::ComPtr<com::ITypeLib> lib;
    com::HRESULT hr = com::LoadTypeLib(path, lib.out());
    if (com::Failed(hr)) {
        return hr;
    }
    return com::RegisterTypeLib(lib.get(), path, path.parent_path());
}

com::HRESULT DllUnregisterServer() {
    const auto cr = reg::Hive::ClassesRoot;
    reg::DeleteTree(cr, kProgId);
    reg::DeleteTree(cr, kVersionIndependentProgId);
    reg::DeleteTree(cr, "CLSID\\" + com::ToString(CLSID_TestCalc));
    com::ComPtr<com::ITypeLib> lib;
    if (com::Succeeded(com::LoadTypeLib(OwnPath(), lib.out()))) {
        if (com::UnRegisterTypeLibFunc unregister = com::FindUnRegisterTypeLib()) {
            const com::TypeLibDesc& d = lib->Describe();
            unregister(&d.libid, d.major, d.minor, d.lcid, static_cast<std::uint16_t>(d.syskind));
        }
    }
    return com::S_OK;
}
