#include "service/frame/strings.h"

#include <gtest/gtest.h>

#include "service/frame/errors.h"

namespace talvex {
namespace {

TEST(StringToNum, ReadsAsAStreamExtractionDoes) {
    struct Row {
        const char* text;
        std::int32_t value;
    };
    const Row rows[] = {
        {" 12abc", 12},
        {"0", 0},
        {"-1", -1},
        {"+7", 7},
        {"\t\r\n 3 4", 3},
        {"007", 7},
        {"4x", 4},
        {"2147483647", 2147483647},
        {"-2147483648", -2147483647 - 1},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(StringToNum(row.text), row.value) << row.text;
    }
}

TEST(StringToNum, RaisesStringErrorWhenNoNumberCanBeRead) {
    for (const char* text :
         {"", " ", "abc", "-", "+ 1", "2147483648", "-2147483649", "99999999999999999999"}) {
        try {
            StringToNum(text);
            ADD_FAILURE() << "no error for \"" << text << "\"";
        } catch (const StringError& e) {
            EXPECT_STREQ(e.what(), "StringToNum");
        }
    }
    // Not a TalvexError: the handlers for defaults must not catch it by accident.
    EXPECT_FALSE((std::is_base_of_v<TalvexError, StringError>));
}

TEST(StringToHex, RendersEveryByteAsTwoUpperCaseDigits) {
    EXPECT_EQ(StringToHex("abc"), "61 62 63");
    EXPECT_EQ(StringToHex(""), "");
    EXPECT_EQ(StringToHex(std::string("\0\xff\x0a", 3)), "00 FF 0A");
}

TEST(NumToString, WritesDecimal) {
    EXPECT_EQ(NumToString(0), "0");
    EXPECT_EQ(NumToString(-1008008), "-1008008");
}

}  // namespace
}  // namespace talvex
