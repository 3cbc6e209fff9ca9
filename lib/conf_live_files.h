// conf_live_files.h - the files behind a live configuration: loading them,
// a fingerprint of what they are on disk, and the directories to watch.
// Internal to the library; not installed.
#ifndef NIVRA_CONF_LIVE_FILES_H
#define NIVRA_CONF_LIVE_FILES_H

#include <cstddef>
#include <cstdint>

#include "conf.h"

namespace nivra::conf {

// One file, or a layered set; every string is the source's own copy (malloc).
struct LiveSource {
    bool layered = false;
    char *path = nullptr;    // the file; null when none was given
    char **dirs = nullptr;   // layered: ndirs entries, each may be null
    size_t ndirs = 0;        //
    bool dirs_given = true;  // layered: false when dirs was null
    char *name = nullptr;    // layered: the configuration's name
};

// Copies of the arguments into *source; false when memory runs out (then
// release_source frees what was copied).
bool copy_file_source(LiveSource *source, const char *path);
bool copy_layered_source(LiveSource *source, const char *const *dirs, size_t ndirs,
                         const char *name);
void release_source(LiveSource *source);

// Loads the source into ctx (a new context) as CONF_load or
// CONF_load_layered does; true when the load succeeded.
bool load_source(const LiveSource &source, CONF_CTX *ctx);

// A digest of the identity of every file and drop-in listing the source
// may read (existence, device, inode, size, modification time, mode; of a
// link and of what it leads to): equal digests mean no change was seen.
uint64_t source_fingerprint(const LiveSource &source);

// Adds (or refreshes) inotify watches on fd for the directories whose
// events may mean a change of the source.  Errors are ignored: a directory
// that is missing is not watched.
void watch_source(const LiveSource &source, int fd);

// Reads and discards every event waiting on the non-blocking descriptor fd.
void drain_events(int fd);

}  // namespace nivra::conf

#endif  // NIVRA_CONF_LIVE_FILES_H
