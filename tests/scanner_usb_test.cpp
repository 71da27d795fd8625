// The scanner end to end on IBM OEM USB ("Full Speed USB", interface kind 2): the real arbiter
// and USB link, with the device simulator (a second process) playing the table-top and the
// hand-held scanner as simulated HID devices.
#include <gtest/gtest.h>

#include <algorithm>

#include "service/frame/opos.h"
#include "service/links/link_test_support.h"
#include "service/scanner/scanner_test_support.h"
#include "tests/support/temp_root.h"

namespace talvex {
namespace {

using namespace std::chrono_literals;
using test::ScannerObject;
using test::SimProcess;

std::size_t Count(const std::vector<std::string>& items, const std::string& item) {
    return static_cast<std::size_t>(std::count(items.begin(), items.end(), item));
}

class ScannerUsb : public ::testing::Test {
  protected:
    void Start(const std::string& simModel, const std::string& profileModel,
               ScannerTimings timings = test::FastTimings()) {
        sim = std::make_unique<SimProcess>(
            std::vector<std::string>{"--model", simModel, "--hid-name", "scanner"});
        ASSERT_TRUE(sim->Ready()) << "sorvex-sim did not start";
        test::WriteScannerProfile("Lane1", {profileModel, "2", std::nullopt, std::nullopt});
        s = std::make_unique<ScannerObject>(std::move(timings));
        ASSERT_EQ(s->OpenClaimEnable(), OPOS_SUCCESS);
        ASSERT_TRUE(
            sim->WaitFor([](const SimProcess& p) { return Count(p.Commands(), "enable") == 1; }));
    }
    void Scan(const std::string& command) {
        const std::size_t before = s->DataEvents();
        sim->Command(command);
        ASSERT_TRUE(s->WaitForDataEvents(before + 1)) << command;
    }

    sorvex::test::TempRoot root;
    std::unique_ptr<SimProcess> sim;
    std::unique_ptr<ScannerObject> s;
};

TEST_F(ScannerUsb, ALabelOnEachUsbScannerWithAndWithoutDecodeData) {
    struct Row {
        const char* sim;
        const char* model;
        bool decode;
    };
    const Row kRows[] = {{"scanner-usb-handheld", "Falcora 3300", true},
                         {"scanner-usb-handheld", "Falcora 3300", false},
                         {"scanner-usb-tabletop", "Heronix/2110", true}};
    for (const Row& row : kRows) {
        SCOPED_TRACE(testing::Message() << row.sim << " DecodeData " << row.decode);
        Start(row.sim, row.model);
        s->Set(PIDX_SCAN_DecodeData, row.decode ? 1 : 0);
        Scan("scan UPCA 012345678905");
        EXPECT_EQ(s->String(PIDX_SCAN_ScanData), "012345678905");
        EXPECT_EQ(s->String(PIDX_SCAN_ScanDataLabel), row.decode ? "012345678905" : "");
        EXPECT_EQ(s->Number(PIDX_SCAN_ScanDataType), row.decode ? SCAN_SDT_UPCA : 0);
        s->Set(PIDX_DeviceEnabled, 0);
        ASSERT_TRUE(
            sim->WaitFor([](const SimProcess& p) { return Count(p.Commands(), "disable") == 1; }));
        s.reset();
        sim.reset();
    }
}

TEST_F(ScannerUsb, UsbSuffixTables) {
    struct Row {
        std::string command;
        std::int32_t type;
    };
    // raw: one input report, 00 L 00 03 00, the label "12" and a suffix.
    const Row kRows[] = {
        {"scan UPCE 01234565", SCAN_SDT_UPCE},
        {"scan EAN8 40123455", SCAN_SDT_EAN8},
        {"scan UPCA 012345678905", SCAN_SDT_UPCA},
        {"scan EAN13 4006381333931", SCAN_SDT_EAN13},
        {"scan UPCD1 123", SCAN_SDT_UPCD1},
        {"scan UPCD2 123", SCAN_SDT_UPCD2},
        {"scan UPCD3 123", SCAN_SDT_UPCD3},
        {"scan UPCD4 123", SCAN_SDT_UPCD4},
        {"scan UPCD5 123", SCAN_SDT_UPCD5},
        {"scan Code39 CODE39", SCAN_SDT_Code39},
        {"scan ITF 12345678", SCAN_SDT_ITF},
        {"scan Codabar A1234B", SCAN_SDT_Codabar},
        {"scan UPCA_S 01234567890512", SCAN_SDT_UPCA_S},          // y 11
        {"raw 00 09 00 03 00 31 32 00 16 0B", SCAN_SDT_UPCA_S},   // y 16
        {"scan UPCE_S 0123456512", SCAN_SDT_UPCE_S},              // y 12
        {"raw 00 09 00 03 00 31 32 00 14 0B", SCAN_SDT_UPCE_S},   // y 14
        {"scan EAN13_S 400638133393112", SCAN_SDT_EAN13_S},       // y 13
        {"raw 00 09 00 03 00 31 32 00 15 0B", SCAN_SDT_EAN13_S},  // y 15
        {"scan EAN8_S 4012345512", SCAN_SDT_EAN8_S},              // y 17
        {"raw 00 09 00 03 00 31 32 00 1D 0B", SCAN_SDT_EAN8_S},   // y 1D
        {"scan Code128 Code-128", SCAN_SDT_Code128},
        {"scan Code93 CODE93", SCAN_SDT_Code93},
        {"scan Other Other", SCAN_SDT_OTHER},                   // y 20
        {"raw 00 09 00 03 00 31 32 00 23 0B", SCAN_SDT_OTHER},  // y 23
        {"scan EAN128 0101234567890128", SCAN_SDT_EAN128},
        {"scan PDF417 PDF-417", SCAN_SDT_PDF417},
        {"raw 00 09 00 03 00 31 32 00 30 0B", 0},  // unknown y
        {"raw 00 07 00 03 00 31 32 0F", 0},        // unknown last byte
    };
    Start("scanner-usb-handheld", "Falcora 3300");
    s->Set(PIDX_SCAN_DecodeData, 1);
    for (const Row& row : kRows) {
        SCOPED_TRACE(row.command);
        Scan(row.command);
        EXPECT_EQ(s->Number(PIDX_SCAN_ScanDataType), row.type);
        EXPECT_EQ(s->String(PIDX_SCAN_ScanData),
                  row.command.rfind("scan ", 0) == 0
                      ? row.command.substr(row.command.rfind(' ') + 1)
                      : "12");
    }
}

TEST_F(ScannerUsb, ALongLabelInTwoReportsIsOneDataEvent) {
    Start("scanner-usb-tabletop", "Heronix/2110");
    s->Set(PIDX_SCAN_DecodeData, 1);
    const std::string label(100, 'L');  // 56 bytes in the first 64-byte report, 44 in the second
    Scan("scan Code128 " + label);
    EXPECT_EQ(s->String(PIDX_SCAN_ScanData), label);
    EXPECT_EQ(s->Number(PIDX_SCAN_ScanDataType), SCAN_SDT_Code128);
    test::PumpFor(200ms);
    EXPECT_EQ(s->DataEvents(), 1u);
    EXPECT_EQ(s->Number(PIDX_DataCount), 0);
}

TEST_F(ScannerUsb, AnUnpluggedScannerIsReconnectedAfterReplug) {
    test::TraceCapture trace;
    test::SetGlobalValue("LogVerbosity", "4");
    // The real reconnect pauses (450 ms after each disable).
    ScannerTimings timings;
    Start("scanner-usb-handheld", "Falcora 3300", timings);
    Scan("scan Code39 BEFORE");
    sim->Command("unplug");
    ASSERT_TRUE(test::PumpUntil([&] { return s->Number(PIDX_DeviceEnabled) == 0; }));
    // The attempts go on while the device is away; the application sees it disabled.
    ASSERT_TRUE(test::PumpUntil(
        [&] { return trace.Has(4, "CScanner", "  *   Re-setting timer to try again"); }));
    EXPECT_EQ(s->Number(PIDX_DeviceEnabled), 0);
    EXPECT_EQ(s->Number(PIDX_Claimed), 1);
    EXPECT_TRUE(trace.Has(4, "CScanner", "  *   Setting Reconnect timer"));
    EXPECT_TRUE(trace.Has(4, "CScanner", "  *   Unable to find device"));
    sim->Command("replug");
    ASSERT_TRUE(test::PumpUntil([&] { return s->Number(PIDX_DeviceEnabled) == 1; }));
    EXPECT_TRUE(trace.Has(4, "CScanner", "  *   Device is re-Enabled"));
    // The scanner was enabled again on the wire, and labels flow again.
    ASSERT_TRUE(
        sim->WaitFor([](const SimProcess& p) { return Count(p.Commands(), "enable") == 2; }));
    Scan("scan Code39 AFTER");
    EXPECT_EQ(s->String(PIDX_SCAN_ScanData), "AFTER");
}

TEST_F(ScannerUsb, ReleasingTheClaimEndsTheReconnectAttempts) {
    test::TraceCapture trace;
    test::SetGlobalValue("LogVerbosity", "4");
    Start("scanner-usb-handheld", "Falcora 3300");
    sim->Command("unplug");
    ASSERT_TRUE(test::PumpUntil(
        [&] { return trace.Has(4, "CScanner", "  *   Re-setting timer to try again"); }));
    EXPECT_EQ(s->scanner.ReleaseDevice(), OPOS_SUCCESS);
    sim->Command("replug");
    test::PumpFor(300ms);
    EXPECT_EQ(s->Number(PIDX_Claimed), 0);
    EXPECT_EQ(Count(sim->Commands(), "enable"), 1u);
}

}  // namespace
}  // namespace talvex
