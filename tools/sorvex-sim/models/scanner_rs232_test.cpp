#include "tools/sorvex-sim/models/scanner_rs232.h"

#include <gtest/gtest.h>

#include "tools/sorvex-sim/models/scanner_test_host.h"

namespace sorvex::sim {
namespace {

using test::MakeModel;
using test::RecordingHost;
using test::Words;

TEST(ScannerRs232Model, SendsEachSymbologyWithItsIdentifier) {
    const std::pair<const char*, char> kRows[] = {
        {"Codabar", 'a'}, {"Code39", 'b'}, {"UPCA", 'c'},    {"UPCE", 'd'},    {"ITF", 'e'},
        {"EAN8", 'g'},    {"EAN13", 'h'},  {"Code93", 'i'},  {"Code128", 'j'}, {"UPCA_S", 'm'},
        {"UPCE_S", 'm'},  {"EAN8_S", 'm'}, {"EAN13_S", 'm'},
    };
    auto model = MakeModel("scanner-rs232");
    ASSERT_NE(model, nullptr);
    for (const auto& [name, id] : kRows) {
        SCOPED_TRACE(name);
        RecordingHost host;
        std::string error;
        ASSERT_TRUE(model->OnCommand(Words(std::string("scan ") + name + " 0123 45"), host, error))
            << error;
        ASSERT_EQ(host.sent.size(), 1u);
        EXPECT_EQ(host.sent[0], std::string("\x02") + id + "0123 45\x03");
    }
    RecordingHost host;
    std::string error;
    ASSERT_TRUE(model->OnCommand(Words("scan-hex Code128 41 00 FF"), host, error)) << error;
    EXPECT_EQ(host.sent.at(0), std::string("\x02j"
                                           "A\x00\xFF\x03",
                                           6));
    EXPECT_FALSE(model->OnCommand(Words("scan PDF417 123"), host, error));
    EXPECT_NE(error.find("unknown symbology PDF417"), std::string::npos);
    EXPECT_FALSE(model->OnCommand(Words("scan UPCA"), host, error));
}

TEST(ScannerRs232Model, LogsWhatTheHostSendsAndAnswersTheStatisticsRequest) {
    auto model = MakeModel("scanner-rs232");
    RecordingHost host;
    model->OnHostData(std::string("\x06\x06\x07z"
                                  "abcU\x80",
                                  9),
                      host);
    EXPECT_EQ(host.Commands(), (std::vector<std::string>{"ACK", "ACK", "BEL", "z", "data 61 62 63",
                                                         "U", "data 80"}));
    ASSERT_EQ(host.sent.size(), 1u);
    EXPECT_EQ(host.sent[0], std::string("\x01") + Rs232Scanner::kDefaultStats + "\x03");

    std::string error;
    ASSERT_TRUE(model->OnCommand(Words("reply-stats 1.8.0, Scanner,x,"), host, error));
    model->OnHostData("U", host);
    EXPECT_EQ(host.sent.back(),
              "\x01"
              "1.8.0, Scanner,x,\x03");
    ASSERT_TRUE(model->OnCommand(Words("reply-stats off"), host, error));
    model->OnHostData("U", host);
    EXPECT_EQ(host.sent.size(), 2u);

    ModelOptions silent;
    silent.values["stats"] = "off";
    RecordingHost quiet;
    MakeModel("scanner-rs232", silent)->OnHostData("U", quiet);
    EXPECT_TRUE(quiet.sent.empty());
}

TEST(ScannerRs232Model, ThePosUsbScannerIsAUsbVirtualPortAndLogsTheAccessoryBytes) {
    const ModelInfo* info = FindModel("scanner-pos-usb");
    ASSERT_NE(info, nullptr);
    EXPECT_TRUE(info->usbVirtualPort);
    EXPECT_EQ(info->defaultTransport, "rfc2217");
    auto model = info->create({});
    RecordingHost host;
    model->OnHostData("\xFF\x80\x06", host);
    EXPECT_EQ(host.Commands(), (std::vector<std::string>{"AX310 FF", "AX310 80", "ACK"}));
    std::string error;
    ASSERT_TRUE(model->OnCommand(Words("scan UPCA 012345678905"), host, error));
    EXPECT_EQ(host.sent.at(0),
              "\x02"
              "c012345678905\x03");
}

}  // namespace
}  // namespace sorvex::sim
