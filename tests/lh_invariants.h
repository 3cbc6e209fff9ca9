// lh_invariants.h - test-only checker of an LH_TABLE's invariants, shared by
// the unit tests and the fuzz targets.
#ifndef NIVRA_TESTS_LH_INVARIANTS_H
#define NIVRA_TESTS_LH_INVARIANTS_H

#include <cstdint>
#include <string>

#include "lhash.h"

// True when the geometry holds, every bucket past those in use is empty,
// every node sits in the bucket its stored hash selects, and the chains hold
// item_count nodes; otherwise false with the reason in *why.
inline bool lh_check(const LH_TABLE *t, std::string *why) {
    auto fail = [why](std::string reason) {
        *why = std::move(reason);
        return false;
    };
    if (t->split_index >= t->base_size) return fail("split_index not below base_size");
    if (t->bucket_count != t->base_size + t->split_index)
        return fail("bucket_count " + std::to_string(t->bucket_count));
    if (t->bucket_capacity != 2 * t->base_size)
        return fail("bucket_capacity " + std::to_string(t->bucket_capacity));
    if (t->base_size < 8 || (t->base_size & (t->base_size - 1)) != 0)
        return fail("base_size " + std::to_string(t->base_size));
    uint32_t nodes = 0;
    for (uint32_t i = 0; i < t->bucket_capacity; ++i) {
        for (const LH_NODE *n = t->buckets[i]; n != nullptr; n = n->next) {
            if (i >= t->bucket_count) return fail("node in unused bucket " + std::to_string(i));
            uint32_t want = n->hash_value % t->base_size;
            if (want < t->split_index) want = n->hash_value % t->bucket_capacity;
            if (want != i) {
                return fail("node with hash " + std::to_string(n->hash_value) + " in bucket " +
                            std::to_string(i));
            }
            ++nodes;
        }
    }
    if (nodes != t->item_count) {
        return fail(std::to_string(nodes) + " nodes, item_count " + std::to_string(t->item_count));
    }
    return true;
}

#endif  // NIVRA_TESTS_LH_INVARIANTS_H
