// The single-cable scanner-scale composite: one port, the scanner's and the scale's frames
// interleaved.
#include <gtest/gtest.h>

#include "tools/sorvex-sim/models/scanner_test_host.h"

namespace sorvex::sim {
namespace {

using namespace std::string_literals;
using test::MakeModel;
using test::RecordingHost;
using test::Words;

std::string Frame(char start, const std::string& body) {
    return std::string(1, start) + body + "\xF1";
}

TEST(ScannerScale, RoutesEachFrameToItsDeviceOnOnePort) {
    auto model = MakeModel("scanner-scale");
    ASSERT_NE(model, nullptr);
    RecordingHost host;
    std::string error;
    ASSERT_TRUE(model->OnCommand(Words("weight 1.25 lb"), host, error)) << error;
    // Scanner enable and a scale weight request in one write, cut in awkward places.
    const std::string stream = "\xF3\x11\x00\xF1\xF8\x01\x00\x00\x00\x00\xF1"s;
    model->OnHostData(stream.substr(0, 6), host);
    model->OnHostData(stream.substr(6), host);
    ASSERT_TRUE(model->OnCommand(Words("scan EAN8 12345670"), host, error)) << error;
    model->OnHostData("\xF8\x00\x20\x00\x00\x00\xF1"s, host);
    EXPECT_EQ(host.sent,
              (std::vector<std::string>{Frame('\xF3', "S\x11\x00"s), Frame('\xF8', "00000001250"),
                                        Frame('\xF3', "\x01\x02" + std::string("12345670")),
                                        Frame('\xF8', "000000")}));
    EXPECT_EQ(host.Commands(), (std::vector<std::string>{"F3 11 00 F1", "weight-lb", "status"}));
}

TEST(ScannerScale, TakesTheCommandsOfBoth) {
    auto model =
        MakeModel("scanner-scale", ModelOptions{{{"scan-when-disabled", "1"}, {"digits", "4"}}});
    ASSERT_NE(model, nullptr);
    RecordingHost host;
    std::string error;
    for (const char* line : {"scan UPCA 012345678905", "unit kg", "weight 0.5", "silent off"}) {
        EXPECT_TRUE(model->OnCommand(Words(line), host, error)) << line << ": " << error;
    }
    model->OnHostData("\xF8\x02\x00\x00\x00\x00\xF1"s, host);
    EXPECT_EQ(host.sent.back(), Frame('\xF8', "0001000050"));
    EXPECT_FALSE(model->OnCommand(Words("print hello"), host, error));
    EXPECT_NE(error.find("unknown command"), std::string::npos);
    EXPECT_GE(model->CommandHelp().size(), 9u);
}

}  // namespace
}  // namespace sorvex::sim
