// Events: delivered on the application's thread while it serves its queue, ErrorResponse handed
// back, by-reference DirectIO events, FreezeEvents, and handlers that close, release, disable or
// destroy their own control object.
#include <gtest/gtest.h>
#include <poll.h>

#include <atomic>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/opos/standin/standin_support.h"
#include "sorvex/opos.h"
#include "tests/support/temp_root.h"

namespace {

using namespace sorvex::opos;
namespace st = sorvex::opos_test;

constexpr int kPatience = 10000;  // ms; only against hangs

class OposEvents : public ::testing::Test {
  protected:
    void SetUp() override {
        st::RegisterStandIn();
        st::WriteProfile("Scanner", "Front", "SorvexStandIn.Scanner");
        st::WriteProfile("Scale", "Deli", "SorvexStandIn.Scale");
    }

    // Open, claim, enable, DataEventEnabled.
    static void Start(OposControl& device, const char* profile) {
        ASSERT_EQ(device.Open(profile), OPOS_SUCCESS) << device.ErrorDetail();
        ASSERT_EQ(device.ClaimDevice(1000), OPOS_SUCCESS);
        device.SetDeviceEnabled(true);
        ASSERT_EQ(device.ResultCode(), OPOS_SUCCESS);
        device.SetDataEventEnabled(true);
    }

    // Stand-in DirectIO: 3 queues a label, 4 sets the weight, 5 queues an error event.
    static std::int32_t Command(OposControl& device, std::int32_t command, std::int32_t data,
                                std::string text = {}) {
        const std::int32_t rc = device.DirectIO(command, data, text);
        EXPECT_EQ(rc, OPOS_SUCCESS);
        return data;
    }

    sorvex::test::TempRoot m_Root;
};

TEST_F(OposEvents, DataEventOnTheApplicationThreadWithEveryByte) {
    OposScanner scanner;
    Start(scanner, "Front");
    scanner.SetDecodeData(true);
    const std::thread::id self = std::this_thread::get_id();
    std::vector<std::string> labels;
    bool onOwnThread = true;
    scanner.SetDataEventHandler([&](std::int32_t status) {
        EXPECT_EQ(status, 0);
        onOwnThread = onOwnThread && std::this_thread::get_id() == self;
        labels.push_back(scanner.ScanDataLabel());
        EXPECT_EQ(scanner.ScanDataType(), SCAN_SDT_EAN13);
        EXPECT_FALSE(scanner.DataEventEnabled());  // switched off per event
        scanner.SetDataEventEnabled(true);
    });
    const std::string label(
        "\x00"
        "12\xFF"
        "3\x80\n",
        7);
    Command(scanner, 3, SCAN_SDT_EAN13, label);
    Command(scanner, 3, SCAN_SDT_EAN13, "second");
    EXPECT_TRUE(labels.empty());  // nothing arrives while the thread does not serve its queue
    ASSERT_TRUE(WaitUntil([&] { return labels.size() == 2; }, kPatience));
    EXPECT_TRUE(onOwnThread);
    EXPECT_EQ(labels[0], label);
    EXPECT_EQ(labels[1], "second");
}

TEST_F(OposEvents, DataEventsWaitForDataEventEnabledAndFreezeEvents) {
    OposScanner scanner;
    Start(scanner, "Front");
    int events = 0;
    scanner.SetDataEventHandler([&](std::int32_t) { ++events; });
    scanner.SetDataEventEnabled(false);
    Command(scanner, 3, 101, "a");
    Command(scanner, 3, 101, "b");
    WaitForEvents(50);
    EXPECT_EQ(events, 0);
    EXPECT_EQ(scanner.DataCount(), 2);
    scanner.SetFreezeEvents(true);
    scanner.SetDataEventEnabled(true);
    WaitForEvents(50);
    EXPECT_EQ(events, 0);  // frozen
    scanner.SetFreezeEvents(false);
    ASSERT_TRUE(WaitUntil([&] { return events == 1; }, kPatience));
    WaitForEvents(50);
    EXPECT_EQ(events, 1);  // one event per setting of DataEventEnabled
    EXPECT_EQ(scanner.DataCount(), 1);
    EXPECT_EQ(scanner.ClearInput(), OPOS_SUCCESS);
    EXPECT_EQ(scanner.DataCount(), 0);
}

TEST_F(OposEvents, ErrorResponseGoesBackToTheServiceObject) {
    OposScale scale;
    Start(scale, "Deli");
    std::vector<std::int32_t> seen;
    scale.SetErrorEventHandler(
        [&](std::int32_t rc, std::int32_t rce, std::int32_t locus, std::int32_t& response) {
            seen = {rc, rce, locus, response};
            response = OPOS_ER_RETRY;
        });
    Command(scale, 5, OPOS_E_TIMEOUT);
    ASSERT_TRUE(WaitUntil([&] { return !seen.empty(); }, kPatience));
    EXPECT_EQ(seen, (std::vector<std::int32_t>{OPOS_E_TIMEOUT, 0, OPOS_EL_INPUT, OPOS_ER_CLEAR}));
    EXPECT_EQ(Command(scale, 2, 0), OPOS_ER_RETRY);
}

TEST_F(OposEvents, AsynchronousWeightsAndRetriedTimeouts) {
    OposScale scale;
    Start(scale, "Deli");
    scale.SetAsyncMode(true);
    std::vector<std::int32_t> weights;
    int errors = 0;
    scale.SetDataEventHandler([&](std::int32_t weight) { weights.push_back(weight); });
    scale.SetErrorEventHandler(
        [&](std::int32_t rc, std::int32_t, std::int32_t, std::int32_t& response) {
            EXPECT_EQ(rc, OPOS_E_TIMEOUT);
            ++errors;
            response = OPOS_ER_RETRY;  // read again: the weight below ends the retried read
        });
    std::int32_t weight = 0;
    ASSERT_EQ(scale.ReadWeight(weight, 30), OPOS_SUCCESS);  // answers at once
    ASSERT_TRUE(WaitUntil([&] { return errors >= 1; }, kPatience));
    Command(scale, 4, 12340);
    ASSERT_TRUE(WaitUntil([&] { return !weights.empty(); }, kPatience));
    EXPECT_EQ(weights.front(), 12340);
}

TEST_F(OposEvents, DirectIOAndStatusUpdateEventsByReference) {
    OposScanner scanner;
    ASSERT_EQ(scanner.Open("Front"), OPOS_SUCCESS) << scanner.ErrorDetail();
    std::vector<std::string> calls;
    scanner.SetDirectIOEventHandler([&](std::int32_t number, std::int32_t& data, std::string& s) {
        calls.push_back(std::to_string(number) + "/" + std::to_string(data) + "/" + s);
        data = 99;
        s = std::string("y\0z", 3);
    });
    std::int32_t status = 0;
    scanner.SetStatusUpdateEventHandler([&](std::int32_t s) { status = s; });
    std::int32_t data = 5;
    std::string text = "x";
    ASSERT_EQ(scanner.DirectIO(6, data, text), OPOS_SUCCESS);  // fires inside the call
    EXPECT_EQ(calls, std::vector<std::string>{"5/5/x"});
    EXPECT_EQ(data, 99);
    EXPECT_EQ(text, std::string("y\0z", 3));
    Command(scanner, 7, 2001);
    EXPECT_EQ(status, 2001);
}

TEST_F(OposEvents, HandlerMayCloseReleaseOrDisable) {
    struct Row {
        const char* name;
        std::function<void(OposScanner&)> act;
        std::int32_t state;
        bool claimed;
    };
    const Row rows[] = {
        {"close", [](OposScanner& s) { EXPECT_EQ(s.Close(), OPOS_SUCCESS); }, OPOS_S_CLOSED, false},
        {"release", [](OposScanner& s) { EXPECT_EQ(s.ReleaseDevice(), OPOS_SUCCESS); }, OPOS_S_IDLE,
         false},
        {"disable", [](OposScanner& s) { s.SetDeviceEnabled(false); }, OPOS_S_IDLE, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        OposScanner scanner;
        Start(scanner, "Front");
        int events = 0;
        scanner.SetDataEventHandler([&](std::int32_t) {
            ++events;
            row.act(scanner);
            EXPECT_EQ(scanner.DeviceName(),
                      row.state == OPOS_S_CLOSED ? "" : "Stand-in Scanner Front");
        });
        Command(scanner, 3, 101, "a");
        ASSERT_TRUE(WaitUntil([&] { return events == 1; }, kPatience));
        WaitForEvents(20);
        EXPECT_EQ(scanner.State(), row.state);
        EXPECT_EQ(scanner.Claimed(), row.claimed);
    }
}

TEST_F(OposEvents, HandlerMayDestroyItsControlObject) {
    auto scanner = std::make_unique<OposScanner>();
    Start(*scanner, "Front");
    bool handled = false;
    scanner->SetDataEventHandler([&](std::int32_t) {
        scanner.reset();  // the object whose handler this is
        handled = true;
    });
    Command(*scanner, 3, 101, "a");
    ASSERT_TRUE(WaitUntil([&] { return handled; }, kPatience));
    EXPECT_EQ(scanner, nullptr);
    // It was closed: another apartment can claim the device now.
    std::atomic<std::int32_t> claim{-1};
    std::thread([&] {
        OposScanner other;
        if (other.Open("Front") == OPOS_SUCCESS) {
            claim = other.ClaimDevice(0);
        }
    }).join();
    EXPECT_EQ(claim.load(), OPOS_SUCCESS);
}

TEST_F(OposEvents, HandlerMayDestroyAnotherControlObject) {
    auto scanner = std::make_unique<OposScanner>();
    OposScale scale;
    Start(*scanner, "Front");
    Start(scale, "Deli");
    scale.SetAsyncMode(true);
    int weights = 0;
    scale.SetDataEventHandler([&](std::int32_t) {
        scanner.reset();
        ++weights;
    });
    Command(scale, 4, 500);
    std::int32_t weight = 0;
    ASSERT_EQ(scale.ReadWeight(weight, 1000), OPOS_SUCCESS);
    ASSERT_TRUE(WaitUntil([&] { return weights == 1; }, kPatience));
    EXPECT_EQ(scanner, nullptr);
    EXPECT_EQ(scale.State(), OPOS_S_IDLE);
}

TEST_F(OposEvents, HandlerExceptionComesOutOfTheWait) {
    OposScanner scanner;
    Start(scanner, "Front");
    scanner.SetDataEventHandler([](std::int32_t) { throw std::runtime_error("till closed"); });
    Command(scanner, 3, 101, "a");
    try {
        WaitUntil([] { return false; }, kPatience);
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "till closed");
    }
    EXPECT_EQ(scanner.State(), OPOS_S_IDLE);  // the device carries on
}

TEST_F(OposEvents, EventFdWakesAnOwnLoop) {
    OposScanner scanner;
    Start(scanner, "Front");
    int events = 0;
    scanner.SetDataEventHandler([&](std::int32_t) { ++events; });
    const int fd = EventFd();
    EXPECT_GE(fd, 0);
    Command(scanner, 3, 101, "a");
    // What an application's own loop does: poll the descriptor, then dispatch.
    pollfd p{fd, POLLIN, 0};
    while (events == 0 && ::poll(&p, 1, kPatience) > 0) {
        DispatchEvents();
    }
    EXPECT_EQ(events, 1);
}

}  // namespace
