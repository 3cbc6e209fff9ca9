// conf_schema.cc - schemas: loading their descriptions, validating a
// context against them, typed reads with defaults, and the reference
// configuration.
//
// A schema's text is loaded by the library's own loader into a context
// that the schema keeps (its section and entry names are the schema's
// strings); its documentation is taken from the bytes between the logical
// lines that the loader's observer reports.  What this file parses itself
// is only the value of a schema entry and the typed values (sizes,
// durations) that the loader leaves as text.
//
// Invariants of a loaded schema:
//   - sections[] follows the schema context's section order ("default"
//     first), keys[] its entries section by section, each section's keys
//     the range first_key..first_key+key_count;
//   - every key's default, when it has one, passes check_value for it;
//   - a deprecated key names a key of its section that is neither "*" nor
//     deprecated;
//   - the two slot tables hold index+1 of every section and key, found by
//     open addressing from their hash, with at least three quarters of
//     them empty.
// Nothing is changed after the load, so lookups need no lock.
#include "conf_schema.h"

#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "conf_file.h"
#include "conf_load.h"
#include "conf_buffer.h"
#include "conf_store.h"
#include "conf_typed.h"
#include "conf_write.h"

namespace nivra::conf::schema {

// ---- Memory -----------------------------------------------------------------

// Blocks from malloc released all at once: every string and array of a
// schema or of a findings object lives in one, so nothing is freed alone.
struct ArenaBlock {
    ArenaBlock *next;
    size_t size;
    size_t used;
    size_t pad;  // keeps the data after the header 16-aligned
};
static_assert(sizeof(ArenaBlock) % 16 == 0);

struct Arena {
    ArenaBlock *head;
};

constexpr size_t kArenaBlock = 4096;

void arena_release(Arena *a) {
    while (a->head != nullptr) {
        ArenaBlock *next = a->head->next;
        std::free(a->head);
        a->head = next;
    }
}

// n bytes aligned to 16; null when memory runs out (the arena as it was).
void *arena_alloc(Arena *a, size_t n) {
    if (n > SIZE_MAX / 2) return nullptr;
    n = (n + 15) & ~size_t{15};
    ArenaBlock *b = a->head;
    if (b == nullptr || b->size - b->used < n) {
        const size_t size = n > kArenaBlock ? n : kArenaBlock;
        b = static_cast<ArenaBlock *>(std::malloc(sizeof(ArenaBlock) + size));
        if (b == nullptr) return nullptr;
        *b = ArenaBlock{a->head, size, 0, 0};
        a->head = b;
    }
    void *p = reinterpret_cast<unsigned char *>(b + 1) + b->used;
    b->used += n;
    return p;
}

// A NUL-terminated copy of n bytes; null when memory runs out.
char *arena_copy(Arena *a, const char *s, size_t n) {
    auto *p = static_cast<char *>(arena_alloc(a, n + 1));
    if (p == nullptr) return nullptr;
    if (n > 0) std::memcpy(p, s, n);
    p[n] = '\0';
    return p;
}

char *arena_copy(Arena *a, const char *s) { return arena_copy(a, s, std::strlen(s)); }

// ---- Descriptions --------------------------------------------------------------

enum class Type : uint8_t { kString, kInt, kDouble, kBool, kEnum, kSize, kDuration, kDeprecated };

constexpr const char *kTypeNames[] = {"string", "int",  "double",   "bool",
                                      "enum",   "size", "duration", "deprecated"};
// How a message names a value's type: "'x' is not an int".
constexpr const char *kTypeArticles[] = {"a string", "an int", "a double",   "a bool",
                                         "an enum",  "a size", "a duration", "deprecated"};
static_assert(sizeof kTypeNames / sizeof *kTypeNames == 8 &&
              sizeof kTypeArticles / sizeof *kTypeArticles == 8);

// A parsed value: int and duration (milliseconds) in i, size in u, double
// in d, bool and enum (the choice's index) in i.
struct Value {
    int64_t i;
    uint64_t u;
    double d;
};

struct Range {
    bool has_min;
    bool has_max;
    Value min;
    Value max;
    const char *text;  // as written, e.g. "1..65535"; null when there is none
};

struct Key {
    const char *name;
    size_t name_len;
    uint32_t section;
    Type type;
    bool required;
    bool has_default;
    Range range;
    const char *const *choices;
    uint32_t choice_count;
    const char *default_text;  // "" when there is none
    Value def;
    const char *replacement;  // deprecated: the key that replaces it
    const char *doc;          // documentation lines joined by '\n', or null
    int line;                 // of the schema
};

// A slot of an index: the record's index + 1 (0 for an empty slot) and its
// full hash, compared first so that a probe rarely reads the record.
struct Slot {
    uint32_t index;
    uint32_t hash;
};

struct Section {
    const char *name;
    size_t name_len;
    bool pattern;  // "WORD *"
    const char *doc;
    uint32_t first_key;
    uint32_t key_count;
    int64_t star;  // the index of its "*" key, or -1
    uint32_t required_count;
};

}  // namespace nivra::conf::schema

using namespace nivra::conf;
using namespace nivra::conf::schema;

struct CONF_SCHEMA {
    CONF_CTX *text;  // the schema as loaded: its names are the descriptions' names
    Arena arena;
    Section *sections;
    uint32_t section_count;
    Key *keys;
    uint32_t key_count;
    Slot *section_slots;
    Slot *key_slots;
    uint32_t section_mask;
    uint32_t key_mask;
};

namespace nivra::conf::schema {
namespace {

// ---- Lookup ------------------------------------------------------------------

constexpr uint32_t kFnvBasis = 2166136261U;
constexpr uint32_t kFnvPrime = 16777619U;

uint32_t fnv(uint32_t h, const void *data, size_t n) {
    const auto *p = static_cast<const unsigned char *>(data);
    for (size_t i = 0; i < n; ++i) h = (h ^ p[i]) * kFnvPrime;
    return h;
}

// A name given in two pieces (a pattern's prefix and " *"), so that a
// lookup never builds a string.
struct Pieces {
    const char *a;
    size_t a_len;
    const char *b;
    size_t b_len;
};

uint32_t hash_section(const Pieces &n) { return fnv(fnv(kFnvBasis, n.a, n.a_len), n.b, n.b_len); }

bool same_name(const Section &s, const Pieces &n) {
    return s.name_len == n.a_len + n.b_len && std::memcmp(s.name, n.a, n.a_len) == 0 &&
           std::memcmp(s.name + n.a_len, n.b, n.b_len) == 0;
}

// A key's hash from its section's index and its name, eight bytes at a
// step: validation hashes every entry's name once.
uint32_t hash_key(uint32_t section, const char *name, size_t len) {
    constexpr uint64_t kMul = 0x9E3779B97F4A7C15ULL;
    uint64_t h = (section + 1) * kMul;
    for (; len >= 8; len -= 8, name += 8) {
        uint64_t w = 0;
        std::memcpy(&w, name, 8);
        h = (h ^ w) * kMul;
        h ^= h >> 29;
    }
    uint64_t w = 0;
    if (len > 0) std::memcpy(&w, name, len);
    h = (h ^ w ^ (uint64_t{len} << 59)) * kMul;
    return static_cast<uint32_t>(h ^ (h >> 32));
}

// The index of the section described by exactly that name, or -1.
int64_t find_section(const CONF_SCHEMA *s, const Pieces &n) {
    if (s->section_slots == nullptr) return -1;
    const uint32_t h = hash_section(n);
    for (uint32_t i = h & s->section_mask;; i = (i + 1) & s->section_mask) {
        const Slot slot = s->section_slots[i];
        if (slot.index == 0) return -1;
        if (slot.hash == h && same_name(s->sections[slot.index - 1], n)) return slot.index - 1;
    }
}

int64_t find_key(const CONF_SCHEMA *s, uint32_t section, const char *name, size_t len) {
    if (s->key_slots == nullptr) return -1;
    const uint32_t h = hash_key(section, name, len);
    for (uint32_t i = h & s->key_mask;; i = (i + 1) & s->key_mask) {
        const Slot slot = s->key_slots[i];
        if (slot.index == 0) return -1;
        if (slot.hash != h) continue;
        const Key &k = s->keys[slot.index - 1];
        if (k.section == section && k.name_len == len && std::memcmp(k.name, name, len) == 0)
            return slot.index - 1;
    }
}

// The description of the configuration's section name: exact, else the
// pattern of its longest prefix before a blank; -1 when there is none.
int64_t match_section(const CONF_SCHEMA *s, const char *name) {
    const size_t len = std::strlen(name);
    const int64_t exact = find_section(s, Pieces{name, len, "", 0});
    if (exact >= 0) return exact;
    for (size_t i = len; i > 0; --i) {
        if (name[i - 1] != ' ') continue;
        const int64_t p = find_section(s, Pieces{name, i - 1, " *", 2});
        if (p >= 0) return p;
    }
    return -1;
}

// The key's own description, else its section's "*"; null when none.
const Key *describe_key(const CONF_SCHEMA *s, int64_t section, const char *name) {
    if (section < 0) return nullptr;
    const auto sec = static_cast<uint32_t>(section);
    const int64_t star = s->sections[sec].star;
    // A section of free keys alone ("*") needs no lookup.
    const bool only_star = star >= 0 && s->sections[sec].key_count == 1;
    const int64_t k = only_star ? -1 : find_key(s, sec, name, std::strlen(name));
    if (k >= 0) return &s->keys[k];
    return star >= 0 ? &s->keys[star] : nullptr;
}

// ---- Values ----------------------------------------------------------------------

enum class Shape { kOk, kBad, kTooLarge };

// Wide enough for any product of a capped number and a unit.
__extension__ typedef unsigned __int128 Wide;
constexpr Wide kWideCap = Wide{1} << 100;  // past every limit, far from overflow
constexpr int kMaxFractionDigits = 18;

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// digits [. digits] at *p, moved past them: the number as whole + frac /
// scale, whole capped at kWideCap.  False when there is no digit first,
// none after a '.', or too many fraction digits.
struct Decimal {
    Wide whole;
    Wide frac;
    Wide scale;
};
bool read_decimal(const char **p, Decimal *d) {
    const char *s = *p;
    if (!is_digit(*s)) return false;
    *d = Decimal{0, 0, 1};
    for (; is_digit(*s); ++s) {
        if (d->whole < kWideCap) d->whole = d->whole * 10 + static_cast<unsigned>(*s - '0');
    }
    if (*s == '.') {
        ++s;
        if (!is_digit(*s)) return false;
        for (int n = 0; is_digit(*s); ++s, ++n) {
            if (n == kMaxFractionDigits) return false;
            d->frac = d->frac * 10 + static_cast<unsigned>(*s - '0');
            d->scale *= 10;
        }
    }
    *p = s;
    return true;
}

// d times unit as a whole number, or false when that is not whole.
bool scale_decimal(const Decimal &d, Wide unit, Wide *out) {
    const Wide part = d.frac * unit;
    if (part % d.scale != 0) return false;
    *out = (d.whole >= kWideCap ? kWideCap : d.whole * unit) + part / d.scale;
    return true;
}

Shape parse_size(const char *s, uint64_t *out) {
    Decimal d{};
    if (!read_decimal(&s, &d)) return Shape::kBad;
    Wide unit = 1;
    if (*s != '\0') {
        const char *const kSuffixes = "KMGT";
        const char *at = std::strchr(kSuffixes, *s);
        if (at == nullptr || s[1] != '\0') return Shape::kBad;
        unit = Wide{1} << (10 * (at - kSuffixes + 1));
    }
    Wide v = 0;
    if (!scale_decimal(d, unit, &v)) return Shape::kBad;
    if (v > UINT64_MAX) return Shape::kTooLarge;
    *out = static_cast<uint64_t>(v);
    return Shape::kOk;
}

struct Unit {
    const char *name;
    uint32_t ms;
};
constexpr Unit kUnits[] = {{"ms", 1}, {"s", 1000}, {"min", 60000}, {"h", 3600000}, {"d", 86400000}};

// The milliseconds of the unit letters at s (n of them); 0 when none.
uint32_t unit_ms(const char *s, size_t n) {
    for (const Unit &u : kUnits) {
        if (std::strlen(u.name) == n && std::memcmp(u.name, s, n) == 0) return u.ms;
    }
    return 0;
}

Shape parse_duration(const char *s, int64_t *out) {
    if (std::strcmp(s, "0") == 0) return *out = 0, Shape::kOk;
    if (*s == '\0') return Shape::kBad;
    Wide total = 0;
    while (*s != '\0') {
        Decimal d{};
        if (!read_decimal(&s, &d)) return Shape::kBad;
        const char *letters = s;
        while (*s >= 'a' && *s <= 'z') ++s;
        const uint32_t ms = unit_ms(letters, static_cast<size_t>(s - letters));
        Wide part = 0;
        if (ms == 0 || !scale_decimal(d, ms, &part)) return Shape::kBad;
        total = total + part > kWideCap ? kWideCap : total + part;
    }
    if (total > INT64_MAX) return Shape::kTooLarge;
    *out = static_cast<int64_t>(total);
    return Shape::kOk;
}

Shape parse_int(const char *s, int64_t *out) {
    if (parse_int64(s, out)) return Shape::kOk;
    const char *p = s + (*s == '+' || *s == '-' ? 1 : 0);
    if (!is_digit(*p)) return Shape::kBad;
    while (is_digit(*p)) ++p;
    return *p == '\0' ? Shape::kTooLarge : Shape::kBad;
}

Shape parse_number(const char *s, double *out) {
    if (!is_decimal_number(s)) return Shape::kBad;
    return parse_double(s, out) ? Shape::kOk : Shape::kTooLarge;
}

// The value of one end of a range, or a default, read as the type reads it.
Shape parse_typed(Type t, const char *s, Value *v) {
    switch (t) {
        case Type::kInt:
        case Type::kDuration: {
            int64_t i = 0;
            const Shape r = t == Type::kInt ? parse_int(s, &i) : parse_duration(s, &i);
            v->i = i;
            return r;
        }
        case Type::kSize: return parse_size(s, &v->u);
        case Type::kDouble: return parse_number(s, &v->d);
        default: return Shape::kBad;
    }
}

// -1, 0 or 1 as a is below, equal to or above b in the type's order.
int compare(Type t, const Value &a, const Value &b) {
    switch (t) {
        case Type::kSize: return a.u < b.u ? -1 : (a.u > b.u ? 1 : 0);
        case Type::kDouble: return a.d < b.d ? -1 : (a.d > b.d ? 1 : 0);
        default: return a.i < b.i ? -1 : (a.i > b.i ? 1 : 0);
    }
}

bool in_range(const Key &k, const Value &v) {
    return (!k.range.has_min || compare(k.type, v, k.range.min) >= 0) &&
           (!k.range.has_max || compare(k.type, v, k.range.max) <= 0);
}

enum class Verdict { kOk, kWrongType, kOutOfRange, kNotAChoice };

// Whether text is a valid value of the key; its parsed value in *v.
Verdict check_value(const Key &k, const char *text, Value *v) {
    *v = Value{0, 0, 0.0};
    switch (k.type) {
        case Type::kString:
        case Type::kDeprecated: return Verdict::kOk;
        case Type::kBool: {
            int b = 0;
            if (!parse_bool(text, &b)) return Verdict::kWrongType;
            v->i = b;
            return Verdict::kOk;
        }
        case Type::kEnum:
            for (uint32_t i = 0; i < k.choice_count; ++i) {
                if (std::strcmp(k.choices[i], text) == 0) return v->i = i, Verdict::kOk;
            }
            return Verdict::kNotAChoice;
        default: break;
    }
    switch (parse_typed(k.type, text, v)) {
        case Shape::kBad: return Verdict::kWrongType;
        case Shape::kTooLarge: return Verdict::kOutOfRange;
        case Shape::kOk: break;
    }
    return in_range(k, *v) ? Verdict::kOk : Verdict::kOutOfRange;
}

// The range a message shows: the schema's, else the whole of the type.
const char *range_text(const Key &k) {
    if (k.range.text != nullptr) return k.range.text;
    switch (k.type) {
        case Type::kInt: return "-9223372036854775808..9223372036854775807";
        case Type::kSize: return "0..18446744073709551615";
        case Type::kDuration: return "0..9223372036854775807ms";
        default: return "the range of a double";
    }
}

// ---- Names that are close ----------------------------------------------------------

constexpr size_t kMaxCompared = 256;

// The edit distance of a and b (insertions, deletions, substitutions and
// swaps of neighbours, each 1), or a number above limit when it exceeds
// limit.  Without allocation: names longer than kMaxCompared are never
// close.
size_t distance(const char *a, size_t n, const char *b, size_t m, size_t limit) {
    if (n > kMaxCompared || m > kMaxCompared) return limit + 1;
    if ((n > m ? n - m : m - n) > limit) return limit + 1;
    size_t rows[3][kMaxCompared + 1];
    size_t *before = rows[0], *prev = rows[1], *cur = rows[2];
    for (size_t j = 0; j <= m; ++j) prev[j] = j;
    for (size_t i = 1; i <= n; ++i) {
        cur[0] = i;
        for (size_t j = 1; j <= m; ++j) {
            const size_t cost = a[i - 1] == b[j - 1] ? 0 : 1;
            size_t d = prev[j - 1] + cost;
            if (prev[j] + 1 < d) d = prev[j] + 1;
            if (cur[j - 1] + 1 < d) d = cur[j - 1] + 1;
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1] &&
                before[j - 2] + 1 < d)
                d = before[j - 2] + 1;
            cur[j] = d;
        }
        size_t *t = before;
        before = prev;
        prev = cur;
        cur = t;
    }
    return prev[m];
}

// How far a name may be from the one meant: at most 2, and at most a third
// of its length (rounded up), so that short names are not matched with
// anything (Nearest also wants fewer edits than either name's length).
size_t closeness_limit(size_t len) {
    const size_t third = (len + 2) / 3;
    return third < 2 ? third : 2;
}

// Keeps the closest candidate seen (the first of equals).
struct Nearest {
    const char *name;
    size_t len;
    size_t limit;
    const char *best = nullptr;
    size_t best_distance = SIZE_MAX;

    void consider(const char *candidate, size_t candidate_len) {
        const size_t d = distance(name, len, candidate, candidate_len, limit);
        // A name that shares nothing with the candidate is not close to it,
        // however short both are ('x' is one edit from 'a').
        if (d <= limit && d < best_distance && d > 0 && d < len && d < candidate_len) {
            best = candidate;
            best_distance = d;
        }
    }
};

// ---- Loading ---------------------------------------------------------------------

// The documentation found above one line of the schema.
struct DocNote {
    long line;  // the first physical line of the entry; 0 for a header
    const char *section;
    const char *text;
};

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

// What the loader reports, kept: the documentation above each entry and
// header, taken from the bytes between the logical lines it read.
struct Collector {
    Collector(const char *text, size_t text_length, Arena *into)
        : data(text), length(text_length), arena(into) {}

    const char *data;
    size_t length;
    Arena *arena;
    size_t prev_end = 0;
    bool failed = false;
    GrowArray<DocNote> entry_docs;  // in file order, so by rising line
    GrowArray<DocNote> header_docs;

    static void notify(void *self, const LoadNote *note) {
        auto *c = static_cast<Collector *>(self);
        if (note->event != LoadEvent::kStored && note->event != LoadEvent::kHeader) return;
        if (note->source == nullptr) return;
        const size_t begin = note->source->begin;
        if (begin >= c->prev_end && begin <= c->length) {
            const char *doc = nullptr;
            if (!c->doc_above(c->prev_end, begin, &doc)) c->failed = true;
            if (doc != nullptr && !c->keep(*note, doc)) c->failed = true;
        }
        c->prev_end = note->source->end;
    }

    bool keep(const LoadNote &note, const char *doc) {
        if (note.event != LoadEvent::kHeader)
            return entry_docs.push(DocNote{note.first_line, nullptr, doc});
        const char *section = arena_copy(arena, note.section != nullptr ? note.section : "");
        return section != nullptr && header_docs.push(DocNote{0, section, doc});
    }

    // The comment lines that end the stretch [from, to) (whole lines), with
    // no blank line after them, as text: each without its '#', one blank
    // after it and its trailing blanks, joined by '\n'.  *doc stays null
    // when there are none; false when memory runs out.
    bool doc_above(size_t from, size_t to, const char **doc) const {
        size_t start = to;
        while (start > from) {
            size_t ls = start - 1;  // the line end of the line before start
            while (ls > from && data[ls - 1] != '\n') --ls;
            size_t p = ls;
            if (p == 0 && length >= 3 && std::memcmp(data, "\xEF\xBB\xBF", 3) == 0) p = 3;
            while (p < start && is_blank(data[p])) ++p;
            if (p >= start || data[p] != '#') break;
            start = ls;
        }
        if (start == to) return true;
        auto *out = static_cast<char *>(arena_alloc(arena, to - start + 1));
        if (out == nullptr) return false;
        size_t n = 0;
        for (size_t p = start; p < to;) {
            size_t e = p;
            while (e < to && data[e] != '\n') ++e;
            while (p < e && data[p] != '#') ++p;
            ++p;
            if (p < e && data[p] == ' ') ++p;
            size_t end = e;
            while (end > p && is_blank(data[end - 1])) --end;
            if (n > 0) out[n++] = '\n';
            for (size_t i = p; i < end; ++i) out[n++] = data[i] == '\0' ? ' ' : data[i];
            p = e + 1;
        }
        out[n] = '\0';
        *doc = out;
        return true;
    }
};

// What went wrong with a schema entry, for CONF_SCHEMA_ERROR.
struct Refusal {
    char text[200];
};

// Records number with text and line in *error (when there is one).
void set_error(CONF_SCHEMA_ERROR *error, int number, const char *text, int line) {
    if (error == nullptr) return;
    error->number = number;
    error->line = line;
    std::snprintf(error->text, sizeof error->text, "%s", text);
}

// The words of a schema entry's value, split in place.
struct Words {
    char **items;
    size_t count;
};

bool split_words(Arena *arena, char *text, Words *w) {
    size_t n = 0;
    for (char *p = text; *p != '\0';) {
        while (is_blank(*p) || *p == '\n') ++p;
        if (*p == '\0') break;
        ++n;
        while (*p != '\0' && !is_blank(*p) && *p != '\n') ++p;
    }
    w->count = 0;
    w->items = static_cast<char **>(arena_alloc(arena, (n + 1) * sizeof(char *)));
    if (w->items == nullptr) return false;
    for (char *p = text; *p != '\0';) {
        while (is_blank(*p) || *p == '\n') *p++ = '\0';
        if (*p == '\0') break;
        w->items[w->count++] = p;
        while (*p != '\0' && !is_blank(*p) && *p != '\n') ++p;
    }
    return true;
}

// The key's range from its constraint word "MIN..MAX".
bool parse_range(Type t, char *word, Range *r, Refusal *why) {
    char *dots = std::strstr(word, "..");
    if (dots == nullptr) {
        std::snprintf(why->text, sizeof why->text, "'%s' is not a range MIN..MAX", word);
        return false;
    }
    r->text = word;
    const char *ends[2] = {word, dots + 2};
    *dots = '\0';
    bool *has[2] = {&r->has_min, &r->has_max};
    Value *at[2] = {&r->min, &r->max};
    bool ok = true;
    for (int i = 0; i < 2 && ok; ++i) {
        *has[i] = *ends[i] != '\0';
        ok = !*has[i] || parse_typed(t, ends[i], at[i]) == Shape::kOk;
        if (!ok)
            std::snprintf(why->text, sizeof why->text, "'%s' in the range is not %s", ends[i],
                          kTypeArticles[static_cast<int>(t)]);
    }
    *dots = '.';
    if (ok && r->has_min && r->has_max && compare(t, r->min, r->max) > 0) {
        std::snprintf(why->text, sizeof why->text, "the range %s is empty", word);
        ok = false;
    }
    return ok;
}

bool parse_type(const char *word, Type *t) {
    for (size_t i = 0; i < sizeof kTypeNames / sizeof *kTypeNames; ++i) {
        if (std::strcmp(word, kTypeNames[i]) == 0) return *t = static_cast<Type>(i), true;
    }
    return false;
}

// The constraint words of a key of type k->type (those after the type).
bool parse_constraint(Key *k, char **words, size_t n, Refusal *why) {
    switch (k->type) {
        case Type::kString:
        case Type::kBool:
            if (n == 0) return true;
            std::snprintf(why->text, sizeof why->text, "%s takes no constraint ('%s')",
                          kTypeNames[static_cast<int>(k->type)], words[0]);
            return false;
        case Type::kEnum:
            if (n == 0) {
                std::snprintf(why->text, sizeof why->text, "enum without choices");
                return false;
            }
            for (size_t i = 0; i < n; ++i) {
                for (size_t j = 0; j < i; ++j) {
                    if (std::strcmp(words[i], words[j]) != 0) continue;
                    std::snprintf(why->text, sizeof why->text, "the choice '%s' is given twice",
                                  words[i]);
                    return false;
                }
            }
            k->choices = words;
            k->choice_count = static_cast<uint32_t>(n);
            return true;
        case Type::kDeprecated:
            if (n == 1) return k->replacement = words[0], true;
            std::snprintf(why->text, sizeof why->text, "deprecated needs the one key replacing it");
            return false;
        default: break;
    }
    if (n == 0) return true;
    if (n == 1) return parse_range(k->type, words[0], &k->range, why);
    std::snprintf(why->text, sizeof why->text, "'%s' after the range", words[1]);
    return false;
}

// The default text (trimmed), checked against the key.
bool parse_default(Key *k, const char *text, Refusal *why) {
    k->has_default = true;
    k->default_text = text;
    if (k->required) {
        std::snprintf(why->text, sizeof why->text, "a required key has no default");
        return false;
    }
    if (k->type == Type::kDeprecated) {
        std::snprintf(why->text, sizeof why->text, "a deprecated key has no default");
        return false;
    }
    switch (check_value(*k, text, &k->def)) {
        case Verdict::kOk: return true;
        case Verdict::kWrongType:
            std::snprintf(why->text, sizeof why->text, "the default '%s' is not %s", text,
                          kTypeArticles[static_cast<int>(k->type)]);
            return false;
        case Verdict::kOutOfRange:
            std::snprintf(why->text, sizeof why->text, "the default %s is out of range %s", text,
                          range_text(*k));
            return false;
        case Verdict::kNotAChoice: break;
    }
    std::snprintf(why->text, sizeof why->text, "the default '%s' is not one of the choices", text);
    return false;
}

char *trim(char *s) {
    while (is_blank(*s) || *s == '\n') ++s;
    size_t n = std::strlen(s);
    while (n > 0 && (is_blank(s[n - 1]) || s[n - 1] == '\n')) s[--n] = '\0';
    return s;
}

// Reads the value of a schema entry, TYPE [CONSTRAINT] [required] [=
// DEFAULT], into k.  False with why set when it does not describe a key;
// *oom when memory ran out instead.
bool parse_key(Arena *arena, const char *value, Key *k, Refusal *why, bool *oom) {
    char *text = arena_copy(arena, value);
    if (text == nullptr) return *oom = true, false;
    char *eq = std::strchr(text, '=');
    if (eq != nullptr) *eq = '\0';
    Words w{};
    if (!split_words(arena, text, &w)) return *oom = true, false;
    if (w.count == 0) return std::snprintf(why->text, sizeof why->text, "no type"), false;
    if (!parse_type(w.items[0], &k->type)) {
        std::snprintf(why->text, sizeof why->text, "unknown type '%s'", w.items[0]);
        return false;
    }
    size_t n = w.count - 1;
    if (n > 0 && std::strcmp(w.items[n], "required") == 0) {
        k->required = true;
        --n;
    }
    if (k->required && k->type == Type::kDeprecated) {
        std::snprintf(why->text, sizeof why->text, "a deprecated key cannot be required");
        return false;
    }
    k->default_text = "";
    if (!parse_constraint(k, w.items + 1, n, why)) return false;
    return eq == nullptr || parse_default(k, trim(eq + 1), why);
}

// Slots for n names, at most a quarter of them used: most entries a
// validation looks up are found, and a miss ends at the first empty slot.
uint32_t slot_count(uint32_t n) {
    uint32_t size = 16;
    while (size < 4 * n) size *= 2;
    return size;
}

// The slot tables of every section and key; false when memory runs out.
bool index_schema(CONF_SCHEMA *s) {
    const uint32_t ns = slot_count(s->section_count);
    const uint32_t nk = slot_count(s->key_count);
    s->section_slots = static_cast<Slot *>(arena_alloc(&s->arena, ns * sizeof(Slot)));
    s->key_slots = static_cast<Slot *>(arena_alloc(&s->arena, nk * sizeof(Slot)));
    if (s->section_slots == nullptr || s->key_slots == nullptr) return false;
    std::memset(s->section_slots, 0, ns * sizeof(Slot));
    std::memset(s->key_slots, 0, nk * sizeof(Slot));
    s->section_mask = ns - 1;
    s->key_mask = nk - 1;
    for (uint32_t i = 0; i < s->section_count; ++i) {
        const Section &sec = s->sections[i];
        const uint32_t h = hash_section(Pieces{sec.name, sec.name_len, "", 0});
        uint32_t at = h & s->section_mask;
        while (s->section_slots[at].index != 0) at = (at + 1) & s->section_mask;
        s->section_slots[at] = Slot{i + 1, h};
    }
    for (uint32_t i = 0; i < s->key_count; ++i) {
        const Key &k = s->keys[i];
        const uint32_t h = hash_key(k.section, k.name, k.name_len);
        uint32_t at = h & s->key_mask;
        while (s->key_slots[at].index != 0) at = (at + 1) & s->key_mask;
        s->key_slots[at] = Slot{i + 1, h};
    }
    return true;
}

// The documentation of the entry whose definition starts on line.
const char *doc_of_entry(const GrowArray<DocNote> &docs, long line) {
    size_t lo = 0, hi = docs.size();
    while (lo < hi) {
        const size_t mid = lo + (hi - lo) / 2;
        if (docs[mid].line == line) return docs[mid].text;
        if (docs[mid].line < line) {
            lo = mid + 1;
        } else {
            hi = mid;
        }
    }
    return nullptr;
}

// The documentation above the first header of the section that has one.
const char *doc_of_section(const GrowArray<DocNote> &docs, const char *name) {
    for (size_t i = 0; i < docs.size(); ++i) {
        if (std::strcmp(docs[i].section, name) == 0) return docs[i].text;
    }
    return nullptr;
}

bool is_pattern(const char *name, size_t len) {
    return len > 2 && name[len - 2] == ' ' && name[len - 1] == '*';
}

// Checks that a deprecated key names a plain key of its section.
bool check_replacement(const CONF_SCHEMA *s, const Key &k, Refusal *why) {
    const int64_t r = find_key(s, k.section, k.replacement, std::strlen(k.replacement));
    if (r >= 0 && s->keys[r].type != Type::kDeprecated && std::strcmp(k.replacement, "*") != 0)
        return true;
    std::snprintf(why->text, sizeof why->text, "'%s' replaces it, but [%s] has no such key",
                  k.replacement, s->sections[k.section].name);
    return false;
}

// Fills the descriptions from the loaded schema text.  Returns 0, or the
// error number with *error set.
int describe(CONF_SCHEMA *s, const Collector &c, CONF_SCHEMA_ERROR *error) {
    LH_TABLE *table = s->text->table;
    const int nsec = section_count(table);
    size_t nkeys = 0;
    for (int i = 0; i < nsec; ++i) nkeys += static_cast<size_t>(entry_count(section_at(table, i)));
    if (nkeys > UINT32_MAX / 4) return kErrMemory;
    s->sections = static_cast<Section *>(
        arena_alloc(&s->arena, static_cast<size_t>(nsec) * sizeof(Section) + 1));
    s->keys = static_cast<Key *>(arena_alloc(&s->arena, nkeys * sizeof(Key) + 1));
    if (s->sections == nullptr || s->keys == nullptr) return kErrMemory;
    Refusal why{};
    int bad_line = 0;
    const Key *bad = nullptr;  // the key refused, named in the message
    for (int i = 0; i < nsec && bad_line == 0; ++i) {
        const CONF_VALUE *sec = section_at(table, i);
        const size_t len = std::strlen(sec->section);
        s->sections[i] = Section{sec->section,
                                 len,
                                 is_pattern(sec->section, len),
                                 doc_of_section(c.header_docs, sec->section),
                                 s->key_count,
                                 0,
                                 -1,
                                 0};
        for (int j = 0; j < entry_count(sec); ++j) {
            const CONF_VALUE *e = entry_at(sec, j);
            Key &k = s->keys[s->key_count];
            k = Key{};
            k.name = e->name;
            k.name_len = std::strlen(e->name);
            k.section = static_cast<uint32_t>(i);
            k.line = origin_of(e)->line;
            k.doc = doc_of_entry(c.entry_docs, k.line);
            bool oom = false;
            if (!parse_key(&s->arena, e->value, &k, &why, &oom)) {
                if (oom) return kErrMemory;
                bad_line = k.line;
                bad = &k;
                break;
            }
            if (std::strcmp(k.name, "*") == 0) s->sections[i].star = s->key_count;
            if (k.required) ++s->sections[i].required_count;
            ++s->key_count;
            ++s->sections[i].key_count;
        }
        ++s->section_count;
    }
    if (bad_line == 0 && !index_schema(s)) return kErrMemory;
    for (uint32_t i = 0; i < s->key_count && bad_line == 0; ++i) {
        const Key &k = s->keys[i];
        if (k.type == Type::kDeprecated && !check_replacement(s, k, &why)) {
            bad_line = k.line;
            bad = &k;
        }
    }
    if (bad_line == 0) return 0;
    char text[256];
    std::snprintf(text, sizeof text, "[%s] %s: %s, line %d", s->sections[bad->section].name,
                  bad->name, why.text, bad_line);
    set_error(error, CONF_SCHEMA_INVALID, text, bad_line);
    return CONF_SCHEMA_INVALID;
}

void free_schema(CONF_SCHEMA *s) {
    if (s == nullptr) return;
    CONF_free(s->text);
    arena_release(&s->arena);
    std::free(s);
}

CONF_SCHEMA *load_text(const char *data, size_t length, CONF_SCHEMA_ERROR *error) {
    set_error(error, 0, "", 0);
    auto *s = static_cast<CONF_SCHEMA *>(std::calloc(1, sizeof(CONF_SCHEMA)));
    if (s == nullptr || (s->text = CONF_new()) == nullptr) {
        free_schema(s);
        set_error(error, kErrMemory, "memory allocation fail", 0);
        return nullptr;
    }
    Collector c{data, length, &s->arena};
    const LoadObserver observer{Collector::notify, &c};
    const int rc = scan_buffer(s->text, data, length, &observer, false);
    if (rc != 0 || c.failed) {
        if (rc != 0) {
            set_error(error, rc, CONF_get_last_error_str(s->text),
                      CONF_get_last_error_line(s->text));
        } else {
            set_error(error, kErrMemory, "memory allocation fail", 0);
        }
        free_schema(s);
        return nullptr;
    }
    if (s->text->table == nullptr && table_for(s->text) == nullptr) {
        free_schema(s);
        set_error(error, kErrMemory, "memory allocation fail", 0);
        return nullptr;
    }
    const int err = describe(s, c, error);
    if (err != 0) {
        if (err == kErrMemory) set_error(error, kErrMemory, "memory allocation fail", 0);
        free_schema(s);
        return nullptr;
    }
    return s;
}

}  // namespace
}  // namespace nivra::conf::schema

// ---- Findings --------------------------------------------------------------------

namespace nivra::conf::schema {

// A finding with what orders it: the rank of its file (the order in which
// the context first named it; 0 for no file, SIZE_MAX for findings without
// a line), its line, and the order in which it was found.
struct Item {
    CONF_FINDING finding;
    size_t rank;
    long line;
    size_t seq;
};

}  // namespace nivra::conf::schema

struct CONF_FINDINGS {
    Item *items;
    size_t count;
    Arena arena;
};

namespace nivra::conf::schema {
namespace {

int by_file_order(const void *a, const void *b) {
    const auto *x = static_cast<const Item *>(a);
    const auto *y = static_cast<const Item *>(b);
    if (x->rank != y->rank) return x->rank < y->rank ? -1 : 1;
    if (x->line != y->line) return x->line < y->line ? -1 : 1;
    return x->seq < y->seq ? -1 : (x->seq > y->seq ? 1 : 0);
}

// What one finding says, before it is copied into the findings.
struct Report {
    CONF_FINDING_KIND kind;
    const char *section;
    const char *name;
    const char *value;
    const char *file;
    int line;
    bool lineless;
};

class Validator {
  public:
    Validator(const CONF_SCHEMA *schema, CONF_CTX *ctx, CONF_FINDINGS *out)
        : s_(schema), ctx_(ctx), out_(out) {}

    bool run() {
        LH_TABLE *table = ctx_->table;
        for (int i = 0; i < section_count(table) && ok_; ++i) section(section_at(table, i));
        for (uint32_t i = 0; i < s_->section_count && ok_; ++i) {
            const Section &d = s_->sections[i];
            if (d.required_count == 0 || d.pattern) continue;
            if (table == nullptr || get_section(ctx_, d.name) == nullptr) required(i, d.name);
        }
        if (ok_ && items_.size() > 0) {
            std::qsort(&items_[0], items_.size(), sizeof(Item), by_file_order);
        }
        out_->count = items_.size();
        out_->items = items_.release();
        return ok_;
    }

  private:
    void section(const CONF_VALUE *sec) {
        const int64_t d = match_section(s_, sec->section);
        const int n = entry_count(sec);
        if (d < 0 && std::strcmp(sec->section, kDefaultSection) != 0) {
            unknown_section(sec, n);
            return;
        }
        for (int j = 0; j < n && ok_; ++j) entry(d, entry_at(sec, j));
        if (d >= 0) required(static_cast<uint32_t>(d), sec->section);
    }

    void entry(int64_t d, const CONF_VALUE *e) {
        const Key *k = describe_key(s_, d, e->name);
        if (k == nullptr) return unknown_key(d, e);
        if (k->type == Type::kDeprecated) {
            Text m;
            put(&m, "'", e->name, "' is deprecated; use '", k->replacement, "'");
            return add(at(CONF_FINDING_DEPRECATED, e), &m, k->replacement);
        }
        Value v{};
        const Verdict verdict = check_value(*k, e->value, &v);
        if (verdict == Verdict::kOk) return;
        Text m;
        const char *suggestion = "";
        if (verdict == Verdict::kWrongType) {
            put(&m, "'", e->value, "' is not ", kTypeArticles[static_cast<int>(k->type)]);
        } else if (verdict == Verdict::kOutOfRange) {
            put(&m, e->value, " is out of range ", range_text(*k));
        } else {
            put(&m, "'", e->value, "' is not one of ");
            for (uint32_t i = 0; i < k->choice_count; ++i)
                put(&m, i == 0 ? "" : ", ", k->choices[i]);
            Nearest near{e->value, std::strlen(e->value), closeness_limit(std::strlen(e->value))};
            for (uint32_t i = 0; i < k->choice_count; ++i)
                near.consider(k->choices[i], std::strlen(k->choices[i]));
            if (near.best != nullptr) {
                put(&m, "; did you mean '", near.best, "'?");
                suggestion = near.best;
            }
        }
        if (verdict != Verdict::kNotAChoice) put(&m, " (", e->section, " ", e->name, ")");
        const CONF_FINDING_KIND kinds[] = {CONF_FINDING_WRONG_TYPE, CONF_FINDING_WRONG_TYPE,
                                           CONF_FINDING_OUT_OF_RANGE, CONF_FINDING_NOT_A_CHOICE};
        add(at(kinds[static_cast<int>(verdict)], e), &m, suggestion);
    }

    void unknown_key(int64_t d, const CONF_VALUE *e) {
        Text m;
        const size_t len = std::strlen(e->name);
        Nearest near{e->name, len, closeness_limit(len)};
        if (d >= 0) {
            const Section &sec = s_->sections[d];
            for (uint32_t i = sec.first_key; i < sec.first_key + sec.key_count; ++i) {
                if (s_->keys[i].type != Type::kDeprecated)
                    near.consider(s_->keys[i].name, std::strlen(s_->keys[i].name));
            }
        }
        if (near.best != nullptr) {
            put(&m, "unknown key '", e->name, "' in [", e->section, "]; did you mean '", near.best,
                "'?");
            return add(at(CONF_FINDING_UNKNOWN_KEY, e), &m, near.best);
        }
        const char *home = section_with_key(e->name, d);
        if (home != nullptr) {
            put(&m, "'", e->name, "' is not a key of [", e->section, "]; [", home, "] has it");
        } else {
            put(&m, "unknown key '", e->name, "' in [", e->section, "]");
        }
        add(at(CONF_FINDING_UNKNOWN_KEY, e), &m, home != nullptr ? home : "");
    }

    // The first exact section of the schema, other than d, that describes
    // the key name itself; null when none.
    const char *section_with_key(const char *name, int64_t d) const {
        for (uint32_t i = 0; i < s_->section_count; ++i) {
            if (static_cast<int64_t>(i) == d || s_->sections[i].pattern) continue;
            const int64_t k = find_key(s_, i, name, std::strlen(name));
            if (k >= 0 && s_->keys[k].type != Type::kDeprecated) return s_->sections[i].name;
        }
        return nullptr;
    }

    void unknown_section(const CONF_VALUE *sec, int n) {
        const char *name = sec->section;
        const size_t len = std::strlen(name);
        Nearest near{name, len, closeness_limit(len)};
        for (uint32_t i = 0; i < s_->section_count; ++i) {
            if (!s_->sections[i].pattern)
                near.consider(s_->sections[i].name, s_->sections[i].name_len);
        }
        Text m;
        put(&m, "unknown section [", name, "]");
        if (near.best != nullptr) put(&m, "; did you mean [", near.best, "]?");
        Report r{CONF_FINDING_UNKNOWN_SECTION, name, "", "", last_file(), 0, true};
        if (n > 0) {
            const EntryOrigin *o = origin_of(entry_at(sec, 0));
            r = Report{CONF_FINDING_UNKNOWN_SECTION, name, "", "", o->file, o->line, false};
        }
        add(r, &m, near.best != nullptr ? near.best : "");
    }

    // Every required key of description d that the section does not set.
    void required(uint32_t d, const char *section) {
        const Section &sec = s_->sections[d];
        if (sec.required_count == 0) return;
        for (uint32_t i = sec.first_key; i < sec.first_key + sec.key_count && ok_; ++i) {
            const Key &k = s_->keys[i];
            if (!k.required || std::strcmp(k.name, "*") == 0) continue;
            if (ctx_->table != nullptr && find_entry(ctx_, section, k.name) != nullptr) continue;
            Text m;
            put(&m, "[", section, "] ", k.name, " is required");
            add(Report{CONF_FINDING_MISSING, section, k.name, "", last_file(), 0, true}, &m, "");
        }
    }

    static Report at(CONF_FINDING_KIND kind, const CONF_VALUE *e) {
        const EntryOrigin *o = origin_of(e);
        return Report{kind, e->section, e->name, e->value, o->file, o->line, false};
    }

    const char *last_file() const {
        const char *last = nullptr;
        for (size_t i = 0; named_file_at(ctx_, i) != nullptr; ++i) last = named_file_at(ctx_, i);
        return last;
    }

    size_t rank(const char *file) const {
        if (file == nullptr) return 0;
        for (size_t i = 0; named_file_at(ctx_, i) != nullptr; ++i) {
            if (named_file_at(ctx_, i) == file) return i + 1;
        }
        return 0;
    }

    template <typename... Parts>
    void put(Text *m, const Parts *...parts) {
        ((ok_ = ok_ && m->append(parts)), ...);
    }

    char *copy(const char *s) {
        char *c = arena_copy(&out_->arena, s != nullptr ? s : "");
        ok_ = ok_ && c != nullptr;
        return c;
    }

    void add(const Report &r, const Text *message, const char *suggestion) {
        if (!ok_) return;
        const bool warning = r.kind == CONF_FINDING_UNKNOWN_SECTION ||
                             r.kind == CONF_FINDING_UNKNOWN_KEY ||
                             r.kind == CONF_FINDING_DEPRECATED;
        Item item{};
        item.finding =
            CONF_FINDING{r.kind,          warning ? CONF_SEVERITY_WARNING : CONF_SEVERITY_ERROR,
                         copy(r.section), copy(r.name),
                         copy(r.value),   r.file != nullptr ? copy(r.file) : nullptr,
                         r.line,          copy(message->data()),
                         copy(suggestion)};
        item.rank = r.lineless ? SIZE_MAX : rank(r.file);
        item.line = r.line;
        item.seq = items_.size();
        ok_ = ok_ && items_.push(item);
    }

    const CONF_SCHEMA *s_;
    CONF_CTX *ctx_;
    CONF_FINDINGS *out_;
    GrowArray<Item> items_;
    bool ok_ = true;
};

// ---- Typed reads -----------------------------------------------------------------

// Finds the key's description and value; see conf_schema.h for the results.
int read_value(const CONF_SCHEMA *s, CONF_CTX *ctx, const char *section, const char *name,
               Type want, Value *v, const char **text) {
    if (s == nullptr || ctx == nullptr || name == nullptr) return -2;
    if (section == nullptr) section = kDefaultSection;
    const Key *k = describe_key(s, match_section(s, section), name);
    if (k == nullptr || k->type != want) return -2;
    const CONF_VALUE *e = ctx->table != nullptr ? find_entry(ctx, section, name) : nullptr;
    if (e != nullptr) {
        if (check_value(*k, e->value, v) != Verdict::kOk) return -1;
        *text = e->value;
        return 1;
    }
    if (!k->has_default) return -1;
    *v = k->def;
    *text = k->default_text;
    return 0;
}

template <typename T, typename Get>
int typed_read(const CONF_SCHEMA *s, CONF_CTX *ctx, const char *section, const char *name,
               Type want, T *out, Get get) {
    Value v{};
    const char *text = nullptr;
    const int rc = read_value(s, ctx, section, name, want, &v, &text);
    if (rc >= 0 && out != nullptr) *out = get(v, text);
    return rc;
}

// ---- Reference configuration ------------------------------------------------------

// Writes comment lines "# TEXT" for each line of text.  A line that would
// end in one backslash (which continues a comment onto the next line) gets
// a second one.
bool put_comment(Text *out, const char *text) {
    for (const char *p = text;;) {
        const char *e = std::strchr(p, '\n');
        const size_t n = e != nullptr ? static_cast<size_t>(e - p) : std::strlen(p);
        const bool lone = n > 0 && p[n - 1] == '\\' && (n < 2 || p[n - 2] != '\\');
        if (!out->append(n > 0 ? "# " : "#") || !out->append(p, n) || (lone && !out->put('\\')) ||
            !out->put('\n'))
            return false;
        if (e == nullptr) return true;
        p = e + 1;
    }
}

// An example value of a required key, which validation accepts.
bool put_example(Text *out, const Key &k) {
    char buf[64];
    const Value zero{0, 0, 0.0};
    const Value &v = k.range.has_min && compare(k.type, zero, k.range.min) < 0   ? k.range.min
                     : k.range.has_max && compare(k.type, zero, k.range.max) > 0 ? k.range.max
                                                                                 : zero;
    switch (k.type) {
        case Type::kInt: std::snprintf(buf, sizeof buf, "%" PRId64, v.i); break;
        case Type::kDuration: std::snprintf(buf, sizeof buf, "%" PRId64 "ms", v.i); break;
        case Type::kSize: std::snprintf(buf, sizeof buf, "%" PRIu64, v.u); break;
        case Type::kDouble: std::snprintf(buf, sizeof buf, "%.17g", v.d); break;
        case Type::kBool: std::snprintf(buf, sizeof buf, "off"); break;
        case Type::kEnum: return append_literal(out, k.choices[0]);
        default: buf[0] = '\0'; break;
    }
    return out->append(buf);
}

// What a key is, for the comment above it: "int 1..65535, default 8080".
bool summarize(Text *out, const Key &k) {
    if (k.type == Type::kDeprecated) {
        return out->append(k.name) && out->append(": deprecated; use '") &&
               out->append(k.replacement) && out->put('\'');
    }
    bool ok = out->append(kTypeNames[static_cast<int>(k.type)]);
    if (k.range.text != nullptr) ok = ok && out->put(' ') && out->append(k.range.text);
    for (uint32_t i = 0; i < k.choice_count; ++i)
        ok = ok && out->append(i == 0 ? " " : ", ") && out->append(k.choices[i]);
    if (k.required) ok = ok && out->append("; required");
    if (k.has_default) ok = ok && out->append("; default ") && append_literal(out, k.default_text);
    return ok;
}

// A key's lines: its documentation, what it is, and the key itself (set to
// an example when it is required, else commented out with its default).
int put_key(Text *out, const Key &k) {
    const bool star = std::strcmp(k.name, "*") == 0;
    if (!star && !name_writable(k.name)) return kErrUnwritable;
    Text summary;
    bool ok = (!star || summary.append("any other key: ")) && summarize(&summary, k);
    ok = ok && out->put('\n');
    if (k.doc != nullptr) ok = ok && put_comment(out, k.doc);
    ok = ok && put_comment(out, summary.data());
    if (star || k.type == Type::kDeprecated) return ok ? 0 : kErrMemory;
    if (k.required) {
        Text example;
        ok = ok && put_example(&example, k) && out->append(k.name) && out->append(" =");
        if (example.size() > 0) ok = ok && out->put(' ') && out->append(example.data());
    } else {
        ok = ok && out->append("# ") && out->append(k.name) && out->append(" =");
        if (k.has_default) ok = ok && out->put(' ') && append_literal(out, k.default_text);
    }
    return ok && out->put('\n') ? 0 : kErrMemory;
}

// The name of the example section of pattern "WORD *": "WORD example", or
// with a number when the schema describes that name itself.
bool example_name(const CONF_SCHEMA *s, const Section &sec, Text *name) {
    for (unsigned n = 1;; ++n) {
        char suffix[32];
        std::snprintf(suffix, sizeof suffix, n == 1 ? " example" : " example%u", n);
        name->clear();
        if (!name->append(sec.name, sec.name_len - 2) || !name->append(suffix)) return false;
        if (find_section(s, Pieces{name->data(), name->size(), "", 0}) < 0) return true;
    }
}

int put_section(const CONF_SCHEMA *s, Text *out, uint32_t i) {
    const Section &sec = s->sections[i];
    const bool is_default = !sec.pattern && std::strcmp(sec.name, kDefaultSection) == 0;
    if (is_default && sec.key_count == 0 && sec.doc == nullptr) return 0;
    bool ok = out->size() == 0 || out->put('\n');
    if (sec.doc != nullptr) ok = ok && put_comment(out, sec.doc);
    if (!is_default) {
        Text name;
        if (sec.pattern) ok = ok && example_name(s, sec, &name);
        ok = ok && append_header(out, sec.pattern ? name.data() : sec.name) && out->put('\n');
    }
    if (!ok) return kErrMemory;
    for (uint32_t k = sec.first_key; k < sec.first_key + sec.key_count; ++k) {
        if (const int rc = put_key(out, s->keys[k]); rc != 0) return rc;
    }
    return 0;
}

}  // namespace
}  // namespace nivra::conf::schema

extern "C" {

CONF_SCHEMA *CONF_schema_load_buffer(const void *data, size_t length, CONF_SCHEMA_ERROR *error) {
    if (data == nullptr && length > 0) {
        set_error(error, kErrOpen, "unable to open configuration file", 0);
        return nullptr;
    }
    return load_text(static_cast<const char *>(data), length, error);
}

CONF_SCHEMA *CONF_schema_load(const char *path, CONF_SCHEMA_ERROR *error) {
    char *data = nullptr;
    size_t length = 0;
    FileId id;
    const int rc = path != nullptr ? read_whole_file(path, &data, &length, &id) : kErrOpen;
    if (rc != 0) {
        set_error(error, rc,
                  rc == kErrOpen         ? "unable to open configuration file"
                  : rc == kErrRead       ? "error reading configuration file"
                  : rc == kErrNotRegular ? "not a regular file"
                                         : "memory allocation fail",
                  0);
        return nullptr;
    }
    CONF_SCHEMA *s = load_text(data, length, error);
    std::free(data);
    return s;
}

void CONF_schema_free(CONF_SCHEMA *schema) { free_schema(schema); }

CONF_FINDINGS *CONF_schema_validate(const CONF_SCHEMA *schema, CONF_CTX *ctx) {
    if (schema == nullptr || ctx == nullptr) return nullptr;
    auto *out = static_cast<CONF_FINDINGS *>(std::calloc(1, sizeof(CONF_FINDINGS)));
    if (out == nullptr) return nullptr;
    Validator v(schema, ctx, out);
    if (!v.run()) {
        CONF_findings_free(out);
        return nullptr;
    }
    return out;
}

int CONF_findings_count(const CONF_FINDINGS *findings) {
    return findings != nullptr ? static_cast<int>(findings->count) : 0;
}

const CONF_FINDING *CONF_findings_get(const CONF_FINDINGS *findings, int index) {
    if (findings == nullptr || index < 0 || static_cast<size_t>(index) >= findings->count)
        return nullptr;
    return &findings->items[index].finding;
}

int CONF_findings_count_severity(const CONF_FINDINGS *findings, CONF_SEVERITY severity) {
    int n = 0;
    for (int i = 0; i < CONF_findings_count(findings); ++i)
        n += findings->items[i].finding.severity == severity ? 1 : 0;
    return n;
}

void CONF_findings_free(CONF_FINDINGS *findings) {
    if (findings == nullptr) return;
    std::free(findings->items);
    arena_release(&findings->arena);
    std::free(findings);
}

int CONF_schema_get_int64(const CONF_SCHEMA *schema, CONF_CTX *ctx, const char *section,
                          const char *name, int64_t *out) {
    return typed_read(schema, ctx, section, name, Type::kInt, out,
                      [](const Value &v, const char *) { return v.i; });
}

int CONF_schema_get_double(const CONF_SCHEMA *schema, CONF_CTX *ctx, const char *section,
                           const char *name, double *out) {
    return typed_read(schema, ctx, section, name, Type::kDouble, out,
                      [](const Value &v, const char *) { return v.d; });
}

int CONF_schema_get_bool(const CONF_SCHEMA *schema, CONF_CTX *ctx, const char *section,
                         const char *name, int *out) {
    return typed_read(schema, ctx, section, name, Type::kBool, out,
                      [](const Value &v, const char *) { return static_cast<int>(v.i); });
}

int CONF_schema_get_size(const CONF_SCHEMA *schema, CONF_CTX *ctx, const char *section,
                         const char *name, uint64_t *out) {
    return typed_read(schema, ctx, section, name, Type::kSize, out,
                      [](const Value &v, const char *) { return v.u; });
}

int CONF_schema_get_duration(const CONF_SCHEMA *schema, CONF_CTX *ctx, const char *section,
                             const char *name, int64_t *out) {
    return typed_read(schema, ctx, section, name, Type::kDuration, out,
                      [](const Value &v, const char *) { return v.i; });
}

int CONF_schema_get_string(const CONF_SCHEMA *schema, CONF_CTX *ctx, const char *section,
                           const char *name, const char **out) {
    return typed_read(schema, ctx, section, name, Type::kString, out,
                      [](const Value &, const char *text) { return text; });
}

int CONF_schema_get_enum(const CONF_SCHEMA *schema, CONF_CTX *ctx, const char *section,
                         const char *name, int *out) {
    return typed_read(schema, ctx, section, name, Type::kEnum, out,
                      [](const Value &v, const char *) { return static_cast<int>(v.i); });
}

int CONF_schema_write_sample(const CONF_SCHEMA *schema, FILE *fp) {
    if (schema == nullptr) return kErrNullContext;
    Text out;
    for (uint32_t i = 0; i < schema->section_count; ++i) {
        if (const int rc = put_section(schema, &out, i); rc != 0) return rc;
    }
    if (fp == nullptr) return kErrWrite;
    if (out.size() > 0 && std::fwrite(out.data(), 1, out.size(), fp) != out.size())
        return kErrWrite;
    return std::fflush(fp) != 0 || std::ferror(fp) != 0 ? kErrWrite : 0;
}

}  // extern "C"
