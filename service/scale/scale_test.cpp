// CScale through the real arbiter and links, with the scale played by the test on a pty (serial)
// or as a simulated HID device (USB), and short waits. The conversations the simulator plays
// are in tests/scale_*_test.cpp.
#include "service/scale/scale.h"

#include <gtest/gtest.h>

#include <deque>
#include <memory>

#include "platform/sync/sync.h"
#include "service/frame/fake_control_object.h"
#include "service/frame/log.h"
#include "service/frame/opos.h"
#include "service/links/comm_arbiter.h"
#include "service/scale/scale_protocol.h"
#include "service/scale/scale_test_support.h"
#include "tests/support/temp_root.h"

namespace talvex {
namespace {

using namespace std::chrono_literals;
using namespace std::string_literals;
using test::FakeControlObject;
using test::PtyScale;
using test::ScaleResponder;
using test::SerialReply;
using test::UsbReport;
using test::UsbScale;

const std::string kWeightLb = scale::SerialCommand(scale::Command::WeightPounds);
const std::string kWeightKg = scale::SerialCommand(scale::Command::WeightKilograms);
const std::string kStatus = scale::SerialCommand(scale::Command::Status);
const std::string kZero = scale::SerialCommand(scale::Command::Zero);
const std::string kUsbWeightLb = scale::UsbCommand(scale::Command::WeightPounds);

constexpr ScaleTimings kFast{150, 400, 5};

// Answers the status request with `status` and the weight requests with `weights` in turn (the
// last one repeats; none: silent).
ScaleResponder Replies(std::string status, std::vector<std::string> weights) {
    struct State {
        std::mutex mutex;
        std::deque<std::string> weights;
    };
    auto state = std::make_shared<State>();
    state->weights.assign(weights.begin(), weights.end());
    return [state, status](const std::string& command) -> std::string {
        if (command == kStatus || command == scale::UsbCommand(scale::Command::Status)) {
            return status;
        }
        if (command[1] != 1 && command[1] != 2) {
            return "";
        }
        std::lock_guard<std::mutex> lock(state->mutex);
        if (state->weights.empty()) {
            return "";
        }
        std::string reply = state->weights.front();
        if (state->weights.size() > 1) {
            state->weights.pop_front();
        }
        return reply;
    };
}

class ScaleTest : public ::testing::Test {
  protected:
    static constexpr int kPort = 5;

    void SetUp() override {
        g_Log.Reopen();
        device = std::make_unique<PtyScale>(kPort);
        device->SetResponder(Replies(SerialReply(0, 0, 0), {SerialReply(0, 0, 0, "12345")}));
        test::WriteScaleProfile("Serial", "0", std::to_string(kPort));
        ASSERT_TRUE(scale.CreateDeviceWindow());
    }
    void TearDown() override { scale.CloseService(); }

    void Open(const std::string& profile = "Serial") {
        ASSERT_EQ(scale.OpenService("Scale", profile, &control), OPOS_SUCCESS);
    }
    void OpenClaimEnable(const std::string& profile = "Serial") {
        Open(profile);
        ASSERT_EQ(scale.ClaimDevice(0), OPOS_SUCCESS);
        scale.SetPropertyNumber(PIDX_DeviceEnabled, 1);
        ASSERT_EQ(scale.ResultCode(), OPOS_SUCCESS);
    }
    std::int32_t Number(std::int32_t index) {
        std::int32_t value = -12345;
        scale.GetPropertyNumber(index, &value);
        return value;
    }
    void SetAsync() {
        scale.SetPropertyNumber(PIDX_SCAL_AsyncMode, 1);
        scale.SetPropertyNumber(PIDX_DataEventEnabled, 1);
    }

    sorvex::test::TempRoot root;
    std::unique_ptr<PtyScale> device;
    FakeControlObject control;
    CScale scale{kFast};
};

TEST_F(ScaleTest, OpenProbesTheUnitAndClosesThePortAgain) {
    struct Row {
        const char* name;
        const char* profileUnit;
        bool answers;
        bool kilograms;
        std::int32_t weightUnit;
        std::int32_t maximumWeight;
    };
    const Row rows[] = {
        {"scale in kilograms", "0", true, true, SCAL_WU_KILOGRAM, 15000},
        {"scale in pounds", "1", true, false, SCAL_WU_POUND, 30000},
        {"silent, profile metric", "1", false, false, SCAL_WU_KILOGRAM, 15000},
        {"silent, profile English", "0", false, false, SCAL_WU_POUND, 30000},
    };
    for (const Row& row : rows) {
        test::WriteScaleProfile("Serial", "0", std::to_string(kPort), "1", row.profileUnit);
        device->SetResponder(
            Replies(row.answers ? SerialReply(0, row.kilograms ? 1 : 0, 0) : "", {}));
        const std::size_t before = device->Commands().Count();
        Open();
        EXPECT_EQ(Number(PIDX_SCAL_WeightUnit), row.weightUnit) << row.name;
        EXPECT_EQ(Number(PIDX_SCAL_MaximumWeight), row.maximumWeight) << row.name;
        EXPECT_EQ(device->Commands().Count(), before + 1) << row.name;
        EXPECT_EQ(device->Commands().All().back(), kStatus) << row.name;
        EXPECT_EQ(TheArbiter().IsUsbPort(kPort), -1)
            << row.name << ": the probe left the port open";
        EXPECT_EQ(scale.CloseService(), OPOS_SUCCESS);
    }
    Open();
    EXPECT_EQ(scale.State(), OPOS_S_IDLE);
    EXPECT_EQ(scale.GetPropertyString(PIDX_DeviceName), "Orvanta Scanner/Scale");
    EXPECT_EQ(scale.GetPropertyString(PIDX_DeviceDescription),
              "Orvanta Heronix/21xx Single-Cable Scanner/Scale");
    EXPECT_EQ(scale.GetPropertyString(PIDX_CheckHealthText), "[Error]");
    EXPECT_EQ(scale.GetPropertyString(PIDX_ServiceObjectDescription),
              "Orvanta OPOS Scale Service Object");
    EXPECT_EQ(Number(PIDX_ServiceObjectVersion), 1008003);
    EXPECT_EQ(Number(PIDX_SCAL_CapDisplay), 1);
}

TEST_F(ScaleTest, OpenLeavesNoEarlierFlagSet) {
    scale.SetPropertyNumber(PIDX_FreezeEvents, 1);
    scale.SetPropertyNumber(PIDX_BinaryConversion, OPOS_BC_NIBBLE);
    scale.COFreezeEvents(true);
    Open();
    EXPECT_EQ(Number(PIDX_FreezeEvents), 0);
    EXPECT_EQ(Number(PIDX_BinaryConversion), OPOS_BC_NONE);
    EXPECT_EQ(scale.StatusBits(), kOpened | kBcNone);
}

TEST_F(ScaleTest, OpenFailsWithoutHardwareOrConfiguration) {
    test::SetServiceInfo("LogVerbosity", "4");
    test::TraceCapture trace;
    struct Row {
        const char* name;
        std::function<void()> setup;
        std::int32_t result;
        int level;
        const char* message;
    };
    const Row rows[] = {
        {"no serial port value", [] { test::WriteScaleProfile("P", "0", ""); }, OPOS_ORS_CONFIG, 0,
         "Error retrieving SOFTWARE\\OLEforRetail\\ServiceOPOS\\Scale\\P\\\\Serial Port"},
        {"port cannot be opened",
         [] {
             test::WriteScaleProfile("P", "0", "9");
             test::MapComPort(9, "/nonexistent/tty");
         },
         OPOS_E_NOHARDWARE, 1, "Error attempting to determine scanner configuration."},
        {"no USB scale", [] { test::WriteScaleProfile("P", "2", ""); }, OPOS_E_NOHARDWARE, 0,
         "No Full Speed USB Scales are connected to the system."},
    };
    for (const Row& row : rows) {
        row.setup();
        EXPECT_EQ(scale.OpenService("Scale", "P", &control), row.result) << row.name;
        EXPECT_EQ(scale.GetOpenResult(), row.result) << row.name;
        EXPECT_EQ(scale.State(), OPOS_S_CLOSED) << row.name;
        EXPECT_TRUE(trace.Has(row.level, "CScale", row.message)) << row.name;
    }
    // The early returns trace no Exit line.
    EXPECT_TRUE(trace.Has(3, "CScale", "Enter OpenService"));
    EXPECT_FALSE(trace.Has(3, "CScale", "Exit OpenService"));
    EXPECT_EQ(scale.ClaimDevice(0), OPOS_E_CLAIMED);
}

TEST_F(ScaleTest, MissingDisplayAndUnitAreTracedAndTakenAsZero) {
    test::SetServiceInfo("LogVerbosity", "1");
    test::TraceCapture trace(1);
    test::WriteScaleProfile("Bare", "", std::to_string(kPort), "", "");
    Open("Bare");
    EXPECT_TRUE(trace.Has(1, "CScale",
                          "Unable to read configuration setting RegistryValues::ScaleDisplay."));
    EXPECT_TRUE(trace.Has(1, "CScale",
                          "Unable to read configuration setting RegistryValues::WeightUnits."));
    EXPECT_EQ(Number(PIDX_SCAL_CapDisplay), 0);
    EXPECT_EQ(Number(PIDX_SCAL_WeightUnit), SCAL_WU_POUND);
}

TEST_F(ScaleTest, ClaimMutexIsNamedAfterThePort) {
    // A USB scale's name ends in 0.
    test::WriteScaleProfile("Usb", "2", "");
    UsbScale usb;
    usb.SetResponder(Replies(UsbReport("\x04\x00\x00"s), {}));
    for (auto [profile, name] :
         {std::pair{"Serial", "OrvantaOposScale5"}, std::pair{"Usb", "OrvantaOposScale0"}}) {
        Open(profile);
        sorvex::sync::Event held(sorvex::sync::ResetMode::Manual, false);
        sorvex::sync::Event done(sorvex::sync::ResetMode::Manual, false);
        std::thread holder([&, name = name] {
            sorvex::sync::NamedMutex mutex(name);
            ASSERT_EQ(mutex.Wait(0), sorvex::sync::MutexWait::Acquired);
            held.Set();
            done.Wait(sorvex::sync::kInfinite);
            mutex.Release();
        });
        held.Wait(10000);
        EXPECT_EQ(scale.ClaimDevice(0), OPOS_E_CLAIMED) << name;
        done.Set();
        holder.join();
        EXPECT_EQ(scale.ClaimDevice(1000), OPOS_SUCCESS) << name;
        scale.CloseService();
    }
}

TEST_F(ScaleTest, DeviceNumberProperties) {
    Open();
    struct Row {
        std::int32_t index;
        std::int32_t value;
        std::int32_t getResult;
        std::int32_t setResult;  // setting 1
    };
    const Row rows[] = {
        {PIDX_SCAL_MaximumWeight, 30000, 0, 106},
        {PIDX_SCAL_WeightUnit, SCAL_WU_POUND, 0, 106},
        {PIDX_SCAL_AsyncMode, 0, 0, 0},
        {PIDX_SCAL_MaxDisplayTextChars, 0, 0, 106},
        {PIDX_SCAL_TareWeight, 0, 0, 106},
        {PIDX_SCAL_CapDisplay, 0, 0, 106},
        {PIDX_SCAL_CapDisplayText, 0, 0, 106},
        {PIDX_SCAL_CapPriceCalculating, 0, 0, 106},
        {PIDX_SCAL_CapTareWeight, 1, 0, 106},
        {PIDX_SCAL_CapZeroScale, 1, 0, 106},
        {9006, 0, 106, 106},
        {9500, 0, 106, 106},
        {PIDX_DeviceEnabled, 0, 0, 103},  // answered while not claimed
    };
    for (const Row& row : rows) {
        EXPECT_EQ(Number(row.index), row.value) << row.index;
        EXPECT_EQ(Number(PIDX_ResultCode), row.getResult) << row.index;
        scale.SetPropertyNumber(row.index, 1);
        EXPECT_EQ(scale.ResultCode(), row.setResult) << row.index;
    }
    EXPECT_EQ(Number(PIDX_SCAL_AsyncMode), 1);
    scale.SetPropertyNumber(PIDX_SCAL_AsyncMode, 0);
    EXPECT_EQ(Number(PIDX_SCAL_AsyncMode), 0);
    EXPECT_EQ(Number(PIDX_DeviceEnabled), 0);
}

TEST_F(ScaleTest, CommonPropertyEdgeCases) {
    test::SetServiceInfo("LogVerbosity", "1");
    test::TraceCapture trace(1);
    Open();
    scale.SetPropertyNumber(PIDX_BinaryConversion, 3);
    EXPECT_EQ(scale.ResultCode(), OPOS_SUCCESS);
    EXPECT_EQ(Number(PIDX_BinaryConversion), 0);
    EXPECT_EQ(scale.ResultCode(), OPOS_SUCCESS);
    scale.SetPropertyNumber(PIDX_PowerNotify, 1);
    EXPECT_EQ(scale.ResultCode(), OPOS_E_ILLEGAL);
    scale.SetPropertyNumber(PIDX_PowerNotify, 0);
    EXPECT_EQ(scale.ResultCode(), OPOS_SUCCESS);
    EXPECT_EQ(scale.CheckHealth(4), OPOS_E_ILLEGAL);
    scale.SetPropertyNumber(PIDX_BinaryConversion, OPOS_BC_NONE);
    EXPECT_EQ(scale.GetPropertyString(PIDX_CheckHealthText), "[Error]");
    EXPECT_EQ(Number(PIDX_OutputID), 0);
    EXPECT_EQ(scale.ResultCode(), OPOS_E_ILLEGAL);
    EXPECT_EQ(Number(PIDX_ResultCode), OPOS_E_ILLEGAL);
    EXPECT_EQ(scale.ResultCode(), OPOS_SUCCESS);
    scale.SetPropertyNumber(PIDX_DeviceEnabled, 1);
    EXPECT_EQ(scale.ResultCode(), OPOS_E_NOTCLAIMED);
    EXPECT_EQ(Number(PIDX_DeviceEnabled), 0);
    EXPECT_TRUE(trace.Has(1, "CScale", "Attempted to enable the device before it is claimed."));
    EXPECT_TRUE(trace.Has(1, "CScale", "Invalid property number specified."));
    EXPECT_TRUE(trace.Has(1, "CScale", "Invalid CheckHealth level specified."));
    EXPECT_EQ(scale.ReleaseDevice(), OPOS_E_NOTCLAIMED);
    EXPECT_TRUE(trace.Has(1, "CScale", "Cannot release a device that has not been claimed."));
}

TEST_F(ScaleTest, DirectIODisplayTextPricesAndStatistics) {
    test::SetServiceInfo("LogVerbosity", "1");
    test::TraceCapture trace(1);
    Open();
    std::string stats;
    EXPECT_EQ(scale.RetrieveStatistics(&stats), OPOS_E_NOTCLAIMED);
    ASSERT_EQ(scale.ClaimDevice(0), OPOS_SUCCESS);
    EXPECT_EQ(scale.RetrieveStatistics(&stats), OPOS_E_DISABLED);
    EXPECT_EQ(stats, "");
    std::int32_t data = 7;
    std::string text = "abc";
    EXPECT_EQ(scale.DirectIO(1, &data, &text), OPOS_E_ILLEGAL);
    scale.SetPropertyNumber(PIDX_DeviceEnabled, 1);
    EXPECT_EQ(scale.DirectIO(1, &data, &text), OPOS_SUCCESS);
    EXPECT_EQ(data, 7);
    EXPECT_EQ(text, "abc");
    EXPECT_EQ(scale.DisplayText("hello"), OPOS_E_ILLEGAL);
    EXPECT_TRUE(trace.Has(1, "CScale", "The scale does not support setting the display text."));
    sorvex::com::CY price;
    price.int64 = 99;
    scale.GetSalesPrice(&price);
    EXPECT_EQ(price.int64, 0);
    EXPECT_EQ(scale.ResultCode(), OPOS_SUCCESS);
    price.int64 = 99;
    scale.GetUnitPrice(&price);
    EXPECT_EQ(price.int64, 0);
    scale.SetUnitPrice(sorvex::com::CY{12345});
    EXPECT_EQ(scale.ResultCode(), OPOS_E_ILLEGAL);

    EXPECT_EQ(scale.RetrieveStatistics(&stats), OPOS_SUCCESS);
    EXPECT_NE(stats.find("<DeviceCategory UPOS=\"Scale\" />"), std::string::npos) << stats;
    EXPECT_NE(stats.find("<ModelName>Orvanta Scale</ModelName>"), std::string::npos);
    EXPECT_NE(stats.find("<Name>GoodWeightReadCount</Name>"), std::string::npos);
    EXPECT_NE(stats.find("<Interface>RS232</Interface>"), std::string::npos);
    stats = "GoodWeightReadCount,NoSuchCount";
    EXPECT_EQ(scale.RetrieveStatistics(&stats), OPOS_E_ILLEGAL);
    EXPECT_NE(stats.find("GoodWeightReadCount"), std::string::npos);
    EXPECT_EQ(stats.find("HoursPoweredCount"), std::string::npos);
    EXPECT_EQ(scale.ResetStatistics(""), OPOS_E_ILLEGAL);
    EXPECT_EQ(scale.UpdateStatistics("x"), OPOS_E_ILLEGAL);
    EXPECT_EQ(scale.ResultCode(), OPOS_E_ILLEGAL);
}

TEST_F(ScaleTest, CallerErrorsOfReadWeightAndZeroScale) {
    test::SetServiceInfo("LogVerbosity", "1");
    test::TraceCapture trace(1);
    Open();
    std::int32_t weight = 77;
    EXPECT_EQ(scale.ReadWeight(&weight, 100), OPOS_E_NOTCLAIMED);
    EXPECT_EQ(scale.ZeroScale(), OPOS_E_NOTCLAIMED);
    ASSERT_EQ(scale.ClaimDevice(0), OPOS_SUCCESS);
    EXPECT_EQ(scale.ReadWeight(&weight, 100), OPOS_E_DISABLED);
    EXPECT_EQ(scale.ZeroScale(), OPOS_E_DISABLED);
    EXPECT_EQ(weight, 77);
    EXPECT_EQ(scale.ResultCode(), OPOS_E_DISABLED);
    EXPECT_TRUE(
        trace.Has(1, "ReadWeight", "Attempt to read a weight before the device is claimed."));
    EXPECT_TRUE(trace.Has(1, "CScale", "Attempt to read a weight before the device is enabled."));
    EXPECT_TRUE(trace.Has(1, "CScale", "Attempt to zero the scale before the device is claimed."));
    EXPECT_TRUE(trace.Has(1, "CScale", "Attempt to zero the scale before the device is enabled."));
    // Nothing was written besides the probe's status request.
    EXPECT_EQ(device->Commands().All(), std::vector<std::string>{kStatus});
}

TEST_F(ScaleTest, SynchronousReadTracesItsSteps) {
    test::SetServiceInfo("LogVerbosity", "4");
    test::TraceCapture trace;
    OpenClaimEnable();
    std::int32_t weight = 3;
    EXPECT_EQ(scale.ReadWeight(&weight, 2000), OPOS_SUCCESS);
    EXPECT_EQ(weight, 12345);
    const std::vector<std::string> expected = {
        "Enter ReadWeight",
        "  *   pData: 3",
        "  *   Timeout: 2000",
        "Enter RequestWeight",
        "Exit RequestWeight",
        "  *   in ReadWeight, synchronous mode",
        "  *   in ReadWeight, back from WaitForSingleObject, with Result = WAIT_OBJECT_0",
        "Exit ReadWeight",
        "  *  pData: 12345",
        "  *  pRC: 0",
    };
    std::vector<std::string> lines;
    bool reading = false;
    for (const std::string& m : trace.Messages("CScale")) {
        reading = reading || m == "Enter ReadWeight";
        // The read thread's lines interleave; keep the ones ReadWeight writes.
        if (reading &&
            (m.find("ReadWeight") != std::string::npos ||
             m.find("RequestWeight") != std::string::npos || m.find("pData") != std::string::npos ||
             m == "  *   Timeout: 2000" || m == "  *  pRC: 0")) {
            lines.push_back(m);
        }
        if (m == "  *  pRC: 0" && reading) {
            break;
        }
    }
    EXPECT_EQ(lines, expected);
    for (const char* line :
         {"  *   intNoWghtData_Or_ScaleInMotion = 0", "  *   intScaleCenterOfZero           = 0",
          "  *   intScaleOverCapacity           = 0", "  *   intZeroWeightReject            = 0",
          "  *   In synch mode, about to SetEvent(m_ReadEvent)...",
          "  *   Data:   31 32 33 34 35"}) {
        EXPECT_TRUE(trace.Has(4, "CScale", line)) << line;
    }
}

TEST_F(ScaleTest, MalformedRepliesArePolledAgainAndReadingGoesOn) {
    struct Row {
        const char* name;
        std::string reply;
    };
    const Row rows[] = {
        {"frame shorter than 7 bytes", "\xF8\x31\x32\xF1"s},
        {"digits that are no decimal number", SerialReply(0, 0, 0, "12:45")},
        {"too many digits", SerialReply(0, 0, 0, "1234567890")},
        {"bytes 0x00 and 0xFF", SerialReply(0, 0, 0, "\x00\xFF"s)},
    };
    OpenClaimEnable();
    for (const Row& row : rows) {
        device->SetResponder(Replies("", {row.reply, SerialReply(0, 0, 0, "01000")}));
        const std::size_t before = device->Commands().CountOf(kWeightLb);
        std::int32_t weight = 0;
        EXPECT_EQ(scale.ReadWeight(&weight, 5000), OPOS_SUCCESS) << row.name;
        EXPECT_EQ(weight, 1000) << row.name;
        EXPECT_EQ(device->Commands().CountOf(kWeightLb), before + 2) << row.name;
    }
}

TEST_F(ScaleTest, ReadingInsideTheDataEventHandlerKeepsTheLoopGoing) {
    // The scale answers each request with the next weight: 1, 2, 3, ...
    auto next = std::make_shared<std::atomic<int>>(0);
    device->SetResponder([next](const std::string& command) -> std::string {
        if (command == kStatus) {
            return SerialReply(0, 0, 0);
        }
        return SerialReply(0, 0, 0, std::to_string(100000 + ++*next).substr(1));
    });
    OpenClaimEnable();
    SetAsync();
    constexpr int kReads = 25;
    std::vector<std::int32_t> weights;
    std::vector<std::int32_t> results;
    control.onCall = [&](const FakeControlObject::Call& call) {
        if (call.name != "SOData") {
            return;
        }
        weights.push_back(call.args.at(0));
        if (static_cast<int>(weights.size()) < kReads) {
            scale.SetPropertyNumber(PIDX_DataEventEnabled, 1);
            std::int32_t w = -1;
            results.push_back(scale.ReadWeight(&w, 5000));
        }
    };
    std::int32_t w = -1;
    ASSERT_EQ(scale.ReadWeight(&w, 5000), OPOS_SUCCESS);
    EXPECT_EQ(w, 0);
    ASSERT_TRUE(test::PumpUntil([&] { return weights.size() >= kReads; }));
    test::PumpFor(50ms);
    std::vector<std::int32_t> expected;
    for (int i = 1; i <= kReads; ++i) {
        expected.push_back(i);
    }
    EXPECT_EQ(weights, expected);
    EXPECT_EQ(results, std::vector<std::int32_t>(kReads - 1, OPOS_SUCCESS));
    EXPECT_EQ(control.CountOf("SOError"), 0u);
    EXPECT_EQ(Number(PIDX_DataEventEnabled), 0);
}

TEST_F(ScaleTest, AnAsynchronousReadHasOneOutcome) {
    device->SetResponder(Replies(SerialReply(0, 0, 0), {}));  // the weight request is not answered
    OpenClaimEnable();
    SetAsync();
    scale.SetPropertyNumber(PIDX_FreezeEvents, 1);
    std::int32_t w = 0;
    ASSERT_EQ(scale.ReadWeight(&w, 30), OPOS_SUCCESS);
    ASSERT_TRUE(test::PumpUntil([&] { return scale.EventQueue().Count(kEventError) == 1; }));
    // Still pending (the error event is not handled yet): a late weight must not be a second
    // outcome.
    device->Send(SerialReply(0, 0, 0, "12345"));
    test::PumpFor(100ms);
    EXPECT_EQ(scale.EventQueue().Count(kEventData), 0);
    scale.SetPropertyNumber(PIDX_FreezeEvents, 0);
    ASSERT_TRUE(test::PumpUntil([&] { return control.CountOf("SOError") == 1; }));
    test::PumpFor(50ms);
    EXPECT_EQ(control.CountOf("SOData"), 0u);
    EXPECT_EQ(control.CountOf("SOError"), 1u);
}

TEST_F(ScaleTest, ErrorResponseDecidesWhatFollowsATimeOut) {
    test::SetServiceInfo("LogVerbosity", "3");
    test::TraceCapture trace(3);
    device->SetResponder(Replies(SerialReply(0, 0, 0), {}));
    OpenClaimEnable();
    SetAsync();
    auto clearInputs = [&] {
        std::size_t n = 0;
        for (const std::string& m : trace.Messages("CScale")) {
            n += m == "Enter ClearInput" ? 1 : 0;
        }
        return n;
    };
    struct Row {
        std::int32_t response;
        std::size_t errors;       // error events the read ends with
        std::size_t clearInputs;  // ClearInput calls that follow
    };
    // With OPOS_ER_RETRY the read is issued again; its second time-out is answered with the
    // default, OPOS_ER_CLEAR.
    const Row rows[] = {
        {OPOS_ER_RETRY, 2, 1},
        {OPOS_ER_CLEAR, 1, 1},
        {OPOS_ER_CONTINUEINPUT, 1, 0},
    };
    for (const Row& row : rows) {
        std::vector<FakeControlObject::Call> seen;
        std::vector<std::int32_t> statesInside;
        control.errorResponse = row.response;
        control.onCall = [&](const FakeControlObject::Call& call) {
            if (call.name == "SOError") {
                statesInside.push_back(scale.State());
                seen.push_back(call);
                control.errorResponse = -1;  // later calls keep the preset response
            }
        };
        const std::size_t requestsBefore = device->Commands().CountOf(kWeightLb);
        const std::size_t clearsBefore = clearInputs();
        std::int32_t w = 0;
        ASSERT_EQ(scale.ReadWeight(&w, 40), OPOS_SUCCESS);
        ASSERT_TRUE(test::PumpUntil([&] { return seen.size() >= row.errors; }));
        test::PumpFor(150ms);
        ASSERT_EQ(seen.size(), row.errors) << row.response;
        for (const FakeControlObject::Call& call : seen) {
            EXPECT_EQ(call.args,
                      (std::vector<std::int32_t>{OPOS_E_TIMEOUT, 0, OPOS_EL_INPUT, OPOS_ER_CLEAR}));
        }
        EXPECT_EQ(statesInside, std::vector<std::int32_t>(row.errors, OPOS_S_ERROR));
        EXPECT_EQ(scale.State(), OPOS_S_IDLE);
        EXPECT_EQ(device->Commands().CountOf(kWeightLb), requestsBefore + row.errors)
            << row.response;
        EXPECT_EQ(clearInputs(), clearsBefore + row.clearInputs) << row.response;
        control.onCall = nullptr;
    }
}

TEST_F(ScaleTest, DisablingEndsAPendingAsynchronousRead) {
    device->SetResponder(Replies(SerialReply(0, 0, 0), {}));
    OpenClaimEnable();
    SetAsync();
    std::int32_t w = 0;
    ASSERT_EQ(scale.ReadWeight(&w, -1), OPOS_SUCCESS);
    EXPECT_EQ(scale.ReadWeight(&w, -1), OPOS_E_ILLEGAL);
    scale.SetPropertyNumber(PIDX_DeviceEnabled, 0);
    scale.SetPropertyNumber(PIDX_DeviceEnabled, 1);
    device->SetResponder(Replies(SerialReply(0, 0, 0), {SerialReply(0, 0, 0, "00500")}));
    EXPECT_EQ(scale.ReadWeight(&w, -1), OPOS_SUCCESS);
    ASSERT_TRUE(test::PumpUntil([&] { return control.CountOf("SOData") == 1; }));
    EXPECT_EQ(control.Calls().back().args, std::vector<std::int32_t>{500});
}

TEST_F(ScaleTest, AutoDisableLeavesTheSharedPortReading) {
    // A second subscriber on the single-cable port, as the scanner is.
    test::Recorder scanner;
    OpenClaimEnable();
    TheArbiter().AddSerialDevice(0, kPort, 0xF3, 0xF1, &scanner, &test::Recorder::Frame);
    SetAsync();
    scale.SetPropertyNumber(PIDX_AutoDisable, 1);
    std::int32_t w = 0;
    ASSERT_EQ(scale.ReadWeight(&w, 5000), OPOS_SUCCESS);
    ASSERT_TRUE(test::PumpUntil([&] { return control.CountOf("SOData") == 1; }));
    EXPECT_EQ(Number(PIDX_DeviceEnabled), 0);
    device->Send(
        "\xF3"
        "11"
        "012345678905"
        "\xF1"s);
    EXPECT_TRUE(scanner.WaitForCount(1));
    // The scale reads again once enabled again.
    scale.SetPropertyNumber(PIDX_DeviceEnabled, 1);
    scale.SetPropertyNumber(PIDX_DataEventEnabled, 1);
    ASSERT_EQ(scale.ReadWeight(&w, 5000), OPOS_SUCCESS);
    EXPECT_TRUE(test::PumpUntil([&] { return control.CountOf("SOData") == 2; }));
    TheArbiter().RemoveSerialDevice(0, kPort, 0xF3, 0xF1);
    TheArbiter().DetachContext(&scanner);
}

TEST_F(ScaleTest, UsbScaleConversations) {
    test::WriteScaleProfile("Usb", "2", "");
    UsbScale usb;
    struct Row {
        const char* name;
        std::vector<std::string> replies;
        std::int32_t weight;
        std::size_t requests;
        std::int32_t weightUnit;
    };
    const std::string stable = UsbReport("\x04\x00\x00"s, "\x00\x01\x02\x03\x04"s);
    const Row rows[] = {
        {"raw digits, 0x00 included", {stable}, 1234, 1, SCAL_WU_POUND},
        {"two status bytes: asked again", {UsbReport("\x00\x00"s), stable}, 1234, 2, SCAL_WU_POUND},
        {"no status byte: asked again", {std::string(1, '\0'), stable}, 1234, 2, SCAL_WU_POUND},
        {"three status bytes, no digits: asked again",
         {UsbReport("\x04\x04\x00"s), stable},
         1234,
         2,
         SCAL_WU_POUND},
        {"motion, then stable",
         {UsbReport("\x04\x04\x00"s, "\x00\x00\x00\x00\x01"s), stable},
         1234,
         2,
         SCAL_WU_POUND},
        {"kilograms",
         {UsbReport("\x04\x01\x00"s, "\x00\x00\x05\x00\x00"s)},
         500,
         1,
         SCAL_WU_KILOGRAM},
    };
    usb.SetResponder(Replies(UsbReport("\x04\x00\x00"s), {stable}));
    OpenClaimEnable("Usb");
    for (const Row& row : rows) {
        usb.SetResponder(Replies(UsbReport("\x04\x00\x00"s), row.replies));
        const std::size_t before = usb.Commands().Count();
        std::int32_t weight = 0;
        EXPECT_EQ(scale.ReadWeight(&weight, 5000), OPOS_SUCCESS) << row.name;
        EXPECT_EQ(weight, row.weight) << row.name;
        EXPECT_EQ(usb.Commands().Count() - before, row.requests) << row.name;
        EXPECT_EQ(Number(PIDX_SCAL_WeightUnit), row.weightUnit) << row.name;
    }
    EXPECT_EQ(usb.Commands().CountOf(kUsbWeightLb), 10u);
    EXPECT_EQ(usb.Commands().All().front(), scale::UsbCommand(scale::Command::Status));
    std::string stats;
    EXPECT_EQ(scale.RetrieveStatistics(&stats), OPOS_SUCCESS);
    EXPECT_NE(stats.find("<Interface>IBM OEM USB</Interface>"), std::string::npos);
}

}  // namespace
}  // namespace talvex
