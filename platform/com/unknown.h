// The base interfaces, as pure-virtual classes in COM's slot order. Objects are reference
// counted: AddRef and Release, never delete. Destructors are protected and non-virtual so that
// the first slot is QueryInterface, as on every COM interface.
#pragma once

#include <atomic>
#include <cstdint>
#include <initializer_list>

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

// QueryInterface of an object reached through the one interface pointer `self` for each of
// `answers`: hands out `self` with a reference of its own; E_NOINTERFACE for anything else.
template <class Interface>
HRESULT QueryInterfaceFor(Interface* self, const IID& iid, void** object,
                          std::initializer_list<IID> answers) {
    if (object == nullptr) {
        return E_POINTER;
    }
    for (const IID& answer : answers) {
        if (iid == answer) {
            *object = self;
            self->AddRef();
            return S_OK;
        }
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

// AddRef and Release of an object created with new, deleted with its last reference. The
// virtual destructor comes after the interface's slots, so the interface's layout is kept.
template <class Interface>
class RefCounted : public Interface {
  public:
    std::uint32_t AddRef() override { return m_Refs.fetch_add(1, std::memory_order_relaxed) + 1; }
    std::uint32_t Release() override {
        const std::uint32_t left = m_Refs.fetch_sub(1, std::memory_order_acq_rel) - 1;
        if (left == 0) {
            delete this;
        }
        return left;
    }

  protected:
    explicit RefCounted(std::uint32_t initial = 0) : m_Refs(initial) {}
    virtual ~RefCounted() = default;

  private:
    std::atomic<std::uint32_t> m_Refs;
};

}  // namespace sorvex::com
