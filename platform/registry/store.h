// Internal to the registry: the SQLite side. Not part of the platform API.
//
// One connection per database file and thread, kept in a small per-thread cache with its
// prepared statements and its read cache (read_cache.h), so that a read costs no open or
// parse, and a repeated read no SQLite work at all. A connection is never used by a second
// thread, and a process made by fork() opens its own (the parent's are abandoned, never
// closed, because closing them could disturb the parent's locks).
//
// Locking: rollback journal (journal_mode=DELETE). Readers run in autocommit or in a deferred
// transaction; writers start with BEGIN IMMEDIATE, so no transaction ever upgrades from reading
// to writing and SQLITE_BUSY can always be waited out: Run() retries the whole transaction with
// a short back-off until a generous deadline.
#pragma once

#include <sqlite3.h>
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "platform/registry/read_cache.h"
#include "platform/registry/registry.h"

namespace sorvex::registry::detail {

// Where one hive's database lives, and how its directory and file are created.
struct Location {
    enum class Kind { Machine, UserInRoot, UserConfig };
    std::string path;
    Kind kind = Kind::Machine;
};

// The database of a hive for the current state root and user (read on every call).
Location LocateHive(Hive hive);

// Raised inside the store and turned into a Status at the API boundary.
struct StoreError {
    Status status;
    std::string detail;
};

// Raised when SQLite reports a lock conflict; Run() rolls back and tries again.
struct BusyRetry {};

enum Stmt : int {
    kBeginRead,
    kBeginWrite,
    kCommit,
    kRollback,
    kFindChild,     // ?1 parent, ?2 folded name -> id, name
    kKeyExists,     // ?1 id
    kLookupValue,   // ?1 key, ?2 folded name, ?3 size limit -> type, size, data (NULL if larger)
    kFirstValues,   // ?1 key, ?2 size limit, ?3 count -> fold, type, size, data (NULL if larger)
    kSetValue,      // ?1 key, ?2 name, ?3 folded name, ?4 type, ?5 data
    kDeleteValue,   // ?1 key, ?2 folded name
    kInsertKey,     // ?1 parent, ?2 name, ?3 folded name
    kSubkeyNames,   // ?1 parent -> name
    kListValues,    // ?1 key -> name, type, data
    kHasSubkey,     // ?1 parent
    kChildIds,      // ?1 parent -> id
    kDeleteValues,  // ?1 key
    kDeleteKey,     // ?1 id
    kStmtCount
};

class Connection {
  public:
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Opens the database file (which exists); falls back to read-only when the caller cannot
    // write the file or its directory. Creates the schema when the file is new and writable.
    static std::unique_ptr<Connection> OpenFile(const Location& location);
    // An empty hive in memory, for reading a database file that does not exist (yet).
    static std::unique_ptr<Connection> OpenEmpty(const Location& location);

    const std::string& path() const { return m_Path; }
    bool readOnly() const { return m_ReadOnly; }
    bool empty() const { return m_Empty; }
    dev_t device() const { return m_Device; }
    ino_t inode() const { return m_Inode; }
    // Random, made with the file: tells a file apart from a later one at the same path (even
    // one that got the same inode number). 0 for an empty hive in memory.
    std::int64_t databaseId() const { return m_DatabaseId; }

    // A prepared statement, reset and ready to bind.
    sqlite3_stmt* Get(Stmt which);
    // Steps a statement: true for a row, false when done. Throws BusyRetry or StoreError; the
    // statement is reset on failure.
    bool Step(sqlite3_stmt* stmt);
    // Runs a statement that returns no rows, then resets it.
    void Exec(Stmt which);

    // Runs `body` inside a transaction (a deferred read transaction, an immediate write
    // transaction, or none: autocommit for a single read statement). Lock conflicts roll back
    // and retry the body. A write body's non-Ok status rolls the transaction back.
    template <class Body>
    Status Run(bool write, bool transaction, Body&& body);

    [[noreturn]] void Fail(int rc, std::string_view what);

    std::int64_t LastInsertId() const { return sqlite3_last_insert_rowid(m_Db); }
    int Changes() const { return sqlite3_changes(m_Db); }

    // Rolls back a transaction left open by a failure (no error when none is open).
    void RollbackQuietly();

    // Reads the database file's header as it is now: one pread through SQLite's own file
    // handle (a descriptor of our own could not be closed without dropping the process's
    // locks on the file), taking no lock. False for an empty hive in memory or when the file
    // cannot be read.
    bool ReadHeader(FileHeader& header);
    // The same inside a read transaction that has taken the shared lock (a statement ran), so
    // that the header is that of the committed state the transaction sees; false otherwise.
    bool ReadCommittedHeader(FileHeader& header);
    ReadCache& cache() { return m_Cache; }

  private:
    Connection() = default;
    void Configure();
    void Pragma(const char* sql, std::string_view what);
    // False when the file has no tables and this user cannot make them.
    bool EnsureSchema(bool machine);

    sqlite3* m_Db = nullptr;
    sqlite3_stmt* m_Stmts[kStmtCount] = {};
    sqlite3_file* m_File = nullptr;  // the main database file; null for a hive in memory
    ReadCache m_Cache;
    std::string m_Path;
    bool m_ReadOnly = false;
    bool m_Empty = false;
    dev_t m_Device = 0;
    ino_t m_Inode = 0;
    std::int64_t m_DatabaseId = 0;
};

// Sleeps before retry number `attempt`; throws StoreError once the deadline of the operation
// that started at `startNs` has passed.
void BackOff(const std::string& path, int attempt, std::int64_t startNs);
std::int64_t NowNs();

// Runs one transaction over several connections (a Batch touching more than one database):
// all begin (in the given order, which callers keep sorted so that two processes never wait
// for each other), the body runs, then all commit.
Status RunWriteAll(std::span<Connection* const> connections, const std::function<Status()>& body);

// The calling thread's connection to the database at `location`, opened when needed. A write
// connection is refused (AccessDenied) when the caller may not write the file. The path is
// looked at (a removed or replaced file gets a new connection) unless `verifyPath` is false,
// which reads through an open key use: they stay with the file the key was opened in.
Connection& Acquire(const Location& location, bool write, bool verifyPath = true);

// Builds the folded (ASCII lower-case) form of a name.
std::string Fold(std::string_view name);

template <class Body>
Status Connection::Run(bool write, bool transaction, Body&& body) {
    std::int64_t start = 0;
    for (int attempt = 0;; ++attempt) {
        try {
            if (write) {
                Exec(kBeginWrite);
            } else if (transaction) {
                Exec(kBeginRead);
            }
            Status status = body();
            if (write && status != Status::Ok) {
                RollbackQuietly();
                return status;
            }
            if (write || transaction) {
                // COMMIT may meet readers that still hold the database; it stays pending and
                // is simply repeated.
                for (int commitAttempt = 0;; ++commitAttempt) {
                    try {
                        Exec(kCommit);
                        break;
                    } catch (const BusyRetry&) {
                        if (start == 0) {
                            start = NowNs();
                        }
                        BackOff(m_Path, commitAttempt, start);
                    }
                }
            }
            return status;
        } catch (const BusyRetry&) {
            RollbackQuietly();
            if (start == 0) {
                start = NowNs();
            }
            BackOff(m_Path, attempt, start);
        } catch (...) {
            RollbackQuietly();
            throw;
        }
    }
}

}  // namespace sorvex::registry::detail
