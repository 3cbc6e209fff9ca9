/*
 * nivra_utils.h - levelled trace output, bounded formatting and hex conversion.
 *
 * Compiles as C99 and as C++.  Shipped as the relocatable object module
 * nivra_utils.o, which needs nothing but the C library, and linked into the
 * static library and nodeprint.  Nothing here allocates memory or keeps state
 * other than g_lc_trace; nothing here throws.
 */
#ifndef NIVRA_UTILS_H
#define NIVRA_UTILS_H

#include <stddef.h>

#if defined(__GNUC__) || defined(__clang__)
#define NIVRA_PRINTF_LIKE(fmt, first) __attribute__((format(printf, fmt, first)))
#else
#define NIVRA_PRINTF_LIKE(fmt, first)
#endif

#ifdef __cplusplus
extern "C" {
#endif

/*
 * The process-wide trace level, initially 0.  A positive level n lets trace
 * messages of level n and below through; 0 and negative levels print nothing.
 * It is read afresh by every lc_dtrace call and is not locked.
 */
extern int g_lc_trace;

/*
 * lc_dtrace(fmt, ...) prints a trace message to standard output when its level
 * is allowed by g_lc_trace.
 *
 * The level comes from the first bytes of fmt, compared exactly (case
 * matters): "error" is level 1, "warn" level 2, "info" level 3, anything else
 * level 0.  A longer word counts as its prefix ("warning" is level 2).  The
 * message is written as vprintf writes it, unchanged: no prefix, no line end,
 * no flush.
 *
 * Returns 0 when nothing was printed (g_lc_trace is 0 or below, or the level
 * is above it), else what vprintf returns.  fmt must not be null.
 */
int lc_dtrace(const char *fmt, ...) NIVRA_PRINTF_LIKE(1, 2);

/*
 * lc_snprintf(buf, size, fmt, ...) is vsnprintf: it writes at most size bytes,
 * terminator included, and returns vsnprintf's result unchanged.
 */
int lc_snprintf(char *buf, size_t size, const char *fmt, ...) NIVRA_PRINTF_LIKE(3, 4);

/*
 * lc_hexstr2bin(out, hex) converts the NUL-terminated text hex, two characters
 * per byte, into ceil(strlen(hex) / 2) bytes at out.  No terminator is written
 * and out is not bounded: the caller provides the room.
 *
 * A character's value is 0-9 for '0'-'9' and 10-35 for 'a'-'z' and 'A'-'Z';
 * every other byte counts 0, without error.  Each output byte is the low 8
 * bits of 16 * first + second, so "g1" gives 0x01 and "zz" gives 0x53.  With
 * an odd length the last byte's low half is the terminator's 0 ("ABC" gives
 * AB C0).  out may be hex itself (conversion in place).
 */
void lc_hexstr2bin(unsigned char *out, const char *hex);

/*
 * lc_bin2hexstr(out, in, count) writes the count bytes at in as 2 * count
 * upper-case hex digits and a terminator: 2 * count + 1 bytes at out.
 * A count of 0 or less writes the empty text (one NUL) and nothing else.
 */
void lc_bin2hexstr(char *out, const unsigned char *in, int count);

#ifdef __cplusplus
}
#endif

#endif /* NIVRA_UTILS_H */
