// Automation strings. A BSTR points at the first character of a block that starts with a 32-bit
// byte count and ends with a terminating zero that is not counted. Characters are 8-bit and
// may hold any byte, 0 included, so the count (not the terminator) gives the length. A null
// BSTR is the empty string.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace sorvex::com {

using OLECHAR = char;
using BSTR = OLECHAR*;

// Copies up to the first zero byte. Null in, null out.
BSTR SysAllocString(const OLECHAR* text);
// Copies `length` bytes (any values); a null `text` gives `length` zero bytes.
BSTR SysAllocStringLen(const OLECHAR* text, std::uint32_t length);
void SysFreeString(BSTR text);
std::uint32_t SysStringLen(BSTR text);
// Replaces *target with a copy of the bytes (freeing the previous string).
void SysReAllocString(BSTR* target, std::string_view text);

inline BSTR AllocBstr(std::string_view text) {
    return SysAllocStringLen(text.data(), static_cast<std::uint32_t>(text.size()));
}
inline std::string_view BstrView(BSTR text) {
    return text == nullptr ? std::string_view() : std::string_view(text, SysStringLen(text));
}
inline std::string BstrToString(BSTR text) {
    return std::string(BstrView(text));
}

// Owns one BSTR.
class Bstr {
  public:
    Bstr() = default;
    explicit Bstr(std::string_view text) : m_Text(AllocBstr(text)) {}
    ~Bstr() { SysFreeString(m_Text); }
    Bstr(Bstr&& other) noexcept : m_Text(other.m_Text) { other.m_Text = nullptr; }
    Bstr& operator=(Bstr&& other) noexcept {
        if (this != &other) {
            SysFreeString(m_Text);
            m_Text = other.m_Text;
            other.m_Text = nullptr;
        }
        return *this;
    }
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;

    BSTR get() const { return m_Text; }
    // For out parameters: frees what is held and hands out the slot.
    BSTR* out() {
        SysFreeString(m_Text);
        m_Text = nullptr;
        return &m_Text;
    }
    BSTR release() {
        BSTR t = m_Text;
        m_Text = nullptr;
        return t;
    }
    std::string_view view() const { return BstrView(m_Text); }
    std::string str() const { return std::string(view()); }

  private:
    BSTR m_Text = nullptr;
};

}  // namespace sorvex::com
