#include "service/links/read_thread.h"

#include <algorithm>
#include <cerrno>

namespace talvex {

// After the trace log (101) and before the arbiter (103): destroyed after the arbiter, which
// hands it the threads still running at unload.
CReadThreads g_ReadThreads __attribute__((init_priority(102)));

CReadThreads& ReadThreads() {
    return g_ReadThreads;
}

unsigned long ThreadStartError(const std::system_error& error) {
    switch (error.code().value()) {
        case EAGAIN:
        case ENOMEM:
            return 8;  // ERROR_NOT_ENOUGH_MEMORY
        case EPERM:
            return 5;  // ERROR_ACCESS_DENIED
        case EINVAL:
            return 87;  // ERROR_INVALID_PARAMETER
        default:
            return 31;  // ERROR_GEN_FAILURE
    }
}

CReadThread::CReadThread(void* context) : m_Context(context) {}

CReadThread::~CReadThread() {
    // ReadThreads() keeps every started thread's state until the thread is joined, so the
    // thread is never still running here; this only guards against misuse.
    if (m_Thread.joinable()) {
        if (m_Thread.get_id() == std::this_thread::get_id()) {
            m_Thread.detach();
        } else {
            m_Thread.join();
        }
    }
}

void CReadThread::Start(std::function<void()> body) {
    ReadThreads().Register(shared_from_this());
    try {
        // The new thread's first call takes m_Mutex, so it sees m_Thread and m_Started set.
        std::lock_guard lock(m_Mutex);
        m_Thread = std::thread(std::move(body));
        m_ThreadId = m_Thread.get_id();
        m_Started = true;
    } catch (...) {
        ReadThreads().Forget(this);
        throw;
    }
}

bool CReadThread::Stop(std::chrono::milliseconds bound) {
    std::unique_lock lock(m_Mutex);
    if (!m_Started) {
        bool release = !m_Released;
        m_Released = true;
        lock.unlock();
        if (release) {
            ReleaseDevice();
        }
        return true;
    }
    m_Stop = true;
    lock.unlock();
    // The device exists until this function releases it (or hands that to the thread below).
    CancelDevice();
    lock.lock();
    const bool self = m_ThreadId == std::this_thread::get_id();
    if (!self) {
        m_Changed.wait_for(lock, bound, [&] { return m_Ended; });
        // A thread still in its cancelled read holds nothing anybody waits for; it only has not
        // been scheduled yet (a loaded machine). Give it time, so that the device is released
        // here and not by the thread later.
        m_Changed.wait_for(lock, kCancelGrace, [&] { return m_Ended || !m_Reading; });
    }
    if (m_Ended && !self) {
        bool release = !m_Released;
        m_Released = true;
        lock.unlock();
        m_Thread.join();
        if (release) {
            ReleaseDevice();
        }
        ReadThreads().Forget(this);
        return true;
    }
    // Still inside a callback (or, with a device that ignored the cancel, inside its read).
    m_Abandoned = true;
    bool release = false;
    if (m_Reading) {
        m_ReleaseByThread = true;
    } else if (!m_Released) {
        m_Released = true;
        release = true;
    }
    lock.unlock();
    if (release) {
        ReleaseDevice();
    }
    return false;
}

bool CReadThread::Running() const {
    std::lock_guard lock(m_Mutex);
    return m_Started && !m_Ended;
}

bool CReadThread::BeginRead() {
    std::lock_guard lock(m_Mutex);
    if (m_Stop) {
        return false;
    }
    m_Reading = true;
    return true;
}

bool CReadThread::EndRead() {
    std::unique_lock lock(m_Mutex);
    m_Reading = false;
    bool release = m_ReleaseByThread && !m_Released;
    if (release) {
        m_Released = true;
    }
    bool go = !m_Stop;
    lock.unlock();
    if (!go) {
        m_Changed.notify_all();  // Stop may wait for the read to return
    }
    if (release) {
        ReleaseDevice();
    }
    return go;
}

bool CReadThread::BeginCallback() {
    std::lock_guard lock(m_Mutex);
    if (m_Detached || m_Stop) {
        return false;
    }
    m_InCallback = true;
    return true;
}

void CReadThread::EndCallback() {
    {
        std::lock_guard lock(m_Mutex);
        m_InCallback = false;
    }
    m_Changed.notify_all();
}

void CReadThread::Ended(int exitCode) {
    {
        std::lock_guard lock(m_Mutex);
        m_Ended = true;
        m_ExitCode = exitCode;
    }
    m_Changed.notify_all();
}

void CReadThread::Detach() {
    std::unique_lock lock(m_Mutex);
    m_Detached = true;
    if (m_Started && m_ThreadId == std::this_thread::get_id()) {
        return;  // a callback detaching its own context: it is the call in progress
    }
    m_Changed.wait(lock, [&] { return !m_InCallback; });
}

bool CReadThread::Abandoned() const {
    std::lock_guard lock(m_Mutex);
    return m_Abandoned;
}

void CReadThread::Join() {
    if (m_Thread.joinable()) {
        m_Thread.join();
    }
}

CReadThreads::~CReadThreads() {
    JoinAbandoned();
}

void CReadThreads::Register(std::shared_ptr<CReadThread> thread) {
    std::lock_guard lock(m_Mutex);
    m_Threads.push_back(std::move(thread));
}

void CReadThreads::Forget(const CReadThread* thread) {
    std::shared_ptr<CReadThread> last;  // released after the lock
    std::lock_guard lock(m_Mutex);
    auto it = std::find_if(m_Threads.begin(), m_Threads.end(),
                           [&](const auto& t) { return t.get() == thread; });
    if (it != m_Threads.end()) {
        last = std::move(*it);
        m_Threads.erase(it);
    }
}

std::vector<std::shared_ptr<CReadThread>> CReadThreads::TakeAbandoned(bool endedOnly) {
    std::vector<std::shared_ptr<CReadThread>> taken;
    std::lock_guard lock(m_Mutex);
    for (auto it = m_Threads.begin(); it != m_Threads.end();) {
        if ((*it)->Abandoned() && (!endedOnly || !(*it)->Running())) {
            taken.push_back(std::move(*it));
            it = m_Threads.erase(it);
        } else {
            ++it;
        }
    }
    return taken;
}

void CReadThreads::ReapFinished() {
    for (const auto& thread : TakeAbandoned(true)) {
        thread->Join();
    }
}

void CReadThreads::JoinAbandoned() {
    for (const auto& thread : TakeAbandoned(false)) {
        thread->Join();
    }
}

void CReadThreads::Detach(void* context) {
    std::vector<std::shared_ptr<CReadThread>> hits;
    {
        std::lock_guard lock(m_Mutex);
        for (const auto& thread : m_Threads) {
            if (thread->Context() == context) {
                hits.push_back(thread);
            }
        }
    }
    for (const auto& thread : hits) {
        thread->Detach();
    }
}

std::size_t CReadThreads::Count() const {
    std::lock_guard lock(m_Mutex);
    return m_Threads.size();
}

}  // namespace talvex
