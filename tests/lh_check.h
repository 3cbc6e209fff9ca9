// lh_check.h - test-only checker of an LH_TABLE's invariants.
#ifndef NIVRA_TESTS_LH_CHECK_H
#define NIVRA_TESTS_LH_CHECK_H

#include <gtest/gtest.h>

#include <cstdint>

#include "lhash.h"

// Verifies the geometry, that every bucket past those in use is empty, that
// every node sits in the bucket its stored hash selects, and that the chains
// hold item_count nodes.  Use as ASSERT_TRUE(LhCheck(t)).
inline ::testing::AssertionResult LhCheck(const LH_TABLE *t) {
    if (t->split_index >= t->base_size) return ::testing::AssertionFailure() << "split_index";
    if (t->bucket_count != t->base_size + t->split_index)
        return ::testing::AssertionFailure() << "bucket_count " << t->bucket_count;
    if (t->bucket_capacity != 2 * t->base_size)
        return ::testing::AssertionFailure() << "bucket_capacity " << t->bucket_capacity;
    if (t->base_size < 8 || (t->base_size & (t->base_size - 1)) != 0)
        return ::testing::AssertionFailure() << "base_size " << t->base_size;
    uint32_t nodes = 0;
    for (uint32_t i = 0; i < t->bucket_capacity; ++i) {
        for (const LH_NODE *n = t->buckets[i]; n != nullptr; n = n->next) {
            if (i >= t->bucket_count)
                return ::testing::AssertionFailure() << "node in unused bucket " << i;
            uint32_t want = n->hash_value % t->base_size;
            if (want < t->split_index) want = n->hash_value % t->bucket_capacity;
            if (want != i)
                return ::testing::AssertionFailure()
                       << "node with hash " << n->hash_value << " in bucket " << i;
            ++nodes;
        }
    }
    if (nodes != t->item_count)
        return ::testing::AssertionFailure() << nodes << " nodes, item_count " << t->item_count;
    return ::testing::AssertionSuccess();
}

#endif  // NIVRA_TESTS_LH_CHECK_H
