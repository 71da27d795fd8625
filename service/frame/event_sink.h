// The control object's callbacks. Records the control object's IDispatch (no reference is
// taken: the control object keeps itself alive until CloseService) and the member ids of its
// five callbacks, and calls "SOData" and "SOError" late-bound. Used on the object's thread.
#pragma once

#include <cstdint>

#include "platform/com/unknown.h"

namespace talvex {

class CEventSink {
  public:
    enum Callback { kSOData, kSODirectIO, kSOError, kSOStatusUpdate, kSOOutputComplete, kCount };
    static constexpr const char* kNames[kCount] = {"SOData", "SODirectIO", "SOError",
                                                   "SOStatusUpdate", "SOOutputComplete"};

    // Records the pointer and looks up the five names (a name the control object does not know
    // gets member id 0).
    void Attach(sorvex::com::IDispatch* dispatch);
    sorvex::com::IDispatch* Dispatch() const { return m_Dispatch; }
    sorvex::com::DISPID Id(Callback which) const { return m_Ids[which]; }

    // Raises OposEventError "Error firing Data event." when the call fails.
    void FireDataEvent(std::int32_t status);
    // ErrorResponse goes by reference: the control object may change *errorResponse. Raises
    // OposEventError "Error firing Error event." when the call fails.
    void FireErrorEvent(std::int32_t resultCode, std::int32_t resultCodeExtended,
                        std::int32_t errorLocus, std::int32_t* errorResponse);

  private:
    sorvex::com::IDispatch* m_Dispatch = nullptr;
    sorvex::com::DISPID m_Ids[kCount] = {};
};

}  // namespace talvex
