#include "tools/sorvex-sim/models/scanner_single_cable.h"

#include <gtest/gtest.h>

#include "tools/sorvex-sim/models/scanner_frames.h"
#include "tools/sorvex-sim/models/scanner_test_host.h"

namespace sorvex::sim {
namespace {

using test::MakeModel;
using test::RecordingHost;
using test::Words;

TEST(SingleCableFramer, CutsScannerAndScaleFramesAcrossChunks) {
    SingleCableFramer framer;
    auto first = framer.Feed("ab\xF3\x11");
    ASSERT_EQ(first.size(), 1u);
    EXPECT_EQ(first[0].bytes, "ab");
    EXPECT_FALSE(first[0].frame);
    auto second = framer.Feed(std::string("\x00\xF1\xF8\x01\x00\x00\x00\x00\xF1z", 10));
    ASSERT_EQ(second.size(), 3u);
    EXPECT_EQ(second[0].bytes, std::string("\xF3\x11\x00\xF1", 4));
    EXPECT_TRUE(second[0].frame);
    EXPECT_EQ(second[1].bytes, std::string("\xF8\x01\x00\x00\x00\x00\xF1", 7));
    EXPECT_TRUE(second[1].frame);
    EXPECT_EQ(second[2].bytes, "z");
}

TEST(SingleCableScanner, ReadsOnlyWhileEnabledAndAnswersEveryCommand) {
    SingleCableScanner scanner({});
    RecordingHost host;
    std::string error;
    EXPECT_FALSE(scanner.OnCommand(Words("scan UPCA 012345678905"), host, error));
    EXPECT_NE(error.find("disabled"), std::string::npos);
    EXPECT_TRUE(host.sent.empty());

    ASSERT_TRUE(scanner.OnHostFrame(std::string("\xF3\x11\x00\xF1", 4), host));
    EXPECT_TRUE(scanner.Enabled());
    ASSERT_TRUE(scanner.OnCommand(Words("scan UPCA 012345678905"), host, error)) << error;
    ASSERT_TRUE(scanner.OnHostFrame(std::string("\xF3\x14\x01\xF1", 4), host));
    ASSERT_TRUE(scanner.OnHostFrame(std::string("\xF3\x12\x00\xF1", 4), host));
    EXPECT_FALSE(scanner.Enabled());
    EXPECT_FALSE(scanner.OnHostFrame(std::string("\xF8\x01\x00\x00\x00\x00\xF1", 7), host));
    EXPECT_EQ(host.Commands(),
              (std::vector<std::string>{"F3 11 00 F1", "F3 14 01 F1", "F3 12 00 F1"}));
    EXPECT_EQ(host.sent, (std::vector<std::string>{std::string("\xF3S\x11\x00\xF1", 5),
                                                   "\xF3\x01\x03"
                                                   "012345678905\xF1",
                                                   std::string("\xF3S\x14\x01\xF1", 5),
                                                   std::string("\xF3S\x12\x00\xF1", 5)}));

    ModelOptions always;
    always.values["scan-when-disabled"] = "1";
    SingleCableScanner eager(always);
    EXPECT_TRUE(eager.OnCommand(Words("scan Code39 ABC"), host, error)) << error;
}

TEST(SingleCableScanner, SymbologyBytesIncludingTheSupplementalForms) {
    struct Row {
        const char* name;
        std::size_t length;
        int s1, s2;
    };
    const Row kRows[] = {
        {"UPCE", 8, 1, 1},      {"EAN8", 8, 1, 2},      {"UPCA", 12, 1, 3},
        {"EAN13", 13, 1, 4},    {"UPCE_S", 10, 1, 11},  {"UPCE_S", 13, 1, 21},
        {"UPCE_S", 9, 1, 31},   {"EAN8_S", 10, 1, 12},  {"UPCA_S", 14, 1, 13},
        {"UPCA_S", 17, 1, 23},  {"EAN13_S", 15, 1, 14}, {"EAN13_S", 18, 1, 24},
        {"EAN13_S", 13, 1, 34}, {"Code39", 3, 2, 0},    {"Codabar", 3, 3, 0},
        {"ITF", 4, 4, 0},       {"Code128", 3, 5, 0},   {"Code93", 3, 6, 0},
        {"EAN128", 3, 7, 0},
    };
    for (const Row& row : kRows) {
        SCOPED_TRACE(testing::Message() << row.name << " " << row.length);
        auto codes = scanner::SingleCableSymbology(row.name, row.length);
        ASSERT_TRUE(codes.has_value());
        EXPECT_EQ(codes->s1, row.s1);
        EXPECT_EQ(codes->s2, row.s2);
    }
    EXPECT_FALSE(scanner::SingleCableSymbology("PDF417", 3).has_value());
}

TEST(SingleCableScannerModel, LogsWhatIsNotTheScannersAsCommands) {
    auto model = MakeModel("scanner-single-cable");
    ASSERT_NE(model, nullptr);
    RecordingHost host;
    model->OnHostData(std::string("\xF8\x01\x00\x00\x00\x00\xF1"
                                  "abc\xF3\x11\x00\xF1",
                                  14),
                      host);
    EXPECT_EQ(host.Commands(),
              (std::vector<std::string>{"F8 01 00 00 00 00 F1", "data 61 62 63", "F3 11 00 F1"}));
    std::string error;
    EXPECT_TRUE(model->OnCommand(Words("scan EAN13 4006381333931"), host, error)) << error;
    EXPECT_EQ(host.sent.back(),
              "\xF3\x01\x04"
              "4006381333931\xF1");
    EXPECT_FALSE(model->OnCommand(Words("weight 12"), host, error));
}

}  // namespace
}  // namespace sorvex::sim
