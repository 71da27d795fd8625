// Message queues, hidden windows and timers.
//
// Every thread that creates a HiddenWindow gets a message queue (created on first use). A window
// belongs to the thread that created it; its handler runs only on that thread, when the thread
// serves its queue (RunLoop, PumpPending, WaitAndPump, or its own event loop polling QueueFd()).
//
//   Send      from another thread: queued as a sent message; the caller blocks until the owner
//             thread has run the handler, and gets its result. On the owner thread: the handler
//             runs at once. Sent messages are served before posted ones.
//   Post      queued; returns at once.
//   SetTimer  periodic; WM_TIMER (wParam = timer id) is generated through the owner's queue when
//             the timer is due and the queue is served. As on Windows, a due timer produces one
//             WM_TIMER however late the queue is served; the next period starts from then.
//
//   While a thread waits in a Send to another thread, it still handles messages sent to its own
//   windows (not posted ones, not timers), so two threads that send to each other do not
//   deadlock; a handler may therefore run inside a Send of its own thread.
//   WM_QUIT posted to a window ends its owner's loop like PostQuit(wParam); it reaches no handler.
//
// Destroying a window (on its owner thread) kills its timers, drops its posted messages and
// releases every thread waiting in Send to it with the result 0; later Sends and Posts to it
// return 0 / false at once. So a thread blocked in Send never keeps the owner from destroying
// the window, and the owner never waits for that thread. A handler may destroy its own window
// or others, create windows and timers, send to windows of its own thread (the handler runs at
// once, re-entrantly) and serve the queue again (PumpPending in a nested loop).
//
// When the owner thread ends while its windows still exist, they die with it in the same way:
// waiting senders get 0, later Sends and Posts fail, timers stop. The HiddenWindow objects may
// then be destroyed on any thread.
//
// Threads other than the owner must not call members of a HiddenWindow object whose destructor
// may run meanwhile; they use a WindowRef (like a window handle), which stays safe to use after
// the window is gone.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

namespace sorvex::window {

inline constexpr std::uint32_t WM_QUIT = 0x0012;
inline constexpr std::uint32_t WM_TIMER = 0x0113;
inline constexpr std::uint32_t WM_USER = 0x0400;

using MessageHandler = std::function<std::intptr_t(std::uint32_t message, std::uintptr_t wParam,
                                                   std::intptr_t lParam)>;

class WindowRef;

class HiddenWindow {
  public:
    // Creates the window on the calling thread, which becomes its owner. An empty handler
    // answers every message with 0.
    HiddenWindow(std::string title, MessageHandler handler);
    // Runs on the owner thread (or on any thread once the owner thread has ended).
    ~HiddenWindow();
    HiddenWindow(const HiddenWindow&) = delete;
    HiddenWindow& operator=(const HiddenWindow&) = delete;

    std::intptr_t Send(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam);
    bool Post(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam);

    // Any thread. Starts or restarts timer `id` with the period (clamped to 10 ms at least, as
    // on Windows); true on success, false once the window is gone.
    bool SetTimer(std::uintptr_t id, unsigned periodMs);
    // Any thread. True when the timer existed.
    bool KillTimer(std::uintptr_t id);

    const std::string& title() const;
    std::thread::id owner() const;
    // A reference for other threads.
    WindowRef Ref() const;

    struct Impl;

  private:
    std::shared_ptr<Impl> m_Impl;
};

// A reference to a window that any thread may keep and use, also after the window is destroyed
// (then Send returns 0, Post, SetTimer and KillTimer false). Copyable; empty by default.
class WindowRef {
  public:
    WindowRef() = default;

    std::intptr_t Send(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam) const;
    bool Post(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam) const;
    bool SetTimer(std::uintptr_t id, unsigned periodMs) const;
    bool KillTimer(std::uintptr_t id) const;
    // True while the window exists (created and neither destroyed nor dead with its thread).
    bool IsWindow() const;

  private:
    friend class HiddenWindow;
    std::shared_ptr<HiddenWindow::Impl> m_Impl;
};

// The calling thread's queue (created on first use).

// A file descriptor that is readable while the calling thread's queue holds a message or a due
// timer. Stays valid for the thread's lifetime. For integration into other event loops (Qt's
// socket notifier, poll): when readable, call PumpPending().
int QueueFd();

// Handles everything waiting now (sent messages, posted messages, due timers) and returns.
// Messages posted while it runs wait for the next call, so a handler that posts again cannot
// keep it from returning; messages sent meanwhile are handled. False once WM_QUIT has been
// posted to this thread (the quit message is consumed; messages behind it stay queued).
// May be called from inside a handler (a nested loop).
bool PumpPending();

// Waits up to `timeoutMs` (-1: forever) for a message or a due timer, then handles everything
// waiting. False once WM_QUIT was seen.
bool WaitAndPump(int timeoutMs);

// Serves the queue until PostQuit; returns the quit code.
int RunLoop();

// Posts WM_QUIT with the code to the calling thread's queue.
void PostQuit(int code);

}  // namespace sorvex::window
