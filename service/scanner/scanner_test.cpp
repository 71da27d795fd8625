// The scanner object through the real port arbiter and links, with the test playing the device
// on a pty, an RFC 2217 server or a simulated HID device in this process.
#include "service/scanner/scanner.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "platform/hid/simulated_hid_server.h"
#include "platform/serial/rfc2217_server.h"
#include "service/frame/opos.h"
#include "service/links/comm_arbiter.h"
#include "service/links/link_test_support.h"
#include "service/links/usb_device_info.h"
#include "service/scanner/scanner_test_support.h"
#include "tests/support/temp_root.h"

namespace talvex {
namespace {

using namespace std::chrono_literals;
using sorvex::hid::SimulatedHidServer;
using test::ScannerObject;
using test::ScannerProfile;

const std::string kUpcaFrame =
    "\x02"
    "c012345678905\x03";

std::string Bytes(std::initializer_list<int> bytes) {
    std::string s;
    for (int b : bytes) {
        s += static_cast<char>(b);
    }
    return s;
}

std::string UsbReport(const std::string& part) {
    std::string r = Bytes({0x00, static_cast<int>(part.size() + 4), 0x00, 0x03, 0x00}) + part;
    r.resize(64, '\0');
    return r;
}

class ScannerTest : public ::testing::Test {
  protected:
    void SetUp() override { test::SetGlobalValue("LogVerbosity", "4"); }

    // A kind-1 (or kind-0) scanner on COM3, played on a pty.
    void SerialProfile(const std::string& kind, const std::string& model = "6620") {
        test::MapComPort(3, pty.SlavePath());
        test::WriteScannerProfile("Lane1", {model, kind, "3", std::nullopt});
    }
    std::unique_ptr<SimulatedHidServer> PlugHid(std::uint16_t usage) {
        auto device = SimulatedHidServer::Create("scanner", 0xFF45, usage, MakerVendorId, 0x0001);
        return device;
    }

    sorvex::test::TempRoot root;
    test::TraceCapture trace;
    test::Pty pty;
    ScannerObject s;
};

TEST_F(ScannerTest, OpenServiceConfiguresEachInterfaceKind) {
    struct Row {
        const char* what;
        ScannerProfile profile;
        std::uint16_t usbUsage;  // a HID device to plug first, 0 for none
        std::int32_t rc;
        std::int32_t kind;
        std::int32_t port;
        int usbKind;
    };
    const Row kRows[] = {
        {"no Scanner Version: kind 1", {"6620", std::nullopt, "3", {}}, 0, 0, 1, 3, 3},
        {"kind 1 needs Serial Port", {"6620", "1", std::nullopt, {}}, 0, OPOS_ORS_CONFIG, 1, 0, 3},
        {"Model is required", {"", "1", "3", {}}, 0, OPOS_ORS_CONFIG, 0, 0, 3},
        {"single cable", {"Heronix/2110", "0", "4", {}}, 0, 0, 0, 4, 1},
        {"unreadable Scanner Version: kind 1", {"6620", "USB", "5", {}}, 0, 0, 1, 5, 3},
        {"Full Speed USB absent", {"6620", "2", std::nullopt, {}}, 0, OPOS_E_NOHARDWARE, 2, 0, 3},
        {"table-top model finds a table-top device",
         {"Heronix/2110", "2", std::nullopt, {}},
         0x4A00,
         0,
         2,
         0,
         1},
        {"table-top model ignores a hand-held device",
         {"Heronix/2140", "2", std::nullopt, {}},
         0x4B00,
         OPOS_E_NOHARDWARE,
         2,
         0,
         1},
        {"hand-held device", {"Falcora 3300", "2", std::nullopt, {}}, 0x4B00, 0, 2, 0, 3},
    };
    for (const Row& row : kRows) {
        SCOPED_TRACE(row.what);
        std::unique_ptr<SimulatedHidServer> device;
        if (row.usbUsage != 0) {
            device = PlugHid(row.usbUsage);
        }
        test::WriteScannerProfile("Lane1", row.profile);
        ScannerObject object;
        EXPECT_EQ(object.Open(), row.rc);
        EXPECT_EQ(object.scanner.GetOpenResult(), row.rc);
        if (row.rc == OPOS_E_NOHARDWARE || row.rc == OPOS_ORS_CONFIG) {
            EXPECT_EQ(object.scanner.State(), OPOS_S_CLOSED);
            continue;
        }
        EXPECT_EQ(object.scanner.CommProtocol(), row.kind);
        EXPECT_EQ(object.scanner.ComPort(), row.port);
        EXPECT_EQ(object.scanner.UsbDeviceKind(), row.usbKind);
        EXPECT_EQ(object.String(PIDX_DeviceName), "Orvanta " + row.profile.model);
        EXPECT_EQ(object.String(PIDX_DeviceDescription),
                  "Orvanta " + row.profile.model + " bar code scanner.");
        EXPECT_EQ(object.String(PIDX_ServiceObjectDescription),
                  "Orvanta OPOS Scanner Service Object");
        EXPECT_EQ(object.Number(PIDX_ServiceObjectVersion), 1008008);
    }
    EXPECT_TRUE(
        trace.Has(0, "CScanner", "No Full Speed USB Scanners are connected to the system."));
    EXPECT_TRUE(trace.Has(4, "CScanner", "  *   in OpenService, ModelNumber = Heronix/2110"));
}

TEST_F(ScannerTest, PosUsbUnitNamedFirstIsTakenAtOnceAndWrittenBack) {
    sorvex::serial::Rfc2217Server::Options options;
    options.model.ignoreBaud300 = true;  // how a USB virtual COM port answers the probe
    sorvex::serial::Rfc2217Server usbPort([](std::string_view) {}, options);
    test::MapComPort(2, usbPort.Url());
    test::MapComPort(1, "/dev/sorvex-test-absent");
    test::WriteScannerProfile("Lane1", {"6620", "3", std::nullopt, "2"});
    ASSERT_EQ(s.Open(), OPOS_SUCCESS);
    EXPECT_EQ(s.scanner.ComPort(), 2);
    EXPECT_EQ(test::ReadScannerProfileValue("Lane1", "Serial Port"), "2");
    EXPECT_EQ(test::ReadScannerProfileValue("Lane1", "FirstPosUsbUnit"), "2");
    // The search left no link open: the port can be claimed and enabled.
    ASSERT_EQ(s.scanner.ClaimDevice(0), OPOS_SUCCESS);
    s.Set(PIDX_DeviceEnabled, 1);
    EXPECT_EQ(s.scanner.ResultCode(), OPOS_SUCCESS);
    EXPECT_EQ(TheArbiter().IsUsbPort(2), 1);
}

TEST_F(ScannerTest, NoPosUsbUnitFailsTheOpenWithNoHardware) {
    for (int port = 1; port <= 32; ++port) {
        test::MapComPort(port, "/dev/sorvex-test-absent");  // keep the machine's ttyS ports out
    }
    test::MapComPort(3, pty.SlavePath());  // an ordinary serial port is no POS USB unit
    test::WriteScannerProfile("Lane1", {"6620", "3", "3", std::nullopt});
    EXPECT_EQ(s.Open(), OPOS_E_NOHARDWARE);
    EXPECT_TRUE(trace.Has(0, "CScanner", "No POS USB Scanners are connected to the system."));
    EXPECT_EQ(test::ReadScannerProfileValue("Lane1", "Serial Port"), "3");
    EXPECT_EQ(TheArbiter().IsUsbPort(3), -1);
}

TEST_F(ScannerTest, ScannerProperties) {
    SerialProfile("1");
    ASSERT_EQ(s.Open(), OPOS_SUCCESS);
    EXPECT_EQ(s.Number(PIDX_SCAN_DecodeData), 0);
    s.Set(PIDX_SCAN_DecodeData, 7);
    EXPECT_EQ(s.scanner.ResultCode(), OPOS_SUCCESS);
    EXPECT_EQ(s.Number(PIDX_SCAN_DecodeData), 1);
    EXPECT_EQ(s.Number(PIDX_SCAN_ScanDataType), 0);
    EXPECT_EQ(s.String(PIDX_SCAN_ScanData), "");
    EXPECT_EQ(s.String(PIDX_SCAN_ScanDataLabel), "");

    s.Set(PIDX_SCAN_ScanDataType, 101);
    EXPECT_EQ(s.scanner.ResultCode(), OPOS_E_ILLEGAL);
    EXPECT_TRUE(trace.Has(1, "CScanner", "An invalid property number was specified."));
    EXPECT_EQ(s.Number(PIDX_SCAN + 3), 0);
    EXPECT_EQ(s.scanner.ResultCode(), OPOS_E_ILLEGAL);
    EXPECT_TRUE(trace.Has(1, "CScanner", "Invalid property number specified."));
    EXPECT_EQ(s.String(PIDX_STRING + PIDX_SCAN + 3), "[Error]");

    // Reading DeviceEnabled needs a claim.
    EXPECT_EQ(s.Number(PIDX_DeviceEnabled), -12345);
    EXPECT_EQ(s.scanner.ResultCode(), OPOS_E_ILLEGAL);

    // Statistics cannot be reset or updated.
    EXPECT_EQ(s.scanner.ResetStatistics("HoursPoweredCount"), OPOS_E_ILLEGAL);
    EXPECT_EQ(s.scanner.UpdateStatistics("GoodScanCount=1"), OPOS_E_ILLEGAL);
    EXPECT_EQ(s.Number(PIDX_ResultCode), OPOS_E_ILLEGAL);
    EXPECT_TRUE(trace.Has(4, "CScanner", "  *   statisticsBuffer = GoodScanCount=1"));
    EXPECT_TRUE(trace.Has(3, "CScanner", "Exit UpdateStatistics"));

    // CheckHealth touches no device and works in every state.
    EXPECT_EQ(s.scanner.CheckHealth(2), OPOS_SUCCESS);
    EXPECT_EQ(s.String(PIDX_CheckHealthText), "External HCheck: Complete");
    s.scanner.CloseService();
    EXPECT_EQ(s.scanner.CheckHealth(5), OPOS_E_ILLEGAL);
    EXPECT_EQ(s.String(PIDX_CheckHealthText), "[Error]");
}

TEST_F(ScannerTest, EnablingTwiceAndDisablingTwiceChangeNothingTheSecondTime) {
    SerialProfile("1");
    ASSERT_EQ(s.OpenClaimEnable(), OPOS_SUCCESS);
    EXPECT_EQ(s.Number(PIDX_DeviceEnabled), 1);
    EXPECT_EQ(s.scanner.EventQueue().GetAllowableEvents(), 31);
    EXPECT_EQ(s.scanner.EventQueue().GetEnabledEvents(),
              kEventError);  // no data: DataEventEnabled is off
    s.Set(PIDX_DeviceEnabled, 1);
    EXPECT_EQ(s.scanner.ResultCode(), OPOS_SUCCESS);
    EXPECT_EQ(TheArbiter().IsUsbPort(3), 0);
    s.Set(PIDX_DeviceEnabled, 0);
    EXPECT_EQ(TheArbiter().IsUsbPort(3), -1);  // both subscriptions went, the port is closed
    EXPECT_EQ(s.scanner.EventQueue().GetAllowableEvents(), 0);
    s.Set(PIDX_DeviceEnabled, 0);
    EXPECT_EQ(s.scanner.ResultCode(), OPOS_SUCCESS);
    EXPECT_EQ(s.Number(PIDX_DeviceEnabled), 0);
    EXPECT_TRUE(trace.Has(4, "CScanner", "  *   in DeviceEnable, m_CommProtocol: 1"));
    EXPECT_TRUE(trace.Has(4, "CScanner", "  *   in DeviceEnable, m_ModelNumber:  6620"));
    EXPECT_TRUE(trace.Has(4, "CScanner", "  *   Enable: 0"));
}

TEST_F(ScannerTest, AFailedEnableLeavesTheDeviceDisabledAndQueuesNothing) {
    test::MapComPort(3, "/dev/sorvex-test-absent");
    test::WriteScannerProfile("Lane1", {"6620", "1", "3", std::nullopt});
    ASSERT_EQ(s.Open(), OPOS_SUCCESS);
    ASSERT_EQ(s.scanner.ClaimDevice(0), OPOS_SUCCESS);
    s.Set(PIDX_DataEventEnabled, 1);
    s.Set(PIDX_DeviceEnabled, 1);
    EXPECT_EQ(s.scanner.ResultCode(), OPOS_E_FAILURE);
    EXPECT_EQ(s.Number(PIDX_DeviceEnabled), 0);
    EXPECT_EQ(s.scanner.EventQueue().GetAllowableEvents(), 0);
    EXPECT_EQ(s.scanner.EventQueue().GetEnabledEvents(), 0);
    EXPECT_TRUE(trace.Has(0, "CScanner", "Unable to open COM port (2)."));
    EXPECT_EQ(s.scanner.ProcessDataEvent(kUpcaFrame), 0);
    EXPECT_EQ(s.Number(PIDX_DataCount), 0);
}

TEST_F(ScannerTest, EnablingWhileFrozenStillDeliversErrorEvents) {
    SerialProfile("1");
    ASSERT_EQ(s.Open(), OPOS_SUCCESS);
    ASSERT_EQ(s.scanner.ClaimDevice(0), OPOS_SUCCESS);
    s.Set(PIDX_FreezeEvents, 1);
    s.Set(PIDX_DeviceEnabled, 1);
    EXPECT_EQ(s.scanner.EventQueue().GetEnabledEvents(), kEventError);
}

TEST_F(ScannerTest, Rs232FrameIsAcknowledgedTwiceQueuedAndDecoded) {
    SerialProfile("1");
    ASSERT_EQ(s.OpenClaimEnable(), OPOS_SUCCESS);
    s.Set(PIDX_SCAN_DecodeData, 1);
    pty.Send(kUpcaFrame);
    EXPECT_EQ(pty.Receive(test::kPatience, 2), "\x06\x06");
    ASSERT_TRUE(test::PumpUntil([&] { return s.Number(PIDX_DataCount) == 1; }));
    ASSERT_TRUE(s.WaitForDataEvents(1));
    EXPECT_EQ(s.String(PIDX_SCAN_ScanData), "012345678905");
    EXPECT_EQ(s.String(PIDX_SCAN_ScanDataLabel), "012345678905");
    EXPECT_EQ(s.Number(PIDX_SCAN_ScanDataType), SCAN_SDT_UPCA);
    EXPECT_EQ(s.Number(PIDX_DataEventEnabled), 0);
    EXPECT_EQ(s.control.Calls().at(0).args, std::vector<std::int32_t>{0});
    // The property is rendered through BinaryConversion like every string.
    s.Set(PIDX_BinaryConversion, OPOS_BC_NIBBLE);
    EXPECT_EQ(s.String(PIDX_SCAN_ScanData), "303132333435363738393035");

    const std::vector<std::string> m = trace.Messages("CScanner");
    auto has = [&](const std::string& line) {
        return std::find(m.begin(), m.end(), line) != m.end();
    };
    EXPECT_TRUE(has("Enter ProcessDataEvent"));
    EXPECT_TRUE(has("  *   Data: " + kUpcaFrame));
    EXPECT_TRUE(has("  *   in ProcessDataEvent, Data.length = 15"));
    EXPECT_EQ(std::count(m.begin(), m.end(), "  *   in ProcessDataEvent, about to send ACK (\x06)"),
              2);
    EXPECT_TRUE(has("  *   in ProcessDataEvent, about to try to enqueue event"));
    EXPECT_TRUE(has("  *   ReturnValue = 0"));
    EXPECT_TRUE(has("Enter HandleDataEvent"));
}

TEST_F(ScannerTest, FramesThatCarryNoLabelAreDropped) {
    SerialProfile("1");
    ASSERT_EQ(s.OpenClaimEnable(), OPOS_SUCCESS);
    EXPECT_EQ(s.scanner.ProcessDataEvent("\x02\x03\x03"), 0);  // three bytes
    EXPECT_TRUE(trace.Has(4, "CScanner", "  *   in ProcessDataEvent, Data.length() <= 3"));
    pty.Send("\x02\x02\x02\x03");  // STX bytes only: acknowledged, but nothing to deliver
    EXPECT_EQ(pty.Receive(test::kPatience, 2), "\x06\x06");
    ASSERT_TRUE(test::PumpUntil([&] {
        return trace.Has(2, "CScanner",
                         "Scan data without a label received and dropped: 02 02 02 03");
    }));
    EXPECT_EQ(s.Number(PIDX_DataCount), 0);

    // An event that cannot be queued any more is traced and dropped.
    s.scanner.EventQueue().SetAllowableEvents(0);
    pty.Send(kUpcaFrame);
    ASSERT_TRUE(test::PumpUntil(
        [&] { return trace.Has(0, "CScanner", "Unable to queue the specified event type."); }));
    EXPECT_EQ(s.Number(PIDX_DataCount), 0);

    s.Set(PIDX_DeviceEnabled, 0);
    EXPECT_EQ(s.scanner.ProcessDataEvent(kUpcaFrame), 0);
    EXPECT_TRUE(trace.Has(4, "CScanner", "  *   in ProcessDataEvent, Device is Disabled"));
}

TEST_F(ScannerTest, SingleCableSendsItsCommandsAndIgnoresCommandReplies) {
    SerialProfile("0", "Heronix/2110");
    ASSERT_EQ(s.OpenClaimEnable(), OPOS_SUCCESS);
    EXPECT_EQ(pty.Receive(test::kPatience, 4), Bytes({0xF3, 0x11, 0x00, 0xF1}));
    pty.Send(Bytes({0xF3, 'S', 0x11, 0x00, 0xF1}));
    pty.Send(Bytes({0xF3, 0x01, 0xF1}));
    pty.Send(Bytes({0xF3, 0x01, 0x03}) + "012345678905" + Bytes({0xF1}));
    ASSERT_TRUE(test::PumpUntil([&] { return s.Number(PIDX_DataCount) == 1; }));
    const std::vector<std::string> m = trace.Messages("CScanner");
    EXPECT_EQ(
        std::count(m.begin(), m.end(), "  *   in ProcessDataEvent, id'd Heronix command response"),
        1);  // the 3-byte frame is too short to get that far
    ASSERT_TRUE(s.WaitForDataEvents(1));
    EXPECT_EQ(s.String(PIDX_SCAN_ScanData), "012345678905");
    EXPECT_EQ(s.String(PIDX_SCAN_ScanDataLabel), "");  // DecodeData is false
    EXPECT_EQ(s.Number(PIDX_SCAN_ScanDataType), 0);
    EXPECT_EQ(pty.Receive(200ms), "");  // no ACKs on the single cable
    s.Set(PIDX_DeviceEnabled, 0);
    EXPECT_EQ(pty.Receive(test::kPatience, 4), Bytes({0xF3, 0x12, 0x00, 0xF1}));
}

TEST_F(ScannerTest, DirectIOWritesTheSequenceOfEachCommandAndReturnsItsArgumentsUnchanged) {
    struct Row {
        const char* kind;
        std::int32_t command;
        std::string wire;
        std::vector<int> pauses;
    };
    const std::string beep = Bytes({0xF3, 0x14, 0x01, 0xF1});
    const Row kRows[] = {
        {"0", 1, beep + beep + beep, {125, 125, 125}},
        {"0", 2, Bytes({0xF3, 0x14, 0x02, 0xF1}), {1000}},
        {"0", 3, beep, {100}},
        {"0", 4, Bytes({0xF3, 0x14, 0x00, 0xF1}), {100}},
        {"0", 5, Bytes({0xF3, 0x18, 0x00, 0xF1}), {100}},
        {"0", 10, "a\x00\xFF", {100}},
        {"0", 6, "", {}},
        {"1", 1, "\x07\x07\x07", {300, 300, 300}},
        {"1", 2, "z", {250}},
        {"1", 3, "\x07", {250}},
        {"1", 4, "", {}},
        {"1", 5, "", {}},
        {"1", 10, "a\x00\xFF", {100}},
        {"1", 99, "", {}},
    };
    for (const Row& row : kRows) {
        SCOPED_TRACE(testing::Message() << "kind " << row.kind << " command " << row.command);
        test::PauseRecorder pauses;
        ScannerTimings timings = test::FastTimings();
        timings.pause = pauses.Hook();
        SerialProfile(row.kind, row.kind[0] == '0' ? "Heronix/2110" : "6620");
        auto object = std::make_unique<ScannerObject>(timings);
        ASSERT_EQ(object->OpenClaimEnable(), OPOS_SUCCESS);
        pty.Receive(100ms);  // the enable command of the single cable
        pauses.Clear();
        std::int32_t data = 4711;
        std::string text("a\x00\xFF", 3);
        EXPECT_EQ(object->scanner.DirectIO(row.command, &data, &text), OPOS_SUCCESS);
        EXPECT_EQ(data, 4711);
        EXPECT_EQ(text, std::string("a\x00\xFF", 3));
        const std::string expected = row.command == 10 ? std::string("a\x00\xFF", 3) : row.wire;
        EXPECT_EQ(pty.Receive(expected.empty() ? 100ms : test::kPatience, expected.size()),
                  expected);
        EXPECT_EQ(pauses.Pauses(), row.pauses);
        object->scanner.CloseService();
        pty.Receive(100ms);  // the disable command of the single cable
    }
    // A disabled scanner answers 106 and writes nothing.
    SerialProfile("1");
    ASSERT_EQ(s.Open(), OPOS_SUCCESS);
    ASSERT_EQ(s.scanner.ClaimDevice(0), OPOS_SUCCESS);
    std::int32_t data = 1;
    std::string text = "abc";
    EXPECT_EQ(s.scanner.DirectIO(10, &data, &text), OPOS_E_ILLEGAL);
    EXPECT_EQ(s.scanner.ResultCode(), OPOS_E_ILLEGAL);
    EXPECT_EQ(text, "abc");
    EXPECT_TRUE(trace.Has(4, "CScanner", "  *   Command: 10"));
    EXPECT_TRUE(trace.Has(4, "CScanner", "  *   pString: abc"));
    EXPECT_TRUE(trace.Has(4, "CScanner", "  *  pRC: 106"));
}

TEST_F(ScannerTest, StatisticsNeedAClaimedEnabledScannerAndARepliesLongEnough) {
    SerialProfile("1");
    ASSERT_EQ(s.Open(), OPOS_SUCCESS);
    std::string request = "U_";
    EXPECT_EQ(s.scanner.RetrieveStatistics(&request), OPOS_E_NOTCLAIMED);
    EXPECT_TRUE(
        trace.Has(1, "CScanner", "Attempt to retrieve statistics before the device is claimed."));
    ASSERT_EQ(s.scanner.ClaimDevice(0), OPOS_SUCCESS);
    EXPECT_EQ(s.scanner.RetrieveStatistics(&request), OPOS_E_DISABLED);
    EXPECT_TRUE(
        trace.Has(1, "CScanner", "Attempt to retrieve statistics before the device is enabled."));
    EXPECT_EQ(request, "U_");
    s.Set(PIDX_DeviceEnabled, 1);

    // The device answers "U" from a thread of its own; first too short, then in full.
    std::atomic<int> requests{0};
    std::atomic<bool> stop{false};
    std::thread device([&] {
        while (!stop) {
            if (pty.Receive(20ms, 1) == "U") {
                pty.Send(++requests == 1 ? "\x01"
                                           "1.8.0,ab\x03"
                                         : "\x01"
                                           "UPOS 1.8.0,Scanner,,,\x03");
            }
        }
    });
    ScannerTimings timings = test::FastTimings(300ms);
    s.scanner.SetTimings(timings);
    EXPECT_EQ(s.scanner.RetrieveStatistics(&request), OPOS_E_TIMEOUT);
    EXPECT_EQ(request, "U_");
    EXPECT_TRUE(trace.Has(1, "CScanner",
                          "Error or timeout on attempt to retrieve statistics from scanner."));
    s.scanner.SetTimings(test::FastTimings(test::kPatience));
    request = "";
    EXPECT_EQ(s.scanner.RetrieveStatistics(&request), OPOS_SUCCESS);
    EXPECT_NE(request.find("<UnifiedPOSVersion>1.8.0</UnifiedPOSVersion>"), std::string::npos);
    EXPECT_NE(request.find("<Interface>RS232</Interface>"), std::string::npos);
    stop = true;
    device.join();
    EXPECT_TRUE(trace.Has(4, "CScanner", "  *   m_ScannerStats = UPOS 1.8.0,Scanner,,,"));
    // A reply when nothing was asked for is ignored.
    EXPECT_EQ(s.scanner.ProcessStatsEvent("\x01"
                                          "late reply, ignored\x03"),
              0);
}

TEST_F(ScannerTest, StatisticsTimeOutOnUsbWhereNothingIsRequested) {
    auto device = PlugHid(0x4B00);
    test::WriteScannerProfile("Lane1", {"6620", "2", std::nullopt, std::nullopt});
    s.scanner.SetTimings(test::FastTimings(200ms));
    ASSERT_EQ(s.OpenClaimEnable(), OPOS_SUCCESS);
    std::string request = "M_";
    EXPECT_EQ(s.scanner.RetrieveStatistics(&request), OPOS_E_TIMEOUT);
    EXPECT_EQ(request, "M_");
    EXPECT_TRUE(trace.Has(1, "CScanner",
                          "Attempt to RequestStatistics through an interface for which this method "
                          "is not presently supported and/or tested."));
}

TEST_F(ScannerTest, DataPropertiesAreSafeToReadWhileLabelsAreDecoded) {
    SerialProfile("1");
    ASSERT_EQ(s.OpenClaimEnable(), OPOS_SUCCESS);
    s.Set(PIDX_SCAN_DecodeData, 1);
    constexpr int kLabels = 200;
    std::thread device([&] {
        for (int i = 0; i < kLabels; ++i) {
            pty.Send(i % 2 ? "\x02"
                             "c012345678905\x03"
                           : "\x02"
                             "jCODE128\x03");
        }
    });
    // Read the properties at any moment, also while the delivery thread decodes the next label.
    bool consistent = true;
    ASSERT_TRUE(test::PumpUntil([&] {
        if (!(s.scanner.StatusBits() & kDataEventEnabled)) {
            s.Set(PIDX_DataEventEnabled, 1);
        }
        const std::string data = s.String(PIDX_SCAN_ScanData);
        const std::int32_t type = s.Number(PIDX_SCAN_ScanDataType);
        consistent &= data.empty() || data == "012345678905" || data == "CODE128";
        consistent &= type == 0 || type == SCAN_SDT_UPCA || type == SCAN_SDT_Code128;
        return s.DataEvents() == kLabels;
    }));
    device.join();
    EXPECT_TRUE(consistent);
}

TEST_F(ScannerTest, UsbReportsAreCheckedJoinedAndNeverReadPastTheirLength) {
    auto device = PlugHid(0x4B00);
    test::WriteScannerProfile("Lane1", {"6620", "2", std::nullopt, std::nullopt});
    ASSERT_EQ(s.OpenClaimEnable(), OPOS_SUCCESS);
    EXPECT_EQ(device->NextOutputReport(test::kPatience),
              std::string("\x00\x11\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00", 12));
    s.Set(PIDX_SCAN_DecodeData, 1);
    ASSERT_TRUE(device->WaitForHosts(1, test::kPatience));
    const std::string end = Bytes({0x00, 0x18, 0x0B});
    const std::string more = Bytes({0x10, 0x18, 0x0B});
    device->SendReport(Bytes({0x00, 0x04, 0x00, 0x03, 0x00, '1', 0x0D}));  // L = 4
    device->SendReport(Bytes({0x00, 0x7F, 0x00, 0x03, 0x00, '1', 0x0D}));  // L past the end
    device->SendReport(Bytes({0x00, 0x06}));                               // no header
    device->SendReport(UsbReport("FIRST-" + more));
    device->SendReport(UsbReport("SECOND" + end));
    ASSERT_TRUE(s.WaitForDataEvents(1));
    EXPECT_EQ(s.String(PIDX_SCAN_ScanData), "FIRST-SECOND");
    EXPECT_EQ(s.Number(PIDX_SCAN_ScanDataType), SCAN_SDT_Code128);
    EXPECT_EQ(s.Number(PIDX_DataCount), 0);
    EXPECT_TRUE(trace.Has(2, "CScanner",
                          "USB report shorter than its length byte claims dropped: "
                          "00 7F 00 03 00 31 0D"));

    // A part left over from before a disable does not join the next label.
    device->SendReport(UsbReport("STALE" + more));
    ASSERT_TRUE(test::PumpUntil([&] { return trace.Has(4, "CScanner", "  *   ReturnValue = 0"); }));
    test::PumpFor(100ms);
    s.Set(PIDX_DeviceEnabled, 0);
    s.Set(PIDX_DeviceEnabled, 1);
    ASSERT_TRUE(device->WaitForHosts(1, test::kPatience));
    test::PumpFor(100ms);
    device->SendReport(UsbReport("FRESH" + end));
    ASSERT_TRUE(s.WaitForDataEvents(2));
    EXPECT_EQ(s.String(PIDX_SCAN_ScanData), "FRESH");
}

TEST_F(ScannerTest, AutoDisableStopsTheLinkAndDisablesBeforeDelivery) {
    SerialProfile("1");
    ASSERT_EQ(s.OpenClaimEnable(), OPOS_SUCCESS);
    s.Set(PIDX_AutoDisable, 1);
    EXPECT_EQ(s.scanner.ProcessDataEvent(kUpcaFrame), 1);
    ASSERT_TRUE(test::PumpUntil([&] { return s.Number(PIDX_DeviceEnabled) == 0; }));
    EXPECT_EQ(s.Number(PIDX_DataCount), 1);
    EXPECT_EQ(s.DataEvents(), 0u);
    ASSERT_TRUE(s.WaitForDataEvents(1));
    EXPECT_EQ(s.String(PIDX_SCAN_ScanData), "012345678905");

    // On the single cable the link keeps reading for the scale that shares the port.
    ScannerObject single;
    SerialProfile("0", "Heronix/2110");
    ASSERT_EQ(single.OpenClaimEnable(), OPOS_SUCCESS);
    single.Set(PIDX_AutoDisable, 1);
    EXPECT_EQ(single.scanner.ProcessDataEvent(Bytes({0xF3, 1, 3, '1', 0xF1})), 0);
    ASSERT_TRUE(test::PumpUntil([&] { return single.Number(PIDX_DeviceEnabled) == 0; }));
}

}  // namespace
}  // namespace talvex
