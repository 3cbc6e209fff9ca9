/*
 * nivra_sysid.h - the system identity record and how it is filled.
 *
 * Compiles as C99 and as C++.  Shipped as the relocatable object module
 * nivra_sysid.o, which needs lc_snprintf from nivra_utils.o and the C library,
 * and linked into the static library and nodeprint.
 */
#ifndef NIVRA_SYSID_H
#define NIVRA_SYSID_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define SYSID_MAX_ENTRIES 10
#define SYSID_FIELD_LEN 80

/*
 * SYSID_INFO describes a host's identity, in one of two forms.
 *
 *   adapter_mode == 0   host form: id[0] is the system identifier, the host ID
 *                       as eight upper-case hex digits.
 *   adapter_mode != 0   adapter form: entries 0 .. count-1 are network
 *                       adapters (name, hardware address without separators
 *                       in upper case, description) for the operator to
 *                       choose from.
 *
 * count is 0 .. SYSID_MAX_ENTRIES.  The three arrays are laid out field by
 * field: all names, then all identifiers, then all descriptions; entry k is
 * index k of each.  Every text is NUL-terminated within SYSID_FIELD_LEN bytes,
 * and every byte after a terminator, or of an unused entry, is zero.  The
 * caller owns the record; the library keeps no reference to it.
 */
typedef struct SYSID_INFO {
    int32_t adapter_mode;
    int32_t count;
    char name[SYSID_MAX_ENTRIES][SYSID_FIELD_LEN];
    char id[SYSID_MAX_ENTRIES][SYSID_FIELD_LEN];
    char desc[SYSID_MAX_ENTRIES][SYSID_FIELD_LEN];
} SYSID_INFO;

/*
 * Nivra_GetSysID(info) fills *info in host form: every byte is first set to
 * zero, then adapter_mode is 0, count is 1 and id[0] holds the host's 32-bit
 * host ID (gethostid) as exactly eight upper-case hex digits, taken as an
 * unsigned value ("%08X"; 0 gives "00000000").  name[0] and desc[0] stay empty.
 *
 * Returns 0 when the record has been filled; non-zero when the identity could
 * not be obtained, which on this system happens only for a null info (then
 * nothing is written).
 */
int32_t Nivra_GetSysID(SYSID_INFO *info);

#ifdef __cplusplus
}
#endif

#endif /* NIVRA_SYSID_H */
