// Events: the signalled state lives under a std::mutex (that is what orders a Set before the
// wait that sees it, also for ThreadSanitizer); a condition variable wakes Wait, and an eventfd
// that is readable exactly while the event is set wakes poll() callers and WaitAny.
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <stdexcept>
#include <system_error>
#include <vector>

#include "platform/sync/sync.h"

namespace sorvex::sync {

namespace {

using Clock = std::chrono::steady_clock;

[[noreturn]] void ThrowErrno(const char* what) {
    throw std::system_error(errno, std::generic_category(), what);
}

// Milliseconds left until `deadline`, rounded up so that a wait never ends early.
int MillisecondsLeft(Clock::time_point deadline) {
    auto left = deadline - Clock::now();
    if (left <= Clock::duration::zero()) {
        return 0;
    }
    auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return ms > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(ms);
}

}  // namespace

struct Event::State {
    std::mutex mutex;
    std::condition_variable changed;
    bool signalled = false;  // guarded by mutex; the eventfd counter is 1 exactly while true
    int fd = -1;

    // Both with `mutex` held.
    void Raise() {
        if (!signalled) {
            signalled = true;
            const std::uint64_t one = 1;
            if (::write(fd, &one, sizeof one) != sizeof one) {
                ThrowErrno("event: eventfd write");
            }
        }
    }
    void Lower() {
        if (signalled) {
            signalled = false;
            std::uint64_t value = 0;
            if (::read(fd, &value, sizeof value) != sizeof value) {
                ThrowErrno("event: eventfd read");
            }
        }
    }
};

Event::Event(ResetMode mode, bool initiallySet) : m_State(std::make_unique<State>()), m_Mode(mode) {
    m_State->fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m_State->fd < 0) {
        ThrowErrno("event: eventfd");
    }
    if (initiallySet) {
        m_State->Raise();
    }
}

Event::~Event() {
    ::close(m_State->fd);
}

void Event::Set() {
    std::lock_guard lock(m_State->mutex);
    m_State->Raise();
    // Notified with the lock held: a waiter may destroy the event as soon as it has seen it set.
    if (m_Mode == ResetMode::Manual) {
        m_State->changed.notify_all();
    } else {
        m_State->changed.notify_one();
    }
}

void Event::Reset() {
    std::lock_guard lock(m_State->mutex);
    m_State->Lower();
}

bool Event::Wait(int timeoutMs) {
    std::unique_lock lock(m_State->mutex);
    auto isSet = [this] { return m_State->signalled; };
    if (timeoutMs < 0) {
        m_State->changed.wait(lock, isSet);
    } else if (!m_State->changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), isSet)) {
        return false;
    }
    if (m_Mode == ResetMode::Auto) {
        m_State->Lower();
    }
    return true;
}

bool Event::IsSet() const {
    std::lock_guard lock(m_State->mutex);
    return m_State->signalled;
}

int Event::fd() const {
    return m_State->fd;
}

int WaitAny(std::span<Event* const> events, int timeoutMs) {
    if (events.empty()) {
        throw std::invalid_argument("WaitAny: no events given");
    }
    std::vector<pollfd> fds;
    fds.reserve(events.size());
    for (Event* event : events) {
        if (event == nullptr) {
            throw std::invalid_argument("WaitAny: null event in the list");
        }
        fds.push_back({event->m_State->fd, POLLIN, 0});
    }
    const auto deadline = timeoutMs < 0 ? Clock::time_point::max()
                                        : Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        // The decision is made under each event's lock, so a Set seen here happens-before the
        // return. poll only tells when to look again.
        for (std::size_t i = 0; i < events.size(); ++i) {
            Event::State& state = *events[i]->m_State;
            std::lock_guard lock(state.mutex);
            if (state.signalled) {
                if (events[i]->m_Mode == ResetMode::Auto) {
                    state.Lower();
                }
                return static_cast<int>(i);
            }
        }
        int waitMs = timeoutMs < 0 ? -1 : MillisecondsLeft(deadline);
        if (waitMs == 0) {
            return -1;
        }
        // An event set after the look above has a readable fd, so this returns at once; an
        // auto-reset event taken by another waiter first has been drained again, so this
        // sleeps on.
        if (::poll(fds.data(), fds.size(), waitMs) < 0 && errno != EINTR) {
            ThrowErrno("WaitAny: poll");
        }
    }
}

}  // namespace sorvex::sync
