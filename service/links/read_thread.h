// The read threads of the device links, and how a link lets go of one that is stuck.
//
// A link's read thread runs callbacks of service objects. Such a callback may wait for a lock
// that the thread destroying the link holds (the arbiter lock when it writes to a device; a
// service object's fire lock when the application disables the device from inside its event
// handler). A link therefore never waits for its thread without bound:
//
//   - CReadThread is the state a link shares with its read thread. The thread keeps it alive
//     through shared ownership, so the link object may go while the thread still runs.
//   - Stop asks the thread to end, cancels its pending read and waits up to a bound. If the
//     thread is still busy inside a callback, the device is released at once (the thread never
//     reads again once a stop was asked), so the port can be reopened at once; a descriptor is
//     never closed while another thread may still poll or read it.
//   - Threads given up this way are handed to ReadThreads(), which joins them when they end and
//     at module unload (the arbiter's destructor), so no thread outlives the module.
//
// Each CReadThread also gates the callbacks of its context (DetachContext): after Detach no
// callback starts, and Detach waits for one in progress.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace talvex {

class CReadThread : public std::enable_shared_from_this<CReadThread> {
  public:
    // `context` is what the thread's callbacks receive (used only to find the thread again by
    // DetachContext).
    explicit CReadThread(void* context);
    virtual ~CReadThread();
    CReadThread(const CReadThread&) = delete;
    CReadThread& operator=(const CReadThread&) = delete;

    // Link side ----------------------------------------------------------------------------

    // Starts `body` on a new thread and registers this state with ReadThreads(). `body` must
    // call Ended() last. Throws std::system_error when no thread can be created (nothing is
    // registered then).
    void Start(std::function<void()> body);

    // Asks the thread to stop, cancels its pending read and waits up to `bound` for it to end.
    // True when it ended (it is joined and the device released). False when it is still busy
    // in a callback: the device is released now, and the thread is left to ReadThreads().
    // A thread whose cancelled read has not returned yet (not scheduled on a loaded machine) is
    // waited for up to kCancelGrace more; only past that (a device that ignores the cancel)
    // does the thread release the device itself when its read returns. Called once, from the
    // link's destructor; from the read thread itself (a callback that removes its own link) it
    // does not wait.
    bool Stop(std::chrono::milliseconds bound);

    // How long Stop waits, beyond its bound, for a cancelled read to return.
    static constexpr std::chrono::milliseconds kCancelGrace{5000};

    // Whether the thread was started and has not ended yet.
    bool Running() const;

    // Read-thread side ---------------------------------------------------------------------

    // Before each read of the device: false when a stop was asked (the thread must not touch
    // the device again and ends).
    bool BeginRead();
    // After the read returned or threw: false when a stop was asked meanwhile (deliver nothing,
    // end). Releases the device here when Stop left that to the thread.
    bool EndRead();
    // Around each callback: BeginCallback is false when the context was detached (skip the
    // call); EndCallback after every call BeginCallback allowed.
    bool BeginCallback();
    void EndCallback();
    // The last call of the thread body, with its exit code (0, or -1 after an error).
    void Ended(int exitCode);

    // Any thread ---------------------------------------------------------------------------

    // After it returns no callback of this thread starts; waits for one in progress unless
    // called on the read thread itself. The caller must hold no lock the callback needs.
    void Detach();
    void* Context() const { return m_Context; }

    // Whether Stop gave the thread up (for ReadThreads()).
    bool Abandoned() const;
    // Joins the thread (ReadThreads(), for abandoned threads).
    void Join();

  protected:
    // Makes the device's pending and later reads return at once. Any thread.
    virtual void CancelDevice() = 0;
    // Closes the device. Called exactly once, when no thread reads it and none will.
    virtual void ReleaseDevice() = 0;

  private:
    void* const m_Context;
    std::thread m_Thread;

    mutable std::mutex m_Mutex;  // guards everything below
    std::condition_variable m_Changed;
    std::thread::id m_ThreadId;  // m_Thread itself is touched only by Start, Stop and Join
    bool m_Started = false;
    bool m_Stop = false;
    bool m_Reading = false;
    bool m_Ended = false;
    bool m_Abandoned = false;
    bool m_ReleaseByThread = false;
    bool m_Released = false;
    bool m_Detached = false;
    bool m_InCallback = false;
    int m_ExitCode = 0;
};

// Every read thread of the process (one object per module).
class CReadThreads {
  public:
    CReadThreads() = default;
    // Joins what is left (ReadThreads() is destroyed after the arbiter).
    ~CReadThreads();
    CReadThreads(const CReadThreads&) = delete;
    CReadThreads& operator=(const CReadThreads&) = delete;

    void Register(std::shared_ptr<CReadThread> thread);
    // A link joined its thread: forget it.
    void Forget(const CReadThread* thread);
    // Joins the abandoned threads that have ended (each join returns at once).
    void ReapFinished();
    // Joins every abandoned thread, waiting for them to end (module unload).
    void JoinAbandoned();
    // Detach() on every thread whose context is `context`, then waits for their callbacks.
    void Detach(void* context);
    // Threads registered and not yet joined (for tests).
    std::size_t Count() const;

  private:
    std::vector<std::shared_ptr<CReadThread>> TakeAbandoned(bool endedOnly);

    mutable std::mutex m_Mutex;
    std::vector<std::shared_ptr<CReadThread>> m_Threads;
};

// The process's read threads: constructed before the arbiter and destroyed after it.
CReadThreads& ReadThreads();

// The Win32 error number for a thread that could not be created (8 for lack of resources).
unsigned long ThreadStartError(const std::system_error& error);

}  // namespace talvex
