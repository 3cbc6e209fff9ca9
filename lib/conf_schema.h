/*
 * conf_schema.h - one description of what a program reads, shared by the
 * program, its operators' checker and its editor.
 *
 * Compiles as C99 and as C++.  A schema is itself a configuration file,
 * read by CONF_load's own loader.  Each section of the schema describes a
 * section of the configuration, each entry a key; the comment lines
 * directly above a key or a section header are its documentation.  The
 * value of an entry is
 *
 *     TYPE [CONSTRAINT] [required] [= DEFAULT]
 *
 *   string                      any text
 *   int [MIN..MAX]              a 64-bit integer as CONF_get_int64 reads it
 *   double [MIN..MAX]           a number as CONF_get_double reads it
 *   bool                        the spellings CONF_get_bool takes
 *   enum CHOICE...              one of the blank-separated words
 *   size [MIN..MAX]             bytes: digits with an optional fraction and
 *                               one of the suffixes K M G T (each 1024 times
 *                               the last); the result must be whole bytes
 *                               ("1.5G" reads, "1.3K" does not) and at most
 *                               UINT64_MAX; no blanks, no sign, no "0x"
 *   duration [MIN..MAX]         one or more parts NUMBER UNIT, with no blanks
 *                               ("1h30min"), the units ms s min h d, NUMBER
 *                               with an optional fraction; read as whole
 *                               milliseconds, at most INT64_MAX; a bare "0"
 *                               is also a duration
 *   deprecated NAME             a key replaced by the key NAME of the section
 *
 * Either end of a range may be left out ("..4G", "1.."); a range is written
 * in the type's own units ("1s..1h").  A section named "WORD *" describes
 * every section whose name is WORD, a blank and anything; an exact section
 * description is preferred to a pattern.  A key "*" describes every key of
 * its section that no other line describes.  Entries before any header
 * describe the section "default".  The word "required" is a flag wherever
 * it stands last among the words, so it cannot be an enum's last choice.
 *
 * A schema is refused at load time, with the line of the entry, when an
 * entry has an unknown type, a constraint that does not read, an empty
 * range, a default that is not of its type or lies outside its range,
 * "required" with a default, or "deprecated" naming no key of its section
 * (or a "*" or deprecated one).
 *
 * Memory: a schema owns everything it holds (from malloc), released by
 * CONF_schema_free; it keeps no pointer the caller gave.  Findings are a
 * separate object that owns copies of every string it shows.  A loaded
 * schema is never changed, so any number of threads may use one at once;
 * validation and the typed reads read a context as CONF_get_string does
 * (see conf.h for the threads that may share a context).  Nothing here
 * prints.
 */
#ifndef NIVRA_CONF_SCHEMA_H
#define NIVRA_CONF_SCHEMA_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include "conf.h"

#ifdef __cplusplus
extern "C" {
#endif

/* A loaded schema; opaque. */
typedef struct CONF_SCHEMA CONF_SCHEMA;

/* The error number of a schema whose text loads but does not describe:
 * an entry whose value is not TYPE [CONSTRAINT] [required] [= DEFAULT] as
 * above. */
#define CONF_SCHEMA_INVALID (-120)

/* Why a schema load failed. */
typedef struct CONF_SCHEMA_ERROR {
    int number;     /* 0 after success; else a loader error of conf.h (-101 to
                       -109) or CONF_SCHEMA_INVALID */
    int line;       /* the line of the schema, 0 where none applies (-101) */
    char text[256]; /* what is wrong, ending in ", line N" where there is a
                       line; cut to fit */
} CONF_SCHEMA_ERROR;

/*
 * Loads the schema in the file at path.  Returns the schema, or null with
 * *error filled (when error is not null): -101 when the file cannot be
 * opened (a null path included), -108 when it cannot be read, -117 when
 * it is a device, FIFO or socket (nothing read), a load error
 * of the text with its line, -102 (or the loader's -103, with a line) when
 * memory runs out, or
 * CONF_SCHEMA_INVALID with the line of the entry that does not describe.
 * After success *error says number 0.
 */
CONF_SCHEMA *CONF_schema_load(const char *path, CONF_SCHEMA_ERROR *error);

/*
 * CONF_schema_load for length bytes in memory (a program's embedded schema
 * text): they need not end in a NUL and are not kept.  A null data with a
 * non-zero length is -101; with length 0 it is an empty schema, which
 * describes nothing.
 */
CONF_SCHEMA *CONF_schema_load_buffer(const void *data, size_t length, CONF_SCHEMA_ERROR *error);

/* Releases the schema and all it owns; null is ignored. */
void CONF_schema_free(CONF_SCHEMA *schema);

/* ---- Validation ------------------------------------------------------- */

/* What a finding reports.  The numbers are stable. */
typedef enum CONF_FINDING_KIND {
    CONF_FINDING_UNKNOWN_SECTION = 1, /* warning: no description of this section */
    CONF_FINDING_UNKNOWN_KEY = 2,     /* warning: no description of this key */
    CONF_FINDING_WRONG_TYPE = 3,      /* error: the value does not read as its type */
    CONF_FINDING_OUT_OF_RANGE = 4,    /* error: it reads, outside its range */
    CONF_FINDING_NOT_A_CHOICE = 5,    /* error: not one of an enum's choices */
    CONF_FINDING_MISSING = 6,         /* error: a required key is not set */
    CONF_FINDING_DEPRECATED = 7       /* warning: a key the schema replaced */
} CONF_FINDING_KIND;

typedef enum CONF_SEVERITY { CONF_SEVERITY_WARNING = 1, CONF_SEVERITY_ERROR = 2 } CONF_SEVERITY;

/*
 * One finding.  Strings belong to the findings object and are never null
 * except where said.  section and name are those of the configuration
 * (name empty for an unknown section); value is the entry's value (empty
 * for an unknown section and a missing key).  file and line are where the
 * entry was defined (CONF_get_origin: the file of the load that stored it,
 * null for a stream or memory load); for an unknown section, those of its
 * first entry (line 0 and the file below when it has none); for a missing
 * key, the file loaded last into the context (whose definitions win, null
 * when none was a file) and line 0.  message is one line of text for a
 * person; suggestion is the key or section meant (a nearby known name, the
 * section that has the key, the closest choice, the replacing key), empty
 * when there is none.
 */
typedef struct CONF_FINDING {
    CONF_FINDING_KIND kind;
    CONF_SEVERITY severity;
    const char *section;
    const char *name;
    const char *value;
    const char *file;
    int line;
    const char *message;
    const char *suggestion;
} CONF_FINDING;

/* The findings of one validation; opaque. */
typedef struct CONF_FINDINGS CONF_FINDINGS;

/*
 * Checks every section and entry of the context against the schema.  Each
 * section of the context is matched with its description (exact, else
 * "WORD *"); each of its entries with its key's description (the key, else
 * "*"), and the value is checked against the type and constraint.  An
 * unknown section is one finding (its entries are not reported one by
 * one); "default" is never an unknown section, only its entries may be
 * unknown keys.  Every required key of a described section that is not set
 * is missing; a pattern's required keys are checked in each section it
 * matches.  Entries are looked up exactly, without the fallbacks of
 * CONF_get_string.
 *
 * Findings come in file order: by the order in which their files were
 * first loaded into the context, then by line, entries of one line in the
 * order of the context's listing; the findings without a line (missing
 * keys, empty unknown sections) come last, in the order of the schema and
 * the context.
 *
 * Returns the findings (possibly none), owned by the caller and released
 * with CONF_findings_free; null when the schema or the context is null or
 * memory runs out.  The findings hold copies: they stay valid when the
 * context or the schema changes or is freed.  A validation that finds
 * nothing allocates only the findings object.
 */
CONF_FINDINGS *CONF_schema_validate(const CONF_SCHEMA *schema, CONF_CTX *ctx);

/* The number of findings; 0 for null. */
int CONF_findings_count(const CONF_FINDINGS *findings);

/* The finding at index (0..count-1); null outside the range.  It lives as
 * long as the findings object. */
const CONF_FINDING *CONF_findings_get(const CONF_FINDINGS *findings, int index);

/* The number of findings of the given severity; 0 for null. */
int CONF_findings_count_severity(const CONF_FINDINGS *findings, CONF_SEVERITY severity);

/* Releases the findings; null is ignored. */
void CONF_findings_free(CONF_FINDINGS *findings);

/* ---- Typed reads -------------------------------------------------------- */

/*
 * The value of the key (section, name) as its schema type gives it.  The
 * key's description is found as validation finds it (section exact, else
 * "WORD *"; key exact, else "*"); a null section means "default".  The
 * entry is looked up exactly in the context (no fallback to "default" or
 * the environment); when it is not set, the schema's default stands in.
 * Finding the description allocates nothing.  Results:
 *    1  the context's value, valid for the type and its constraint, in *out
 *    0  the key is not set: the schema's default in *out
 *   -1  no valid value: the key is set to a value that validation reports,
 *       or it is not set and has no default; *out untouched
 *   -2  a programming error: a null schema, context or name, no description
 *       of the key, or a description of another type (a deprecated key
 *       included); *out untouched
 * A null out only checks.  Nothing is recorded in the context.
 *
 * Units: size in bytes; duration in milliseconds; enum the index of the
 * choice (0 for the first written); string the value itself, owned by the
 * context (as CONF_get_string's) or, for a default, by the schema.
 */
int CONF_schema_get_int64(const CONF_SCHEMA *schema, CONF_CTX *ctx, const char *section,
                          const char *name, int64_t *out);
int CONF_schema_get_double(const CONF_SCHEMA *schema, CONF_CTX *ctx, const char *section,
                           const char *name, double *out);
int CONF_schema_get_bool(const CONF_SCHEMA *schema, CONF_CTX *ctx, const char *section,
                         const char *name, int *out);
int CONF_schema_get_size(const CONF_SCHEMA *schema, CONF_CTX *ctx, const char *section,
                         const char *name, uint64_t *out);
int CONF_schema_get_duration(const CONF_SCHEMA *schema, CONF_CTX *ctx, const char *section,
                             const char *name, int64_t *out);
int CONF_schema_get_string(const CONF_SCHEMA *schema, CONF_CTX *ctx, const char *section,
                           const char *name, const char **out);
int CONF_schema_get_enum(const CONF_SCHEMA *schema, CONF_CTX *ctx, const char *section,
                         const char *name, int *out);

/* ---- Reference configuration ------------------------------------------- */

/*
 * Writes a reference configuration of the schema to fp: every described
 * section with its documentation as comment lines (a "WORD *" section as
 * the example section "[WORD example]"), and in it every key with its
 * documentation, a comment giving its type, range or choices and default,
 * and the key itself: commented out with its default ("# port = 8080"),
 * or, for a required key, set to an example value of its type; a "*" key
 * and a deprecated key appear as comments only.  The text loads, and
 * validating what it loads against the schema gives no finding.  Returns
 * 0; -100 for a null schema; -110 when a name cannot be written as a line
 * of the format (nothing is written then); -102 when memory runs out
 * (nothing written); -113 when writing to fp fails (a null fp included).
 */
int CONF_schema_write_sample(const CONF_SCHEMA *schema, FILE *fp);

#ifdef __cplusplus
}
#endif

#endif /* NIVRA_CONF_SCHEMA_H */
