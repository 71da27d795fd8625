#include "platform/registry/read_cache.h"

namespace sorvex::registry::detail {

namespace {

// What a node costs beyond its strings: the list node, the index slot, the entry itself.
constexpr std::size_t kNodeOverhead = 128;

}  // namespace

bool ReadCache::RollbackJournal(const FileHeader& header) {
    // File format write and read versions: 1 for the rollback journal, 2 for WAL.
    return header[18] == 1 && header[19] == 1;
}

std::size_t ReadCache::Cost(const Node& node) {
    return kNodeOverhead + node.key.capacity() + node.entry.text.capacity();
}

const CacheEntry* ReadCache::Find(const FileHeader& now, std::string_view key) {
    if (!m_Valid) {
        return nullptr;
    }
    if (now != m_Header) {
        Clear();
        return nullptr;
    }
    auto found = m_Index.find(key);
    if (found == m_Index.end()) {
        return nullptr;
    }
    m_Lru.splice(m_Lru.begin(), m_Lru, found->second);
    return &found->second->entry;
}

void ReadCache::Put(const FileHeader& header, std::string key, CacheEntry entry) {
    if (!RollbackJournal(header)) {
        Clear();
        return;
    }
    if (!m_Valid || header != m_Header) {
        Clear();
        m_Header = header;
        m_Valid = true;
    }
    if (entry.hasData && entry.text.size() > kMaxValueBytes) {
        entry.hasData = false;
        std::string().swap(entry.text);
    }
    if (auto found = m_Index.find(key); found != m_Index.end()) {
        m_Bytes -= found->second->bytes;
        m_Lru.erase(found->second);
        m_Index.erase(found);
    }
    Node node{std::move(key), std::move(entry), 0};
    node.bytes = Cost(node);
    if (node.bytes > kMaxBytes / 16) {
        return;
    }
    EvictTo(kMaxEntries - 1, kMaxBytes - node.bytes);
    m_Lru.push_front(std::move(node));
    m_Bytes += m_Lru.front().bytes;
    m_Index.emplace(m_Lru.front().key, m_Lru.begin());
}

void ReadCache::Clear() {
    m_Index.clear();
    m_Lru.clear();
    m_Bytes = 0;
    m_Valid = false;
}

void ReadCache::EvictTo(std::size_t entries, std::size_t bytes) {
    while (!m_Lru.empty() && (m_Index.size() > entries || m_Bytes > bytes)) {
        m_Bytes -= m_Lru.back().bytes;
        m_Index.erase(m_Lru.back().key);
        m_Lru.pop_back();
    }
}

}  // namespace sorvex::registry::detail
