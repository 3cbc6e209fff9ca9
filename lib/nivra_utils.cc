// nivra_utils.cc - trace printing, bounded formatting and hex conversion.
//
// This unit is also shipped alone as nivra_utils.o, so it must need nothing
// but the C library: no exceptions, no RTTI, nothing from the C++ runtime.
#include "nivra_utils.h"

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>

extern "C" {
int g_lc_trace = 0;
}

namespace {

// A message's level from the first word of its format; exact byte compare.
int trace_level_of(const char *fmt) {
    if (std::strncmp(fmt, "error", 5) == 0) return 1;
    if (std::strncmp(fmt, "warn", 4) == 0) return 2;
    if (std::strncmp(fmt, "info", 4) == 0) return 3;
    return 0;
}

// Digit value of one character: 0-9, then 10-35 for the whole alphabet in
// either case; anything else is 0.  Only the low 8 bits of c count.
int hex2dec(int c) {
    const unsigned char b = static_cast<unsigned char>(c);
    if (b >= '0' && b <= '9') return b - '0';
    if (b >= 'a' && b <= 'z') return b - 'a' + 10;
    if (b >= 'A' && b <= 'Z') return b - 'A' + 10;
    return 0;
}

constexpr char kUpperHex[] = "0123456789ABCDEF";

}  // namespace

extern "C" int lc_dtrace(const char *fmt, ...) {
    const int level = g_lc_trace;
    if (level == 0) return 0;
    if (trace_level_of(fmt) > level) return 0;
    va_list ap;
    va_start(ap, fmt);
    const int written = std::vprintf(fmt, ap);
    va_end(ap);
    return written;
}

extern "C" int lc_snprintf(char *buf, size_t size, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    const int result = std::vsnprintf(buf, size, fmt, ap);
    va_end(ap);
    return result;
}

extern "C" void lc_hexstr2bin(unsigned char *out, const char *hex) {
    // The text's length is taken once and kept exact as the output is written:
    // when out overlaps hex (conversion in place), a byte written over the
    // text can shorten it (a 0 inside it) or lengthen it (a non-zero byte over
    // its terminator), and the loop must stop where a fresh strlen would.
    const unsigned char *text = reinterpret_cast<const unsigned char *>(hex);
    size_t len = std::strlen(hex);
    for (size_t i = 0; i < len; i += 2) {
        const int pair = 16 * hex2dec(text[i]) + hex2dec(text[i + 1]);
        unsigned char *dst = out + i / 2;
        *dst = static_cast<unsigned char>(pair & 0xFF);
        const std::uintptr_t d = reinterpret_cast<std::uintptr_t>(dst);
        const std::uintptr_t t = reinterpret_cast<std::uintptr_t>(text);
        if (d < t || d > t + len) continue;  // the write left the text alone
        const size_t at = static_cast<size_t>(d - t);
        if (*dst == 0 && at < len) {
            len = at;
        } else if (*dst != 0 && at == len) {
            len = at + 1 + std::strlen(hex + at + 1);
        }
    }
}

extern "C" void lc_bin2hexstr(char *out, const unsigned char *in, int count) {
    if (count < 0) count = 0;  // a negative count would put the NUL before out
    for (int i = 0; i < count; ++i) {
        const size_t at = 2 * static_cast<size_t>(i);
        out[at] = kUpperHex[in[i] >> 4];
        out[at + 1] = kUpperHex[in[i] & 0x0F];
    }
    out[2 * static_cast<size_t>(count)] = '\0';
}
