#include "platform/registry/registry.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <map>
#include <span>
#include <utility>
#include <vector>

#include "platform/registry/store.h"

namespace sorvex::registry {

using detail::Connection;
using detail::Location;

namespace {

thread_local std::string t_LastError;

// Turns the store's exceptions into the status the caller gets.
template <class F>
Status Guard(F&& f) {
    t_LastError.clear();
    try {
        return f();
    } catch (const detail::StoreError& e) {
        t_LastError = e.detail;
        return e.status;
    } catch (const detail::BusyRetry&) {
        t_LastError = "unexpected lock conflict outside a transaction";
        return Status::Failed;
    }
}

// Components of a key path; leading, trailing and doubled separators give none.
std::vector<std::string_view> Split(std::string_view path) {
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = path.find('\\', start);
        if (end == std::string_view::npos) {
            end = path.size();
        }
        if (end > start) {
            parts.push_back(path.substr(start, end - start));
        }
        start = end + 1;
    }
    return parts;
}

constexpr std::int64_t kRootId = 1;
constexpr std::array<std::string_view, 2> kClassesPrefix = {"SOFTWARE", "Classes"};

struct Reset {
    sqlite3_stmt* stmt;
    ~Reset() { sqlite3_reset(stmt); }
};

void BindBytes(sqlite3_stmt* stmt, int index, std::string_view bytes) {
    // A null pointer would bind NULL instead of an empty blob.
    sqlite3_bind_blob64(stmt, index, bytes.empty() ? "" : bytes.data(), bytes.size(),
                        SQLITE_STATIC);
}

std::string_view ColumnBytes(sqlite3_stmt* stmt, int column) {
    const void* data = sqlite3_column_blob(stmt, column);
    int size = sqlite3_column_bytes(stmt, column);
    if (data == nullptr || size <= 0) {
        return {};
    }
    return std::string_view(static_cast<const char*>(data), static_cast<std::size_t>(size));
}

void AppendComponent(std::string& path, std::string_view name) {
    if (!path.empty()) {
        path += '\\';
    }
    path.append(name);
}

bool KeyExists(Connection& c, std::int64_t id) {
    sqlite3_stmt* stmt = c.Get(detail::kKeyExists);
    Reset reset{stmt};
    sqlite3_bind_int64(stmt, 1, id);
    return c.Step(stmt);
}

// The child's id, or 0 when there is none. Appends its stored name to `stored` if given.
std::int64_t FindChild(Connection& c, std::int64_t parent, std::string_view name,
                       std::string* stored) {
    std::string folded = detail::Fold(name);
    sqlite3_stmt* stmt = c.Get(detail::kFindChild);
    Reset reset{stmt};
    sqlite3_bind_int64(stmt, 1, parent);
    BindBytes(stmt, 2, folded);
    if (!c.Step(stmt)) {
        return 0;
    }
    if (stored != nullptr) {
        AppendComponent(*stored, ColumnBytes(stmt, 1));
    }
    return sqlite3_column_int64(stmt, 0);
}

template <class Parts>
std::int64_t ResolveFrom(Connection& c, std::int64_t start, const Parts& parts,
                         std::string* stored) {
    std::int64_t id = start;
    for (std::string_view part : parts) {
        id = FindChild(c, id, part, stored);
        if (id == 0) {
            return 0;
        }
    }
    return id;
}

template <class Parts>
std::int64_t CreateFrom(Connection& c, std::int64_t start, const Parts& parts, std::string* stored,
                        bool* created) {
    std::int64_t id = start;
    bool made = false;
    for (std::string_view part : parts) {
        std::int64_t child = FindChild(c, id, part, stored);
        made = child == 0;
        if (made) {
            std::string folded = detail::Fold(part);
            sqlite3_stmt* stmt = c.Get(detail::kInsertKey);
            Reset reset{stmt};
            sqlite3_bind_int64(stmt, 1, id);
            BindBytes(stmt, 2, part);
            BindBytes(stmt, 3, folded);
            c.Step(stmt);
            child = c.LastInsertId();
            if (stored != nullptr) {
                AppendComponent(*stored, part);
            }
        }
        id = child;
    }
    if (created != nullptr) {
        *created = made;
    }
    return id;
}

// HKEY_CLASSES_ROOT paths are paths below HKEY_LOCAL_MACHINE "SOFTWARE\Classes".
std::int64_t ResolveInHive(Connection& c, Hive hive, std::span<const std::string_view> parts,
                           std::string* stored) {
    std::int64_t start = kRootId;
    if (hive == Hive::ClassesRoot) {
        start = ResolveFrom(c, kRootId, kClassesPrefix, nullptr);
        if (start == 0) {
            return 0;
        }
    }
    return ResolveFrom(c, start, parts, stored);
}

std::int64_t CreateInHive(Connection& c, Hive hive, std::span<const std::string_view> parts,
                          std::string* stored, bool* created) {
    std::int64_t start = kRootId;
    if (hive == Hive::ClassesRoot) {
        start = CreateFrom(c, kRootId, kClassesPrefix, nullptr, nullptr);
    }
    return CreateFrom(c, start, parts, stored, created);
}

// The roots of the hives, and the keys HKEY_CLASSES_ROOT lives in, are never deleted.
bool IsProtected(Hive hive, std::span<const std::string_view> parts) {
    if (parts.empty()) {
        return true;
    }
    if (hive != Hive::LocalMachine || parts.size() > 2) {
        return false;
    }
    for (std::size_t i = 0; i < parts.size(); ++i) {
        if (detail::Fold(parts[i]) != detail::Fold(kClassesPrefix[i])) {
            return false;
        }
    }
    return true;
}

void SetValueRow(Connection& c, std::int64_t key, std::string_view name, Type type,
                 std::string_view data) {
    std::string folded = detail::Fold(name);
    sqlite3_stmt* stmt = c.Get(detail::kSetValue);
    Reset reset{stmt};
    sqlite3_bind_int64(stmt, 1, key);
    BindBytes(stmt, 2, name);
    BindBytes(stmt, 3, folded);
    sqlite3_bind_int64(stmt, 4, static_cast<std::int64_t>(type));
    BindBytes(stmt, 5, data);
    c.Step(stmt);
}

bool DeleteValueRow(Connection& c, std::int64_t key, std::string_view name) {
    std::string folded = detail::Fold(name);
    sqlite3_stmt* stmt = c.Get(detail::kDeleteValue);
    Reset reset{stmt};
    sqlite3_bind_int64(stmt, 1, key);
    BindBytes(stmt, 2, folded);
    c.Step(stmt);
    return c.Changes() > 0;
}

void DeleteOneKey(Connection& c, std::int64_t id) {
    for (detail::Stmt which : {detail::kDeleteValues, detail::kDeleteKey}) {
        sqlite3_stmt* stmt = c.Get(which);
        Reset reset{stmt};
        sqlite3_bind_int64(stmt, 1, id);
        c.Step(stmt);
    }
}

void DeleteSubtree(Connection& c, std::int64_t top) {
    std::vector<std::int64_t> ids{top};
    for (std::size_t i = 0; i < ids.size(); ++i) {
        sqlite3_stmt* stmt = c.Get(detail::kChildIds);
        Reset reset{stmt};
        sqlite3_bind_int64(stmt, 1, ids[i]);
        while (c.Step(stmt)) {
            ids.push_back(sqlite3_column_int64(stmt, 0));
        }
    }
    for (std::int64_t id : ids) {
        DeleteOneKey(c, id);
    }
}

bool ValidAccess(unsigned access) {
    return access != 0 && (access & ~unsigned{kReadWrite}) == 0;
}

bool ValidValue(Type type, std::string_view data) {
    return type != Type::Dword || data.size() == 4;
}

// Cache keys: a tag, then what the lookup depends on. Key names hold no backslash, so folded
// components joined by backslashes name one path.
void AppendFoldedPath(std::string& key, std::span<const std::string_view> parts) {
    for (std::string_view part : parts) {
        key += detail::Fold(part);
        key += '\\';
    }
}

void AppendId(std::string& key, std::int64_t id) {
    char bytes[sizeof id];
    std::memcpy(bytes, &id, sizeof id);
    key.append(bytes, sizeof id);
}

std::string PathCacheKey(Hive hive, std::span<const std::string_view> parts) {
    std::string key(1, hive == Hive::ClassesRoot ? 'C' : 'P');
    AppendFoldedPath(key, parts);
    return key;
}

std::string SubkeyCacheKey(std::int64_t parent, std::span<const std::string_view> parts) {
    std::string key(1, 'S');
    AppendId(key, parent);
    AppendFoldedPath(key, parts);
    return key;
}

std::string FoldedValueCacheKey(std::int64_t id, std::string_view folded) {
    std::string key(1, 'V');
    AppendId(key, id);
    key += folded;
    return key;
}

std::string ValueCacheKey(std::int64_t id, std::string_view name) {
    return FoldedValueCacheKey(id, detail::Fold(name));
}

// Answers that a lookup found on the way, remembered with its own.
using CacheExtras = std::vector<std::pair<std::string, detail::CacheEntry>>;

// A lookup through the connection's read cache (read_cache.h). The file header is read first,
// without a lock; when the cache was filled under that very header, `use` gets the cached
// answer, unless `usable` refuses it. Otherwise `load` runs in a read transaction that also
// reads the header under the shared lock, `use` gets its answer, and it is remembered under
// that header, with the extras `load` added. An empty hive in memory is read directly.
// Returns what `use` returns.
template <class Load, class Usable, class Use>
Status Cached(Connection& c, std::string key, Load&& load, Usable&& usable, Use&& use) {
    detail::FileHeader header{};
    if (c.ReadHeader(header)) {
        const detail::CacheEntry* hit = c.cache().Find(header, key);
        if (hit != nullptr && usable(*hit)) {
            return use(*hit);
        }
    }
    detail::CacheEntry entry;
    CacheExtras extras;
    bool stamped = false;
    c.Run(false, true, [&] {
        extras.clear();
        entry = load(extras);
        stamped = c.ReadCommittedHeader(header);
        return Status::Ok;
    });
    Status status = use(entry);
    if (stamped) {
        for (auto& [extraKey, extraEntry] : extras) {
            c.cache().Put(header, std::move(extraKey), std::move(extraEntry));
        }
        c.cache().Put(header, std::move(key), std::move(entry));
    }
    return status;
}

bool AnyEntry(const detail::CacheEntry&) {
    return true;
}

// Reads the values of a key just found, in the same transaction, for the reads that usually
// follow an open (a service object reads several values of its profile). At most a few.
constexpr std::int64_t kValuesReadWithAKey = 32;

void LoadValuesOf(Connection& c, std::int64_t id, CacheExtras& extras) {
    sqlite3_stmt* stmt = c.Get(detail::kFirstValues);
    Reset reset{stmt};
    sqlite3_bind_int64(stmt, 1, id);
    sqlite3_bind_int64(stmt, 2, static_cast<std::int64_t>(detail::ReadCache::kMaxValueBytes));
    sqlite3_bind_int64(stmt, 3, kValuesReadWithAKey);
    while (c.Step(stmt)) {
        detail::CacheEntry& entry =
            extras.emplace_back(FoldedValueCacheKey(id, ColumnBytes(stmt, 0)), detail::CacheEntry{})
                .second;
        entry.type = static_cast<Type>(sqlite3_column_int64(stmt, 1));
        entry.size = static_cast<std::size_t>(sqlite3_column_int64(stmt, 2));
        entry.hasData = sqlite3_column_type(stmt, 3) != SQLITE_NULL;
        if (entry.hasData) {
            entry.text = std::string(ColumnBytes(stmt, 3));
        }
    }
}

// The value `name` of key `id`: type and size, and the data when they fit in `room` bytes or
// are small enough for the cache.
detail::CacheEntry LoadValue(Connection& c, std::int64_t id, std::string_view name,
                             std::size_t room) {
    detail::CacheEntry entry;
    std::string folded = detail::Fold(name);
    sqlite3_stmt* stmt = c.Get(detail::kLookupValue);
    Reset reset{stmt};
    sqlite3_bind_int64(stmt, 1, id);
    BindBytes(stmt, 2, folded);
    std::size_t limit = std::max(room, detail::ReadCache::kMaxValueBytes);
    sqlite3_bind_int64(stmt, 3,
                       static_cast<std::int64_t>(
                           std::min<std::size_t>(limit, std::numeric_limits<std::int64_t>::max())));
    if (!c.Step(stmt)) {
        entry.status = KeyExists(c, id) ? Status::NotFound : Status::KeyDeleted;
        return entry;
    }
    entry.type = static_cast<Type>(sqlite3_column_int64(stmt, 0));
    entry.size = static_cast<std::size_t>(sqlite3_column_int64(stmt, 1));
    entry.hasData = sqlite3_column_type(stmt, 2) != SQLITE_NULL;
    if (entry.hasData) {
        entry.text = std::string(ColumnBytes(stmt, 2));
    }
    return entry;
}

// Looks a value up through the cache and hands an Ok answer to `use`, which gets the data
// whenever they fit in `room` bytes (other statuses are returned as they are).
template <class Use>
Status LookupValue(Connection& c, std::int64_t id, std::string_view name, std::size_t room,
                   Use&& use) {
    return Cached(
        c, ValueCacheKey(id, name), [&](CacheExtras&) { return LoadValue(c, id, name, room); },
        [&](const detail::CacheEntry& e) {
            return e.status != Status::Ok || e.hasData || e.size > room;
        },
        [&](const detail::CacheEntry& e) { return e.status == Status::Ok ? use(e) : e.status; });
}

}  // namespace

struct Key::Impl {
    Location location;
    Hive hive = Hive::LocalMachine;
    unsigned access = kRead;
    std::int64_t id = 0;
    // The database the id belongs to; 0 when the key was opened in a hive whose file did not
    // exist yet (only the fixed top keys, whose ids every new file repeats).
    std::int64_t databaseId = 0;
    std::string path;  // below the hive, as stored
};

namespace {

std::unique_ptr<Key::Impl> MakeImpl(const Location& location, const Connection& c, Hive hive,
                                    unsigned access) {
    auto impl = std::make_unique<Key::Impl>();
    impl->location = location;
    impl->hive = hive;
    impl->access = access;
    impl->databaseId = c.databaseId();
    return impl;
}

bool SameDatabase(const Key::Impl& impl, const Connection& c) {
    return impl.databaseId == 0 || c.databaseId() == impl.databaseId;
}

// Runs an operation on an open key with the calling thread's connection.
template <class F>
Status WithKey(const Key::Impl* impl, unsigned need, bool write, F&& f) {
    t_LastError.clear();
    if (impl == nullptr) {
        return Status::InvalidHandle;
    }
    if ((impl->access & need) != need) {
        return Status::AccessDenied;
    }
    return Guard([&] {
        // Reads of an open key stay with the file it was opened in; writes look at the path.
        Connection& c = detail::Acquire(impl->location, write, write);
        if (!SameDatabase(*impl, c)) {
            return Status::KeyDeleted;  // the whole file was removed or replaced
        }
        return f(c);
    });
}

}  // namespace

std::string_view StatusText(Status status) {
    switch (status) {
        case Status::Ok:
            return "The operation completed successfully.";
        case Status::NotFound:
            return "The system cannot find the file specified.";
        case Status::AccessDenied:
            return "Access is denied.";
        case Status::InvalidHandle:
            return "The handle is invalid.";
        case Status::InvalidParameter:
            return "The parameter is incorrect.";
        case Status::MoreData:
            return "More data is available.";
        case Status::KeyDeleted:
            return "Illegal operation attempted on a registry key that has been marked for "
                   "deletion.";
        case Status::Failed:
            return "An internal error occurred.";
    }
    return "Unknown error.";
}

std::string LastErrorDetail() {
    return t_LastError;
}

Key::Key() = default;
Key::~Key() = default;
Key::Key(Key&&) noexcept = default;
Key& Key::operator=(Key&&) noexcept = default;
Key::Key(std::unique_ptr<Impl> impl) : m_Impl(std::move(impl)) {}

bool Key::IsOpen() const {
    return m_Impl != nullptr;
}

void Key::Close() {
    m_Impl.reset();
}

std::string Key::Path() const {
    return m_Impl ? m_Impl->path : std::string();
}

Status Key::Open(Hive hive, std::string_view path, unsigned access, Key& out) {
    if (!ValidAccess(access)) {
        t_LastError.clear();
        out.Close();
        return Status::InvalidParameter;
    }
    Key result;
    Status status = Guard([&] {
        Location location = detail::LocateHive(hive);
        Connection& c = detail::Acquire(location, (access & kWrite) != 0);
        auto impl = MakeImpl(location, c, hive, access);
        std::vector<std::string_view> parts = Split(path);
        Status s = Status::Ok;
        if (parts.empty() && hive != Hive::ClassesRoot) {
            impl->id = kRootId;  // always there; nothing to look up
        } else {
            // The whole walk is one read transaction (one lock, one consistent view).
            s = Cached(
                c, PathCacheKey(hive, parts),
                [&](CacheExtras& extras) {
                    detail::CacheEntry e;
                    e.id = ResolveInHive(c, hive, parts, &e.text);
                    e.status = e.id == 0 ? Status::NotFound : Status::Ok;
                    if (e.id != 0) {
                        LoadValuesOf(c, e.id, extras);
                    }
                    return e;
                },
                AnyEntry,
                [&](const detail::CacheEntry& e) {
                    impl->id = e.id;
                    impl->path = e.text;
                    return e.status;
                });
        }
        if (s == Status::Ok) {
            result = Key(std::move(impl));
        }
        return s;
    });
    out = std::move(result);
    return status;
}

Status Key::Create(Hive hive, std::string_view path, Key& out, bool* created) {
    Key result;
    Status status = Guard([&] {
        Location location = detail::LocateHive(hive);
        Connection& c = detail::Acquire(location, true);
        auto impl = MakeImpl(location, c, hive, kReadWrite);
        std::vector<std::string_view> parts = Split(path);
        Status s = c.Run(true, true, [&] {
            impl->path.clear();
            impl->id = CreateInHive(c, hive, parts, &impl->path, created);
            return Status::Ok;
        });
        if (s == Status::Ok) {
            result = Key(std::move(impl));
        }
        return s;
    });
    out = std::move(result);
    return status;
}

Status Key::OpenSubkey(std::string_view path, unsigned access, Key& out) const {
    if (!ValidAccess(access)) {
        t_LastError.clear();
        out.Close();
        return Status::InvalidParameter;
    }
    Key result;
    Status status = WithKey(m_Impl.get(), 0, (access & kWrite) != 0, [&](Connection& c) {
        auto impl = std::make_unique<Impl>(*m_Impl);
        impl->access = access;
        std::vector<std::string_view> parts = Split(path);
        Status s = Cached(
            c, SubkeyCacheKey(m_Impl->id, parts),
            [&](CacheExtras& extras) {
                detail::CacheEntry e;
                if (!KeyExists(c, m_Impl->id)) {
                    e.status = Status::KeyDeleted;
                    return e;
                }
                e.id = ResolveFrom(c, m_Impl->id, parts, &e.text);  // the path below the key
                e.status = e.id == 0 ? Status::NotFound : Status::Ok;
                if (e.id != 0) {
                    LoadValuesOf(c, e.id, extras);
                }
                return e;
            },
            AnyEntry,
            [&](const detail::CacheEntry& e) {
                impl->id = e.id;
                impl->path = m_Impl->path;
                if (!impl->path.empty() && !e.text.empty()) {
                    impl->path += '\\';
                }
                impl->path += e.text;
                return e.status;
            });
        if (s == Status::Ok) {
            result = Key(std::move(impl));
        }
        return s;
    });
    out = std::move(result);
    return status;
}

Status Key::CreateSubkey(std::string_view path, Key& out, bool* created) const {
    Key result;
    Status status = WithKey(m_Impl.get(), kWrite, true, [&](Connection& c) {
        auto impl = std::make_unique<Impl>(*m_Impl);
        impl->access = kReadWrite;
        std::vector<std::string_view> parts = Split(path);
        Status s = c.Run(true, true, [&] {
            if (!KeyExists(c, m_Impl->id)) {
                return Status::KeyDeleted;
            }
            impl->path = m_Impl->path;
            impl->id = CreateFrom(c, m_Impl->id, parts, &impl->path, created);
            return Status::Ok;
        });
        if (s == Status::Ok) {
            result = Key(std::move(impl));
        }
        return s;
    });
    out = std::move(result);
    return status;
}

Status Key::QueryInfo(std::string_view name, Type* type, std::size_t* size) const {
    return WithKey(m_Impl.get(), kRead, false, [&](Connection& c) {
        return LookupValue(c, m_Impl->id, name, 0, [&](const detail::CacheEntry& e) {
            if (type != nullptr) {
                *type = e.type;
            }
            if (size != nullptr) {
                *size = e.size;
            }
            return Status::Ok;
        });
    });
}

Status Key::Query(std::string_view name, Type* type, void* buffer, std::size_t* size) const {
    if (size == nullptr || (buffer == nullptr && *size != 0)) {
        return m_Impl ? Status::InvalidParameter : Status::InvalidHandle;
    }
    return WithKey(m_Impl.get(), kRead, false, [&](Connection& c) {
        return LookupValue(c, m_Impl->id, name, *size, [&](const detail::CacheEntry& e) {
            if (type != nullptr) {
                *type = e.type;
            }
            if (e.size > *size) {
                *size = e.size;
                return Status::MoreData;
            }
            if (e.size != 0) {
                std::memcpy(buffer, e.text.data(), e.size);
            }
            *size = e.size;
            return Status::Ok;
        });
    });
}

Status Key::Get(std::string_view name, Value& out) const {
    return WithKey(m_Impl.get(), kRead, false, [&](Connection& c) {
        return LookupValue(c, m_Impl->id, name, std::numeric_limits<std::size_t>::max(),
                           [&](const detail::CacheEntry& e) {
                               out.type = e.type;
                               out.data = e.text;
                               return Status::Ok;
                           });
    });
}

Status Key::Set(std::string_view name, Type type, std::string_view data) {
    t_LastError.clear();
    if (m_Impl && !ValidValue(type, data)) {
        return Status::InvalidParameter;
    }
    return WithKey(m_Impl.get(), kWrite, true, [&](Connection& c) {
        return c.Run(true, true, [&] {
            if (!KeyExists(c, m_Impl->id)) {
                return Status::KeyDeleted;
            }
            SetValueRow(c, m_Impl->id, name, type, data);
            return Status::Ok;
        });
    });
}

Status Key::SetString(std::string_view name, std::string_view text) {
    return Set(name, Type::String, text);
}

Status Key::SetDword(std::string_view name, std::uint32_t number) {
    char bytes[4] = {static_cast<char>(number & 0xFF), static_cast<char>((number >> 8) & 0xFF),
                     static_cast<char>((number >> 16) & 0xFF),
                     static_cast<char>((number >> 24) & 0xFF)};
    return Set(name, Type::Dword, std::string_view(bytes, 4));
}

Status Key::DeleteValue(std::string_view name) {
    return WithKey(m_Impl.get(), kWrite, true, [&](Connection& c) {
        return c.Run(true, true, [&] {
            if (!KeyExists(c, m_Impl->id)) {
                return Status::KeyDeleted;
            }
            return DeleteValueRow(c, m_Impl->id, name) ? Status::Ok : Status::NotFound;
        });
    });
}

Status Key::Subkeys(std::vector<std::string>& names) const {
    return WithKey(m_Impl.get(), kRead, false, [&](Connection& c) {
        return c.Run(false, true, [&] {
            names.clear();
            if (!KeyExists(c, m_Impl->id)) {
                return Status::KeyDeleted;
            }
            sqlite3_stmt* stmt = c.Get(detail::kSubkeyNames);
            Reset reset{stmt};
            sqlite3_bind_int64(stmt, 1, m_Impl->id);
            while (c.Step(stmt)) {
                names.emplace_back(ColumnBytes(stmt, 0));
            }
            return Status::Ok;
        });
    });
}

Status Key::Values(std::vector<NamedValue>& values) const {
    return WithKey(m_Impl.get(), kRead, false, [&](Connection& c) {
        return c.Run(false, true, [&] {
            values.clear();
            if (!KeyExists(c, m_Impl->id)) {
                return Status::KeyDeleted;
            }
            sqlite3_stmt* stmt = c.Get(detail::kListValues);
            Reset reset{stmt};
            sqlite3_bind_int64(stmt, 1, m_Impl->id);
            while (c.Step(stmt)) {
                NamedValue& v = values.emplace_back();
                v.name = std::string(ColumnBytes(stmt, 0));
                v.value.type = static_cast<Type>(sqlite3_column_int64(stmt, 1));
                v.value.data = std::string(ColumnBytes(stmt, 2));
            }
            return Status::Ok;
        });
    });
}

Status DeleteKey(Hive hive, std::string_view path) {
    return Guard([&] {
        std::vector<std::string_view> parts = Split(path);
        if (IsProtected(hive, parts)) {
            return Status::AccessDenied;
        }
        Connection& c = detail::Acquire(detail::LocateHive(hive), true);
        return c.Run(true, true, [&] {
            std::int64_t id = ResolveInHive(c, hive, parts, nullptr);
            if (id == 0) {
                return Status::NotFound;
            }
            sqlite3_stmt* stmt = c.Get(detail::kHasSubkey);
            Reset reset{stmt};
            sqlite3_bind_int64(stmt, 1, id);
            if (c.Step(stmt)) {
                return Status::AccessDenied;
            }
            DeleteOneKey(c, id);
            return Status::Ok;
        });
    });
}

Status DeleteTree(Hive hive, std::string_view path) {
    return Guard([&] {
        std::vector<std::string_view> parts = Split(path);
        if (IsProtected(hive, parts)) {
            return Status::AccessDenied;
        }
        Connection& c = detail::Acquire(detail::LocateHive(hive), true);
        return c.Run(true, true, [&] {
            std::int64_t id = ResolveInHive(c, hive, parts, nullptr);
            if (id == 0) {
                return Status::NotFound;
            }
            DeleteSubtree(c, id);
            return Status::Ok;
        });
    });
}

struct Batch::Change {
    enum class Kind { CreateKey, SetValue, DeleteValue, DeleteTree };
    Kind kind;
    Hive hive;
    std::string path;
    std::string name;
    Type type = Type::None;
    std::string data;
};

Batch::Batch() = default;
Batch::~Batch() = default;

void Batch::CreateKey(Hive hive, std::string path) {
    m_Changes.push_back({Change::Kind::CreateKey, hive, std::move(path), {}, Type::None, {}});
}

void Batch::SetValue(Hive hive, std::string path, std::string name, Type type, std::string data) {
    m_Changes.push_back(
        {Change::Kind::SetValue, hive, std::move(path), std::move(name), type, std::move(data)});
}

void Batch::DeleteValue(Hive hive, std::string path, std::string name) {
    m_Changes.push_back(
        {Change::Kind::DeleteValue, hive, std::move(path), std::move(name), Type::None, {}});
}

void Batch::DeleteTree(Hive hive, std::string path) {
    m_Changes.push_back({Change::Kind::DeleteTree, hive, std::move(path), {}, Type::None, {}});
}

bool Batch::Empty() const {
    return m_Changes.empty();
}

Status Batch::Commit() {
    t_LastError.clear();
    if (m_Changes.empty()) {
        return Status::Ok;
    }
    for (const Change& change : m_Changes) {
        if (change.kind == Change::Kind::SetValue && !ValidValue(change.type, change.data)) {
            return Status::InvalidParameter;
        }
        if (change.kind == Change::Kind::DeleteTree &&
            IsProtected(change.hive, Split(change.path))) {
            return Status::AccessDenied;
        }
    }
    Status status = Guard([&] {
        // One transaction per database file, begun in the order of the file names.
        std::map<std::string, Location> locations;
        std::vector<std::string> changePaths;
        changePaths.reserve(m_Changes.size());
        for (const Change& change : m_Changes) {
            Location location = detail::LocateHive(change.hive);
            changePaths.push_back(location.path);
            locations.emplace(location.path, std::move(location));
        }
        std::map<std::string, Connection*> byPath;
        std::vector<Connection*> connections;
        for (const auto& [path, location] : locations) {
            Connection* c = &detail::Acquire(location, true);
            byPath[path] = c;
            connections.push_back(c);
        }
        return detail::RunWriteAll(connections, [&] {
            for (std::size_t i = 0; i < m_Changes.size(); ++i) {
                const Change& change = m_Changes[i];
                Connection& c = *byPath[changePaths[i]];
                std::vector<std::string_view> parts = Split(change.path);
                switch (change.kind) {
                    case Change::Kind::CreateKey:
                        CreateInHive(c, change.hive, parts, nullptr, nullptr);
                        break;
                    case Change::Kind::SetValue: {
                        std::int64_t id = CreateInHive(c, change.hive, parts, nullptr, nullptr);
                        SetValueRow(c, id, change.name, change.type, change.data);
                        break;
                    }
                    case Change::Kind::DeleteValue:
                        if (std::int64_t id = ResolveInHive(c, change.hive, parts, nullptr)) {
                            DeleteValueRow(c, id, change.name);
                        }
                        break;
                    case Change::Kind::DeleteTree:
                        if (std::int64_t id = ResolveInHive(c, change.hive, parts, nullptr)) {
                            DeleteSubtree(c, id);
                        }
                        break;
                }
            }
            return Status::Ok;
        });
    });
    if (status == Status::Ok) {
        m_Changes.clear();
    }
    return status;
}

std::filesystem::path MachineDatabasePath() {
    return detail::LocateHive(Hive::LocalMachine).path;
}

std::filesystem::path UserDatabasePath() {
    return detail::LocateHive(Hive::CurrentUser).path;
}

}  // namespace sorvex::registry
