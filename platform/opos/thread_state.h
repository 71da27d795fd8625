// Per-thread bookkeeping of the control objects: how deep the thread is inside callbacks from
// service objects, the service objects whose release must wait until those callbacks have
// returned, and an exception a handler threw.
//
// Why releases wait: a service object calls SOData / SOError from its own window handler and
// still runs its own code after the callback returns (it unlocks its fire lock, returns
// through its handler). Releasing its last reference inside the callback would delete it under
// its own feet. So a control object closed or destroyed inside a callback hands its service
// object here, and the release happens once the thread is back outside every callback: when
// the outermost public call (WaitForEvents, DispatchEvents, WaitUntil, or a control object
// method that delivered events) returns.
//
// Everything here is used by the owning thread only.
#pragma once

#include <exception>
#include <functional>
#include <vector>

namespace sorvex::opos_impl {

class ThreadState {
  public:
    static ThreadState& Current();

    // True while a service object's callback is running on this thread (nested or not).
    bool InCallback() const { return m_CallbackDepth > 0; }

    // Runs `release` now when no callback is running, else once the last one has returned and
    // the outermost public call leaves (Settle). Releases run in the order they were deferred.
    void ReleaseWhenSafe(std::function<void()> release);

    // Leaves the apartment (CoUninitialize) when no callback runs, after the releases deferred
    // before it. At thread exit a deferred leave is dropped: the apartment counts an ending
    // thread out by itself.
    void LeaveApartmentWhenSafe();

    // Keeps the first exception a handler threw until RethrowPending.
    void KeepException(std::exception_ptr error);
    // Throws the kept exception (and forgets it); nothing when none is kept.
    void RethrowPending();

    // Runs the deferred releases when no callback is running. The public entry points call it
    // as they return.
    void Settle();

    ~ThreadState();

  private:
    friend class CallbackScope;
    struct Deferred {
        std::function<void()> release;  // empty: leave the apartment
    };
    void Run(std::vector<Deferred>& due, bool threadEnds);

    int m_CallbackDepth = 0;
    std::vector<Deferred> m_Deferred;
    std::exception_ptr m_Pending;
};

// Marks the span of one callback from a service object.
class CallbackScope {
  public:
    CallbackScope() : m_State(ThreadState::Current()) { ++m_State.m_CallbackDepth; }
    ~CallbackScope() { --m_State.m_CallbackDepth; }
    CallbackScope(const CallbackScope&) = delete;
    CallbackScope& operator=(const CallbackScope&) = delete;

  private:
    ThreadState& m_State;
};

// Marks one public entry point: settles the thread's deferred releases when it returns.
class EntryScope {
  public:
    EntryScope() = default;
    ~EntryScope() { ThreadState::Current().Settle(); }
    EntryScope(const EntryScope&) = delete;
    EntryScope& operator=(const EntryScope&) = delete;
};

}  // namespace sorvex::opos_impl
