#include "platform/com/typeinfo.h"

#include <atomic>
#include <fstream>
#include <memory>
#include <unordered_map>
#include <vector>

#include "platform/com/elf_note.h"
#include "platform/com/error_detail.h"

namespace sorvex::com {

namespace {

// A type library file of its own is a few KiB; nothing bigger is read whole.
constexpr std::uintmax_t kMaxStandaloneFile = 64u << 20;

std::string FoldedName(std::string_view s) {
    std::string out(s);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return out;
}

class TypeLibObject;

// One type of a library. Its lifetime is the library's: references on a type info count on the
// library, which owns every type info it made.
class TypeInfoObject final : public ITypeInfo {
  public:
    TypeInfoObject(TypeLibObject& lib, std::uint32_t index, const TypeDesc& desc)
        : m_Lib(lib), m_Index(index), m_Desc(desc) {
        for (std::size_t i = 0; i < desc.funcs.size(); ++i) {
            m_ByName.emplace(FoldedName(desc.funcs[i].name), i);
            m_ById.emplace(desc.funcs[i].dispid, i);
        }
    }

    HRESULT QueryInterface(const IID& iid, void** object) override;
    std::uint32_t AddRef() override;
    std::uint32_t Release() override;

    const TypeDesc& Describe() override { return m_Desc; }
    HRESULT GetContainingTypeLib(ITypeLib** lib, std::uint32_t* index) override;

    HRESULT GetIDsOfNames(OLECHAR** names, std::uint32_t count, DISPID* ids) override {
        if (count == 0) {
            return S_OK;
        }
        if (names == nullptr || ids == nullptr) {
            return E_INVALIDARG;
        }
        for (std::uint32_t i = 0; i < count; ++i) {
            ids[i] = DISPID_UNKNOWN;
        }
        if (names[0] == nullptr) {
            return DISP_E_UNKNOWNNAME;
        }
        auto it = m_ByName.find(FoldedName(names[0]));
        if (it == m_ByName.end()) {
            return DISP_E_UNKNOWNNAME;
        }
        const FuncDesc& f = m_Desc.funcs[it->second];
        ids[0] = f.dispid;
        HRESULT hr = S_OK;
        for (std::uint32_t i = 1; i < count; ++i) {
            bool found = false;
            for (std::size_t p = 0; p < f.params.size() && names[i] != nullptr && !found; ++p) {
                if (NameEquals(f.params[p].name, names[i])) {
                    ids[i] = static_cast<DISPID>(p);
                    found = true;
                }
            }
            if (!found) {
                hr = DISP_E_UNKNOWNNAME;
            }
        }
        return hr;
    }

    const FuncDesc* FindFunc(DISPID id) override {
        auto it = m_ById.find(id);
        return it == m_ById.end() ? nullptr : &m_Desc.funcs[it->second];
    }

    HRESULT GetDefaultInterface(ITypeInfo** info) override;

  private:
    TypeLibObject& m_Lib;
    std::uint32_t m_Index;
    const TypeDesc& m_Desc;
    std::unordered_map<std::string, std::size_t> m_ByName;
    std::unordered_map<DISPID, std::size_t> m_ById;
};

class TypeLibObject final : public RefCounted<ITypeLib> {
  public:
    explicit TypeLibObject(TypeLibDesc desc) : RefCounted(1), m_Desc(std::move(desc)) {
        for (std::size_t i = 0; i < m_Desc.types.size(); ++i) {
            m_Infos.push_back(std::make_unique<TypeInfoObject>(*this, static_cast<std::uint32_t>(i),
                                                               m_Desc.types[i]));
        }
    }

    HRESULT QueryInterface(const IID& iid, void** object) override {
        return QueryInterfaceFor(static_cast<ITypeLib*>(this), iid, object,
                                 {IID_IUnknown, IID_ITypeLib});
    }

    const TypeLibDesc& Describe() override { return m_Desc; }
    std::uint32_t GetTypeInfoCount() override { return static_cast<std::uint32_t>(m_Infos.size()); }
    HRESULT GetTypeInfo(std::uint32_t index, ITypeInfo** info) override {
        if (info == nullptr) {
            return E_POINTER;
        }
        *info = nullptr;
        if (index >= m_Infos.size()) {
            return TYPE_E_ELEMENTNOTFOUND;
        }
        *info = m_Infos[index].get();
        AddRef();
        return S_OK;
    }
    HRESULT GetTypeInfoOfGuid(const GUID& guid, ITypeInfo** info) override {
        if (info == nullptr) {
            return E_POINTER;
        }
        *info = nullptr;
        for (std::size_t i = 0; i < m_Desc.types.size(); ++i) {
            if (m_Desc.types[i].guid == guid) {
                return GetTypeInfo(static_cast<std::uint32_t>(i), info);
            }
        }
        return TYPE_E_ELEMENTNOTFOUND;
    }

  private:
    ~TypeLibObject() override = default;

    TypeLibDesc m_Desc;
    std::vector<std::unique_ptr<TypeInfoObject>> m_Infos;
};

HRESULT TypeInfoObject::QueryInterface(const IID& iid, void** object) {
    return QueryInterfaceFor(static_cast<ITypeInfo*>(this), iid, object,
                             {IID_IUnknown, IID_ITypeInfo});
}

std::uint32_t TypeInfoObject::AddRef() {
    return m_Lib.AddRef();
}

std::uint32_t TypeInfoObject::Release() {
    return m_Lib.Release();
}

HRESULT TypeInfoObject::GetContainingTypeLib(ITypeLib** lib, std::uint32_t* index) {
    if (lib != nullptr) {
        *lib = &m_Lib;
        m_Lib.AddRef();
    }
    if (index != nullptr) {
        *index = m_Index;
    }
    return S_OK;
}

HRESULT TypeInfoObject::GetDefaultInterface(ITypeInfo** info) {
    if (info == nullptr) {
        return E_POINTER;
    }
    *info = nullptr;
    if (m_Desc.kind != TypeKind::CoClass || m_Desc.implTypes.empty()) {
        return TYPE_E_ELEMENTNOTFOUND;
    }
    const ImplTypeDesc* chosen = &m_Desc.implTypes.front();
    for (const ImplTypeDesc& impl : m_Desc.implTypes) {
        if ((impl.flags & IMPLTYPEFLAG_FDEFAULT) != 0) {
            chosen = &impl;
        }
    }
    return m_Lib.GetTypeInfoOfGuid(chosen->iid, info);
}

HRESULT FromBytes(const std::string& bytes, const std::string& origin, ITypeLib** lib) {
    TypeLibDesc desc;
    std::string why;
    const HRESULT hr = ParseTypeLib(bytes, desc, &why);
    if (Failed(hr)) {
        SetLastErrorDetail(origin + ": " + why);
        return hr;
    }
    return CreateTypeLib(std::move(desc), lib);
}

}  // namespace

HRESULT CreateTypeLib(TypeLibDesc desc, ITypeLib** lib) {
    if (lib == nullptr) {
        return E_POINTER;
    }
    *lib = nullptr;
    if (std::string why = ValidateTypeLib(desc); !why.empty()) {
        SetLastErrorDetail(why);
        return E_INVALIDARG;
    }
    *lib = new TypeLibObject(std::move(desc));
    return S_OK;
}

HRESULT LoadTypeLib(const std::filesystem::path& path, ITypeLib** lib) {
    ClearLastErrorDetail();
    if (lib == nullptr) {
        return E_POINTER;
    }
    *lib = nullptr;
    std::string bytes;
    std::string why;
    const NoteStatus status = FindNoteInFile(path, kNoteTypeTypeLib, bytes, &why);
    if (status == NoteStatus::Found) {
        return FromBytes(bytes, path.string(), lib);
    }
    // Not an ELF image: perhaps a file holding the serialized form alone.
    std::ifstream in(path, std::ios::binary);
    char magic[4] = {};
    std::error_code ec;
    const auto size = std::filesystem::file_size(path, ec);
    if (status == NoteStatus::Invalid && !ec && size <= kMaxStandaloneFile && in.read(magic, 4) &&
        std::string_view(magic, 4) == "SVTL") {
        bytes.assign(magic, 4);
        bytes.append(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        return FromBytes(bytes, path.string(), lib);
    }
    SetLastErrorDetail(
        status == NoteStatus::Missing ? path.string() + ": the file holds no type library" : why);
    return TYPE_E_CANTLOADLIBRARY;
}

HRESULT LoadTypeLibFromModule(const void* address, ITypeLib** lib) {
    ClearLastErrorDetail();
    if (lib == nullptr) {
        return E_POINTER;
    }
    *lib = nullptr;
    std::string bytes;
    if (FindNoteInLoadedModule(address, kNoteTypeTypeLib, bytes) != NoteStatus::Found) {
        SetLastErrorDetail("the module holds no type library");
        return TYPE_E_CANTLOADLIBRARY;
    }
    return FromBytes(bytes, "loaded module", lib);
}

}  // namespace sorvex::com
