// conf_file.h - whole configuration files read into memory and replaced
// atomically.  Internal to the library; not installed.
//
// Errors are the library's numbers (conf_store.h); where the system gave a
// reason, errno holds it when a function returns one.
#ifndef NIVRA_CONF_FILE_H
#define NIVRA_CONF_FILE_H

#include <cstddef>

namespace nivra::conf {

// Reads the file at path whole into a new NUL-terminated block from malloc
// (*data; *length bytes before the NUL).  Returns 0, kErrOpen (it cannot be
// opened), kErrRead (it cannot be read: a directory, an I/O error) or
// kErrMemory; *data is untouched unless the result is 0.
int read_whole_file(const char *path, char **data, size_t *length);

struct SaveRequest {
    const char *path;
    const char *text;
    size_t length;
    // With check: the contents the file must still have (another writer
    // has been there when it has not).
    bool check;
    const char *expected;
    size_t expected_length;
};

inline constexpr int kSaveUnchanged = 1;

// Replaces the file at request.path (a symbolic link's target) with the
// text: a new temporary file beside it, created exclusively, written,
// synced, given the old file's mode (owner and group where allowed) and
// renamed over it; then the directory is synced.  The check and the rename
// happen under an exclusive flock on the file.  Returns 0 when written,
// kSaveUnchanged when the file already held the text (nothing written),
// kErrChanged (nothing written), kErrWrite (the file as it was, no
// temporary file left) or kErrMemory.
int save_atomically(const SaveRequest &request);

}  // namespace nivra::conf

#endif  // NIVRA_CONF_FILE_H
