// Internal to platform/window, not part of the API: the per-thread message queue behind
// HiddenWindow and the window record that WindowRef points to.
//
// Threads: a queue belongs to the thread that created it (its owner). The owner pumps it
// (Pump, WaitAndPump, RunLoop), dispatches handlers and ends it (Shutdown, at thread exit).
// Any thread may queue sent and posted messages and set or kill timers. One mutex per queue
// guards everything queued; no handler runs and no other queue's mutex is taken while it is held.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/window/window.h"

namespace sorvex::window {

class MessageQueue;

struct HiddenWindow::Impl : std::enable_shared_from_this<HiddenWindow::Impl> {
    Impl(std::string title, MessageHandler handler, std::shared_ptr<MessageQueue> queue);

    const std::string title;
    const std::thread::id owner;
    const std::shared_ptr<MessageQueue> queue;
    MessageHandler handler;         // called and dropped on the owner thread only
    std::atomic<bool> alive{true};  // cleared once, under the queue's mutex
    int dispatching = 0;            // owner thread only: handler calls running now
};

class MessageQueue : public std::enable_shared_from_this<MessageQueue> {
  public:
    using Clock = std::chrono::steady_clock;
    using WindowPtr = std::shared_ptr<HiddenWindow::Impl>;

    // What waits now; for tests.
    struct Status {
        std::size_t sent = 0;
        std::size_t posted = 0;
        std::size_t timers = 0;
        bool quit = false;
    };

    // Throws std::system_error when the descriptors cannot be made.
    MessageQueue();
    ~MessageQueue();
    MessageQueue(const MessageQueue&) = delete;
    MessageQueue& operator=(const MessageQueue&) = delete;

    // The calling thread's queue, created on first use. Throws std::logic_error while the
    // thread is ending (its queue is gone then).
    static std::shared_ptr<MessageQueue> Current();
    // The calling thread's queue when it has one; never creates.
    static MessageQueue* CurrentIfAny();

    // Owner thread.
    int fd() const { return m_EpollFd; }
    bool Pump();
    bool WaitAndPump(int timeoutMs);
    int RunLoop();
    void PostQuit(int code);
    // Runs the handler of `window` at once (0 when the window is gone).
    std::intptr_t Dispatch(const WindowPtr& window, std::uint32_t message, std::uintptr_t wParam,
                           std::intptr_t lParam);
    // Thread exit: every window dies, waiting senders get 0.
    void Shutdown();

    // Any thread.
    Status GetStatus();
    void Register(HiddenWindow::Impl* window);
    // Marks the window dead, drops its posted messages and timers and releases its senders with
    // 0. Never waits for another thread.
    void Destroy(HiddenWindow::Impl* window);
    // From a thread other than the owner: blocks until the owner has run the handler (or the
    // window died), serving messages sent to the calling thread's own queue meanwhile.
    std::intptr_t SendFromOtherThread(const WindowPtr& window, std::uint32_t message,
                                      std::uintptr_t wParam, std::intptr_t lParam);
    bool Post(const WindowPtr& window, std::uint32_t message, std::uintptr_t wParam,
              std::intptr_t lParam);
    bool SetTimer(HiddenWindow::Impl* window, std::uintptr_t id, unsigned periodMs);
    bool KillTimer(HiddenWindow::Impl* window, std::uintptr_t id);

  private:
    // A message sent from another thread; lives on the sender's stack until `done`.
    struct SentMessage {
        WindowPtr window;
        std::uint32_t message;
        std::uintptr_t wParam;
        std::intptr_t lParam;
        std::intptr_t result = 0;
        bool done = false;  // guarded by *replyMutex
        std::mutex* replyMutex;
        std::condition_variable* replyCv;
    };
    struct Posted {
        WindowPtr window;
        std::uint32_t message;
        std::uintptr_t wParam;
        std::intptr_t lParam;
        std::uint64_t seq;
    };
    struct Timer {
        HiddenWindow::Impl* window;  // valid while listed: a dying window removes its timers
        std::uintptr_t id;
        Clock::duration period;
        Clock::time_point due;
    };

    static void Complete(SentMessage* sent, std::intptr_t result);
    void DispatchSent(SentMessage* sent);
    // With m_Mutex held: make the eventfd readable exactly while messages or a quit wait, and
    // arm the timerfd for the earliest timer.
    void UpdateWakeLocked();
    void RearmLocked();

    std::mutex m_Mutex;
    std::condition_variable m_SendCv;  // the owner, waiting in an outgoing Send, is woken here
    std::deque<SentMessage*> m_Sent;
    std::deque<Posted> m_Posted;
    std::uint64_t m_NextSeq = 0;
    std::vector<Timer> m_Timers;
    std::vector<HiddenWindow::Impl*> m_Windows;
    bool m_QuitPending = false;
    int m_QuitCode = 0;
    bool m_Dead = false;
    bool m_WakeSet = false;
    std::optional<Clock::time_point> m_ArmedFor;

    int m_LastQuitCode = 0;  // owner thread only

    int m_WakeFd = -1;
    int m_TimerFd = -1;
    int m_EpollFd = -1;
};

}  // namespace sorvex::window
