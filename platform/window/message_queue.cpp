// The per-thread message queue: sent and posted messages, timers, and one descriptor (an epoll
// set of an eventfd and a timerfd) that is readable while something waits.
#include "platform/window/message_queue.h"

#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <exception>
#include <stdexcept>
#include <system_error>

namespace sorvex::window {

namespace {

constexpr unsigned kMinimumPeriodMs = 10;          // USER_TIMER_MINIMUM
constexpr unsigned kMaximumPeriodMs = 0x7FFFFFFF;  // USER_TIMER_MAXIMUM

[[noreturn]] void ThrowErrno(const char* what) {
    throw std::system_error(errno, std::generic_category(), what);
}

// The queue of this thread. The pointer stays readable during thread exit (trivial type); the
// slot's destructor ends the queue when the thread ends.
thread_local MessageQueue* t_Queue = nullptr;
thread_local bool t_Ended = false;

struct QueueSlot {
    std::shared_ptr<MessageQueue> queue;
    ~QueueSlot() {
        t_Ended = true;
        if (queue) {
            queue->Shutdown();
        }
        t_Queue = nullptr;
    }
};
thread_local QueueSlot t_Slot;

}  // namespace

HiddenWindow::Impl::Impl(std::string title, MessageHandler handler,
                         std::shared_ptr<MessageQueue> queue)
    : title(std::move(title)),
      owner(std::this_thread::get_id()),
      queue(std::move(queue)),
      handler(std::move(handler)) {}

MessageQueue::MessageQueue() {
    m_WakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    m_TimerFd = ::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
    m_EpollFd = ::epoll_create1(EPOLL_CLOEXEC);
    if (m_WakeFd < 0 || m_TimerFd < 0 || m_EpollFd < 0) {
        int error = errno;
        for (int fd : {m_WakeFd, m_TimerFd, m_EpollFd}) {
            if (fd >= 0) {
                ::close(fd);
            }
        }
        throw std::system_error(error, std::generic_category(), "message queue: descriptors");
    }
    for (int fd : {m_WakeFd, m_TimerFd}) {
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.fd = fd;
        if (::epoll_ctl(m_EpollFd, EPOLL_CTL_ADD, fd, &ev) != 0) {
            int error = errno;
            ::close(m_WakeFd);
            ::close(m_TimerFd);
            ::close(m_EpollFd);
            throw std::system_error(error, std::generic_category(), "message queue: epoll_ctl");
        }
    }
}

MessageQueue::~MessageQueue() {
    ::close(m_EpollFd);
    ::close(m_TimerFd);
    ::close(m_WakeFd);
}

std::shared_ptr<MessageQueue> MessageQueue::Current() {
    if (t_Queue != nullptr) {
        return t_Queue->shared_from_this();
    }
    if (t_Ended) {
        throw std::logic_error("message queue: the thread is ending, its queue is gone");
    }
    auto queue = std::make_shared<MessageQueue>();
    t_Slot.queue = queue;
    t_Queue = queue.get();
    return queue;
}

MessageQueue* MessageQueue::CurrentIfAny() {
    return t_Queue;
}

void MessageQueue::UpdateWakeLocked() {
    bool want = !m_Sent.empty() || !m_Posted.empty() || m_QuitPending;
    if (want == m_WakeSet) {
        return;
    }
    std::uint64_t value = 1;
    if (want ? ::write(m_WakeFd, &value, sizeof value) != sizeof value
             : ::read(m_WakeFd, &value, sizeof value) != sizeof value) {
        ThrowErrno("message queue: eventfd");
    }
    m_WakeSet = want;
}

void MessageQueue::RearmLocked() {
    std::optional<Clock::time_point> earliest;
    for (const Timer& t : m_Timers) {
        if (!earliest || t.due < *earliest) {
            earliest = t.due;
        }
    }
    if (m_ArmedFor && *m_ArmedFor <= Clock::now()) {
        // It has expired (or is about to): take the expiry so the descriptor stops being
        // readable, and arm again below.
        std::uint64_t expirations = 0;
        if (::read(m_TimerFd, &expirations, sizeof expirations) < 0 && errno != EAGAIN) {
            ThrowErrno("message queue: timerfd read");
        }
        m_ArmedFor.reset();
    }
    if (earliest == m_ArmedFor) {
        return;
    }
    itimerspec due{};
    if (earliest) {
        // steady_clock is CLOCK_MONOTONIC; an instant in the past expires at once. Never 0,
        // which would disarm.
        auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(earliest->time_since_epoch())
                      .count();
        ns = std::max<decltype(ns)>(ns, 1);
        due.it_value.tv_sec = static_cast<time_t>(ns / 1000000000);
        due.it_value.tv_nsec = static_cast<long>(ns % 1000000000);
    }
    if (::timerfd_settime(m_TimerFd, TFD_TIMER_ABSTIME, &due, nullptr) != 0) {
        ThrowErrno("message queue: timerfd_settime");
    }
    m_ArmedFor = earliest;
}

MessageQueue::Status MessageQueue::GetStatus() {
    std::lock_guard lock(m_Mutex);
    return {m_Sent.size(), m_Posted.size(), m_Timers.size(), m_QuitPending};
}

void MessageQueue::Register(HiddenWindow::Impl* window) {
    std::lock_guard lock(m_Mutex);
    m_Windows.push_back(window);
}

void MessageQueue::Complete(SentMessage* sent, std::intptr_t result) {
    // The record lives on the sender's stack: the last touch is under its reply mutex, and the
    // notification is made before that mutex is let go.
    std::lock_guard lock(*sent->replyMutex);
    sent->result = result;
    sent->done = true;
    sent->replyCv->notify_all();
}

std::intptr_t MessageQueue::Dispatch(const WindowPtr& window, std::uint32_t message,
                                     std::uintptr_t wParam, std::intptr_t lParam) {
    if (!window->alive.load(std::memory_order_acquire)) {
        return 0;
    }
    struct Running {
        HiddenWindow::Impl* w;
        explicit Running(HiddenWindow::Impl* w) : w(w) { ++w->dispatching; }
        ~Running() {
            // A handler that destroyed its own window: its function object goes once it returns.
            if (--w->dispatching == 0 && !w->alive.load(std::memory_order_acquire)) {
                w->handler = nullptr;
            }
        }
    } running(window.get());
    if (!window->handler) {
        return 0;
    }
    return window->handler(message, wParam, lParam);
}

void MessageQueue::DispatchSent(SentMessage* sent) {
    std::intptr_t result = 0;
    try {
        result = Dispatch(sent->window, sent->message, sent->wParam, sent->lParam);
    } catch (...) {
        Complete(sent, 0);  // never leave the sender waiting
        throw;
    }
    Complete(sent, result);
}

bool MessageQueue::Pump() {
    const Clock::time_point start = Clock::now();
    std::uint64_t postedLimit;
    {
        std::lock_guard lock(m_Mutex);
        postedLimit = m_NextSeq;
    }
    for (;;) {
        std::unique_lock lock(m_Mutex);
        if (!m_Sent.empty()) {
            SentMessage* sent = m_Sent.front();
            m_Sent.pop_front();
            UpdateWakeLocked();
            lock.unlock();
            DispatchSent(sent);
            continue;
        }
        if (!m_Posted.empty() && m_Posted.front().seq < postedLimit) {
            Posted posted = std::move(m_Posted.front());
            m_Posted.pop_front();
            UpdateWakeLocked();
            lock.unlock();
            if (posted.message == WM_QUIT) {
                m_LastQuitCode = static_cast<int>(posted.wParam);
                return false;
            }
            Dispatch(posted.window, posted.message, posted.wParam, posted.lParam);
            continue;
        }
        if (m_QuitPending) {
            m_QuitPending = false;
            m_LastQuitCode = m_QuitCode;
            UpdateWakeLocked();
            return false;
        }
        // Timers due when this pump began, earliest first; one WM_TIMER each, however late.
        Timer* due = nullptr;
        for (Timer& t : m_Timers) {
            if (t.due <= start && (due == nullptr || t.due < due->due)) {
                due = &t;
            }
        }
        if (due != nullptr) {
            WindowPtr window = due->window->weak_from_this().lock();
            std::uintptr_t id = due->id;
            due->due = Clock::now() + due->period;
            RearmLocked();
            lock.unlock();
            if (window) {
                Dispatch(window, WM_TIMER, id, 0);
            }
            continue;
        }
        RearmLocked();
        return true;
    }
}

bool MessageQueue::WaitAndPump(int timeoutMs) {
    pollfd p{m_EpollFd, POLLIN, 0};
    const auto deadline = timeoutMs < 0 ? Clock::time_point::max()
                                        : Clock::now() + std::chrono::milliseconds(timeoutMs);
    int waitMs = timeoutMs < 0 ? -1 : timeoutMs;
    while (::poll(&p, 1, waitMs) < 0) {
        if (errno != EINTR) {
            ThrowErrno("message queue: poll");
        }
        if (timeoutMs >= 0) {
            auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
            waitMs = static_cast<int>(std::max<long long>(left.count(), 0));
        }
    }
    return Pump();
}

int MessageQueue::RunLoop() {
    while (WaitAndPump(-1)) {
    }
    return m_LastQuitCode;
}

void MessageQueue::PostQuit(int code) {
    std::lock_guard lock(m_Mutex);
    m_QuitPending = true;
    m_QuitCode = code;
    UpdateWakeLocked();
}

std::intptr_t MessageQueue::SendFromOtherThread(const WindowPtr& window, std::uint32_t message,
                                                std::uintptr_t wParam, std::intptr_t lParam) {
    MessageQueue* mine = CurrentIfAny();
    std::mutex localMutex;
    std::condition_variable localCv;
    SentMessage sent{window,
                     message,
                     wParam,
                     lParam,
                     0,
                     false,
                     mine != nullptr ? &mine->m_Mutex : &localMutex,
                     mine != nullptr ? &mine->m_SendCv : &localCv};
    {
        std::lock_guard lock(m_Mutex);
        if (m_Dead || !window->alive.load(std::memory_order_relaxed)) {
            return 0;
        }
        m_Sent.push_back(&sent);
        UpdateWakeLocked();
    }
    // The owner may itself wait in a Send; it serves us from there.
    m_SendCv.notify_all();

    std::exception_ptr failure;
    std::unique_lock lock(*sent.replyMutex);
    while (!sent.done) {
        if (mine != nullptr && !mine->m_Sent.empty()) {
            // Messages sent to this thread while it waits (lock is mine->m_Mutex).
            SentMessage* incoming = mine->m_Sent.front();
            mine->m_Sent.pop_front();
            mine->UpdateWakeLocked();
            lock.unlock();
            try {
                mine->DispatchSent(incoming);
            } catch (...) {
                // Our record is still queued at the target: keep waiting, then report.
                if (!failure) {
                    failure = std::current_exception();
                }
            }
            lock.lock();
            continue;
        }
        sent.replyCv->wait(lock);
    }
    lock.unlock();
    if (failure) {
        std::rethrow_exception(failure);
    }
    return sent.result;
}

bool MessageQueue::Post(const WindowPtr& window, std::uint32_t message, std::uintptr_t wParam,
                        std::intptr_t lParam) {
    std::lock_guard lock(m_Mutex);
    if (m_Dead || !window->alive.load(std::memory_order_relaxed)) {
        return false;
    }
    m_Posted.push_back({window, message, wParam, lParam, m_NextSeq++});
    UpdateWakeLocked();
    return true;
}

bool MessageQueue::SetTimer(HiddenWindow::Impl* window, std::uintptr_t id, unsigned periodMs) {
    auto period =
        std::chrono::milliseconds(std::clamp(periodMs, kMinimumPeriodMs, kMaximumPeriodMs));
    std::lock_guard lock(m_Mutex);
    if (m_Dead || !window->alive.load(std::memory_order_relaxed)) {
        return false;
    }
    auto due = Clock::now() + period;
    auto it = std::find_if(m_Timers.begin(), m_Timers.end(),
                           [&](const Timer& t) { return t.window == window && t.id == id; });
    if (it != m_Timers.end()) {
        it->period = period;
        it->due = due;
    } else {
        m_Timers.push_back({window, id, period, due});
    }
    RearmLocked();
    return true;
}

bool MessageQueue::KillTimer(HiddenWindow::Impl* window, std::uintptr_t id) {
    std::lock_guard lock(m_Mutex);
    auto it = std::find_if(m_Timers.begin(), m_Timers.end(),
                           [&](const Timer& t) { return t.window == window && t.id == id; });
    if (it == m_Timers.end()) {
        return false;
    }
    m_Timers.erase(it);
    RearmLocked();
    return true;
}

void MessageQueue::Destroy(HiddenWindow::Impl* window) {
    std::vector<SentMessage*> released;
    std::deque<Posted> dropped;  // destroyed after the lock is let go
    {
        std::lock_guard lock(m_Mutex);
        if (!window->alive.load(std::memory_order_relaxed)) {
            return;
        }
        window->alive.store(false, std::memory_order_release);
        std::deque<SentMessage*> keepSent;
        for (SentMessage* sent : m_Sent) {
            if (sent->window.get() == window) {
                released.push_back(sent);
            } else {
                keepSent.push_back(sent);
            }
        }
        m_Sent.swap(keepSent);
        std::deque<Posted> keepPosted;
        for (Posted& posted : m_Posted) {
            (posted.window.get() == window ? dropped : keepPosted).push_back(std::move(posted));
        }
        m_Posted.swap(keepPosted);
        std::erase_if(m_Timers, [&](const Timer& t) { return t.window == window; });
        std::erase(m_Windows, window);
        UpdateWakeLocked();
        RearmLocked();
    }
    for (SentMessage* sent : released) {
        Complete(sent, 0);
    }
}

void MessageQueue::Shutdown() {
    std::deque<SentMessage*> released;
    std::deque<Posted> dropped;
    std::vector<WindowPtr> windows;
    {
        std::lock_guard lock(m_Mutex);
        m_Dead = true;
        for (HiddenWindow::Impl* window : m_Windows) {
            window->alive.store(false, std::memory_order_release);
            if (WindowPtr w = window->weak_from_this().lock()) {
                windows.push_back(std::move(w));
            }
        }
        m_Windows.clear();
        released.swap(m_Sent);
        dropped.swap(m_Posted);
        m_Timers.clear();
        m_QuitPending = false;
        UpdateWakeLocked();
        RearmLocked();
    }
    for (SentMessage* sent : released) {
        Complete(sent, 0);
    }
    // The handlers' function objects go on the thread they belong to.
    for (const WindowPtr& w : windows) {
        w->handler = nullptr;
    }
}

}  // namespace sorvex::window
