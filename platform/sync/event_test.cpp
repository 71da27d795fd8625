#include <gtest/gtest.h>
#include <poll.h>

#include <array>
#include <atomic>
#include <ostream>
#include <thread>
#include <vector>

#include "platform/sync/sync.h"
#include "platform/sync/thread_probe_test_util.h"
#include "tests/support/temp_root.h"

namespace sorvex::sync {
namespace {

using namespace std::chrono_literals;

bool Readable(int fd) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, 0) == 1 && (p.revents & POLLIN) != 0;
}

class EventTest : public ::testing::Test {
  protected:
    test::TempRoot m_Root;
};

struct ModeRow {
    ResetMode mode;
    bool stillSetAfterWait;
    friend void PrintTo(const ModeRow& row, std::ostream* os) {
        *os << (row.mode == ResetMode::Manual ? "manual" : "auto");
    }
};

class EventModeTest : public EventTest, public ::testing::WithParamInterface<ModeRow> {};

INSTANTIATE_TEST_SUITE_P(Modes, EventModeTest,
                         ::testing::Values(ModeRow{ResetMode::Manual, true},
                                           ModeRow{ResetMode::Auto, false}),
                         [](const auto& info) {
                             return info.param.mode == ResetMode::Manual ? "Manual" : "Auto";
                         });

TEST_P(EventModeTest, WaitConsumesOnlyAutoReset) {
    Event event(GetParam().mode, false);
    EXPECT_FALSE(event.IsSet());
    EXPECT_FALSE(event.Wait(0));
    event.Set();
    EXPECT_TRUE(event.IsSet());
    EXPECT_TRUE(event.IsSet()) << "IsSet must not consume";
    EXPECT_TRUE(event.Wait(0));
    EXPECT_EQ(event.IsSet(), GetParam().stillSetAfterWait);
    EXPECT_EQ(event.Wait(0), GetParam().stillSetAfterWait);
    event.Reset();
    EXPECT_FALSE(event.Wait(0));
}

TEST_P(EventModeTest, InitiallySet) {
    Event event(GetParam().mode, true);
    EXPECT_TRUE(Readable(event.fd()));
    EXPECT_TRUE(event.Wait(0));
    EXPECT_EQ(event.IsSet(), GetParam().stillSetAfterWait);
}

TEST_P(EventModeTest, FdIsReadableExactlyWhileSet) {
    Event event(GetParam().mode, false);
    EXPECT_FALSE(Readable(event.fd()));
    event.Set();
    event.Set();  // a second Set must not need a second Reset
    EXPECT_TRUE(Readable(event.fd()));
    event.Reset();
    EXPECT_FALSE(Readable(event.fd()));
    event.Set();
    ASSERT_TRUE(event.Wait(0));
    EXPECT_EQ(Readable(event.fd()), GetParam().stillSetAfterWait);
}

TEST_P(EventModeTest, SetOnAnotherThreadWakesTheWaiterAndPublishesItsWrites) {
    Event event(GetParam().mode, false);
    int payload = 0;  // plain on purpose: the event must order the write before the read
    std::thread setter([&] {
        payload = 42;
        event.Set();
    });
    ASSERT_TRUE(event.Wait(kInfinite));
    EXPECT_EQ(payload, 42);
    setter.join();
}

TEST_F(EventTest, WaitTimesOutWhenNotSet) {
    Event event(ResetMode::Manual, false);
    EXPECT_FALSE(event.Wait(30));
}

TEST_F(EventTest, AutoResetReleasesOneWaiterPerSet) {
    Event event(ResetMode::Auto, false);
    std::atomic<int> released{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 3; ++i) {
        waiters.emplace_back([&] {
            if (event.Wait(500)) {
                ++released;
            }
        });
    }
    event.Set();
    for (auto& t : waiters) {
        t.join();
    }
    EXPECT_EQ(released.load(), 1);
    EXPECT_FALSE(event.IsSet());
}

TEST_F(EventTest, ManualResetReleasesEveryWaiter) {
    Event event(ResetMode::Manual, false);
    std::atomic<int> released{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 3; ++i) {
        waiters.emplace_back([&] {
            if (event.Wait(kInfinite)) {
                ++released;
            }
        });
    }
    event.Set();
    for (auto& t : waiters) {
        t.join();
    }
    EXPECT_EQ(released.load(), 3);
}

TEST_F(EventTest, WaitAnyTakesTheLowestSetIndexAndConsumesOnlyThatAutoEvent) {
    Event autoA(ResetMode::Auto, false);
    Event manual(ResetMode::Manual, false);
    Event autoB(ResetMode::Auto, false);
    std::array<Event*, 3> events{&autoA, &manual, &autoB};

    EXPECT_EQ(WaitAny(events, 0), -1);
    autoB.Set();
    manual.Set();
    EXPECT_EQ(WaitAny(events, 0), 1);
    EXPECT_EQ(WaitAny(events, 0), 1) << "a manual-reset event stays set";
    EXPECT_TRUE(autoB.IsSet()) << "events after the one returned are left alone";
    manual.Reset();
    EXPECT_EQ(WaitAny(events, 0), 2);
    EXPECT_EQ(WaitAny(events, 0), -1) << "the auto-reset event was consumed";
    autoA.Set();
    autoB.Set();
    EXPECT_EQ(WaitAny(events, 0), 0);
    EXPECT_EQ(WaitAny(events, 0), 2);
    EXPECT_FALSE(Readable(autoA.fd()));
    EXPECT_FALSE(Readable(autoB.fd()));
}

TEST_F(EventTest, WaitAnyWakesOnALaterSetFromAnotherThread) {
    Event stop(ResetMode::Manual, false);
    Event wake(ResetMode::Auto, false);
    Event other(ResetMode::Auto, false);
    std::array<Event*, 3> events{&stop, &other, &wake};
    int payload = 0;
    std::thread setter([&] {
        payload = 7;
        wake.Set();
    });
    EXPECT_EQ(WaitAny(events, kInfinite), 2);
    EXPECT_EQ(payload, 7);
    setter.join();
    EXPECT_FALSE(wake.IsSet());
}

TEST_F(EventTest, WaitAnyTimesOut) {
    Event a(ResetMode::Manual, false);
    Event b(ResetMode::Auto, false);
    std::array<Event*, 2> events{&a, &b};
    EXPECT_EQ(WaitAny(events, 30), -1);
}

TEST_F(EventTest, WaitAnyCompetingForOneAutoEventReleasesOneWaiter) {
    Event event(ResetMode::Auto, false);
    std::array<Event*, 1> events{&event};
    std::atomic<int> released{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 2; ++i) {
        waiters.emplace_back([&] {
            if (WaitAny(events, 500) == 0) {
                ++released;
            }
        });
    }
    event.Set();
    for (auto& t : waiters) {
        t.join();
    }
    EXPECT_EQ(released.load(), 1);
}

TEST_F(EventTest, WaitAnyRejectsAnEmptyListOrANullEvent) {
    EXPECT_THROW(WaitAny({}, 0), std::invalid_argument);
    Event a(ResetMode::Manual, true);
    std::array<Event*, 2> events{&a, nullptr};
    EXPECT_THROW(WaitAny(events, 0), std::invalid_argument);
}

// A waiting thread must sleep in the kernel until it is woken, not poll.
TEST_F(EventTest, IdleWaitersDoNotWakeUp) {
    Event event(ResetMode::Manual, false);
    Event other(ResetMode::Auto, false);
    std::array<Event*, 2> events{&other, &event};
    std::atomic<pid_t> waitTid{0}, waitAnyTid{0};
    std::thread waiter([&] {
        waitTid = test::CurrentTid();
        event.Wait(kInfinite);
    });
    std::thread anyWaiter([&] {
        waitAnyTid = test::CurrentTid();
        WaitAny(events, kInfinite);
    });
    while (waitTid == 0 || waitAnyTid == 0) {
        std::this_thread::yield();
    }
    ASSERT_TRUE(test::WaitUntilSleeping(waitTid, 10s));
    ASSERT_TRUE(test::WaitUntilSleeping(waitAnyTid, 10s));
    long before = test::VoluntarySwitches(waitTid);
    long wakeUpsAny = test::WakeUpsWhileIdle(waitAnyTid, 300ms);
    long wakeUps = test::VoluntarySwitches(waitTid) - before;
    event.Set();
    waiter.join();
    anyWaiter.join();
    EXPECT_LE(wakeUps, 1);
    EXPECT_LE(wakeUpsAny, 1);
}

TEST_F(EventTest, CriticalSectionIsRecursiveAndExcludesOtherThreads) {
    CriticalSection section;
    std::lock_guard outer(section);
    {
        std::lock_guard inner(section);
        bool otherGotIt = true;
        std::thread other([&] { otherGotIt = section.try_lock(); });
        other.join();
        EXPECT_FALSE(otherGotIt);
    }
    EXPECT_TRUE(section.try_lock());
    section.unlock();
}

}  // namespace
}  // namespace sorvex::sync
