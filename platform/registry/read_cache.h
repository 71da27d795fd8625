// Internal to the registry: the answers of recent lookups on one connection, valid only while
// the database file's header is byte for byte the header they were read under.
//
// Why a header comparison is enough (rollback journal, journal_mode=DELETE): every commit
// increments the change counter at offset 24 of page 1 and writes page 1 into the file before
// its commit point (the removal of the journal). So when a header read now equals the header
// read inside the transaction that filled the cache, no commit has completed in between, and
// the cached answers are the committed state:
// - a commit in progress (pages written, page 1 not yet, or the journal still there) has not
//   changed the committed state; neither has a cache spill of a large transaction;
// - a writer that died in the middle leaves a hot journal; the next reader rolls it back to
//   exactly the state (and header) of the last commit, which is what the cache holds;
// - a read torn by a concurrent write of page 1 differs from the stored header, or shows only
//   bytes that equal it (the commit has not completed): either way the answer is right.
// The stored header is always one read under SQLite's shared lock, never one read without it.
// A header that says WAL mode (which some other program may have set) never answers: there,
// commits go to the -wal file and leave the header as it is.
// The whole 100-byte header is compared (counter, page count, free list, schema cookie, ...),
// which is stricter than the 16 bytes SQLite's own page cache relies on.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <list>
#include <string>
#include <string_view>
#include <unordered_map>

#include "platform/registry/registry.h"

namespace sorvex::registry::detail {

// The first 100 bytes of an SQLite database file.
using FileHeader = std::array<unsigned char, 100>;

// One remembered answer: a key lookup (status, id, stored path) or a value lookup (status,
// type, size and, for values up to kMaxValueBytes, the data).
struct CacheEntry {
    Status status = Status::Ok;  // Ok, NotFound or KeyDeleted
    std::int64_t id = 0;
    Type type = Type::None;
    std::size_t size = 0;
    bool hasData = false;
    std::string text;  // the stored path of a key, or the data of a value
};

// Least recently used entries go first when the cache is full. Used by one thread only.
class ReadCache {
  public:
    static constexpr std::size_t kMaxEntries = 512;
    static constexpr std::size_t kMaxBytes = 256 * 1024;
    static constexpr std::size_t kMaxValueBytes = 4096;  // larger data are not kept

    // The entry for `key` when the cache was filled under exactly `now`, else null; a cache
    // filled under another header is emptied. Only rollback-journal headers ever answer. The
    // pointer is good until the next call.
    const CacheEntry* Find(const FileHeader& now, std::string_view key);
    // Remembers an answer read in a transaction that saw `header` (under the shared lock).
    // Entries read under another header are dropped first. Data over kMaxValueBytes are not
    // kept (the entry keeps type and size); an entry over a sixteenth of kMaxBytes is not kept.
    void Put(const FileHeader& header, std::string key, CacheEntry entry);
    void Clear();

    std::size_t size() const { return m_Index.size(); }
    std::size_t bytes() const { return m_Bytes; }

  private:
    struct Node {
        std::string key;
        CacheEntry entry;
        std::size_t bytes = 0;
    };
    static bool RollbackJournal(const FileHeader& header);
    static std::size_t Cost(const Node& node);
    void EvictTo(std::size_t entries, std::size_t bytes);

    bool m_Valid = false;
    FileHeader m_Header{};
    std::list<Node> m_Lru;  // most recently used first
    std::unordered_map<std::string_view, std::list<Node>::iterator> m_Index;  // views of keys
    std::size_t m_Bytes = 0;
};

}  // namespace sorvex::registry::detail
