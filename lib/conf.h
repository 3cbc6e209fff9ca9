/*
 * conf.h - the configuration-file library.
 *
 * Compiles as C99 and as C++.  A CONF_CTX holds every entry read from one or
 * more configuration files, keyed by (section, name), and answers lookups with
 * fallbacks to the "default" section and to the process environment.  The
 * file format is described in docs/config-format.md.  A context is used by
 * one thread at a time; nothing here locks or throws, and nothing prints
 * (except the internal fault below, which cannot be reached through this
 * interface).
 *
 * Ownership: the context owns its table and every record and string in it,
 * all released by CONF_free.  A string returned by CONF_get_string belongs to
 * the context (or to the environment): the caller neither changes nor frees
 * it, and it stays valid until CONF_free, until a later load replaces that
 * entry, or until a failed load drops the table.
 *
 * Errors: every error is recorded in the context as a negative number and
 * its text, which stay until the next error replaces them (a successful load
 * clears nothing):
 *   -100 "null context pointer"               (returned only; nothing recorded)
 *   -101 "unable to open configuration file"
 *   -102 "memory allocation fail"
 *   -103 "unable to create new section"
 *   -104 "missing close square bracket"
 *   -105 "missing equal sign"
 *   -106 "no close brace"
 *   -107 "variable has no value"
 *   -108 "error reading configuration file"
 *   -109 "variable expansion too long"
 * For an error found while a file was being read (-102 to -109) the text ends
 * with ", line N": the last physical line of the logical line being read.
 */
#ifndef NIVRA_CONF_H
#define NIVRA_CONF_H

#include "lhash.h"
#include "stackimp.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct CONF_CTX {
    int last_errnum;          /* last error recorded, 0 until the first */
    char last_error_str[256]; /* its text, with a load's line suffix */
    LH_TABLE *table;          /* all records; null until a load creates it */
} CONF_CTX;

/* A new, all-zero context (no error, no table), or null when memory is
 * exhausted. */
CONF_CTX *CONF_new(void);

/*
 * Reads the file into the context, adding to what earlier loads stored: an
 * entry with the section and name of an earlier one replaces it.
 *
 * Returns -100 for a null context (nothing recorded).  Otherwise returns the
 * context's last_errnum when the load ends: 0 after a successful load into a
 * context that never recorded an error, but the earlier error's number after
 * a successful load into one that did.  So test CONF_get_last_errnum before
 * and after, or use a fresh context per load, when telling success apart
 * matters.
 *
 * A file that cannot be opened records -101 and leaves the context as it was.
 * Any other failure stops at the first error, records it with its line, and
 * drops the whole table (the entries of earlier successful loads included):
 * afterwards lookups behave as in a new context, answering from the
 * environment.
 */
int CONF_load(CONF_CTX *ctx, const char *file);

/*
 * The value of the entry name in section, or null.  A null name gives null.
 * A context without a table answers getenv(name) for any section.  Otherwise
 * the entry (section, name) is tried first when section is not null; then,
 * for the section "ENV" exactly, getenv(name) when it is set; then the entry
 * ("default", name).  Requires a context; records nothing.
 */
const char *CONF_get_string(CONF_CTX *ctx, const char *section, const char *name);

/*
 * The leading decimal digits of CONF_get_string's value as a number, wrapping
 * in 32-bit two's complement; no sign and no leading blanks are accepted, so
 * "-5", " 5", "" and a missing entry all give 0, and "12ab" gives 12.
 * Requires a context.
 */
int CONF_get_number(CONF_CTX *ctx, const char *section, const char *name);

/* The context's last error number; 0 for a null context. */
int CONF_get_last_errnum(const CONF_CTX *ctx);

/* The context's last error text (empty while none was recorded); null for a
 * null context.  The text lives in the context. */
const char *CONF_get_last_error_str(const CONF_CTX *ctx);

/* Releases the context with its table and every record and string in it.
 * A null context is ignored. */
void CONF_free(CONF_CTX *ctx);

#ifdef __cplusplus
}
#endif

#endif /* NIVRA_CONF_H */
