// conf_file.h - whole configuration files read into memory and replaced
// safely.  Internal to the library; not installed.
//
// A file is found once, by the kernel walking its path (so that its own
// protections of links apply), and from then on handled through
// descriptors: the file's, and its directory's.  Nothing walks the path
// string again, so a directory swapped for a link meanwhile redirects
// nothing.
//
// Errors are the library's numbers (conf_store.h); where the system gave a
// reason, errno holds it when a function returns one.
#ifndef NIVRA_CONF_FILE_H
#define NIVRA_CONF_FILE_H

#include <sys/types.h>

#include <atomic>
#include <climits>
#include <cstddef>

namespace nivra::conf {

// Which file a document was read from (or last saved to): the file itself
// (device and inode) and where it stood (its directory's device and inode,
// and its name there).  A save compares these, not the spelling of a path.
struct FileId {
    bool known = false;    // a file was read or saved at all
    bool located = false;  // dir_dev, dir_ino and name are known
    dev_t dev = 0;
    ino_t ino = 0;
    dev_t dir_dev = 0;
    ino_t dir_ino = 0;
    char name[NAME_MAX + 1] = {};
};

// Reads the regular file at path whole into a new NUL-terminated block
// from malloc (*data; *length bytes before the NUL) and fills *id.
// Returns 0; kErrOpen (it cannot be opened); kErrRead (a directory, an I/O
// error); kErrNotRegular (a device, FIFO or socket: refused before a byte
// is read); kErrMemory.  *data and *id are untouched unless the result is 0.
int read_whole_file(const char *path, char **data, size_t *length, FileId *id);

struct SaveRequest {
    const char *path;
    const char *text;
    size_t length;
    // The file the text was read from and the contents it had then (null:
    // none).  When the save lands on that file, or where it stood, the file
    // must still be that file with those contents (kErrChanged otherwise).
    const FileId *read_from;
    // The path given is the one the document was read from (or saved to):
    // it must still lead to that file.
    bool same_path;
    const char *expected;
    size_t expected_length;
    bool in_place;     // rewrite the file's own contents instead of replacing it
    bool must_be_new;  // create the file; kErrChanged when one is there
    int wait_ms;       // how long another writer's lock is waited for
};

struct SaveResult {
    FileId written;                // the file that now holds the text
    const char *detail = nullptr;  // for kErrProperty: the error's text, naming the property
};

inline constexpr int kSaveUnchanged = 1;

// Writes the text to the file at request.path.  See CONF_doc_save for the
// whole contract; in short: the file is opened and located once; a writer's
// lock (which readers cannot take) is waited for at most wait_ms; the file
// must still be the one read and hold what was read; then a new file, private
// until complete and given every property of the old one before a byte is
// written, is renamed over it and the directory synced (or, in place, the
// file's own contents are rewritten).  Returns 0 (result->written filled),
// kSaveUnchanged (the file already held the text; result->written filled),
// kErrSavedUnsynced (written, but the directory sync failed: the text is in
// place), or an error with nothing written and no temporary file left:
// kErrOpen, kErrWrite, kErrNotWritable, kErrProperty (result->detail says
// which), kErrLocked, kErrNotRegular, kErrLinks, kErrChanged, kErrMemory.
// In place, kErrWrite may leave the file partly written.
int save_file(const SaveRequest &request, SaveResult *result);

// Test seam: every system call of a save or read passes through here, by
// the name of its step ("openat file", "renameat", "fsync directory", ...).
// With countdown n > 0, the n-th call from now fails with errno err (once).
// trace, when set, sees every step's name.  Tests only.
struct SysFault {
    std::atomic<long> countdown{0};
    int err = 0;
    void (*trace)(const char *step, void *arg) = nullptr;
    void *arg = nullptr;
};
extern SysFault g_sys_fault;

}  // namespace nivra::conf

#endif  // NIVRA_CONF_FILE_H
