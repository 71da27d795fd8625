#include "platform/hid/simulated_metadata.h"

#include <gtest/gtest.h>

namespace sorvex::hid {
namespace {

TEST(SimulatedMetadata, FormatThenParseGivesTheSameDevice) {
    SimulatedDeviceMetadata in{0xFF45, 0x4A00, 0x04B3, 0x0001, "Scanner = table-top"};
    std::optional<SimulatedDeviceMetadata> out =
        ParseSimulatedMetadata(FormatSimulatedMetadata(in));
    ASSERT_TRUE(out);
    EXPECT_EQ(out->usagePage, 0xFF45);
    EXPECT_EQ(out->usage, 0x4A00);
    EXPECT_EQ(out->vendorId, 0x04B3);
    EXPECT_EQ(out->productId, 0x0001);
    EXPECT_EQ(out->product, "Scanner = table-top");  // only the first '=' splits
}

TEST(SimulatedMetadata, ProductLineBreaksDoNotEscapeTheirLine) {
    SimulatedDeviceMetadata in{1, 2, 3, 4, "a\nusage=0x9999\rb"};
    std::optional<SimulatedDeviceMetadata> out =
        ParseSimulatedMetadata(FormatSimulatedMetadata(in));
    ASSERT_TRUE(out);
    EXPECT_EQ(out->usage, 2);
    EXPECT_EQ(out->product, "a usage=0x9999 b");
}

struct ParseRow {
    const char* name;
    std::string_view text;
    bool valid;
    std::uint16_t usage;  // when valid
};

class SimulatedMetadataParse : public testing::TestWithParam<ParseRow> {};

TEST_P(SimulatedMetadataParse, AcceptsOrRejects) {
    const ParseRow& row = GetParam();
    std::string error;
    std::optional<SimulatedDeviceMetadata> m = ParseSimulatedMetadata(row.text, &error);
    EXPECT_EQ(m.has_value(), row.valid) << error;
    if (m) {
        EXPECT_EQ(m->usage, row.usage);
    } else {
        EXPECT_FALSE(error.empty());
    }
}

#define BASE "usage_page=0xFF45\nvendor_id=1\nproduct_id=2\n"
using namespace std::literals;
const ParseRow kRows[] = {
    {"Minimal", "version=1\nusage=0x4A00\n" BASE ""sv, true, 0x4A00},
    {"Decimal", "version=1\nusage=19968\n" BASE ""sv, true, 0x4E00},
    {"BlanksCommentsCrlfAndUnknownKeys",
     "# made by hand\r\n\r\n  version = 1 \r\nusage=0x6e01\r\ncolour=blue\r\n" BASE ""sv, true,
     0x6E01},
    {"NoVersion", "usage=1\n" BASE ""sv, false, 0},
    {"FutureVersion", "version=2\nusage=1\n" BASE ""sv, false, 0},
    {"MissingUsage", "version=1\n" BASE ""sv, false, 0},
    {"UsageTooLarge", "version=1\nusage=0x10000\n" BASE ""sv, false, 0},
    {"NegativeNumber", "version=1\nusage=-1\n" BASE ""sv, false, 0},
    {"HexWithoutDigits", "version=1\nusage=0x\n" BASE ""sv, false, 0},
    {"TrailingGarbage", "version=1\nusage=12abc\n" BASE ""sv, false, 0},
    {"KeyTwice", "version=1\nusage=1\nusage=2\n" BASE ""sv, false, 0},
    {"LineWithoutEquals", "version=1\nusage=1\nnonsense\n" BASE ""sv, false, 0},
    {"EmptyKey", "version=1\nusage=1\n=5\n" BASE ""sv, false, 0},
    {"Empty", ""sv, false, 0},
    {"NulInsideValue", "version=1\nusage=1\0\n" BASE ""sv, false, 0},
};
#undef BASE

INSTANTIATE_TEST_SUITE_P(Rows, SimulatedMetadataParse, testing::ValuesIn(kRows),
                         [](const testing::TestParamInfo<ParseRow>& info) {
                             return std::string(info.param.name);
                         });

TEST(SimulatedMetadata, DeviceNames) {
    EXPECT_TRUE(IsValidSimulatedDeviceName("scanner-1_a.b"));
    EXPECT_TRUE(IsValidSimulatedDeviceName(std::string(64, 'x')));
    EXPECT_FALSE(IsValidSimulatedDeviceName(std::string(65, 'x')));
    EXPECT_FALSE(IsValidSimulatedDeviceName(""));
    EXPECT_FALSE(IsValidSimulatedDeviceName(".hidden"));
    EXPECT_FALSE(IsValidSimulatedDeviceName("a/b"));
    EXPECT_FALSE(IsValidSimulatedDeviceName("a b"));
    EXPECT_FALSE(IsValidSimulatedDeviceName(std::string("a\0b", 3)));
}

}  // namespace
}  // namespace sorvex::hid
