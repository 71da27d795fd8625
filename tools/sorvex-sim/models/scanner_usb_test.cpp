#include <gtest/gtest.h>

#include "service/links/usb_device_info.h"
#include "tools/sorvex-sim/models/scanner_frames.h"
#include "tools/sorvex-sim/models/scanner_test_host.h"

namespace sorvex::sim {
namespace {

using test::MakeModel;
using test::RecordingHost;
using test::Words;

const std::string kEnable("\x00\x11\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00", 12);
const std::string kDisable("\x00\x12\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00", 12);

TEST(ScannerUsbModel, PublishesTheUsagesAndTheMakersVendorId) {
    const ModelInfo* tableTop = FindModel("scanner-usb-tabletop");
    const ModelInfo* handHeld = FindModel("scanner-usb-handheld");
    ASSERT_NE(tableTop, nullptr);
    ASSERT_NE(handHeld, nullptr);
    EXPECT_EQ(tableTop->usage, 0x4A00u);
    EXPECT_EQ(handHeld->usage, 0x4B00u);
    EXPECT_EQ(tableTop->defaultTransport, "hid");
    EXPECT_EQ(tableTop->vendorId, talvex::MakerVendorId);
    EXPECT_EQ(handHeld->vendorId, talvex::MakerVendorId);
}

TEST(ScannerUsbModel, ReadsOnlyWhileEnabledInPaddedReports) {
    auto model = MakeModel("scanner-usb-handheld");
    RecordingHost host;
    std::string error;
    EXPECT_FALSE(model->OnCommand(Words("scan UPCA 012345678905"), host, error));
    model->OnHostData(kEnable, host);
    ASSERT_TRUE(model->OnCommand(Words("scan UPCA 012345678905"), host, error)) << error;
    ASSERT_EQ(host.sent.size(), 1u);
    std::string expected = std::string("\x00\x11\x00\x03\x00", 5) + "012345678905\x0D";
    expected.resize(64, '\0');
    EXPECT_EQ(host.sent[0], expected);
    model->OnHostData(kDisable, host);
    model->OnHostData(std::string("\x00\x01", 2), host);
    EXPECT_EQ(host.Commands(), (std::vector<std::string>{"enable", "disable", "report 00 01"}));
    EXPECT_FALSE(model->OnCommand(Words("scan UPCA 012345678905"), host, error));
}

TEST(ScannerUsbModel, SplitsALongLabelWithTheContinuationMarker) {
    ModelOptions options;
    options.values["scan-when-disabled"] = "1";
    auto model = MakeModel("scanner-usb-tabletop", options);
    RecordingHost host;
    std::string error;
    const std::string label(120, 'x');  // 56 + 56 + 8 label bytes in 64-byte reports
    ASSERT_TRUE(model->OnCommand(Words("scan Code128 " + label), host, error)) << error;
    ASSERT_EQ(host.sent.size(), 3u);
    std::string joined;
    for (std::size_t i = 0; i < host.sent.size(); ++i) {
        const std::string& r = host.sent[i];
        ASSERT_EQ(r.size(), 64u);
        const std::size_t part = static_cast<unsigned char>(r[1]) - 4u;
        const std::string tail = r.substr(5 + part - 3, 3);
        EXPECT_EQ(tail, std::string(i + 1 < host.sent.size() ? "\x10\x18\x0B" : "\x00\x18\x0B", 3));
        joined += r.substr(5, part - 3);
    }
    EXPECT_EQ(joined, label);
    // Symbologies with a shorter suffix cannot continue.
    EXPECT_FALSE(model->OnCommand(Words("scan UPCA " + label), host, error));
    EXPECT_EQ(host.sent.size(), 3u);
}

TEST(ScannerUsbModel, SuffixOfEverySymbology) {
    const std::pair<const char*, std::string> kRows[] = {
        {"UPCE", "\x0A"},
        {"EAN8", "\x0C"},
        {"UPCA", "\x0D"},
        {"EAN13", "\x16"},
        {"UPCD1", std::string("\x00\x11", 2)},
        {"UPCD5", std::string("\x00\x1D", 2)},
        {"Code39", std::string("\x00\x0A\x0B", 3)},
        {"PDF417", std::string("\x00\x2E\x0B", 3)},
        {"Other", std::string("\x00\x20\x0B", 3)},
        {"EAN128", std::string("\x00\x25\x0B", 3)},
    };
    for (const auto& [name, suffix] : kRows) {
        EXPECT_EQ(scanner::UsbSuffix(name), suffix) << name;
    }
    EXPECT_FALSE(scanner::UsbSuffix("Bogus").has_value());
}

}  // namespace
}  // namespace sorvex::sim
