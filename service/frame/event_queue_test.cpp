#include "service/frame/event_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace talvex {
namespace {

using namespace std::chrono_literals;

// Collects what the delivery thread hands over.
struct Recorder {
    std::mutex lock;
    std::condition_variable changed;
    std::vector<OposEvent> events;
    std::function<void(OposEvent&)> onEvent;

    static void Deliver(void* owner, OposEvent& event) {
        auto* self = static_cast<Recorder*>(owner);
        if (self->onEvent) {
            self->onEvent(event);
        }
        std::lock_guard<std::mutex> l(self->lock);
        self->events.push_back(event);
        self->changed.notify_all();
    }
    bool WaitFor(std::size_t count, std::chrono::milliseconds timeout = 10s) {
        std::unique_lock<std::mutex> l(lock);
        return changed.wait_for(l, timeout, [&] { return events.size() >= count; });
    }
    std::vector<std::int32_t> Types() {
        std::lock_guard<std::mutex> l(lock);
        std::vector<std::int32_t> types;
        for (auto& e : events) {
            types.push_back(e.Type());
        }
        return types;
    }
};

class EventQueueTest : public ::testing::Test {
  protected:
    void SetUp() override { queue.SetDeliver(&recorder, &Recorder::Deliver); }
    Recorder recorder;
    CEventQueue queue;
};

TEST_F(EventQueueTest, QueuesOnlyAllowableTypesAndCountsThem) {
    try {
        queue.Enqueue(OposEvent::Data(1, "x"));
        FAIL() << "queued with an allowable mask of 0";
    } catch (const OposQueueError& e) {
        EXPECT_STREQ(e.what(), "Unable to queue the specified event type.");
    }
    queue.SetAllowableEvents(31);
    queue.Enqueue(OposEvent::Data(1, "a"));
    queue.Enqueue(OposEvent::Error(112, 0, 2));
    queue.Enqueue(OposEvent::Data(1, "b"));
    EXPECT_EQ(queue.Count(1), 2);
    EXPECT_EQ(queue.Count(4), 1);
    EXPECT_EQ(queue.Count(2), 0);
    queue.Remove(1);
    EXPECT_EQ(queue.Count(1), 0);
    EXPECT_EQ(queue.Count(4), 1);
    queue.Clear();
    EXPECT_EQ(queue.Count(4), 0);
}

TEST_F(EventQueueTest, RejectsMasksAndTypesOutsideTheFiveKinds) {
    auto message = [](auto&& f) {
        try {
            f();
        } catch (const OposQueueError& e) {
            return std::string(e.what());
        }
        return std::string("no error");
    };
    EXPECT_EQ(message([&] { queue.Count(3); }), "Invalid Event Type.");
    EXPECT_EQ(message([&] { queue.SetAllowableEvents(32); }),
              "Invalid event type passed to SetAllowableEvents.");
    EXPECT_EQ(message([&] { queue.SetEnabledEvents(32); }),
              "Invalid event type passed to SetEnabledEvents.");
    EXPECT_THROW(OposEvent::Data(1, "x").ResultCode(), OposEventError);
    EXPECT_THROW(OposEvent::Error(1, 2, 3).Data(), OposEventError);
}

TEST_F(EventQueueTest, DeliversEnabledTypesFirstAndKeepsTheOthersInOrder) {
    queue.SetAllowableEvents(31);
    queue.Enqueue(OposEvent::Data(1, "first"));
    queue.Enqueue(OposEvent::Error(111, 0, 2));
    queue.Enqueue(OposEvent::Data(1, "second"));
    queue.SetEnabledEvents(4);
    ASSERT_TRUE(recorder.WaitFor(1));
    EXPECT_EQ(queue.Count(1), 2);
    queue.SetEnabledEvents(5);
    ASSERT_TRUE(recorder.WaitFor(3));
    std::lock_guard<std::mutex> l(recorder.lock);
    EXPECT_EQ(recorder.events[0].Type(), 4);
    EXPECT_EQ(recorder.events[1].Data(), "first");
    EXPECT_EQ(recorder.events[2].Data(), "second");
}

TEST_F(EventQueueTest, AutoDisableHandsOverTheDisableEventBeforeTheData) {
    queue.SetAllowableEvents(31);
    queue.SetEnabledEvents(1);
    queue.SetAutoDisable(true);
    queue.Enqueue(OposEvent::Data(1, "label"));
    ASSERT_TRUE(recorder.WaitFor(2));
    EXPECT_EQ(recorder.Types(), (std::vector<std::int32_t>{kEventDisable, kEventData}));
}

TEST_F(EventQueueTest, NoEventIsStrandedWhileMasksChangeUnderLoad) {
    // A producer queues while the enabled mask flips; after the last flip to "enabled" every
    // event must arrive without any further wake-up.
    constexpr int kEvents = 20000;
    queue.SetAllowableEvents(31);
    std::atomic<bool> done{false};
    std::thread flipper([&] {
        bool on = false;
        while (!done) {
            queue.SetEnabledEvents(on ? 1 : 0);
            on = !on;
        }
    });
    std::thread producer([&] {
        for (int i = 0; i < kEvents; ++i) {
            queue.Enqueue(OposEvent::Data(1, std::to_string(i)));
        }
    });
    producer.join();
    done = true;
    flipper.join();
    queue.SetEnabledEvents(1);
    ASSERT_TRUE(recorder.WaitFor(kEvents, 30s));
    std::lock_guard<std::mutex> l(recorder.lock);
    ASSERT_EQ(recorder.events.size(), static_cast<std::size_t>(kEvents));
    for (int i = 0; i < kEvents; ++i) {
        ASSERT_EQ(recorder.events[i].Data(), std::to_string(i));
    }
}

TEST_F(EventQueueTest, StopWaitsForAHandlerInProgress) {
    std::atomic<bool> inHandler{false}, handlerDone{false};
    recorder.onEvent = [&](OposEvent&) {
        inHandler = true;
        std::this_thread::sleep_for(50ms);
        handlerDone = true;
    };
    queue.SetAllowableEvents(31);
    queue.SetEnabledEvents(1);
    queue.Enqueue(OposEvent::Data(1, "x"));
    while (!inHandler) {
        std::this_thread::yield();
    }
    queue.Stop();
    EXPECT_TRUE(handlerDone);
}

}  // namespace
}  // namespace talvex
