// GUIDs: class, interface and type library identifiers.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace sorvex::com {

struct GUID {
    std::uint32_t Data1 = 0;
    std::uint16_t Data2 = 0;
    std::uint16_t Data3 = 0;
    std::uint8_t Data4[8] = {};

    friend bool operator==(const GUID& a, const GUID& b) = default;
};
using IID = GUID;
using CLSID = GUID;

// "{00020400-0000-0000-C000-000000000046}": upper-case hex digits in braces.
std::string ToString(const GUID& guid);
// Accepts the form above with or without braces, any case; nullopt when malformed.
std::optional<GUID> ParseGuid(std::string_view text);

inline constexpr GUID IID_NULL{};
inline constexpr GUID IID_IUnknown{0x00000000, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
inline constexpr GUID IID_IDispatch{0x00020400, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
inline constexpr GUID IID_IClassFactory{0x00000001, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

}  // namespace sorvex::com
