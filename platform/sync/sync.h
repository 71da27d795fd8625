// Synchronisation objects: events, waits on one or several of them, critical sections and the
// named system mutex used to claim a device across processes.
//
// Time-outs are milliseconds; kInfinite (any negative value) waits without limit; 0 tests
// without waiting. Every wait blocks in the kernel: an idle waiter costs no CPU.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>

namespace sorvex::sync {

inline constexpr int kInfinite = -1;

enum class ResetMode { Manual, Auto };

// A Win32-style event. Manual-reset: stays set until Reset; every waiter is released.
// Auto-reset: a successful wait consumes the signal; one waiter is released per Set.
// Set and Reset may be called from any thread. Also usable with poll(): fd() is readable while
// the event may be set (a poller still calls Wait(0) to take an auto-reset signal, because
// another waiter may have taken it first).
class Event {
  public:
    // Throws std::system_error when the system has no file descriptor left for it.
    Event(ResetMode mode, bool initiallySet);
    ~Event();
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;

    void Set();
    void Reset();
    // True when the event was (or became) set within the time-out; consumes an auto-reset event.
    bool Wait(int timeoutMs);
    // True when set; never consumes.
    bool IsSet() const;
    int fd() const;

    struct State;

  private:
    std::unique_ptr<State> m_State;
    ResetMode m_Mode;
    friend int WaitAny(std::span<Event* const> events, int timeoutMs);
};

// Waits until one of the events is set. Returns the index of the event taken (the lowest index
// when several are set; an auto-reset event returned is consumed, the others are left as they
// are), or -1 on time-out. Throws std::invalid_argument for an empty list or a null entry.
int WaitAny(std::span<Event* const> events, int timeoutMs);

// A recursive lock (BasicLockable / Lockable), for std::lock_guard and std::unique_lock.
class CriticalSection {
  public:
    void lock() { m_Mutex.lock(); }
    bool try_lock() { return m_Mutex.try_lock(); }
    void unlock() { m_Mutex.unlock(); }

  private:
    std::recursive_mutex m_Mutex;
};

enum class MutexWait {
    Acquired,   // the caller owns the mutex
    Abandoned,  // the previous owner died while holding it; the caller now owns it
    Timeout,
    Failed,
};

// A mutex with a name, shared by every process that uses the same state root (its system name
// is derived from root::RootTag() and the given name, so two roots never collide; any text is a
// valid name). Recursive for the owning thread; released by the system when the owning thread
// or process dies (the next waiter then gets Abandoned and owns it). Created unowned.
//
// Ownership belongs to a thread, not to an object: every NamedMutex of one name in a process
// shares one mapping of the system object, so a thread that owns it through one object owns it
// through all of them. The system object lives while any process has it open; the last close
// removes it.
class NamedMutex {
  public:
    // Opens the mutex of that name, creating it when it does not exist yet. Throws
    // std::system_error naming the mutex when the system refuses.
    explicit NamedMutex(std::string_view name);
    // Releases the levels the calling thread acquired through this object and still holds. When
    // another thread of the process still owns the mutex, the mapping stays (its robust list
    // points into it) and is reused by the next NamedMutex of this name.
    ~NamedMutex();
    NamedMutex(const NamedMutex&) = delete;
    NamedMutex& operator=(const NamedMutex&) = delete;

    // Acquired or Abandoned: the calling thread owns one more level. A thread that already owns
    // it gets Acquired at once. Timeout: another thread owns it (0 only tests). Failed: the
    // system refused (the mutex was left unusable).
    MutexWait Wait(int timeoutMs);
    // Releases one level of ownership. False when the calling thread does not own it.
    bool Release();
    const std::string& name() const { return m_Name; }

    // The system (POSIX shared memory) name used for `name` under the current state root.
    static std::string SystemName(std::string_view name);

    struct Shared;  // the process-wide record of one system object

  private:
    std::string m_Name;
    Shared* m_Shared = nullptr;
    // Levels acquired through this object in the ownership period `m_Epoch` of the record.
    unsigned m_Depth = 0;
    std::uint64_t m_Epoch = 0;
};

}  // namespace sorvex::sync
