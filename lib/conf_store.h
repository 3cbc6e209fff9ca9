// conf_store.h - the configuration store: records, sections, entries,
// errors and release.  Internal to the library; not installed.
//
// This is the one interface through which the loader, the public listing
// and lookups, and the tests reach the records of a context's table; no
// other file casts a section record's value or walks the table itself.
//
// Invariants of a context's table (conf_store.cc keeps them):
//   - it holds every section record (key: name, null) and every entry record
//     (key: section, name) of the context, at most one record per key;
//   - every entry record is listed in its section record's entry stack, and
//     each stack lists exactly the entries of its section, in stored order;
//   - an entry's section pointer is its section record's own name string;
//   - the section order lists every section record once, in the order in
//     which the sections came into being in this table.
#ifndef NIVRA_CONF_STORE_H
#define NIVRA_CONF_STORE_H

#include <cstddef>
#include <cstdint>

#include "conf.h"

namespace nivra::conf {

inline constexpr int kErrNullContext = -100;
inline constexpr int kErrOpen = -101;
inline constexpr int kErrMemory = -102;
inline constexpr int kErrSection = -103;
inline constexpr int kErrBracket = -104;
inline constexpr int kErrEqual = -105;
inline constexpr int kErrBrace = -106;
inline constexpr int kErrNoValue = -107;
inline constexpr int kErrRead = -108;
inline constexpr int kErrTooLong = -109;
inline constexpr int kErrUnwritable = -110;
inline constexpr int kErrNoParse = -111;
inline constexpr int kErrChanged = -112;
inline constexpr int kErrWrite = -113;
inline constexpr int kErrNotWritable = -114;
inline constexpr int kErrProperty = -115;
inline constexpr int kErrLocked = -116;
inline constexpr int kErrNotRegular = -117;
inline constexpr int kErrLinks = -118;
inline constexpr int kErrSavedUnsynced = -119;
// -120 is the schema's own: a schema that does not describe.
inline constexpr int kErrSchemaMismatch = -121;

inline constexpr char kDefaultSection[] = "default";

struct CONF_REASON {
    int code;
    const char *text;
};
// The error numbers and texts, ended by {0, nullptr}.
extern const CONF_REASON CONF_str_reasons[];

// Records number and its text (empty when the number is not in the table).
void CONFerr(CONF_CTX *ctx, int number);

// A record's hash from the lh_strhash values of its section and its name.
constexpr uint32_t key_hash(uint32_t section_hash, uint32_t name_hash) {
    return (section_hash << 2) ^ name_hash;
}

// key_hash(lh_strhash(section), lh_strhash(name)), for the context's table.
uint32_t hash(const void *record);

// Orders records by section, then name; a section record (no name) sorts
// before the entries of its section.  0 means the same key.
int cmp_conf(const void *a, const void *b);

// The context's table, created empty (hash, cmp_conf) when it has none;
// null when memory runs out.
LH_TABLE *table_for(CONF_CTX *ctx);

// ---- Sections -------------------------------------------------------------

// The section record of that name, or null (no table, null name, no such
// section).
CONF_VALUE *get_section(CONF_CTX *ctx, const char *name);

// Creates the section record of that name with an empty entry stack, stores
// it in the table and appends it to the section order.  Null when memory
// runs out before the table stored it, with nothing left behind.  A section
// of that name must not exist already: that is an internal fault that
// writes "internal fault\n" to standard error and aborts.
CONF_VALUE *new_section(LH_TABLE *table, const char *name);

// get_section, or new_section when there is none; null only when a new
// section could not be made.  Requires a table.
CONF_VALUE *find_or_add_section(CONF_CTX *ctx, const char *name);
// The same, for a caller that knows lh_strhash(name) already.
CONF_VALUE *find_or_add_section(CONF_CTX *ctx, const char *name, uint32_t name_hash);

// The sections of a table in the order in which they came into being; 0
// and null for a null table or an index out of range.
int section_count(LH_TABLE *table);
CONF_VALUE *section_at(LH_TABLE *table, int index);

// ---- Entries --------------------------------------------------------------

// The entries of a section record in stored order; 0 and null for an index
// out of range.
int entry_count(const CONF_VALUE *section);
CONF_VALUE *entry_at(const CONF_VALUE *section, int index);

// Stores entry (its name and value set by the caller) in section: sets its
// section string, appends it to the section's entries and stores it in the
// table.  An entry of the same name that it replaces leaves the section's
// entries and is freed.  Returns 0, or kErrMemory when the table could not
// store it; then the table and the section are as they were and the entry
// still belongs to the caller.  Requires ctx->table, which section belongs to.
int store_entry(CONF_CTX *ctx, CONF_VALUE *section, CONF_VALUE *entry);
// The same, for a caller that knows the entry's hash() already.
int store_entry(CONF_CTX *ctx, CONF_VALUE *section, CONF_VALUE *entry, uint32_t hash);

// The entry (section, name) itself, without fallbacks; null when there is
// none.  Requires a table.
CONF_VALUE *find_entry(CONF_CTX *ctx, const char *section, const char *name);

// A new entry record, not stored, whose name and value are copies of the
// name_len and value_len bytes given, each followed by a NUL; its section
// is null and its origin empty (no file, line 0).  Record, name and value are one heap block (one
// allocation per entry, and its bytes side by side), which free_entry releases; null when memory
// runs out.
CONF_VALUE *make_entry(const char *name, size_t name_len, const char *value, size_t value_len);

// make_entry for the loader, with the block taken from the arena of table
// (nothing but the table's memory: no heap block of its own for most
// entries, and all of them released at once with the table).  Such an entry
// may only be stored in that table, or given back with discard_entry; it
// must never reach free_entry.  Null when memory runs out.
CONF_VALUE *make_entry_in(LH_TABLE *table, const char *name, size_t name_len, const char *value,
                          size_t value_len);

// Gives back an unstored entry that make_entry or make_entry_in (of this
// table) made: its memory can serve the next entry at once.
void discard_entry(LH_TABLE *table, CONF_VALUE *entry);

// Where an entry was defined: the file (a path the context keeps, null for
// a stream or memory) and the first physical line of the definition.  It
// lies in the entry's block, after the record.
struct EntryOrigin {
    const char *file;
    int32_t line;
};
static_assert(sizeof(EntryOrigin) <= 16 && sizeof(CONF_VALUE) % alignof(EntryOrigin) == 0);
inline EntryOrigin *origin_of(CONF_VALUE *entry) {
    return reinterpret_cast<EntryOrigin *>(entry + 1);
}
inline const EntryOrigin *origin_of(const CONF_VALUE *entry) {
    return reinterpret_cast<const EntryOrigin *>(entry + 1);
}

// ---- Files ----------------------------------------------------------------

// The context's own copy of path, kept until CONF_free (one copy per
// distinct path); null when memory runs out.
const char *intern_file(CONF_CTX *ctx, const char *path);

// The files that the context's loads named, in the order in which each
// was first named (interned); null past the end.
const char *named_file_at(const CONF_CTX *ctx, size_t index);

// Makes file (interned, or null) the file of the context's last error.
void set_error_file(CONF_CTX *ctx, const char *file);

// Frees an entry record made by make_entry, with its name and value (not
// its section string, which belongs to the section record).  Not for an
// entry of make_entry_in (see discard_entry).
void free_entry(CONF_VALUE *entry);

// Releases the table with every record, stack and string in it, and its
// section order; null is ignored.
void CONF_lhash_free(LH_TABLE *table);

// For tests and fuzz targets: null when every invariant above holds for the
// context's table (or it has none), else what is wrong.  Walks everything.
const char *store_check(CONF_CTX *ctx);

}  // namespace nivra::conf

#endif  // NIVRA_CONF_STORE_H
