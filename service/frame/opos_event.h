// One queued OPOS event.
#pragma once

#include <cstdint>
#include <string>

#include "service/frame/errors.h"

namespace talvex {

inline constexpr std::int32_t kEventData = 1;
inline constexpr std::int32_t kEventStatus = 2;
inline constexpr std::int32_t kEventError = 4;
inline constexpr std::int32_t kEventOutput = 8;
inline constexpr std::int32_t kEventDirectIO = 16;
// Never queued: tells the device to disable itself now (auto-disable).
inline constexpr std::int32_t kEventDisable = -1;

class OposEvent {
  public:
    OposEvent() = default;

    // A data event: the decoder kind (or a scale's weight) and the raw bytes received.
    static OposEvent Data(std::int32_t dataKind, std::string data) {
        OposEvent e;
        e.m_Type = kEventData;
        e.m_Param1 = dataKind;
        e.m_Data = std::move(data);
        return e;
    }
    static OposEvent Error(std::int32_t resultCode, std::int32_t resultCodeExtended,
                           std::int32_t errorLocus) {
        OposEvent e;
        e.m_Type = kEventError;
        e.m_Param1 = resultCode;
        e.m_Param2 = resultCodeExtended;
        e.m_Param3 = errorLocus;
        return e;
    }
    static OposEvent OfType(std::int32_t type) {
        OposEvent e;
        e.m_Type = type;
        return e;
    }

    std::int32_t Type() const { return m_Type; }

    // Data events only; otherwise OposEventError "Invalid Data Event".
    std::int32_t DataKind() const {
        RequireType(kEventData, "Invalid Data Event");
        return m_Param1;
    }
    const std::string& Data() const {
        RequireType(kEventData, "Invalid Data Event");
        return m_Data;
    }
    // Error events only; otherwise OposEventError "Invalid Error Event".
    std::int32_t ResultCode() const {
        RequireType(kEventError, "Invalid Error Event");
        return m_Param1;
    }
    std::int32_t ResultCodeExtended() const {
        RequireType(kEventError, "Invalid Error Event");
        return m_Param2;
    }
    std::int32_t ErrorLocus() const {
        RequireType(kEventError, "Invalid Error Event");
        return m_Param3;
    }

  private:
    void RequireType(std::int32_t type, const char* message) const {
        if (m_Type != type) {
            throw OposEventError(message);
        }
    }

    std::int32_t m_Type = 0;
    std::int32_t m_Param1 = 0;
    std::int32_t m_Param2 = 0;
    std::int32_t m_Param3 = 0;
    std::string m_Data;
};

}  // namespace talvex
