#include "platform/registry/read_cache.h"

#include <gtest/gtest.h>

#include <string>

namespace sorvex::registry::detail {
namespace {

FileHeader HeaderWithCounter(unsigned char counter) {
    FileHeader header{};
    header[18] = 1;  // rollback journal
    header[19] = 1;
    header[27] = counter;
    return header;
}

CacheEntry ValueEntry(std::string data) {
    CacheEntry entry;
    entry.type = Type::Binary;
    entry.size = data.size();
    entry.hasData = true;
    entry.text = std::move(data);
    return entry;
}

TEST(ReadCache, AnswersOnlyUnderTheHeaderItWasFilledUnder) {
    ReadCache cache;
    const FileHeader first = HeaderWithCounter(1);
    EXPECT_EQ(cache.Find(first, "k"), nullptr);
    cache.Put(first, "k", ValueEntry("one"));
    const CacheEntry* hit = cache.Find(first, "k");
    ASSERT_NE(hit, nullptr);
    EXPECT_EQ(hit->text, "one");

    // Any byte of the header, not only the change counter, makes the cache outdated.
    FileHeader other = first;
    other[99] ^= 1;
    EXPECT_EQ(cache.Find(other, "k"), nullptr);
    EXPECT_EQ(cache.size(), 0u);
    EXPECT_EQ(cache.Find(first, "k"), nullptr) << "an outdated cache must stay empty";

    // Filling under a new header drops what was read under another.
    cache.Put(first, "a", ValueEntry("a"));
    cache.Put(HeaderWithCounter(2), "b", ValueEntry("b"));
    EXPECT_EQ(cache.Find(HeaderWithCounter(2), "a"), nullptr);
    ASSERT_NE(cache.Find(HeaderWithCounter(2), "b"), nullptr);

    // In WAL mode commits leave the header alone: such a header never fills the cache.
    FileHeader wal = HeaderWithCounter(3);
    wal[18] = wal[19] = 2;
    cache.Put(wal, "w", ValueEntry("w"));
    EXPECT_EQ(cache.Find(wal, "w"), nullptr);
    EXPECT_EQ(cache.size(), 0u);
}

TEST(ReadCache, KeepsTypeAndSizeButNotTheDataOfLargeValues) {
    ReadCache cache;
    const FileHeader header = HeaderWithCounter(1);
    cache.Put(header, "big", ValueEntry(std::string(ReadCache::kMaxValueBytes + 1, '\xff')));
    cache.Put(header, "edge", ValueEntry(std::string(ReadCache::kMaxValueBytes, '\0')));
    const CacheEntry* big = cache.Find(header, "big");
    ASSERT_NE(big, nullptr);
    EXPECT_FALSE(big->hasData);
    EXPECT_TRUE(big->text.empty());
    EXPECT_EQ(big->size, ReadCache::kMaxValueBytes + 1);
    const CacheEntry* edge = cache.Find(header, "edge");
    ASSERT_NE(edge, nullptr);
    EXPECT_TRUE(edge->hasData);
    EXPECT_EQ(edge->text, std::string(ReadCache::kMaxValueBytes, '\0'));
}

TEST(ReadCache, StaysWithinItsBoundsDroppingTheLeastRecentlyUsed) {
    struct Row {
        std::size_t dataBytes;
        std::size_t puts;
    };
    const Row rows[] = {
        {8, 3 * ReadCache::kMaxEntries},   // the entry count limits
        {ReadCache::kMaxValueBytes, 400},  // the byte count limits
    };
    for (const Row& row : rows) {
        ReadCache cache;
        const FileHeader header = HeaderWithCounter(7);
        cache.Put(header, "kept", ValueEntry("x"));
        for (std::size_t i = 0; i < row.puts; ++i) {
            cache.Put(header, "key" + std::to_string(i),
                      ValueEntry(std::string(row.dataBytes, 'd')));
            ASSERT_NE(cache.Find(header, "kept"), nullptr) << "used on every round, never dropped";
            ASSERT_LE(cache.size(), ReadCache::kMaxEntries);
            ASSERT_LE(cache.bytes(), ReadCache::kMaxBytes);
        }
        EXPECT_EQ(cache.Find(header, "key0"), nullptr) << row.dataBytes;
        EXPECT_NE(cache.Find(header, "key" + std::to_string(row.puts - 1)), nullptr);
    }
}

TEST(ReadCache, ReplacingAnEntryKeepsOneCopy) {
    ReadCache cache;
    const FileHeader header = HeaderWithCounter(3);
    cache.Put(header, "k", ValueEntry(std::string(1000, 'a')));
    std::size_t bytes = cache.bytes();
    cache.Put(header, "k", ValueEntry(std::string(1000, 'b')));
    EXPECT_EQ(cache.size(), 1u);
    EXPECT_EQ(cache.bytes(), bytes);
    EXPECT_EQ(cache.Find(header, "k")->text, std::string(1000, 'b'));
}

}  // namespace
}  // namespace sorvex::registry::detail
