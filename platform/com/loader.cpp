#include "platform/com/loader.h"

#include <dlfcn.h>

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "platform/com/apartment.h"
#include "platform/com/error_detail.h"
#include "platform/com/server.h"
#include "platform/com/typelib_format.h"
#include "platform/registry/registry.h"

namespace sorvex::com {

namespace reg = sorvex::registry;

namespace {

constexpr reg::Hive kCR = reg::Hive::ClassesRoot;

struct Library {
    void* handle = nullptr;
    DllGetClassObjectFunc getClassObject = nullptr;
    DllCanUnloadNowFunc canUnloadNow = nullptr;  // optional
    int pins = 0;                                // creations in progress
    std::uint64_t generation = 0;  // counts creations, so a free sees one that happened meanwhile
    // When DllCanUnloadNow first answered S_OK with no creation since (generation idleAt).
    std::optional<std::chrono::steady_clock::time_point> idleSince;
    std::uint64_t idleAt = 0;
};

std::mutex g_Lock;                           // guards g_Libraries
std::map<std::string, Library> g_Libraries;  // by registered path; nodes never move
std::mutex g_FreeLock;                       // one unloading pass at a time
thread_local bool t_Freeing = false;

std::string Where(std::string_view path) {
    return "HKEY_CLASSES_ROOT\\" + std::string(path);
}

HRESULT ReadFailure(reg::Status status, std::string_view path) {
    std::string detail = reg::LastErrorDetail();
    SetLastErrorDetail(Where(path) + ": " +
                       (detail.empty() ? std::string(reg::StatusText(status)) : detail));
    return REGDB_E_READREGDB;
}

// Default value of a HKCR key as text. NotFound for a missing key or value.
reg::Status ReadDefault(const std::string& path, std::string& out) {
    reg::Key key;
    reg::Status st = reg::Key::Open(kCR, path, reg::kRead, key);
    if (st != reg::Status::Ok) {
        return st;
    }
    reg::Value value;
    st = key.Get("", value);
    if (st != reg::Status::Ok) {
        return st;
    }
    if (value.type != reg::Type::String) {
        return reg::Status::NotFound;
    }
    out = std::move(value.data);
    return reg::Status::Ok;
}

HRESULT ServerPath(const CLSID& clsid, std::uint32_t context, std::string& path) {
    const std::string classKey = "CLSID\\" + ToString(clsid);
    if ((context & CLSCTX_INPROC_SERVER) == 0) {
        SetLastErrorDetail(Where(classKey) + ": only in-process servers can be created");
        return REGDB_E_CLASSNOTREG;
    }
    reg::Key key;
    reg::Status st = reg::Key::Open(kCR, classKey, reg::kRead, key);
    if (st == reg::Status::NotFound) {
        SetLastErrorDetail(Where(classKey) + ": the class is not registered");
        return REGDB_E_CLASSNOTREG;
    }
    if (st != reg::Status::Ok) {
        return ReadFailure(st, classKey);
    }
    const std::string serverKey = classKey + "\\InprocServer32";
    st = ReadDefault(serverKey, path);
    if (st == reg::Status::NotFound || (st == reg::Status::Ok && path.empty())) {
        SetLastErrorDetail(Where(serverKey) + ": no in-process server is registered");
        return REGDB_E_CLASSNOTREG;
    }
    if (st != reg::Status::Ok) {
        return ReadFailure(st, serverKey);
    }
    if (!std::filesystem::path(path).is_absolute()) {
        SetLastErrorDetail(Where(serverKey) + ": \"" + path + "\" is not an absolute path");
        return CO_E_DLLNOTFOUND;
    }
    return S_OK;
}

// Loads (or finds) the library and pins it; Unpin when done.
HRESULT Acquire(const std::string& path, Library*& out) {
    {
        std::lock_guard<std::mutex> guard(g_Lock);
        auto it = g_Libraries.find(path);
        if (it != g_Libraries.end()) {
            ++it->second.pins;
            ++it->second.generation;
            out = &it->second;
            return S_OK;
        }
    }
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec)) {
        SetLastErrorDetail(path + ": no such library");
        return CO_E_DLLNOTFOUND;
    }
    // Outside the lock: the library's constructors may create objects themselves.
    void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char* why = ::dlerror();
        SetLastErrorDetail(why != nullptr ? std::string(why) : path + ": cannot be loaded");
        return CO_E_ERRORINDLL;
    }
    Library loaded;
    loaded.handle = handle;
    loaded.getClassObject =
        reinterpret_cast<DllGetClassObjectFunc>(::dlsym(handle, "DllGetClassObject"));
    loaded.canUnloadNow = reinterpret_cast<DllCanUnloadNowFunc>(::dlsym(handle, "DllCanUnloadNow"));
    if (loaded.getClassObject == nullptr) {
        ::dlclose(handle);
        SetLastErrorDetail(path + ": does not export DllGetClassObject");
        return CO_E_ERRORINDLL;
    }
    void* extra = nullptr;
    {
        std::lock_guard<std::mutex> guard(g_Lock);
        auto [it, inserted] = g_Libraries.emplace(path, loaded);
        if (!inserted) {
            extra = handle;  // another thread loaded it meanwhile; drop our reference
        }
        ++it->second.pins;
        ++it->second.generation;
        out = &it->second;
    }
    if (extra != nullptr) {
        ::dlclose(extra);
    }
    return S_OK;
}

void Unpin(Library* lib) {
    std::lock_guard<std::mutex> guard(g_Lock);
    --lib->pins;
}

// Resolves, loads and pins the server of a class; the caller unpins.
HRESULT Begin(const CLSID& clsid, std::uint32_t context, void** object, Library*& lib) {
    ClearLastErrorDetail();
    if (object == nullptr) {
        return E_INVALIDARG;
    }
    *object = nullptr;
    if (!IsApartmentThread()) {
        SetLastErrorDetail("CoInitialize has not been called on this thread");
        return CO_E_NOTINITIALIZED;
    }
    std::string path;
    if (HRESULT hr = ServerPath(clsid, context, path); Failed(hr)) {
        return hr;
    }
    return Acquire(path, lib);
}

void DetailFromServer(HRESULT hr, const CLSID& clsid, const char* step) {
    if (Failed(hr) && LastErrorDetail().empty()) {
        SetLastErrorDetail(ToString(clsid) + ": " + step + " failed");
    }
}

}  // namespace

HRESULT CLSIDFromProgID(std::string_view progId, CLSID* clsid) {
    ClearLastErrorDetail();
    if (clsid == nullptr) {
        return E_INVALIDARG;
    }
    *clsid = CLSID{};
    const std::string original(progId);
    if (progId.empty() || progId.find('\\') != std::string_view::npos) {
        SetLastErrorDetail("\"" + original + "\" is not a ProgID");
        return CO_E_CLASSSTRING;
    }
    std::string current = original;
    for (int step = 0; step < 8; ++step) {
        std::string next;
        reg::Status st = ReadDefault(current + "\\CurVer", next);
        if (st != reg::Status::Ok && st != reg::Status::NotFound) {
            return ReadFailure(st, current + "\\CurVer");
        }
        reg::Key probe;
        if (st != reg::Status::Ok || next.empty() || NameEquals(next, current) ||
            reg::Key::Open(kCR, next + "\\CLSID", reg::kRead, probe) != reg::Status::Ok) {
            break;
        }
        current = next;
    }
    std::string text;
    reg::Status st = ReadDefault(current + "\\CLSID", text);
    if (st == reg::Status::NotFound) {
        SetLastErrorDetail(Where(current) + ": no such ProgID");
        return CO_E_CLASSSTRING;
    }
    if (st != reg::Status::Ok) {
        return ReadFailure(st, current + "\\CLSID");
    }
    std::optional<GUID> parsed = ParseGuid(text);
    if (!parsed) {
        SetLastErrorDetail(Where(current + "\\CLSID") + ": \"" + text + "\" is not a CLSID");
        return CO_E_CLASSSTRING;
    }
    *clsid = *parsed;
    return S_OK;
}

HRESULT CoGetClassObject(const CLSID& clsid, std::uint32_t context, const IID& iid, void** object) {
    Library* lib = nullptr;
    HRESULT hr = Begin(clsid, context, object, lib);
    if (Failed(hr)) {
        return hr;
    }
    hr = lib->getClassObject(clsid, iid, object);
    DetailFromServer(hr, clsid, "DllGetClassObject");
    Unpin(lib);
    return hr;
}

HRESULT CoCreateInstance(const CLSID& clsid, IUnknown* outer, std::uint32_t context, const IID& iid,
                         void** object) {
    Library* lib = nullptr;
    HRESULT hr = Begin(clsid, context, object, lib);
    if (Failed(hr)) {
        return hr;
    }
    ComPtr<IClassFactory> factory;
    hr = lib->getClassObject(clsid, IID_IClassFactory, factory.outVoid());
    DetailFromServer(hr, clsid, "DllGetClassObject");
    if (Succeeded(hr)) {
        hr = factory->CreateInstance(outer, iid, object);
        DetailFromServer(hr, clsid, "IClassFactory::CreateInstance");
    }
    factory.Reset();
    Unpin(lib);
    return hr;
}

HRESULT CreateInstanceByProgID(std::string_view progId, const IID& iid, void** object) {
    if (object != nullptr) {
        *object = nullptr;
    }
    CLSID clsid;
    if (HRESULT hr = CLSIDFromProgID(progId, &clsid); Failed(hr)) {
        return hr;
    }
    return CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, iid, object);
}

void CoFreeUnusedLibraries() {
    CoFreeUnusedLibrariesEx(std::chrono::milliseconds(0));
}

void CoFreeUnusedLibrariesEx(std::chrono::milliseconds delay) {
    if (t_Freeing) {
        return;
    }
    std::lock_guard<std::mutex> freeing(g_FreeLock);
    struct Reentry {
        Reentry() { t_Freeing = true; }
        ~Reentry() { t_Freeing = false; }
    } reentry;
    struct Candidate {
        std::string path;
        void* handle;
        DllCanUnloadNowFunc canUnloadNow;
        std::uint64_t generation;
    };
    std::vector<Candidate> candidates;
    {
        std::lock_guard<std::mutex> guard(g_Lock);
        for (const auto& [path, lib] : g_Libraries) {
            if (lib.canUnloadNow != nullptr && lib.pins == 0) {
                candidates.push_back({path, lib.handle, lib.canUnloadNow, lib.generation});
            }
        }
    }
    // Only this pass unloads, so every candidate stays loaded while it is asked.
    for (const Candidate& c : candidates) {
        const bool idle = c.canUnloadNow() == S_OK;
        const auto now = std::chrono::steady_clock::now();
        bool unload = false;
        {
            std::lock_guard<std::mutex> guard(g_Lock);
            auto it = g_Libraries.find(c.path);
            if (it == g_Libraries.end() || it->second.handle != c.handle) {
                continue;
            }
            Library& lib = it->second;
            if (!idle || lib.pins != 0 || lib.generation != c.generation) {
                lib.idleSince.reset();
                continue;
            }
            if (delay.count() > 0 && (!lib.idleSince || lib.idleAt != lib.generation)) {
                lib.idleSince = now;
                lib.idleAt = lib.generation;
                continue;
            }
            if (delay.count() > 0 && now - *lib.idleSince < delay) {
                continue;
            }
            g_Libraries.erase(it);
            unload = true;
        }
        if (unload) {
            ::dlclose(c.handle);
        }
    }
}

bool IsLibraryLoaded(const std::filesystem::path& path) {
    std::lock_guard<std::mutex> guard(g_Lock);
    return g_Libraries.count(path.string()) != 0;
}

}  // namespace sorvex::com
