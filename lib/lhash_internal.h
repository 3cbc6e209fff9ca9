// lhash_internal.h - what the library's own units know of a table beyond
// lhash.h.  Not installed.
#ifndef NIVRA_LHASH_INTERNAL_H
#define NIVRA_LHASH_INTERNAL_H

#include <cstddef>
#include <cstdint>

#include "lhash.h"

namespace nivra {

// A pointer-sized slot that travels with the table for the unit that created
// it (the configuration store keeps its section order there).  Null in a new
// table; the table never reads it, and lh_free does not release what it
// points to.
void **lh_owner_data(LH_TABLE *t);

// lh_insert of a record whose hash, hash_fn(record), the caller computed
// already (the statistics count it as a hash_fn call all the same).
void *lh_insert_hashed(LH_TABLE *t, void *record, uint32_t hash);

// lh_retrieve of a probe whose hash, hash_fn(probe), the caller computed
// already (counted as a hash_fn call all the same).
void *lh_retrieve_hashed(LH_TABLE *t, const void *probe, uint32_t hash);

// lh_strhash of the n bytes at s, which hold no NUL: hashes a name inside a
// longer text without copying it out first.
uint32_t lh_strhash_n(const char *s, size_t n);

// A hint, for a caller that knows a hash some time before it inserts or
// looks it up: starts fetching what the lookup will read.  depth 0 fetches
// the bucket's slot, 1 the chain's head, 2 the node after it; each depth
// reads what the one before fetched, so a caller steps one hash through
// them in order with work in between.  Changes nothing, counts nothing.
void lh_prefetch(const LH_TABLE *t, uint32_t hash, int depth);

}  // namespace nivra

#endif  // NIVRA_LHASH_INTERNAL_H
