// Applications commonly disable, release or close the scanner from inside their DataEvent
// handler. The handler runs under the scanner's fire lock, and the link's read thread, busy
// with the next label, waits for that same lock meanwhile; the scanner must neither deadlock
// nor crash, and the port must be usable again afterwards.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

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

enum class Action { Disable, Release, Close };

const char* Name(Action a) {
    return a == Action::Disable ? "disable" : a == Action::Release ? "release" : "close";
}

class ScannerHandler : public ::testing::TestWithParam<std::tuple<bool, Action>> {
  protected:
    sorvex::test::TempRoot root;
};

TEST_P(ScannerHandler, LeavingTheScannerFromInsideTheDataEventHandler) {
    const bool usb = std::get<0>(GetParam());
    const Action action = std::get<1>(GetParam());
    test::TraceCapture trace;
    test::SetGlobalValue("LogVerbosity", "4");  // the fullest trace: the slowest paths
    std::vector<std::string> args =
        usb ? std::vector<std::string>{"--model", "scanner-usb-handheld", "--hid-name", "scanner"}
            : std::vector<std::string>{"--model", "scanner-rs232", "--port", "COM3"};
    SimProcess sim(args);
    ASSERT_TRUE(sim.Ready());
    test::WriteScannerProfile(
        "Lane1", {"6620", usb ? "2" : "1", usb ? std::nullopt : std::optional<std::string>("3"),
                  std::nullopt});
    ScannerObject s;
    ASSERT_EQ(s.OpenClaimEnable(), OPOS_SUCCESS);
    if (usb) {
        ASSERT_TRUE(sim.WaitForCommands(1));  // the enable report
    }

    std::atomic<int> handled{0};
    s.control.onCall = [&](const test::FakeControlObject::Call& call) {
        if (call.name != "SOData" || handled++ != 0) {
            return;
        }
        // More labels come while the handler runs: the read thread takes the first of them and
        // then waits for the fire lock, which this handler holds.
        for (int i = 0; i < 5; ++i) {
            sim.Command("scan Code128 HELD" + std::to_string(i));
        }
        std::this_thread::sleep_for(200ms);
        switch (action) {
            case Action::Disable:
                s.Set(PIDX_DeviceEnabled, 0);
                break;
            case Action::Release:
                s.scanner.ReleaseDevice();
                break;
            case Action::Close:
                s.scanner.CloseService();
                break;
        }
    };
    sim.Command("scan Code128 FIRST");
    ASSERT_TRUE(s.WaitForDataEvents(1));
    // What the read thread held back meets a scanner that has left.
    const std::string heldBack = usb ? "Unable to queue the specified event type."
                                     : "  *   in ProcessDataEvent, Device is Disabled";
    EXPECT_TRUE(test::PumpUntil([&] { return trace.Has(usb ? 0 : 4, "CScanner", heldBack); }));
    EXPECT_EQ(handled.load(), 1);
    EXPECT_EQ(s.Number(PIDX_DeviceEnabled) == 1, false);
    switch (action) {
        case Action::Disable:
            EXPECT_EQ(s.Number(PIDX_Claimed), 1);
            break;
        case Action::Release:
            EXPECT_EQ(s.Number(PIDX_Claimed), 0);
            EXPECT_EQ(s.Number(PIDX_DataCount), 0);
            break;
        case Action::Close:
            EXPECT_EQ(s.scanner.State(), OPOS_S_CLOSED);
            break;
    }

    // The device can be taken again at once, and labels flow.
    s.control.onCall = nullptr;
    if (action == Action::Close) {
        ASSERT_EQ(s.OpenClaimEnable(), OPOS_SUCCESS);
    } else {
        ASSERT_EQ(s.scanner.ClaimDevice(0), OPOS_SUCCESS);
        s.Set(PIDX_DeviceEnabled, 1);
        ASSERT_EQ(s.scanner.ResultCode(), OPOS_SUCCESS);
    }
    s.scanner.ClearInput();
    if (usb) {
        ASSERT_TRUE(sim.WaitFor([](const SimProcess& p) {
            const auto c = p.Commands();
            return !c.empty() && c.back() == "enable";
        }));
    }
    sim.Command("scan Code128 AFTER");
    ASSERT_TRUE(test::PumpUntil([&] {
        if (!(s.scanner.StatusBits() & kDataEventEnabled)) {
            s.Set(PIDX_DataEventEnabled, 1);
        }
        return s.String(PIDX_SCAN_ScanData) == "AFTER";
    }));
}

INSTANTIATE_TEST_SUITE_P(EveryInterfaceAndAction, ScannerHandler,
                         testing::Combine(testing::Bool(),
                                          testing::Values(Action::Disable, Action::Release,
                                                          Action::Close)),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param) ? "Usb" : "Rs232") + "_" +
                                    Name(std::get<1>(info.param));
                         });

}  // namespace
}  // namespace talvex
