// The scanner as an application uses it: OposScanner, the real libTalvexSO.so and the device
// simulator (a second process) on every interface kind. Each label arrives as a DataEvent on the
// application's thread with ScanData, ScanDataLabel and ScanDataType, every byte intact.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "sorvex/opos.h"
#include "tests/e2e_support.h"
#include "tests/scale_sim.h"
#include "tests/support/temp_root.h"

namespace sorvex::e2e {
namespace {

using namespace sorvex::opos;
using talvex::test::SimulatedDevice;

// How one interface kind is set up: the simulator, the profile, and what frames a label there.
struct Interface {
    const char* name;
    std::vector<std::string> sim;
    Values profile;
    const char* enableCommand;  // the "command" the device logs when the host enables it
    std::string stopBytes;      // bytes that end a frame on this interface
    int foundPort;              // POS USB: the unit the search must find and write back; else 0
};

// Every byte value but the interface's frame stop bytes, in an order that puts 0x00 first and
// 0xFF right after it.
std::string EveryByteBut(const std::string& stopBytes) {
    std::string bytes("\x00\xFF", 2);
    for (int b = 1; b < 0xFF; ++b) {
        bytes += static_cast<char>(b);
    }
    std::string kept;
    for (char c : bytes) {
        if (stopBytes.find(c) == std::string::npos) {
            kept += c;
        }
    }
    return kept;
}

TEST(ScannerEndToEnd, LabelsOnEveryInterfaceKindArriveWholeOnTheApplicationThread) {
    const Interface kInterfaces[] = {
        {"single-cable (0)",
         {"--model", "scanner-single-cable", "--port", "COM3"},
         {{"Model", "Heronix/2110"}, {"Scanner Version", "0"}, {"Serial Port", "3"}},
         "F3 11 00 F1",
         "\xF1",
         0},
        {"RS-232 (1)",
         {"--model", "scanner-rs232", "--port", "COM3"},
         {{"Model", "6620"}, {"Scanner Version", "1"}, {"Serial Port", "3"}},
         "",
         "\x03",
         0},
        {"Full Speed USB table-top (2)",
         {"--model", "scanner-usb-tabletop", "--hid-name", "scanner"},
         {{"Model", "Heronix/2110"}, {"Scanner Version", "2"}},
         "enable",
         "",
         0},
        {"Full Speed USB hand-held (2)",
         {"--model", "scanner-usb-handheld", "--hid-name", "scanner"},
         {{"Model", "Falcora 3300"}, {"Scanner Version", "2"}},
         "enable",
         "",
         0},
        // No "Serial Port": the POS USB search finds the unit on COM7 and writes it back.
        {"POS USB (3)",
         {"--model", "scanner-pos-usb", "--transport", "rfc2217", "--usb-vcp", "--port", "COM7"},
         {{"Model", "6620"}, {"Scanner Version", "3"}},
         "",
         "\x03",
         7},
    };
    for (const Interface& kind : kInterfaces) {
        SCOPED_TRACE(kind.name);
        test::TempRoot root;
        ASSERT_TRUE(RegisterServer());
        SimulatedDevice sim(kind.sim);
        WriteScannerProfile("Lane", kind.profile);

        ScannerApp app;
        ASSERT_TRUE(app.Start("Lane"));
        if (*kind.enableCommand != '\0') {
            ASSERT_TRUE(sim.WaitForCount("command", kind.enableCommand, 1));
        }
        if (kind.foundPort != 0) {
            EXPECT_EQ(ProfileValue("Scanner", "Lane", "Serial Port"),
                      std::to_string(kind.foundPort));
        }

        struct Label {
            std::string command;
            std::string bytes;
            std::int32_t type;
        };
        const std::string everyByte = EveryByteBut(kind.stopBytes);
        const Label kLabels[] = {
            {"scan UPCA 012345678905", "012345678905", SCAN_SDT_UPCA},
            {"scan EAN13 4006381333931", "4006381333931", SCAN_SDT_EAN13},
            {"scan-hex Code128 " + HexWords(everyByte), everyByte, SCAN_SDT_Code128},
        };
        for (const Label& label : kLabels) {
            const std::size_t before = app.labels.size();
            sim.Write(label.command);
            ASSERT_TRUE(app.WaitForLabels(before + 1)) << label.command.substr(0, 40);
            const SeenLabel& seen = app.labels[before];
            EXPECT_EQ(seen.scanData, label.bytes);
            EXPECT_EQ(seen.scanDataLabel, label.bytes);
            EXPECT_EQ(seen.scanDataType, label.type);
            EXPECT_EQ(seen.status, 0);
            EXPECT_EQ(seen.thread, std::this_thread::get_id());
        }
        // Nothing more, nothing else.
        DispatchEvents();
        EXPECT_EQ(app.labels.size(), std::size(kLabels));
        EXPECT_EQ(app.errorEvents, 0u);
        EXPECT_EQ(app.scanner.Close(), OPOS_SUCCESS);
    }
}

}  // namespace
}  // namespace sorvex::e2e
