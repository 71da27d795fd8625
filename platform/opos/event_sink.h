// The control object's own IDispatch, which it hands to the service object in OpenService: the
// service object finds "SOData", "SODirectIO", "SOError", "SOStatusUpdate" and
// "SOOutputComplete" by name and calls them through Invoke on the control object's thread. The
// interface is answered from the type library embedded in libsorvex-opos.so (never
// registered).
//
// The sink is reference counted on its own and outlives the control object when a service
// object still holds it; it reaches the control object through a weak pointer, so a callback
// for a control object that is gone does nothing. Each callback runs inside a CallbackScope
// and keeps the control object alive until it returns.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "opos_events_typelib.h"
#include "platform/com/dispatch.h"
#include "platform/com/unknown.h"

namespace sorvex::opos_impl {

// What the sink forwards to (the control object's core). Called on the thread the service
// object calls on; each answers S_OK, or a failure when the call came on a foreign thread.
class EventReceiver {
  public:
    virtual com::HRESULT OnData(std::int32_t status) = 0;
    virtual com::HRESULT OnDirectIO(std::int32_t eventNumber, std::int32_t* data,
                                    com::BSTR* string) = 0;
    virtual com::HRESULT OnError(std::int32_t resultCode, std::int32_t resultCodeExtended,
                                 std::int32_t errorLocus, std::int32_t* errorResponse) = 0;
    virtual com::HRESULT OnStatusUpdate(std::int32_t data) = 0;

  protected:
    ~EventReceiver() = default;
};

class EventSink;
extern constinit com::TypeInfoHolder g_OposEventsTypeInfo;

class EventSink final : public com::DualDispatch<IOposEvents, g_OposEventsTypeInfo> {
  public:
    // A new sink holding one reference for the caller.
    static com::ComPtr<EventSink> Create(std::weak_ptr<EventReceiver> receiver);

    com::HRESULT QueryInterface(const com::IID& iid, void** object) override;
    std::uint32_t AddRef() override;
    std::uint32_t Release() override;

    com::HRESULT SOData(std::int32_t Status) override;
    com::HRESULT SODirectIO(std::int32_t EventNumber, std::int32_t* pData,
                            com::BSTR* pString) override;
    com::HRESULT SOError(std::int32_t ResultCode, std::int32_t ResultCodeExtended,
                         std::int32_t ErrorLocus, std::int32_t* pErrorResponse) override;
    com::HRESULT SOStatusUpdate(std::int32_t Data) override;
    // Neither scanners nor scales have output; answered and ignored.
    com::HRESULT SOOutputComplete(std::int32_t OutputID) override;

  private:
    explicit EventSink(std::weak_ptr<EventReceiver> receiver) : m_Receiver(std::move(receiver)) {}
    ~EventSink() = default;

    std::atomic<std::uint32_t> m_Refs{1};
    const std::weak_ptr<EventReceiver> m_Receiver;
};

}  // namespace sorvex::opos_impl
