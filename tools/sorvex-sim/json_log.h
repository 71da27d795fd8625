// The simulator's output: one JSON object per line on standard output, each with "t", the
// seconds since the simulator started. Byte strings are written twice: "hex" (upper-case digits
// separated by spaces) and "text" (every byte as one character; bytes outside printable ASCII
// as \u00XX, so the text maps back to the exact bytes).
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace sorvex::sim {

// A JSON string literal (with the quotes) for the bytes, each byte one character.
std::string JsonString(std::string_view bytes);
std::string HexBytes(std::string_view bytes);
// Parses "02 41 03", "024103" or "02,41,03"; false on anything else.
bool ParseHex(std::string_view text, std::string& bytes);

class JsonLog {
  public:
    // A field of an event: name and already-encoded JSON value.
    using Field = std::pair<std::string, std::string>;

    JsonLog();
    void Event(std::string_view name, const std::vector<Field>& fields = {});
    // The bytes as "hex" and "text" fields of an event.
    void Bytes(std::string_view name, std::string_view bytes, std::vector<Field> fields = {});
    void Error(std::string_view message);

    static std::string Number(std::int64_t value) { return std::to_string(value); }
    static std::string Text(std::string_view text) { return JsonString(text); }
    static std::string Bool(bool value) { return value ? "true" : "false"; }

  private:
    std::mutex m_Lock;
    std::chrono::steady_clock::time_point m_Start;
};

}  // namespace sorvex::sim
