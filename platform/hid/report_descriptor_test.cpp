// Replays the report descriptors in testdata/descriptors, one named test per file. Each file is
// hex bytes with '#' comment lines; the line "# expect: report_ids" or "# expect: no_report_ids"
// says what the parser must find.
#include "platform/hid/report_descriptor.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace sorvex::hid::detail {
namespace {

namespace fs = std::filesystem;

struct Fixture {
    std::string bytes;
    bool expectReportIds = false;
    bool hasExpectation = false;
};

Fixture Load(const fs::path& file) {
    Fixture fixture;
    std::ifstream in(file);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line[0] == '#') {
            if (line.find("expect: report_ids") != std::string::npos) {
                fixture.expectReportIds = true;
                fixture.hasExpectation = true;
            } else if (line.find("expect: no_report_ids") != std::string::npos) {
                fixture.hasExpectation = true;
            }
            continue;
        }
        std::istringstream words(line);
        std::string word;
        while (words >> word) {
            fixture.bytes.push_back(static_cast<char>(std::stoul(word, nullptr, 16)));
        }
    }
    return fixture;
}

std::vector<std::string> FixtureNames() {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(SORVEX_HID_DESCRIPTOR_DIR)) {
        if (entry.path().extension() == ".hex") {
            names.push_back(entry.path().stem().string());
        }
    }
    std::sort(names.begin(), names.end());
    return names;
}

class ReportDescriptorFixture : public testing::TestWithParam<std::string> {};

TEST_P(ReportDescriptorFixture, FindsReportIdsAsExpected) {
    Fixture fixture = Load(fs::path(SORVEX_HID_DESCRIPTOR_DIR) / (GetParam() + ".hex"));
    ASSERT_TRUE(fixture.hasExpectation) << "no '# expect:' line in " << GetParam();
    EXPECT_EQ(UsesReportIds(fixture.bytes), fixture.expectReportIds);
}

INSTANTIATE_TEST_SUITE_P(Descriptors, ReportDescriptorFixture, testing::ValuesIn(FixtureNames()),
                         [](const testing::TestParamInfo<std::string>& info) {
                             return info.param;
                         });

TEST(ReportDescriptor, LongItemRunningPastTheEndIsNotReadBeyondIt) {
    // Long item claiming 200 data bytes, then nothing: the parser must stop, not overrun.
    EXPECT_FALSE(UsesReportIds(std::string("\xFE\xC8\x10\x85\x01", 5)));
    EXPECT_FALSE(UsesReportIds(std::string("\xFE", 1)));
    EXPECT_FALSE(UsesReportIds(std::string("\xFE\x00", 2)));
}

TEST(ReportDescriptor, ReportIdWithoutDataDoesNotCount) {
    // Prefix 0x84 is a Report ID item of size 0, which carries no id.
    EXPECT_FALSE(UsesReportIds(std::string("\x05\x01\x84\xC0", 4)));
}

}  // namespace
}  // namespace sorvex::hid::detail
