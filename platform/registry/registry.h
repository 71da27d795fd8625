// The registry: a hierarchical key/value store on SQLite, one database per hive.
//
//   HKEY_LOCAL_MACHINE  <root>/registry/machine.db
//   HKEY_CURRENT_USER   $XDG_CONFIG_HOME/sorvex/user.db (default ~/.config/sorvex/user.db), or
//                       <root>/registry/user-<uid>.db when SORVEX_ROOT is set explicitly
//   HKEY_CLASSES_ROOT   a view of HKEY_LOCAL_MACHINE "SOFTWARE\Classes"
//
// Key paths are separated by backslashes ("SOFTWARE\OLEforRetail\ServiceOPOS"); leading,
// trailing and doubled separators are ignored. Key and value names compare case-insensitively
// (ASCII letters) and keep the spelling they were created with. The value named "" is the key's
// default value. Data are byte strings: REG_SZ holds the characters without a terminator and may
// contain any byte, 0x00 and 0xFF included; REG_DWORD holds 4 bytes, little-endian.
//
// Every change is one SQLite transaction; a subtree delete or a Batch is all or nothing. Many
// threads and processes may read and write one hive at once; lock contention is waited out (it
// is never reported as an error). Reads are answered from a per-thread cache only after each
// call has checked that the hive file has not changed since the answer was read (any commit, by
// any process, changes the file's header), so a value written by this or another process is
// seen by the next read, and a key deleted meanwhile gives KeyDeleted or NotFound as ever.
//
// Errors are Status values with the Win32 numbers callers put into messages. Functions never
// throw for registry conditions; they may throw std::bad_alloc.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace sorvex::registry {

enum class Hive { LocalMachine, CurrentUser, ClassesRoot };

enum class Type : std::uint32_t {
    None = 0,    // REG_NONE
    String = 1,  // REG_SZ
    Binary = 3,  // REG_BINARY
    Dword = 4,   // REG_DWORD (little-endian)
};

enum class Status : long {
    Ok = 0,
    NotFound = 2,           // ERROR_FILE_NOT_FOUND: no such key or value
    AccessDenied = 5,       // ERROR_ACCESS_DENIED: no permission, or deleting a key with subkeys
    InvalidHandle = 6,      // ERROR_INVALID_HANDLE: the Key is not open
    InvalidParameter = 87,  // ERROR_INVALID_PARAMETER: bad name, bad type, bad data size
    MoreData = 234,         // ERROR_MORE_DATA: the caller's buffer is too small
    KeyDeleted = 1018,      // ERROR_KEY_DELETED: the open key was deleted meanwhile
    Failed = 1359,          // ERROR_INTERNAL_ERROR: the store failed (I/O, corrupt file)
};

// Short English description of a status ("The system cannot find the file specified.").
std::string_view StatusText(Status status);

// What went wrong in the store for the last call on this thread that returned AccessDenied or
// Failed because of it, naming the database file ("/var/lib/sorvex/registry/machine.db: the
// file is read-only for this user"); for the one-line messages of tools. Empty when the call
// failed for another reason (a protected key, no write access through the handle).
std::string LastErrorDetail();

enum Access : unsigned {
    kRead = 1,
    kWrite = 2,  // set and delete values, create subkeys
    kReadWrite = kRead | kWrite,
};

struct Value {
    Type type = Type::None;
    std::string data;
};

struct NamedValue {
    std::string name;
    Value value;
};

// An open key: a handle to one key of one hive. Movable, not copyable; closes itself.
class Key {
  public:
    Key();
    ~Key();
    Key(Key&&) noexcept;
    Key& operator=(Key&&) noexcept;
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;

    // Opens an existing key. An empty path opens the hive's root key.
    static Status Open(Hive hive, std::string_view path, unsigned access, Key& out);
    // Opens the key, creating it and any missing parents. `created` (optional) tells whether
    // the key itself is new.
    static Status Create(Hive hive, std::string_view path, Key& out, bool* created = nullptr);

    bool IsOpen() const;
    void Close();
    // The full path as stored (case as created), without the hive name.
    std::string Path() const;

    Status OpenSubkey(std::string_view path, unsigned access, Key& out) const;
    Status CreateSubkey(std::string_view path, Key& out, bool* created = nullptr) const;

    // Type and size in bytes of a value.
    Status QueryInfo(std::string_view name, Type* type, std::size_t* size) const;
    // Copies the value into `buffer` of `*size` bytes. When it does not fit, nothing is copied,
    // MoreData is returned and `*size` becomes the size needed. On success `*size` is the
    // value's size. `type` may be null; so may `buffer` when `*size` is 0.
    Status Query(std::string_view name, Type* type, void* buffer, std::size_t* size) const;
    // The whole value.
    Status Get(std::string_view name, Value& out) const;

    Status Set(std::string_view name, Type type, std::string_view data);
    Status SetString(std::string_view name, std::string_view text);
    Status SetDword(std::string_view name, std::uint32_t number);
    Status DeleteValue(std::string_view name);

    // Immediate subkey names, sorted case-insensitively.
    Status Subkeys(std::vector<std::string>& names) const;
    // Values of this key, sorted case-insensitively by name (default value first).
    Status Values(std::vector<NamedValue>& values) const;

    struct Impl;

  private:
    explicit Key(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> m_Impl;
};

// Deletes a key that has no subkeys (AccessDenied when it has some; NotFound when absent).
Status DeleteKey(Hive hive, std::string_view path);
// Deletes a key with everything below it, in one transaction. NotFound when absent.
Status DeleteTree(Hive hive, std::string_view path);

// Several changes applied as one transaction per hive: either all of a hive's changes are
// stored or none. Changes apply in the order they were added.
class Batch {
  public:
    Batch();
    ~Batch();
    Batch(const Batch&) = delete;
    Batch& operator=(const Batch&) = delete;

    void CreateKey(Hive hive, std::string path);
    void SetValue(Hive hive, std::string path, std::string name, Type type, std::string data);
    void DeleteValue(Hive hive, std::string path, std::string name);  // absent value: no error
    void DeleteTree(Hive hive, std::string path);                     // absent key: no error
    bool Empty() const;

    // Applies the changes; a hive's file that the caller may not write makes the whole commit
    // fail with AccessDenied before anything is stored. On success the batch is emptied.
    Status Commit();

    struct Change;

  private:
    std::vector<Change> m_Changes;
};

// Where the hives live for the current state root and user (for tools, tests and docs).
std::filesystem::path MachineDatabasePath();
std::filesystem::path UserDatabasePath();

// Hive names as `reg` spells them: "HKLM" / "HKEY_LOCAL_MACHINE", "HKCU" /
// "HKEY_CURRENT_USER", "HKCR" / "HKEY_CLASSES_ROOT" (any case). Splits "HKLM\SOFTWARE\X" into
// the hive and the rest; false when the first component names no hive.
bool ParseRootedPath(std::string_view rooted, Hive& hive, std::string& path);
std::string_view HiveLongName(Hive hive);  // "HKEY_LOCAL_MACHINE", ...

}  // namespace sorvex::registry
