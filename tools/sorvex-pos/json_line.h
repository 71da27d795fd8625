// One JSON object per line, as sorvex-pos prints every event and result. Keys keep the order
// they were added in. Texts are byte strings: each byte becomes one JSON character, so any byte
// survives ("\u00XX" for bytes outside printable ASCII, also 0x00 and 0x80-0xFF).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace sorvex::pos {

// The JSON string literal (with its quotes) of the bytes.
std::string JsonString(std::string_view bytes);

class JsonLine {
  public:
    JsonLine& Add(std::string_view key, std::string_view text);
    JsonLine& Add(std::string_view key, const char* text) {
        return Add(key, std::string_view(text));
    }
    JsonLine& Add(std::string_view key, std::int64_t number);
    JsonLine& Add(std::string_view key, std::int32_t number) {
        return Add(key, static_cast<std::int64_t>(number));
    }
    JsonLine& Add(std::string_view key, bool flag);
    // The fields of `other`, after these.
    JsonLine& Append(const JsonLine& other);
    // The object, without a line end.
    std::string str() const { return "{" + m_Body + "}"; }

  private:
    void Key(std::string_view key);
    std::string m_Body;
};

}  // namespace sorvex::pos
