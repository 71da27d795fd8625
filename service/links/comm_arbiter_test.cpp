#include "service/links/comm_arbiter.h"

#include <gtest/gtest.h>

#include <atomic>

#include "platform/hid/simulated_hid_server.h"
#include "platform/serial/rfc2217_server.h"
#include "platform/serial/serial_port.h"
#include "service/frame/errors.h"
#include "service/links/link_test_support.h"
#include "service/links/usb_device_info.h"
#include "tests/support/temp_root.h"

namespace talvex {
namespace {

using namespace std::chrono_literals;
using sorvex::hid::SimulatedHidServer;
using test::kPatience;
using test::Pty;
using test::Recorder;
using test::WaitUntil;

constexpr int kPort = 3;

class CommArbiterTest : public ::testing::Test {
  protected:
    CommArbiterTest() { test::MapComPort(kPort, pty.SlavePath()); }

    sorvex::test::TempRoot root;
    test::TraceCapture trace;
    Pty pty;
    CCommArbiter arbiter;
};

bool PortIsFree(const std::string& path) {
    try {
        sorvex::serial::OpenPort(path);
        return true;
    } catch (const sorvex::serial::PortError&) {
        return false;
    }
}

TEST_F(CommArbiterTest, ThePortStaysOpenWhileASubscriberIsLeftAndReopensAfterwards) {
    Recorder label, stats;
    arbiter.AddSerialDevice(0, kPort, 0x02, 0x03, &label, &Recorder::Frame);
    arbiter.AddSerialDevice(0, kPort, 0x01, 0x03, &stats, &Recorder::Frame);
    EXPECT_EQ(arbiter.IsUsbPort(kPort), 0);
    arbiter.RemoveSerialDevice(0, kPort, 0x02, 0x03);
    EXPECT_EQ(arbiter.IsUsbPort(kPort), 0) << "the port closed with a subscriber left";
    pty.Send(
        "\x02"
        "A\x03\x01"
        "S\x03");
    ASSERT_TRUE(stats.WaitForCount(1));
    EXPECT_EQ(stats.Data()[0],
              "\x01"
              "S\x03");
    EXPECT_EQ(label.Count(), 0u);
    arbiter.RemoveSerialDevice(0, kPort, 0x01, 0x03);
    EXPECT_EQ(arbiter.IsUsbPort(kPort), -1);
    EXPECT_TRUE(PortIsFree(pty.SlavePath()));
    arbiter.AddSerialDevice(0, kPort, 0x02, 0x03, &label, &Recorder::Frame);
    EXPECT_EQ(arbiter.IsUsbPort(kPort), 0);
    EXPECT_FALSE(PortIsFree(pty.SlavePath()));
    pty.Send(
        "\x02"
        "B\x03");
    ASSERT_TRUE(label.WaitForCount(1));
    EXPECT_EQ(label.Data()[0],
              "\x02"
              "B\x03");
    arbiter.RemoveSerialDevice(0, kPort, 0x02, 0x03);
}

TEST_F(CommArbiterTest, RemoveSerialDeviceTracesWhatItCloses) {
    arbiter.AddSerialDevice(1, kPort, 0xF8, 0xF1, nullptr, nullptr);
    arbiter.RemoveSerialDevice(1, kPort, 0xF8, 0xF1);
    std::vector<std::string> messages = trace.Messages("CCommArbiter");
    EXPECT_EQ(messages, (std::vector<std::string>{
                            "Enter AddSerialDevice(...)", "Exit AddSerialDevice(...)",
                            "Enter RemoveSerialDevice(...)", "  *   int DeviceType    = 1",
                            "  *   int ComPort       = 3", "  *   StartChar,StopChar: F8,F1",
                            "  *   about to delete CommDevices[3].Comm",
                            "  *   about to set CommDevices[3].Comm = NULL",
                            "Exit RemoveSerialDevice(...)"}));
}

TEST_F(CommArbiterTest, WriteDataReachesTheDeviceAndDoesNothingWithoutALink) {
    arbiter.WriteData(kPort, "lost");
    arbiter.WriteData(CCommArbiter::kComPortSlots, "out of range");
    arbiter.WriteData(-1, "out of range");
    arbiter.AddSerialDevice(0, kPort, 0x02, 0x03, nullptr, nullptr);
    const std::string bytes("\x06\x00\xFF", 3);
    arbiter.WriteData(kPort, bytes);
    EXPECT_EQ(pty.Receive(kPatience, 3), bytes);
    arbiter.RemoveSerialDevice(0, kPort, 0x02, 0x03);
    EXPECT_TRUE(trace.Has(4, "CCommArbiter", "  *   int ComPort         = 3"));
    EXPECT_TRUE(trace.Has(4, "CCommArbiter", "  *   std::string ToWrite = " + bytes));
    for (const test::TraceLine& line : trace.Lines()) {
        EXPECT_NE(line.level, 0) << line.tag << ": " << line.message;
    }
}

TEST_F(CommArbiterTest, AFailedWriteIsTracedAndDropped) {
    arbiter.AddSerialDevice(0, kPort, 0x02, 0x03, nullptr, nullptr);
    pty.CloseMaster();
    EXPECT_NO_THROW(arbiter.WriteData(kPort, "x"));
    EXPECT_TRUE(trace.Has(0, "CCommArbiter::WriteData", "Error writing data (1167)."));
    arbiter.RemoveSerialDevice(0, kPort, 0x02, 0x03);
}

TEST_F(CommArbiterTest, QueriesWithoutLinks) {
    EXPECT_EQ(arbiter.IsUsbPort(kPort), -1);
    EXPECT_EQ(arbiter.IsUsbPort(-1), -1);
    EXPECT_EQ(arbiter.IsUsbPort(CCommArbiter::kComPortSlots), -1);
    const std::pair<int, int> kMax[] = {{0, 128}, {1, 128}, {2, 127}, {3, 127},
                                        {4, -1},  {7, -1},  {-1, -1}};
    for (auto [kind, max] : kMax) {
        EXPECT_EQ(arbiter.MaxPortNumber(kind), max) << "kind " << kind;
    }
}

TEST_F(CommArbiterTest, APortThatCannotBeOpenedRaisesTheLinksMessageAndSubscribesNothing) {
    auto holder = sorvex::serial::OpenPort(pty.SlavePath());
    try {
        arbiter.AddSerialDevice(0, kPort, 0x02, 0x03, nullptr, nullptr);
        FAIL() << "opened a port in use";
    } catch (const TalvexError& e) {
        EXPECT_STREQ(e.what(), "Unable to open COM port (5).");
        EXPECT_EQ(dynamic_cast<const CommError*>(&e), nullptr) << "the caller sees the base class";
    }
    EXPECT_EQ(arbiter.IsUsbPort(kPort), -1);
    try {
        arbiter.AddSerialDevice(0, CCommArbiter::kComPortSlots, 0x02, 0x03, nullptr, nullptr);
        FAIL() << "accepted port 128";
    } catch (const CommArbiterError& e) {
        EXPECT_STREQ(e.what(), "Invalid COM port number (128).");
    }
}

TEST_F(CommArbiterTest, SingleCableFramesGoToTheirSubscribersWhoMayWriteFromTheCallback) {
    Recorder scanner;
    struct Scale {
        CCommArbiter* arbiter;
        Recorder frames;
    } scale{&arbiter, {}};
    DataCallback weigh = [](void* p, const std::string& frame) {
        auto* s = static_cast<Scale*>(p);
        s->arbiter->WriteData(kPort,
                              "\xF8"
                              "W\xF1");  // asks for the next weight
        return Recorder::Frame(&s->frames, frame);
    };
    arbiter.AddSerialDevice(0, kPort, 0xF3, 0xF1, &scanner, &Recorder::Frame);
    arbiter.AddSerialDevice(1, kPort, 0xF8, 0xF1, &scale, weigh);
    pty.Send(
        "\xF3"
        "1A\xF1\xF8"
        "00\xF1\xF3"
        "1B\xF1\xF8"
        "01\xF1");
    ASSERT_TRUE(scanner.WaitForCount(2));
    ASSERT_TRUE(scale.frames.WaitForCount(2));
    EXPECT_EQ(scanner.Data(), (std::vector<std::string>{"\xF3"
                                                        "1A\xF1",
                                                        "\xF3"
                                                        "1B\xF1"}));
    EXPECT_EQ(scale.frames.Data(), (std::vector<std::string>{"\xF8"
                                                             "00\xF1",
                                                             "\xF8"
                                                             "01\xF1"}));
    EXPECT_EQ(pty.Receive(kPatience, 6),
              "\xF8"
              "W\xF1\xF8"
              "W\xF1");
    arbiter.RemoveSerialDevice(0, kPort, 0xF3, 0xF1);
    arbiter.RemoveSerialDevice(1, kPort, 0xF8, 0xF1);
}

TEST_F(CommArbiterTest, ACallbackMayRemoveTheLastSubscriptionOfItsOwnPort) {
    struct Self {
        CCommArbiter* arbiter;
        std::atomic<int> calls{0};
    } self{&arbiter};
    DataCallback leave = [](void* p, const std::string&) {
        auto* s = static_cast<Self*>(p);
        s->arbiter->RemoveSerialDevice(0, kPort, 0x02, 0x03);
        ++s->calls;
        return 0;
    };
    arbiter.AddSerialDevice(0, kPort, 0x02, 0x03, &self, leave);
    pty.Send(
        "\x02"
        "A\x03");
    ASSERT_TRUE(WaitUntil([&] { return self.calls == 1; }));
    EXPECT_EQ(arbiter.IsUsbPort(kPort), -1);
    Recorder next;
    arbiter.AddSerialDevice(0, kPort, 0x02, 0x03, &next, &Recorder::Frame);
    pty.Send(
        "\x02"
        "B\x03");
    ASSERT_TRUE(next.WaitForCount(1));
    arbiter.RemoveSerialDevice(0, kPort, 0x02, 0x03);
}

TEST_F(CommArbiterTest, NoCallbackEntersADetachedContext) {
    Recorder gone, stays;
    arbiter.AddSerialDevice(0, kPort, 0x02, 0x03, &gone, &Recorder::Frame);
    arbiter.AddSerialDevice(1, kPort, 0xF8, 0xF1, &stays, &Recorder::Frame);
    arbiter.DetachContext(&gone);
    pty.Send(
        "\x02"
        "A\x03\xF8"
        "0\xF1");
    ASSERT_TRUE(stays.WaitForCount(1));
    EXPECT_EQ(gone.Count(), 0u);
    arbiter.RemoveSerialDevice(1, kPort, 0xF8, 0xF1);
    EXPECT_EQ(arbiter.IsUsbPort(kPort), 0) << "the detached subscription keeps the port open";
    arbiter.RemoveSerialDevice(0, kPort, 0x02, 0x03);
    EXPECT_EQ(arbiter.IsUsbPort(kPort), -1);
}

TEST_F(CommArbiterTest, AUsbVirtualPortIsReportedAsSuch) {
    sorvex::serial::Rfc2217Server::Options options;
    options.model.ignoreBaud300 = true;
    sorvex::serial::Rfc2217Server server([](std::string_view) {}, options);
    test::MapComPort(12, server.Url());
    arbiter.AddSerialDevice(0, 12, 0x01, 0x05, nullptr, nullptr);
    EXPECT_EQ(arbiter.IsUsbPort(12), 1);
    arbiter.RemoveSerialDevice(0, 12, 0x01, 0x05);
    EXPECT_EQ(arbiter.IsUsbPort(12), -1);
}

TEST_F(CommArbiterTest, UsbLinksByKind) {
    auto scale = SimulatedHidServer::Create("scale", 0xFF45, 0x6E00, MakerVendorId, 1);
    Recorder first, second;
    arbiter.AddIbmUsbDevice(2, "scale", &first, &Recorder::Report);
    try {
        arbiter.AddIbmUsbDevice(2, "scale", &second, &Recorder::Report);
        FAIL() << "a second link of one kind";
    } catch (const CommArbiterError& e) {
        EXPECT_STREQ(e.what(), "Device already in use.");
    }
    ASSERT_TRUE(scale->WaitForHosts(1, kPatience));
    ASSERT_TRUE(scale->SendReport(std::string("\x00\x05", 2)));
    ASSERT_TRUE(first.WaitForCount(1)) << "the first link was disturbed";
    const std::string request("\x00\x01\x00\x00\x00\x00", 6);
    arbiter.WriteUsbData(2, request);
    EXPECT_EQ(scale->NextOutputReport(kPatience), request);
    arbiter.WriteUsbData(3, request);  // no link of that kind: nothing happens
    arbiter.RemoveIbmUsbDevice(2);
    EXPECT_TRUE(WaitUntil([&] { return scale->HostCount() == 0; }));
    arbiter.AddIbmUsbDevice(2, "scale", &second, &Recorder::Report);
    arbiter.RemoveIbmUsbDevice(2);
    EXPECT_EQ(second.Count(), 0u);
    EXPECT_TRUE(trace.Has(4, "CCommArbiter", "  *   int DeviceType  = 2"));
    EXPECT_TRUE(trace.Has(4, "CCommArbiter", "  *   astrModelNumber = scale"));
}

TEST_F(CommArbiterTest, AnAbsentUsbDeviceRaisesTheLinksMessage) {
    try {
        arbiter.AddIbmUsbDevice(1, "Heronix/2110", nullptr, nullptr);
        FAIL() << "found an absent device";
    } catch (const TalvexError& e) {
        EXPECT_STREQ(e.what(), "Specified device type is not connected to the system.");
        EXPECT_EQ(dynamic_cast<const CommError*>(&e), nullptr);
    }
    auto scanner = SimulatedHidServer::Create("scanner", 0xFF45, 0x4A00, MakerVendorId, 1);
    arbiter.AddIbmUsbDevice(1, "Heronix/2110", nullptr, nullptr);  // the failure left no entry
    arbiter.RemoveIbmUsbDevice(1);
}

TEST_F(CommArbiterTest, AFailedUsbWriteIsTracedAndDropped) {
    auto scanner = SimulatedHidServer::Create("scanner", 0xFF45, 0x4B00, MakerVendorId, 1);
    Recorder lost;
    arbiter.AddIbmUsbDevice(3, "Falcora 3300", &lost, &Recorder::Report);
    scanner->Unplug();
    ASSERT_TRUE(lost.WaitForCount(1));
    EXPECT_NO_THROW(arbiter.WriteUsbData(3, std::string(12, '\0')));
    EXPECT_TRUE(trace.Has(0, "CCommArbiter::WriteUsbData", "Error writing data (1167)."));
    arbiter.RemoveIbmUsbDevice(3);
}

}  // namespace
}  // namespace talvex
