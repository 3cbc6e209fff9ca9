/*
 * conf_live.h - a live configuration: a service's configuration that is
 * reloaded while other threads read it.
 *
 * Compiles as C99 and as C++.  A CONF_LIVE is made from a source (one file,
 * or a layered set as CONF_load_layered reads it).  CONF_live_reload loads
 * the source into a new context; when that load fails the configuration in
 * use stays, and when it succeeds the new context is published at once and
 * the reload reports what changed.  Readers take the context in use with
 * CONF_live_acquire, look values up in it with the calls of conf.h, and give
 * it back with CONF_live_release.
 *
 *     CONF_LIVE *live = CONF_live_new_file("/etc/service.conf");
 *     if (live == NULL || CONF_live_reload(live) < 0) fail();
 *     ...                                            on any thread:
 *     CONF_CTX *conf = CONF_live_acquire(live);
 *     use(CONF_get_string(conf, "service", "port"));
 *     CONF_live_release(live, conf);
 *
 * Threads: CONF_live_acquire and CONF_live_release may be called from any
 * number of threads at once, also while a reload runs (a context is given
 * back by the thread that acquired it): they never wait for
 * another thread, never allocate and take no lock.  The other calls
 * (reload, the change and error accessors, the change check, the watch
 * descriptor and free) belong to one thread at a time, the one that
 * reloads: calls of that group must not overlap.
 *
 * Lifetimes: a context obtained from CONF_live_acquire stays valid and
 * unchanged, with every string a lookup in it returns, until it is given
 * back, across any number of reloads; a reader must not load into it or
 * free it.  A context no longer in use is freed when its last reader gives
 * it back, or during the reload that replaced it when it has no reader.
 *
 * At most CONF_LIVE_MAX_SNAPSHOTS contexts can be held at once (by all
 * threads together, a context held twice counting twice); beyond that
 * CONF_live_acquire returns null.
 */
#ifndef NIVRA_CONF_LIVE_H
#define NIVRA_CONF_LIVE_H

#include <stddef.h>
#include <stdint.h>

#include "conf.h"
#include "conf_schema.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct CONF_LIVE CONF_LIVE;

#define CONF_LIVE_MAX_SNAPSHOTS 512

/* What happened to one entry between two configurations. */
#define CONF_CHANGE_ADDED 1   /* only the new one has it */
#define CONF_CHANGE_REMOVED 2 /* only the old one has it */
#define CONF_CHANGE_CHANGED 3 /* both have it, with different values */

/*
 * One entry added, removed or changed.  An entry is compared by its stored
 * value only: the same value defined in another file or at another line is
 * no change.  old_value is null for an added entry, new_value, file and
 * line (null, 0) for a removed one.  file and line are where the new value
 * was defined (file null when it came from a stream or from memory).
 */
typedef struct CONF_CHANGE {
    int kind;              /* CONF_CHANGE_ADDED, _REMOVED or _CHANGED */
    const char *section;   /* never null */
    const char *name;      /* never null */
    const char *old_value; /* null when added */
    const char *new_value; /* null when removed */
    const char *file;      /* the new value's file */
    int line;              /* the first line of the new value's definition */
} CONF_CHANGE;

/*
 * The changes from old_ctx to new_ctx: every entry that one holds and the
 * other does not, and every entry both hold with different values, ordered
 * by section name and then entry name (byte order).  A null context or one
 * without a table holds no entries.  Entries only: a section without
 * entries, a fallback to "default" or to the environment plays no part.
 *
 * Returns the number of changes and stores in *changes an array of them
 * (null when there is none), which the caller frees with CONF_changes_free;
 * the array and its strings are copies, independent of both contexts.
 * Returns -102 when memory runs out, with *changes null and nothing else
 * allocated; -100 when changes is null.  The contexts are only read (two
 * threads may compare the same contexts at once).
 */
int CONF_diff(CONF_CTX *old_ctx, CONF_CTX *new_ctx, CONF_CHANGE **changes);

/* Frees what CONF_diff stored in *changes; null is ignored. */
void CONF_changes_free(CONF_CHANGE *changes);

/*
 * A live configuration of one file, path (copied), or null when memory runs
 * out.  Nothing is read yet: readers get null until the first reload that
 * succeeds.  A null path makes every reload fail with -101.
 */
CONF_LIVE *CONF_live_new_file(const char *path);

/*
 * A live configuration of the layered set that CONF_load_layered(ctx, dirs,
 * ndirs, name) loads (dirs and every string copied), or null when memory
 * runs out.  Invalid arguments (a bad name, null dirs with ndirs > 0) make
 * every reload fail as that call fails.
 */
CONF_LIVE *CONF_live_new_layered(const char *const *dirs, size_t ndirs, const char *name);

/*
 * Loads the source into a new context, as CONF_load or CONF_load_layered
 * loads it into a new one.
 *
 * On success the new context replaces the one in use for every later
 * CONF_live_acquire, the changes from the old one (at the first success,
 * from an empty configuration: every entry is added) become those of
 * CONF_live_changes, the last error is cleared, and the number of changes
 * is returned (>= 0).
 *
 * On failure the configuration in use, its changes and every snapshot stay
 * as they were, and the error is returned (< 0, a number of conf.h) and
 * kept for CONF_live_last_error with its file and line: the load's error;
 * -102 when memory runs out around the load; -112 when a file of the source
 * changed during each of three loads in a row, so that no load read one
 * version of every file.  A file is read whole through one descriptor, so a
 * file replaced by rename is read as one of its versions; a file written in
 * place while it is read changes its size or time, and the load is then
 * repeated.  A writer that works in place can still be caught between two
 * of its steps (say, just after it emptied the file), and what the file
 * then holds is loaded: replace configuration files by rename, as confedit
 * does.  -100 for a null live configuration (nothing recorded).
 *
 * Either way the source's files are noted as seen, for CONF_live_changed.
 */
int CONF_live_reload(CONF_LIVE *live);

/*
 * The context in use, held for the caller until CONF_live_release, or null
 * before the first successful reload, for a null live configuration, and
 * when CONF_LIVE_MAX_SNAPSHOTS contexts are held already.  Never waits,
 * allocates or locks.  The context is for lookups only (conf.h's read-only
 * calls).
 */
CONF_CTX *CONF_live_acquire(CONF_LIVE *live);

/*
 * Gives back a context that CONF_live_acquire returned for live, on the
 * thread that acquired it; each acquire is given back exactly once (a
 * thread that holds one context twice gives it back twice).  When it was
 * the last hold of a context no longer in use, the context is freed here.
 * Never waits or allocates.  Null arguments, and a context this thread does
 * not hold, are ignored.  A thread that hands a configuration to another
 * gives its hold back and the other acquires its own.
 */
void CONF_live_release(CONF_LIVE *live, CONF_CTX *ctx);

/*
 * The changes of the last successful reload (CONF_diff's order and
 * meaning), *count their number (when count is not null); null with 0 for
 * none.  They live until the next successful reload or CONF_live_free.
 */
const CONF_CHANGE *CONF_live_changes(const CONF_LIVE *live, size_t *count);

/*
 * The error of the last reload when it failed: its text (conf.h's, with its
 * ", line N" suffix where there is one), *file the file whose load failed
 * (null when none applies), *line that line (0 when none applies).  Null,
 * with *file null and *line 0, when the last reload succeeded, before the
 * first reload and for a null live configuration.  file and line may be
 * null.  The strings live until the next reload or CONF_live_free.
 */
const char *CONF_live_last_error(const CONF_LIVE *live, const char **file, int *line);

/* The number of successful reloads so far (0 for a null live
 * configuration). */
uint64_t CONF_live_generation(const CONF_LIVE *live);

/*
 * Whether a file of the source may have changed since the last reload
 * began: 1 when it did (and before the first reload), 0 when not.  It
 * compares, for every file the source may read, whether it exists and its
 * device, inode, size, modification time and mode (following symbolic
 * links, and of the link itself), and for every drop-in directory the list
 * of its ".conf" files, so that a file replaced by rename, a symbolic link
 * switched to another file, a new, removed, renamed or masked drop-in and a
 * drop-in directory made or removed all count.  Changes within the same
 * size and time stamp are not seen.  Never reads the files' contents.
 *
 * When CONF_live_watch_fd made a descriptor, this call also reads the
 * events waiting there (the descriptor is then no longer readable until
 * the next event) and watches any directory that has appeared.  -100 for a
 * null live configuration.
 */
int CONF_live_changed(CONF_LIVE *live);

/*
 * A non-blocking, close-on-exec inotify descriptor that becomes readable
 * when a file of the source may have changed, for a service's poll or epoll
 * loop; there, call CONF_live_changed, and reload when it returns 1.  Made
 * at the first call (later calls return the same descriptor), it watches
 * the directory that holds the file, every directory of a layered set that
 * exists and its drop-in directory, and the directories that the file, the
 * main files and the drop-ins lead to through symbolic links; every reload
 * and CONF_live_changed refresh the watches (a directory made since is
 * watched from then on).  It belongs to the live configuration,
 * which closes it.  -1 with errno set when inotify is not available (and
 * EINVAL for a null live configuration).
 */
int CONF_live_watch_fd(CONF_LIVE *live);

/*
 * Makes every later reload check the configuration it loaded against
 * schema (conf_schema.h), or no longer check when schema is null.  A
 * configuration in which the schema finds an error (a wrong type, a value
 * out of range or not one of its choices, a required key not set) is
 * refused as a load that fails is: the configuration in use stays, and the
 * reload returns -121 "configuration does not match its schema", with
 * CONF_live_last_error giving the first error finding's message, file and
 * line.  Warnings (unknown or deprecated keys) refuse nothing.  A schema
 * that cannot be checked for want of memory makes the reload fail with
 * -102.  The schema is used, not copied: it must outlive its use here
 * (until another call replaces it, or CONF_live_free).  It takes effect
 * at the next reload.  Returns 0; -100 for a null live configuration.
 */
int CONF_live_set_schema(CONF_LIVE *live, const CONF_SCHEMA *schema);

/*
 * Frees the live configuration with its contexts, changes, error and
 * descriptor.  Every context acquired must have been released before.
 * Null is ignored.
 */
void CONF_live_free(CONF_LIVE *live);

#ifdef __cplusplus
}
#endif

#endif /* NIVRA_CONF_LIVE_H */
