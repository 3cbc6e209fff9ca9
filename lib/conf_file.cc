// conf_file.cc - reading a configuration file whole, and replacing one so
// that every reader sees either the old file or the new one, and no other
// local user can redirect, read, change or block the save.
//
// Invariants of a save (save_file):
//   - The path is walked once, by the kernel (open with O_PATH, which
//     follows links under the kernel's own protections).  The file's
//     directory is then found and opened, and the name in it is checked to
//     be the very file opened.  Every later step works through the
//     directory's descriptor and that name (openat, fstatat, linkat,
//     renameat, unlinkat, fsync of the directory).
//   - Only a regular file is read or replaced; the process must be able to
//     open it for writing (as the shell's ">>" must).
//   - Writers exclude each other with an open-file-description write lock
//     on a lock file beside the file, which only those who may write the
//     file can open: a lock on the file itself could be blocked by anyone
//     able to read it (a read lock conflicts with a write lock).  The wait
//     for it is bounded.  The lock file goes when the save ends.
//   - The new file is created unnamed (O_TMPFILE; a named file readable by
//     its creator alone where the filesystem has no O_TMPFILE), given the
//     old file's owner, group, mode, extended attributes (the ACL among
//     them) and inode flags before a byte of the text is written, and is
//     named only to be renamed over the old file.  A property that cannot
//     be given refuses the save.
//   - Every failure before the rename removes what the save made; after
//     the rename the save has happened, whatever else fails.
//   - A save removes the temporary files that earlier saves of the same
//     file left when they were killed (their names carry a hash of the
//     file's name and the writer's process id).
#include "conf_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "conf_store.h"
#include "conf_write.h"

namespace nivra::conf {

SysFault g_sys_fault;

namespace {

// Every system call whose failure a save must handle goes through here, so
// that tests can make each fail in turn.
bool injected(const char *step) {
    if (g_sys_fault.trace != nullptr) g_sys_fault.trace(step, g_sys_fault.arg);
    if (g_sys_fault.countdown.load(std::memory_order_relaxed) <= 0) return false;
    if (g_sys_fault.countdown.fetch_sub(1, std::memory_order_relaxed) != 1) return false;
    errno = g_sys_fault.err;
    return true;
}

template <typename F>
auto sys(const char *step, F call) -> decltype(call()) {
    if (injected(step)) return -1;
    return call();
}

// Closes a descriptor on every path out, keeping errno as the failure left it.
class Fd {
  public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() { reset(); }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    int get() const { return fd_; }
    void reset(int fd = -1) {
        if (fd_ >= 0) {
            const int saved = errno;
            ::close(fd_);
            errno = saved;
        }
        fd_ = fd;
    }

  private:
    int fd_;
};

bool same_file(const struct stat &a, const struct stat &b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Reads the descriptor to its end into out.
bool read_all(int fd, Text *out, int *err) {
    char buf[16384];
    for (;;) {
        const ssize_t got = sys("read", [&] { return ::read(fd, buf, sizeof buf); });
        if (got == 0) return true;
        if (got < 0) {
            if (errno == EINTR) continue;
            *err = kErrRead;
            return false;
        }
        if (!out->append(buf, static_cast<size_t>(got))) {
            *err = kErrMemory;
            return false;
        }
    }
}

bool write_all(int fd, const char *p, size_t n, off_t at) {
    while (n > 0) {
        const ssize_t put = sys("write", [&] { return ::pwrite(fd, p, n, at); });
        if (put < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += put;
        at += put;
        n -= static_cast<size_t>(put);
    }
    return true;
}

// The directory part of path ("." when it has none, "/" for the root) and
// the last name.  kErrWrite (errno set) when path ends in "/" (no name) or
// its last name is too long; kErrMemory.
int split_path(const char *path, Text *dir, Text *base) {
    const char *slash = std::strrchr(path, '/');
    const char *name = slash != nullptr ? slash + 1 : path;
    if (*name == '\0' || std::strlen(name) > NAME_MAX) {
        errno = *name == '\0' ? EISDIR : ENAMETOOLONG;
        return kErrWrite;
    }
    bool ok = base->append(name);
    if (slash == nullptr) {
        ok = ok && dir->append(".");
    } else if (slash == path) {
        ok = ok && dir->append("/");
    } else {
        ok = ok && dir->append(path, static_cast<size_t>(slash - path));
    }
    return ok ? 0 : kErrMemory;
}

// A file found by its path and located: its O_PATH descriptor, its status,
// its directory (opened for reading) and its name there.
struct Located {
    Fd file;  // O_PATH
    struct stat st {};
    Fd dir;
    Text name;
    bool exists = false;
};

// The kernel's link to an open descriptor, through which a file is named
// again (to read, to link) without walking its path.
class ProcPath {
  public:
    explicit ProcPath(int fd) { std::snprintf(path_, sizeof path_, "/proc/self/fd/%d", fd); }
    const char *c_str() const { return path_; }

  private:
    char path_[32];
};

// Where the opened file stands: the kernel's name for it, or (where /proc
// is missing) the path itself.
bool where(int fd, const char *path, Text *out) {
    const ProcPath proc(fd);
    char real[PATH_MAX];
    const ssize_t n = ::readlink(proc.c_str(), real, sizeof real - 1);
    if (n > 0 && real[0] == '/') return out->append(real, static_cast<size_t>(n));
    return out->append(path);
}

// Opens dir and checks that name in it is the file f: a directory swapped
// after this check redirects nothing, since everything goes through it.
int open_directory(const Text &dir_path, Located *f) {
    f->dir.reset(sys("open directory",
                     [&] { return ::open(dir_path.data(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); }));
    if (f->dir.get() < 0) return kErrWrite;
    if (!f->exists) return 0;
    struct stat there {};
    if (::fstatat(f->dir.get(), f->name.data(), &there, AT_SYMLINK_NOFOLLOW) != 0 ||
        !same_file(there, f->st)) {
        // Moved meanwhile (or /proc is missing and path ends in a link).
        errno = EAGAIN;
        return kErrChanged;
    }
    return 0;
}

// Opens the file at path without side effects (O_PATH: a device is not
// opened), refuses what is not a regular file, and locates it.  A missing
// file is located by its path's directory; a dangling link is refused
// (kErrOpen, ENOENT): nothing is ever created through a link.
int locate(const char *path, Located *f) {
    f->file.reset(sys("open file", [&] { return ::open(path, O_PATH | O_CLOEXEC); }));
    Text real;
    if (f->file.get() < 0) {
        if (errno != ENOENT) return kErrWrite;
        if (!real.append(path)) return kErrMemory;
    } else {
        if (sys("fstat file", [&] { return ::fstat(f->file.get(), &f->st); }) != 0)
            return kErrWrite;
        if (S_ISDIR(f->st.st_mode)) {
            errno = EISDIR;
            return kErrWrite;
        }
        if (!S_ISREG(f->st.st_mode)) return kErrNotRegular;
        f->exists = true;
        if (!where(f->file.get(), path, &real)) return kErrMemory;
    }
    Text dir;
    if (const int err = split_path(real.data(), &dir, &f->name); err != 0) return err;
    if (const int err = open_directory(dir, f); err != 0) return err;
    if (f->exists) return 0;
    struct stat link {};
    if (::fstatat(f->dir.get(), f->name.data(), &link, AT_SYMLINK_NOFOLLOW) == 0) {
        errno = S_ISLNK(link.st_mode) ? ENOENT : EAGAIN;
        return S_ISLNK(link.st_mode) ? kErrOpen : kErrChanged;
    }
    return 0;
}

void fill_id(const Located &f, const struct stat &file, FileId *id) {
    struct stat dir {};
    *id = FileId{};
    id->known = true;
    id->dev = file.st_dev;
    id->ino = file.st_ino;
    if (f.dir.get() < 0 || ::fstat(f.dir.get(), &dir) != 0) return;
    id->located = true;
    id->dir_dev = dir.st_dev;
    id->dir_ino = dir.st_ino;
    std::memcpy(id->name, f.name.data(), f.name.size() + 1);
}

// --- The lock -------------------------------------------------------------

// 64-bit FNV-1a of the file's name: what ties lock and temporary file names,
// which must be short whatever the name's length, to the file.
uint64_t name_hash(const Text &name) {
    uint64_t h = 14695981039346656037ULL;
    for (size_t i = 0; i < name.size(); ++i) {
        h ^= static_cast<unsigned char>(name.data()[i]);
        h *= 1099511628211ULL;
    }
    return h;
}

// ".nivra-<hash>.lock": 29 bytes.
void lock_name(const Text &name, char out[40]) {
    std::snprintf(out, 40, ".nivra-%016llx.lock", static_cast<unsigned long long>(name_hash(name)));
}

// The lock file's mode: read and write for each class that may write the
// file, nothing for the others, so that readers cannot open it at all.
mode_t lock_mode(const struct stat &st) {
    mode_t m = 0;
    if ((st.st_mode & S_IWUSR) != 0) m |= S_IRUSR | S_IWUSR;
    if ((st.st_mode & S_IWGRP) != 0) m |= S_IRGRP | S_IWGRP;
    if ((st.st_mode & S_IWOTH) != 0) m |= S_IROTH | S_IWOTH;
    return m;
}

long now_ms() {
    timespec t{};
    ::clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<long>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

void pause_ms(long ms) {
    const timespec t{ms / 1000, (ms % 1000) * 1000000};
    ::nanosleep(&t, nullptr);
}

// A write lock on the whole of fd, taken or not at once: 0 held, 1 busy,
// else kErrWrite.  On a lock file; or, for an in-place save in a directory
// this process may not write, on the file itself.
int try_lock_file(int fd) {
    struct flock fl {};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    if (sys("lock", [&] { return ::fcntl(fd, F_OFD_SETLK, &fl); }) == 0) return 0;
    return errno == EAGAIN || errno == EACCES ? 1 : kErrWrite;
}

// One attempt at the lock: 0 held, 1 busy (another writer has it, or its
// lock file is one this process may not open), else an error.
int try_lock(const Located &f, const char *name, Fd *lock) {
    constexpr int kFlags = O_RDWR | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK | O_CLOEXEC;
    bool created = true;
    lock->reset(sys("openat lock",
                    [&] { return ::openat(f.dir.get(), name, kFlags | O_CREAT | O_EXCL, 0600); }));
    if (lock->get() < 0 && errno == EEXIST) {
        created = false;
        lock->reset(::openat(f.dir.get(), name, kFlags));
        if (lock->get() < 0 && errno == ENOENT) return 1;  // gone meanwhile: again
    }
    if (lock->get() < 0) {
        // One that exists but that this process may not open is another
        // writer's; one it may not create means a directory it may not write.
        return !created && (errno == EACCES || errno == ELOOP) ? 1 : kErrWrite;
    }
    struct stat st {};
    int got = ::fstat(lock->get(), &st) == 0 ? 0 : kErrWrite;
    if (got == 0 && !S_ISREG(st.st_mode)) got = 1;
    // A lock file this process made is given the file's owner, group and
    // writers, so that every writer of the file can take it.
    if (got == 0 && created && f.exists) {
        if (st.st_uid != f.st.st_uid || st.st_gid != f.st.st_gid)
            (void)!::fchown(lock->get(), f.st.st_uid, f.st.st_gid);
        (void)!::fchmod(lock->get(), lock_mode(f.st));
    }
    if (got == 0) got = try_lock_file(lock->get());
    if (got == kErrWrite && created) {
        const int saved = errno;
        ::unlinkat(f.dir.get(), name, 0);  // nobody holds it: it is this attempt's
        errno = saved;
    }
    if (got != 0) return got;
    // Held; but the name may have been removed by its last holder meanwhile.
    struct stat there {};
    if (::fstatat(f.dir.get(), name, &there, AT_SYMLINK_NOFOLLOW) != 0 || !same_file(there, st))
        return 1;
    return 0;
}

// Takes the writers' lock of the file, waiting at most wait_ms.  *on_file
// says that the lock is on the file's descriptor fd rather than a lock file.
int take_lock(const Located &f, int fd, bool in_place, int wait_ms, Fd *lock, bool *on_file) {
    char name[40];
    lock_name(f.name, name);
    const long deadline = now_ms() + (wait_ms > 0 ? wait_ms : 0);
    *on_file = false;
    for (long pause = 1;; pause = pause < 50 ? pause * 2 : 50) {
        int got = *on_file ? try_lock_file(fd) : try_lock(f, name, lock);
        if (got == kErrWrite && in_place && !*on_file && (errno == EACCES || errno == EROFS)) {
            *on_file = true;
            got = try_lock_file(fd);
        }
        if (got <= 0) return got;
        lock->reset();
        if (now_ms() >= deadline) {
            errno = EAGAIN;
            return kErrLocked;
        }
        pause_ms(pause);
    }
}

// Removes the lock file and then lets the lock go (closing the descriptor).
void drop_lock(const Located &f, Fd *lock) {
    if (lock->get() < 0) return;
    char name[40];
    lock_name(f.name, name);
    const int saved = errno;
    ::unlinkat(f.dir.get(), name, 0);
    errno = saved;
    lock->reset();
}

// --- The new file ---------------------------------------------------------

// ".nivra-<hash>-<pid>-<n>.tmp": 45 bytes, whatever the file's name.
constexpr size_t kTempNameLength = 45;

void temp_name(const Text &name, unsigned n, char out[64]) {
    std::snprintf(out, 64, ".nivra-%016llx-%08x-%08x.tmp",
                  static_cast<unsigned long long>(name_hash(name)),
                  static_cast<unsigned>(::getpid()), n);
}

// A new file in the directory that nobody else can open: unnamed where the
// filesystem allows it, else named exclusively (never through a link) and
// readable by this process's user alone.  *named says which.
int create_new_file(const Located &f, Fd *fd, char name[64], bool *named) {
    // A new file at a new name gets the mode any new file gets (0666 less
    // the umask, or the directory's default ACL); unnamed, nobody can open
    // it meanwhile.  A replacement starts private and gets the old mode.
    const mode_t mode = f.exists ? 0600 : 0666;
    fd->reset(sys("open O_TMPFILE", [&] {
        return ::openat(f.dir.get(), ".", O_TMPFILE | O_RDWR | O_CLOEXEC, mode);
    }));
    *named = false;
    if (fd->get() >= 0) return 0;
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) return kErrWrite;
    static std::atomic<unsigned> counter{0};
    for (int tries = 0; tries < 100; ++tries) {
        temp_name(f.name, counter.fetch_add(1) ^ static_cast<unsigned>(now_ms()), name);
        fd->reset(sys("openat temporary", [&] {
            return ::openat(f.dir.get(), name, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                            mode);
        }));
        if (fd->get() >= 0) {
            *named = true;
            return 0;
        }
        if (errno != EEXIST) return kErrWrite;
    }
    return kErrWrite;
}

constexpr const char *kOwner = "file property cannot be kept: owner";
constexpr const char *kGroup = "file property cannot be kept: group";
constexpr const char *kMode = "file property cannot be kept: mode";
constexpr const char *kAcl = "file property cannot be kept: access control list";
constexpr const char *kXattr = "file property cannot be kept: extended attribute";
constexpr const char *kFlags = "file property cannot be kept: inode flags";

// A property that could not be given: kErrProperty with what it was, or
// kErrWrite when the system failed for another reason than permission.
int property_failure(const char *what, const char **detail) {
    if (errno != EPERM && errno != EACCES && errno != ENOTSUP && errno != EINVAL) return kErrWrite;
    *detail = what;
    return kErrProperty;
}

// The names of the file's extended attributes ("" separated), in out.
bool list_xattrs(int fd, Text *out, bool *ok) {
    *ok = true;
    for (int tries = 0; tries < 8; ++tries) {
        const ssize_t need = sys("flistxattr", [&] { return ::flistxattr(fd, nullptr, 0); });
        if (need < 0) {
            *ok = errno == ENOTSUP;
            return true;
        }
        out->clear();
        char *buf = static_cast<char *>(std::malloc(static_cast<size_t>(need) + 1));
        if (buf == nullptr) return false;
        const ssize_t got = ::flistxattr(fd, buf, static_cast<size_t>(need) + 1);
        const bool appended = got >= 0 && out->append(buf, static_cast<size_t>(got));
        std::free(buf);
        if (got >= 0) return appended;
        if (errno != ERANGE) {
            *ok = false;
            return true;
        }
    }
    *ok = false;
    return true;
}

// The value of attribute name of fd, in out; false when it has none (or
// memory runs out: *memory).
bool get_xattr(int fd, const char *name, Text *out, bool *memory) {
    out->clear();
    const ssize_t need = ::fgetxattr(fd, name, nullptr, 0);
    if (need < 0) return false;
    char *buf = static_cast<char *>(std::malloc(static_cast<size_t>(need) + 1));
    if (buf == nullptr) {
        *memory = true;
        return false;
    }
    const ssize_t got = ::fgetxattr(fd, name, buf, static_cast<size_t>(need) + 1);
    const bool ok = got >= 0 && out->append(buf, static_cast<size_t>(got));
    std::free(buf);
    if (got >= 0 && !ok) *memory = true;
    return ok;
}

bool has_name(const Text &names, const char *name) {
    for (const char *p = names.data(); p < names.data() + names.size(); p += std::strlen(p) + 1) {
        if (std::strcmp(p, name) == 0) return true;
    }
    return false;
}

// Gives the new file every extended attribute of the old one (the POSIX
// ACL is the attribute system.posix_acl_access) and no other.
int copy_xattrs(int old, int fresh, const char **detail) {
    Text names, fresh_names, value, current;
    bool ok = true;
    if (!list_xattrs(old, &names, &ok)) return kErrMemory;
    if (!ok) return property_failure(kXattr, detail);
    for (const char *n = names.data(); n < names.data() + names.size(); n += std::strlen(n) + 1) {
        bool memory = false;
        if (!get_xattr(old, n, &value, &memory)) {
            if (memory) return kErrMemory;
            continue;  // gone meanwhile
        }
        const bool same = get_xattr(fresh, n, &current, &memory) &&
                          current.size() == value.size() &&
                          std::memcmp(current.data(), value.data(), value.size()) == 0;
        if (memory) return kErrMemory;
        if (same) continue;
        const bool acl = std::strncmp(n, "system.posix_acl", 16) == 0;
        if (sys("fsetxattr",
                [&] { return ::fsetxattr(fresh, n, value.data(), value.size(), 0); }) != 0)
            return property_failure(acl ? kAcl : kXattr, detail);
    }
    // What the new file got by itself (an ACL inherited from the directory's
    // default ACL) and the old one lacks goes.
    if (!list_xattrs(fresh, &fresh_names, &ok)) return kErrMemory;
    if (!ok) return property_failure(kXattr, detail);
    for (const char *n = fresh_names.data(); n < fresh_names.data() + fresh_names.size();
         n += std::strlen(n) + 1) {
        if (has_name(names, n)) continue;
        const bool acl = std::strncmp(n, "system.posix_acl", 16) == 0;
        if (sys("fremovexattr", [&] { return ::fremovexattr(fresh, n); }) != 0)
            return property_failure(acl ? kAcl : kXattr, detail);
    }
    return 0;
}

// Inode flags a new file can be given and a save should keep (not
// immutable or append-only: a file with those cannot be opened for writing,
// so it is never replaced).
constexpr int kKeptFlags =
    FS_NODUMP_FL | FS_NOATIME_FL | FS_SYNC_FL | FS_COMPR_FL | FS_NOCOMP_FL | FS_NOCOW_FL;

int copy_flags(int old, int fresh, const char **detail) {
    int want = 0, have = 0;
    if (::ioctl(old, FS_IOC_GETFLAGS, &want) != 0 || ::ioctl(fresh, FS_IOC_GETFLAGS, &have) != 0)
        return 0;  // the filesystem has no such flags
    if ((want & kKeptFlags) == (have & kKeptFlags)) return 0;
    int flags = (have & ~kKeptFlags) | (want & kKeptFlags);
    if (sys("set flags", [&] { return ::ioctl(fresh, FS_IOC_SETFLAGS, &flags); }) != 0)
        return property_failure(kFlags, detail);
    return 0;
}

// Gives the new file the old one's owner and group, then its mode (so that
// setuid and setgid survive the change of owner), then its attributes and
// flags; each must take exactly, or the save is refused.
int give_properties(int old, int fresh, const struct stat &st, const char **detail) {
    struct stat now {};
    if (::fstat(fresh, &now) != 0) return kErrWrite;
    if ((now.st_uid != st.st_uid || now.st_gid != st.st_gid) &&
        sys("fchown", [&] { return ::fchown(fresh, st.st_uid, st.st_gid); }) != 0)
        return property_failure(now.st_uid != st.st_uid ? kOwner : kGroup, detail);
    if (sys("fchmod", [&] { return ::fchmod(fresh, st.st_mode & 07777); }) != 0)
        return property_failure(kMode, detail);
    if (::fstat(fresh, &now) != 0) return kErrWrite;
    if ((now.st_mode & 07777) != (st.st_mode & 07777)) {
        // The kernel drops setgid silently for a group the process is not in.
        errno = EPERM;
        return property_failure(kMode, detail);
    }
    if (const int err = copy_xattrs(old, fresh, detail); err != 0) return err;
    return copy_flags(old, fresh, detail);
}

// Blocks the signals that end a process by default while a temporary file
// may have a name, so that an interrupted save still removes or renames it
// (they are delivered when the save is over; the wait for the lock is not
// covered, so an interrupt there ends the process at once).
class QuietSignals {
  public:
    QuietSignals() {
        sigset_t set;
        sigemptyset(&set);
        for (const int s : {SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGALRM, SIGUSR1, SIGUSR2})
            sigaddset(&set, s);
        pthread_sigmask(SIG_BLOCK, &set, &saved_);
    }
    ~QuietSignals() { pthread_sigmask(SIG_SETMASK, &saved_, nullptr); }
    QuietSignals(const QuietSignals &) = delete;
    QuietSignals &operator=(const QuietSignals &) = delete;

  private:
    sigset_t saved_{};
};

// Gives an unnamed file a temporary name in the directory.
int name_unnamed(const Located &f, int fd, char name[64]) {
    const ProcPath proc(fd);
    static std::atomic<unsigned> counter{0};
    for (int tries = 0; tries < 100; ++tries) {
        temp_name(f.name, counter.fetch_add(1) ^ static_cast<unsigned>(now_ms()), name);
        int rc = sys("linkat", [&] {
            return ::linkat(AT_FDCWD, proc.c_str(), f.dir.get(), name, AT_SYMLINK_FOLLOW);
        });
        if (rc != 0 && errno == ENOENT)  // no /proc: needs privilege
            rc = ::linkat(fd, "", f.dir.get(), name, AT_EMPTY_PATH);
        if (rc == 0) return 0;
        if (errno != EEXIST) return kErrWrite;
    }
    return kErrWrite;
}

// Puts the complete new file in the old one's place (or, for a new file,
// at the name, never over anything that appeared there meanwhile).
int put_in_place(const Located &f, int fd, char name[64], bool named) {
    if (!f.exists && !named) {
        const ProcPath proc(fd);
        const int rc = sys("linkat", [&] {
            return ::linkat(AT_FDCWD, proc.c_str(), f.dir.get(), f.name.data(), AT_SYMLINK_FOLLOW);
        });
        return rc == 0 ? 0 : errno == EEXIST ? kErrChanged : kErrWrite;
    }
    if (!named) {
        if (const int err = name_unnamed(f, fd, name); err != 0) return err;
    }
    int rc = 0;
    if (f.exists) {
        rc = sys("renameat",
                 [&] { return ::renameat(f.dir.get(), name, f.dir.get(), f.name.data()); });
    } else {
        rc = sys("linkat",
                 [&] { return ::linkat(f.dir.get(), name, f.dir.get(), f.name.data(), 0); });
        if (rc == 0) ::unlinkat(f.dir.get(), name, 0);
    }
    if (rc == 0) return 0;
    const int saved = errno;
    ::unlinkat(f.dir.get(), name, 0);
    errno = saved;
    return saved == EEXIST ? kErrChanged : kErrWrite;
}

// Whether name is a temporary file of a save of this file whose writer is
// gone, and which this process's user made.
bool stale_temporary(int dir, const char *name, const char *prefix) {
    if (std::strlen(name) != kTempNameLength || std::strncmp(name, prefix, 24) != 0 ||
        std::strcmp(name + kTempNameLength - 4, ".tmp") != 0)
        return false;
    char *end = nullptr;
    const unsigned long pid = std::strtoul(name + 24, &end, 16);
    if (end != name + 32 || name[32] != '-' || pid == 0 ||
        pid == static_cast<unsigned long>(::getpid()))
        return false;
    if (::kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH) return false;
    struct stat st {};
    return ::fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode) &&
           st.st_uid == ::geteuid();
}

// Removes what killed saves of this file left (best effort: nothing here
// changes the save's result).
void remove_stale_temporaries(const Located &f) {
    const int saved = errno;
    char prefix[64];
    temp_name(f.name, 0, prefix);  // ".nivra-<hash>-" is its first 24 bytes
    const int fd = ::openat(f.dir.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR *d = fd >= 0 ? ::fdopendir(fd) : nullptr;
    if (d == nullptr && fd >= 0) ::close(fd);
    while (d != nullptr) {
        const dirent *e = ::readdir(d);
        if (e == nullptr) break;
        if (stale_temporary(f.dir.get(), e->d_name, prefix)) ::unlinkat(f.dir.get(), e->d_name, 0);
    }
    if (d != nullptr) ::closedir(d);
    errno = saved;
}

// Writes the text into a new file, private until complete, and puts it in
// the old one's place.
int replace(const SaveRequest &r, const Located &f, int old, SaveResult *result) {
    const QuietSignals quiet;
    Fd fd;
    char name[64] = {};
    bool named = false;
    if (const int err = create_new_file(f, &fd, name, &named); err != 0) return err;
    const auto fail = [&](int err) {
        const int saved = errno;
        if (named) ::unlinkat(f.dir.get(), name, 0);
        errno = saved;
        return err;
    };
    if (f.exists) {
        if (const int err = give_properties(old, fd.get(), f.st, &result->detail); err != 0)
            return fail(err);
    }
    if (!write_all(fd.get(), r.text, r.length, 0)) return fail(kErrWrite);
    if (sys("fsync file", [&] { return ::fsync(fd.get()); }) != 0) return fail(kErrWrite);
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) return fail(kErrWrite);
    if (const int err = put_in_place(f, fd.get(), name, named); err != 0) return fail(err);
    fill_id(f, st, &result->written);
    remove_stale_temporaries(f);
    // The rename is done: a failing sync only leaves its durability open.
    if (sys("fsync directory", [&] { return ::fsync(f.dir.get()); }) != 0 && errno != EINVAL)
        return kErrSavedUnsynced;
    return 0;
}

// Rewrites the file's own contents through its descriptor: same inode,
// owner, links and attributes, but not atomic.
int rewrite_in_place(const SaveRequest &r, const Located &f, int fd, SaveResult *result) {
    if (!write_all(fd, r.text, r.length, 0)) return kErrWrite;
    if (sys("ftruncate", [&] { return ::ftruncate(fd, static_cast<off_t>(r.length)); }) != 0)
        return kErrWrite;
    if (sys("fsync file", [&] { return ::fsync(fd); }) != 0) return kErrWrite;
    fill_id(f, f.st, &result->written);
    return 0;
}

// Whether the request's document came from this file (or from where it
// stands), so that its contents must still be what was read.
bool checked(const SaveRequest &r, const Located &f) {
    const FileId *id = r.read_from;
    if (id == nullptr || !id->known) return false;
    if (r.same_path) return true;
    if (f.exists && id->dev == f.st.st_dev && id->ino == f.st.st_ino) return true;
    struct stat dir {};
    return id->located && ::fstat(f.dir.get(), &dir) == 0 && dir.st_dev == id->dir_dev &&
           dir.st_ino == id->dir_ino && std::strcmp(id->name, f.name.data()) == 0;
}

// Opens the located file for writing (refused as the shell's ">>" would
// be) and checks that it is still the file located.
int open_for_writing(const Located &f, Fd *fd) {
    fd->reset(sys("openat file", [&] {
        return ::openat(f.dir.get(), f.name.data(),
                        O_RDWR | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    }));
    if (fd->get() < 0) {
        if (errno == EACCES || errno == EPERM || errno == EROFS || errno == ETXTBSY)
            return kErrNotWritable;
        return errno == ELOOP || errno == ENOENT ? kErrChanged : kErrWrite;
    }
    struct stat st {};
    if (::fstat(fd->get(), &st) != 0) return kErrWrite;
    return same_file(st, f.st) ? 0 : kErrChanged;
}

// Under the lock: whether the file is still what the document read, and
// whether it already holds the text.
int compare(const SaveRequest &r, const Located &f, int fd, bool check) {
    if (!f.exists) return check ? kErrChanged : 0;
    if (check && (r.read_from->dev != f.st.st_dev || r.read_from->ino != f.st.st_ino))
        return kErrChanged;
    Text current;
    int err = 0;
    if (!read_all(fd, &current, &err)) return err == kErrMemory ? err : kErrWrite;
    const auto same = [&current](const char *p, size_t n) {
        return current.size() == n && (n == 0 || std::memcmp(current.data(), p, n) == 0);
    };
    if (check && !same(r.expected, r.expected_length)) return kErrChanged;
    return same(r.text, r.length) ? kSaveUnchanged : 0;
}

// One attempt: locate, lock, check, write.  kErrChanged from locating
// means the file moved under this attempt (the caller tries again unless
// the document's own file is concerned).
int attempt(const SaveRequest &r, SaveResult *result, bool *again) {
    *again = false;
    Located f;
    if (const int err = locate(r.path, &f); err != 0) {
        *again = err == kErrChanged;
        return err;
    }
    Fd fd;
    if (f.exists && r.must_be_new) return kErrChanged;
    if (f.exists) {
        if (const int err = open_for_writing(f, &fd); err != 0) {
            *again = err == kErrChanged;
            return err;
        }
        if (f.st.st_nlink > 1 && !r.in_place) return kErrLinks;
    } else if (r.in_place) {
        errno = ENOENT;
        return kErrOpen;
    }
    Fd lock;
    bool on_file = false;
    if (const int err = take_lock(f, fd.get(), r.in_place, r.wait_ms, &lock, &on_file); err != 0)
        return err;
    struct DropLock {
        const Located &f;
        Fd &lock;
        ~DropLock() { drop_lock(f, &lock); }
    } drop{f, lock};
    // The file may have been replaced while this attempt waited.
    struct stat now {};
    const bool present = ::fstatat(f.dir.get(), f.name.data(), &now, AT_SYMLINK_NOFOLLOW) == 0;
    const bool check = checked(r, f);
    // A new file's name is never taken over from another writer.
    const bool final = check || r.must_be_new;
    if (present != f.exists || (present && !same_file(now, f.st))) {
        *again = !final;
        return kErrChanged;
    }
    const int cmp = compare(r, f, fd.get(), check);
    if (cmp == kSaveUnchanged) fill_id(f, f.st, &result->written);
    if (cmp != 0) return cmp;
    if (r.in_place) return rewrite_in_place(r, f, fd.get(), result);
    const int err = replace(r, f, fd.get(), result);
    *again = err == kErrChanged && !final;
    return err;
}

}  // namespace

int read_whole_file(const char *path, char **data, size_t *length, FileId *id) {
    if (path == nullptr) return kErrOpen;
    Located f;
    f.file.reset(sys("open file", [&] { return ::open(path, O_PATH | O_CLOEXEC); }));
    if (f.file.get() < 0) return kErrOpen;
    if (::fstat(f.file.get(), &f.st) != 0) return kErrOpen;
    if (S_ISDIR(f.st.st_mode)) {
        errno = EISDIR;
        return kErrRead;
    }
    if (!S_ISREG(f.st.st_mode)) return kErrNotRegular;
    // Opened again for reading through the kernel's own link to the file,
    // so that nothing else can be read in its place.
    const ProcPath proc(f.file.get());
    Fd fd(sys("open for reading",
              [&] { return ::open(proc.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY); }));
    if (fd.get() < 0 && errno == ENOENT)
        fd.reset(::open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    struct stat st {};
    if (fd.get() < 0) return kErrOpen;
    if (::fstat(fd.get(), &st) != 0 || !same_file(st, f.st)) return kErrOpen;
    Text text;
    int err = 0;
    if (!read_all(fd.get(), &text, &err)) return err;
    Text real, dir;
    f.exists = true;
    if (!where(f.file.get(), path, &real) || split_path(real.data(), &dir, &f.name) != 0 ||
        open_directory(dir, &f) != 0)
        f.dir.reset();  // known by its identity alone
    const size_t n = text.size();
    char *out = text.release();
    if (out == nullptr) return kErrMemory;
    fill_id(f, f.st, id);
    *data = out;
    *length = n;
    return 0;
}

int save_file(const SaveRequest &r, SaveResult *result) {
    if (r.path == nullptr) return kErrOpen;
    int err = 0;
    for (int tries = 0; tries < 100; ++tries) {
        bool again = false;
        err = attempt(r, result, &again);
        if (!again) return err;
    }
    errno = EAGAIN;
    return err;
}

}  // namespace nivra::conf
