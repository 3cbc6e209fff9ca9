// conf_typed.cc - typed reads of configuration values: 64-bit integers,
// doubles and booleans that tell a missing entry from a malformed value.
//
// Owns: the grammars of the three value kinds.  Values are found through
// CONF_get_string, so the fallbacks are the same; nothing is recorded.  The
// library needs no C++ runtime: no locale objects, exceptions or guards of
// function-local statics.
#include <locale.h>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>

#include "conf.h"
#include "conf_typed.h"

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

locale_t g_c_locale_cache = static_cast<locale_t>(nullptr);

// The "C" locale for strtod_l.  glibc hands out its built-in C locale
// without allocating; the pointer is cached with relaxed atomics (any
// thread may fill it, all fill it with the same object).
locale_t c_locale() {
    locale_t loc = __atomic_load_n(&g_c_locale_cache, __ATOMIC_RELAXED);
    if (loc == static_cast<locale_t>(nullptr)) {
        loc = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
        if (loc != static_cast<locale_t>(nullptr))
            __atomic_store_n(&g_c_locale_cache, loc, __ATOMIC_RELAXED);
    }
    return loc;
}

char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool equals_ignoring_case(const char *s, const char *word) {
    for (; *word != '\0'; ++s, ++word) {
        if (lower(*s) != *word) return false;
    }
    return *s == '\0';
}

}  // namespace

namespace nivra::conf {

// The whole text is [+-]digits and fits in int64_t.
bool parse_int64(const char *s, int64_t *out) {
    const bool negative = *s == '-';
    if (*s == '+' || *s == '-') ++s;
    if (!is_digit(*s)) return false;
    // Accumulate the magnitude as unsigned, so INT64_MIN's is representable.
    const uint64_t limit = negative ? uint64_t{1} << 63 : (uint64_t{1} << 63) - 1;
    uint64_t v = 0;
    for (; is_digit(*s); ++s) {
        const auto d = static_cast<uint64_t>(*s - '0');
        if (v > (limit - d) / 10) return false;
        v = v * 10 + d;
    }
    if (*s != '\0') return false;
    // Two's complement negation of the magnitude, without signed overflow.
    *out = negative ? static_cast<int64_t>(~v + 1) : static_cast<int64_t>(v);
    return true;
}

// The text is a decimal number as the grammar in conf.h gives it: strtod
// would read more (blanks, hexadecimal, inf, nan), so the shape is checked
// first.
bool is_decimal_number(const char *s) {
    if (*s == '+' || *s == '-') ++s;
    bool digits = false;
    for (; is_digit(*s); ++s) digits = true;
    if (*s == '.') {
        for (++s; is_digit(*s); ++s) digits = true;
    }
    if (!digits) return false;
    if (*s == 'e' || *s == 'E') {
        ++s;
        if (*s == '+' || *s == '-') ++s;
        if (!is_digit(*s)) return false;
        while (is_digit(*s)) ++s;
    }
    return *s == '\0';
}

bool parse_double(const char *s, double *out) {
    if (!is_decimal_number(s)) return false;
    const locale_t loc = c_locale();
    if (loc == static_cast<locale_t>(nullptr)) return false;
    const int saved = errno;
    errno = 0;
    char *end = nullptr;
    const double v = strtod_l(s, &end, loc);
    const bool range = errno == ERANGE;
    errno = saved;
    if (*end != '\0' || !std::isfinite(v)) return false;
    // ERANGE also reports underflow, which gives a usable (tiny or zero)
    // value; only overflow is out of range.
    if (range && std::fabs(v) > 1.0) return false;
    *out = v;
    return true;
}

bool parse_bool(const char *s, int *out) {
    static constexpr const char *kTrue[] = {"1", "true", "yes", "on"};
    static constexpr const char *kFalse[] = {"0", "false", "no", "off"};
    for (const char *w : kTrue) {
        if (equals_ignoring_case(s, w)) return *out = 1, true;
    }
    for (const char *w : kFalse) {
        if (equals_ignoring_case(s, w)) return *out = 0, true;
    }
    return false;
}

}  // namespace nivra::conf

namespace {

using nivra::conf::parse_bool;
using nivra::conf::parse_double;
using nivra::conf::parse_int64;

// Finds the value and parses it into a local; *out is written only on 1.
template <typename T, typename Parse>
int typed_lookup(CONF_CTX *ctx, const char *section, const char *name, T *out, Parse parse) {
    if (ctx == nullptr) return 0;
    const char *s = CONF_get_string(ctx, section, name);
    if (s == nullptr) return 0;
    T v{};
    if (!parse(s, &v)) return -1;
    if (out != nullptr) *out = v;
    return 1;
}

}  // namespace

extern "C" {

int CONF_get_int64(CONF_CTX *ctx, const char *section, const char *name, int64_t *out) {
    return typed_lookup(ctx, section, name, out, parse_int64);
}

int CONF_get_double(CONF_CTX *ctx, const char *section, const char *name, double *out) {
    return typed_lookup(ctx, section, name, out, parse_double);
}

int CONF_get_bool(CONF_CTX *ctx, const char *section, const char *name, int *out) {
    return typed_lookup(ctx, section, name, out, parse_bool);
}

}  // extern "C"
