#include "service/scale/scale_protocol.h"

#include <gtest/gtest.h>

namespace talvex::scale {
namespace {

using namespace std::string_literals;

// F8, the text, F1.
std::string Frame(const std::string& body) {
    return "\xF8" + body + "\xF1";
}

TEST(ScaleProtocol, CommandsAreTheSevenByteFramesAndSixByteReports) {
    struct Row {
        Command command;
        std::string serial;
        std::string usb;
    };
    const Row rows[] = {
        {Command::WeightPounds, "\xF8\x01\x00\x00\x00\x00\xF1"s, "\x00\x01\x00\x00\x00\x00"s},
        {Command::WeightKilograms, "\xF8\x02\x00\x00\x00\x00\xF1"s, "\x00\x02\x00\x00\x00\x00"s},
        {Command::Zero, "\xF8\x03\x00\x00\x00\x00\xF1"s, "\x00\x03\x00\x00\x00\x00"s},
        {Command::Status, "\xF8\x00\x20\x00\x00\x00\xF1"s, "\x00\x00\x20\x00\x00\x00"s},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(SerialCommand(row.command), row.serial);
        EXPECT_EQ(UsbCommand(row.command), row.usb);
    }
}

TEST(ScaleProtocol, SerialRepliesCarryStatusAsDecimalDigitPairs) {
    struct Row {
        const char* name;
        std::string frame;
        bool parsed;
        std::string status;
        std::string digits;
    };
    const Row rows[] = {
        {"four digits", Frame("0000001234"), true, "\0\0\0"s, "1234"},
        {"five digits", Frame("00000012345"), true, "\0\0\0"s, "12345"},
        {"status only", Frame("000512"), true, "\x00\x05\x0C"s, ""},
        // Only the low four bits of each digit character count.
        {"high bits ignored", "\xF8\x70\x30\xF0\x34\x31\x32\xF1"s, true, "\x00\x04\x0C"s, ""},
        {"seven bytes", Frame("00000"), true, "\x00\x00\x01"s, ""},
        {"six bytes", Frame("0000"), false, "", ""},
        {"empty", "", false, "", ""},
    };
    for (const Row& row : rows) {
        auto reply = ParseSerialReply(row.frame);
        ASSERT_EQ(reply.has_value(), row.parsed) << row.name;
        if (reply) {
            EXPECT_EQ(reply->status, row.status) << row.name;
            EXPECT_EQ(reply->digits, row.digits) << row.name;
        }
    }
}

TEST(ScaleProtocol, UsbReportsHoldTwoOrThreeStatusBytes) {
    struct Row {
        const char* name;
        std::string report;
        bool parsed;
        int statusLength;
        std::string status;
        std::string digits;
    };
    const Row rows[] = {
        {"weight", "\x00\x04\x00\x00\x01\x02\x03\x04\x05"s, true, 3, "\x04\x00\x00"s,
         "\x01\x02\x03\x04\x05"s},
        {"status only", "\x00\x04\x01\x08"s, true, 3, "\x04\x01\x08"s, ""},
        {"two status bytes", "\x00\x00\x04\x01\x02"s, true, 2, "\x00\x04"s, ""},
        {"short three-byte status", "\x00\x04\x01"s, true, 3, "\x04\x01"s, ""},
        {"report id only", "\x00"s, false, 0, "", ""},
        {"nothing", "", false, 0, "", ""},
    };
    for (const Row& row : rows) {
        auto usb = ParseUsbReport(row.report);
        ASSERT_EQ(usb.has_value(), row.parsed) << row.name;
        if (usb) {
            EXPECT_EQ(usb->statusLength, row.statusLength) << row.name;
            EXPECT_EQ(usb->reply.status, row.status) << row.name;
            EXPECT_EQ(usb->reply.digits, row.digits) << row.name;
        }
    }
}

TEST(ScaleProtocol, StatusFlagsAreTwoWhenTheirByteIsMissing) {
    StatusFlags f = FlagsOf("\x00\x05\x0C"s);
    EXPECT_EQ(f.motion, 1);
    EXPECT_EQ(f.zero, 1);
    EXPECT_EQ(f.over, 1);
    f = FlagsOf("\x00\x00"s);
    EXPECT_EQ(f.motion, 0);
    EXPECT_EQ(f.zero, 2);
    EXPECT_EQ(f.over, 2);
    f = FlagsOf(""s);
    EXPECT_EQ(f.motion, 2);
    EXPECT_EQ(KilogramsOf("\x00\x01\x00"s), std::optional<bool>(true));
    EXPECT_EQ(KilogramsOf("\x00\x04\x00"s), std::optional<bool>(false));
    EXPECT_EQ(KilogramsOf("\x00"s), std::nullopt);
}

TEST(ScaleProtocol, WeightDigitsReadAsThousandths) {
    struct Row {
        std::string digits;
        std::optional<std::int32_t> weight;
    };
    const Row rows[] = {
        {"1234", 12340},
        {"12345", 12345},
        {"\x01\x02\x03\x04\x05"s, 12345},  // raw values, as a USB scale sends them
        {"\x00\x00\x00\x00"s, 0},
        {"7", 7},
        {"999999999", 999999999},
        {"1234567890", std::nullopt},  // would not fit
        {"12:4", std::nullopt},        // 0x0A | 0x30 is no digit
        {"\xFF\x31"s, std::nullopt},
        {"", std::nullopt},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(DecodeWeight(row.digits), row.weight) << row.digits;
    }
}

TEST(ScaleProtocol, DecisionTable) {
    constexpr int kRetry = 0, kDeliver = 1, kOver = 2;
    struct Row {
        const char* name;
        std::string status;
        std::string digits;
        int zeroWeightReject;
        bool async;
        int outcome;
        std::int32_t weight;
    };
    const Row rows[] = {
        {"stable weight", "\x00\x00\x00"s, "12345", 0, false, kDeliver, 12345},
        {"motion", "\x00\x04\x00"s, "12345", 0, false, kRetry, 0},
        {"centre of zero accepted", "\x00\x00\x08"s, "00000", 0, false, kDeliver, 0},
        {"centre of zero in motion", "\x00\x04\x08"s, "00000", 0, false, kDeliver, 0},
        {"centre of zero rejected", "\x00\x00\x08"s, "00000", 1, false, kRetry, 0},
        {"centre of zero rejected by 2", "\x00\x00\x08"s, "00000", 2, false, kRetry, 0},
        {"zero digits rejected", "\x00\x00\x00"s, "00000", 1, false, kRetry, 0},
        {"zero digits accepted by 2", "\x00\x00\x00"s, "00000", 2, false, kDeliver, 0},
        {"over capacity synchronous", "\x00\x04\x04"s, "99999", 0, false, kOver, 0},
        {"over capacity asynchronous", "\x00\x04\x04"s, "99999", 0, true, kRetry, 0},
        {"over bit without motion", "\x00\x00\x04"s, "01000", 0, false, kDeliver, 1000},
        {"undecodable digits", "\x00\x00\x00"s, "1;2", 0, false, kRetry, 0},
        {"status too short", "\x00"s, "12345", 0, false, kRetry, 0},
        {"two status bytes", "\x00\x00"s, "12345", 0, false, kDeliver, 12345},
    };
    for (const Row& row : rows) {
        Decision d = Decide(FlagsOf(row.status), row.digits, row.zeroWeightReject, row.async);
        int outcome = d.outcome == Outcome::Retry     ? kRetry
                      : d.outcome == Outcome::Deliver ? kDeliver
                                                      : kOver;
        EXPECT_EQ(outcome, row.outcome) << row.name;
        EXPECT_EQ(d.weight, row.weight) << row.name;
    }
    EXPECT_TRUE(Decide(FlagsOf("\x00\x00\x00"s), "1;2", 0, false).undecodable);
}

}  // namespace
}  // namespace talvex::scale
