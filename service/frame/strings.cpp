#include "service/frame/strings.h"

#include <charconv>
#include <limits>

#include "service/frame/errors.h"

namespace talvex {

std::string NumToString(std::int64_t value) {
    char text[24];
    auto [end, ec] = std::to_chars(text, text + sizeof text, value);
    if (ec != std::errc()) {
        throw StringError("NumToString");
    }
    return std::string(text, end);
}

std::int32_t StringToNum(std::string_view text) {
    std::size_t i = 0;
    // The white space of the "C" locale, as the stream's extraction skips it.
    while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) {
        ++i;
    }
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    std::int64_t value = 0;
    std::size_t digits = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i, ++digits) {
        value = value * 10 + (text[i] - '0');
        if (value > std::int64_t{std::numeric_limits<std::int32_t>::max()} + 1) {
            throw StringError("StringToNum");
        }
    }
    if (digits == 0) {
        throw StringError("StringToNum");
    }
    if (negative) {
        value = -value;
    }
    if (value < std::numeric_limits<std::int32_t>::min() ||
        value > std::numeric_limits<std::int32_t>::max()) {
        throw StringError("StringToNum");
    }
    return static_cast<std::int32_t>(value);
}

std::string StringToHex(std::string_view bytes) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string text;
    if (bytes.empty()) {
        return text;
    }
    text.reserve(bytes.size() * 3 - 1);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i != 0) {
            text += ' ';
        }
        auto b = static_cast<unsigned char>(bytes[i]);
        text += kDigits[b >> 4];
        text += kDigits[b & 0x0F];
    }
    return text;
}

}  // namespace talvex
