// The scale end to end: CScale through the real port arbiter and links, with the device
// simulator (sorvex-sim, a second process) playing the single-cable scale, the USB POS scale
// and the single-cable scanner-scale. The service object runs with its real waits.
#include <gtest/gtest.h>

#include <cstdlib>
#include <iostream>
#include <memory>
#include <thread>

#include "platform/registry/registry.h"
#include "service/frame/fake_control_object.h"
#include "service/frame/log.h"
#include "service/frame/opos.h"
#include "service/scale/scale.h"
#include "service/scale/scale_test_support.h"
#include "service/scanner/scanner.h"
#include "tests/scale_sim.h"
#include "tests/support/subprocess.h"
#include "tests/support/temp_root.h"

namespace talvex {
namespace {

using namespace std::chrono_literals;
using test::FakeControlObject;
using test::SimulatedDevice;

constexpr int kPort = 3;

class ScaleEndToEnd : public ::testing::Test {
  protected:
    void SetUp() override {
        g_Log.Reopen();
        ASSERT_TRUE(scale.CreateDeviceWindow());
        test::WriteScaleProfile("Lane", "0", std::to_string(kPort));
        test::WriteScaleProfile("UsbLane", "2", "");
    }
    void TearDown() override { scale.CloseService(); }

    void StartSerial(std::vector<std::string> options = {},
                     const std::string& model = "scale-single-cable") {
        std::vector<std::string> args = {"--model", model, "--port", "COM" + std::to_string(kPort)};
        args.insert(args.end(), options.begin(), options.end());
        sim = std::make_unique<SimulatedDevice>(args);
    }
    void StartUsb(std::vector<std::string> options = {}) {
        std::vector<std::string> args = {"--model", "scale-usb",   "--hid-name",
                                         "scale",   "--vendor-id", "0x2A8F"};
        args.insert(args.end(), options.begin(), options.end());
        sim = std::make_unique<SimulatedDevice>(args);
    }
    void OpenClaimEnable(const std::string& profile = "Lane") {
        ASSERT_EQ(scale.OpenService("Scale", profile, &control), OPOS_SUCCESS);
        ASSERT_EQ(scale.ClaimDevice(0), OPOS_SUCCESS);
        scale.SetPropertyNumber(PIDX_DeviceEnabled, 1);
        ASSERT_EQ(scale.ResultCode(), OPOS_SUCCESS);
    }
    std::int32_t Number(std::int32_t index) {
        std::int32_t value = -12345;
        scale.GetPropertyNumber(index, &value);
        return value;
    }
    void Apply(const std::string& line) { ASSERT_TRUE(sim->Apply(line)) << line; }
    void SetAsync() {
        scale.SetPropertyNumber(PIDX_SCAL_AsyncMode, 1);
        scale.SetPropertyNumber(PIDX_DataEventEnabled, 1);
    }
    // The weight requests the scale received (once the simulator's log has caught up).
    std::size_t Requests() {
        sim->Sync();
        return sim->Count("command", "weight-");
    }
    // The bytes of the simulator's last write.
    std::string LastSent() {
        sim->Sync();
        std::string hex;
        for (const SimulatedDevice::Event& e : sim->Events()) {
            if (e.name == "sent") {
                hex = e.hex;
            }
        }
        return hex;
    }

    sorvex::test::TempRoot root;
    std::unique_ptr<SimulatedDevice> sim;
    FakeControlObject control;
    CScale scale;
};

TEST_F(ScaleEndToEnd, DecodesFourAndFiveDigitWeights) {
    struct Row {
        const char* digits;
        const char* load;
        const char* replyHex;
        std::int32_t weight;
    };
    const Row rows[] = {
        {"4", "12.34", "F8 30 30 30 30 30 30 31 32 33 34 F1", 12340},
        {"5", "12.345", "F8 30 30 30 30 30 30 31 32 33 34 35 F1", 12345},
    };
    for (const Row& row : rows) {
        StartSerial({"--set", std::string("digits=") + row.digits});
        OpenClaimEnable();
        Apply(std::string("weight ") + row.load + " lb");
        std::int32_t weight = 0;
        EXPECT_EQ(scale.ReadWeight(&weight, 5000), OPOS_SUCCESS) << row.digits;
        EXPECT_EQ(weight, row.weight) << row.digits;
        EXPECT_EQ(LastSent(), row.replyHex) << row.digits;
        EXPECT_EQ(Requests(), 1u);
        scale.CloseService();
        sim.reset();
    }
}

TEST_F(ScaleEndToEnd, PollsWhileTheLoadMovesAndReturnsTheSteadyWeight) {
    StartSerial();
    OpenClaimEnable();
    Apply("motion 2s");
    Apply("weight 1.25 lb");
    std::int32_t weight = 0;
    EXPECT_EQ(scale.ReadWeight(&weight, 10000), OPOS_SUCCESS);
    EXPECT_EQ(weight, 1250);
    // One weight request per reply in motion, and the one the steady weight answered.
    const std::size_t requests = Requests();
    const std::size_t motion = sim->Count("reply", "motion");
    EXPECT_GT(motion, 0u);
    EXPECT_EQ(requests, motion + 1);
    EXPECT_EQ(sim->Count("reply", "weight"), 1u);
}

TEST_F(ScaleEndToEnd, FollowsTheUnitTheScaleReports) {
    StartSerial({"--set", "unit=kg"});
    // The profile says pounds; the scale's status at open says kilograms.
    OpenClaimEnable();
    EXPECT_EQ(Number(PIDX_SCAL_WeightUnit), SCAL_WU_KILOGRAM);
    EXPECT_EQ(Number(PIDX_SCAL_MaximumWeight), 15000);
    Apply("weight 0.5 kg");
    std::int32_t weight = 0;
    EXPECT_EQ(scale.ReadWeight(&weight, 5000), OPOS_SUCCESS);
    EXPECT_EQ(weight, 500);
    EXPECT_EQ(Requests(), 1u);
    EXPECT_EQ(sim->Count("command", "weight-kg"), 1u);

    // Switched to pounds while moving: the reply in motion switches the next request to 0x01.
    Apply("unit lb");
    Apply("motion 300ms");
    Apply("weight 2 lb");
    EXPECT_EQ(scale.ReadWeight(&weight, 5000), OPOS_SUCCESS);
    EXPECT_EQ(weight, 2000);
    EXPECT_EQ(Number(PIDX_SCAL_WeightUnit), SCAL_WU_POUND);
    EXPECT_EQ(Number(PIDX_SCAL_MaximumWeight), 30000);
    const std::size_t requests = Requests();
    EXPECT_EQ(sim->Count("command", "weight-kg"), 2u);
    EXPECT_EQ(sim->Count("command", "weight-lb"), requests - 2);

    // And back to kilograms with a steady reply: the weight is read in the unit it came in.
    Apply("unit kg");
    Apply("motion 0");
    Apply("weight 1.5 kg");
    EXPECT_EQ(scale.ReadWeight(&weight, 5000), OPOS_SUCCESS);
    EXPECT_EQ(weight, 1500);
    EXPECT_EQ(Number(PIDX_SCAL_WeightUnit), SCAL_WU_KILOGRAM);
}

TEST_F(ScaleEndToEnd, OpensWithTheProfileUnitWhenTheScaleIsSilent) {
    StartSerial();
    Apply("silent on");
    // Waits the full second of the unit probe.
    ASSERT_EQ(scale.OpenService("Scale", "Lane", &control), OPOS_SUCCESS);
    EXPECT_EQ(Number(PIDX_SCAL_WeightUnit), SCAL_WU_POUND);
    EXPECT_EQ(Number(PIDX_SCAL_MaximumWeight), 30000);
    ASSERT_TRUE(sim->WaitForCount("command", "status", 1));
    sim->Sync();
    EXPECT_EQ(sim->Count("command", "status"), 1u);
    EXPECT_EQ(sim->Count("reply"), 0u);
}

TEST_F(ScaleEndToEnd, SynchronousTimeoutZeroWaitsTheDefaultThreeSeconds) {
    StartSerial();
    OpenClaimEnable();
    Apply("silent on");
    std::int32_t weight = 99;
    EXPECT_EQ(scale.ReadWeight(&weight, 0), OPOS_E_TIMEOUT);
    EXPECT_EQ(weight, 0);
    ASSERT_TRUE(sim->WaitForCount("command", "weight-", 1));
    EXPECT_EQ(Requests(), 1u);
    // The request is no longer pending: a late reply is dropped without a new request.
    Apply("silent off");
    const std::size_t sent = sim->Count("sent");
    sim->Write("raw F8 30 30 30 30 30 30 31 32 33 34 F1");
    ASSERT_TRUE(sim->WaitForCount("sent", "", sent + 1));
    std::this_thread::sleep_for(200ms);  // room for a write that must not come
    EXPECT_EQ(Requests(), 1u);
}

TEST_F(ScaleEndToEnd, CentreOfZeroFollowsZeroWeightReject) {
    StartSerial();
    OpenClaimEnable();
    struct Row {
        const char* reject;
        bool loadLater;  // put a load on once the scale has been polled a few times
        std::int32_t timeout;
        std::int32_t result;
        std::int32_t weight;
    };
    const Row rows[] = {
        {"0", false, 5000, OPOS_SUCCESS, 0},
        {"1", true, 10000, OPOS_SUCCESS, 2000},
        {"1", false, 300, OPOS_E_TIMEOUT, 0},
    };
    for (const Row& row : rows) {
        Apply("zero");
        test::SetServiceInfo("ZeroWeightReject", row.reject);
        const std::size_t zeroReplies = sim->Count("reply", "weight 00000");
        std::thread loader;
        if (row.loadLater) {
            loader = std::thread([&] {
                sim->WaitForCount("reply", "weight 00000", zeroReplies + 3);
                sim->Apply("weight 2");
            });
        }
        std::int32_t weight = -1;
        EXPECT_EQ(scale.ReadWeight(&weight, row.timeout), row.result) << row.reject;
        EXPECT_EQ(weight, row.weight) << row.reject;
        if (loader.joinable()) {
            loader.join();
            sim->Sync();
            EXPECT_GE(sim->Count("reply", "weight 00000"), zeroReplies + 3);
        }
    }
}

TEST_F(ScaleEndToEnd, OverCapacityEndsASynchronousRead) {
    StartSerial();
    OpenClaimEnable();
    Apply("over");
    std::int32_t weight = -1;
    EXPECT_EQ(scale.ReadWeight(&weight, 5000), OPOS_E_EXTENDED);
    EXPECT_EQ(weight, 0);
    EXPECT_EQ(Number(PIDX_ResultCodeExtended), OPOS_ESCAL_OVERWEIGHT);
    EXPECT_EQ(Requests(), 1u);
}

TEST_F(ScaleEndToEnd, AsynchronousTimeOutIsOneErrorEventAndRetryReadsAgain) {
    StartSerial();
    OpenClaimEnable();
    SetAsync();
    Apply("silent on");
    std::vector<FakeControlObject::Call> errors;
    control.errorResponse = OPOS_ER_RETRY;
    control.onCall = [&](const FakeControlObject::Call& call) {
        if (call.name == "SOError") {
            errors.push_back(call);
            control.errorResponse = -1;  // the retried read's time-out keeps OPOS_ER_CLEAR
        }
    };
    std::int32_t weight = -1;
    EXPECT_EQ(scale.ReadWeight(&weight, 2000), OPOS_SUCCESS);
    EXPECT_EQ(weight, 0);
    ASSERT_TRUE(test::PumpUntil([&] { return errors.size() == 2; }, 20s));
    test::PumpFor(300ms);
    ASSERT_EQ(errors.size(), 2u);
    for (const FakeControlObject::Call& call : errors) {
        EXPECT_EQ(call.args,
                  (std::vector<std::int32_t>{OPOS_E_TIMEOUT, 0, OPOS_EL_INPUT, OPOS_ER_CLEAR}));
    }
    ASSERT_TRUE(sim->WaitForCount("command", "weight-", 2));
    EXPECT_EQ(Requests(), 2u);
    EXPECT_EQ(control.CountOf("SOData"), 0u);
    // The read is over: the next one is accepted.
    control.onCall = nullptr;
    Apply("silent off");
    Apply("weight 3");
    scale.SetPropertyNumber(PIDX_DataEventEnabled, 1);
    EXPECT_EQ(scale.ReadWeight(&weight, 2000), OPOS_SUCCESS);
    ASSERT_TRUE(test::PumpUntil([&] { return control.CountOf("SOData") == 1; }));
    EXPECT_EQ(control.Calls().back().args, std::vector<std::int32_t>{3000});
}

TEST_F(ScaleEndToEnd, RefusesASecondAsynchronousReadWhileOneIsPending) {
    test::SetServiceInfo("LogVerbosity", "1");
    test::TraceCapture trace(1);
    StartSerial();
    OpenClaimEnable();
    SetAsync();
    Apply("silent on");
    std::int32_t weight = 0;
    EXPECT_EQ(scale.ReadWeight(&weight, -1), OPOS_SUCCESS);
    EXPECT_EQ(scale.ReadWeight(&weight, -1), OPOS_E_ILLEGAL);
    EXPECT_EQ(scale.ResultCode(), OPOS_E_ILLEGAL);
    EXPECT_TRUE(trace.Has(
        1, "CScale", "Attempt to read a weight while there is already a weight request pending."));
    ASSERT_TRUE(sim->WaitForCount("command", "weight-", 1));
    std::this_thread::sleep_for(200ms);  // room for a second request that must not come
    EXPECT_EQ(Requests(), 1u);
}

TEST_F(ScaleEndToEnd, UsbReportWithTwoStatusBytesIsAskedAgainAfterAPause) {
    StartUsb();
    OpenClaimEnable("UsbLane");
    Apply("weight 4.321");
    Apply("busy 1");
    std::int32_t weight = 0;
    EXPECT_EQ(scale.ReadWeight(&weight, 5000), OPOS_SUCCESS);
    EXPECT_EQ(weight, 4321);
    EXPECT_EQ(Requests(), 2u);
    double busyAt = -1, againAt = -1;
    for (const SimulatedDevice::Event& e : sim->Events()) {
        if (e.name == "reply" && e.detail == "busy") {
            busyAt = e.t;
        } else if (busyAt >= 0 && againAt < 0 && e.name == "command") {
            againAt = e.t;
        }
    }
    ASSERT_GE(busyAt, 0);
    ASSERT_GE(againAt, 0);
    // A lower bound only: the read thread pauses 50 ms before it asks again.
    EXPECT_GE(againAt - busyAt, 0.045);
    EXPECT_EQ(sim->Count("reply", "weight 04321"), 1u);
}

TEST_F(ScaleEndToEnd, ReplyWhenNothingIsPendingIsDroppedWithoutAWrite) {
    StartSerial();
    OpenClaimEnable();
    sim->Sync();
    const std::size_t received = sim->Count("received");
    const std::size_t sent = sim->Count("sent");
    sim->Write("raw F8 30 30 30 34 30 30 31 32 33 34 35 F1");
    sim->Write("raw F8 30 30 30 30 30 30 F1");
    ASSERT_TRUE(sim->WaitForCount("sent", "", sent + 2));
    std::this_thread::sleep_for(300ms);  // room for a write that must not come
    sim->Sync();
    EXPECT_EQ(sim->Count("received"), received);
}

TEST_F(ScaleEndToEnd, ZeroScaleSendsExactlyOneZeroCommand) {
    StartSerial();
    OpenClaimEnable();
    Apply("weight 1");
    EXPECT_EQ(scale.ZeroScale(), OPOS_SUCCESS);
    ASSERT_TRUE(sim->WaitForCount("command", "zero", 1));
    std::this_thread::sleep_for(200ms);  // room for a second command that must not come
    sim->Sync();
    EXPECT_EQ(sim->Count("command", "zero"), 1u);
    EXPECT_EQ(sim->Count("reply"), 1u);  // the probe's status reply only
    std::int32_t weight = -1;
    EXPECT_EQ(scale.ReadWeight(&weight, 5000), OPOS_SUCCESS);
    EXPECT_EQ(weight, 0);
}

TEST_F(ScaleEndToEnd, ScannerAndScaleShareOneSingleCablePort) {
    StartSerial({}, "scanner-scale");
    const std::string scannerProfile = std::string(kProfileRoot) + "\\Scanner\\Counter";
    {
        sorvex::registry::Key key;
        ASSERT_EQ(sorvex::registry::Key::Create(sorvex::registry::Hive::LocalMachine,
                                                scannerProfile, key),
                  sorvex::registry::Status::Ok);
        key.SetString("Model", "Heronix/2110");
        key.SetString("Scanner Version", "0");
        key.SetString("Serial Port", std::to_string(kPort));
    }
    FakeControlObject scannerControl;
    CScanner scanner;
    ASSERT_TRUE(scanner.CreateDeviceWindow());
    ASSERT_EQ(scanner.OpenService("Scanner", "Counter", &scannerControl), OPOS_SUCCESS);
    ASSERT_EQ(scanner.ClaimDevice(0), OPOS_SUCCESS);
    scanner.SetPropertyNumber(PIDX_DeviceEnabled, 1);
    ASSERT_EQ(scanner.ResultCode(), OPOS_SUCCESS);
    scanner.SetPropertyNumber(PIDX_DataEventEnabled, 1);
    scanner.SetPropertyNumber(PIDX_SCAN_DecodeData, 1);
    ASSERT_TRUE(sim->WaitForCount("command", "F3 11 00 F1", 1));  // the scanner's enable

    OpenClaimEnable();
    Apply("weight 2.5");
    Apply("scan UPCA 012345678905");
    std::int32_t weight = 0;
    EXPECT_EQ(scale.ReadWeight(&weight, 5000), OPOS_SUCCESS);
    EXPECT_EQ(weight, 2500);
    ASSERT_TRUE(test::PumpUntil([&] { return scannerControl.CountOf("SOData") == 1; }));
    EXPECT_EQ(scanner.GetPropertyString(PIDX_SCAN_ScanDataLabel), "012345678905");

    // Asynchronous weights and labels interleaved: each object gets only its own.
    SetAsync();
    Apply("scan EAN8 12345670");
    scanner.SetPropertyNumber(PIDX_DataEventEnabled, 1);
    EXPECT_EQ(scale.ReadWeight(&weight, 5000), OPOS_SUCCESS);
    ASSERT_TRUE(test::PumpUntil(
        [&] { return control.CountOf("SOData") == 1 && scannerControl.CountOf("SOData") == 2; }));
    test::PumpFor(200ms);
    EXPECT_EQ(control.CountOf("SOData"), 1u);
    EXPECT_EQ(control.Calls().back().args, std::vector<std::int32_t>{2500});
    EXPECT_EQ(scannerControl.CountOf("SOData"), 2u);
    EXPECT_EQ(scanner.GetPropertyString(PIDX_SCAN_ScanDataLabel), "12345670");
    EXPECT_EQ(control.CountOf("SOError") + scannerControl.CountOf("SOError"), 0u);
    scanner.CloseService();
}

// A second process that opens the scale profile and claims or releases on command ("claim",
// "release", "release-after MS", "exit").
TEST(ScaleClaimChild, Serve) {
    if (std::getenv("SORVEX_SCALE_CLAIM_CHILD") == nullptr) {
        GTEST_SKIP() << "runs only as the second process of the claim test";
    }
    FakeControlObject control;
    CScale scale;
    ASSERT_TRUE(scale.CreateDeviceWindow());
    ASSERT_EQ(scale.OpenService("Scale", "Lane", &control), OPOS_SUCCESS);
    std::string command;
    while (std::getline(std::cin, command)) {
        if (command == "claim") {
            std::cout << "claim " << scale.ClaimDevice(0) << std::endl;
        } else if (command == "release") {
            std::cout << "release " << scale.ReleaseDevice() << std::endl;
        } else if (command.rfind("release-after ", 0) == 0) {
            std::cout << "release-after ok" << std::endl;
            std::this_thread::sleep_for(std::chrono::milliseconds(std::atoi(command.c_str() + 14)));
            scale.ReleaseDevice();
        } else if (command == "exit") {
            break;
        }
    }
    scale.CloseService();
}

TEST_F(ScaleEndToEnd, AClaimHeldByAnotherProcessRefusesAndThenWaits) {
    StartSerial();
    sorvex::test::Subprocess::Options options;
    options.env = {{"SORVEX_SCALE_CLAIM_CHILD", "1"}};
    sorvex::test::Subprocess child(
        {sorvex::test::SelfPath(), "--gtest_filter=ScaleClaimChild.Serve"}, options);
    auto ask = [&](const std::string& command) -> std::string {
        child.Write(command + "\n");
        const std::string word = command.substr(0, command.find(' '));
        for (;;) {
            auto line = child.ReadLine(20s);
            if (!line) {
                return "no answer; stderr: " + child.Stderr();
            }
            if (line->rfind(word + " ", 0) == 0) {
                return *line;
            }
        }
    };
    ASSERT_EQ(ask("claim"), "claim 0");
    ASSERT_EQ(scale.OpenService("Scale", "Lane", &control), OPOS_SUCCESS);
    EXPECT_EQ(scale.ClaimDevice(0), OPOS_E_CLAIMED);
    EXPECT_EQ(scale.ClaimDevice(100), OPOS_E_CLAIMED);
    ASSERT_EQ(ask("release-after 300"), "release-after ok");
    EXPECT_EQ(scale.ClaimDevice(-1), OPOS_SUCCESS);
    EXPECT_EQ(ask("claim"), "claim 102");
    EXPECT_EQ(scale.ReleaseDevice(), OPOS_SUCCESS);
    EXPECT_EQ(ask("claim"), "claim 0");
    child.Write("exit\n");
    child.Wait(20s);
}

}  // namespace
}  // namespace talvex
