#include "platform/opos/event_sink.h"

#include <utility>

#include "platform/opos/thread_state.h"

namespace sorvex::opos_impl {

constinit com::TypeInfoHolder g_OposEventsTypeInfo(com::EmbeddedTypeLib{}, IID_IOposEvents,
                                                   IOposEvents_DispatchMembers);

com::ComPtr<EventSink> EventSink::Create(std::weak_ptr<EventReceiver> receiver) {
    return com::ComPtr<EventSink>::Attach(new EventSink(std::move(receiver)));
}

com::HRESULT EventSink::QueryInterface(const com::IID& iid, void** object) {
    return com::QueryInterfaceFor(static_cast<IOposEvents*>(this), iid, object,
                                  {com::IID_IUnknown, com::IID_IDispatch, IID_IOposEvents});
}

std::uint32_t EventSink::AddRef() {
    return m_Refs.fetch_add(1, std::memory_order_relaxed) + 1;
}

std::uint32_t EventSink::Release() {
    const std::uint32_t left = m_Refs.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (left == 0) {
        delete this;
    }
    return left;
}

// Each callback keeps the receiver alive and marks the thread as inside a callback, so that
// what the handler does to its control object (Close, destruction) is safe.
com::HRESULT EventSink::SOData(std::int32_t Status) {
    CallbackScope scope;  // outlives `receiver`: a last reference dropped here defers releases
    std::shared_ptr<EventReceiver> receiver = m_Receiver.lock();
    if (!receiver) {
        return com::S_OK;  // the control object is gone: nobody to tell
    }
    return receiver->OnData(Status);
}

com::HRESULT EventSink::SODirectIO(std::int32_t EventNumber, std::int32_t* pData,
                                   com::BSTR* pString) {
    CallbackScope scope;
    std::shared_ptr<EventReceiver> receiver = m_Receiver.lock();
    if (!receiver) {
        return com::S_OK;
    }
    return receiver->OnDirectIO(EventNumber, pData, pString);
}

com::HRESULT EventSink::SOError(std::int32_t ResultCode, std::int32_t ResultCodeExtended,
                                std::int32_t ErrorLocus, std::int32_t* pErrorResponse) {
    CallbackScope scope;
    std::shared_ptr<EventReceiver> receiver = m_Receiver.lock();
    if (!receiver) {
        return com::S_OK;
    }
    return receiver->OnError(ResultCode, ResultCodeExtended, ErrorLocus, pErrorResponse);
}

com::HRESULT EventSink::SOStatusUpdate(std::int32_t Data) {
    CallbackScope scope;
    std::shared_ptr<EventReceiver> receiver = m_Receiver.lock();
    if (!receiver) {
        return com::S_OK;
    }
    return receiver->OnStatusUpdate(Data);
}

com::HRESULT EventSink::SOOutputComplete(std::int32_t) {
    return com::S_OK;
}

}  // namespace sorvex::opos_impl
