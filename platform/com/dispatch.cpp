#include "platform/com/dispatch.h"

#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <unordered_map>

#include "platform/com/error_detail.h"
#include "platform/com/typelib_registry.h"

namespace sorvex::com {

namespace {

// One lock for every holder of the process: loading reads the registry and a library file,
// and is done once per interface.
std::mutex& LoadLock() {
    static std::mutex lock;
    return lock;
}

std::string TypeName(VARTYPE vt) {
    switch (vt) {
        case VT_I4:
            return "long";
        case VT_BSTR:
            return "BSTR";
        case VT_DISPATCH:
            return "IDispatch*";
        case VT_BOOL:
            return "VARIANT_BOOL";
        case VT_CY:
            return "CURRENCY";
        case VT_BYREF | VT_I4:
            return "long*";
        case VT_BYREF | VT_BSTR:
            return "BSTR*";
        case VT_BYREF | VT_BOOL:
            return "VARIANT_BOOL*";
        case VT_BYREF | VT_CY:
            return "CURRENCY*";
        default:
            return "type " + std::to_string(vt);
    }
}

}  // namespace

namespace detail {

bool IsRetval(const CallFrame& f, std::size_t index) {
    return (f.func->params[index].flags & PARAMFLAG_FRETVAL) != 0;
}

bool IsIn(const CallFrame& f, std::size_t index) {
    return (f.func->params[index].flags & PARAMFLAG_FIN) != 0;
}

VARIANT& ArgumentOf(CallFrame& f, std::size_t index) {
    return f.params->rgvarg[f.params->cArgs - 1 - index];
}

HRESULT Fail(CallFrame& f, std::size_t index, HRESULT hr) {
    *f.argError = static_cast<std::uint32_t>(f.params->cArgs - 1 - index);
    return hr;
}

HRESULT BindIn(CallFrame& f, std::size_t index, VARTYPE vt, VARIANT& temp) {
    const HRESULT hr = VariantChangeType(&temp, &ArgumentOf(f, index), 0, vt);
    return Failed(hr) ? Fail(f, index, hr) : S_OK;
}

}  // namespace detail

struct TypeInfoHolder::Loaded {
    struct Bound {
        const FuncDesc* func = nullptr;
        DispatchThunk thunk = nullptr;
        std::uint32_t inputs = 0;  // parameters that are not retval
    };
    ComPtr<ITypeInfo> info;
    std::unordered_map<DISPID, Bound> byId;
};

TypeInfoHolder::~TypeInfoHolder() {
    delete m_Loaded.load(std::memory_order_acquire);
}

HRESULT TypeInfoHolder::Load(LCID lcid, Loaded*& out) {
    out = m_Loaded.load(std::memory_order_acquire);
    if (out != nullptr) {
        return S_OK;
    }
    std::lock_guard<std::mutex> guard(LoadLock());
    out = m_Loaded.load(std::memory_order_relaxed);
    if (out != nullptr) {
        return S_OK;
    }
    ComPtr<ITypeLib> lib;
    HRESULT hr = m_Embedded ? LoadTypeLibFromModule(this, lib.out())
                            : LoadRegTypeLib(m_Libid, m_Major, m_Minor, lcid, lib.out());
    if (Failed(hr)) {
        return hr;
    }
    auto loaded = std::make_unique<Loaded>();
    hr = lib->GetTypeInfoOfGuid(m_Iid, loaded->info.out());
    if (Failed(hr) || loaded->info->Describe().kind != TypeKind::Interface) {
        SetLastErrorDetail(lib->Describe().name + ": no interface " + ToString(m_Iid));
        return TYPE_E_ELEMENTNOTFOUND;
    }
    const TypeDesc& type = loaded->info->Describe();
    for (const DispatchMember& m : m_Members) {
        const FuncDesc* func = nullptr;
        for (const FuncDesc& f : type.funcs) {
            if (NameEquals(f.name, m.name)) {
                func = &f;
            }
        }
        const std::string where = type.name + "." + std::string(m.name);
        if (func == nullptr) {
            SetLastErrorDetail(where + ": the type library has no such method");
            return TYPE_E_ELEMENTNOTFOUND;
        }
        if (func->params.size() != m.arity) {
            SetLastErrorDetail(where + ": " + std::to_string(func->params.size()) +
                               " parameters in the type library, " + std::to_string(m.arity) +
                               " in C++");
            return TYPE_E_TYPEMISMATCH;
        }
        for (std::size_t i = 0; i < m.arity; ++i) {
            if (func->params[i].type != m.signature[i]) {
                SetLastErrorDetail(where + ": parameter " + func->params[i].name + " is " +
                                   TypeName(func->params[i].type) + " in the type library, " +
                                   TypeName(m.signature[i]) + " in C++");
                return TYPE_E_TYPEMISMATCH;
            }
        }
        Loaded::Bound bound;
        bound.func = func;
        bound.thunk = m.thunk;
        bound.inputs = static_cast<std::uint32_t>(func->params.size());
        if (!func->params.empty() && (func->params.back().flags & PARAMFLAG_FRETVAL) != 0) {
            --bound.inputs;
        }
        if (!loaded->byId.emplace(func->dispid, bound).second) {
            SetLastErrorDetail(where + ": the method has two table entries");
            return TYPE_E_TYPEMISMATCH;
        }
    }
    out = loaded.release();
    m_Loaded.store(out, std::memory_order_release);
    return S_OK;
}

HRESULT TypeInfoHolder::GetTypeInfoCount(std::uint32_t* count) {
    if (count == nullptr) {
        return E_POINTER;
    }
    *count = 1;
    return S_OK;
}

HRESULT TypeInfoHolder::GetTypeInfo(std::uint32_t index, LCID lcid, ITypeInfo** info) {
    if (info == nullptr) {
        return E_POINTER;
    }
    *info = nullptr;
    if (index != 0) {
        return DISP_E_BADINDEX;
    }
    Loaded* loaded;
    if (HRESULT hr = Load(lcid, loaded); Failed(hr)) {
        return hr;
    }
    *info = loaded->info.get();
    (*info)->AddRef();
    return S_OK;
}

HRESULT TypeInfoHolder::GetIDsOfNames(const IID& iid, OLECHAR** names, std::uint32_t count,
                                      LCID lcid, DISPID* ids) {
    if (iid != IID_NULL) {
        return DISP_E_UNKNOWNINTERFACE;
    }
    Loaded* loaded;
    if (HRESULT hr = Load(lcid, loaded); Failed(hr)) {
        return hr;
    }
    return loaded->info->GetIDsOfNames(names, count, ids);
}

HRESULT TypeInfoHolder::Invoke(IDispatch* self, DISPID member, const IID& iid, LCID lcid,
                               std::uint16_t flags, DISPPARAMS* params, VARIANT* result,
                               EXCEPINFO* exception, std::uint32_t* argError) {
    if (iid != IID_NULL) {
        return DISP_E_UNKNOWNINTERFACE;
    }
    Loaded* loaded;
    if (HRESULT hr = Load(lcid, loaded); Failed(hr)) {
        return hr;
    }
    auto it = loaded->byId.find(member);
    if (it == loaded->byId.end() || (flags & (DISPATCH_METHOD | DISPATCH_PROPERTYGET)) == 0) {
        return DISP_E_MEMBERNOTFOUND;
    }
    if (params == nullptr || (params->cArgs != 0 && params->rgvarg == nullptr)) {
        return E_INVALIDARG;
    }
    if (params->cNamedArgs != 0) {
        return DISP_E_NONAMEDARGS;
    }
    const Loaded::Bound& bound = it->second;
    if (params->cArgs != bound.inputs) {
        return DISP_E_BADPARAMCOUNT;
    }
    std::uint32_t ignoredArgError = 0;
    CallFrame frame{params, bound.func, result, argError != nullptr ? argError : &ignoredArgError};
    if (result != nullptr) {
        result->vt = VT_EMPTY;
    }
    HRESULT hr;
    try {
        hr = bound.thunk(self, frame);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        hr = S_OK;
        frame.callResult = E_UNEXPECTED;
    }
    if (Failed(hr)) {
        return hr;
    }
    if (Failed(frame.callResult)) {
        if (exception != nullptr) {
            *exception = EXCEPINFO{};
            exception->scode = frame.callResult;
        }
        return DISP_E_EXCEPTION;
    }
    return S_OK;
}

}  // namespace sorvex::com
