// conf_internal.h - the configuration library's internal functions and tables.
//
// Not installed.  The library's units and its tests include it; programs
// that ship with the kit (confcheck) may too.  Everything lives in
// nivra::conf so that names such as hash and get_section cannot collide
// with a caller's symbols.
#ifndef NIVRA_CONF_INTERNAL_H
#define NIVRA_CONF_INTERNAL_H

#include <array>
#include <cstdint>
#include <cstdio>

#include "conf.h"

namespace nivra::conf {

// ---- Character classes --------------------------------------------------
//
// One class bit per byte at most.  Bytes 0x00-0x7F carry the classes of the
// configuration syntax; bytes 0x80-0xFF are name characters (class CC_LOWER,
// like letters) and nothing else, so UTF-8 and Latin-1 text passes through
// names and values byte for byte.
enum : uint16_t {
    CC_DIGIT = 1,
    CC_UPPER = 2,
    CC_LOWER = 4,
    CC_END = 8,
    CC_SPACE = 16,
    CC_ESCAPE = 32,
    CC_QUOTE = 64,
    CC_COMMENT = 128,
    CC_UNDERSCORE = 256,
    CC_PUNCT = 512,
    CC_NAME = CC_DIGIT | CC_UPPER | CC_LOWER | CC_UNDERSCORE,  // 0x107
    CC_NAME_PUNCT = CC_NAME | CC_PUNCT,                        // 0x307
};

constexpr std::array<uint16_t, 256> make_conf_type() {
    std::array<uint16_t, 256> t{};
    for (int c = '0'; c <= '9'; ++c) t[c] = CC_DIGIT;
    for (int c = 'A'; c <= 'Z'; ++c) t[c] = CC_UPPER;
    for (int c = 'a'; c <= 'z'; ++c) t[c] = CC_LOWER;
    t[0x00] = CC_END;
    for (int c : {'\t', '\n', '\r', ' '}) t[c] = CC_SPACE;
    t['\\'] = CC_ESCAPE;
    for (int c : {'"', '\'', '`'}) t[c] = CC_QUOTE;
    t['#'] = CC_COMMENT;
    t['_'] = CC_UNDERSCORE;
    for (char c : {'!', '%', '&', '*', '+', ',', '-', '.', '/', ';', '?', '@', '^', '|', '~'}) {
        t[static_cast<unsigned char>(c)] = CC_PUNCT;
    }
    for (int c = 0x80; c <= 0xFF; ++c) t[c] = CC_LOWER;
    return t;
}

inline constexpr std::array<uint16_t, 256> CONF_type = make_conf_type();

static_assert(CONF_type.size() == 256);
static_assert(CONF_type['#'] == CC_COMMENT && CONF_type['$'] == 0 && CONF_type[0x0B] == 0);
static_assert(CONF_type[0xA3] == CC_LOWER && CONF_type[0xA0] == CC_LOWER);

inline bool is_class(char c, uint16_t mask) {
    return (CONF_type[static_cast<unsigned char>(c)] & mask) != 0;
}

// ---- Scanners ------------------------------------------------------------
// Each takes a position in a NUL-terminated string and returns a position in
// the same string; none allocates.

// The first position at or after p that is not a blank (TAB, LF, CR, space).
char *eat_ws(char *p);

// The first position at or after p that is not part of a name run: digits,
// letters, '_', the punctuation class and backslash pairs (a backslash and
// whatever byte follows it; a final lone backslash is stepped over alone).
char *eat_alpha_numeric(char *p);

// Given the position of a quote character q: the position just after the
// matching q (a backslash lets q stand inside), or of the terminating NUL
// when the stretch is not closed.
char *scan_quote(char *p);

// Cuts the line at its first comment character that is neither quoted nor
// escaped, by writing a NUL over it.
void clear_comments(char *p);

// ---- Store ---------------------------------------------------------------

struct CONF_REASON {
    int code;
    const char *text;
};
// The error numbers and texts, ended by {0, nullptr}.
extern const CONF_REASON CONF_str_reasons[];

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

// The most bytes that the references of one text may insert.
inline constexpr size_t kMaxExpansion = 65536;

// Records number and its text (empty when the number is not in the table).
void CONFerr(CONF_CTX *ctx, int number);

// (lh_strhash(section) << 2) ^ lh_strhash(name), for the context's table.
uint32_t hash(const void *record);

// Orders records by section, then name; a section record (no name) sorts
// before the entries of its section.  0 means the same key.
int cmp_conf(const void *a, const void *b);

// The section record of that name, or null (no table, null name, no such
// section).
CONF_VALUE *get_section(CONF_CTX *ctx, const char *name);

// Creates and inserts the section record of that name, with an empty stack.
// Null when memory runs out (also when the table could not store it), with
// nothing left behind.  A section of that name must not exist already:
// that is an internal fault that writes "internal fault\n" to standard
// error and aborts.
CONF_VALUE *new_section(LH_TABLE *table, const char *name);

// Frees an entry record with its value and name (not its section string,
// which belongs to the section record).
void free_entry(CONF_VALUE *entry);

// Releases the table with every record, stack and string in it; null is
// ignored.
void CONF_lhash_free(LH_TABLE *table);

// Expands text (quotes, escapes, variable references resolved through
// CONF_get_string with section as the default section) into a new string.
// On success frees *target, stores the new string there and returns 1.  On
// failure records the error in ctx, frees the partial result, leaves *target
// untouched and returns 0.  text is modified during the call and restored
// before it returns.
int str_copy(CONF_CTX *ctx, const char *section, char **target, char *text);

// Reads a whole stream into the context's table (creating it if needed).
// Returns the table, or null after recording an error with its line.  The
// caller decides what becomes of ctx->table.
LH_TABLE *CONF_load_file(CONF_CTX *ctx, std::FILE *in);

// CONF_load on an open stream: reads it with CONF_load_file and, when that
// fails, drops the context's table with everything in it.  Returns the
// context's last error number.  The stream stays open.
int CONF_load_stream(CONF_CTX *ctx, std::FILE *in);

}  // namespace nivra::conf

#endif  // NIVRA_CONF_INTERNAL_H
