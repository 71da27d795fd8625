#include "platform/registry/store.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "platform/root/state_root.h"

namespace sorvex::registry::detail {

namespace fs = std::filesystem;

namespace {

constexpr int kSchemaVersion = 1;
constexpr int kBusyTimeoutMs = 1000;
constexpr std::int64_t kLockDeadlineNs = 60'000'000'000;  // a lock held longer is a fault
constexpr std::size_t kMaxCachedPerThread = 8;

// Names and data are blobs: SQLite compares them byte for byte and keeps every byte. `fold`
// is the ASCII lower-case form of `name`; lookups and ordering use it. Key ids are never
// reused (AUTOINCREMENT), so a handle to a deleted key cannot reach a new key of the same name.
constexpr const char* kSchema = R"sql(
CREATE TABLE keys(
    id INTEGER PRIMARY KEY AUTOINCREMENT,
    parent INTEGER NOT NULL,
    name BLOB NOT NULL,
    fold BLOB NOT NULL);
CREATE UNIQUE INDEX keys_by_parent ON keys(parent, fold);
CREATE TABLE vals(
    key INTEGER NOT NULL,
    fold BLOB NOT NULL,
    name BLOB NOT NULL,
    type INTEGER NOT NULL,
    data BLOB NOT NULL,
    PRIMARY KEY(key, fold)) WITHOUT ROWID;
INSERT INTO keys(id, parent, name, fold) VALUES(1, 0, x'', x'');
CREATE TABLE meta(name TEXT PRIMARY KEY, value INTEGER NOT NULL);
INSERT INTO meta VALUES('database id', abs(random()) + 1);
)sql";

// HKEY_LOCAL_MACHINE always has SOFTWARE\Classes, the root of HKEY_CLASSES_ROOT.
constexpr const char* kMachineKeys = R"sql(
INSERT INTO keys(parent, name, fold) VALUES(1, CAST('SOFTWARE' AS BLOB), CAST('software' AS BLOB));
INSERT INTO keys(parent, name, fold)
    VALUES(last_insert_rowid(), CAST('Classes' AS BLOB), CAST('classes' AS BLOB));
)sql";

constexpr const char* kStatements[kStmtCount] = {
    "BEGIN",
    "BEGIN IMMEDIATE",
    "COMMIT",
    "ROLLBACK",
    "SELECT id, name FROM keys WHERE parent = ?1 AND fold = ?2",
    "SELECT 1 FROM keys WHERE id = ?1",
    ("SELECT type, length(data), CASE WHEN length(data) <= ?3 THEN data END FROM vals "
     "WHERE key = ?1 AND fold = ?2"),
    ("SELECT fold, type, length(data), CASE WHEN length(data) <= ?2 THEN data END FROM vals "
     "WHERE key = ?1 LIMIT ?3"),
    ("INSERT INTO vals(key, name, fold, type, data) VALUES(?1, ?2, ?3, ?4, ?5) "
     "ON CONFLICT(key, fold) DO UPDATE SET type = excluded.type, data = excluded.data"),
    "DELETE FROM vals WHERE key = ?1 AND fold = ?2",
    "INSERT INTO keys(parent, name, fold) VALUES(?1, ?2, ?3)",
    "SELECT name FROM keys WHERE parent = ?1 ORDER BY fold",
    "SELECT name, type, data FROM vals WHERE key = ?1 ORDER BY fold",
    "SELECT 1 FROM keys WHERE parent = ?1 LIMIT 1",
    "SELECT id FROM keys WHERE parent = ?1",
    "DELETE FROM vals WHERE key = ?1",
    "DELETE FROM keys WHERE id = ?1",
};

Status ErrnoStatus(int error) {
    return (error == EACCES || error == EPERM || error == EROFS) ? Status::AccessDenied
                                                                 : Status::Failed;
}

std::string ErrnoText(int error) {
    return std::error_code(error, std::generic_category()).message();
}

fs::path ConfigHome() {
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg != nullptr && *xdg == '/') {
        return fs::path(xdg);
    }
    const char* home = std::getenv("HOME");
    if (home == nullptr || *home == '\0') {
        if (const passwd* pw = ::getpwuid(::geteuid()); pw != nullptr && pw->pw_dir != nullptr) {
            home = pw->pw_dir;
        }
    }
    return fs::path(home != nullptr && *home != '\0' ? home : "/") / ".config";
}

mode_t DirectoryMode(Location::Kind kind) {
    return kind == Location::Kind::UserConfig ? 0700 : 0775;
}

mode_t FileMode(Location::Kind kind) {
    return kind == Location::Kind::Machine ? 0664 : 0600;
}

// Creates the database file with its mode (not reduced by the umask), and its directory.
void CreateDatabaseFile(const Location& location) {
    fs::path file(location.path);
    fs::path dir = file.parent_path();
    try {
        root::EnsureDirectory(dir, DirectoryMode(location.kind));
    } catch (const fs::filesystem_error& e) {
        throw StoreError{ErrnoStatus(e.code().value()),
                         "cannot create directory " + dir.string() + ": " + e.code().message()};
    }
    mode_t mode = FileMode(location.kind);
    int fd = ::open(location.path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd >= 0) {
        ::fchmod(fd, mode);
        ::close(fd);
    } else if (errno != EEXIST) {
        int error = errno;
        throw StoreError{ErrnoStatus(error),
                         "cannot create " + location.path + ": " + ErrnoText(error)};
    }
}

// Connections abandoned in a child process after fork(): never touched again, kept reachable.
std::mutex g_AbandonedLock;
std::vector<Connection*>* g_Abandoned = nullptr;

// Counts fork()s (in the child), so that a thread tells the parent's connections from its own
// without asking the kernel for its pid on every call.
std::atomic<unsigned> g_ForkGeneration{0};
[[maybe_unused]] const int kAtForkRegistered = ::pthread_atfork(
    nullptr, nullptr, [] { g_ForkGeneration.fetch_add(1, std::memory_order_relaxed); });

struct ThreadCache {
    unsigned generation = 0;
    std::vector<std::unique_ptr<Connection>> connections;  // most recently used first

    ~ThreadCache() {
        if (generation != g_ForkGeneration.load(std::memory_order_relaxed)) {
            Abandon();
        }
    }
    void Abandon() {
        if (connections.empty()) {
            return;
        }
        std::lock_guard lock(g_AbandonedLock);
        if (g_Abandoned == nullptr) {
            g_Abandoned = new std::vector<Connection*>;
        }
        for (auto& c : connections) {
            g_Abandoned->push_back(c.release());
        }
        connections.clear();
    }
};

thread_local ThreadCache t_Cache;

}  // namespace

std::int64_t NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void BackOff(const std::string& path, int attempt, std::int64_t startNs) {
    if (NowNs() - startNs > kLockDeadlineNs) {
        throw StoreError{Status::Failed, path + ": the database stayed locked for over 60 s"};
    }
    thread_local std::minstd_rand random(
        static_cast<unsigned>(NowNs() ^ std::hash<std::thread::id>()(std::this_thread::get_id())));
    int limit = 1 << std::min(attempt, 4);  // 1 .. 16 ms
    std::this_thread::sleep_for(std::chrono::microseconds(
        500 + static_cast<long>(random() % static_cast<unsigned>(limit * 1000))));
}

std::string Fold(std::string_view name) {
    std::string folded(name);
    for (char& c : folded) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c + ('a' - 'A'));
        }
    }
    return folded;
}

Location LocateHive(Hive hive) {
    // The environment is read on every call; the paths are worked out again only when one of
    // the variables they come from changed (the effective uid is taken once per thread).
    struct Memo {
        bool valid = false;
        std::string env[3];
        bool present[3] = {};
        Location machine;
        Location user;
    };
    thread_local Memo memo;
    static constexpr const char* kVariables[3] = {"SORVEX_ROOT", "XDG_CONFIG_HOME", "HOME"};
    bool same = memo.valid;
    const char* values[3];
    for (int i = 0; i < 3; ++i) {
        values[i] = std::getenv(kVariables[i]);
        same = same && (values[i] != nullptr) == memo.present[i] &&
               (values[i] == nullptr || memo.env[i] == values[i]);
    }
    if (!same) {
        for (int i = 0; i < 3; ++i) {
            memo.present[i] = values[i] != nullptr;
            memo.env[i] = values[i] != nullptr ? values[i] : "";
        }
        fs::path registryDir = root::StateRoot() / "registry";
        memo.machine = {(registryDir / "machine.db").string(), Location::Kind::Machine};
        if (root::IsExplicit()) {
            memo.user = {(registryDir / ("user-" + std::to_string(::geteuid()) + ".db")).string(),
                         Location::Kind::UserInRoot};
        } else {
            memo.user = {(ConfigHome() / "sorvex" / "user.db").string(),
                         Location::Kind::UserConfig};
        }
        memo.valid = true;
    }
    return hive == Hive::CurrentUser ? memo.user : memo.machine;
}

Connection::~Connection() {
    for (sqlite3_stmt*& stmt : m_Stmts) {
        sqlite3_finalize(stmt);
        stmt = nullptr;
    }
    if (m_Db != nullptr) {
        sqlite3_close(m_Db);
    }
}

void Connection::Fail(int rc, std::string_view what) {
    int primary = rc & 0xFF;
    if (primary == SQLITE_BUSY || primary == SQLITE_LOCKED) {
        throw BusyRetry{};
    }
    Status status = Status::Failed;
    if ((primary == SQLITE_READONLY && rc != SQLITE_READONLY_ROLLBACK &&
         rc != SQLITE_READONLY_RECOVERY) ||
        primary == SQLITE_PERM || primary == SQLITE_AUTH || primary == SQLITE_CANTOPEN) {
        status = Status::AccessDenied;
    }
    std::string detail = m_Path + ": " + std::string(what) + ": ";
    detail += m_Db != nullptr ? sqlite3_errmsg(m_Db) : sqlite3_errstr(rc);
    if (rc == SQLITE_READONLY_ROLLBACK || rc == SQLITE_READONLY_RECOVERY) {
        detail += " (an interrupted write must be rolled back by a user who may write it)";
    }
    throw StoreError{status, std::move(detail)};
}

sqlite3_stmt* Connection::Get(Stmt which) {
    sqlite3_stmt*& stmt = m_Stmts[which];
    if (stmt == nullptr) {
        int rc = sqlite3_prepare_v3(m_Db, kStatements[which], -1, SQLITE_PREPARE_PERSISTENT, &stmt,
                                    nullptr);
        if (rc != SQLITE_OK) {
            sqlite3_finalize(stmt);
            stmt = nullptr;
            Fail(rc, "cannot prepare a statement");
        }
    }
    return stmt;
}

bool Connection::Step(sqlite3_stmt* stmt) {
    int rc = sqlite3_step(stmt);
    if (rc == SQLITE_ROW) {
        return true;
    }
    if (rc == SQLITE_DONE) {
        return false;
    }
    sqlite3_reset(stmt);
    Fail(rc, "cannot run a statement");
}

void Connection::Exec(Stmt which) {
    sqlite3_stmt* stmt = Get(which);
    Step(stmt);
    sqlite3_reset(stmt);
}

void Connection::RollbackQuietly() {
    if (m_Db != nullptr && sqlite3_get_autocommit(m_Db) == 0) {
        // Fails only when there is nothing to roll back (SQLite already did).
        sqlite3_exec(m_Db, "ROLLBACK", nullptr, nullptr, nullptr);
    }
}

void Connection::Configure() {
    sqlite3_extended_result_codes(m_Db, 1);
    sqlite3_busy_timeout(m_Db, kBusyTimeoutMs);
    // Rollback journal, never WAL: WAL readers need write access to the -shm file, and a user
    // who may only read the hive must still be able to read it. The journal takes the
    // database file's mode, which is why the registry directory is group-writable.
    std::int64_t start = 0;
    for (int attempt = 0;; ++attempt) {
        char* message = nullptr;
        int rc = sqlite3_exec(m_Db, "PRAGMA journal_mode=DELETE", nullptr, nullptr, &message);
        sqlite3_free(message);
        if (rc == SQLITE_OK) {
            return;
        }
        if ((rc & 0xFF) != SQLITE_BUSY) {
            Fail(rc, "cannot set the journal mode");
        }
        if (start == 0) {
            start = NowNs();
        }
        BackOff(m_Path, attempt, start);
    }
}

void Connection::Pragma(const char* sql, std::string_view what) {
    char* message = nullptr;
    int rc = sqlite3_exec(m_Db, sql, nullptr, nullptr, &message);
    sqlite3_free(message);
    if (rc != SQLITE_OK) {
        Fail(rc, what);
    }
}

bool Connection::ReadHeader(FileHeader& header) {
    if (m_File == nullptr || m_File->pMethods == nullptr) {
        return false;
    }
    return m_File->pMethods->xRead(m_File, header.data(), static_cast<int>(header.size()), 0) ==
           SQLITE_OK;
}

bool Connection::ReadCommittedHeader(FileHeader& header) {
    return sqlite3_txn_state(m_Db, "main") >= SQLITE_TXN_READ && ReadHeader(header);
}

bool Connection::EnsureSchema(bool machine) {
    auto version = [this] {
        sqlite3_stmt* stmt = nullptr;
        int rc = sqlite3_prepare_v2(m_Db, "PRAGMA user_version", -1, &stmt, nullptr);
        if (rc != SQLITE_OK) {
            sqlite3_finalize(stmt);
            Fail(rc, "cannot read the schema version");
        }
        rc = sqlite3_step(stmt);
        int result = rc == SQLITE_ROW ? sqlite3_column_int(stmt, 0) : 0;
        sqlite3_finalize(stmt);
        if (rc != SQLITE_ROW) {
            Fail(rc, "cannot read the schema version");
        }
        return result;
    };
    int current = 0;
    Run(false, false, [&] {
        current = version();
        return Status::Ok;
    });
    if (current == kSchemaVersion) {
        return true;
    }
    if (current > kSchemaVersion) {
        throw StoreError{Status::Failed, m_Path +
                                             ": made by a newer version of the registry (schema " +
                                             std::to_string(current) + ")"};
    }
    if (m_ReadOnly) {
        return false;  // an empty file that this user cannot initialise
    }
    Run(true, true, [&] {
        if (version() != 0) {
            return Status::Ok;  // another connection made it meanwhile
        }
        std::string script = std::string(kSchema) + (machine ? kMachineKeys : "") +
                             "PRAGMA user_version = " + std::to_string(kSchemaVersion) + ";";
        char* message = nullptr;
        int rc = sqlite3_exec(m_Db, script.c_str(), nullptr, nullptr, &message);
        sqlite3_free(message);
        if (rc != SQLITE_OK) {
            Fail(rc, "cannot create the registry tables");
        }
        return Status::Ok;
    });
    return true;
}

std::unique_ptr<Connection> Connection::OpenFile(const Location& location) {
    std::unique_ptr<Connection> c(new Connection);
    c->m_Path = location.path;
    int rc = sqlite3_open_v2(location.path.c_str(), &c->m_Db,
                             SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_EXRESCODE,
                             nullptr);
    if (rc != SQLITE_OK) {
        c->Fail(rc, "cannot open the database");
    }
    // Writing needs the file and its directory (where the journal is made).
    std::string dir = fs::path(location.path).parent_path().string();
    c->m_ReadOnly = sqlite3_db_readonly(c->m_Db, "main") == 1 || ::access(dir.c_str(), W_OK) != 0;
    struct stat st {};
    if (::stat(location.path.c_str(), &st) != 0) {
        int error = errno;
        throw StoreError{ErrnoStatus(error),
                         "cannot reach " + location.path + ": " + ErrnoText(error)};
    }
    c->m_Device = st.st_dev;
    c->m_Inode = st.st_ino;
    c->Configure();
    // No memory map: the header is read without a lock (read_cache.h), and a read from a map
    // of a file that something else cut short would kill the process (SIGBUS) instead of
    // failing; a pread just comes back short.
    c->Pragma("PRAGMA mmap_size=0", "cannot turn off the memory map");
    int frc = sqlite3_file_control(c->m_Db, "main", SQLITE_FCNTL_FILE_POINTER, &c->m_File);
    if (frc != SQLITE_OK) {
        c->Fail(frc, "cannot reach the database file handle");
    }
    if (!c->EnsureSchema(location.kind == Location::Kind::Machine)) {
        return OpenEmpty(location);  // reads see an empty hive until a writer makes the tables
    }
    c->Run(false, false, [&] {
        sqlite3_stmt* stmt = nullptr;
        int prc = sqlite3_prepare_v2(c->m_Db, "SELECT value FROM meta WHERE name = 'database id'",
                                     -1, &stmt, nullptr);
        if (prc != SQLITE_OK) {
            sqlite3_finalize(stmt);
            c->Fail(prc, "cannot read the database id");
        }
        bool row = c->Step(stmt);
        c->m_DatabaseId = row ? sqlite3_column_int64(stmt, 0) : 0;
        sqlite3_finalize(stmt);
        return Status::Ok;
    });
    if (c->m_DatabaseId == 0) {
        throw StoreError{Status::Failed, location.path + ": the database has no id"};
    }
    return c;
}

std::unique_ptr<Connection> Connection::OpenEmpty(const Location& location) {
    std::unique_ptr<Connection> c(new Connection);
    c->m_Path = location.path;
    int rc = sqlite3_open_v2(":memory:", &c->m_Db,
                             SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_EXRESCODE,
                             nullptr);
    if (rc != SQLITE_OK) {
        c->Fail(rc, "cannot open an empty hive");
    }
    sqlite3_extended_result_codes(c->m_Db, 1);
    c->EnsureSchema(location.kind == Location::Kind::Machine);
    c->m_ReadOnly = true;
    c->m_Empty = true;
    return c;
}

Status RunWriteAll(std::span<Connection* const> connections, const std::function<Status()>& body) {
    auto rollbackAll = [&] {
        for (Connection* c : connections) {
            c->RollbackQuietly();
        }
    };
    std::int64_t start = 0;
    for (int attempt = 0;; ++attempt) {
        try {
            for (Connection* c : connections) {
                c->Exec(kBeginWrite);
            }
            Status status = body();
            if (status != Status::Ok) {
                rollbackAll();
                return status;
            }
            for (Connection* c : connections) {
                for (int commitAttempt = 0;; ++commitAttempt) {
                    try {
                        c->Exec(kCommit);
                        break;
                    } catch (const BusyRetry&) {
                        if (start == 0) {
                            start = NowNs();
                        }
                        BackOff(c->path(), commitAttempt, start);
                    }
                }
            }
            return Status::Ok;
        } catch (const BusyRetry&) {
            rollbackAll();
            if (start == 0) {
                start = NowNs();
            }
            BackOff(connections.front()->path(), attempt, start);
        } catch (...) {
            rollbackAll();
            throw;
        }
    }
}

Connection& Acquire(const Location& location, bool write, bool verifyPath) {
    ThreadCache& cache = t_Cache;
    unsigned generation = g_ForkGeneration.load(std::memory_order_relaxed);
    if (cache.generation != generation) {
        cache.Abandon();  // inherited through fork(): the parent's, not ours
        cache.generation = generation;
    }
    auto& list = cache.connections;
    if (!verifyPath) {
        for (auto& c : list) {
            if (c->path() == location.path && !c->empty() && !(write && c->readOnly())) {
                return *c;
            }
        }
    }
    struct stat st {};
    bool exists = false;
    if (::stat(location.path.c_str(), &st) == 0) {
        exists = true;
    } else if (errno != ENOENT && errno != ENOTDIR) {
        int error = errno;
        throw StoreError{ErrnoStatus(error),
                         "cannot reach " + location.path + ": " + ErrnoText(error)};
    }

    for (std::size_t i = 0; i < list.size(); ++i) {
        Connection& c = *list[i];
        if (c.path() != location.path) {
            continue;
        }
        // The same file as when it was opened (a removed or replaced file gets a new
        // connection), and able to do what is asked.
        bool current =
            exists ? (!c.empty() && c.device() == st.st_dev && c.inode() == st.st_ino) : c.empty();
        if (current && !(write && c.readOnly())) {
            if (i != 0) {
                std::rotate(list.begin(), list.begin() + static_cast<std::ptrdiff_t>(i),
                            list.begin() + static_cast<std::ptrdiff_t>(i) + 1);
            }
            return *list.front();
        }
        list.erase(list.begin() + static_cast<std::ptrdiff_t>(i));
        break;
    }

    std::unique_ptr<Connection> fresh;
    if (!exists && !write) {
        fresh = Connection::OpenEmpty(location);  // reading creates nothing
    } else {
        if (!exists) {
            CreateDatabaseFile(location);
        }
        fresh = Connection::OpenFile(location);
    }
    bool refused = write && fresh->readOnly();
    list.insert(list.begin(), std::move(fresh));
    if (list.size() > kMaxCachedPerThread) {
        list.pop_back();
    }
    if (refused) {
        std::string dir = fs::path(location.path).parent_path().string();
        std::string why = ::access(location.path.c_str(), W_OK) != 0
                              ? "the file is read-only for this user"
                              : "its directory " + dir + " is not writable for this user";
        throw StoreError{Status::AccessDenied, location.path + ": " + why};
    }
    return *list.front();
}

}  // namespace sorvex::registry::detail
