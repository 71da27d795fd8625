#include "platform/com/typelib_format.h"

#include <cstring>
#include <stdexcept>
#include <unordered_set>

namespace sorvex::com {

namespace {

constexpr char kMagic[4] = {'S', 'V', 'T', 'L'};
constexpr std::size_t kMaxName = 255;

char Fold(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string Folded(std::string_view s) {
    std::string out(s);
    for (char& c : out) {
        c = Fold(c);
    }
    return out;
}

bool IsIdentifier(std::string_view s) {
    if (s.empty() || s.size() > kMaxName) {
        return false;
    }
    for (std::size_t i = 0; i < s.size(); ++i) {
        const char c = s[i];
        const bool alpha = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
        const bool digit = c >= '0' && c <= '9';
        if (!(alpha || (digit && i > 0))) {
            return false;
        }
    }
    return true;
}

bool IsSupportedType(VARTYPE vt) {
    switch (vt) {
        case VT_I4:
        case VT_BSTR:
        case VT_DISPATCH:
        case VT_BOOL:
        case VT_CY:
        case VT_BYREF | VT_I4:
        case VT_BYREF | VT_BSTR:
        case VT_BYREF | VT_BOOL:
        case VT_BYREF | VT_CY:
            return true;
        default:
            return false;
    }
}

std::string ValidateFunc(const TypeDesc& type, const FuncDesc& f) {
    const std::string where = type.name + "." + f.name;
    if (!IsIdentifier(f.name)) {
        return type.name + ": method name \"" + f.name + "\" is not an identifier";
    }
    std::unordered_set<std::string> names;
    for (std::size_t i = 0; i < f.params.size(); ++i) {
        const ParamDesc& p = f.params[i];
        const std::string at = where + ": parameter " + p.name;
        if (!IsIdentifier(p.name)) {
            return where + ": parameter name \"" + p.name + "\" is not an identifier";
        }
        if (!names.insert(Folded(p.name)).second) {
            return at + ": the name is used twice";
        }
        if (!IsSupportedType(p.type)) {
            return at + ": unsupported type " + std::to_string(p.type);
        }
        if ((p.flags & ~(PARAMFLAG_FIN | PARAMFLAG_FOUT | PARAMFLAG_FRETVAL)) != 0 ||
            (p.flags & (PARAMFLAG_FIN | PARAMFLAG_FOUT)) == 0) {
            return at + ": direction must be in, out or both";
        }
        const bool byRef = (p.type & VT_BYREF) != 0;
        if (!byRef && p.flags != PARAMFLAG_FIN) {
            return at + ": a parameter passed by value can only be [in]";
        }
        if (byRef && (p.flags & PARAMFLAG_FOUT) == 0) {
            return at + ": a pointer parameter must be [out] or [in, out]";
        }
        if ((p.flags & PARAMFLAG_FRETVAL) != 0) {
            if (p.flags != (PARAMFLAG_FOUT | PARAMFLAG_FRETVAL)) {
                return at + ": retval must be [out, retval]";
            }
            if (i + 1 != f.params.size()) {
                return at + ": retval must be the last parameter";
            }
        }
    }
    return {};
}

std::string GuidKey(const GUID& g) {
    return ToString(g);
}

std::string ValidateType(const std::unordered_set<std::string>& interfaces, const TypeDesc& t) {
    if (t.kind == TypeKind::Interface) {
        if (!t.implTypes.empty()) {
            return t.name + ": an interface lists no implemented interfaces";
        }
        std::unordered_set<std::string> names;
        std::unordered_set<DISPID> ids;
        for (const FuncDesc& f : t.funcs) {
            if (std::string e = ValidateFunc(t, f); !e.empty()) {
                return e;
            }
            if (!names.insert(Folded(f.name)).second) {
                return t.name + "." + f.name + ": the method name is used twice";
            }
            if (!ids.insert(f.dispid).second) {
                return t.name + "." + f.name + ": DISPID " + std::to_string(f.dispid) +
                       " is used twice";
            }
        }
        return {};
    }
    if (!t.funcs.empty()) {
        return t.name + ": a coclass has no methods of its own";
    }
    if (t.implTypes.empty()) {
        return t.name + ": a coclass implements at least one interface";
    }
    int defaults = 0;
    for (const ImplTypeDesc& impl : t.implTypes) {
        if ((impl.flags & ~IMPLTYPEFLAG_FDEFAULT) != 0) {
            return t.name + ": unsupported interface flags";
        }
        defaults += (impl.flags & IMPLTYPEFLAG_FDEFAULT) != 0 ? 1 : 0;
        if (interfaces.count(GuidKey(impl.iid)) == 0) {
            return t.name + ": interface " + ToString(impl.iid) + " is not in the library";
        }
    }
    if (defaults > 1) {
        return t.name + ": more than one default interface";
    }
    return {};
}

// --- writing ---

class Writer {
  public:
    void U8(std::uint8_t v) { m_Out.push_back(static_cast<char>(v)); }
    void U16(std::uint16_t v) {
        U8(static_cast<std::uint8_t>(v));
        U8(static_cast<std::uint8_t>(v >> 8));
    }
    void U32(std::uint32_t v) {
        U16(static_cast<std::uint16_t>(v));
        U16(static_cast<std::uint16_t>(v >> 16));
    }
    void Count(std::size_t n) {
        if (n > 0xFFFF) {
            throw std::length_error("type library: more than 65535 items");
        }
        U16(static_cast<std::uint16_t>(n));
    }
    void Str(std::string_view s) {
        if (s.size() > 0xFFFF) {
            throw std::length_error("type library: a string is longer than 65535 bytes");
        }
        U16(static_cast<std::uint16_t>(s.size()));
        m_Out.append(s);
    }
    void Guid(const GUID& g) {
        U32(g.Data1);
        U16(g.Data2);
        U16(g.Data3);
        for (std::uint8_t b : g.Data4) {
            U8(b);
        }
    }
    std::string& Out() { return m_Out; }

  private:
    std::string m_Out;
};

// --- reading ---

class Reader {
  public:
    explicit Reader(std::string_view in) : m_In(in) {}
    bool U8(std::uint8_t& v) {
        if (m_In.size() - m_Pos < 1) {
            return false;
        }
        v = static_cast<std::uint8_t>(m_In[m_Pos++]);
        return true;
    }
    bool U16(std::uint16_t& v) {
        std::uint8_t a, b;
        if (!U8(a) || !U8(b)) {
            return false;
        }
        v = static_cast<std::uint16_t>(a | (b << 8));
        return true;
    }
    bool U32(std::uint32_t& v) {
        std::uint16_t a, b;
        if (!U16(a) || !U16(b)) {
            return false;
        }
        v = a | (std::uint32_t{b} << 16);
        return true;
    }
    bool Str(std::string& s) {
        std::uint16_t n;
        if (!U16(n) || m_In.size() - m_Pos < n) {
            return false;
        }
        s.assign(m_In.substr(m_Pos, n));
        m_Pos += n;
        return true;
    }
    bool Guid(GUID& g) {
        if (!U32(g.Data1) || !U16(g.Data2) || !U16(g.Data3)) {
            return false;
        }
        for (std::uint8_t& b : g.Data4) {
            if (!U8(b)) {
                return false;
            }
        }
        return true;
    }
    std::size_t Remaining() const { return m_In.size() - m_Pos; }

  private:
    std::string_view m_In;
    std::size_t m_Pos = 0;
};

HRESULT Malformed(std::string* error, std::string text) {
    if (error != nullptr) {
        *error = std::move(text);
    }
    return TYPE_E_INVDATAREAD;
}

bool ReadFunc(Reader& r, FuncDesc& f) {
    std::uint32_t dispid;
    std::uint8_t count;
    if (!r.Str(f.name) || !r.Str(f.help) || !r.U32(dispid) || !r.U8(count)) {
        return false;
    }
    f.dispid = static_cast<DISPID>(dispid);
    f.params.resize(count);
    for (ParamDesc& p : f.params) {
        if (!r.Str(p.name) || !r.U16(p.type) || !r.U16(p.flags)) {
            return false;
        }
    }
    return true;
}

}  // namespace

bool NameEquals(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (Fold(a[i]) != Fold(b[i])) {
            return false;
        }
    }
    return true;
}

std::string_view PlatformSubkey(SysKind kind) {
    switch (kind) {
        case SysKind::Win32:
            return "win32";
        case SysKind::Win64:
            return "win64";
        case SysKind::Linux64:
            break;
    }
    return "linux64";
}

std::string ValidateTypeLib(const TypeLibDesc& lib) {
    if (!IsIdentifier(lib.name)) {
        return "library name \"" + lib.name + "\" is not an identifier";
    }
    if (lib.syskind != SysKind::Win32 && lib.syskind != SysKind::Win64 &&
        lib.syskind != SysKind::Linux64) {
        return lib.name + ": unknown system kind";
    }
    std::unordered_set<std::string> names;
    std::unordered_set<std::string> guids;
    std::unordered_set<std::string> interfaces;
    for (const TypeDesc& t : lib.types) {
        if (t.kind == TypeKind::Interface) {
            interfaces.insert(GuidKey(t.guid));
        }
    }
    for (const TypeDesc& t : lib.types) {
        if (t.kind != TypeKind::Interface && t.kind != TypeKind::CoClass) {
            return lib.name + ": unknown kind of type";
        }
        if (!IsIdentifier(t.name)) {
            return lib.name + ": type name \"" + t.name + "\" is not an identifier";
        }
        if (!names.insert(Folded(t.name)).second) {
            return t.name + ": the type name is used twice";
        }
        if (!guids.insert(GuidKey(t.guid)).second) {
            return t.name + ": its GUID " + ToString(t.guid) + " is used twice";
        }
        if (std::string e = ValidateType(interfaces, t); !e.empty()) {
            return e;
        }
    }
    return {};
}

std::string SerializeTypeLib(const TypeLibDesc& lib) {
    Writer w;
    w.Out().append(kMagic, sizeof kMagic);
    w.U16(kTypeLibFormatVersion);
    w.U16(0);
    w.Guid(lib.libid);
    w.Str(lib.name);
    w.Str(lib.help);
    w.U16(lib.major);
    w.U16(lib.minor);
    w.U32(lib.lcid);
    w.U16(static_cast<std::uint16_t>(lib.syskind));
    w.U16(lib.flags);
    w.Count(lib.types.size());
    for (const TypeDesc& t : lib.types) {
        w.U8(static_cast<std::uint8_t>(t.kind));
        w.Guid(t.guid);
        w.Str(t.name);
        w.Str(t.help);
        w.U16(t.flags);
        if (t.kind == TypeKind::Interface) {
            w.Count(t.funcs.size());
            for (const FuncDesc& f : t.funcs) {
                w.Str(f.name);
                w.Str(f.help);
                w.U32(static_cast<std::uint32_t>(f.dispid));
                if (f.params.size() > 0xFF) {
                    throw std::length_error("type library: more than 255 parameters");
                }
                w.U8(static_cast<std::uint8_t>(f.params.size()));
                for (const ParamDesc& p : f.params) {
                    w.Str(p.name);
                    w.U16(p.type);
                    w.U16(p.flags);
                }
            }
        } else {
            w.Count(t.implTypes.size());
            for (const ImplTypeDesc& impl : t.implTypes) {
                w.Guid(impl.iid);
                w.U16(impl.flags);
            }
        }
    }
    return std::move(w.Out());
}

HRESULT ParseTypeLib(std::string_view bytes, TypeLibDesc& out, std::string* error) {
    if (bytes.size() < 8 || std::memcmp(bytes.data(), kMagic, sizeof kMagic) != 0) {
        return Malformed(error, "not a type library (no \"SVTL\" header)");
    }
    Reader r(bytes.substr(4));
    std::uint16_t version, reserved;
    r.U16(version);
    r.U16(reserved);
    if (version != kTypeLibFormatVersion) {
        if (error != nullptr) {
            *error = "type library format version " + std::to_string(version) +
                     " is not supported (this build reads version " +
                     std::to_string(kTypeLibFormatVersion) + ")";
        }
        return TYPE_E_UNSUPFORMAT;
    }
    if (reserved != 0) {
        return Malformed(error, "the reserved header field is not 0");
    }
    TypeLibDesc lib;
    std::uint16_t syskind, count;
    if (!r.Guid(lib.libid) || !r.Str(lib.name) || !r.Str(lib.help) || !r.U16(lib.major) ||
        !r.U16(lib.minor) || !r.U32(lib.lcid) || !r.U16(syskind) || !r.U16(lib.flags) ||
        !r.U16(count)) {
        return Malformed(error, "the library header is truncated");
    }
    lib.syskind = static_cast<SysKind>(syskind);
    for (std::uint16_t i = 0; i < count; ++i) {
        TypeDesc t;
        std::uint8_t kind;
        std::uint16_t n;
        if (!r.U8(kind) || !r.Guid(t.guid) || !r.Str(t.name) || !r.Str(t.help) || !r.U16(t.flags) ||
            !r.U16(n)) {
            return Malformed(error, "type " + std::to_string(i) + " is truncated");
        }
        if (kind == static_cast<std::uint8_t>(TypeKind::Interface)) {
            t.kind = TypeKind::Interface;
            for (std::uint16_t j = 0; j < n; ++j) {
                FuncDesc f;
                if (!ReadFunc(r, f)) {
                    return Malformed(error,
                                     t.name + ": method " + std::to_string(j) + " is truncated");
                }
                t.funcs.push_back(std::move(f));
            }
        } else if (kind == static_cast<std::uint8_t>(TypeKind::CoClass)) {
            t.kind = TypeKind::CoClass;
            for (std::uint16_t j = 0; j < n; ++j) {
                ImplTypeDesc impl;
                if (!r.Guid(impl.iid) || !r.U16(impl.flags)) {
                    return Malformed(error, t.name + ": interface list is truncated");
                }
                t.implTypes.push_back(impl);
            }
        } else {
            return Malformed(
                error, "type " + std::to_string(i) + " has unknown kind " + std::to_string(kind));
        }
        lib.types.push_back(std::move(t));
    }
    if (r.Remaining() != 0) {
        return Malformed(error, std::to_string(r.Remaining()) + " bytes follow the last type");
    }
    if (std::string e = ValidateTypeLib(lib); !e.empty()) {
        return Malformed(error, e);
    }
    out = std::move(lib);
    return S_OK;
}

}  // namespace sorvex::com
