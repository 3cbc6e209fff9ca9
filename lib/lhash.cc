// lhash.cc - the linear hash table.  Geometry and invariants are in lhash.h.
#include "lhash.h"
#include "lhash_internal.h"

#include <array>
#include <bit>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

// The table's nodes come from blocks that the table allocates and frees as a
// whole: nodes sit close together in memory (chain walks are the table's
// hot path and are bound by memory latency), and one allocation serves many
// insertions.  A deleted node goes to a free list and is reused; block memory
// is returned when the table is freed.  LH_TABLE is the first member, so the
// table pointer is also the pointer to this whole record.
struct NodeBlock {
    NodeBlock *next;
    uint32_t capacity;  // nodes that follow this header
};
static_assert(sizeof(NodeBlock) % alignof(LH_NODE) == 0);

LH_NODE *nodes_of(NodeBlock *b) {
    return reinterpret_cast<LH_NODE *>(reinterpret_cast<char *>(b) + sizeof(NodeBlock));
}

struct Table {
    LH_TABLE pub;
    NodeBlock *blocks;    // newest first
    uint32_t block_used;  // nodes handed out from the newest block
    LH_NODE *free_nodes;  // deleted nodes, linked through next
    void *owner_data;     // see lhash_internal.h; never read by the table
};
static_assert(offsetof(Table, pub) == 0);

constexpr uint32_t kFirstBlockNodes = 16;
constexpr uint32_t kMaxBlockNodes = 4096;

Table *impl(LH_TABLE *t) { return reinterpret_cast<Table *>(t); }

LH_NODE *alloc_node(Table *t) {
    if (t->free_nodes != nullptr) {
        LH_NODE *n = t->free_nodes;
        t->free_nodes = n->next;
        return n;
    }
    if (t->blocks == nullptr || t->block_used == t->blocks->capacity) {
        const uint32_t capacity =
            t->blocks == nullptr
                ? kFirstBlockNodes
                : (t->blocks->capacity < kMaxBlockNodes ? t->blocks->capacity * 2 : kMaxBlockNodes);
        const size_t bytes = sizeof(NodeBlock) + sizeof(LH_NODE) * capacity;
        auto *b = static_cast<NodeBlock *>(std::malloc(bytes));
        if (b == nullptr) return nullptr;
        b->next = t->blocks;
        b->capacity = capacity;
        t->blocks = b;
        t->block_used = 0;
    }
    return nodes_of(t->blocks) + t->block_used++;
}

void free_node(Table *t, LH_NODE *n) {
    n->next = t->free_nodes;
    t->free_nodes = n;
}

constexpr uint32_t kInitialBase = 8;
// Largest bucket array that can still double without overflowing its
// uint32_t capacity; past it the table stops growing (error is raised, as
// for a failed allocation) and chains simply get longer.
constexpr uint32_t kMaxDoublableCapacity = UINT32_MAX / 2;
constexpr uint32_t kMinBucketsForContraction = 16;
constexpr uint32_t kInitialGrowLoad = 512;
constexpr uint32_t kInitialShrinkLoad = 256;

// The default functions treat records as NUL-terminated strings.  They are
// adapters rather than strcmp and lh_strhash themselves so that the table
// always calls a function through its own type.
uint32_t default_hash(const void *record) { return lh_strhash(static_cast<const char *>(record)); }
int default_compare(const void *stored, const void *probe) {
    return std::strcmp(static_cast<const char *>(stored), static_cast<const char *>(probe));
}

// Load in 1/256 record per bucket.  64-bit, so that tables past 2^24 records
// keep growing instead of wrapping to a small load.
uint64_t load_of(uint32_t items, uint32_t buckets) {
    return (static_cast<uint64_t>(items) << 8) / buckets;
}

// base_size and bucket_capacity are powers of two, so the modulus is a mask.
uint32_t mod_pow2(uint32_t h, uint32_t m) { return h & (m - 1); }

uint32_t bucket_of(const LH_TABLE *t, uint32_t h) {
    const uint32_t i = mod_pow2(h, t->base_size);
    return i < t->split_index ? mod_pow2(h, t->bucket_capacity) : i;
}

// Finds the link that points to the first node matching probe, or the null
// link at the end of its bucket's chain; *hash receives the probe's hash.
// The statistics and error that a lookup writes.  Readers on several threads
// may look up in one table at once, so these fields are written with relaxed
// atomic loads and stores: no data race, no cost on x86, and an increment
// made at the same moment by another thread may be lost.  Everything else a
// lookup touches is only read.
void add_relaxed(uint32_t &field, uint32_t n) {
    __atomic_store_n(&field, __atomic_load_n(&field, __ATOMIC_RELAXED) + n, __ATOMIC_RELAXED);
}
void clear_error(LH_TABLE *t) { __atomic_store_n(&t->error, 0u, __ATOMIC_RELAXED); }

// getrn for a probe whose hash h is known; counts as one hash_fn call.
LH_NODE **getrn_hashed(LH_TABLE *t, const void *probe, uint32_t h) {
    uint32_t visits = 0;
    uint32_t compares = 0;
    LH_NODE **link = &t->buckets[bucket_of(t, h)];
    for (LH_NODE *n = *link; n != nullptr; link = &n->next, n = n->next) {
        ++visits;
        if (n->hash_value != h) continue;
        ++compares;
        if (t->compare_fn(n->record, probe) == 0) break;
    }
    add_relaxed(t->hash_call_count, 1);
    add_relaxed(t->node_visit_count, visits);
    add_relaxed(t->compare_call_count, compares);
    return link;
}

// lh_retrieve of a probe whose hash is h, once error is cleared.
void *retrieve_at(LH_TABLE *t, const void *probe, uint32_t h) {
    LH_NODE *n = *getrn_hashed(t, probe, h);
    if (n == nullptr) {
        add_relaxed(t->retrieve_miss_count, 1);
        return nullptr;
    }
    add_relaxed(t->retrieve_count, 1);
    return n->record;
}

LH_NODE **getrn(LH_TABLE *t, const void *probe, uint32_t *hash) {
    *hash = t->hash_fn(probe);
    return getrn_hashed(t, probe, *hash);
}

// Doubles the bucket array from c slots, the new half empty.  False, with
// error raised and the array unchanged, when it cannot be had.
bool double_buckets(LH_TABLE *t, uint32_t c) {
    if (c > kMaxDoublableCapacity) {
        ++t->error;
        return false;
    }
    const size_t doubled = static_cast<size_t>(c) * 2;
    void *grown = std::realloc(t->buckets, sizeof(LH_NODE *) * doubled);
    if (grown == nullptr) {
        ++t->error;
        return false;
    }
    t->buckets = static_cast<LH_NODE **>(grown);
    for (size_t i = c; i < doubled; ++i) t->buckets[i] = nullptr;
    return true;
}

// Moves the nodes of bucket p whose hash, modulo the capacity c, is not p
// to the empty bucket p + m, keeping the order of those that stay.
void split_chain(LH_TABLE *t, uint32_t p, uint32_t m, uint32_t c) {
    t->buckets[p + m] = nullptr;
    LH_NODE **link = &t->buckets[p];
    while (LH_NODE *n = *link) {
        if (mod_pow2(n->hash_value, c) != p) {
            *link = n->next;  // unlink, then push onto the partner's head
            n->next = t->buckets[p + m];
            t->buckets[p + m] = n;
        } else {
            link = &n->next;
        }
    }
}

// Splits bucket split_index into its partner base_size higher.  When this
// split completes the cycle, the array is doubled first; if that cannot be
// had, nothing is split at all (error is raised and the table keeps its
// geometry), so no later step ever uses a bucket outside the array and the
// next expansion simply tries again.
void expand(LH_TABLE *t) {
    const uint32_t p = t->split_index;
    const uint32_t m = t->base_size;
    const uint32_t c = t->bucket_capacity;
    const bool completes_cycle = p + 1 >= m;
    if (completes_cycle && !double_buckets(t, c)) return;
    split_chain(t, p, m, c);
    ++t->bucket_count;
    ++t->expand_count;
    t->split_index = p + 1;
    if (completes_cycle) {
        t->base_size = c;
        t->bucket_capacity = c * 2;
        ++t->expand_realloc_count;
        t->split_index = 0;
    }
    // Buckets are split in order, about one every other insertion, and a
    // split walks the whole chain: fetch the chains of the next few buckets
    // to split, one node deeper for each nearer bucket (the nodes before it
    // were fetched at the last splits), so that a split finds its chain in
    // cache.  Written out here rather than in a helper of its own: GCC deems
    // a function that only reads and prefetches free of effects and deletes
    // the call.
    const uint32_t q = t->split_index;
    const uint32_t in_use = t->bucket_count;
    const LH_NODE *ahead4 = q + 4 < in_use ? t->buckets[q + 4] : nullptr;
    const LH_NODE *ahead2 = q + 2 < in_use ? t->buckets[q + 2] : nullptr;
    const LH_NODE *ahead1 = q + 1 < in_use ? t->buckets[q + 1] : nullptr;
    if (ahead4 != nullptr) __builtin_prefetch(ahead4);
    if (ahead2 != nullptr && ahead2->next != nullptr) __builtin_prefetch(ahead2->next);
    if (ahead1 != nullptr && ahead1->next != nullptr && ahead1->next->next != nullptr)
        __builtin_prefetch(ahead1->next->next);
}

// Merges the last bucket in use into its partner.  At the start of a cycle
// the array is halved first; if that fails the table is left exactly as it
// was (error is raised).
void contract(LH_TABLE *t) {
    const uint32_t p = t->split_index;
    const uint32_t m = t->base_size;
    const uint32_t last = p + m - 1;
    if (p == 0) {
        void *shrunk = std::realloc(t->buckets, sizeof(LH_NODE *) * static_cast<size_t>(m));
        if (shrunk == nullptr) {
            ++t->error;
            return;
        }
        t->buckets = static_cast<LH_NODE **>(shrunk);
        ++t->contract_realloc_count;
        t->bucket_capacity /= 2;
        t->base_size = m / 2;
        t->split_index = m / 2 - 1;
    } else {
        t->split_index = p - 1;
    }
    LH_NODE *chain = t->buckets[last];
    t->buckets[last] = nullptr;
    --t->bucket_count;
    ++t->contract_count;
    LH_NODE **tail = &t->buckets[t->split_index];
    while (*tail != nullptr) tail = &(*tail)->next;
    *tail = chain;
}

// What an insertion does before it looks its record up: clears error and
// expands one bucket when the load has reached grow_load.
void grow_for_insert(LH_TABLE *t) {
    t->error = 0;
    if (load_of(t->item_count, t->bucket_count) >= t->grow_load) expand(t);
}

// The rest of an insertion once the table has grown: stores record, whose
// hash is h, as lh_insert promises.
void *insert_at(LH_TABLE *t, void *record, uint32_t h) {
    LH_NODE **link = getrn_hashed(t, record, h);
    if (*link != nullptr) {
        void *old = (*link)->record;
        (*link)->record = record;
        ++t->replace_count;
        return old;
    }
    LH_NODE *n = alloc_node(impl(t));
    if (n == nullptr) {
        ++t->error;
        return nullptr;
    }
    n->record = record;
    n->next = nullptr;
    n->hash_value = h;
    *link = n;
    ++t->item_count;
    ++t->insert_count;
    return nullptr;
}

// Records are visited in bucket order, which is unrelated to where they
// lie in memory; the records of the next bucket's chain are prefetched so
// that their cache misses overlap the work on this bucket.
void prefetch_chain(const LH_NODE *n) {
    for (; n != nullptr; n = n->next) __builtin_prefetch(n->record);
}

template <typename Visit>
void walk_all(LH_TABLE *t, Visit visit) {
    const uint32_t in_use = t->bucket_count;
    for (uint32_t i = in_use; i-- > 0;) {
        // A callback's deletions may have halved the array since the walk
        // began; the slots past its end are gone (their chains were merged
        // into lower buckets, which the walk still reaches).
        if (i >= t->bucket_capacity) continue;
        if (i > 0 && i - 1 < t->bucket_capacity) prefetch_chain(t->buckets[i - 1]);
        LH_NODE *n = t->buckets[i];
        while (n != nullptr) {
            LH_NODE *next = n->next;  // read first: visit may delete n's record
            visit(n->record);
            n = next;
        }
    }
}

// The string hash.  Byte k (from 1) gives v = k * 0x100 | c, with c the byte
// as a sign-extended signed char, and folds
//     ret = rotl(ret, r) ^ v * v,  r = ((v >> 2) ^ v) & 15,
// then returns ret ^ (ret >> 16).  r depends only on bits 0-5 of v, which
// are the byte's own, so it comes from a table.  The fold is written out
// twice, for a NUL-terminated string and for a counted run of bytes, so
// that neither needs a second pass over its bytes.
constexpr std::array<uint8_t, 256> make_rotations() {
    std::array<uint8_t, 256> t{};
    for (unsigned c = 0; c < 256; ++c) t[c] = static_cast<uint8_t>(((c >> 2) ^ c) & 15);
    return t;
}
constexpr std::array<uint8_t, 256> kRotation = make_rotations();

inline uint32_t fold_byte(uint32_t ret, uint32_t k, char ch) {
    const auto c = static_cast<unsigned char>(ch);
    const uint32_t v =
        k | static_cast<uint32_t>(static_cast<int32_t>(static_cast<signed char>(ch)));
    return std::rotl(ret, kRotation[c]) ^ (v * v);
}

uint32_t strhash_string(const char *s) {
    uint32_t ret = 0;
    for (uint32_t k = 0x100; *s != '\0'; ++s, k += 0x100) ret = fold_byte(ret, k, *s);
    return ret ^ (ret >> 16);
}

uint32_t strhash_bytes(const char *s, size_t n) {
    uint32_t ret = 0;
    uint32_t k = 0x100;
    for (const char *end = s + n; s != end; ++s, k += 0x100) ret = fold_byte(ret, k, *s);
    return ret ^ (ret >> 16);
}

}  // namespace

uint32_t nivra::lh_strhash_n(const char *s, size_t n) { return strhash_bytes(s, n); }

void nivra::lh_prefetch(const LH_TABLE *t, uint32_t hash, int depth) {
    LH_NODE *const *slot = &t->buckets[bucket_of(t, hash)];
    if (depth == 0) {
        __builtin_prefetch(slot);
        return;
    }
    const LH_NODE *n = *slot;
    if (n != nullptr && depth >= 2) n = n->next;
    if (n != nullptr) __builtin_prefetch(n);
}

void *nivra::lh_insert_hashed(LH_TABLE *t, void *record, uint32_t hash) {
    grow_for_insert(t);
    assert(hash == t->hash_fn(record));
    return insert_at(t, record, hash);
}

void *nivra::lh_retrieve_hashed(LH_TABLE *t, const void *probe, uint32_t hash) {
    clear_error(t);
    assert(hash == t->hash_fn(probe));
    return retrieve_at(t, probe, hash);
}

void **nivra::lh_owner_data(LH_TABLE *t) { return &impl(t)->owner_data; }

extern "C" {

LH_TABLE *lh_new(LH_HASH_FN hash, LH_CMP_FN compare) {
    auto *whole = static_cast<Table *>(std::malloc(sizeof(Table)));
    if (whole == nullptr) return nullptr;
    std::memset(whole, 0, sizeof *whole);
    LH_TABLE *t = &whole->pub;
    t->buckets = static_cast<LH_NODE **>(std::malloc(sizeof(LH_NODE *) * 2 * kInitialBase));
    if (t->buckets == nullptr) {
        std::free(whole);
        return nullptr;
    }
    for (uint32_t i = 0; i < 2 * kInitialBase; ++i) t->buckets[i] = nullptr;
    t->compare_fn = compare != nullptr ? compare : default_compare;
    t->hash_fn = hash != nullptr ? hash : default_hash;
    t->bucket_count = kInitialBase;
    t->bucket_capacity = 2 * kInitialBase;
    t->split_index = 0;
    t->base_size = kInitialBase;
    t->grow_load = kInitialGrowLoad;
    t->shrink_load = kInitialShrinkLoad;
    return t;
}

void lh_free(LH_TABLE *t) {
    if (t == nullptr) return;
    Table *whole = impl(t);
    for (NodeBlock *b = whole->blocks; b != nullptr;) {
        NodeBlock *next = b->next;
        std::free(b);
        b = next;
    }
    std::free(t->buckets);
    std::free(whole);
}

void *lh_insert(LH_TABLE *t, void *record) {
    grow_for_insert(t);
    return insert_at(t, record, t->hash_fn(record));
}

void *lh_delete(LH_TABLE *t, const void *probe) {
    t->error = 0;
    uint32_t h = 0;
    LH_NODE **link = getrn(t, probe, &h);
    LH_NODE *n = *link;
    if (n == nullptr) {
        ++t->delete_miss_count;
        return nullptr;
    }
    void *record = n->record;
    *link = n->next;
    free_node(impl(t), n);
    ++t->delete_count;
    --t->item_count;
    if (t->bucket_count > kMinBucketsForContraction &&
        load_of(t->item_count, t->bucket_count) <= t->shrink_load) {
        contract(t);
    }
    return record;
}

void *lh_retrieve(LH_TABLE *t, const void *probe) {
    clear_error(t);
    return retrieve_at(t, probe, t->hash_fn(probe));
}

void lh_doall_arg(LH_TABLE *t, void (*fn)(void *record, void *arg), void *arg) {
    walk_all(t, [fn, arg](void *record) { fn(record, arg); });
}

void lh_doall(LH_TABLE *t, void (*fn)(void *record)) { walk_all(t, fn); }

uint32_t lh_strhash(const char *s) { return s == nullptr ? 0 : strhash_string(s); }

uint32_t lh_num_items(const LH_TABLE *t) { return t == nullptr ? 0 : t->item_count; }

}  // extern "C"
