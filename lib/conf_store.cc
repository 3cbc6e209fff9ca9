// conf_store.cc - the configuration store: records and their table, the
// section order, entries, lookups, errors and release.  The invariants it
// keeps are listed in conf_store.h.
//
// A section record holds its entry stack in its value field; this file is
// the only one that converts between the two.  The table's owner slot holds
// the store's own state, created with the first section or arena entry and
// released with the table: the section order (a stack of section records)
// and the arena that section records and the loader's entries come from.
//
// The arena.  A load makes one block per entry (record, origin, name and
// value) and keeps nearly all of them until the table is released, so the
// blocks are cut from large chunks one after the other and the chunks are
// freed whole: no allocator call per entry, no allocator header per block,
// and a release that need not visit the entries.  A block that comes back
// (a replaced entry, or one that could not be stored) goes on a free list of
// its size and serves the next entry of that size, so that replacing one
// entry again and again does not grow the arena.  Blocks larger than
// kMaxArenaBlock come from the heap as make_entry's do.  An entry tells
// where its block came from by where its name starts: right after the
// origin in a heap block, one byte later in an arena block, whose byte in
// between holds the block's size in arena units.
#include "conf_store.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "conf_buffer.h"
#include "conf_syntax.h"
#include "lhash_internal.h"
#include "stack_internal.h"

namespace nivra::conf {
namespace {

constexpr char kEnvSection[] = "ENV";

SK_STACK *entries_of(const CONF_VALUE *section) {
    return reinterpret_cast<SK_STACK *>(section->value);
}

// Arena blocks are multiples of kUnit bytes, which keeps every record
// aligned; free lists are kept per size up to kMaxArenaBlock.
constexpr size_t kUnit = alignof(CONF_VALUE);
constexpr size_t kMaxArenaBlock = 256;
constexpr size_t kClasses = kMaxArenaBlock / kUnit + 1;
// Chunk sizes: a small file's entries fit in the first; a big file's get
// ever larger chunks, up to kMaxChunk, so that the chunk count stays small
// and the space left unused at the end of the last chunk stays bounded.
constexpr size_t kFirstChunk = 4096;
constexpr size_t kMaxChunk = size_t{256} * 1024;
constexpr size_t kEntryHead = sizeof(CONF_VALUE) + sizeof(EntryOrigin);
static_assert(kEntryHead % kUnit == 0 && kClasses - 1 <= 0xFF);

struct Chunk {
    Chunk *next;
    size_t size;  // bytes of the whole chunk, this header included
};
static_assert(sizeof(Chunk) % kUnit == 0);

struct FreeBlock {
    FreeBlock *next;
};

struct StoreState {
    SK_STACK *order;  // section records in order of creation; null until the first
    Chunk *chunks;    // newest first
    char *cursor;     // the unused rest of the newest chunk
    char *limit;
    FreeBlock *free_blocks[kClasses];  // given-back blocks, by size in units
    size_t heap_entries;               // stored entries whose blocks are heap blocks
};

StoreState *&state_slot(LH_TABLE *table) {
    return *reinterpret_cast<StoreState **>(lh_owner_data(table));
}

// The table's store state, created (zeroed) when it has none; null when
// memory runs out.
StoreState *state_for(LH_TABLE *table) {
    StoreState *&st = state_slot(table);
    if (st == nullptr) {
        st = static_cast<StoreState *>(std::malloc(sizeof(StoreState)));
        if (st != nullptr) std::memset(st, 0, sizeof *st);
    }
    return st;
}

SK_STACK *order_of(LH_TABLE *table) {
    const StoreState *st = state_slot(table);
    return st != nullptr ? st->order : nullptr;
}

bool is_arena_block(const CONF_VALUE *entry) {
    return entry->name != reinterpret_cast<const char *>(entry) + kEntryHead;
}

// A block of units * kUnit bytes: a given-back one of that size, or the
// next bytes of the newest chunk, or the start of a new chunk.
void *arena_take(StoreState *st, size_t units) {
    if (FreeBlock *b = st->free_blocks[units]; b != nullptr) {
        st->free_blocks[units] = b->next;
        return b;
    }
    const size_t bytes = units * kUnit;
    if (static_cast<size_t>(st->limit - st->cursor) < bytes) {
        const size_t size = st->chunks == nullptr          ? kFirstChunk
                            : st->chunks->size < kMaxChunk ? 2 * st->chunks->size
                                                           : kMaxChunk;
        auto *c = static_cast<Chunk *>(std::malloc(size));
        if (c == nullptr) return nullptr;
        c->next = st->chunks;
        c->size = size;
        st->chunks = c;
        st->cursor = reinterpret_cast<char *>(c) + sizeof(Chunk);
        st->limit = reinterpret_cast<char *>(c) + size;
    }
    void *b = st->cursor;
    st->cursor += bytes;
    return b;
}

// Gives a block of units arena units back to its free list.
void arena_give_back(StoreState *st, void *block, size_t units) {
    auto *b = static_cast<FreeBlock *>(block);
    b->next = st->free_blocks[units];
    st->free_blocks[units] = b;
}

// The same for an arena entry, whose block records its size.
void arena_give_back(StoreState *st, CONF_VALUE *entry) {
    const auto units = static_cast<unsigned char>(reinterpret_cast<char *>(entry)[kEntryHead]);
    arena_give_back(st, entry, units);
}

// Fills a block of make_entry's layout: record, origin (empty), then name
// and value at name_at, each followed by a NUL.
CONF_VALUE *fill_entry(void *block, char *name_at, const char *name, size_t name_len,
                       const char *value, size_t value_len) {
    auto *e = static_cast<CONF_VALUE *>(block);
    *origin_of(e) = EntryOrigin{nullptr, 0};
    char *value_at = name_at + name_len + 1;
    std::memcpy(name_at, name, name_len);
    name_at[name_len] = '\0';
    std::memcpy(value_at, value, value_len);
    value_at[value_len] = '\0';
    e->section = nullptr;
    e->name = name_at;
    e->value = value_at;
    return e;
}

void free_arena(StoreState *st) {
    for (Chunk *c = st->chunks; c != nullptr;) {
        Chunk *next = c->next;
        std::free(c);
        c = next;
    }
}

// A probe record for lookups: only the key fields are read.
CONF_VALUE probe_for(const char *section, const char *name) {
    return CONF_VALUE{const_cast<char *>(section), const_cast<char *>(name), nullptr};
}

// A section record, its stack's record and its name are one block, from the
// arena unless the name is too long for it (which the name's length tells
// at any time); only the stack's slots are a heap block of their own (they
// grow).
constexpr size_t kSectionHead = sizeof(CONF_VALUE) + sizeof(SK_STACK);
static_assert(sizeof(CONF_VALUE) % alignof(SK_STACK) == 0 && kSectionHead % kUnit == 0);

size_t section_units(const char *name) {
    return (kSectionHead + std::strlen(name) + 1 + kUnit - 1) / kUnit;
}
bool section_in_arena(size_t units) { return units * kUnit <= kMaxArenaBlock; }

// Releases a section record's stack slots, and its block when that is a
// heap block (an arena block goes with the arena).
void free_section(CONF_VALUE *section) {
    sk_release(entries_of(section));
    if (!section_in_arena(section_units(section->section))) std::free(section);
}

// Releases an unstored section record at once, made by make_section with
// its block from the heap or not: an arena block goes back to its free list.
void discard_section(StoreState *st, CONF_VALUE *section, bool heap_block) {
    sk_release(entries_of(section));
    if (heap_block) {
        std::free(section);
    } else {
        arena_give_back(st, section, section_units(section->section));
    }
}

// Releases a section record with its stack; its entries' heap blocks too
// when some entries have them (arena blocks go with the arena), from last
// to first.
void free_section_with_entries(CONF_VALUE *v, bool heap_entries) {
    SK_STACK *sk = entries_of(v);
    for (int i = heap_entries ? sk_num(sk) - 1 : -1; i >= 0; --i) {
        CONF_VALUE *e = sk_CONF_VALUE_value(sk, i);
        if (!is_arena_block(e)) free_entry(e);
    }
    free_section(v);
}

[[noreturn]] void internal_fault() {
    std::fwrite("internal fault\n", 1, 15, stderr);
    std::abort();
}

// An unstored section record with its own name and an empty stack; null
// when memory runs out, with nothing left behind.  *heap_block tells whether
// its block came from the heap (a name too long for the arena).
CONF_VALUE *make_section(StoreState *st, const char *name, bool *heap_block) {
    const size_t size = std::strlen(name) + 1;
    const size_t units = section_units(name);
    const bool in_arena = section_in_arena(units);
    *heap_block = !in_arena;
    void *block = in_arena ? arena_take(st, units) : std::malloc(units * kUnit);
    if (block == nullptr) return nullptr;
    auto *v = static_cast<CONF_VALUE *>(block);
    auto *sk = reinterpret_cast<SK_STACK *>(v + 1);
    if (!sk_init(sk, nullptr)) {
        if (in_arena) {
            arena_give_back(st, block, units);
        } else {
            std::free(block);
        }
        return nullptr;
    }
    char *copy = reinterpret_cast<char *>(sk + 1);
    std::memcpy(copy, name, size);
    v->section = copy;
    v->name = nullptr;
    v->value = reinterpret_cast<char *>(sk);
    return v;
}

}  // namespace

const CONF_REASON CONF_str_reasons[] = {
    {kErrNullContext, "null context pointer"},
    {kErrOpen, "unable to open configuration file"},
    {kErrMemory, "memory allocation fail"},
    {kErrSection, "unable to create new section"},
    {kErrBracket, "missing close square bracket"},
    {kErrEqual, "missing equal sign"},
    {kErrBrace, "no close brace"},
    {kErrNoValue, "variable has no value"},
    {kErrRead, "error reading configuration file"},
    {kErrTooLong, "variable expansion too long"},
    {kErrUnwritable, "name cannot be written"},
    {kErrNoParse, "text does not parse"},
    {kErrChanged, "file changed since it was read"},
    {kErrWrite, "error writing configuration file"},
    {kErrNotWritable, "file is not writable"},
    {kErrProperty, "file property cannot be kept"},
    {kErrLocked, "file is locked by another process"},
    {kErrNotRegular, "not a regular file"},
    {kErrLinks, "file has more than one link"},
    {kErrSavedUnsynced, "saved, but the directory could not be synced"},
    {kErrSchemaMismatch, "configuration does not match its schema"},
    {0, nullptr},
};

void CONFerr(CONF_CTX *ctx, int number) {
    ctx->last_errnum = number;
    ctx->last_error_str[0] = '\0';
    for (const CONF_REASON *r = CONF_str_reasons; r->text != nullptr; ++r) {
        if (r->code == number) {
            std::snprintf(ctx->last_error_str, sizeof ctx->last_error_str, "%s", r->text);
            return;
        }
    }
}

uint32_t hash(const void *record) {
    const auto *v = static_cast<const CONF_VALUE *>(record);
    return key_hash(lh_strhash(v->section), lh_strhash(v->name));
}

int cmp_conf(const void *a, const void *b) {
    const auto *x = static_cast<const CONF_VALUE *>(a);
    const auto *y = static_cast<const CONF_VALUE *>(b);
    if (x->section != y->section) {
        const int r = std::strcmp(x->section, y->section);
        if (r != 0) return r;
    }
    if (x->name != nullptr && y->name != nullptr) return std::strcmp(x->name, y->name);
    if (x->name == nullptr && y->name == nullptr) return 0;
    return x->name != nullptr ? 1 : -1;
}

LH_TABLE *table_for(CONF_CTX *ctx) {
    if (ctx->table == nullptr) ctx->table = lh_new(hash, cmp_conf);
    return ctx->table;
}

CONF_VALUE *get_section(CONF_CTX *ctx, const char *name) {
    if (ctx->table == nullptr || name == nullptr) return nullptr;
    CONF_VALUE probe = probe_for(name, nullptr);
    return static_cast<CONF_VALUE *>(lh_retrieve(ctx->table, &probe));
}

namespace {

// new_section, with the table insertion given.
template <typename Insert>
CONF_VALUE *new_section_with(LH_TABLE *table, const char *name, Insert insert) {
    StoreState *st = state_for(table);
    if (st == nullptr) return nullptr;
    SK_STACK **order = &st->order;
    if (*order == nullptr && (*order = sk_new(nullptr)) == nullptr) return nullptr;
    bool heap_block = false;
    CONF_VALUE *v = make_section(st, name, &heap_block);
    if (v == nullptr) return nullptr;
    if (sk_CONF_VALUE_push(*order, v) == 0) {
        discard_section(st, v, heap_block);
        return nullptr;
    }
    const uint32_t before = table->item_count;
    if (insert(table, v) != nullptr) internal_fault();
    // A failed doubling of the bucket array still stores the record; only a
    // node that could not be had leaves it out.
    if (table->item_count == before) {
        sk_CONF_VALUE_pop(*order);
        discard_section(st, v, heap_block);
        return nullptr;
    }
    return v;
}

}  // namespace

CONF_VALUE *new_section(LH_TABLE *table, const char *name) {
    return new_section_with(table, name, lh_insert);
}

CONF_VALUE *find_or_add_section(CONF_CTX *ctx, const char *name) {
    return find_or_add_section(ctx, name, lh_strhash(name));
}

CONF_VALUE *find_or_add_section(CONF_CTX *ctx, const char *name, uint32_t name_hash) {
    // A section record's name is null, whose string hash is 0: the record's
    // hash follows from the name's alone, computed once for both calls.
    const uint32_t h = key_hash(name_hash, 0);
    CONF_VALUE probe = probe_for(name, nullptr);
    auto *s = static_cast<CONF_VALUE *>(lh_retrieve_hashed(ctx->table, &probe, h));
    if (s != nullptr) return s;
    return new_section_with(ctx->table, name, [h](LH_TABLE *t, void *record) {
        return lh_insert_hashed(t, record, h);
    });
}

int section_count(LH_TABLE *table) {
    if (table == nullptr) return 0;
    const int n = sk_num(order_of(table));
    return n < 0 ? 0 : n;
}

CONF_VALUE *section_at(LH_TABLE *table, int index) {
    if (index < 0 || index >= section_count(table)) return nullptr;
    return sk_CONF_VALUE_value(order_of(table), index);
}

int entry_count(const CONF_VALUE *section) { return sk_num(entries_of(section)); }

CONF_VALUE *entry_at(const CONF_VALUE *section, int index) {
    if (index < 0 || index >= entry_count(section)) return nullptr;
    return sk_CONF_VALUE_value(entries_of(section), index);
}

namespace {

// store_entry, with the table insertion given.
template <typename Insert>
int store_with(CONF_CTX *ctx, CONF_VALUE *section, CONF_VALUE *entry, Insert insert) {
    SK_STACK *sk = entries_of(section);
    LH_TABLE *t = ctx->table;
    entry->section = section->section;
    if (sk_CONF_VALUE_push(sk, entry) == 0) return kErrMemory;
    const uint32_t before = t->item_count;
    auto *old = static_cast<CONF_VALUE *>(insert(t, entry));
    if (old == nullptr && t->item_count == before) {
        // The node could not be had: nothing was stored.  (A failed doubling
        // of the bucket array stores the record all the same.)
        sk_CONF_VALUE_pop(sk);
        return kErrMemory;
    }
    // A table that stores a record has its store state: its section did.
    StoreState *st = state_slot(t);
    if (!is_arena_block(entry)) ++st->heap_entries;
    if (old != nullptr) {
        sk_CONF_VALUE_delete_ptr(sk, old);
        if (!is_arena_block(old)) --st->heap_entries;
        discard_entry(t, old);
    }
    return 0;
}

}  // namespace

int store_entry(CONF_CTX *ctx, CONF_VALUE *section, CONF_VALUE *entry) {
    return store_with(ctx, section, entry, lh_insert);
}

int store_entry(CONF_CTX *ctx, CONF_VALUE *section, CONF_VALUE *entry, uint32_t hash) {
    return store_with(ctx, section, entry, [hash](LH_TABLE *t, void *record) {
        return lh_insert_hashed(t, record, hash);
    });
}

CONF_VALUE *find_entry(CONF_CTX *ctx, const char *section, const char *name) {
    CONF_VALUE probe = probe_for(section, name);
    return static_cast<CONF_VALUE *>(lh_retrieve(ctx->table, &probe));
}

CONF_VALUE *make_entry(const char *name, size_t name_len, const char *value, size_t value_len) {
    // The sizes come from texts held in memory, so their sum cannot wrap.
    void *block = std::malloc(kEntryHead + name_len + value_len + 2);
    if (block == nullptr) return nullptr;
    return fill_entry(block, static_cast<char *>(block) + kEntryHead, name, name_len, value,
                      value_len);
}

CONF_VALUE *make_entry_in(LH_TABLE *table, const char *name, size_t name_len, const char *value,
                          size_t value_len) {
    const size_t bytes = kEntryHead + 1 + name_len + value_len + 2;
    if (bytes > kMaxArenaBlock) return make_entry(name, name_len, value, value_len);
    StoreState *st = state_for(table);
    if (st == nullptr) return nullptr;
    const size_t units = (bytes + kUnit - 1) / kUnit;
    void *block = arena_take(st, units);
    if (block == nullptr) return nullptr;
    char *tag = static_cast<char *>(block) + kEntryHead;
    *tag = static_cast<char>(units);
    return fill_entry(block, tag + 1, name, name_len, value, value_len);
}

void discard_entry(LH_TABLE *table, CONF_VALUE *entry) {
    if (is_arena_block(entry)) {
        arena_give_back(state_slot(table), entry);
    } else {
        free_entry(entry);
    }
}

void free_entry(CONF_VALUE *entry) { std::free(entry); }

}  // namespace nivra::conf

// The files of a context: every distinct path a load stored entries from,
// and the one whose load recorded the last error.
struct CONF_ORIGINS {
    nivra::conf::GrowArray<char *> files;  // each from malloc, owned here
    const char *error_file = nullptr;
};

namespace nivra::conf {

namespace {

// Made in a block of the C heap, as everything of a context is.
CONF_ORIGINS *origins_for(CONF_CTX *ctx) {
    if (ctx->origins == nullptr) {
        void *block = std::malloc(sizeof(CONF_ORIGINS));
        if (block != nullptr) ctx->origins = new (block) CONF_ORIGINS;
    }
    return ctx->origins;
}

void free_origins(CONF_ORIGINS *o) {
    if (o == nullptr) return;
    for (char *file : o->files) std::free(file);
    o->~CONF_ORIGINS();
    std::free(o);
}

}  // namespace

const char *intern_file(CONF_CTX *ctx, const char *path) {
    CONF_ORIGINS *o = origins_for(ctx);
    if (o == nullptr) return nullptr;
    // Newest first: a program loads the same few files again and again.
    for (size_t i = o->files.size(); i > 0; --i) {
        if (std::strcmp(o->files[i - 1], path) == 0) return o->files[i - 1];
    }
    // Room first, so that a copy once made is always kept.
    if (!o->files.reserve(o->files.size() + 1)) return nullptr;
    const size_t n = std::strlen(path) + 1;
    auto *copy = static_cast<char *>(std::malloc(n));
    if (copy == nullptr) return nullptr;
    std::memcpy(copy, path, n);
    o->files.push(copy);  // cannot fail: the room is there
    return copy;
}

const char *named_file_at(const CONF_CTX *ctx, size_t index) {
    const CONF_ORIGINS *o = ctx->origins;
    return o != nullptr && index < o->files.size() ? o->files[index] : nullptr;
}

void set_error_file(CONF_CTX *ctx, const char *file) {
    if (ctx->origins != nullptr) ctx->origins->error_file = file;
    // A file is always interned first, so a context without origins has
    // never recorded an error of a file.
}

void CONF_lhash_free(LH_TABLE *table) {
    if (table == nullptr) return;
    // Every record is reachable from the section order (a table without one
    // holds no record), so the records are freed from there, in order of
    // creation rather than hash order, and the table, which owns none of
    // them, is freed whole: taking each entry out of the table first would
    // only walk every chain once more.  Entries in the arena go with its
    // chunks, unvisited; only heap blocks (large entries, or entries made by
    // make_entry), when there are any, are freed one by one.
    if (StoreState *st = state_slot(table); st != nullptr) {
        SK_STACK *order = st->order;
        for (int i = sk_num(order) - 1; i >= 0; --i)
            free_section_with_entries(sk_CONF_VALUE_value(order, i), st->heap_entries > 0);
        sk_free(order);
        free_arena(st);
        std::free(st);
    }
    lh_free(table);
}

namespace {

struct CheckState {
    LH_TABLE *table;
    uint32_t records;
    const char *why;
};

void check_record(void *record, void *arg) {
    auto *st = static_cast<CheckState *>(arg);
    auto *v = static_cast<CONF_VALUE *>(record);
    if (st->why != nullptr) return;
    if (v->name != nullptr) return;  // entries are reached through their section
    CONF_VALUE probe = probe_for(v->section, nullptr);
    if (lh_retrieve(st->table, &probe) != v) st->why = "section record not found by its key";
    ++st->records;
    for (int i = 0; i < entry_count(v) && st->why == nullptr; ++i) {
        CONF_VALUE *e = entry_at(v, i);
        ++st->records;
        if (e->section != v->section) st->why = "entry does not share its section's name";
        if (e->name == nullptr || e->value == nullptr) st->why = "entry without name or value";
        if (lh_retrieve(st->table, e) != e) st->why = "listed entry not stored under its key";
    }
}

}  // namespace

const char *store_check(CONF_CTX *ctx) {
    LH_TABLE *t = ctx->table;
    if (t == nullptr) return nullptr;
    CheckState st{t, 0, nullptr};
    lh_doall_arg(t, check_record, &st);
    if (st.why != nullptr) return st.why;
    if (st.records != t->item_count) return "records in the table that no section lists";
    int sections_in_table = 0;
    for (int i = 0; i < section_count(t); ++i) {
        CONF_VALUE *s = section_at(t, i);
        if (s->name != nullptr || get_section(ctx, s->section) != s)
            return "section order holds a record the table does not";
        ++sections_in_table;
    }
    uint32_t entries = 0;
    for (int i = 0; i < section_count(t); ++i)
        entries += static_cast<uint32_t>(entry_count(section_at(t, i)));
    if (entries + static_cast<uint32_t>(sections_in_table) != t->item_count)
        return "section order misses a section";
    return nullptr;
}

}  // namespace nivra::conf

using namespace nivra::conf;

extern "C" {

CONF_CTX *CONF_new(void) {
    auto *ctx = static_cast<CONF_CTX *>(std::malloc(sizeof(CONF_CTX)));
    if (ctx != nullptr) std::memset(ctx, 0, sizeof *ctx);
    return ctx;
}

const char *CONF_get_string(CONF_CTX *ctx, const char *section, const char *name) {
    if (name == nullptr) return nullptr;
    if (ctx->table == nullptr) return std::getenv(name);
    if (section != nullptr) {
        if (const CONF_VALUE *e = find_entry(ctx, section, name)) return e->value;
        if (std::strcmp(section, kEnvSection) == 0) {
            const char *env = std::getenv(name);
            if (env != nullptr) return env;
        }
    }
    const CONF_VALUE *e = find_entry(ctx, kDefaultSection, name);
    return e != nullptr ? e->value : nullptr;
}

int CONF_get_number(CONF_CTX *ctx, const char *section, const char *name) {
    const char *s = CONF_get_string(ctx, section, name);
    if (s == nullptr) return 0;
    uint32_t v = 0;  // unsigned, so that wrapping is defined
    for (; is_class(*s, CC_DIGIT); ++s) v = v * 10 + static_cast<uint32_t>(*s - '0');
    return static_cast<int>(v);
}

int CONF_get_last_errnum(const CONF_CTX *ctx) { return ctx == nullptr ? 0 : ctx->last_errnum; }

const char *CONF_get_last_error_str(const CONF_CTX *ctx) {
    return ctx == nullptr ? nullptr : ctx->last_error_str;
}

void CONF_clear_error(CONF_CTX *ctx) {
    if (ctx == nullptr) return;
    ctx->last_errnum = 0;
    ctx->last_error_str[0] = '\0';
    set_error_file(ctx, nullptr);
}

const char *CONF_get_last_error_file(const CONF_CTX *ctx) {
    return ctx != nullptr && ctx->origins != nullptr ? ctx->origins->error_file : nullptr;
}

int CONF_get_origin(CONF_CTX *ctx, const char *section, const char *name, const char **file,
                    int *line) {
    if (ctx == nullptr || ctx->table == nullptr || name == nullptr) return 0;
    const CONF_VALUE *e = find_entry(ctx, section != nullptr ? section : kDefaultSection, name);
    if (e == nullptr) return 0;
    if (file != nullptr) *file = origin_of(e)->file;
    if (line != nullptr) *line = origin_of(e)->line;
    return 1;
}

int CONF_get_section_count(CONF_CTX *ctx) { return ctx == nullptr ? 0 : section_count(ctx->table); }

const char *CONF_get_section_name(CONF_CTX *ctx, int index) {
    const CONF_VALUE *s = ctx == nullptr ? nullptr : section_at(ctx->table, index);
    return s != nullptr ? s->section : nullptr;
}

int CONF_get_entry_count(CONF_CTX *ctx, const char *section) {
    const CONF_VALUE *s = ctx == nullptr ? nullptr : get_section(ctx, section);
    return s != nullptr ? entry_count(s) : -1;
}

const CONF_VALUE *CONF_get_entry(CONF_CTX *ctx, const char *section, int index) {
    const CONF_VALUE *s = ctx == nullptr ? nullptr : get_section(ctx, section);
    return s != nullptr ? entry_at(s, index) : nullptr;
}

int CONF_get_last_error_line(const CONF_CTX *ctx) {
    if (ctx == nullptr) return 0;
    // The suffix is the last thing in the text; the number is read back from
    // it, clamped to the int range, so that the text stays the one record.
    static constexpr char kSuffix[] = ", line ";
    const char *text = ctx->last_error_str;
    const char *at = nullptr;
    for (const char *p = std::strstr(text, kSuffix); p != nullptr; p = std::strstr(p + 1, kSuffix))
        at = p;
    if (at == nullptr) return 0;
    const char *digits = at + sizeof kSuffix - 1;
    long long n = 0;
    const char *p = digits;
    for (; is_class(*p, CC_DIGIT) && (*p & 0x80) == 0; ++p) {
        n = n * 10 + (*p - '0');
        if (n > INT_MAX) n = INT_MAX;
    }
    return (p == digits || *p != '\0') ? 0 : static_cast<int>(n);
}

void CONF_free(CONF_CTX *ctx) {
    if (ctx == nullptr) return;
    CONF_lhash_free(ctx->table);
    free_origins(ctx->origins);
    std::free(ctx);
}

}  // extern "C"
