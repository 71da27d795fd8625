// Type information: ITypeLib and ITypeInfo of this package.
//
// Small interfaces of our own over a type library description (typelib_format.h): they answer
// what a late-bound caller needs (the members of an interface, their DISPIDs and parameters,
// the names) and what registration needs (the library's attributes, its interfaces). They
// share COM's rules (reference counted, IUnknown first) and the well-known interface
// identifiers, but their methods are ours. Both are immutable once created and safe to use
// from any thread.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string_view>

#include "platform/com/typelib_format.h"
#include "platform/com/unknown.h"

namespace sorvex::com {

inline constexpr GUID IID_ITypeInfo{0x00020401, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
inline constexpr GUID IID_ITypeLib{0x00020402, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

class ITypeLib;

class ITypeInfo : public IUnknown {
  public:
    // The type's description; valid while the caller holds a reference.
    virtual const TypeDesc& Describe() = 0;
    // The library the type belongs to (AddRef'd) and the type's index in it (either may be
    // null).
    virtual HRESULT GetContainingTypeLib(ITypeLib** lib, std::uint32_t* index) = 0;
    // names[0] is a method name, names[1..] names of its parameters, all compared
    // case-insensitively. ids[0] becomes the method's DISPID, ids[i] the parameter's position
    // (0-based). Unknown names get DISPID_UNKNOWN and the call answers DISP_E_UNKNOWNNAME
    // (the known ones are still filled). E_INVALIDARG for null arrays.
    virtual HRESULT GetIDsOfNames(OLECHAR** names, std::uint32_t count, DISPID* ids) = 0;
    // The method with this DISPID, or null.
    virtual const FuncDesc* FindFunc(DISPID id) = 0;
    // A coclass's default interface (the one marked default, else the first), AddRef'd.
    // TYPE_E_ELEMENTNOTFOUND for an interface.
    virtual HRESULT GetDefaultInterface(ITypeInfo** info) = 0;

  protected:
    ~ITypeInfo() = default;
};

class ITypeLib : public IUnknown {
  public:
    // The whole description; valid while the caller holds a reference.
    virtual const TypeLibDesc& Describe() = 0;
    virtual std::uint32_t GetTypeInfoCount() = 0;
    // TYPE_E_ELEMENTNOTFOUND past the end; E_POINTER for a null out.
    virtual HRESULT GetTypeInfo(std::uint32_t index, ITypeInfo** info) = 0;
    // TYPE_E_ELEMENTNOTFOUND when no type has the GUID.
    virtual HRESULT GetTypeInfoOfGuid(const GUID& guid, ITypeInfo** info) = 0;

  protected:
    ~ITypeLib() = default;
};

// A type library object over a description, which must be valid (E_INVALIDARG otherwise, with
// the reason in LastErrorDetail()).
HRESULT CreateTypeLib(TypeLibDesc desc, ITypeLib** lib);

// Loads the type library stored in a file: a library with a ".note.sorvex.typelib" note, or a
// file that holds the serialized form alone. TYPE_E_CANTLOADLIBRARY when the file cannot be
// read or holds no type library, TYPE_E_UNSUPFORMAT / TYPE_E_INVDATAREAD for a library this
// build cannot read; the detail names the path.
HRESULT LoadTypeLib(const std::filesystem::path& path, ITypeLib** lib);

// Loads the type library of a module loaded in this process (the module holding `address`).
HRESULT LoadTypeLibFromModule(const void* address, ITypeLib** lib);

}  // namespace sorvex::com
