// Ending a device from inside its own DataEvent handler, with the real service object: it calls
// the handler while it holds its fire lock, and the link's read thread, with more labels already
// on the wire, waits for that lock meanwhile. Closing, releasing, disabling or destroying the
// control object there must neither deadlock nor crash, and the port opens again right after.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
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

enum class Action { Close, Release, Disable, Destroy };

const char* Name(Action action) {
    switch (action) {
        case Action::Close:
            return "Close";
        case Action::Release:
            return "ReleaseDevice";
        case Action::Disable:
            return "DeviceEnabled false";
        case Action::Destroy:
            return "destroy";
    }
    return "?";
}

// Long enough for the labels behind the first one to reach the service object, whose read
// thread then waits for the fire lock that the delivering call holds.
constexpr auto kHoldInHandler = 100ms;

struct Interface {
    const char* name;
    std::vector<std::string> sim;
    Values profile;
    const char* enableCommand;  // the "command" the device logs when the host enables it
    const char* disableCommand;
};

const Interface kInterfaces[] = {
    {"single-cable (0)",
     {"--model", "scanner-single-cable", "--port", "COM3"},
     {{"Model", "Heronix/2110"}, {"Scanner Version", "0"}, {"Serial Port", "3"}},
     "F3 11 00 F1",
     "F3 12 00 F1"},
    {"RS-232 (1)",
     {"--model", "scanner-rs232", "--port", "COM3"},
     {{"Model", "6620"}, {"Scanner Version", "1"}, {"Serial Port", "3"}},
     "",
     ""},
    {"Full Speed USB (2)",
     {"--model", "scanner-usb-handheld", "--hid-name", "scanner"},
     {{"Model", "Falcora 3300"}, {"Scanner Version", "2"}},
     "enable",
     "disable"},
};

TEST(HandlerEndToEnd, ScannerEndsItselfInsideItsDataEvent) {
    const Action kActions[] = {Action::Close, Action::Release, Action::Disable, Action::Destroy};
    for (const Interface& kind : kInterfaces) {
        for (Action action : kActions) {
            SCOPED_TRACE(testing::Message() << kind.name << ", " << Name(action));
            test::TempRoot root;
            ASSERT_TRUE(RegisterServer());
            SimulatedDevice sim(kind.sim);
            WriteScannerProfile("Lane", kind.profile);

            auto scanner = std::make_unique<OposScanner>();
            std::size_t handled = 0;
            std::int32_t actionResult = -1;
            std::int32_t rearmResult = -1;
            std::vector<std::string> later;  // labels after the first one
            scanner->SetDataEventHandler([&](std::int32_t) {
                if (++handled > 1) {
                    later.push_back(scanner->ScanDataLabel());
                    scanner->SetDataEventEnabled(true);
                    return;
                }
                std::this_thread::sleep_for(kHoldInHandler);
                switch (action) {
                    case Action::Close:
                        actionResult = scanner->Close();
                        // A closed control object refuses the next request.
                        scanner->SetDataEventEnabled(true);
                        rearmResult = scanner->ResultCode();
                        break;
                    case Action::Release:
                        actionResult = scanner->ReleaseDevice();
                        break;
                    case Action::Disable:
                        // Events queued before stay queued (until ClearInput or release).
                        scanner->SetDeviceEnabled(false);
                        actionResult = scanner->ResultCode();
                        break;
                    case Action::Destroy:
                        scanner.reset();
                        actionResult = OPOS_SUCCESS;
                        break;
                }
            });
            ASSERT_TRUE(OpenClaimEnable(*scanner, "Lane"));
            scanner->SetDecodeData(true);
            scanner->SetDataEventEnabled(true);
            if (*kind.enableCommand != '\0') {
                ASSERT_TRUE(sim.WaitForCount("command", kind.enableCommand, 1));
            }
            for (int i = 0; i < 4; ++i) {
                sim.Write("scan UPCA 01234567890" + std::to_string(i));
            }
            ASSERT_TRUE(Serve([&] { return handled > 0; }));
            // Served on: no further event comes, DataEventEnabled being off.
            Serve([] { return false; }, 300ms);
            EXPECT_EQ(handled, 1u);
            EXPECT_EQ(actionResult, OPOS_SUCCESS);
            if (*kind.disableCommand != '\0') {
                // The device heard that the host stopped reading.
                ASSERT_TRUE(sim.WaitForCount("command", kind.disableCommand, 1));
            }

            switch (action) {
                case Action::Close:
                    EXPECT_EQ(rearmResult, OPOS_E_CLOSED);
                    EXPECT_EQ(scanner->State(), OPOS_S_CLOSED);
                    break;
                case Action::Release:
                    EXPECT_FALSE(scanner->Claimed());
                    EXPECT_FALSE(scanner->DeviceEnabled());
                    EXPECT_EQ(scanner->DataCount(), 0);
                    EXPECT_EQ(scanner->ClaimDevice(1000), OPOS_SUCCESS);
                    break;
                case Action::Disable:
                    EXPECT_TRUE(scanner->Claimed());
                    EXPECT_FALSE(scanner->DeviceEnabled());
                    EXPECT_EQ(scanner->ClearInput(), OPOS_SUCCESS);
                    EXPECT_EQ(scanner->DataCount(), 0);
                    break;
                case Action::Destroy:
                    EXPECT_EQ(scanner, nullptr);
                    break;
            }
            const char* const kAgain = "scan Code39 AGAIN";
            if (action == Action::Release || action == Action::Disable) {
                // The same control object goes on: enabled again, it opens the port again.
                scanner->SetDeviceEnabled(true);
                ASSERT_EQ(scanner->ResultCode(), OPOS_SUCCESS);
                scanner->SetDataEventEnabled(true);
                if (*kind.enableCommand != '\0') {
                    ASSERT_TRUE(sim.WaitForCount("command", kind.enableCommand, 2));
                }
                sim.Write(kAgain);
                ASSERT_TRUE(Serve([&] { return !later.empty() && later.back() == "AGAIN"; }));
            }

            // The same port, right away: a new control object opens, claims, enables and reads.
            scanner.reset();
            ScannerApp again;
            ASSERT_TRUE(again.Start("Lane"));
            if (*kind.enableCommand != '\0') {
                ASSERT_TRUE(sim.WaitForCount(
                    "command", kind.enableCommand,
                    action == Action::Release || action == Action::Disable ? 3 : 2));
            }
            sim.Write(kAgain);
            ASSERT_TRUE(Serve([&] {
                return !again.labels.empty() && again.labels.back().scanDataLabel == "AGAIN";
            }));
            EXPECT_EQ(again.scanner.Close(), OPOS_SUCCESS);
        }
    }
}

TEST(HandlerEndToEnd, ScaleEndsItselfInsideItsDataEvent) {
    const Action kActions[] = {Action::Close, Action::Release, Action::Disable, Action::Destroy};
    for (Action action : kActions) {
        SCOPED_TRACE(Name(action));
        test::TempRoot root;
        ASSERT_TRUE(RegisterServer());
        SimulatedDevice sim({"--model", "scale-single-cable", "--port", "COM3"});
        WriteScaleProfile("Deli", {{"Scale Version", "0"}, {"Serial Port", "3"}});

        auto scale = std::make_unique<OposScale>();
        std::size_t handled = 0;
        std::int32_t weight = -1;
        std::int32_t actionResult = -1;
        scale->SetDataEventHandler([&](std::int32_t status) {
            ++handled;
            weight = status;
            std::this_thread::sleep_for(kHoldInHandler);
            switch (action) {
                case Action::Close:
                    actionResult = scale->Close();
                    break;
                case Action::Release:
                    actionResult = scale->ReleaseDevice();
                    break;
                case Action::Disable:
                    scale->SetDeviceEnabled(false);
                    actionResult = scale->ResultCode();
                    break;
                case Action::Destroy:
                    scale.reset();
                    actionResult = OPOS_SUCCESS;
                    break;
            }
        });
        ASSERT_TRUE(OpenClaimEnable(*scale, "Deli"));
        scale->SetAsyncMode(true);
        scale->SetDataEventEnabled(true);
        ASSERT_TRUE(sim.Apply("weight 1.25 lb"));
        std::int32_t ignored = 0;
        ASSERT_EQ(scale->ReadWeight(ignored, 5000), OPOS_SUCCESS);
        // Unasked replies behind the weight keep the read thread busy while the handler runs.
        for (int i = 0; i < 4; ++i) {
            sim.Write("raw F8 30 30 30 30 30 30 30 31 32 35 30 F1");
        }
        ASSERT_TRUE(Serve([&] { return handled > 0; }));
        Serve([] { return false; }, 300ms);
        EXPECT_EQ(handled, 1u);
        EXPECT_EQ(weight, 1250);
        EXPECT_EQ(actionResult, OPOS_SUCCESS);

        scale.reset();
        OposScale again;
        ASSERT_TRUE(OpenClaimEnable(again, "Deli"));
        ASSERT_TRUE(sim.Apply("weight 2.5 lb"));
        std::int32_t w = -1;
        EXPECT_EQ(again.ReadWeight(w, 5000), OPOS_SUCCESS);
        EXPECT_EQ(w, 2500);
        EXPECT_EQ(again.Close(), OPOS_SUCCESS);
    }
}

}  // namespace
}  // namespace sorvex::e2e
