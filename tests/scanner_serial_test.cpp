// The scanner end to end on its serial interfaces: the real arbiter and serial links, with the
// device simulator (a second process) playing the single-cable scanner-scale (interface kind 0)
// and the RS-232 scanner (1) on ptys, and the POS USB scanner (3) on an RFC 2217 port that
// reports itself as a USB virtual COM port.
#include <gtest/gtest.h>

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <iostream>
#include <thread>

#include "platform/sync/sync.h"
#include "platform/window/window.h"
#include "service/frame/opos.h"
#include "service/links/comm_arbiter.h"
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

// A scanner profile on COMn served by a simulator model.
struct SerialSetup {
    const char* kind;
    const char* model;  // the profile's model
    const char* sim;    // the simulator model
    int port;
};
const SerialSetup kSingleCable{"0", "Heronix/2110", "scanner-single-cable", 3};
const SerialSetup kRs232{"1", "6620", "scanner-rs232", 3};
const SerialSetup kPosUsb{"3", "6620", "scanner-pos-usb", 7};

class ScannerSerial : public ::testing::Test {
  protected:
    // Starts the simulator on the setup's port, writes the profile, opens, claims and enables.
    void Start(const SerialSetup& setup, std::vector<std::string> extra = {}) {
        std::vector<std::string> args = {"--model", setup.sim, "--port",
                                         "COM" + std::to_string(setup.port)};
        args.insert(args.end(), extra.begin(), extra.end());
        sim = std::make_unique<SimProcess>(args);
        ASSERT_TRUE(sim->Ready()) << "sorvex-sim did not start";
        test::WriteScannerProfile("Lane1", {setup.model, setup.kind, std::to_string(setup.port),
                                            std::to_string(setup.port)});
        s = std::make_unique<ScannerObject>();
        ASSERT_EQ(s->OpenClaimEnable(), OPOS_SUCCESS);
        if (std::string(setup.kind) == "0") {
            // The scanner starts reading once it has the enable command.
            ASSERT_TRUE(sim->WaitFor(
                [](const SimProcess& p) { return Count(p.Commands(), "F3 11 00 F1") == 1; }));
        }
    }
    // Scans (a "scan ..." or "raw ..." command) and waits for its data event.
    void Scan(const std::string& command) {
        const std::size_t before = s->DataEvents();
        sim->Command(command);
        ASSERT_TRUE(s->WaitForDataEvents(before + 1)) << command;
    }

    sorvex::test::TempRoot root;
    std::unique_ptr<SimProcess> sim;
    std::unique_ptr<ScannerObject> s;
};

TEST_F(ScannerSerial, ALabelOnEachSerialInterfaceWithAndWithoutDecodeData) {
    struct Row {
        const SerialSetup* setup;
        bool decode;
    };
    const Row kRows[] = {{&kSingleCable, true}, {&kSingleCable, false}, {&kRs232, true},
                         {&kRs232, false},      {&kPosUsb, true},       {&kPosUsb, false}};
    for (const Row& row : kRows) {
        SCOPED_TRACE(testing::Message() << row.setup->sim << " DecodeData " << row.decode);
        Start(*row.setup);
        s->Set(PIDX_SCAN_DecodeData, row.decode ? 1 : 0);
        Scan("scan UPCA 012345678905");
        EXPECT_EQ(s->String(PIDX_SCAN_ScanData), "012345678905");
        EXPECT_EQ(s->String(PIDX_SCAN_ScanDataLabel), row.decode ? "012345678905" : "");
        EXPECT_EQ(s->Number(PIDX_SCAN_ScanDataType), row.decode ? SCAN_SDT_UPCA : 0);
        EXPECT_EQ(s->Number(PIDX_DataEventEnabled), 0);
        // RS-232 scanners get their two ACK bytes; the others none.
        const bool acked = row.setup == &kRs232;
        if (acked) {
            ASSERT_TRUE(
                sim->WaitFor([](const SimProcess& p) { return Count(p.Commands(), "ACK") == 2; }));
        }
        s.reset();
        sim.reset();
    }
}

TEST_F(ScannerSerial, SingleCableSymbologyTable) {
    struct Row {
        std::string command;
        std::int32_t type;
    };
    const Row kRows[] = {
        {"scan UPCE 01234565", SCAN_SDT_UPCE},
        {"scan EAN8 40123455", SCAN_SDT_EAN8},
        {"scan UPCA 012345678905", SCAN_SDT_UPCA},
        {"scan EAN13 4006381333931", SCAN_SDT_EAN13},
        {"scan UPCE_S 0123456512", SCAN_SDT_UPCE_S},         // s2 11
        {"scan UPCE_S 0123456512345", SCAN_SDT_UPCE_S},      // s2 21
        {"raw F3 01 1F 31 F1", SCAN_SDT_UPCE_S},             // s2 31
        {"scan EAN8_S 4012345512", SCAN_SDT_EAN8_S},         // 12
        {"raw F3 01 16 31 F1", SCAN_SDT_EAN8_S},             // 22
        {"raw F3 01 20 31 F1", SCAN_SDT_EAN8_S},             // 32
        {"scan UPCA_S 01234567890512", SCAN_SDT_UPCA_S},     // 13
        {"scan UPCA_S 01234567890512345", SCAN_SDT_UPCA_S},  // 23
        {"raw F3 01 21 31 F1", SCAN_SDT_UPCA_S},             // 33
        {"scan EAN13_S 400638133393112", SCAN_SDT_EAN13_S},  // 14
        {"raw F3 01 18 31 F1", SCAN_SDT_EAN13_S},            // 24
        {"raw F3 01 22 31 F1", SCAN_SDT_EAN13_S},            // 34
        {"raw F3 01 05 31 F1", 0},                           // s1 1, any other s2
        {"scan Code39 CODE-39", SCAN_SDT_Code39},
        {"scan Codabar A1234B", SCAN_SDT_Codabar},
        {"scan ITF 12345678", SCAN_SDT_ITF},
        {"scan Code128 Code128", SCAN_SDT_Code128},
        {"scan Code93 CODE93", SCAN_SDT_Code93},
        {"scan EAN128 0101234567890128", SCAN_SDT_EAN128},
        {"raw F3 08 00 31 F1", 0},
        {"raw F3 00 03 31 F1", 0},
    };
    Start(kSingleCable);
    s->Set(PIDX_SCAN_DecodeData, 1);
    for (const Row& row : kRows) {
        SCOPED_TRACE(row.command);
        Scan(row.command);
        EXPECT_EQ(s->Number(PIDX_SCAN_ScanDataType), row.type);
        if (row.command.rfind("scan ", 0) == 0) {
            const std::string label = row.command.substr(row.command.rfind(' ') + 1);
            EXPECT_EQ(s->String(PIDX_SCAN_ScanData), label);
            EXPECT_EQ(s->String(PIDX_SCAN_ScanDataLabel), label);
        } else {
            EXPECT_EQ(s->String(PIDX_SCAN_ScanData), "1");
        }
    }
}

TEST_F(ScannerSerial, Rs232IdentifierTableWithTheSupplementalLengths) {
    struct Row {
        std::string command;
        std::int32_t type;
    };
    std::vector<Row> rows = {
        {"scan Codabar A1234B", SCAN_SDT_Codabar},
        {"scan Code39 CODE39", SCAN_SDT_Code39},
        {"scan UPCA 012345678905", SCAN_SDT_UPCA},
        {"scan UPCE 01234565", SCAN_SDT_UPCE},
        {"scan ITF 12345678", SCAN_SDT_ITF},
        {"raw 02 66 31 32 03", 0},  // 'f'
        {"scan EAN8 40123455", SCAN_SDT_EAN8},
        {"scan EAN13 4006381333931", SCAN_SDT_EAN13},
        {"scan Code93 CODE93", SCAN_SDT_Code93},
        {"scan Code128 Code-128", SCAN_SDT_Code128},
        {"raw 02 6B 31 32 03", 0},                    // an unknown identifier
        {"raw 02 02 02 63 31 32 03", SCAN_SDT_UPCA},  // repeated STX
    };
    // Identifier 'm': the label's length decides (9 to 19; other lengths give 0).
    const std::pair<std::size_t, std::int32_t> kLengths[] = {
        {8, 0},
        {9, SCAN_SDT_UPCE_S},
        {10, 0},
        {11, SCAN_SDT_EAN8_S},
        {12, SCAN_SDT_UPCE_S},
        {13, 0},
        {14, SCAN_SDT_EAN8_S},
        {15, SCAN_SDT_UPCA_S},
        {16, SCAN_SDT_EAN13_S},
        {17, 0},
        {18, SCAN_SDT_UPCA_S},
        {19, SCAN_SDT_EAN13_S},
        {20, 0},
    };
    for (const auto& [length, type] : kLengths) {
        rows.push_back({"scan UPCA_S " + std::string(length, '5'), type});
    }
    Start(kRs232);
    s->Set(PIDX_SCAN_DecodeData, 1);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.command);
        Scan(row.command);
        EXPECT_EQ(s->Number(PIDX_SCAN_ScanDataType), row.type);
        if (row.command.rfind("scan ", 0) == 0) {
            EXPECT_EQ(s->String(PIDX_SCAN_ScanData),
                      row.command.substr(row.command.rfind(' ') + 1));
        } else {
            EXPECT_EQ(s->String(PIDX_SCAN_ScanData), "12");
        }
    }
    // Two ACK bytes for every label frame.
    ASSERT_TRUE(sim->WaitFor(
        [&](const SimProcess& p) { return Count(p.Commands(), "ACK") == 2 * rows.size(); }));
}

TEST_F(ScannerSerial, CommandRepliesOfTheSingleCableQueueNothing) {
    test::TraceCapture trace;
    test::SetGlobalValue("LogVerbosity", "4");
    Start(kSingleCable);
    // The scanner answered the enable command with F3 'S' 11 00 F1; more replies follow.
    sim->Command("raw F3 53 14 01 F1");
    sim->Command("raw F3 53 41 42 43 44 F1");
    sim->Command("raw F3 01 F1");
    Scan("scan UPCA 012345678905");
    EXPECT_EQ(s->Number(PIDX_DataCount), 0);
    EXPECT_EQ(s->DataEvents(), 1u);
    EXPECT_EQ(s->String(PIDX_SCAN_ScanData), "012345678905");
    // The reply to the enable command may come before the scanner counts as enabled.
    const std::vector<std::string> m = trace.Messages("CScanner");
    EXPECT_GE(Count(m, "  *   in ProcessDataEvent, id'd Heronix command response"), 2u);
    EXPECT_EQ(Count(m, "  *   in ProcessDataEvent, Data.length() <= 3"), 1u);
}

TEST_F(ScannerSerial, AutoDisableDisablesBeforeTheLabelIsDelivered) {
    Start(kRs232);
    s->Set(PIDX_AutoDisable, 1);
    sim->Command("scan Code128 AUTO");
    ASSERT_TRUE(test::PumpUntil([&] { return s->Number(PIDX_DeviceEnabled) == 0; }));
    EXPECT_EQ(s->Number(PIDX_DataCount), 1);
    EXPECT_EQ(s->DataEvents(), 0u);
    EXPECT_EQ(TheArbiter().IsUsbPort(3), -1);  // the port is closed with the last subscription
    ASSERT_TRUE(s->WaitForDataEvents(1));
    EXPECT_EQ(s->String(PIDX_SCAN_ScanData), "AUTO");
    // Enabled again, the scanner reads again.
    s->Set(PIDX_DeviceEnabled, 1);
    ASSERT_EQ(s->scanner.ResultCode(), OPOS_SUCCESS);
    Scan("scan Code128 AGAIN");
    EXPECT_EQ(s->String(PIDX_SCAN_ScanData), "AGAIN");
}

TEST_F(ScannerSerial, PosUsbFindsItsUnitAtCom7AndWritesItBack) {
    for (int port = 1; port <= 6; ++port) {
        test::MapComPort(port, "/dev/sorvex-test-absent");
    }
    test::Pty ordinary;  // COM5 opens, but is no USB virtual port
    test::MapComPort(5, ordinary.SlavePath());
    sim = std::make_unique<SimProcess>(
        std::vector<std::string>{"--model", "scanner-pos-usb", "--port", "COM7"});
    ASSERT_TRUE(sim->Ready());
    test::WriteScannerProfile("Lane1", {"6620", "3", std::nullopt, "5"});
    s = std::make_unique<ScannerObject>();
    ASSERT_EQ(s->Open(), OPOS_SUCCESS);
    EXPECT_EQ(s->scanner.ComPort(), 7);
    EXPECT_EQ(test::ReadScannerProfileValue("Lane1", "Serial Port"), "7");
    EXPECT_EQ(test::ReadScannerProfileValue("Lane1", "FirstPosUsbUnit"), "7");
    ASSERT_EQ(s->scanner.ClaimDevice(0), OPOS_SUCCESS);
    // The claim is the mutex named with 7: another thread cannot take it.
    std::thread other([] {
        sorvex::sync::NamedMutex mutex("OrvantaOposScanner7");
        EXPECT_EQ(mutex.Wait(0), sorvex::sync::MutexWait::Timeout);
    });
    other.join();
    s->Set(PIDX_DeviceEnabled, 1);
    ASSERT_EQ(s->scanner.ResultCode(), OPOS_SUCCESS);
    Scan("scan EAN13 4006381333931");
    EXPECT_EQ(s->String(PIDX_SCAN_ScanData), "4006381333931");
}

TEST_F(ScannerSerial, Ax310HandlingBracketsEveryLabelAndIsReadForEachFrame) {
    test::SetGlobalValue("AX310Handling", "1");
    Start(kPosUsb);
    // The link writes one 80 as its USB probe each time it opens the port: for the search in
    // OpenService and for enabling.
    const std::size_t probe = 2;
    ASSERT_TRUE(sim->WaitFor(
        [&](const SimProcess& p) { return Count(p.Commands(), "AX310 80") == probe; }));
    Scan("scan UPCA 012345678905");
    ASSERT_TRUE(sim->WaitFor(
        [&](const SimProcess& p) { return Count(p.Commands(), "AX310 80") == probe + 1; }));
    std::vector<std::string> commands = sim->Commands();
    EXPECT_EQ(Count(commands, "AX310 FF"), 1u);
    EXPECT_EQ(Count(commands, "ACK"), 0u);
    EXPECT_EQ(commands.back(), "AX310 80");  // FF before the label is queued, 80 after
    EXPECT_EQ(commands[commands.size() - 2], "AX310 FF");
    test::SetGlobalValue("AX310Handling", "0");
    Scan("scan UPCA 012345678905");
    test::PumpFor(200ms);
    commands = sim->Commands();
    EXPECT_EQ(Count(commands, "AX310 FF"), 1u);
    EXPECT_EQ(Count(commands, "AX310 80"), probe + 1);
}

TEST_F(ScannerSerial, DirectIOSequencesReachTheScanner) {
    Start(kSingleCable);
    std::int32_t data = 42;
    std::string text = "xyz";
    EXPECT_EQ(s->scanner.DirectIO(1, &data, &text), OPOS_SUCCESS);
    EXPECT_EQ(data, 42);
    EXPECT_EQ(text, "xyz");
    ASSERT_TRUE(
        sim->WaitFor([](const SimProcess& p) { return Count(p.Commands(), "F3 14 01 F1") == 3; }));
    s.reset();
    sim.reset();

    Start(kRs232);
    text = "abc";
    EXPECT_EQ(s->scanner.DirectIO(10, &data, &text), OPOS_SUCCESS);
    EXPECT_EQ(s->scanner.DirectIO(4, &data, &text), OPOS_SUCCESS);
    EXPECT_EQ(s->scanner.DirectIO(2, &data, &text), OPOS_SUCCESS);
    ASSERT_TRUE(sim->WaitForCommands(2));
    test::PumpFor(200ms);
    EXPECT_EQ(sim->Commands(), (std::vector<std::string>{"data 61 62 63", "z"}));
    EXPECT_EQ(text, "abc");
    s->Set(PIDX_DeviceEnabled, 0);
    EXPECT_EQ(s->scanner.DirectIO(3, &data, &text), OPOS_E_ILLEGAL);
    test::PumpFor(200ms);
    EXPECT_EQ(sim->Commands().size(), 2u);
}

// A second process that opens Lane1 and claims, enables, waits for a label or releases on
// command.
TEST(ScannerClaimChild, Serve) {
    if (std::getenv("SORVEX_SCANNER_CHILD") == nullptr) {
        GTEST_SKIP() << "runs only as the second process of the claim test";
    }
    ScannerObject child;
    std::cout << "open " << child.Open() << std::endl;
    std::string pending;
    for (;;) {
        // Serve the object's messages while waiting for the next command.
        pollfd in{0, POLLIN, 0};
        if (::poll(&in, 1, 0) <= 0) {
            sorvex::window::WaitAndPump(10);
            continue;
        }
        char c;
        if (::read(0, &c, 1) != 1) {
            return;
        }
        if (c != '\n') {
            pending += c;
            continue;
        }
        const std::string command = pending;
        pending.clear();
        if (command == "claim") {
            std::cout << "claim " << child.scanner.ClaimDevice(0) << std::endl;
        } else if (command == "enable") {
            child.Set(PIDX_DeviceEnabled, 1);
            std::cout << "enable " << child.scanner.ResultCode() << std::endl;
        } else if (command == "label") {
            const bool got = child.WaitForDataEvents(child.DataEvents() + 1);
            std::cout << "label " << (got ? child.String(PIDX_SCAN_ScanData) : "none") << std::endl;
        } else if (command == "release") {
            std::cout << "release " << child.scanner.ReleaseDevice() << std::endl;
        } else if (command == "exit") {
            return;
        }
    }
}

TEST_F(ScannerSerial, ASecondProcessClaimsThePortOnlyOnceItIsReleased) {
    Start(kRs232);
    sorvex::test::Subprocess::Options options;
    options.env = {{"SORVEX_SCANNER_CHILD", "1"}};
    sorvex::test::Subprocess child(
        {sorvex::test::SelfPath(), "--gtest_filter=ScannerClaimChild.Serve"}, options);
    auto ask = [&](const std::string& command) {
        if (!command.empty()) {
            child.Write(command + "\n");
        }
        const std::string answer = command.empty() ? "open " : command + " ";
        for (;;) {
            auto line = child.ReadLine(test::kScannerPatience);
            if (!line) {
                return std::string("no answer; stderr: ") + child.Stderr();
            }
            if (line->rfind(answer, 0) == 0) {
                return *line;
            }
        }
    };
    ASSERT_EQ(ask(""), "open 0");
    EXPECT_EQ(ask("claim"), "claim 102");
    Scan("scan UPCA 012345678905");  // ours, while we hold the port
    EXPECT_EQ(s->scanner.ReleaseDevice(), OPOS_SUCCESS);
    EXPECT_EQ(ask("claim"), "claim 0");
    EXPECT_EQ(ask("enable"), "enable 0");
    sim->Command("scan Code128 CHILD");
    EXPECT_EQ(ask("label"), "label CHILD");
    EXPECT_EQ(s->scanner.ClaimDevice(0), OPOS_E_CLAIMED);
    EXPECT_EQ(ask("release"), "release 0");
    EXPECT_EQ(s->scanner.ClaimDevice(0), OPOS_SUCCESS);
    child.Write("exit\n");
    child.Wait(10s);
}

}  // namespace
}  // namespace talvex
