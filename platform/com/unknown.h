// The base interfaces, as pure-virtual classes in COM's slot order. Objects are reference
// counted: AddRef and Release, never delete. Destructors are protected and non-virtual so that
// the first slot is QueryInterface, as on every COM interface.
#pragma once

#include <cstdint>

#include "platform/com/guid.h"
#include "platform/com/hresult.h"
#include "platform/com/variant.h"

namespace sorvex::com {

class ITypeInfo;

class IUnknown {
  public:
    virtual HRESULT QueryInterface(const IID& iid, void** object) = 0;
    virtual std::uint32_t AddRef() = 0;
    virtual std::uint32_t Release() = 0;

  protected:
    ~IUnknown() = default;
};

class IDispatch : public IUnknown {
  public:
    virtual HRESULT GetTypeInfoCount(std::uint32_t* count) = 0;
    virtual HRESULT GetTypeInfo(std::uint32_t index, LCID lcid, ITypeInfo** info) = 0;
    virtual HRESULT GetIDsOfNames(const IID& iid, OLECHAR** names, std::uint32_t count, LCID lcid,
                                  DISPID* dispids) = 0;
    virtual HRESULT Invoke(DISPID member, const IID& iid, LCID lcid, std::uint16_t flags,
                           DISPPARAMS* params, VARIANT* result, EXCEPINFO* exception,
                           std::uint32_t* argError) = 0;

  protected:
    ~IDispatch() = default;
};

class IClassFactory : public IUnknown {
  public:
    virtual HRESULT CreateInstance(IUnknown* outer, const IID& iid, void** object) = 0;
    virtual HRESULT LockServer(std::int32_t lock) = 0;

  protected:
    ~IClassFactory() = default;
};

// Holds one reference to an interface.
template <class T>
class ComPtr {
  public:
    ComPtr() = default;
    // Takes over a reference the caller already owns.
    static ComPtr Attach(T* p) {
        ComPtr c;
        c.m_P = p;
        return c;
    }
    // Adds a reference of its own.
    explicit ComPtr(T* p) : m_P(p) {
        if (m_P != nullptr) {
            m_P->AddRef();
        }
    }
    ComPtr(const ComPtr& o) : ComPtr(o.m_P) {}
    ComPtr(ComPtr&& o) noexcept : m_P(o.m_P) { o.m_P = nullptr; }
    ComPtr& operator=(ComPtr o) noexcept {
        T* old = m_P;
        m_P = o.m_P;
        o.m_P = old;
        return *this;
    }
    ~ComPtr() { Reset(); }

    void Reset() {
        if (m_P != nullptr) {
            T* p = m_P;
            m_P = nullptr;
            p->Release();
        }
    }
    T* get() const { return m_P; }
    T* operator->() const { return m_P; }
    explicit operator bool() const { return m_P != nullptr; }
    // For out parameters of type T**: releases what is held first.
    T** out() {
        Reset();
        return &m_P;
    }
    void** outVoid() { return reinterpret_cast<void**>(out()); }
    T* Detach() {
        T* p = m_P;
        m_P = nullptr;
        return p;
    }

  private:
    T* m_P = nullptr;
};

}  // namespace sorvex::com
