#include "service/frame/log.h"

#include <sys/stat.h>
#include <time.h>

#include <vector>

#include "platform/root/state_root.h"

namespace talvex {

// Constructed before, and destroyed after, every other static object of the module, so links
// and service objects torn down at unload can still trace.
CFileLog g_Log __attribute__((init_priority(101))) ("C:\\Sorvex2.log");

CFileLog::CFileLog(std::string windowsPath) : m_WindowsPath(std::move(windowsPath)) {
    m_Writer = std::thread([this] { RunWriter(); });
}

CFileLog::~CFileLog() {
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        m_Stop = true;
        m_StopDeadline = std::chrono::steady_clock::now() + kDrainBudget;
        m_Stopping.store(true, std::memory_order_release);
    }
    m_Work.notify_one();
    m_Writer.join();  // the writer gives up at the deadline, so this is bounded
    if (m_File != nullptr) {
        std::fclose(m_File);
    }
}

void CFileLog::SetLevel(std::int32_t level) {
    m_Level.store(level, std::memory_order_relaxed);
}

void CFileLog::Write(std::int32_t level, const std::string& message, const std::string& tag) {
    if (level > m_Level.load(std::memory_order_relaxed)) {
        return;
    }
    bool wake;
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        // Only a writer that sleeps needs waking, and only once.
        wake = m_WriterWaiting;
        m_WriterWaiting = false;
        m_Records.push_back(LogRecord{level, message, tag});
        ++m_Queued;
    }
    if (wake) {
        m_Work.notify_one();
    }
}

bool CFileLog::Flush(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(m_Lock);
    std::uint64_t target = m_Queued;
    return m_Idle.wait_for(lock, timeout, [&] { return m_Written >= target || m_Stop; });
}

void CFileLog::Reopen() {
    std::lock_guard<std::mutex> lock(m_Lock);
    m_ReopenPending = true;
}

void CFileLog::RunWriter() {
    std::deque<LogRecord> batch;
    std::unique_lock<std::mutex> lock(m_Lock);
    for (;;) {
        if (!m_Stop && m_Records.empty()) {
            m_WriterWaiting = true;
            m_Work.wait(lock, [&] { return m_Stop || !m_Records.empty(); });
            m_WriterWaiting = false;
            // Woken by the first record of a burst: let the burst gather for a moment, so a
            // busy trace costs one wake-up and one flush per batch rather than per line.
            if (!m_Stop) {
                lock.unlock();
                std::this_thread::sleep_for(kGatherDelay);
                lock.lock();
            }
        }
        if (m_Stop && (m_Records.empty() || std::chrono::steady_clock::now() >= m_StopDeadline)) {
            m_Records.clear();
            m_Idle.notify_all();
            return;
        }
        if (m_ReopenPending) {
            m_ReopenPending = false;
            if (m_File != nullptr) {
                std::fclose(m_File);
                m_File = nullptr;
            }
            m_OpenTried = false;
        }
        // Take what is queued and write it without the lock, so callers never wait for the disk.
        batch.swap(m_Records);
        lock.unlock();
        std::size_t done = 0;
        for (const LogRecord& record : batch) {
            WriteLine(record);
            ++done;
            // At unload, give up at the drain deadline; the rest is lost.
            if (done % 256 == 0 && m_Stopping.load(std::memory_order_acquire) &&
                std::chrono::steady_clock::now() >= m_StopDeadline) {
                break;
            }
        }
        if (m_File != nullptr) {
            std::fflush(m_File);
        }
        batch.clear();
        lock.lock();
        m_Written += done;
        if (m_Records.empty()) {
            m_Written = m_Queued;  // records dropped at the deadline count as handled
            m_Idle.notify_all();
        }
    }
}

void CFileLog::WriteLine(const LogRecord& record) {
    if (!m_OpenTried) {
        m_OpenTried = true;
        std::filesystem::path path = sorvex::root::MapWindowsPath(m_WindowsPath);
        try {
            sorvex::root::EnsureDirectory(path.parent_path(), 0775);
        } catch (const std::exception&) {
            // The open below fails and the lines are lost, as for any unwritable log file.
        }
        m_File = std::fopen(path.c_str(), "ab");
    }
    if (m_File == nullptr) {
        return;
    }
    auto now = std::chrono::system_clock::now();
    std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    int millis = static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000);
    struct tm local {};
    localtime_r(&seconds, &local);
    char head[64];
    int n = std::snprintf(head, sizeof head, "%02d/%02d/%04d  %02d:%02d:%02d.%03d    %-2d    ",
                          local.tm_mon + 1, local.tm_mday, local.tm_year + 1900, local.tm_hour,
                          local.tm_min, local.tm_sec, millis, record.level);
    std::fwrite(head, 1, static_cast<std::size_t>(n), m_File);
    std::fwrite(record.tag.data(), 1, record.tag.size(), m_File);
    for (std::size_t pad = record.tag.size(); pad < 15; ++pad) {
        std::fputc(' ', m_File);
    }
    std::fwrite("    ", 1, 4, m_File);
    std::fwrite(record.message.data(), 1, record.message.size(), m_File);
    std::fwrite("\r\n", 1, 2, m_File);
}

}  // namespace talvex
