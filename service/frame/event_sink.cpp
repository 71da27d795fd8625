#include "service/frame/event_sink.h"

#include "service/frame/errors.h"

namespace talvex {

namespace com = sorvex::com;

void CEventSink::Attach(com::IDispatch* dispatch) {
    m_Dispatch = dispatch;
    for (int i = 0; i < kCount; ++i) {
        m_Ids[i] = 0;
        if (dispatch == nullptr) {
            continue;
        }
        com::OLECHAR* name = const_cast<com::OLECHAR*>(kNames[i]);
        com::DISPID id = 0;
        if (com::Succeeded(dispatch->GetIDsOfNames(com::IID_NULL, &name, 1,
                                                   com::LOCALE_SYSTEM_DEFAULT, &id))) {
            m_Ids[i] = id;
        }
    }
}

void CEventSink::FireDataEvent(std::int32_t status) {
    if (m_Dispatch == nullptr) {
        throw OposEventError("Error firing Data event.");
    }
    com::VARIANT arg;
    arg.vt = com::VT_I4;
    arg.lVal = status;
    com::DISPPARAMS params;
    params.rgvarg = &arg;
    params.cArgs = 1;
    com::HRESULT hr = m_Dispatch->Invoke(m_Ids[kSOData], com::IID_NULL, com::LOCALE_USER_DEFAULT,
                                         com::DISPATCH_METHOD, &params, nullptr, nullptr, nullptr);
    if (com::Failed(hr)) {
        throw OposEventError("Error firing Data event.");
    }
}

void CEventSink::FireErrorEvent(std::int32_t resultCode, std::int32_t resultCodeExtended,
                                std::int32_t errorLocus, std::int32_t* errorResponse) {
    if (m_Dispatch == nullptr) {
        throw OposEventError("Error firing Error event.");
    }
    // Arguments go in reverse order: the last parameter (ErrorResponse) comes first.
    com::VARIANT args[4];
    args[0].vt = com::VT_I4 | com::VT_BYREF;
    args[0].plVal = errorResponse;
    args[1].vt = com::VT_I4;
    args[1].lVal = errorLocus;
    args[2].vt = com::VT_I4;
    args[2].lVal = resultCodeExtended;
    args[3].vt = com::VT_I4;
    args[3].lVal = resultCode;
    com::DISPPARAMS params;
    params.rgvarg = args;
    params.cArgs = 4;
    com::HRESULT hr = m_Dispatch->Invoke(m_Ids[kSOError], com::IID_NULL, com::LOCALE_USER_DEFAULT,
                                         com::DISPATCH_METHOD, &params, nullptr, nullptr, nullptr);
    if (com::Failed(hr)) {
        throw OposEventError("Error firing Error event.");
    }
}

}  // namespace talvex
