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
// Destroying a window (on its owner thread) kills its timers, drops its posted messages and
// releases every thread waiting in Send to it with the result 0; later Sends and Posts to it
// return 0 / false at once. So a thread blocked in Send never keeps the owner from destroying
// the window, and the owner never waits for that thread.
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

using MessageHandler =
    std::function<std::intptr_t(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam)>;

class HiddenWindow {
public:
    // Creates the window on the calling thread, which becomes its owner.
    HiddenWindow(std::string title, MessageHandler handler);
    // Must run on the owner thread.
    ~HiddenWindow();
    HiddenWindow(const HiddenWindow&) = delete;
    HiddenWindow& operator=(const HiddenWindow&) = delete;

    std::intptr_t Send(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam);
    bool Post(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam);

    // Any thread. Starts or restarts timer `id`; true on success.
    bool SetTimer(std::uintptr_t id, unsigned periodMs);
    // Any thread. True when the timer existed.
    bool KillTimer(std::uintptr_t id);

    const std::string& title() const;
    std::thread::id owner() const;

    struct Impl;

private:
    std::shared_ptr<Impl> m_Impl;
};

// The calling thread's queue (created on first use).

// A file descriptor that is readable while the calling thread's queue holds a message or a due
// timer. Stays valid for the thread's lifetime. For integration into other event loops (Qt's
// socket notifier, poll): when readable, call PumpPending().
int QueueFd();

// Handles everything waiting now (sent messages, posted messages, due timers) and returns.
// False once WM_QUIT has been posted to this thread (the quit message is consumed).
bool PumpPending();

// Waits up to `timeoutMs` (-1: forever) for a message or a due timer, then handles everything
// waiting. False once WM_QUIT was seen.
bool WaitAndPump(int timeoutMs);

// Serves the queue until PostQuit; returns the quit code.
int RunLoop();

// Posts WM_QUIT with the code to the calling thread's queue.
void PostQuit(int code);

}  // namespace sorvex::window
