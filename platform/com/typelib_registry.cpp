#include "platform/com/typelib_registry.h"

#include <dlfcn.h>

#include <algorithm>
#include <cstdio>
#include <optional>
#include <vector>

#include "platform/com/error_detail.h"
#include "platform/registry/registry.h"

namespace sorvex::com {

namespace reg = sorvex::registry;

namespace {

constexpr reg::Hive kCR = reg::Hive::ClassesRoot;

std::string Hex(std::uint32_t v) {
    char text[16];
    std::snprintf(text, sizeof text, "%x", v);
    return text;
}

std::string VersionName(std::uint16_t major, std::uint16_t minor) {
    return Hex(major) + "." + Hex(minor);
}

std::optional<std::uint32_t> ParseHex(std::string_view s, std::size_t maxDigits) {
    if (s.empty() || s.size() > maxDigits) {
        return std::nullopt;
    }
    std::uint32_t v = 0;
    for (char c : s) {
        int d;
        if (c >= '0' && c <= '9') {
            d = c - '0';
        } else if (c >= 'a' && c <= 'f') {
            d = c - 'a' + 10;
        } else if (c >= 'A' && c <= 'F') {
            d = c - 'A' + 10;
        } else {
            return std::nullopt;
        }
        v = v * 16 + static_cast<std::uint32_t>(d);
    }
    return v;
}

std::string Where(std::string_view path) {
    return "HKEY_CLASSES_ROOT\\" + std::string(path);
}

HRESULT RegistryFailure(reg::Status status, std::string_view path) {
    std::string detail = reg::LastErrorDetail();
    SetLastErrorDetail(Where(path) + ": " +
                       (detail.empty() ? std::string(reg::StatusText(status)) : detail));
    return status == reg::Status::AccessDenied ? E_ACCESSDENIED : TYPE_E_REGISTRYACCESS;
}

// The default value of a key as text; NotFound when the key or value is absent.
reg::Status ReadDefault(std::string_view path, std::string& out) {
    reg::Key key;
    reg::Status st = reg::Key::Open(kCR, path, reg::kRead, key);
    if (st != reg::Status::Ok) {
        return st;
    }
    reg::Value value;
    st = key.Get("", value);
    if (st == reg::Status::Ok && value.type != reg::Type::String) {
        return reg::Status::NotFound;
    }
    out = std::move(value.data);
    return st;
}

reg::Status Subkeys(std::string_view path, std::vector<std::string>& names) {
    reg::Key key;
    reg::Status st = reg::Key::Open(kCR, path, reg::kRead, key);
    if (st != reg::Status::Ok) {
        return st;
    }
    return key.Subkeys(names);
}

LCID EffectiveLcid(LCID lcid) {
    return (lcid == LOCALE_USER_DEFAULT || lcid == LOCALE_SYSTEM_DEFAULT) ? 1033 : lcid;
}

}  // namespace

std::string TypeLibVersionKey(const GUID& libid, std::uint16_t major, std::uint16_t minor) {
    return "TypeLib\\" + ToString(libid) + "\\" + VersionName(major, minor);
}

HRESULT RegisterTypeLib(ITypeLib* lib, const std::filesystem::path& fullPath,
                        const std::filesystem::path& helpDir) {
    ClearLastErrorDetail();
    if (lib == nullptr) {
        return E_INVALIDARG;
    }
    if (!fullPath.is_absolute()) {
        SetLastErrorDetail("\"" + fullPath.string() + "\" is not an absolute path");
        return E_INVALIDARG;
    }
    const TypeLibDesc& d = lib->Describe();
    const std::string libid = ToString(d.libid);
    const std::string version = VersionName(d.major, d.minor);
    const std::string base = TypeLibVersionKey(d.libid, d.major, d.minor);
    const std::string platformKey =
        base + "\\" + Hex(d.lcid) + "\\" + std::string(PlatformSubkey(d.syskind));

    reg::Batch batch;
    auto set = [&batch](const std::string& path, const char* name, std::string text) {
        batch.SetValue(kCR, path, name, reg::Type::String, std::move(text));
    };
    set(base, "", d.help.empty() ? d.name : d.help);
    set(platformKey, "", fullPath.string());
    set(base + "\\FLAGS", "", std::to_string(d.flags));
    set(base + "\\HELPDIR", "", helpDir.string());
    const std::string proxy = ToString(CLSID_PSOAInterface);
    for (const TypeDesc& t : d.types) {
        if (t.kind != TypeKind::Interface ||
            (t.flags & (TYPEFLAG_FDUAL | TYPEFLAG_FOLEAUTOMATION)) == 0) {
            continue;
        }
        const std::string key = "Interface\\" + ToString(t.guid);
        set(key, "", t.name);
        set(key + "\\ProxyStubClsid", "", proxy);
        set(key + "\\ProxyStubClsid32", "", proxy);
        set(key + "\\TypeLib", "", libid);
        set(key + "\\TypeLib", "Version", version);
    }
    const reg::Status st = batch.Commit();
    if (st != reg::Status::Ok) {
        return RegistryFailure(st, base);
    }
    return S_OK;
}

HRESULT UnRegisterTypeLib(const GUID& libid, std::uint16_t major, std::uint16_t minor, LCID lcid,
                          SysKind syskind) {
    ClearLastErrorDetail();
    const std::string libKey = "TypeLib\\" + ToString(libid);
    const std::string versionName = VersionName(major, minor);
    const std::string versionKey = libKey + "\\" + versionName;
    const std::string lcidName = Hex(lcid);
    const std::string lcidKey = versionKey + "\\" + lcidName;
    const std::string platformName(PlatformSubkey(syskind));
    const std::string platformKey = lcidKey + "\\" + platformName;

    reg::Key probe;
    reg::Status st = reg::Key::Open(kCR, platformKey, reg::kRead, probe);
    if (st == reg::Status::NotFound) {
        SetLastErrorDetail(Where(platformKey) + ": the type library is not registered");
        return TYPE_E_LIBNOTREGISTERED;
    }
    if (st != reg::Status::Ok) {
        return RegistryFailure(st, platformKey);
    }
    probe.Close();

    // What else stays registered decides how far up the removal goes.
    auto othersBelow = [](const std::string& path, std::initializer_list<std::string_view> mine,
                          bool& any) {
        std::vector<std::string> names;
        reg::Status s = Subkeys(path, names);
        any = false;
        for (const std::string& n : names) {
            bool ours = false;
            for (std::string_view m : mine) {
                ours = ours || NameEquals(n, m);
            }
            any = any || !ours;
        }
        return s == reg::Status::NotFound ? reg::Status::Ok : s;
    };

    reg::Batch batch;
    batch.DeleteTree(kCR, platformKey);
    bool otherPlatforms = false, otherLocales = false, otherVersions = false;
    bool versionGoes = false;
    if ((st = othersBelow(lcidKey, {platformName}, otherPlatforms)) != reg::Status::Ok) {
        return RegistryFailure(st, lcidKey);
    }
    if (!otherPlatforms) {
        batch.DeleteTree(kCR, lcidKey);
        if ((st = othersBelow(versionKey, {lcidName, "FLAGS", "HELPDIR"}, otherLocales)) !=
            reg::Status::Ok) {
            return RegistryFailure(st, versionKey);
        }
        if (!otherLocales) {
            versionGoes = true;
            batch.DeleteTree(kCR, versionKey);
            if ((st = othersBelow(libKey, {versionName}, otherVersions)) != reg::Status::Ok) {
                return RegistryFailure(st, libKey);
            }
            if (!otherVersions) {
                batch.DeleteTree(kCR, libKey);
            }
        }
    }
    if (versionGoes) {
        std::vector<std::string> interfaces;
        st = Subkeys("Interface", interfaces);
        if (st != reg::Status::Ok && st != reg::Status::NotFound) {
            return RegistryFailure(st, "Interface");
        }
        for (const std::string& name : interfaces) {
            const std::string key = "Interface\\" + name;
            reg::Key tl;
            if (reg::Key::Open(kCR, key + "\\TypeLib", reg::kRead, tl) != reg::Status::Ok) {
                continue;
            }
            reg::Value owner, version;
            if (tl.Get("", owner) != reg::Status::Ok ||
                tl.Get("Version", version) != reg::Status::Ok) {
                continue;
            }
            std::optional<GUID> ownerId = ParseGuid(owner.data);
            if (ownerId && *ownerId == libid && NameEquals(version.data, versionName)) {
                batch.DeleteTree(kCR, key);
            }
        }
    }
    st = batch.Commit();
    if (st != reg::Status::Ok) {
        return RegistryFailure(st, versionKey);
    }
    return S_OK;
}

HRESULT QueryPathOfRegTypeLib(const GUID& libid, std::uint16_t major, std::uint16_t minor,
                              LCID lcid, std::filesystem::path& path) {
    ClearLastErrorDetail();
    const std::string libKey = "TypeLib\\" + ToString(libid);
    auto notRegistered = [&](std::string why) {
        SetLastErrorDetail(Where(libKey) + ": " + why);
        return TYPE_E_LIBNOTREGISTERED;
    };
    std::vector<std::string> versions;
    reg::Status st = Subkeys(libKey, versions);
    if (st == reg::Status::NotFound) {
        return notRegistered("the type library is not registered");
    }
    if (st != reg::Status::Ok) {
        return RegistryFailure(st, libKey);
    }
    std::optional<std::uint16_t> bestMinor;
    std::string bestName;
    for (const std::string& name : versions) {
        const std::size_t dot = name.find('.');
        if (dot == std::string::npos) {
            continue;
        }
        auto maj = ParseHex(std::string_view(name).substr(0, dot), 4);
        auto min = ParseHex(std::string_view(name).substr(dot + 1), 4);
        if (maj && min && *maj == major && *min >= minor && (!bestMinor || *min > *bestMinor)) {
            bestMinor = static_cast<std::uint16_t>(*min);
            bestName = name;
        }
    }
    if (!bestMinor) {
        return notRegistered("version " + VersionName(major, minor) + " is not registered");
    }
    const std::string versionKey = libKey + "\\" + bestName;
    const LCID want = EffectiveLcid(lcid);
    std::vector<LCID> candidates{want, want & 0x3FFu, 0};
    std::vector<std::string> locales;
    if (Subkeys(versionKey, locales) == reg::Status::Ok) {
        std::vector<LCID> others;
        for (const std::string& name : locales) {
            if (auto v = ParseHex(name, 8)) {
                others.push_back(*v);
            }
        }
        std::sort(others.begin(), others.end());
        candidates.insert(candidates.end(), others.begin(), others.end());
    }
    const std::string platform(PlatformSubkey(SysKind::Linux64));
    for (LCID candidate : candidates) {
        std::string value;
        const std::string key = versionKey + "\\" + Hex(candidate) + "\\" + platform;
        st = ReadDefault(key, value);
        if (st == reg::Status::Ok && !value.empty()) {
            path = value;
            return S_OK;
        }
        if (st != reg::Status::Ok && st != reg::Status::NotFound) {
            return RegistryFailure(st, key);
        }
    }
    return notRegistered("no " + platform + " path is registered for version " + bestName);
}

HRESULT LoadRegTypeLib(const GUID& libid, std::uint16_t major, std::uint16_t minor, LCID lcid,
                       ITypeLib** lib) {
    if (lib == nullptr) {
        return E_POINTER;
    }
    *lib = nullptr;
    std::filesystem::path path;
    HRESULT hr = QueryPathOfRegTypeLib(libid, major, minor, lcid, path);
    if (Failed(hr)) {
        return hr;
    }
    ComPtr<ITypeLib> loaded;
    hr = LoadTypeLib(path, loaded.out());
    if (Failed(hr)) {
        return hr;
    }
    const TypeLibDesc& d = loaded->Describe();
    if (d.libid != libid || d.major != major) {
        SetLastErrorDetail(path.string() + ": holds type library " + ToString(d.libid) + " " +
                           VersionName(d.major, d.minor) + ", not the registered " +
                           ToString(libid) + " " + VersionName(major, minor));
        return TYPE_E_LIBNOTREGISTERED;
    }
    *lib = loaded.Detach();
    return S_OK;
}

UnRegisterTypeLibFunc FindUnRegisterTypeLib() {
    Dl_info info{};
    void* symbol = nullptr;
    if (::dladdr(reinterpret_cast<void*>(&SorvexUnRegisterTypeLib), &info) != 0 &&
        info.dli_fname != nullptr) {
        if (void* self = ::dlopen(info.dli_fname, RTLD_LAZY | RTLD_NOLOAD)) {
            symbol = ::dlsym(self, kUnRegisterTypeLibSymbol);
            ::dlclose(self);
        }
    }
    if (symbol == nullptr) {
        symbol = ::dlsym(RTLD_DEFAULT, kUnRegisterTypeLibSymbol);
    }
    return reinterpret_cast<UnRegisterTypeLibFunc>(symbol);
}

}  // namespace sorvex::com

extern "C" sorvex::com::HRESULT SorvexUnRegisterTypeLib(const sorvex::com::GUID* libid,
                                                        std::uint16_t major, std::uint16_t minor,
                                                        sorvex::com::LCID lcid,
                                                        std::uint16_t syskind) {
    if (libid == nullptr) {
        return sorvex::com::E_INVALIDARG;
    }
    return sorvex::com::UnRegisterTypeLib(*libid, major, minor, lcid,
                                          static_cast<sorvex::com::SysKind>(syskind));
}
