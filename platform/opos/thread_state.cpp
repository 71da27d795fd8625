#include "platform/opos/thread_state.h"

#include <utility>

#include "platform/com/apartment.h"

namespace sorvex::opos_impl {

ThreadState& ThreadState::Current() {
    thread_local ThreadState state;
    return state;
}

void ThreadState::ReleaseWhenSafe(std::function<void()> release) {
    if (m_CallbackDepth > 0) {
        m_Deferred.push_back(Deferred{std::move(release)});
        return;
    }
    release();
}

void ThreadState::LeaveApartmentWhenSafe() {
    if (m_CallbackDepth > 0) {
        m_Deferred.push_back(Deferred{});
        return;
    }
    com::CoUninitialize();
}

void ThreadState::Run(std::vector<Deferred>& due, bool threadEnds) {
    for (Deferred& d : due) {
        if (d.release) {
            d.release();
        } else if (!threadEnds) {
            com::CoUninitialize();
        }
    }
}

void ThreadState::KeepException(std::exception_ptr error) {
    if (!m_Pending) {
        m_Pending = std::move(error);
    }
}

void ThreadState::RethrowPending() {
    if (m_Pending) {
        std::exception_ptr error = std::move(m_Pending);
        m_Pending = nullptr;
        std::rethrow_exception(error);
    }
}

void ThreadState::Settle() {
    // A release may close further objects (and defer nothing, as no callback runs now), so
    // take the list first and loop until it stays empty.
    while (m_CallbackDepth == 0 && !m_Deferred.empty()) {
        std::vector<Deferred> due = std::move(m_Deferred);
        m_Deferred.clear();
        Run(due, false);
    }
}

ThreadState::~ThreadState() {
    // The thread ends (or the program exits) with releases still waiting: no callback can be
    // running any more, so they are safe now.
    m_CallbackDepth = 0;
    while (!m_Deferred.empty()) {
        std::vector<Deferred> due = std::move(m_Deferred);
        m_Deferred.clear();
        Run(due, true);
    }
}

}  // namespace sorvex::opos_impl
