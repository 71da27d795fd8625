#include "service/links/ibm_usb_comm.h"

#include <gtest/gtest.h>

#include <atomic>

#include "platform/hid/simulated_hid_server.h"
#include "service/frame/errors.h"
#include "service/links/link_test_support.h"
#include "service/links/read_thread.h"
#include "service/links/usb_device_info.h"
#include "tests/support/temp_root.h"

namespace talvex {
namespace {

using namespace std::chrono_literals;
using sorvex::hid::SimulatedHidServer;
using test::kPatience;
using test::Recorder;
using test::WaitUntil;

class IbmUsbCommTest : public ::testing::Test {
  protected:
    sorvex::test::TempRoot root;
    test::TraceCapture trace;
    Recorder recorder;

    std::unique_ptr<SimulatedHidServer> Plug(const std::string& name, std::uint16_t usage) {
        return SimulatedHidServer::Create(name, 0xFF45, usage, MakerVendorId, 0x0200);
    }
};

TEST_F(IbmUsbCommTest, AnAbsentDeviceIsReported) {
    auto scale = Plug("scale", 0x6E00);
    try {
        CIbmUsbComm link(3, "Falcora 3300", &recorder, &Recorder::Report);
        FAIL() << "found a hand-held scanner that is not there";
    } catch (const IbmUsbCommError& e) {
        EXPECT_STREQ(e.what(), "Specified device type is not connected to the system.");
    }
}

TEST_F(IbmUsbCommTest, ReportsArriveAndOutputReportsGoOut) {
    struct Row {
        const char* what;
        int kind;
        std::uint16_t usage;
        const char* model;
        std::string output;  // one report of the size the service objects send
    };
    const Row kRows[] = {
        {"table-top scanner", 1, 0x4A00, "Heronix/2110",
         std::string("\x00\x01\x02\x03\x04\x05\x06\x07\x08\x09\xFF\x00", 12)},
        {"hand-held scanner", 3, 0x4B00, "Falcora 3300",
         std::string("\x00\x11\x00\x00\x00\x00\x00\x00\x00\x00\x00\x01", 12)},
        {"scale", 2, 0x6E01, "scale", std::string("\x00\x01\x00\xFF\x00\x00", 6)},
    };
    for (const Row& row : kRows) {
        SCOPED_TRACE(row.what);
        Recorder reports;
        auto device = Plug("device", row.usage);
        CIbmUsbComm link(row.kind, row.model, &reports, &Recorder::Report);
        EXPECT_EQ(link.DeviceKind(), row.kind);
        ASSERT_TRUE(device->WaitForHosts(1, kPatience));
        const std::string report(
            "\x00\x02"
            "0123\xFF\x00\x03",
            9);
        ASSERT_TRUE(device->SendReport(report));
        ASSERT_TRUE(reports.WaitForCount(1));
        ASSERT_EQ(reports.Calls().size(), 1u);
        EXPECT_EQ(reports.Calls()[0].data, report);
        EXPECT_EQ(reports.Calls()[0].lost, 0);
        link.WriteString(row.output);
        EXPECT_EQ(device->NextOutputReport(kPatience), row.output);
    }
    EXPECT_TRUE(trace.Has(4, "CIbmUsbComm",
                          "  *   in ::RunReadThread, Received: 00 02 30 31 32 33 FF 00 03"));
    EXPECT_TRUE(trace.Has(4, "CIbmUsbComm", "  *   ToWrite: 00 01 00 FF 00 00"));
}

TEST_F(IbmUsbCommTest, AnUnpluggedScannerIsReportedOnceAndTheThreadEnds) {
    auto scanner = Plug("scanner", 0x4B00);
    CIbmUsbComm link(3, "Falcora 3300", &recorder, &Recorder::Report);
    ASSERT_TRUE(scanner->WaitForHosts(1, kPatience));
    scanner->Unplug();
    ASSERT_TRUE(WaitUntil([&] { return !link.Reading(); }));
    ASSERT_EQ(recorder.Calls().size(), 1u);
    EXPECT_EQ(recorder.Calls()[0].data, "");
    EXPECT_EQ(recorder.Calls()[0].lost, 1);
    EXPECT_TRUE(
        trace.Has(4, "CIbmUsbComm", "  *   in ::RunReadThread, Error while waiting for data"));
    EXPECT_TRUE(trace.Has(4, "CIbmUsbComm", "  *   in ::RunReadThread, about to ::ExitThread(0)"));
    try {
        link.WriteString(std::string(12, '\0'));
        FAIL() << "wrote to an unplugged scanner";
    } catch (const CommError& e) {
        EXPECT_STREQ(e.what(), "Error writing data (1167).");
    }
}

TEST_F(IbmUsbCommTest, AnUnpluggedScaleEndsTheThreadWithoutCallback) {
    auto scale = Plug("scale", 0x6E00);
    CIbmUsbComm link(2, "scale", &recorder, &Recorder::Report);
    ASSERT_TRUE(scale->WaitForHosts(1, kPatience));
    scale->Unplug();
    ASSERT_TRUE(WaitUntil([&] { return !link.Reading(); }));
    EXPECT_EQ(recorder.Count(), 0u);
    EXPECT_TRUE(trace.Has(0, "CIbmUsbComm", "Error while waiting for data (1167)."));
}

TEST_F(IbmUsbCommTest, DestroyingAnIdleLinkEndsItsThreadWithinTheWait) {
    auto scale = Plug("scale", 0x6E00);
    const std::size_t before = ReadThreads().Count();
    {
        CIbmUsbComm link(2, "scale", &recorder, &Recorder::Report);
        EXPECT_TRUE(link.Reading());
    }
    EXPECT_EQ(ReadThreads().Count(), before);
    EXPECT_EQ(recorder.Count(), 0u);
    // The read thread's own lines may come in between.
    std::vector<std::string> destructor;
    for (const std::string& m : trace.Messages("CIbmUsbComm")) {
        if (m.find("destructor") != std::string::npos) {
            destructor.push_back(m);
        }
    }
    EXPECT_EQ(destructor,
              (std::vector<std::string>{
                  "Enter CIbmUsbComm destructor",
                  "  *   in destructor, about to ::SetEvent(m_TerminateThread)",
                  "  *   in destructor, about to call ::WaitForSingleObject(m_ReadThread, "
                  "INFINITE);",
                  "  *   in destructor, about to call ::CloseHandle for m_ReadThread, for "
                  "m_UsbDevice, and for m_TerminateThread",
                  "Exit CIbmUsbComm destructor"}));
}

TEST_F(IbmUsbCommTest, ALinkStuckInItsCallbackClosesTheDeviceAtOnce) {
    auto scanner = Plug("scanner", 0x4A00);
    std::atomic<bool> entered{false};
    std::atomic<bool> release{false};
    recorder.SetHook([&](const std::string&) {
        entered = true;
        while (!release) {
            std::this_thread::sleep_for(1ms);
        }
    });
    const std::size_t before = ReadThreads().Count();
    auto link = std::make_unique<CIbmUsbComm>(1, "Heronix/2110", &recorder, &Recorder::Report);
    ASSERT_TRUE(scanner->WaitForHosts(1, kPatience));
    ASSERT_TRUE(scanner->SendReport(std::string("\x00\x01", 2)));
    ASSERT_TRUE(WaitUntil([&] { return entered.load(); }));
    link.reset();
    EXPECT_TRUE(WaitUntil([&] { return scanner->HostCount() == 0; })) << "the device stayed open";
    release = true;
    EXPECT_TRUE(WaitUntil([&] {
        ReadThreads().ReapFinished();
        return ReadThreads().Count() == before;
    }));
    EXPECT_EQ(recorder.Count(), 1u);
}

}  // namespace
}  // namespace talvex
