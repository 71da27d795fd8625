#include "service/frame/fake_control_object.h"

#include <strings.h>

namespace talvex::test {

namespace com = sorvex::com;

FakeControlObject::FakeControlObject(std::vector<std::string> names) : m_Names(std::move(names)) {}

com::HRESULT FakeControlObject::QueryInterface(const com::IID& iid, void** object) {
    if (iid == com::IID_IUnknown || iid == com::IID_IDispatch) {
        *object = static_cast<com::IDispatch*>(this);
        return com::S_OK;
    }
    *object = nullptr;
    return com::E_NOINTERFACE;
}

com::HRESULT FakeControlObject::GetTypeInfoCount(std::uint32_t* count) {
    *count = 0;
    return com::S_OK;
}

com::HRESULT FakeControlObject::GetTypeInfo(std::uint32_t, com::LCID, com::ITypeInfo**) {
    return com::E_NOTIMPL;
}

com::HRESULT FakeControlObject::GetIDsOfNames(const com::IID&, com::OLECHAR** names,
                                              std::uint32_t count, com::LCID, com::DISPID* ids) {
    com::HRESULT hr = com::S_OK;
    for (std::uint32_t i = 0; i < count; ++i) {
        ids[i] = com::DISPID_UNKNOWN;
        for (std::size_t n = 0; n < m_Names.size(); ++n) {
            if (::strcasecmp(m_Names[n].c_str(), names[i]) == 0) {
                ids[i] = static_cast<com::DISPID>(n + 1);
            }
        }
        if (ids[i] == com::DISPID_UNKNOWN) {
            hr = com::DISP_E_UNKNOWNNAME;
        }
    }
    return hr;
}

com::HRESULT FakeControlObject::Invoke(com::DISPID member, const com::IID&, com::LCID,
                                       std::uint16_t flags, com::DISPPARAMS* params, com::VARIANT*,
                                       com::EXCEPINFO*, std::uint32_t*) {
    ++invokeAttempts;
    if (failInvoke || member < 1 || static_cast<std::size_t>(member) > m_Names.size() ||
        flags != com::DISPATCH_METHOD) {
        return com::DISP_E_MEMBERNOTFOUND;
    }
    Call call;
    call.name = m_Names[static_cast<std::size_t>(member - 1)];
    call.thread = std::this_thread::get_id();
    for (std::uint32_t i = params->cArgs; i-- > 0;) {
        const com::VARIANT& v = params->rgvarg[i];
        if (v.vt == com::VT_I4) {
            call.args.push_back(v.lVal);
        } else if (v.vt == (com::VT_I4 | com::VT_BYREF)) {
            call.args.push_back(*v.plVal);
            if (errorResponse >= 0) {
                *v.plVal = errorResponse;
            }
        } else {
            return com::DISP_E_TYPEMISMATCH;
        }
    }
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        m_Calls.push_back(call);
    }
    if (onCall) {
        onCall(call);
    }
    return com::S_OK;
}

std::vector<FakeControlObject::Call> FakeControlObject::Calls() const {
    std::lock_guard<std::mutex> lock(m_Lock);
    return m_Calls;
}

std::size_t FakeControlObject::CountOf(const std::string& name) const {
    std::lock_guard<std::mutex> lock(m_Lock);
    std::size_t n = 0;
    for (const Call& c : m_Calls) {
        n += c.name == name ? 1 : 0;
    }
    return n;
}

}  // namespace talvex::test
