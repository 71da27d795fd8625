// Feeds the type library parser arbitrary bytes. A parsed library must be valid, serialize to
// the very bytes it was read from, and answer name look-ups on every type without fault.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/com/typeinfo.h"
#include "platform/com/typelib_format.h"

using namespace sorvex::com;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    TypeLibDesc lib;
    std::string error;
    const HRESULT hr = ParseTypeLib(bytes, lib, &error);
    if (Failed(hr)) {
        if ((hr != TYPE_E_INVDATAREAD && hr != TYPE_E_UNSUPFORMAT) || error.empty()) {
            std::abort();
        }
        return 0;
    }
    if (!ValidateTypeLib(lib).empty() || SerializeTypeLib(lib) != bytes) {
        std::abort();
    }
    ComPtr<ITypeLib> typeLib;
    if (CreateTypeLib(lib, typeLib.out()) != S_OK) {
        std::abort();
    }
    for (std::uint32_t i = 0; i < typeLib->GetTypeInfoCount(); ++i) {
        ComPtr<ITypeInfo> info;
        if (typeLib->GetTypeInfo(i, info.out()) != S_OK) {
            std::abort();
        }
        for (const FuncDesc& f : info->Describe().funcs) {
            std::vector<std::string> names{f.name};
            for (const ParamDesc& p : f.params) {
                names.push_back(p.name);
            }
            std::vector<OLECHAR*> pointers;
            for (std::string& n : names) {
                pointers.push_back(n.data());
            }
            std::vector<DISPID> ids(names.size());
            if (info->GetIDsOfNames(pointers.data(), static_cast<std::uint32_t>(pointers.size()),
                                    ids.data()) != S_OK ||
                ids[0] != f.dispid || info->FindFunc(f.dispid) == nullptr) {
                std::abort();
            }
        }
        ComPtr<ITypeInfo> def;
        info->GetDefaultInterface(def.out());
    }
    return 0;
}
