// The working part of a control object (OposScanner, OposScale): opening a profile, creating
// the service object, calling it late-bound, answering its callbacks and keeping ResultCode.
//
// Threads: a core belongs to the thread that constructed it (the apartment it joined). Every
// member runs on that thread; a call from another thread is refused (OnOwnerThread) and changes
// nothing. The service object calls the callbacks on that thread too.
//
// ResultCode. The service object hands out its ResultCode and ResultCodeExtended once (reading
// one resets both), so the core keeps what it knows itself:
//   - after a method: the method's result (read locally); ResultCodeExtended from the service
//     object;
//   - after a property access: nothing kept; both are read from the service object;
//   - after a call the core answered itself (closed, missing method, failed Invoke, wrong
//     state of Open): that code, extended 0.
// While closed, ResultCode is the result of the last call (OPOS_E_CLOSED before any).
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <thread>

#include "platform/com/unknown.h"
#include "platform/com/variant.h"
#include "platform/opos/event_sink.h"
#include "platform/opos/service_methods.h"
#include "sorvex/opos.h"

namespace sorvex::opos_impl {

enum class DeviceKind { Scanner, Scale };

inline constexpr std::int32_t kControlObjectVersion = 1008000;  // 1.8.0

class ControlCore : public EventReceiver, public std::enable_shared_from_this<ControlCore> {
  public:
    // Joins the calling thread to the apartment. Throws std::runtime_error when it cannot.
    explicit ControlCore(DeviceKind kind);
    // Closes an open device, releases the service object (after the running callbacks, when
    // inside one) and leaves the apartment.
    virtual ~ControlCore();
    ControlCore(const ControlCore&) = delete;
    ControlCore& operator=(const ControlCore&) = delete;

    // Creates the callback object; call once right after construction through a shared_ptr.
    void Start();
    // The public object goes: no handler is called any more, an open device is closed.
    void Shutdown();

    // False (and nothing changed) on a foreign thread.
    bool OnOwnerThread() const { return std::this_thread::get_id() == m_Owner; }

    std::int32_t Open(std::string_view deviceName);
    std::int32_t Close();
    std::int32_t FreezeControlEvents(bool freeze);

    // A method of the service object whose retval is its result code. `args` is in Invoke's
    // order (last argument first).
    std::int32_t CallResult(ServiceMethod method, std::span<com::VARIANT> args);
    // The common short forms.
    std::int32_t CallResult(ServiceMethod method);
    std::int32_t CallResult(ServiceMethod method, std::int32_t number);
    std::int32_t CallResult(ServiceMethod method, std::string_view text);

    std::int32_t GetNumber(std::int32_t index);
    bool GetBool(std::int32_t index) { return GetNumber(index) != 0; }
    std::string GetString(std::int32_t index);
    void SetNumber(std::int32_t index, std::int32_t value);
    void SetBool(std::int32_t index, bool on) { SetNumber(index, on ? 1 : 0); }
    // GetSalesPrice / GetUnitPrice / SetUnitPrice.
    std::int64_t GetCurrency(ServiceMethod method);
    void SetCurrency(ServiceMethod method, std::int64_t value);

    std::int32_t ResultCode();
    std::int32_t ResultCodeExtended();
    std::int32_t State();
    std::int32_t OpenResult() const { return m_OpenResult; }
    const std::string& ErrorDetail() const { return m_ErrorDetail; }
    std::string ControlObjectDescription() const;

    opos::DataEventHandler onData;
    opos::ErrorEventHandler onError;
    opos::DirectIOEventHandler onDirectIO;
    opos::StatusUpdateEventHandler onStatusUpdate;

    // EventReceiver.
    com::HRESULT OnData(std::int32_t status) override;
    com::HRESULT OnDirectIO(std::int32_t eventNumber, std::int32_t* data,
                            com::BSTR* string) override;
    com::HRESULT OnError(std::int32_t resultCode, std::int32_t resultCodeExtended,
                         std::int32_t errorLocus, std::int32_t* errorResponse) override;
    com::HRESULT OnStatusUpdate(std::int32_t data) override;

  private:
    struct Kept {
        bool valid = false;
        std::int32_t code = opos::OPOS_E_CLOSED;
        bool extendedKnown = true;
        std::int32_t extended = 0;
    };

    const char* ClassName() const;
    // The core answers a call itself: keeps `code` (extended 0) and the detail; answers code.
    std::int32_t Answer(std::int32_t code, std::string detail = {});
    // Open failed: records the open result and the detail, releases `so` when given.
    std::int32_t FailOpen(std::int32_t openResult, std::int32_t code, std::string detail);
    // Invoke on the service object, holding a reference across the call. Failures set the
    // detail (method, HRESULT) and answer the HRESULT.
    com::HRESULT Invoke(ServiceMethod method, std::span<com::VARIANT> args, com::VARIANT* result);
    com::HRESULT Invoke(const com::ComPtr<com::IDispatch>& so, com::DISPID id, const char* name,
                        std::span<com::VARIANT> args, com::VARIANT* result);
    // Drops the service object: the release waits while a callback runs.
    void ReleaseService();
    bool Has(ServiceMethod method) const;

    const DeviceKind m_Kind;
    const std::thread::id m_Owner;
    bool m_JoinedApartment = false;
    com::ComPtr<EventSink> m_Sink;
    com::ComPtr<com::IDispatch> m_Service;  // set while open
    com::DISPID m_Ids[kServiceMethodCount];
    bool m_Open = false;
    std::int32_t m_OpenResult = 0;
    int m_ControlFreeze = 0;
    Kept m_Kept;
    std::string m_ErrorDetail;
};

}  // namespace sorvex::opos_impl
