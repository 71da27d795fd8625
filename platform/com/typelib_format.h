// The description of a type library and its serialized form (the data of the library's
// ".note.sorvex.typelib" note).
//
// A type library describes dual dispatch interfaces (methods in DISPID order, each returning an
// HRESULT, with typed parameters) and the coclasses that implement them. The serialized form is
// little-endian and versioned:
//
//   "SVTL"  u16 format version (1)  u16 reserved (0)
//   library: GUID  str name  str help  u16 major  u16 minor  u32 lcid  u16 syskind  u16 flags
//   u16 type count, then per type:
//     u8 kind (1 interface, 2 coclass)  GUID  str name  str help  u16 type flags
//     interface: u16 function count; per function: str name  str help  i32 DISPID
//                u8 parameter count; per parameter: str name  u16 VARTYPE  u16 PARAMFLAG bits
//     coclass:   u16 interface count; per interface: GUID  u16 IMPLTYPEFLAG bits
//   nothing after the last type
//   GUID = u32 Data1, u16 Data2, u16 Data3, 8 bytes Data4;  str = u16 byte count, then bytes
//
// Parameter types: VT_I4 (long), VT_BSTR, VT_DISPATCH (IDispatch*), VT_BOOL (VARIANT_BOOL),
// VT_CY (CURRENCY), and VT_BYREF with VT_I4, VT_BSTR, VT_BOOL or VT_CY (long*, BSTR*,
// VARIANT_BOOL*, CURRENCY*).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/com/guid.h"
#include "platform/com/variant.h"

namespace sorvex::com {

// The system a library was built for; it names the platform subkey of the registration.
enum class SysKind : std::uint16_t {
    Win32 = 1,       // "win32"
    Win64 = 3,       // "win64"
    Linux64 = 0x40,  // "linux64": every library this package builds
};

inline constexpr std::uint16_t PARAMFLAG_FIN = 0x1;
inline constexpr std::uint16_t PARAMFLAG_FOUT = 0x2;
inline constexpr std::uint16_t PARAMFLAG_FRETVAL = 0x8;

inline constexpr std::uint16_t TYPEFLAG_FCANCREATE = 0x2;  // coclass: creatable
inline constexpr std::uint16_t TYPEFLAG_FDUAL = 0x40;
inline constexpr std::uint16_t TYPEFLAG_FNONEXTENSIBLE = 0x80;
inline constexpr std::uint16_t TYPEFLAG_FOLEAUTOMATION = 0x100;

inline constexpr std::uint16_t IMPLTYPEFLAG_FDEFAULT = 0x1;

enum class TypeKind : std::uint8_t { Interface = 1, CoClass = 2 };

struct ParamDesc {
    std::string name;
    VARTYPE type = VT_I4;
    std::uint16_t flags = PARAMFLAG_FIN;
};

struct FuncDesc {
    std::string name;
    std::string help;
    DISPID dispid = 0;
    std::vector<ParamDesc> params;  // retval, when present, is the last
};

struct ImplTypeDesc {
    IID iid;
    std::uint16_t flags = 0;
};

struct TypeDesc {
    TypeKind kind = TypeKind::Interface;
    GUID guid;
    std::string name;
    std::string help;
    std::uint16_t flags = 0;
    std::vector<FuncDesc> funcs;          // interfaces only, in table order
    std::vector<ImplTypeDesc> implTypes;  // coclasses only
};

struct TypeLibDesc {
    GUID libid;
    std::string name;
    std::string help;
    std::uint16_t major = 1;
    std::uint16_t minor = 0;
    LCID lcid = 0;
    SysKind syskind = SysKind::Linux64;
    std::uint16_t flags = 0;
    std::vector<TypeDesc> types;
};

inline constexpr std::uint16_t kTypeLibFormatVersion = 1;

// Empty when the description is sound; otherwise what is wrong, naming the item
// ("ITalvexScanner.OpenService: parameter pRC: retval must be the last parameter"). Checks:
// names are identifiers and unique (case-insensitively) where they must be; DISPIDs unique per
// interface; parameter types in the supported set; by-value parameters are [in] only; [out]
// and retval parameters are pointers; at most one retval, the last; a coclass names interfaces
// of the same library and has at most one default.
std::string ValidateTypeLib(const TypeLibDesc& lib);

// The serialized form. The description must be valid (ValidateTypeLib); strings longer than
// 65535 bytes or more than 65535 items throw std::length_error.
std::string SerializeTypeLib(const TypeLibDesc& lib);

// Parses the serialized form: every length is checked against the bytes that remain, unknown
// kinds and types are refused, trailing bytes are refused, and the result is validated. Returns
// S_OK, TYPE_E_UNSUPFORMAT (another format version) or TYPE_E_INVDATAREAD (malformed); `error`
// (optional) says what was wrong.
HRESULT ParseTypeLib(std::string_view bytes, TypeLibDesc& out, std::string* error = nullptr);

// ASCII case-insensitive equality, as member names compare.
bool NameEquals(std::string_view a, std::string_view b);

// The platform subkey of a registration ("linux64").
std::string_view PlatformSubkey(SysKind kind);

}  // namespace sorvex::com
