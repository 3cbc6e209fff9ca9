// conf_syntax.h - the character classes and scanners of the configuration
// syntax.  Internal to the library; not installed.
//
// Owns: the class table CONF_type and the four scanners.  None of them
// allocates; each takes a position in a NUL-terminated string and returns a
// position in the same string (clear_comments writes one NUL into it).
// Invariant: every byte has at most one class bit.
#ifndef NIVRA_CONF_SYNTAX_H
#define NIVRA_CONF_SYNTAX_H

#include <array>
#include <cstdint>

namespace nivra::conf {

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
    auto set = [&t](unsigned c, uint16_t cls) { t[c] = cls; };
    auto set_all = [&set](const char *chars, uint16_t cls) {
        for (; *chars != '\0'; ++chars) set(static_cast<unsigned char>(*chars), cls);
    };
    for (unsigned c = '0'; c <= '9'; ++c) set(c, CC_DIGIT);
    for (unsigned c = 'A'; c <= 'Z'; ++c) set(c, CC_UPPER);
    for (unsigned c = 'a'; c <= 'z'; ++c) set(c, CC_LOWER);
    set(0x00, CC_END);
    set_all("\t\n\r ", CC_SPACE);
    set('\\', CC_ESCAPE);
    set_all("\"'`", CC_QUOTE);
    set('#', CC_COMMENT);
    set('_', CC_UNDERSCORE);
    set_all("!%&*+,-./;?@^|~", CC_PUNCT);
    for (unsigned c = 0x80; c <= 0xFF; ++c) set(c, CC_LOWER);
    return t;
}

inline constexpr std::array<uint16_t, 256> CONF_type = make_conf_type();

static_assert(CONF_type.size() == 256);
static_assert(CONF_type['#'] == CC_COMMENT && CONF_type['$'] == 0 && CONF_type[0x0B] == 0);
static_assert(CONF_type[0xA3] == CC_LOWER && CONF_type[0xA0] == CC_LOWER);

constexpr bool is_class(char c, uint16_t mask) {
    return (CONF_type[static_cast<unsigned char>(c)] & mask) != 0;
}

// Whether an unquoted control escape (\t \n \r \b) is glued to the text
// after it, as in C:\temp, where a path's separator may have been meant;
// after is the byte after the escape's letter.  One at the end, or before
// a quote or another backslash, stands apart and is taken as meant.
constexpr bool control_escape_glued(const char *after) {
    return *after != '\0' && *after != '\\' && !is_class(*after, CC_QUOTE);
}

// Scanners that skip ordinary bytes in runs (strcspn) stop only at the bytes
// of a set; true when set holds exactly the bytes 1-255 that belong to a
// class of mask or are listed in extra.  Used in static_asserts that keep
// such sets in step with the table.
constexpr bool stop_set_is(const char *set, uint16_t mask, const char *extra) {
    auto in = [](const char *s, int b) {
        for (; *s != '\0'; ++s) {
            if (static_cast<unsigned char>(*s) == b) return true;
        }
        return false;
    };
    for (int b = 1; b < 256; ++b) {
        const bool in_class = (CONF_type[static_cast<unsigned>(b)] & mask) != 0;
        if (in(set, b) != (in_class || in(extra, b))) return false;
    }
    return true;
}

// The scanners are inline: the loader calls them on every line, several
// times, and they are a few instructions each.

// The first position at or after p that is not a blank (TAB, LF, CR, space).
inline char *eat_ws(char *p) {
    while (is_class(*p, CC_SPACE)) ++p;
    return p;
}

// The first position at or after p that is not part of a name run: digits,
// letters, '_', the punctuation class and backslash pairs (a backslash and
// whatever byte follows it; a final lone backslash is stepped over alone).
inline char *eat_alpha_numeric(char *p) {
    for (;;) {
        while (is_class(*p, CC_NAME_PUNCT)) ++p;
        if (*p != '\\') return p;
        p += (p[1] == '\0') ? 1 : 2;
    }
}

// Given the position of a quote character q: the position just after the
// matching q (a backslash lets q stand inside), or of the terminating NUL
// when the stretch is not closed.
char *scan_quote(char *p);

// The first position at or after p that is not in CC_NAME (digits, letters,
// '_'): the names of variable references.
inline char *eat_name(char *p) {
    while (is_class(*p, CC_NAME)) ++p;
    return p;
}

// A name that may be qualified by a section: a run, then directly "::" and
// a second run.  Without the colons, section_end is null and the first run
// is the name.  Runs are scanned by scan (eat_alpha_numeric in entries,
// eat_name in references).  Nothing is written.
struct QualifiedName {
    char *section_end;  // where the qualifier ends (at the colons), or null
    char *name;
    char *name_end;
};
template <typename Scan>
QualifiedName split_qualified(char *p, Scan scan) {
    char *end = scan(p);
    if (end[0] != ':' || end[1] != ':') return {nullptr, p, end};
    return {end, end + 2, scan(end + 2)};
}

// Cuts the line at its first comment character that is neither quoted nor
// escaped, by writing a NUL over it.  Returns the position of the line's
// terminator afterwards (the one written, or the one that was there).
char *clear_comments(char *p);
// The same; *plain tells whether what is left of the line holds no quote,
// backslash or '$', so that every value in it is its own expansion.
char *clear_comments(char *p, bool *plain);

}  // namespace nivra::conf

#endif  // NIVRA_CONF_SYNTAX_H
