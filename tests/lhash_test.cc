// The linear hash table: string hash, geometry, chain orders, statistics,
// traversal and deletion inside it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "container_check.h"
#include "lhash.h"
#include "lhash_internal.h"

namespace {

// Records are uint32_t values that are their own hash.
uint32_t identity_hash(const void *r) { return *static_cast<const uint32_t *>(r); }
int same_value(const void *a, const void *b) {
    return *static_cast<const uint32_t *>(a) != *static_cast<const uint32_t *>(b);
}

class LhashTable : public ::testing::Test {
  protected:
    void SetUp() override {
        t_ = lh_new(identity_hash, same_value);
        ASSERT_NE(t_, nullptr);
        keys_.resize(1000);
        for (uint32_t i = 0; i < keys_.size(); ++i) keys_[i] = i;
    }
    void TearDown() override { lh_free(t_); }

    // Inserts keys from (inclusive) to to (exclusive), all new.
    void InsertRange(uint32_t from, uint32_t to) {
        for (uint32_t i = from; i < to; ++i) {
            ASSERT_EQ(lh_insert(t_, &keys_[i]), nullptr);
            ASSERT_EQ(t_->error, 0u);
            ASSERT_EQ(TableProblem(t_), "");
        }
    }
    void ExpectGeometry(uint32_t count, uint32_t capacity, uint32_t base, uint32_t split) {
        EXPECT_EQ(t_->bucket_count, count);
        EXPECT_EQ(t_->bucket_capacity, capacity);
        EXPECT_EQ(t_->base_size, base);
        EXPECT_EQ(t_->split_index, split);
    }

    LH_TABLE *t_ = nullptr;
    std::vector<uint32_t> keys_;
};

TEST(LhashStrhash, GivesTheReferenceValues) {
    EXPECT_EQ(lh_strhash(nullptr), 0u);
    EXPECT_EQ(lh_strhash(""), 0u);
    EXPECT_EQ(lh_strhash("a"), 0x0001E6C0u);
    EXPECT_EQ(lh_strhash("abc"), 0xF547AD32u);
    EXPECT_EQ(lh_strhash("\xE9"), 0x00000211u);
}

// The hash as the contract states it, one byte at a time.
uint32_t ReferenceStrhash(const char *s) {
    if (s == nullptr || *s == '\0') return 0;
    uint32_t n = 0x100, ret = 0;
    for (; *s != '\0'; ++s) {
        const uint32_t v =
            n | static_cast<uint32_t>(static_cast<int32_t>(static_cast<signed char>(*s)));
        const uint32_t r = ((v >> 2) ^ v) & 15;
        ret = r == 0 ? ret : (ret << r) | (ret >> (32 - r));
        ret ^= v * v;
        n += 0x100;
    }
    return ret ^ (ret >> 16);
}

TEST(LhashStrhash, MatchesTheBytewiseDefinitionOnEveryLengthAndByte) {
    std::mt19937 gen(99);
    for (int len = 1; len < 300; ++len) {
        std::string s(static_cast<size_t>(len), 'x');
        for (char &c : s) c = static_cast<char>(1 + gen() % 255);
        ASSERT_EQ(lh_strhash(s.c_str()), ReferenceStrhash(s.c_str())) << len;
        // The counted form hashes a prefix of a longer text as that text alone.
        const std::string longer = s + "=tail";
        ASSERT_EQ(nivra::lh_strhash_n(longer.data(), s.size()), ReferenceStrhash(s.c_str())) << len;
    }
    EXPECT_EQ(nivra::lh_strhash_n("abc", 0), 0u);
}

TEST(LhashDefaults, StringTableWithStrcmpAndStrhash) {
    LH_TABLE *t = lh_new(nullptr, nullptr);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->bucket_count, 8u);
    EXPECT_EQ(t->bucket_capacity, 16u);
    EXPECT_EQ(t->grow_load, 512u);
    EXPECT_EQ(t->shrink_load, 256u);
    char a[] = "alpha", a2[] = "alpha", b[] = "beta";
    EXPECT_EQ(lh_insert(t, a), nullptr);
    EXPECT_EQ(lh_insert(t, b), nullptr);
    EXPECT_EQ(lh_retrieve(t, "alpha"), a);
    EXPECT_EQ(lh_insert(t, a2), a);  // replaced, the old record returned
    EXPECT_EQ(lh_retrieve(t, "alpha"), a2);
    EXPECT_EQ(t->buckets[lh_strhash("beta") % 8]->hash_value, lh_strhash("beta"));
    EXPECT_EQ(lh_num_items(t), 2u);
    EXPECT_EQ(lh_num_items(nullptr), 0u);
    lh_free(t);
    lh_free(nullptr);
}

TEST_F(LhashTable, GrowsOneBucketPerTwoInsertionsAndDoublesAtCycleEnds) {
    ExpectGeometry(8, 16, 8, 0);
    InsertRange(0, 16);
    ExpectGeometry(8, 16, 8, 0);
    EXPECT_EQ(t_->expand_count, 0u);
    InsertRange(16, 17);
    ExpectGeometry(9, 16, 8, 1);
    EXPECT_EQ(t_->expand_count, 1u);
    InsertRange(17, 31);
    ExpectGeometry(16, 32, 16, 0);
    EXPECT_EQ(t_->expand_realloc_count, 1u);
    InsertRange(31, 63);
    ExpectGeometry(32, 64, 32, 0);
    EXPECT_EQ(t_->expand_realloc_count, 2u);
    InsertRange(63, 69);
    ExpectGeometry(35, 64, 32, 3);
    EXPECT_EQ(t_->expand_count, 27u);
    EXPECT_EQ(t_->item_count, 69u);
}

TEST_F(LhashTable, ReplacementCountsAndCanStillExpand) {
    InsertRange(0, 16);
    uint32_t again = 3;
    EXPECT_EQ(lh_insert(t_, &again), &keys_[3]);
    EXPECT_EQ(t_->item_count, 16u);
    EXPECT_EQ(t_->replace_count, 1u);
    EXPECT_EQ(t_->insert_count, 16u);
    EXPECT_EQ(t_->expand_count, 1u);  // the load test comes before the lookup
    EXPECT_EQ(lh_retrieve(t_, &again), &again);
    ASSERT_EQ(TableProblem(t_), "");
}

TEST_F(LhashTable, ContractionWalksDownFrom69Records) {
    InsertRange(0, 69);
    std::vector<uint32_t> first_contraction_at;
    for (uint32_t i = 0; i < 69; ++i) {
        const uint32_t before = t_->contract_count;
        ASSERT_EQ(lh_delete(t_, &keys_[i]), &keys_[i]);
        ASSERT_EQ(TableProblem(t_), "");
        if (t_->contract_count != before) first_contraction_at.push_back(t_->item_count);
        if (t_->item_count == 32) {
            ExpectGeometry(31, 32, 16, 15);
            EXPECT_EQ(t_->contract_realloc_count, 1u);
        }
    }
    ASSERT_FALSE(first_contraction_at.empty());
    EXPECT_EQ(first_contraction_at.front(), 35u);
    ExpectGeometry(16, 32, 16, 0);
    EXPECT_EQ(t_->item_count, 0u);
    EXPECT_EQ(t_->delete_count, 69u);
}

TEST_F(LhashTable, ZeroShrinkLoadStillContractsWhenEmpty) {
    InsertRange(0, 40);
    t_->shrink_load = 0;
    const uint32_t in_use = t_->bucket_count;
    ASSERT_GT(in_use, 16u);
    for (uint32_t i = 0; i + 1 < 40; ++i) lh_delete(t_, &keys_[i]);
    EXPECT_EQ(t_->bucket_count, in_use);  // load above 0 all along
    lh_delete(t_, &keys_[39]);
    EXPECT_EQ(t_->bucket_count, in_use - 1);
    ASSERT_EQ(TableProblem(t_), "");
}

TEST_F(LhashTable, MissesCallTheHashOnceAndCount) {
    InsertRange(0, 5);
    uint32_t absent = 777;
    const uint32_t hashes = t_->hash_call_count;
    EXPECT_EQ(lh_retrieve(t_, &absent), nullptr);
    EXPECT_EQ(lh_delete(t_, &absent), nullptr);
    EXPECT_EQ(t_->hash_call_count, hashes + 2);
    EXPECT_EQ(t_->retrieve_miss_count, 1u);
    EXPECT_EQ(t_->delete_miss_count, 1u);
    EXPECT_EQ(t_->retrieve_count, 0u);
    EXPECT_EQ(lh_retrieve(t_, &keys_[2]), &keys_[2]);
    EXPECT_EQ(t_->retrieve_count, 1u);
}

// Records whose hash is fixed: all collide, and compare tells them apart.
struct Colliding {
    uint32_t hash;
    int id;
};
uint32_t colliding_hash(const void *r) { return static_cast<const Colliding *>(r)->hash; }
int colliding_cmp(const void *a, const void *b) {
    return static_cast<const Colliding *>(a)->id != static_cast<const Colliding *>(b)->id;
}

TEST(LhashCollisions, EqualHashesShareABucketInInsertionOrder) {
    LH_TABLE *t = lh_new(colliding_hash, colliding_cmp);
    Colliding a{5, 1}, b{5, 2}, c{13, 3};  // 13 % 8 == 5 too, but another hash
    lh_insert(t, &a);
    lh_insert(t, &b);
    lh_insert(t, &c);
    ASSERT_NE(t->buckets[5], nullptr);
    EXPECT_EQ(t->buckets[5]->record, &a);  // new nodes go to the tail
    EXPECT_EQ(t->buckets[5]->next->record, &b);
    EXPECT_EQ(t->buckets[5]->next->next->record, &c);
    const uint32_t compares = t->compare_call_count;
    const uint32_t visits = t->node_visit_count;
    EXPECT_EQ(lh_retrieve(t, &c), &c);
    EXPECT_EQ(t->compare_call_count, compares + 1);  // only c's hash matched
    EXPECT_EQ(t->node_visit_count, visits + 3);
    EXPECT_EQ(lh_retrieve(t, &b), &b);
    EXPECT_EQ(lh_delete(t, &a), &a);
    EXPECT_EQ(lh_retrieve(t, &b), &b);
    lh_free(t);
}

TEST_F(LhashTable, SplitPushesMovedNodesInReverse) {
    // Hashes 0, 8, 16, 24 all live in bucket 0 of 8; splitting bucket 0
    // (modulus 16) moves 8 and 24 to bucket 8, reversed.
    uint32_t v[] = {0, 8, 16, 24};
    for (uint32_t &x : v) lh_insert(t_, &x);
    for (uint32_t i = 100; i < 112; ++i) {
        keys_[i] = i * 8 + 1;  // bucket 1, away from bucket 0
        lh_insert(t_, &keys_[i]);
    }
    ASSERT_EQ(t_->item_count, 16u);
    uint32_t trigger = 3;
    lh_insert(t_, &trigger);  // 17th record: bucket 0 splits
    ASSERT_EQ(t_->split_index, 1u);
    EXPECT_EQ(t_->buckets[0]->record, &v[0]);
    EXPECT_EQ(t_->buckets[0]->next->record, &v[2]);
    ASSERT_NE(t_->buckets[8], nullptr);
    EXPECT_EQ(t_->buckets[8]->record, &v[3]);
    ASSERT_NE(t_->buckets[8]->next, nullptr);
    EXPECT_EQ(t_->buckets[8]->next->record, &v[1]);
    ASSERT_EQ(TableProblem(t_), "");
}

std::vector<uint32_t> g_seen;
void Remember(void *r) { g_seen.push_back(*static_cast<uint32_t *>(r)); }

TEST_F(LhashTable, TraversalVisitsTheLastBucketFirst) {
    uint32_t in0 = 0, in5 = 5, also5 = 13;
    lh_insert(t_, &in0);
    lh_insert(t_, &in5);
    lh_insert(t_, &also5);
    g_seen.clear();
    lh_doall(t_, Remember);
    EXPECT_EQ(g_seen, (std::vector<uint32_t>{5, 13, 0}));
}

struct DeleteAll {
    LH_TABLE *t;
    std::vector<uint32_t> seen;
};
void DeleteVisited(void *r, void *arg) {
    auto *d = static_cast<DeleteAll *>(arg);
    d->seen.push_back(*static_cast<uint32_t *>(r));
    ASSERT_EQ(lh_delete(d->t, r), r);
}

TEST_F(LhashTable, CallbackMayDeleteEveryRecordItIsGiven) {
    InsertRange(0, 200);
    t_->shrink_load = 0;
    DeleteAll d{t_, {}};
    lh_doall_arg(t_, DeleteVisited, &d);
    EXPECT_EQ(d.seen.size(), 200u);  // each exactly once
    std::sort(d.seen.begin(), d.seen.end());
    EXPECT_EQ(std::unique(d.seen.begin(), d.seen.end()), d.seen.end());
    EXPECT_EQ(t_->item_count, 0u);
    ASSERT_EQ(TableProblem(t_), "");
}

TEST_F(LhashTable, DeletingTraversalStaysInsideAShrinkingArray) {
    // With the default shrink_load the deletions merge buckets and halve the
    // array mid-walk; the walk must still end without reading past it (the
    // sanitizer build checks) and every record must go.
    InsertRange(0, 1000);
    DeleteAll d{t_, {}};
    while (t_->item_count > 0) lh_doall_arg(t_, DeleteVisited, &d);
    EXPECT_GE(t_->contract_realloc_count, 1u);
    ASSERT_EQ(TableProblem(t_), "");
}

TEST_F(LhashTable, LoadIsComputedWithoutThirtyTwoBitOverflow) {
    // 2^24 records times 256 wraps to 0 in 32 bits, which would stop the
    // table growing.  Pretend the table holds that many; the next insertion
    // must still expand.
    t_->item_count = 1u << 24;
    uint32_t x = 1;
    lh_insert(t_, &x);
    EXPECT_EQ(t_->expand_count, 1u);
    t_->item_count = 1;
    ASSERT_EQ(TableProblem(t_), "");
}

TEST(LhashStatistics, DoublingCountStaysLogarithmic) {
    LH_TABLE *t = lh_new(identity_hash, same_value);
    std::vector<uint32_t> keys(100000);
    for (uint32_t i = 0; i < keys.size(); ++i) {
        keys[i] = i * 2654435761u;
        lh_insert(t, &keys[i]);
    }
    EXPECT_EQ(t->item_count, 100000u);
    // 100000 / 2 per bucket = 50000 buckets: base 32768, 12 doublings from 8.
    EXPECT_EQ(t->expand_realloc_count, 12u);
    EXPECT_EQ(TableProblem(t), "");
    for (uint32_t &k : keys) ASSERT_EQ(lh_retrieve(t, &k), &k);
    lh_free(t);
}

}  // namespace
