// Serving the calling thread's events: the thread's message queue (platform/window) carries the
// service objects' hops to this thread; handling a hop runs the control object's callbacks.
#include <chrono>
#include <functional>

#include "platform/opos/thread_state.h"
#include "platform/window/window.h"
#include "sorvex/opos.h"

namespace sorvex::opos {

namespace {

void Serve(int timeoutMs) {
    {
        opos_impl::EntryScope entry;  // releases what handlers closed, once they all returned
        if (timeoutMs == 0) {
            window::PumpPending();
        } else {
            window::WaitAndPump(timeoutMs < 0 ? -1 : timeoutMs);
        }
    }
    opos_impl::ThreadState::Current().RethrowPending();
}

}  // namespace

void WaitForEvents(int timeoutMs) {
    Serve(timeoutMs < 0 ? -1 : timeoutMs);
}

void DispatchEvents() {
    Serve(0);
}

bool WaitUntil(const std::function<bool()>& done, int timeoutMs) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
    for (;;) {
        if (done()) {
            return true;
        }
        int wait = -1;
        if (timeoutMs >= 0) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0) {
                // One last look at what is already waiting.
                DispatchEvents();
                return done();
            }
            wait = static_cast<int>(left.count());
        }
        Serve(wait);
    }
}

int EventFd() {
    return window::QueueFd();
}

}  // namespace sorvex::opos
