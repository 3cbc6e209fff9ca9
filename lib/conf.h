/*
 * conf.h - the configuration-file library.
 *
 * Compiles as C99 and as C++.  A CONF_CTX holds every entry read from one or
 * more configuration files, keyed by (section, name), and answers lookups with
 * fallbacks to the "default" section and to the process environment.  The
 * file format is described in docs/config-format.md.  Nothing here locks
 * or throws, and nothing prints (except the internal fault below, which
 * cannot be reached through this interface).
 *
 * Threads: once a load has returned, any number of threads may call the
 * read-only functions on one context at once: CONF_get_string,
 * CONF_get_number, the typed lookups, the listing functions and the error
 * accessors (the table's lookup statistics may then miss increments, see
 * lhash.h).  Loading (CONF_load and its siblings) and CONF_free need
 * exclusive use of the context: no other thread may use it meanwhile.
 * Lookups read the environment with getenv, so no thread may change the
 * environment while others look up.
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
 *   -110 "name cannot be written"              (editing: conf_doc.h)
 *   -111 "text does not parse"                 (editing)
 *   -112 "file changed since it was read"      (editing)
 *   -113 "error writing configuration file"    (CONF_write_fp, editing)
 *   -114 "file is not writable"                (saving)
 *   -115 "file property cannot be kept"        (saving)
 *   -116 "file is locked by another process"   (saving)
 *   -117 "not a regular file"                  (editing, saving)
 *   -118 "file has more than one link"         (saving)
 *   -119 "saved, but the directory could not be synced"  (saving)
 *   -120 a schema that does not describe      (conf_schema.h)
 *   -121 "configuration does not match its schema"  (conf_live.h)
 * For an error found while a file was being read (-102 to -109) the text ends
 * with ", line N": the last physical line of the logical line being read.
 *
 * Because the record stays, a caller that loads into a context which may
 * hold an earlier error and wants this load's own outcome clears it first:
 *
 *     CONF_clear_error(ctx);
 *     if (CONF_load(ctx, path) != 0) report(CONF_get_last_error_str(ctx));
 */
#ifndef NIVRA_CONF_H
#define NIVRA_CONF_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include "lhash.h"
#include "stackimp.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The files a context's entries came from; private to the library. */
typedef struct CONF_ORIGINS CONF_ORIGINS;

typedef struct CONF_CTX {
    int last_errnum;          /* last error recorded, 0 until the first */
    char last_error_str[256]; /* its text, with a load's line suffix */
    LH_TABLE *table;          /* all records; null until a load creates it */
    CONF_ORIGINS *origins;    /* private: null until a load from a file */
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
 * CONF_load for an open stream: reads fp from its current position to its
 * end, with every rule, merge, result and error record of CONF_load (a UTF-8
 * byte-order mark at the start of what it reads is skipped; a read error
 * records -108 with its line, drops the table and ends the load).  fp is not
 * closed, and is left wherever the load stopped reading.  A null context
 * returns -100; a null fp records -101 like a file that cannot be opened.
 */
int CONF_load_fp(CONF_CTX *ctx, FILE *fp);

/*
 * CONF_load for length bytes in memory, read as a file holding them: they
 * need not end in a NUL and may hold NUL bytes (which behave as in a file).
 * The bytes are neither modified nor kept after the call.  A null data with
 * length 0 is an empty file; with a non-zero length it records -101.  A null
 * context returns -100.
 */
int CONF_load_buffer(CONF_CTX *ctx, const void *data, size_t length);

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

/*
 * Typed lookups.  Each finds the value exactly as CONF_get_string does (with
 * its fallbacks) and returns 1 when there is one and the whole value is
 * valid, storing it in *out; 0 when CONF_get_string gives null; -1 when the
 * value is not valid.  *out is written only when the result is 1, so a
 * caller may preset a default.  A null out only validates.  They record no
 * error; a null context gives 0.
 *
 * CONF_get_int64: an optional "+" or "-" and one or more ASCII digits,
 *   nothing before or after, within INT64_MIN..INT64_MAX.
 * CONF_get_double: a finite decimal number as strtod reads it in the "C"
 *   locale, whatever the process's locale: optional sign, digits with at
 *   most one ".", at least one digit, an optional exponent ("e" or "E",
 *   optional sign, digits); no blanks, hexadecimal, infinity or NaN.  A
 *   value beyond the range of double is -1; one too small to represent
 *   gives the nearest subnormal or zero, as strtod does.
 * CONF_get_bool: "1", "true", "yes", "on" give 1 and "0", "false", "no",
 *   "off" give 0, in any ASCII case; anything else is -1.
 */
int CONF_get_int64(CONF_CTX *ctx, const char *section, const char *name, int64_t *out);
int CONF_get_double(CONF_CTX *ctx, const char *section, const char *name, double *out);
int CONF_get_bool(CONF_CTX *ctx, const char *section, const char *name, int *out);

/*
 * Listing.  Sections are listed in the order in which they came into being
 * in the context's table: "default" first (every load creates it), then
 * each section at its first header or first qualified entry, across every
 * load into the table.  A failed load drops the table and with it the
 * order.  A section's entries are listed in stored order: file order, where
 * an entry that replaced an earlier one stands where the replacement was
 * read.  Strings and records returned live as long as lookup results do;
 * nothing is allocated, and each call costs at most one section lookup.  A
 * null context is treated like one without a table.
 */

/* The number of sections in the context's table; 0 with no table. */
int CONF_get_section_count(CONF_CTX *ctx);

/* The name of the section at index (0..count-1); null outside the range. */
const char *CONF_get_section_name(CONF_CTX *ctx, int index);

/* The number of entries stored in section (0 for a section without
 * entries); -1 when there is no table, no such section, or section is null. */
int CONF_get_entry_count(CONF_CTX *ctx, const char *section);

/* The entry record at index of section's stored order, with its name and
 * value (read-only); null outside the range or where CONF_get_entry_count
 * gives -1. */
const CONF_VALUE *CONF_get_entry(CONF_CTX *ctx, const char *section, int index);

/*
 * The line number that the ", line N" suffix of the last recorded error
 * carries; 0 when that error has no suffix (-101, or an error recorded
 * outside a load), when no error has been recorded, and for a null context.
 */
int CONF_get_last_error_line(const CONF_CTX *ctx);

/* The context's last error number; 0 for a null context. */
int CONF_get_last_errnum(const CONF_CTX *ctx);

/* The context's last error text (empty while none was recorded); null for a
 * null context.  The text lives in the context. */
const char *CONF_get_last_error_str(const CONF_CTX *ctx);

/*
 * Layered configuration: a main file and drop-in files from several
 * directories, dirs[0] first in priority.
 *
 * The main file is DIR/name of the first directory that has that name;
 * lower directories' copies are not read.  The drop-ins are the entries
 * DIR/name.d/X.conf of every directory, X not starting with "."; for each
 * file name only the copy of the highest-priority directory counts.  They
 * load after the main file in the byte order of their file names.  For
 * the main file and the drop-ins alike, the copy that counts loads when it
 * is a regular file (or a link to one); anything else there masks the
 * name, so that nothing of that name loads: a link to /dev/null (the way
 * to mask), and also a dangling link, a directory or another device.  An
 * empty drop-in masks its name too, and an empty main file loads nothing.
 * Missing directories and files are no error (a null entry of dirs is a
 * missing directory), and a name that no directory has loads nothing.
 *
 * Each file loads exactly as CONF_load loads it, in that order, into the
 * context (a later definition replaces an earlier one); the first that
 * fails ends the call and leaves the context as that failed CONF_load
 * does.  Returns what CONF_load returns after the last file; with no file
 * at all, nothing is loaded and the context's last error number is
 * returned (0 in a context without errors).  A name that is null, empty,
 * ".", ".." or holds a "/" records -101 with nothing read.  A drop-in
 * directory that exists but cannot be listed ends the call like a file
 * that cannot be opened (-101, the error's file is that directory, the
 * table as it was); memory running out while the directories are listed
 * ends it like a failed load (-102, no table).  -100 for a null context.
 */
int CONF_load_layered(CONF_CTX *ctx, const char *const *dirs, size_t ndirs, const char *name);

/*
 * The path (as given to CONF_load, or as CONF_load_layered built it) of the
 * file whose load recorded the context's last error; null when that error
 * did not come from a file (a stream, memory, an edit), when there is none,
 * and for a null context.  The text lives as long as the context.
 */
const char *CONF_get_last_error_file(const CONF_CTX *ctx);

/*
 * Where the entry (section, name) that the context holds was defined: 1
 * with *file the path of the file that stored it (null when a stream or
 * memory load stored it) and *line the first physical line of its
 * definition; 0 when the context holds no such entry (no fallback to
 * "default" or the environment), outputs untouched.  A null section means
 * "default"; file and line may be null.  A definition replaced by a later
 * load reports the later one.  The path lives as long as the context.
 */
int CONF_get_origin(CONF_CTX *ctx, const char *section, const char *name, const char **file,
                    int *line);

/* Forgets the recorded error: number 0, empty text, line 0, no file.  The
 * entries are not touched.  A null context is ignored. */
void CONF_clear_error(CONF_CTX *ctx);

/*
 * Writes the context as a configuration file to fp: every section in the
 * order it came into being ("default" first, with no header), each
 * followed by its entries in stored order as "name = value" lines, the
 * section names and values written as literals (escaped or quoted wherever
 * the format would otherwise change them).  Loading the output into an
 * empty context gives the same sections (empty ones included), entries,
 * order and values.  Returns 0; -100 for a null context; -110 when a
 * section or entry name cannot be written as a line of the format (nothing
 * is written then); -102 when memory runs out; -113 when writing to fp
 * fails (a null fp included).  Records nothing in the context.
 */
int CONF_write_fp(CONF_CTX *ctx, FILE *fp);

/* Releases the context with its table and every record and string in it.
 * A null context is ignored. */
void CONF_free(CONF_CTX *ctx);

#ifdef __cplusplus
}
#endif

#endif /* NIVRA_CONF_H */
