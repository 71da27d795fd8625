#include <gtest/gtest.h>
#include <poll.h>

#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/window/message_queue.h"
#include "platform/window/window.h"
#include "tests/support/temp_root.h"

namespace sorvex::window {
namespace {

using namespace std::chrono_literals;

bool Readable(int fd, int timeoutMs) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, timeoutMs) == 1 && (p.revents & POLLIN) != 0;
}

// Counts WM_TIMER per id; checks each arrives on the owner thread with lParam 0.
class TimerLog {
  public:
    MessageHandler Handler() {
        auto self = std::this_thread::get_id();
        return [this, self](std::uint32_t m, std::uintptr_t w, std::intptr_t l) {
            if (m == WM_TIMER) {
                std::lock_guard lock(m_Mutex);
                ++m_Count[w];
                m_Wrong |= std::this_thread::get_id() != self || l != 0;
            }
            return static_cast<std::intptr_t>(0);
        };
    }
    int Count(std::uintptr_t id) {
        std::lock_guard lock(m_Mutex);
        return m_Count[id];
    }
    bool Wrong() {
        std::lock_guard lock(m_Mutex);
        return m_Wrong;
    }

  private:
    std::mutex m_Mutex;
    std::map<std::uintptr_t, int> m_Count;
    bool m_Wrong = false;
};

// Serves the queue until `done` holds (or a generous limit passes).
template <typename Done>
bool PumpUntil(Done done) {
    auto deadline = std::chrono::steady_clock::now() + 20s;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        WaitAndPump(100);
    }
    return true;
}

class TimerTest : public ::testing::Test {
  protected:
    test::TempRoot m_Root;
    TimerLog m_Log;
};

TEST_F(TimerTest, PeriodicTimersDeliverWmTimerWithTheirIds) {
    HiddenWindow window("w", m_Log.Handler());
    ASSERT_TRUE(window.SetTimer(7, 10));
    ASSERT_TRUE(window.SetTimer(9, 15));
    EXPECT_TRUE(PumpUntil([&] { return m_Log.Count(7) >= 3 && m_Log.Count(9) >= 2; }));
    EXPECT_EQ(m_Log.Count(8), 0);
    EXPECT_FALSE(m_Log.Wrong());
}

TEST_F(TimerTest, ALateQueueGetsOneWmTimerPerDueTimer) {
    HiddenWindow window("w", m_Log.Handler());
    ASSERT_TRUE(window.SetTimer(1, 10));
    ASSERT_TRUE(window.SetTimer(2, 10));
    std::this_thread::sleep_for(200ms);  // many periods pass unserved
    EXPECT_TRUE(PumpPending());
    EXPECT_EQ(m_Log.Count(1), 1);
    EXPECT_EQ(m_Log.Count(2), 1);
}

TEST_F(TimerTest, KilledTimerStaysQuiet) {
    HiddenWindow window("w", m_Log.Handler());
    ASSERT_TRUE(window.SetTimer(5, 10));
    EXPECT_TRUE(window.KillTimer(5));
    EXPECT_FALSE(window.KillTimer(5));
    EXPECT_FALSE(window.KillTimer(6)) << "never set";
    std::this_thread::sleep_for(100ms);
    EXPECT_FALSE(Readable(QueueFd(), 0));
    EXPECT_TRUE(PumpPending());
    EXPECT_EQ(m_Log.Count(5), 0);
}

TEST_F(TimerTest, HandlerMayKillItsOwnTimer) {
    std::unique_ptr<HiddenWindow> window;
    int count = 0;
    window =
        std::make_unique<HiddenWindow>("w", [&](std::uint32_t m, std::uintptr_t w, std::intptr_t) {
            if (m == WM_TIMER) {
                ++count;
                EXPECT_TRUE(window->KillTimer(w));
            }
            return 0;
        });
    ASSERT_TRUE(window->SetTimer(3, 10));
    EXPECT_TRUE(PumpUntil([&] { return count == 1; }));
    std::this_thread::sleep_for(100ms);
    EXPECT_TRUE(PumpPending());
    EXPECT_EQ(count, 1);
    EXPECT_EQ(MessageQueue::Current()->GetStatus().timers, 0u);
}

TEST_F(TimerTest, SetTimerAgainRestartsItWithTheNewPeriod) {
    HiddenWindow window("w", m_Log.Handler());
    ASSERT_TRUE(window.SetTimer(4, 3600 * 1000));
    ASSERT_TRUE(window.SetTimer(4, 10));
    EXPECT_EQ(MessageQueue::Current()->GetStatus().timers, 1u);
    EXPECT_TRUE(PumpUntil([&] { return m_Log.Count(4) >= 2; }));
}

TEST_F(TimerTest, SameIdOnTwoWindowsAreTwoTimers) {
    TimerLog other;
    HiddenWindow first("first", m_Log.Handler());
    HiddenWindow second("second", other.Handler());
    ASSERT_TRUE(first.SetTimer(1, 10));
    ASSERT_TRUE(second.SetTimer(1, 10));
    EXPECT_TRUE(first.KillTimer(1));
    EXPECT_TRUE(PumpUntil([&] { return other.Count(1) >= 2; }));
    EXPECT_EQ(m_Log.Count(1), 0);
}

TEST_F(TimerTest, OtherThreadsSetAndKillTimersDeliveredOnTheOwnerThread) {
    HiddenWindow window("w", m_Log.Handler());
    WindowRef ref = window.Ref();
    std::thread([&] { EXPECT_TRUE(ref.SetTimer(12, 10)); }).join();
    EXPECT_TRUE(PumpUntil([&] { return m_Log.Count(12) >= 1; }));
    std::thread([&] {
        EXPECT_TRUE(ref.KillTimer(12));
        EXPECT_FALSE(ref.KillTimer(12));
    }).join();
    EXPECT_EQ(MessageQueue::Current()->GetStatus().timers, 0u);
    EXPECT_FALSE(m_Log.Wrong());
}

TEST_F(TimerTest, DueTimerMakesQueueFdReadable) {
    HiddenWindow window("w", m_Log.Handler());
    ASSERT_TRUE(window.SetTimer(1, 10));
    EXPECT_TRUE(Readable(QueueFd(), 20000));
    EXPECT_TRUE(PumpPending());
    EXPECT_EQ(m_Log.Count(1), 1);
}

TEST_F(TimerTest, DestroyedWindowTakesItsTimersAlong) {
    auto window = std::make_unique<HiddenWindow>("w", m_Log.Handler());
    WindowRef ref = window->Ref();
    ASSERT_TRUE(window->SetTimer(1, 10));
    window.reset();
    EXPECT_EQ(MessageQueue::Current()->GetStatus().timers, 0u);
    EXPECT_FALSE(ref.SetTimer(1, 10));
    EXPECT_FALSE(ref.KillTimer(1));
    std::this_thread::sleep_for(50ms);
    EXPECT_TRUE(PumpPending());
    EXPECT_EQ(m_Log.Count(1), 0);
}

}  // namespace
}  // namespace sorvex::window
