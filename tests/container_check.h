// container_check.h - test-only checkers of the containers' invariants,
// shared by the unit tests and the fuzz targets.  Each returns what is
// wrong, or "" when every invariant holds: tests write
// EXPECT_EQ(TableProblem(t), "") and see the reason when it fails.
#ifndef NIVRA_TESTS_CONTAINER_CHECK_H
#define NIVRA_TESTS_CONTAINER_CHECK_H

#include <cstdint>
#include <string>

#include "lhash.h"
#include "stack.h"

// The table's geometry holds, every bucket past those in use is empty,
// every node sits in the bucket its stored hash selects, and the chains hold
// item_count nodes.
inline std::string TableProblem(const LH_TABLE *t) {
    if (t->split_index >= t->base_size) return "split_index not below base_size";
    if (t->bucket_count != t->base_size + t->split_index)
        return "bucket_count " + std::to_string(t->bucket_count);
    if (t->bucket_capacity != 2 * t->base_size)
        return "bucket_capacity " + std::to_string(t->bucket_capacity);
    if (t->base_size < 8 || (t->base_size & (t->base_size - 1)) != 0)
        return "base_size " + std::to_string(t->base_size);
    uint32_t nodes = 0;
    for (uint32_t i = 0; i < t->bucket_capacity; ++i) {
        for (const LH_NODE *n = t->buckets[i]; n != nullptr; n = n->next) {
            if (i >= t->bucket_count) return "node in unused bucket " + std::to_string(i);
            uint32_t want = n->hash_value % t->base_size;
            if (want < t->split_index) want = n->hash_value % t->bucket_capacity;
            if (want != i) {
                return "node with hash " + std::to_string(n->hash_value) + " in bucket " +
                       std::to_string(i);
            }
            ++nodes;
        }
    }
    if (nodes != t->item_count) {
        return std::to_string(nodes) + " nodes, item_count " + std::to_string(t->item_count);
    }
    return "";
}

// The stack's count leaves a free slot, its capacity is a power of two of
// at least 4, and sorted is a flag.
inline std::string StackProblem(const SK_STACK *sk) {
    if (sk->count < 0 || sk->count >= sk->capacity)
        return "count " + std::to_string(sk->count) + " capacity " + std::to_string(sk->capacity);
    if (sk->capacity < 4 || (sk->capacity & (sk->capacity - 1)) != 0)
        return "capacity " + std::to_string(sk->capacity);
    if (sk->sorted != 0 && sk->sorted != 1) return "sorted " + std::to_string(sk->sorted);
    return "";
}

#endif  // NIVRA_TESTS_CONTAINER_CHECK_H
