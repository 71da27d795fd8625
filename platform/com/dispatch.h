// IDispatch answered from type information: the reusable half of every dual interface.
//
// A server describes its interface once in its type library and supplies one table entry per
// method, made from the C++ member function:
//
//   constexpr sorvex::com::DispatchMember kScannerMembers[] = {
//       SORVEX_METHOD(&ITalvexScanner::OpenService),
//       SORVEX_METHOD(&ITalvexScanner::CheckHealth),
//       ...
//   };
//   constinit sorvex::com::TypeInfoHolder g_ScannerTypeInfo(
//       LIBID_TALVEXSOLib, 1, 0, IID_ITalvexScanner, kScannerMembers);
//
//   class CScanner : public sorvex::com::DualDispatch<ITalvexScanner, g_ScannerTypeInfo> {...};
//
// (sorvex-notegen writes the interface class and the table into the type library's header.)
//
// The holder loads the interface's type information from the registered type library
// (LoadRegTypeLib with its identifier and version and the locale of the first call) at the
// first GetTypeInfo, GetIDsOfNames or Invoke, under one lock for the whole process, and keeps
// it together with the tables of member names and DISPIDs until the holder is destroyed (the
// server library is unloaded). When loading fails the call answers the loading error
// (TYPE_E_LIBNOTREGISTERED when the library is not registered) and the next call tries again;
// calls through the interface's own functions never need it. At loading, every table entry
// must name a method of the interface with exactly the C++ parameter types
// (TYPE_E_ELEMENTNOTFOUND / TYPE_E_TYPEMISMATCH otherwise, with the member named in
// LastErrorDetail()); a method without an entry answers DISP_E_MEMBERNOTFOUND.
//
// Invoke:
//   - riid must be IID_NULL (DISP_E_UNKNOWNINTERFACE); flags must include DISPATCH_METHOD or
//     DISPATCH_PROPERTYGET (DISP_E_MEMBERNOTFOUND otherwise, as for an unknown DISPID);
//     named arguments are refused (DISP_E_NONAMEDARGS).
//   - cArgs must equal the number of parameters that are not retval (DISP_E_BADPARAMCOUNT).
//     rgvarg holds the arguments last first.
//   - By-value parameters are converted with VariantChangeType (variant_convert.h); BSTR and
//     IDispatch* arguments of the exact type are passed without a copy.
//   - Pointer parameters take VT_BYREF of the exact type (the caller's storage is passed on),
//     or VT_BYREF | VT_VARIANT: then an [in, out] value is converted, passed in a temporary and
//     written back into the caller's variant as the parameter's type, also when the method
//     fails (it may have replaced a BSTR). Anything else is DISP_E_TYPEMISMATCH.
//   - A conversion failure answers DISP_E_TYPEMISMATCH or DISP_E_OVERFLOW and sets *argError
//     to the argument's index in rgvarg.
//   - The retval parameter's value becomes *result (which is overwritten, not cleared; pass an
//     empty one); with a null result it is freed. Without a retval *result is VT_EMPTY.
//   - A method that answers a failure HRESULT makes Invoke answer DISP_E_EXCEPTION with the
//     HRESULT in exception->scode; a C++ exception escaping the method the same with
//     E_UNEXPECTED (E_OUTOFMEMORY for std::bad_alloc, answered directly).
//
// GetIDsOfNames: riid must be IID_NULL; names compare case-insensitively; parameter names get
// their positions (ITypeInfo::GetIDsOfNames). GetTypeInfoCount answers 1; GetTypeInfo(0)
// answers the loaded type information, other indexes DISP_E_BADINDEX.
//
// Threads: the holder may be used from any number of threads at once; the object's methods run
// on the calling thread.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

#include "platform/com/typeinfo.h"
#include "platform/com/unknown.h"
#include "platform/com/variant.h"
#include "platform/com/variant_convert.h"

namespace sorvex::com {

// What one Invoke hands to a member's thunk.
struct CallFrame {
    DISPPARAMS* params;
    const FuncDesc* func;
    VARIANT* result;            // may be null
    std::uint32_t* argError;    // never null
    HRESULT callResult = S_OK;  // what the method answered
};

// Converts the arguments, calls the method, stores the results. Answers S_OK once the method
// was called (its own result is in frame.callResult), or the conversion error.
using DispatchThunk = HRESULT (*)(IDispatch* self, CallFrame& frame);

struct DispatchMember {
    std::string_view name;     // the method's name, as in the type library
    DispatchThunk thunk;       // required
    const VARTYPE* signature;  // the C++ parameter types, as VARTYPEs
    std::size_t arity;
};

// Selects type information from the type library embedded in the module that holds the
// holder, without registration: for interfaces a client implements for its server to call
// back (a control object's SOData and SOError), which no one registers.
struct EmbeddedTypeLib {};

class TypeInfoHolder {
  public:
    // From the registered type library. `members` must outlive the holder (a constexpr
    // table does).
    constexpr TypeInfoHolder(const GUID& libid, std::uint16_t major, std::uint16_t minor,
                             const IID& iid, std::span<const DispatchMember> members)
        : m_Libid(libid), m_Major(major), m_Minor(minor), m_Iid(iid), m_Members(members) {}
    // From the type library note of the module (shared library or program) that holds this
    // holder, which must have static storage duration. Loading fails with
    // TYPE_E_CANTLOADLIBRARY when the module has no type library.
    constexpr TypeInfoHolder(EmbeddedTypeLib, const IID& iid,
                             std::span<const DispatchMember> members)
        : m_Iid(iid), m_Members(members), m_Embedded(true) {}
    ~TypeInfoHolder();
    TypeInfoHolder(const TypeInfoHolder&) = delete;
    TypeInfoHolder& operator=(const TypeInfoHolder&) = delete;

    HRESULT GetTypeInfoCount(std::uint32_t* count);
    HRESULT GetTypeInfo(std::uint32_t index, LCID lcid, ITypeInfo** info);
    HRESULT GetIDsOfNames(const IID& iid, OLECHAR** names, std::uint32_t count, LCID lcid,
                          DISPID* ids);
    // `self` is the object's IDispatch of this interface; the thunks cast it back.
    HRESULT Invoke(IDispatch* self, DISPID member, const IID& iid, LCID lcid, std::uint16_t flags,
                   DISPPARAMS* params, VARIANT* result, EXCEPINFO* exception,
                   std::uint32_t* argError);

    const IID& iid() const { return m_Iid; }

  private:
    struct Loaded;
    HRESULT Load(LCID lcid, Loaded*& out);

    GUID m_Libid{};
    std::uint16_t m_Major = 0;
    std::uint16_t m_Minor = 0;
    IID m_Iid;
    std::span<const DispatchMember> m_Members;
    bool m_Embedded = false;
    std::atomic<Loaded*> m_Loaded{nullptr};
};

// The IDispatch half of a dual interface, answered by a holder of static storage duration.
template <class Interface, TypeInfoHolder& Holder>
class DualDispatch : public Interface {
  public:
    HRESULT GetTypeInfoCount(std::uint32_t* count) override {
        return Holder.GetTypeInfoCount(count);
    }
    HRESULT GetTypeInfo(std::uint32_t index, LCID lcid, ITypeInfo** info) override {
        return Holder.GetTypeInfo(index, lcid, info);
    }
    HRESULT GetIDsOfNames(const IID& iid, OLECHAR** names, std::uint32_t count, LCID lcid,
                          DISPID* ids) override {
        return Holder.GetIDsOfNames(iid, names, count, lcid, ids);
    }
    HRESULT Invoke(DISPID member, const IID& iid, LCID lcid, std::uint16_t flags,
                   DISPPARAMS* params, VARIANT* result, EXCEPINFO* exception,
                   std::uint32_t* argError) override {
        return Holder.Invoke(static_cast<Interface*>(this), member, iid, lcid, flags, params,
                             result, exception, argError);
    }

  protected:
    ~DualDispatch() = default;
};

// --- how a thunk binds VARIANT arguments to C++ parameters ---

namespace detail {

bool IsRetval(const CallFrame& f, std::size_t index);
bool IsIn(const CallFrame& f, std::size_t index);
VARIANT& ArgumentOf(CallFrame& f, std::size_t index);
// Records the failing argument's rgvarg index and answers hr.
HRESULT Fail(CallFrame& f, std::size_t index, HRESULT hr);
// Converts the argument into `temp` as type vt.
HRESULT BindIn(CallFrame& f, std::size_t index, VARTYPE vt, VARIANT& temp);

}  // namespace detail

template <class T>
struct ArgBinder;  // only the parameter types of the type library have one

// long, VARIANT_BOOL and CURRENCY by value.
template <class T, VARTYPE VT, T VARIANT::*Field>
struct ValueBinder {
    static constexpr VARTYPE kType = VT;
    Variant temp;
    HRESULT Bind(CallFrame& f, std::size_t i) { return detail::BindIn(f, i, VT, temp); }
    T Get() { return temp.*Field; }
    void Finish(CallFrame&, std::size_t) {}
};

template <>
struct ArgBinder<std::int32_t> : ValueBinder<std::int32_t, VT_I4, &VARIANT::lVal> {};
template <>
struct ArgBinder<VARIANT_BOOL> : ValueBinder<VARIANT_BOOL, VT_BOOL, &VARIANT::boolVal> {};
template <>
struct ArgBinder<CY> : ValueBinder<CY, VT_CY, &VARIANT::cyVal> {};

template <>
struct ArgBinder<BSTR> {
    static constexpr VARTYPE kType = VT_BSTR;
    Variant temp;
    BSTR value = nullptr;
    HRESULT Bind(CallFrame& f, std::size_t i) {
        VARIANT& v = detail::ArgumentOf(f, i);
        if (v.vt == VT_BSTR) {
            value = v.bstrVal;  // borrowed: an [in] string stays the caller's
            return S_OK;
        }
        HRESULT hr = detail::BindIn(f, i, VT_BSTR, temp);
        value = temp.bstrVal;
        return hr;
    }
    BSTR Get() { return value; }
    void Finish(CallFrame&, std::size_t) {}
};

template <>
struct ArgBinder<IDispatch*> {
    static constexpr VARTYPE kType = VT_DISPATCH;
    Variant temp;
    IDispatch* value = nullptr;
    HRESULT Bind(CallFrame& f, std::size_t i) {
        VARIANT& v = detail::ArgumentOf(f, i);
        if (v.vt == VT_DISPATCH) {
            value = v.pdispVal;  // borrowed: the callee AddRefs what it keeps
            return S_OK;
        }
        HRESULT hr = detail::BindIn(f, i, VT_DISPATCH, temp);
        value = temp.pdispVal;
        return hr;
    }
    IDispatch* Get() { return value; }
    void Finish(CallFrame&, std::size_t) {}
};

// How each pointed-to type lives in a VARIANT.
template <class T>
struct RefTraits;
template <>
struct RefTraits<std::int32_t> {
    static constexpr VARTYPE vt = VT_I4;
    static std::int32_t* Target(VARIANT& v) { return v.plVal; }
    static std::int32_t Take(VARIANT& v) { return v.lVal; }
    static void Put(VARIANT& v, std::int32_t x) {
        v.vt = VT_I4;
        v.lVal = x;
    }
    static void Free(std::int32_t&) {}
};
template <>
struct RefTraits<VARIANT_BOOL> {
    static constexpr VARTYPE vt = VT_BOOL;
    static VARIANT_BOOL* Target(VARIANT& v) { return v.pboolVal; }
    static VARIANT_BOOL Take(VARIANT& v) { return v.boolVal; }
    static void Put(VARIANT& v, VARIANT_BOOL x) {
        v.vt = VT_BOOL;
        v.boolVal = x;
    }
    static void Free(VARIANT_BOOL&) {}
};
template <>
struct RefTraits<CY> {
    static constexpr VARTYPE vt = VT_CY;
    static CY* Target(VARIANT& v) { return v.pcyVal; }
    static CY Take(VARIANT& v) { return v.cyVal; }
    static void Put(VARIANT& v, CY x) {
        v.vt = VT_CY;
        v.cyVal = x;
    }
    static void Free(CY&) {}
};
template <>
struct RefTraits<BSTR> {
    static constexpr VARTYPE vt = VT_BSTR;
    static BSTR* Target(VARIANT& v) { return v.pbstrVal; }
    static BSTR Take(VARIANT& v) {
        BSTR b = v.bstrVal;
        v.vt = VT_EMPTY;  // the string now belongs to the taker
        return b;
    }
    static void Put(VARIANT& v, BSTR x) {
        v.vt = VT_BSTR;
        v.bstrVal = x;
    }
    static void Free(BSTR& x) {
        SysFreeString(x);
        x = nullptr;
    }
};

// long*, BSTR*, VARIANT_BOOL*, CURRENCY*: [out], [in, out] or [out, retval].
template <class T>
struct ArgBinder<T*> {
    using R = RefTraits<T>;
    static constexpr VARTYPE kType = VT_BYREF | R::vt;
    T local{};
    T* ptr = nullptr;
    VARIANT* inner = nullptr;  // a VT_BYREF | VT_VARIANT argument, written back after the call
    bool retval = false;
    bool ownsLocal = false;

    ArgBinder() = default;
    ArgBinder(const ArgBinder&) = delete;
    ArgBinder& operator=(const ArgBinder&) = delete;
    ~ArgBinder() {
        if (ownsLocal) {
            R::Free(local);
        }
    }

    HRESULT Bind(CallFrame& f, std::size_t i) {
        if (detail::IsRetval(f, i)) {
            retval = true;
            ownsLocal = true;
            ptr = &local;
            return S_OK;
        }
        VARIANT& v = detail::ArgumentOf(f, i);
        if (v.vt == kType && R::Target(v) != nullptr) {
            ptr = R::Target(v);
            return S_OK;
        }
        if (v.vt == (VT_BYREF | VT_VARIANT) && v.pvarVal != nullptr) {
            if (detail::IsIn(f, i)) {
                Variant converted;
                HRESULT hr = VariantChangeType(&converted, v.pvarVal, 0, R::vt);
                if (Failed(hr)) {
                    return detail::Fail(f, i, hr);
                }
                local = R::Take(converted);
            }
            inner = v.pvarVal;
            ownsLocal = true;
            ptr = &local;
            return S_OK;
        }
        return detail::Fail(f, i, DISP_E_TYPEMISMATCH);
    }
    T* Get() { return ptr; }
    void Finish(CallFrame& f, std::size_t) {
        if (inner != nullptr) {
            VariantClear(inner);
            R::Put(*inner, local);
            ownsLocal = false;
        } else if (retval && f.result != nullptr && Succeeded(f.callResult)) {
            R::Put(*f.result, local);
            ownsLocal = false;
        }
    }
};

namespace detail {

template <class M>
struct MemberTraits;
template <class C, class... A>
struct MemberTraits<HRESULT (C::*)(A...)> {
    using Class = C;
    static constexpr std::size_t kArity = sizeof...(A);
    static constexpr VARTYPE kSignature[sizeof...(A) + 1] = {ArgBinder<A>::kType..., VT_EMPTY};
};

template <auto Method, class C, class... A, std::size_t... I>
HRESULT CallMember(C* object, CallFrame& f, std::index_sequence<I...>) {
    std::tuple<ArgBinder<A>...> binders;
    HRESULT hr = S_OK;
    ((hr = Succeeded(hr) ? std::get<I>(binders).Bind(f, I) : hr), ...);
    if (Failed(hr)) {
        return hr;
    }
    f.callResult = (object->*Method)(std::get<I>(binders).Get()...);
    (std::get<I>(binders).Finish(f, I), ...);
    return S_OK;
}

template <auto Method, class C, class... A>
HRESULT Dispatch(IDispatch* self, CallFrame& f, HRESULT (C::*)(A...)) {
    static_assert(std::is_base_of_v<IDispatch, C>, "the method must belong to a dual interface");
    return CallMember<Method, C, A...>(static_cast<C*>(self), f, std::index_sequence_for<A...>{});
}

template <auto Method>
HRESULT Thunk(IDispatch* self, CallFrame& f) {
    return Dispatch<Method>(self, f, Method);
}

// "&ITalvexScanner::OpenService" -> "OpenService".
constexpr std::string_view MemberName(std::string_view expression) {
    const std::size_t colon = expression.rfind(':');
    std::string_view name =
        colon == std::string_view::npos ? expression : expression.substr(colon + 1);
    while (!name.empty() && (name.back() == ' ' || name.back() == ')')) {
        name.remove_suffix(1);
    }
    while (!name.empty() && (name.front() == ' ' || name.front() == '&' || name.front() == '(')) {
        name.remove_prefix(1);
    }
    return name;
}

}  // namespace detail

template <auto Method>
constexpr DispatchMember MakeDispatchMember(std::string_view name) {
    using Traits = detail::MemberTraits<decltype(Method)>;
    return DispatchMember{name, &detail::Thunk<Method>, Traits::kSignature, Traits::kArity};
}

}  // namespace sorvex::com

// A table entry for a method, named as the member function is named.
#define SORVEX_METHOD(member) \
    ::sorvex::com::MakeDispatchMember<member>(::sorvex::com::detail::MemberName(#member))
// A table entry for a method whose type-library name differs from the C++ name.
#define SORVEX_METHOD_NAMED(name, member) ::sorvex::com::MakeDispatchMember<member>(name)
