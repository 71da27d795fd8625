// The trace log: one text file per process, "C:\Sorvex2.log" (below the state root's drive C:).
//
// Writers never wait for the disk: Write queues a record and returns; a writer thread formats
// and appends the lines. A record is written when its level is at most the current level
// (-1 nothing, 0 internal failures, 1 OPOS errors, 2 undecodable data, 3 enter/exit, 4 details).
// Line: "MM/DD/YYYY  HH:MM:SS.mmm    <level, width 2>    <tag, width 15>    <message>\r\n",
// stamped with the local time at which the writer writes it.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

namespace talvex {

class CLog {
  public:
    virtual ~CLog() = default;
    virtual void SetLevel(std::int32_t level) = 0;
    virtual void Write(std::int32_t level, const std::string& message, const std::string& tag) = 0;
};

struct LogRecord {
    std::int32_t level;
    std::string message;
    std::string tag;
};

class CFileLog final : public CLog {
  public:
    // `windowsPath` is mapped below the state root when the first line is written, so a process
    // that sets SORVEX_ROOT before it traces anything logs into that root.
    explicit CFileLog(std::string windowsPath);
    // Writes what is still queued for at most one second, then stops; later records are lost.
    ~CFileLog() override;
    CFileLog(const CFileLog&) = delete;
    CFileLog& operator=(const CFileLog&) = delete;

    void SetLevel(std::int32_t level) override;
    void Write(std::int32_t level, const std::string& message, const std::string& tag) override;

    std::int32_t Level() const { return m_Level.load(std::memory_order_relaxed); }
    // True when a record of this level would be written: callers test it before building a
    // detail message that costs something.
    bool Enabled(std::int32_t level) const { return level <= Level(); }

    // Waits until every record queued before the call is in the file. False on time-out.
    bool Flush(std::chrono::milliseconds timeout = std::chrono::seconds(5));
    // Closes the file; the next line opens the path afresh (for tests that change the root).
    void Reopen();

    // How long the destructor lets the writer drain the queue (one second).
    static constexpr std::chrono::milliseconds kDrainBudget{1000};
    // How long the writer lets a burst of records gather after the first one woke it.
    static constexpr std::chrono::microseconds kGatherDelay{500};

  private:
    void RunWriter();
    void WriteLine(const LogRecord& record);

    const std::string m_WindowsPath;
    std::atomic<std::int32_t> m_Level{-1};

    std::mutex m_Lock;  // guards everything below
    std::condition_variable m_Work;
    std::condition_variable m_Idle;
    std::deque<LogRecord> m_Records;
    std::uint64_t m_Queued = 0;
    std::uint64_t m_Written = 0;
    bool m_Stop = false;
    bool m_ReopenPending = false;
    bool m_WriterWaiting = false;                          // the writer sleeps on m_Work
    std::chrono::steady_clock::time_point m_StopDeadline;  // set before m_Stopping
    std::atomic<bool> m_Stopping{false};

    // Owned by the writer thread.
    std::FILE* m_File = nullptr;
    bool m_OpenTried = false;

    std::thread m_Writer;
};

// The process's log.
extern CFileLog g_Log;

}  // namespace talvex

// Writes a record when its level is enabled; the message expression is evaluated only then.
#define TALVEX_LOG(level, tag, message)                       \
    do {                                                      \
        if (::talvex::g_Log.Enabled(level)) {                 \
            ::talvex::g_Log.Write((level), (message), (tag)); \
        }                                                     \
    } while (0)
