// The growable array, byte buffer and hashed slots: contents kept across
// every growth, and a call that cannot have its memory leaves the
// container as it was.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "alloc_seam.h"
#include "conf_buffer.h"

namespace {

using nivra::conf::ByteBuffer;
using nivra::conf::GrowArray;
using nivra::conf::HashSlots;

struct Record {
    uint32_t key;
    const char *name;
};

std::string Bytes(const ByteBuffer &b) { return std::string(b.data(), b.size()); }

TEST(GrowArray, KeepsEveryRecordAcrossGrowths) {
    GrowArray<Record> a;
    EXPECT_TRUE(a.empty());
    for (uint32_t i = 0; i < 1000; ++i) ASSERT_TRUE(a.push(Record{i, "r"}));
    ASSERT_EQ(a.size(), 1000u);
    uint32_t expected = 0;
    for (const Record &r : a) EXPECT_EQ(r.key, expected++);
    a.clear();
    EXPECT_EQ(a.size(), 0u);
    alloc_seam::FailFrom(1);
    EXPECT_TRUE(a.push(Record{7, "kept block"}));  // a cleared array reuses its block
    EXPECT_EQ(alloc_seam::Attempts(), 0);
    alloc_seam::FailNth(0);
}

// Every growth failing in turn: the push reports it and changes nothing.
TEST(GrowArray, AFailedGrowthChangesNothing) {
    for (uint32_t fill : {0u, 8u, 16u, 32u}) {
        SCOPED_TRACE(fill);
        GrowArray<Record> a;
        for (uint32_t i = 0; i < fill; ++i) ASSERT_TRUE(a.push(Record{i, "r"}));
        alloc_seam::FailNth(1);
        EXPECT_FALSE(a.push(Record{99, "new"}));
        EXPECT_TRUE(alloc_seam::Fired());
        alloc_seam::FailNth(0);
        ASSERT_EQ(a.size(), fill);
        for (uint32_t i = 0; i < fill; ++i) EXPECT_EQ(a[i].key, i);
        EXPECT_TRUE(a.push(Record{99, "new"}));
        EXPECT_EQ(a[fill].key, 99u);
    }
    GrowArray<Record> a;
    EXPECT_FALSE(a.reserve(SIZE_MAX / sizeof(Record) + 1));  // bytes past size_t
    EXPECT_TRUE(a.empty());
}

// The room for a text put together: a larger reserve drops what the
// array or buffer held; one that cannot have its block changes nothing, and
// one within the capacity only empties it.  Fills and appended runs keep
// every record.
TEST(GrowArray, ADiscardingReserveDropsTheRecordsOrChangesNothing) {
    GrowArray<uint32_t> a;
    ASSERT_TRUE(a.fill(5, 7u));
    const uint32_t run[] = {1, 2, 3};
    ASSERT_TRUE(a.reserve(a.size() + 3));
    a.append_reserved(run, 3);
    ASSERT_EQ(a.size(), 8u);
    EXPECT_EQ(a[4], 7u);
    EXPECT_EQ(a[7], 3u);
    alloc_seam::FailNth(1);
    EXPECT_FALSE(a.reserve_discarding(1000));
    EXPECT_TRUE(alloc_seam::Fired());
    alloc_seam::FailNth(0);
    EXPECT_EQ(a.size(), 8u);
    EXPECT_EQ(a[7], 3u);
    ASSERT_TRUE(a.reserve_discarding(1000));
    EXPECT_TRUE(a.empty());
    alloc_seam::FailFrom(1);
    EXPECT_TRUE(a.reserve_discarding(10));  // within the block: nothing to allocate
    EXPECT_EQ(alloc_seam::Attempts(), 0);
    alloc_seam::FailNth(0);

    ByteBuffer b;
    ASSERT_TRUE(b.append("kept"));
    alloc_seam::FailNth(1);
    EXPECT_FALSE(b.reserve_discarding(1 << 16));
    alloc_seam::FailNth(0);
    EXPECT_EQ(Bytes(b), "kept");
    ASSERT_TRUE(b.reserve_discarding(1 << 16));
    EXPECT_EQ(Bytes(b), "");
    EXPECT_GE(b.capacity(), size_t{1} << 16);
}

TEST(ByteBuffer, AppendsKeepACString) {
    ByteBuffer b;
    EXPECT_STREQ(b.data(), "");
    ASSERT_TRUE(b.append("k = "));
    ASSERT_TRUE(b.put('v'));
    ASSERT_TRUE(b.append("\0x", 2));
    EXPECT_EQ(Bytes(b), std::string("k = v\0x", 7));
    EXPECT_EQ(b.data()[b.size()], '\0');
    const std::string big(10000, 'b');
    ASSERT_TRUE(b.append(big.c_str()));
    EXPECT_EQ(b.size(), 10007u);
    b.truncate(3);
    EXPECT_STREQ(b.data(), "k =");
    char *out = b.release();
    EXPECT_STREQ(out, "k =");
    std::free(out);
    EXPECT_EQ(b.size(), 0u);
    out = b.release();  // an empty buffer hands out an empty string
    ASSERT_NE(out, nullptr);
    EXPECT_STREQ(out, "");
    std::free(out);
}

// A failed growth, and a length that size_t cannot hold, change nothing.
TEST(ByteBuffer, AFailedAppendChangesNothing) {
    ByteBuffer b;
    ASSERT_TRUE(b.append("kept"));
    const size_t capacity = b.capacity();
    const std::string big(capacity, 'x');
    alloc_seam::FailNth(1);
    EXPECT_FALSE(b.append(big.c_str()));
    EXPECT_TRUE(alloc_seam::Fired());
    alloc_seam::FailNth(0);
    EXPECT_EQ(Bytes(b), "kept");
    EXPECT_EQ(b.capacity(), capacity);
    EXPECT_FALSE(b.append("x", SIZE_MAX - 2));
    EXPECT_EQ(Bytes(b), "kept");
    alloc_seam::FailNth(1);
    char *out = b.release();  // nothing to allocate: it hands its own block over
    EXPECT_FALSE(alloc_seam::Fired());
    alloc_seam::FailNth(0);
    EXPECT_STREQ(out, "kept");
    std::free(out);
}

// A buffer that starts in its owner's storage allocates nothing until it
// outgrows it, then carries its bytes to the heap; a release copies them
// out, and a swap takes the storage along.
TEST(ByteBuffer, StartsInTheOwnersStorage) {
    char storage[8];
    ByteBuffer b(storage, sizeof storage);
    alloc_seam::FailFrom(1);
    ASSERT_TRUE(b.append("1234567"));
    EXPECT_EQ(b.data(), storage);
    EXPECT_FALSE(b.put('8'));  // past the storage: needs the heap
    EXPECT_EQ(Bytes(b), "1234567");
    alloc_seam::FailNth(0);
    ASSERT_TRUE(b.put('8'));
    EXPECT_NE(b.data(), storage);
    EXPECT_EQ(Bytes(b), "12345678");

    ByteBuffer small(storage, sizeof storage);
    ASSERT_TRUE(small.append("abc"));
    ByteBuffer heap;
    ASSERT_TRUE(heap.append("heap"));
    heap.swap(small);
    EXPECT_EQ(heap.data(), storage);
    EXPECT_EQ(Bytes(small), "heap");
    alloc_seam::FailNth(1);
    EXPECT_EQ(heap.release(), nullptr);  // the copy out of the storage cannot be made
    alloc_seam::FailNth(0);
    EXPECT_EQ(Bytes(heap), "abc");
    char *out = heap.release();
    EXPECT_NE(out, storage);
    EXPECT_STREQ(out, "abc");
    std::free(out);
}

// Pairs that share a hash stay apart (the caller's match tells them), every
// pair survives the growths, and a value changed through find stays so.
TEST(HashSlots, FindsEachPairAcrossGrowthsAndSharedHashes) {
    HashSlots slots;
    constexpr size_t kPairs = 1000;
    for (size_t v = 0; v < kPairs; ++v) {
        ASSERT_TRUE(slots.reserve(v + 1));
        slots.add(v % 7 == 0 ? 42 : v * 0x9E3779B97F4A7C15ull, v);  // every 7th shares a hash
    }
    EXPECT_EQ(slots.size(), kPairs);
    for (size_t v = 0; v < kPairs; ++v) {
        const uint64_t hash = v % 7 == 0 ? 42 : v * 0x9E3779B97F4A7C15ull;
        size_t *found = slots.find(hash, [&](size_t x) { return x == v; });
        ASSERT_NE(found, nullptr) << v;
        EXPECT_EQ(*found, v);
    }
    EXPECT_EQ(slots.find(43, [](size_t) { return true; }), nullptr);
    *slots.find(42, [](size_t x) { return x == 14; }) = 5000;
    EXPECT_NE(slots.find(42, [](size_t x) { return x == 5000; }), nullptr);
    EXPECT_EQ(slots.find(42, [](size_t x) { return x == 14; }), nullptr);
}

TEST(HashSlots, AFailedGrowthChangesNothing) {
    HashSlots slots;
    ASSERT_TRUE(slots.reserve(8));
    for (size_t v = 0; v < 8; ++v) slots.add(v, v);
    alloc_seam::FailNth(1);
    EXPECT_FALSE(slots.reserve(100));
    alloc_seam::FailNth(0);
    for (size_t v = 0; v < 8; ++v)
        EXPECT_NE(slots.find(v, [&](size_t x) { return x == v; }), nullptr);
    EXPECT_FALSE(slots.reserve(SIZE_MAX / 2));  // bytes past size_t
    slots.reset();
    EXPECT_EQ(slots.find(1, [](size_t) { return true; }), nullptr);
}

}  // namespace
