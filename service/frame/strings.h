// Decimal and hexadecimal renderings shared by every component.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace talvex {

// Decimal text of a number ("-12").
std::string NumToString(std::int64_t value);

// Reads a signed decimal integer as a formatted stream extraction does: leading white space is
// skipped, an optional sign, then digits up to the first character that cannot continue the
// number (" 12abc" reads as 12). Raises StringError "StringToNum" when no number can be read or
// it does not fit in 32 bits.
std::int32_t StringToNum(std::string_view text);

// Every byte as two upper-case hex digits, separated by single spaces ("61 62 63").
std::string StringToHex(std::string_view bytes);

}  // namespace talvex
