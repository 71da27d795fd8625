// The in-process server libTalvexSO.so: its four entry points, the class table (scanner first,
// then scale), the class objects and the module lock count, and the registry entries of both
// classes.
#include <atomic>
#include <mutex>
#include <new>
#include <string>

#include "platform/com/server.h"
#include "platform/com/typeinfo.h"
#include "platform/com/typelib_registry.h"
#include "platform/registry/registry.h"
#include "service/server/objects.h"

namespace talvex::server {

namespace com = sorvex::com;
namespace reg = sorvex::registry;

namespace {

// One creatable class of the module.
struct ClassEntry {
    const com::CLSID* clsid;
    const char* progId;                    // "Orvanta.Opos.Scanner.1"
    const char* versionIndependentProgId;  // "Orvanta.Opos.Scanner"
    const char* description;               // "Orvanta OPOS Scanner Class"
    com::HRESULT (*create)(const com::IID& iid, void** object);
    com::IClassFactory* classObject;  // created at the first request, kept until unload
};

// The class object of one entry: not reference counted into the module lock (only device
// objects and server locks are), released at unload.
class ClassFactory final : public com::RefCounted<com::IClassFactory> {
  public:
    explicit ClassFactory(const ClassEntry& entry) : RefCounted(1), m_Entry(entry) {}

    com::HRESULT QueryInterface(const com::IID& iid, void** object) override {
        return com::QueryInterfaceFor(static_cast<com::IClassFactory*>(this), iid, object,
                                      {com::IID_IUnknown, com::IID_IClassFactory});
    }
    com::HRESULT CreateInstance(com::IUnknown* outer, const com::IID& iid, void** object) override {
        if (object == nullptr) {
            return com::E_POINTER;
        }
        *object = nullptr;
        if (outer != nullptr) {
            return com::CLASS_E_NOAGGREGATION;
        }
        return m_Entry.create(iid, object);
    }
    com::HRESULT LockServer(std::int32_t lock) override {
        if (lock != 0) {
            ModuleLock();
        } else {
            ModuleUnlock();
        }
        return com::S_OK;
    }

  private:
    const ClassEntry& m_Entry;
};

ClassEntry g_Classes[] = {
    {&CLSID_TalvexScanner, "Orvanta.Opos.Scanner.1", "Orvanta.Opos.Scanner",
     "Orvanta OPOS Scanner Class", &CreateScannerObject, nullptr},
    {&CLSID_TalvexScale, "Orvanta.OPOS.Scale.1", "Orvanta.OPOS.Scale", "Orvanta OPOS Scale Class",
     &CreateScaleObject, nullptr},
};

std::mutex g_ModuleLock;  // guards the creation of the class objects

// Releases the class objects at unload.
struct ClassObjectsRelease {
    ~ClassObjectsRelease() {
        for (ClassEntry& entry : g_Classes) {
            if (entry.classObject != nullptr) {
                entry.classObject->Release();
                entry.classObject = nullptr;
            }
        }
    }
} g_ClassObjectsRelease;

std::filesystem::path ThisModule() {
    return com::ModulePath(reinterpret_cast<const void*>(&DllRegisterServer));
}

com::HRESULT ToHresult(reg::Status s) {
    return s == reg::Status::Ok ? com::S_OK : com::HresultFromWin32(static_cast<std::uint32_t>(s));
}

// Writes the entries of one class, in the order of the class table.
com::HRESULT RegisterClass(const ClassEntry& entry, const std::string& modulePath) {
    const std::string clsid = com::ToString(*entry.clsid);
    const std::string classKey = "CLSID\\" + clsid;
    const std::string progId = entry.progId;
    const std::string independent = entry.versionIndependentProgId;
    const std::string libid = com::ToString(LIBID_TALVEXSOLib);

    // The class key and its "Programmable" subkey are written afresh; "CLSID" itself stays.
    for (const std::string& stale : {classKey + "\\Programmable", classKey}) {
        reg::Status s = reg::DeleteTree(reg::Hive::ClassesRoot, stale);
        if (s != reg::Status::Ok && s != reg::Status::NotFound) {
            return ToHresult(s);
        }
    }
    struct Entry {
        std::string key;
        std::string name;
        std::string value;
    };
    const Entry entries[] = {
        {progId, "", entry.description},
        {progId + "\\CLSID", "", clsid},
        {independent, "", entry.description},
        {independent + "\\CLSID", "", clsid},
        {independent + "\\CurVer", "", progId},
        {classKey, "", entry.description},
        {classKey + "\\ProgID", "", progId},
        {classKey + "\\VersionIndependentProgID", "", independent},
        {classKey + "\\InprocServer32", "", modulePath},
        {classKey + "\\InprocServer32", "ThreadingModel", "Apartment"},
        {classKey + "\\TypeLib", "", libid},
    };
    for (const Entry& e : entries) {
        reg::Key key;
        reg::Status s = reg::Key::Create(reg::Hive::ClassesRoot, e.key, key);
        if (s == reg::Status::Ok) {
            s = key.SetString(e.name, e.value);
        }
        if (s != reg::Status::Ok) {
            return ToHresult(s);
        }
    }
    // "Programmable": a key without values.
    reg::Key programmable;
    return ToHresult(
        reg::Key::Create(reg::Hive::ClassesRoot, classKey + "\\Programmable", programmable));
}

void UnregisterClass(const ClassEntry& entry) {
    reg::DeleteTree(reg::Hive::ClassesRoot, entry.progId);
    reg::DeleteTree(reg::Hive::ClassesRoot, entry.versionIndependentProgId);
    reg::DeleteTree(reg::Hive::ClassesRoot, "CLSID\\" + com::ToString(*entry.clsid));
}

}  // namespace

std::atomic<long> g_LockCount{0};

void ModuleLock() {
    g_LockCount.fetch_add(1);
}
void ModuleUnlock() {
    g_LockCount.fetch_sub(1);
}

}  // namespace talvex::server

using namespace talvex::server;
namespace com = sorvex::com;

com::HRESULT DllGetClassObject(const com::CLSID& clsid, const com::IID& iid, void** object) {
    if (object == nullptr) {
        return com::E_POINTER;
    }
    *object = nullptr;
    for (ClassEntry& entry : g_Classes) {
        if (*entry.clsid != clsid) {
            continue;
        }
        {
            std::lock_guard<std::mutex> lock(g_ModuleLock);
            if (entry.classObject == nullptr) {
                entry.classObject = new (std::nothrow) ClassFactory(entry);
                if (entry.classObject == nullptr) {
                    return com::E_OUTOFMEMORY;
                }
            }
        }
        return entry.classObject->QueryInterface(iid, object);
    }
    return com::CLASS_E_CLASSNOTAVAILABLE;
}

com::HRESULT DllCanUnloadNow() {
    return g_LockCount.load() == 0 ? com::S_OK : com::S_FALSE;
}

com::HRESULT DllRegisterServer() {
    const std::filesystem::path path = ThisModule();
    for (const ClassEntry& entry : g_Classes) {
        com::HRESULT hr = RegisterClass(entry, path.string());
        if (com::Failed(hr)) {
            return hr;
        }
    }
    com::ComPtr<com::ITypeLib> lib;
    com::HRESULT hr = com::LoadTypeLib(path, lib.out());
    if (com::Succeeded(hr)) {
        hr = com::RegisterTypeLib(lib.get(), path, path.parent_path());
    }
    return hr;
}

com::HRESULT DllUnregisterServer() {
    for (const ClassEntry& entry : g_Classes) {
        UnregisterClass(entry);
    }
    com::ComPtr<com::ITypeLib> lib;
    if (com::Succeeded(com::LoadTypeLib(ThisModule(), lib.out()))) {
        if (com::UnRegisterTypeLibFunc unregister = com::FindUnRegisterTypeLib()) {
            const com::TypeLibDesc& d = lib->Describe();
            unregister(&d.libid, d.major, d.minor, d.lcid, static_cast<std::uint16_t>(d.syskind));
        }
    }
    return com::S_OK;
}
