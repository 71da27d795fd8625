#include <gtest/gtest.h>
#include <poll.h>

#include <array>
#include <atomic>
#include <future>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/sync/sync.h"
#include "platform/sync/thread_probe_test_util.h"
#include "platform/window/message_queue.h"
#include "platform/window/window.h"
#include "tests/support/temp_root.h"

namespace sorvex::window {
namespace {

using namespace std::chrono_literals;

constexpr std::uint32_t kPing = WM_USER + 1;
constexpr std::uint32_t kOther = WM_USER + 2;

bool Readable(int fd, int timeoutMs = 0) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, timeoutMs) == 1 && (p.revents & POLLIN) != 0;
}

// Waits (on the calling thread, which owns the queue) until `count` sent messages are queued.
bool WaitForSenders(std::size_t count) {
    auto deadline = std::chrono::steady_clock::now() + 20s;
    while (MessageQueue::Current()->GetStatus().sent < count) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

// The messages a window received, in order, as text ("1025:3" = message 1025, wParam 3).
class Log {
  public:
    void Add(std::string entry) {
        std::lock_guard lock(m_Mutex);
        m_Entries.push_back(std::move(entry));
    }
    std::vector<std::string> Entries() {
        std::lock_guard lock(m_Mutex);
        return m_Entries;
    }

  private:
    std::mutex m_Mutex;
    std::vector<std::string> m_Entries;
};

std::string Entry(std::uint32_t message, std::uintptr_t wParam) {
    return std::to_string(message) + ":" + std::to_string(wParam);
}

class WindowTest : public ::testing::Test {
  protected:
    test::TempRoot m_Root;
};

TEST_F(WindowTest, SendOnTheOwnerThreadRunsAtOncePostWaitsForThePump) {
    Log log;
    HiddenWindow window("w", [&](std::uint32_t m, std::uintptr_t w, std::intptr_t l) {
        log.Add(Entry(m, w));
        return static_cast<std::intptr_t>(w) + l;
    });
    EXPECT_EQ(window.title(), "w");
    EXPECT_EQ(window.owner(), std::this_thread::get_id());
    EXPECT_EQ(window.Send(kPing, 40, 2), 42);
    EXPECT_EQ(log.Entries().size(), 1u);
    EXPECT_TRUE(window.Post(kPing, 1, 0));
    EXPECT_EQ(log.Entries().size(), 1u);
    EXPECT_TRUE(PumpPending());
    EXPECT_EQ(log.Entries(), (std::vector<std::string>{Entry(kPing, 40), Entry(kPing, 1)}));
}

TEST_F(WindowTest, EmptyHandlerAnswersZero) {
    HiddenWindow window("empty", nullptr);
    EXPECT_EQ(window.Send(kPing, 1, 2), 0);
    EXPECT_TRUE(window.Post(kPing, 1, 2));
    EXPECT_TRUE(PumpPending());
}

TEST_F(WindowTest, RoundTripsFromManyThreadsRunOnTheOwnerThread) {
    constexpr int kThreads = 4;
    constexpr int kSends = 300;
    std::atomic<int> handled{0};
    std::atomic<bool> wrongThread{false};
    std::promise<WindowRef> ready;
    std::thread owner([&] {
        const auto self = std::this_thread::get_id();
        HiddenWindow window("owner", [&](std::uint32_t, std::uintptr_t w, std::intptr_t l) {
            if (std::this_thread::get_id() != self) {
                wrongThread = true;
            }
            ++handled;
            return static_cast<std::intptr_t>(w * 2) + l;
        });
        ready.set_value(window.Ref());
        EXPECT_EQ(RunLoop(), 5);
    });
    WindowRef ref = ready.get_future().get();
    std::vector<std::thread> senders;
    std::atomic<int> wrongResults{0};
    for (int t = 0; t < kThreads; ++t) {
        senders.emplace_back([&, t] {
            for (int i = 0; i < kSends; ++i) {
                if (ref.Send(kPing, static_cast<std::uintptr_t>(i), t) != i * 2 + t) {
                    ++wrongResults;
                }
            }
        });
    }
    for (auto& s : senders) {
        s.join();
    }
    EXPECT_TRUE(ref.Post(WM_QUIT, 5, 0));
    owner.join();
    EXPECT_EQ(wrongResults.load(), 0);
    EXPECT_EQ(handled.load(), kThreads * kSends);
    EXPECT_FALSE(wrongThread.load());
}

TEST_F(WindowTest, HandlerRunsOnTheOwnerThreadWhenSentFromElsewhere) {
    auto self = std::this_thread::get_id();
    HiddenWindow window("w", [&](std::uint32_t, std::uintptr_t, std::intptr_t) {
        return static_cast<std::intptr_t>(std::this_thread::get_id() == self ? 1 : 2);
    });
    std::intptr_t result = -1;
    std::thread sender([&, ref = window.Ref()] { result = ref.Send(kPing, 0, 0); });
    ASSERT_TRUE(WaitForSenders(1));
    EXPECT_TRUE(PumpPending());
    sender.join();
    EXPECT_EQ(result, 1);
}

TEST_F(WindowTest, SentMessagesAreServedBeforePostedOnes) {
    Log log;
    HiddenWindow window("w", [&](std::uint32_t m, std::uintptr_t w, std::intptr_t) {
        log.Add(Entry(m, w));
        return static_cast<std::intptr_t>(w);
    });
    ASSERT_TRUE(window.Post(kPing, 1, 0));
    ASSERT_TRUE(window.Post(kPing, 2, 0));
    std::intptr_t result = 0;
    std::thread sender([&, ref = window.Ref()] { result = ref.Send(kOther, 9, 0); });
    ASSERT_TRUE(WaitForSenders(1));
    ASSERT_TRUE(window.Post(kPing, 3, 0));
    EXPECT_TRUE(PumpPending());
    sender.join();
    EXPECT_EQ(result, 9);
    EXPECT_EQ(log.Entries(), (std::vector<std::string>{Entry(kOther, 9), Entry(kPing, 1),
                                                       Entry(kPing, 2), Entry(kPing, 3)}));
}

TEST_F(WindowTest, DestroyingAWindowReleasesEveryBlockedSenderWithZero) {
    std::atomic<int> handled{0};
    auto window =
        std::make_unique<HiddenWindow>("w", [&](std::uint32_t, std::uintptr_t, std::intptr_t) {
            ++handled;
            return 1;
        });
    WindowRef ref = window->Ref();
    std::array<std::intptr_t, 3> results{-1, -1, -1};
    std::vector<std::thread> senders;
    for (std::size_t i = 0; i < results.size(); ++i) {
        senders.emplace_back([&, i] { results[i] = ref.Send(kPing, i, 0); });
    }
    ASSERT_TRUE(WaitForSenders(results.size()));
    ASSERT_TRUE(window->Post(kPing, 0, 0));
    window.reset();  // never pumped: the destroyer does not wait for the senders
    for (auto& s : senders) {
        s.join();
    }
    EXPECT_EQ(results, (std::array<std::intptr_t, 3>{0, 0, 0}));
    EXPECT_FALSE(ref.IsWindow());
    EXPECT_EQ(ref.Send(kPing, 0, 0), 0);
    std::thread([&] { EXPECT_EQ(ref.Send(kPing, 0, 0), 0); }).join();
    EXPECT_FALSE(ref.Post(kPing, 0, 0));
    EXPECT_FALSE(ref.SetTimer(1, 10));
    EXPECT_TRUE(PumpPending());
    EXPECT_EQ(handled.load(), 0) << "messages of a destroyed window are dropped";
    EXPECT_FALSE(Readable(QueueFd()));
}

TEST_F(WindowTest, HandlerDestroyingItsOwnWindowStillAnswersItsSender) {
    auto token = std::make_shared<int>(0);
    std::weak_ptr<int> captured = token;
    std::unique_ptr<HiddenWindow> window;
    window = std::make_unique<HiddenWindow>(
        "w", [&, token](std::uint32_t, std::uintptr_t w, std::intptr_t) -> std::intptr_t {
            if (w == 1) {
                window.reset();
                return 11;
            }
            return 22;
        });
    token.reset();
    WindowRef ref = window->Ref();
    std::intptr_t first = -1, second = -1;
    std::thread a([&] { first = ref.Send(kPing, 1, 0); });
    ASSERT_TRUE(WaitForSenders(1));
    std::thread b([&] { second = ref.Send(kPing, 2, 0); });
    ASSERT_TRUE(WaitForSenders(2));
    EXPECT_TRUE(PumpPending());
    a.join();
    b.join();
    EXPECT_EQ(first, 11);
    EXPECT_EQ(second, 0) << "queued behind the destruction";
    EXPECT_TRUE(captured.expired()) << "the handler's captures go when it has returned";
}

TEST_F(WindowTest, HandlerMayDestroyAnotherWindowAndCreateWindowsAndTimers) {
    Log log;
    auto second = std::make_unique<HiddenWindow>(
        "second", [&](std::uint32_t m, std::uintptr_t w, std::intptr_t) {
            log.Add("second " + Entry(m, w));
            return 0;
        });
    std::unique_ptr<HiddenWindow> third;
    HiddenWindow first("first", [&](std::uint32_t m, std::uintptr_t w, std::intptr_t) {
        log.Add("first " + Entry(m, w));
        second.reset();
        third = std::make_unique<HiddenWindow>(
            "third", [&](std::uint32_t m3, std::uintptr_t w3, std::intptr_t) {
                log.Add("third " + Entry(m3, w3));
                if (m3 == WM_TIMER) {
                    third->KillTimer(w3);
                }
                return 0;
            });
        third->Post(kOther, 3, 0);
        third->SetTimer(77, 10);
        return 0;
    });
    ASSERT_TRUE(first.Post(kPing, 1, 0));
    ASSERT_TRUE(second->Post(kPing, 2, 0));
    EXPECT_TRUE(PumpPending());
    auto deadline = std::chrono::steady_clock::now() + 20s;
    while (log.Entries().size() < 3 && std::chrono::steady_clock::now() < deadline) {
        WaitAndPump(100);
    }
    EXPECT_EQ(log.Entries(),
              (std::vector<std::string>{"first " + Entry(kPing, 1), "third " + Entry(kOther, 3),
                                        "third " + Entry(WM_TIMER, 77)}));
}

TEST_F(WindowTest, SendToAWindowOfTheSameThreadFromAHandlerRunsReentrantly) {
    Log log;
    HiddenWindow other("other", [&](std::uint32_t m, std::uintptr_t w, std::intptr_t) {
        log.Add("other " + Entry(m, w));
        return 5;
    });
    std::unique_ptr<HiddenWindow> self;
    self = std::make_unique<HiddenWindow>(
        "self", [&](std::uint32_t m, std::uintptr_t w, std::intptr_t) -> std::intptr_t {
            log.Add("self " + Entry(m, w));
            if (w == 1) {
                std::intptr_t nested = self->Send(kPing, 2, 0) + other.Send(kOther, 3, 0);
                log.Add("self end");
                return nested;
            }
            return 10;
        });
    std::intptr_t result = 0;
    std::thread sender([&, ref = self->Ref()] { result = ref.Send(kPing, 1, 0); });
    ASSERT_TRUE(WaitForSenders(1));
    EXPECT_TRUE(PumpPending());
    sender.join();
    EXPECT_EQ(result, 15);
    EXPECT_EQ(log.Entries(),
              (std::vector<std::string>{"self " + Entry(kPing, 1), "self " + Entry(kPing, 2),
                                        "other " + Entry(kOther, 3), "self end"}));
}

TEST_F(WindowTest, HandlerMayServeTheQueueInANestedLoop) {
    Log log;
    HiddenWindow window("w", [&](std::uint32_t m, std::uintptr_t w, std::intptr_t) {
        log.Add(Entry(m, w));
        if (w == 1) {
            EXPECT_TRUE(PumpPending());  // a modal wait serving the queue
            log.Add("end 1");
        }
        return 0;
    });
    for (std::uintptr_t i = 1; i <= 3; ++i) {
        ASSERT_TRUE(window.Post(kPing, i, 0));
    }
    EXPECT_TRUE(PumpPending());
    EXPECT_EQ(log.Entries(), (std::vector<std::string>{Entry(kPing, 1), Entry(kPing, 2),
                                                       Entry(kPing, 3), "end 1"}));
    EXPECT_EQ(MessageQueue::Current()->GetStatus().posted, 0u);
}

TEST_F(WindowTest, MessagesPostedDuringAPumpWaitForTheNextOne) {
    int count = 0;
    std::unique_ptr<HiddenWindow> window;
    window = std::make_unique<HiddenWindow>("w", [&](std::uint32_t, std::uintptr_t, std::intptr_t) {
        ++count;
        window->Post(kPing, 0, 0);
        return 0;
    });
    ASSERT_TRUE(window->Post(kPing, 0, 0));
    EXPECT_TRUE(PumpPending());
    EXPECT_EQ(count, 1);
    EXPECT_TRUE(Readable(QueueFd()));
    EXPECT_TRUE(PumpPending());
    EXPECT_EQ(count, 2);
}

TEST_F(WindowTest, QuitEndsTheLoopAndLeavesLaterMessagesQueued) {
    Log log;
    HiddenWindow window("w", [&](std::uint32_t m, std::uintptr_t w, std::intptr_t) {
        log.Add(Entry(m, w));
        return 0;
    });
    window.Post(kPing, 1, 0);
    PostQuit(3);
    EXPECT_FALSE(PumpPending());
    EXPECT_EQ(log.Entries().size(), 1u);
    EXPECT_TRUE(PumpPending()) << "the quit message was consumed";

    window.Post(kPing, 2, 0);
    window.Post(WM_QUIT, 4, 0);
    window.Post(kPing, 3, 0);
    EXPECT_EQ(RunLoop(), 4);
    EXPECT_EQ(log.Entries(), (std::vector<std::string>{Entry(kPing, 1), Entry(kPing, 2)}));
    EXPECT_TRUE(Readable(QueueFd())) << "the message behind WM_QUIT stays queued";
    PostQuit(6);
    EXPECT_EQ(RunLoop(), 6);
    EXPECT_EQ(log.Entries().back(), Entry(kPing, 3));
}

TEST_F(WindowTest, QueueFdIsReadableExactlyWhileMessagesWait) {
    HiddenWindow window("w", [](std::uint32_t, std::uintptr_t w, std::intptr_t) {
        return static_cast<std::intptr_t>(w);
    });
    int fd = QueueFd();
    EXPECT_EQ(fd, QueueFd());
    EXPECT_FALSE(Readable(fd));
    EXPECT_TRUE(WaitAndPump(10)) << "a time-out with nothing to do is not a quit";
    window.Post(kPing, 0, 0);
    EXPECT_TRUE(Readable(fd));
    EXPECT_TRUE(PumpPending());
    EXPECT_FALSE(Readable(fd));
    std::intptr_t result = 0;
    std::thread sender([&, ref = window.Ref()] { result = ref.Send(kPing, 8, 0); });
    EXPECT_TRUE(Readable(fd, 20000));
    EXPECT_TRUE(PumpPending());
    sender.join();
    EXPECT_EQ(result, 8);
    EXPECT_FALSE(Readable(fd));
}

TEST_F(WindowTest, AnOwnPollLoopServesTheQueueThroughQueueFd) {
    std::promise<WindowRef> ready;
    sync::Event stop(sync::ResetMode::Manual, false);
    int handled = 0;  // owner thread only
    std::thread owner([&] {
        HiddenWindow window("w", [&](std::uint32_t, std::uintptr_t w, std::intptr_t) {
            ++handled;
            return static_cast<std::intptr_t>(w + 1);
        });
        ready.set_value(window.Ref());
        std::array<pollfd, 2> fds{pollfd{QueueFd(), POLLIN, 0}, pollfd{stop.fd(), POLLIN, 0}};
        while (!stop.IsSet()) {
            ASSERT_GE(::poll(fds.data(), fds.size(), -1), 0);
            if (fds[0].revents & POLLIN) {
                PumpPending();
            }
        }
        EXPECT_EQ(handled, 50);
    });
    WindowRef ref = ready.get_future().get();
    for (int i = 0; i < 50; ++i) {
        ASSERT_EQ(ref.Send(kPing, static_cast<std::uintptr_t>(i), 0), i + 1);
    }
    stop.Set();
    owner.join();
}

TEST_F(WindowTest, OwnerThreadEndingReleasesSendersAndKillsItsWindows) {
    std::unique_ptr<HiddenWindow> window;
    std::promise<WindowRef> ready;
    std::intptr_t result = -1;
    std::thread sender;
    std::thread owner([&] {
        window = std::make_unique<HiddenWindow>(
            "w", [](std::uint32_t, std::uintptr_t, std::intptr_t) { return 1; });
        window->SetTimer(1, 10);
        WindowRef ref = window->Ref();
        sender = std::thread([&, ref] { result = ref.Send(kPing, 0, 0); });
        ready.set_value(ref);
        ASSERT_TRUE(WaitForSenders(1));
        // Ends without destroying the window.
    });
    owner.join();
    WindowRef ref = ready.get_future().get();
    sender.join();
    EXPECT_EQ(result, 0);
    EXPECT_FALSE(ref.IsWindow());
    EXPECT_EQ(ref.Send(kPing, 0, 0), 0);
    EXPECT_FALSE(ref.Post(kPing, 0, 0));
    EXPECT_FALSE(window->SetTimer(2, 10));
    window.reset();  // allowed on any thread once the owner has ended
}

TEST_F(WindowTest, ThreadsSendingToEachOtherDoNotDeadlock) {
    // A sends to C; C's handler sends back to A while A still waits in its Send.
    std::intptr_t result = 0;
    std::thread a([&] {
        HiddenWindow window("a", [](std::uint32_t, std::uintptr_t w, std::intptr_t) {
            return static_cast<std::intptr_t>(w * 10);
        });
        WindowRef aRef = window.Ref();
        std::promise<WindowRef> cReady;
        std::thread c([&] {
            HiddenWindow forwarder("c", [&](std::uint32_t, std::uintptr_t w, std::intptr_t) {
                return aRef.Send(kPing, w, 0) + 1;
            });
            cReady.set_value(forwarder.Ref());
            EXPECT_EQ(RunLoop(), 0);
        });
        WindowRef cRef = cReady.get_future().get();
        result = cRef.Send(kPing, 4, 0);
        cRef.Post(WM_QUIT, 0, 0);
        c.join();
    });
    a.join();
    EXPECT_EQ(result, 41);
}

TEST_F(WindowTest, HandlerExceptionReleasesTheSenderAndReachesThePump) {
    HiddenWindow window("w", [](std::uint32_t, std::uintptr_t, std::intptr_t) -> std::intptr_t {
        throw std::runtime_error("handler failed");
    });
    std::intptr_t result = -1;
    std::thread sender([&, ref = window.Ref()] { result = ref.Send(kPing, 0, 0); });
    ASSERT_TRUE(WaitForSenders(1));
    EXPECT_THROW(PumpPending(), std::runtime_error);
    sender.join();
    EXPECT_EQ(result, 0);
    EXPECT_TRUE(PumpPending());
}

// A thread serving its queue with nothing to do must sleep in the kernel, not poll.
TEST_F(WindowTest, IdleLoopDoesNotWakeUp) {
    std::promise<std::pair<WindowRef, pid_t>> ready;
    std::thread owner([&] {
        HiddenWindow window("w", nullptr);
        window.SetTimer(1, 3600 * 1000);  // a far timer must not make it poll either
        ready.set_value({window.Ref(), test::CurrentTid()});
        EXPECT_EQ(RunLoop(), 0);
    });
    auto [ref, tid] = ready.get_future().get();
    ASSERT_TRUE(test::WaitUntilSleeping(tid, 10s));
    long wakeUps = test::WakeUpsWhileIdle(tid, 300ms);
    ref.Post(WM_QUIT, 0, 0);
    owner.join();
    EXPECT_LE(wakeUps, 1);
}

}  // namespace
}  // namespace sorvex::window
