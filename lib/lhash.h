/*
 * lhash.h - LH_TABLE, a linear hash table of opaque record pointers.
 *
 * Compiles as C99 and as C++.  A record is its own key: the caller's hash
 * function maps a record to 32 bits, and the caller's compare function tells
 * whether a stored record matches a probe.  The table grows by splitting one
 * bucket per insertion and shrinks by merging one bucket per deletion, never
 * rehashing as a whole.  It owns its nodes and bucket array, never the
 * records.  Nodes are allocated in blocks; a deleted record's node is kept
 * for the next insertion, and node memory is returned by lh_free.  Nothing
 * locks, prints or throws.
 *
 * Threads: any number of threads may call lh_retrieve and lh_num_items, and
 * read the fields, of one table at once.  lh_retrieve writes error and the
 * lookup statistics with relaxed atomic stores, so there is no data race,
 * but a count may miss an increment made at the same moment by another
 * thread.  lh_insert, lh_delete, lh_free, the lh_doall walks and changes to
 * grow_load or shrink_load need exclusive use of the table: no other thread
 * may use it meanwhile.
 *
 * Geometry, after every operation:
 *   0 <= split_index < base_size; base_size is 8 times a power of two
 *   bucket_count == base_size + split_index; bucket_capacity == 2 * base_size
 *   buckets from bucket_count upward are null
 *   a record with hash h lies in bucket h % base_size when that is at or above
 *   split_index, otherwise in bucket h % bucket_capacity
 * The load is item_count * 256 / bucket_count (computed in 64 bits).  An
 * insertion expands one bucket first when the load is at least grow_load; a
 * deletion merges one when more than 16 buckets are in use and the load
 * after it is at most shrink_load.
 *
 * All fields are public: callers read the statistics and error, and may
 * change grow_load and shrink_load at any time.
 */
#ifndef NIVRA_LHASH_H
#define NIVRA_LHASH_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef uint32_t (*LH_HASH_FN)(const void *record);
/* 0 when the stored record (first) matches the probe (second). */
typedef int (*LH_CMP_FN)(const void *stored, const void *probe);

typedef struct LH_NODE {
    void *record;
    struct LH_NODE *next;
    uint32_t hash_value; /* the record's full hash, taken once at insertion */
} LH_NODE;

typedef struct LH_TABLE {
    LH_NODE **buckets; /* bucket_capacity chain heads */
    LH_CMP_FN compare_fn;
    LH_HASH_FN hash_fn;
    uint32_t bucket_count;    /* buckets in use: base_size + split_index */
    uint32_t bucket_capacity; /* slots allocated: 2 * base_size */
    uint32_t split_index;     /* next bucket to split in this cycle */
    uint32_t base_size;       /* buckets in use when this cycle began */
    uint32_t grow_load;       /* expansion threshold, 1/256 record per bucket */
    uint32_t shrink_load;     /* contraction threshold, same unit */
    uint32_t item_count;
    uint32_t expand_count;           /* buckets split */
    uint32_t expand_realloc_count;   /* bucket array doubled */
    uint32_t contract_count;         /* buckets merged */
    uint32_t contract_realloc_count; /* bucket array halved */
    uint32_t hash_call_count;        /* hash_fn calls, one per lookup */
    uint32_t compare_call_count;     /* compare_fn calls */
    uint32_t insert_count;           /* records added */
    uint32_t replace_count;          /* records replaced */
    uint32_t delete_count;           /* records removed */
    uint32_t delete_miss_count;      /* lh_delete calls that found nothing */
    uint32_t retrieve_count;         /* lh_retrieve calls that found a record */
    uint32_t retrieve_miss_count;    /* lh_retrieve calls that found nothing */
    uint32_t node_visit_count;       /* chain nodes examined by lookups */
    uint32_t error;                  /* allocation failures in the current insert/delete/retrieve */
} LH_TABLE;

/*
 * A new empty table: 8 buckets in use of 16 allocated, grow_load 512 (two
 * records per bucket), shrink_load 256, every count 0.  A null hash function
 * gives lh_strhash over the record as a string, a null compare function
 * strcmp of the two records as strings.  Null when memory runs out.
 */
LH_TABLE *lh_new(LH_HASH_FN hash, LH_CMP_FN compare);

/* Releases every node, the bucket array and the table; not the records.
 * A null table is ignored. */
void lh_free(LH_TABLE *t);

/*
 * Stores record.  When a stored record matches it, the new record takes its
 * place and the old one is returned (replace_count; item_count unchanged).
 * Otherwise the record is appended to its bucket's chain and null is
 * returned.  error is cleared first; null with error 0 means the record was
 * added.  A non-zero error means an allocation failed during the call:
 * either the node's (then nothing was added and null is returned), or the
 * doubling of the bucket array in the expansion (then the table simply
 * stays at its size, and the insertion went on as usual).
 * Requires a table.
 */
void *lh_insert(LH_TABLE *t, void *record);

/* Removes the stored record that matches probe and returns it (the stored
 * record, not the probe), or null when none matches (delete_miss_count).
 * error is cleared first; it is non-zero afterwards only when the bucket
 * array could not be halved, in which case the deletion has still happened
 * and the table stays valid.  Requires a table. */
void *lh_delete(LH_TABLE *t, const void *probe);

/* The stored record that matches probe, or null.  Counts retrieve_count or
 * retrieve_miss_count.  Requires a table. */
void *lh_retrieve(LH_TABLE *t, const void *probe);

/*
 * Calls fn(record, arg) for every record: buckets from the last in use (as
 * counted when the walk starts) down to 0, each chain from head to tail.
 * The next node is read before fn is called, so fn may lh_delete the record
 * it was given, and nothing else: no insertion, no deletion of another record.
 * When such a deletion merges buckets, the kept records of the merged chain
 * may be visited again (set shrink_load to 0 before a walk that deletes every
 * record to avoid that); the walk never reads outside the current array.
 * Requires a table.
 */
void lh_doall_arg(LH_TABLE *t, void (*fn)(void *record, void *arg), void *arg);

/* lh_doall_arg with a callback of one argument. */
void lh_doall(LH_TABLE *t, void (*fn)(void *record));

/* The library's string hash; 0 for null and "".  "abc" gives 0xF547AD32. */
uint32_t lh_strhash(const char *s);

/* item_count, or 0 for a null table. */
uint32_t lh_num_items(const LH_TABLE *t);

#ifdef __cplusplus
}
#endif

#endif /* NIVRA_LHASH_H */
