#include "service/frame/device.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <thread>

#include "platform/registry/registry.h"
#include "platform/root/state_root.h"
#include "service/frame/fake_control_object.h"
#include "service/frame/log.h"
#include "service/frame/opos.h"
#include "service/frame/test_device.h"
#include "tests/support/subprocess.h"
#include "tests/support/temp_root.h"

namespace talvex {
namespace {

using namespace std::chrono_literals;
namespace reg = sorvex::registry;
using test::FakeControlObject;
using test::TestDevice;

void SetValue(const std::string& path, const std::string& name, const std::string& text) {
    reg::Key key;
    ASSERT_EQ(reg::Key::Create(reg::Hive::LocalMachine, path, key), reg::Status::Ok);
    ASSERT_EQ(key.SetString(name, text), reg::Status::Ok);
}

void WriteProfile(const std::string& name, const std::string& model, const std::string& port) {
    const std::string path = std::string(kProfileRoot) + "\\Scanner\\" + name;
    SetValue(path, "", "Orvanta.Opos.Scanner");
    SetValue(path, "Model", model);
    if (!port.empty()) {
        SetValue(path, "Serial Port", port);
    }
}

void SetLogVerbosity(const std::string& level) {
    SetValue(kServiceInfoKey, "LogVerbosity", level);
}

// Serves the calling thread's messages until the condition holds.
template <class Pred>
bool PumpUntil(Pred pred, std::chrono::milliseconds timeout = 10s) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        sorvex::window::WaitAndPump(10);
    }
    return true;
}

std::string TraceFile() {
    g_Log.Flush();
    std::ifstream in(sorvex::root::MapWindowsPath("C:\\Sorvex2.log"), std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

class DeviceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        g_Log.Reopen();
        WriteProfile("Lane1", "Heronix/2110", "3");
        ASSERT_TRUE(device.CreateDeviceWindow());
    }
    void Open() { ASSERT_EQ(device.OpenService("Scanner", "Lane1", &control), OPOS_SUCCESS); }
    void OpenClaimEnable() {
        Open();
        ASSERT_EQ(device.ClaimDevice(0), OPOS_SUCCESS);
        device.SetPropertyNumber(PIDX_DeviceEnabled, 1);
        ASSERT_EQ(device.ResultCode(), OPOS_SUCCESS);
    }
    std::int32_t Number(std::int32_t index) {
        std::int32_t value = -12345;
        device.GetPropertyNumber(index, &value);
        return value;
    }
    void QueueLabel(const std::string& label) {
        device.EventQueue().Enqueue(OposEvent::Data(1, label));
    }

    sorvex::test::TempRoot root;
    FakeControlObject control;
    TestDevice device;
};

TEST_F(DeviceTest, OpensFromItsProfile) {
    EXPECT_EQ(device.State(), OPOS_S_CLOSED);
    EXPECT_EQ(device.ResultCode(), OPOS_E_CLOSED);
    Open();
    EXPECT_EQ(device.State(), OPOS_S_IDLE);
    EXPECT_EQ(device.ComPort(), 3);
    EXPECT_EQ(device.GetOpenResult(), OPOS_SUCCESS);
    EXPECT_EQ(device.GetPropertyString(PIDX_DeviceName), "Orvanta Heronix/2110");
    EXPECT_EQ(Number(PIDX_ServiceObjectVersion), 1008008);
    EXPECT_EQ(Number(PIDX_BinaryConversion), OPOS_BC_NONE);
}

TEST_F(DeviceTest, ReportsConfigurationErrorsAndMissingHardware) {
    WriteProfile("NoPort", "6620", "");
    EXPECT_EQ(device.OpenService("Scanner", "NoPort", &control), OPOS_ORS_CONFIG);
    EXPECT_EQ(device.GetOpenResult(), OPOS_ORS_CONFIG);
    EXPECT_EQ(device.State(), OPOS_S_CLOSED);
    EXPECT_EQ(device.OpenService("Scanner", "NoSuchProfile", &control), OPOS_ORS_CONFIG);
    WriteProfile("Gone", "absent", "1");
    EXPECT_EQ(device.OpenService("Scanner", "Gone", &control), OPOS_E_NOHARDWARE);
    EXPECT_EQ(device.GetOpenResult(), OPOS_E_NOHARDWARE);
    // No claim mutex exists after a failed open.
    EXPECT_EQ(device.ClaimDevice(0), OPOS_E_CLAIMED);
}

TEST_F(DeviceTest, ClaimsEnablesReleasesAndCloses) {
    Open();
    device.SetPropertyNumber(PIDX_DeviceEnabled, 1);
    EXPECT_EQ(device.ResultCode(), OPOS_E_NOTCLAIMED);
    EXPECT_EQ(Number(PIDX_DeviceEnabled), -12345);  // not answered before the claim
    EXPECT_EQ(device.ResultCode(), OPOS_E_ILLEGAL);
    EXPECT_EQ(device.ReleaseDevice(), OPOS_E_NOTCLAIMED);
    EXPECT_EQ(device.ClaimDevice(0), OPOS_SUCCESS);
    EXPECT_EQ(device.ClaimDevice(0), OPOS_SUCCESS);  // already claimed: no wait
    EXPECT_EQ(Number(PIDX_Claimed), 1);
    device.SetPropertyNumber(PIDX_DeviceEnabled, 1);
    EXPECT_EQ(Number(PIDX_DeviceEnabled), 1);
    EXPECT_EQ(device.CloseService(), OPOS_SUCCESS);
    EXPECT_EQ(device.State(), OPOS_S_CLOSED);
    EXPECT_EQ(device.StatusBits() & (kOpened | kClaimed | kDeviceEnabled), 0u);
    // The claim went with the close: a reopened object claims again at once.
    Open();
    EXPECT_EQ(device.ClaimDevice(0), OPOS_SUCCESS);
}

TEST_F(DeviceTest, AnswersResultCodeAsItWasBeforeTheRead) {
    WriteProfile("NoPort", "6620", "");
    device.OpenService("Scanner", "NoPort", &control);
    EXPECT_EQ(device.ClaimDevice(0), OPOS_E_CLAIMED);
    EXPECT_EQ(Number(PIDX_ResultCode), OPOS_E_CLAIMED);
    EXPECT_EQ(Number(PIDX_ResultCode), OPOS_SUCCESS);
    EXPECT_EQ(Number(PIDX_OutputID), 0);
    EXPECT_EQ(device.ResultCode(), OPOS_E_ILLEGAL);
    EXPECT_EQ(Number(PIDX_ResultCode), OPOS_E_ILLEGAL);
    EXPECT_EQ(device.ResultCode(), OPOS_SUCCESS);
}

TEST_F(DeviceTest, AnswersTheCommonProperties) {
    Open();
    struct Row {
        std::int32_t index;
        std::int32_t set;
        std::int32_t resultOfSet;
        std::int32_t readBack;
    };
    const Row rows[] = {
        {PIDX_PowerNotify, 0, OPOS_SUCCESS, 0},
        {PIDX_PowerNotify, 1, OPOS_E_ILLEGAL, 0},
        {PIDX_BinaryConversion, 5, OPOS_SUCCESS, OPOS_BC_NONE},
        {PIDX_BinaryConversion, OPOS_BC_NIBBLE, OPOS_SUCCESS, OPOS_BC_NIBBLE},
        {PIDX_AutoDisable, 7, OPOS_SUCCESS, 1},
        {PIDX_FreezeEvents, 1, OPOS_SUCCESS, 1},
        {PIDX_State, 1, OPOS_E_ILLEGAL, OPOS_S_IDLE},
        {PIDX_CapStatisticsReporting, 0, OPOS_E_ILLEGAL, 1},
        {PIDX_PowerState, 0, OPOS_E_ILLEGAL, OPOS_PS_UNKNOWN},
        {777, 1, OPOS_E_ILLEGAL, 0},
    };
    for (const Row& row : rows) {
        device.SetPropertyNumber(row.index, row.set);
        EXPECT_EQ(device.ResultCode(), row.resultOfSet) << "set " << row.index;
        EXPECT_EQ(Number(row.index), row.readBack) << "get " << row.index;
    }
    device.SetPropertyString(PIDX_DeviceName, "x");
    EXPECT_EQ(device.ResultCode(), OPOS_E_ILLEGAL);
}

TEST_F(DeviceTest, ConvertsStringPropertiesByBinaryConversion) {
    Open();
    EXPECT_EQ(device.CheckHealth(4), OPOS_E_ILLEGAL);
    EXPECT_EQ(device.GetPropertyString(PIDX_CheckHealthText), "[Error]");
    device.SetPropertyNumber(PIDX_BinaryConversion, 5);  // accepted; renders as decimal
    EXPECT_EQ(device.GetPropertyString(PIDX_CheckHealthText), "091069114114111114093");
    device.SetPropertyNumber(PIDX_BinaryConversion, OPOS_BC_NIBBLE);
    EXPECT_EQ(device.GetPropertyString(99), "5;4572726?725=");  // "[Error]", invalid index
    EXPECT_EQ(device.ResultCode(), OPOS_E_ILLEGAL);
    EXPECT_EQ(CDevice::ApplyBinaryConversion(std::string("\x41\x3A\0\xff", 4), kBcNibble),
              std::string("41") + "3:" + "00" + "??");
    EXPECT_EQ(CDevice::ApplyBinaryConversion(std::string("\x41\0\xff", 3), kBcDecimal),
              "065000255");
    device.SetPropertyNumber(PIDX_BinaryConversion, OPOS_BC_NONE);
    EXPECT_EQ(device.CheckHealth(OPOS_CH_EXTERNAL), OPOS_SUCCESS);
    EXPECT_EQ(device.GetPropertyString(PIDX_CheckHealthText), "External HCheck: Complete");
}

TEST_F(DeviceTest, DeliversOneDataEventPerDataEventEnabled) {
    OpenClaimEnable();
    QueueLabel("one");
    QueueLabel("two");
    QueueLabel("three");
    EXPECT_EQ(Number(PIDX_DataCount), 3);
    device.SetPropertyNumber(PIDX_DataEventEnabled, 1);
    ASSERT_TRUE(PumpUntil([&] { return control.CountOf("SOData") == 1; }));
    EXPECT_EQ(Number(PIDX_DataCount), 2);
    EXPECT_EQ(Number(PIDX_DataEventEnabled), 0);
    auto calls = control.Calls();
    EXPECT_EQ(calls[0].args, std::vector<std::int32_t>{0});
    EXPECT_EQ(calls[0].thread, std::this_thread::get_id());  // on the object's thread
    // ClearInput removes queued data and error events and leaves DataEventEnabled alone.
    device.SetPropertyNumber(PIDX_FreezeEvents, 1);
    device.SetPropertyNumber(PIDX_DataEventEnabled, 1);
    device.EventQueue().Enqueue(OposEvent::Error(OPOS_E_TIMEOUT, 0, OPOS_EL_INPUT));
    EXPECT_EQ(device.ClearInput(), OPOS_SUCCESS);
    EXPECT_EQ(Number(PIDX_DataCount), 0);
    EXPECT_EQ(device.EventQueue().Count(kEventError), 0);
    EXPECT_EQ(Number(PIDX_DataEventEnabled), 1);
}

TEST_F(DeviceTest, FreezeEventsHoldsAnErrorEventBackUntilReleased) {
    OpenClaimEnable();
    control.errorResponse = OPOS_ER_RETRY;
    device.SetPropertyNumber(PIDX_FreezeEvents, 1);
    device.EventQueue().Enqueue(OposEvent::Error(OPOS_E_TIMEOUT, 0, OPOS_EL_INPUT));
    EXPECT_FALSE(PumpUntil([&] { return control.CountOf("SOError") > 0; }, 200ms));
    device.SetPropertyNumber(PIDX_FreezeEvents, 0);
    ASSERT_TRUE(PumpUntil([&] { return control.CountOf("SOError") == 1; }));
    EXPECT_EQ(control.Calls()[0].args,
              (std::vector<std::int32_t>{OPOS_E_TIMEOUT, 0, OPOS_EL_INPUT, OPOS_ER_CLEAR}));
    EXPECT_EQ(device.LastErrorResponse(), OPOS_ER_RETRY);
    // Frozen by the control object works the same way.
    device.COFreezeEvents(true);
    device.EventQueue().Enqueue(OposEvent::Error(OPOS_E_FAILURE, 0, OPOS_EL_INPUT));
    EXPECT_FALSE(PumpUntil([&] { return control.CountOf("SOError") > 1; }, 200ms));
    device.COFreezeEvents(false);
    ASSERT_TRUE(PumpUntil([&] { return control.CountOf("SOError") == 2; }));
}

TEST_F(DeviceTest, AutoDisableDisablesBeforeTheDataIsDelivered) {
    OpenClaimEnable();
    device.SetPropertyNumber(PIDX_AutoDisable, 1);
    QueueLabel("label");
    ASSERT_TRUE(PumpUntil([&] { return Number(PIDX_DeviceEnabled) == 0; }));
    EXPECT_EQ(control.CountOf("SOData"), 0u);
    EXPECT_EQ(Number(PIDX_DataCount), 1);
    device.SetPropertyNumber(PIDX_DataEventEnabled, 1);
    ASSERT_TRUE(PumpUntil([&] { return control.CountOf("SOData") == 1; }));
    // Disabled: nothing more can be queued.
    EXPECT_THROW(QueueLabel("late"), OposQueueError);
}

TEST_F(DeviceTest, OpensWithAControlObjectThatLacksSODirectIO) {
    FakeControlObject partial({"SOData", "SOError"});
    ASSERT_EQ(device.OpenService("Scanner", "Lane1", &partial), OPOS_SUCCESS);
    ASSERT_EQ(device.ClaimDevice(0), OPOS_SUCCESS);
    device.SetPropertyNumber(PIDX_DeviceEnabled, 1);
    device.SetPropertyNumber(PIDX_DataEventEnabled, 1);
    QueueLabel("x");
    ASSERT_TRUE(PumpUntil([&] { return partial.CountOf("SOData") == 1; }));
}

TEST_F(DeviceTest, DropsAnEventTheControlObjectRefusesAndGoesOn) {
    OpenClaimEnable();
    control.failInvoke = true;
    device.SetPropertyNumber(PIDX_DataEventEnabled, 1);
    QueueLabel("refused");
    ASSERT_TRUE(PumpUntil([&] { return control.invokeAttempts == 1; }));
    EXPECT_EQ(Number(PIDX_DataEventEnabled), 0);
    control.failInvoke = false;
    device.SetPropertyNumber(PIDX_DataEventEnabled, 1);
    QueueLabel("accepted");
    ASSERT_TRUE(PumpUntil([&] { return control.CountOf("SOData") == 1; }));
}

TEST_F(DeviceTest, DestroyingTheObjectWhileDeliveryWaitsAtTheHopDoesNotDeadlock) {
    auto local = std::make_unique<TestDevice>();
    ASSERT_TRUE(local->CreateDeviceWindow());
    ASSERT_EQ(local->OpenService("Scanner", "Lane1", &control), OPOS_SUCCESS);
    ASSERT_EQ(local->ClaimDevice(0), OPOS_SUCCESS);
    local->SetPropertyNumber(PIDX_DeviceEnabled, 1);
    local->SetPropertyNumber(PIDX_DataEventEnabled, 1);
    local->EventQueue().Enqueue(OposEvent::Data(1, "never fired"));
    // The delivery thread takes the event and blocks at the hop: this thread serves no messages.
    while (local->EventQueue().Count(kEventData) != 0) {
        std::this_thread::sleep_for(1ms);
    }
    std::this_thread::sleep_for(20ms);
    local.reset();
    EXPECT_EQ(control.CountOf("SOData"), 0u);
}

TEST_F(DeviceTest, TracesByLogVerbosity) {
    struct Row {
        const char* verbosity;  // nullptr: value absent
        bool errors;            // level 0 and 1 lines
        bool enterExit;         // level 3
        bool details;           // level 4
    };
    const Row rows[] = {
        {nullptr, false, false, false}, {"1", true, false, false}, {"4", true, true, true}};
    WriteProfile("NoPort", "6620", "");
    for (const Row& row : rows) {
        std::filesystem::remove(sorvex::root::MapWindowsPath("C:\\Sorvex2.log"));
        g_Log.Reopen();
        reg::Key info;
        if (reg::Key::Open(reg::Hive::LocalMachine, kServiceInfoKey, reg::kReadWrite, info) ==
            reg::Status::Ok) {
            info.DeleteValue("LogVerbosity");
        }
        if (row.verbosity != nullptr) {
            SetLogVerbosity(row.verbosity);
        }
        TestDevice failing;
        failing.OpenService("Scanner", "NoPort", &control);  // 403, traced at level 0
        failing.ClaimDevice(0);                              // refused, traced at level 1
        std::string text = TraceFile();
        auto has = [&](const std::string& s) { return text.find(s) != std::string::npos; };
        const std::string error =
            "Error retrieving SOFTWARE\\OLEforRetail\\ServiceOPOS\\Scanner\\NoPort\\\\Serial Port";
        EXPECT_EQ(has("0     CScanner           " + error), row.errors) << row.verbosity;
        EXPECT_EQ(has("1     CScanner           The device has already been claimed by another "
                      "application."),
                  row.errors);
        EXPECT_EQ(has("3     CScanner           Enter OpenService"), row.enterExit);
        EXPECT_EQ(has("4     CScanner             *   DeviceClass: Scanner"), row.details);
        EXPECT_EQ(has("4     CScanner             *  pRC: 102"), row.details);
    }
}

// A second process that opens Lane1 and claims or releases on command (claim, release, exit).
TEST(DeviceClaimChild, Serve) {
    if (std::getenv("SORVEX_CLAIM_CHILD") == nullptr) {
        GTEST_SKIP() << "runs only as the second process of the claim tests";
    }
    FakeControlObject control;
    TestDevice device;
    ASSERT_TRUE(device.CreateDeviceWindow());
    ASSERT_EQ(device.OpenService("Scanner", "Lane1", &control), OPOS_SUCCESS);
    std::string command;
    while (std::getline(std::cin, command)) {
        if (command == "claim") {
            std::cout << "claim " << device.ClaimDevice(0) << std::endl;
        } else if (command == "release") {
            std::cout << "release " << device.ReleaseDevice() << std::endl;
        } else if (command == "exit") {
            break;
        }
    }
}

class ClaimAcrossProcesses : public DeviceTest {
  protected:
    std::unique_ptr<sorvex::test::Subprocess> StartChild() {
        sorvex::test::Subprocess::Options options;
        options.env = {{"SORVEX_CLAIM_CHILD", "1"}};
        return std::make_unique<sorvex::test::Subprocess>(
            std::vector<std::string>{sorvex::test::SelfPath(),
                                     "--gtest_filter=DeviceClaimChild.Serve"},
            options);
    }
    // The child's answer to a command (its other output is GoogleTest's).
    std::string Ask(sorvex::test::Subprocess& child, const std::string& command) {
        child.Write(command + "\n");
        for (;;) {
            auto line = child.ReadLine(20s);
            if (!line) {
                return "no answer; stderr: " + child.Stderr();
            }
            if (line->rfind(command + " ", 0) == 0) {
                return *line;
            }
        }
    }
};

TEST_F(ClaimAcrossProcesses, RefusesWhileAnotherProcessHoldsTheClaim) {
    auto child = StartChild();
    ASSERT_EQ(Ask(*child, "claim"), "claim 0");
    Open();
    EXPECT_EQ(device.ClaimDevice(0), OPOS_E_CLAIMED);
    EXPECT_EQ(device.ClaimDevice(100), OPOS_E_CLAIMED);
    ASSERT_EQ(Ask(*child, "release"), "release 0");
    EXPECT_EQ(device.ClaimDevice(0), OPOS_SUCCESS);
    EXPECT_EQ(Ask(*child, "claim"), "claim 102");
    EXPECT_EQ(device.ReleaseDevice(), OPOS_SUCCESS);
    EXPECT_EQ(Ask(*child, "claim"), "claim 0");
}

TEST_F(ClaimAcrossProcesses, GrantsTheClaimWhenTheHolderDies) {
    auto child = StartChild();
    ASSERT_EQ(Ask(*child, "claim"), "claim 0");
    Open();
    EXPECT_EQ(device.ClaimDevice(0), OPOS_E_CLAIMED);
    child->Kill(SIGKILL);
    child->Wait(10s);
    EXPECT_EQ(device.ClaimDevice(5000), OPOS_SUCCESS);
    EXPECT_EQ(Number(PIDX_Claimed), 1);
    // And the device stays claimable by others once released.
    EXPECT_EQ(device.ReleaseDevice(), OPOS_SUCCESS);
    auto next = StartChild();
    EXPECT_EQ(Ask(*next, "claim"), "claim 0");
}

}  // namespace
}  // namespace talvex
