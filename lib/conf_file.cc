// conf_file.cc - reading a configuration file whole, and replacing one so
// that every reader sees either the old file or the new one.
//
// Why a lock and a content check: a read-edit-save cycle may meet another
// process doing the same.  Each save locks the file it is about to replace
// (the inode at the path at that moment; when the path moved on meanwhile it
// locks again), compares the contents with what its document was read from
// and renames while it holds the lock.  A second writer that read the same
// contents then finds the new file at the path after the first one's rename
// and refuses, so no change is ever lost silently.
#include "conf_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "conf_store.h"
#include "conf_write.h"

namespace nivra::conf {
namespace {

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
    // Closes now and tells whether the close succeeded.
    bool close() {
        const int fd = fd_;
        fd_ = -1;
        return ::close(fd) == 0;
    }

  private:
    int fd_;
};

// Reads the descriptor to its end into out.
bool read_all(int fd, Text *out, int *err) {
    char buf[16384];
    for (;;) {
        const ssize_t got = ::read(fd, buf, sizeof buf);
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

bool write_all(int fd, const char *p, size_t n) {
    while (n > 0) {
        const ssize_t put = ::write(fd, p, n);
        if (put < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += put;
        n -= static_cast<size_t>(put);
    }
    return true;
}

// The path a symbolic link leads to in the end (path itself when it is no
// link), in out.  A dangling link leads to the file it names.
bool resolve_links(const char *path, Text *out) {
    if (!out->append(path)) return false;
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st {};
        if (::lstat(out->data(), &st) != 0 || !S_ISLNK(st.st_mode)) return true;
        char target[PATH_MAX];
        const ssize_t n = ::readlink(out->data(), target, sizeof target - 1);
        if (n < 0) return true;
        Text next;
        const char *slash = std::strrchr(out->data(), '/');
        if (target[0] != '/' && slash != nullptr &&
            !next.append(out->data(), static_cast<size_t>(slash - out->data()) + 1))
            return false;
        if (!next.append(target, static_cast<size_t>(n))) return false;
        out->swap(next);
    }
    return true;
}

// The directory part of path ("." when it has none) and the file name.
bool split_path(const char *path, Text *dir, const char **base) {
    const char *slash = std::strrchr(path, '/');
    *base = slash != nullptr ? slash + 1 : path;
    if (slash == nullptr) return dir->append(".");
    if (slash == path) return dir->append("/");
    return dir->append(path, static_cast<size_t>(slash - path));
}

// Opens and locks the file at path, making sure that the lock is on the
// file the path names once it is held (a rename may have replaced it while
// this process waited).  *fd is -1 when there is no such file.  With
// check, a replacement seen while waiting is another writer's save:
// kErrChanged at once, rather than waiting behind every later writer.
int lock_existing(const char *path, bool check, Fd *fd, struct stat *st) {
    for (int tries = 0; tries < 100; ++tries) {
        fd->reset(::open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY));
        if (fd->get() < 0) return errno == ENOENT ? 0 : kErrWrite;
        if (::fstat(fd->get(), st) != 0) return kErrWrite;
        if (S_ISDIR(st->st_mode)) {
            errno = EISDIR;
            return kErrWrite;
        }
        while (::flock(fd->get(), LOCK_EX) != 0) {
            if (errno != EINTR) return kErrWrite;
        }
        struct stat now {};
        const bool exists = ::stat(path, &now) == 0;
        if (exists && now.st_dev == st->st_dev && now.st_ino == st->st_ino) return 0;
        if (check) return kErrChanged;
        if (!exists && errno == ENOENT) {
            fd->reset();
            return 0;
        }
    }
    errno = EAGAIN;
    return kErrWrite;
}

// A new file beside the target, created exclusively so that no file or
// link already there is ever followed or truncated.
int create_temporary(const Text &dir, const char *base, Text *name, Fd *fd) {
    static unsigned counter = 0;
    for (int tries = 0; tries < 1000; ++tries) {
        timespec now{};
        ::clock_gettime(CLOCK_REALTIME, &now);
        char suffix[64];
        std::snprintf(suffix, sizeof suffix, ".%ld.%lx.%u.tmp", static_cast<long>(::getpid()),
                      static_cast<unsigned long>(now.tv_nsec), ++counter);
        name->clear();
        if (!name->append(dir.data()) || !name->append("/.") || !name->append(base) ||
            !name->append(suffix))
            return kErrMemory;
        fd->reset(::open(name->data(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
        if (fd->get() >= 0) return 0;
        if (errno != EEXIST) return kErrWrite;
    }
    return kErrWrite;
}

// Syncs the directory, so that the rename itself survives a crash.
bool sync_directory(const Text &dir) {
    Fd d(::open(dir.data(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (d.get() < 0) return false;
    return ::fsync(d.get()) == 0 || errno == EINVAL;
}

// Writes the text into a temporary file beside the target and renames it
// over the target.  The temporary file is gone afterwards, whatever
// happens.
int replace_file(const SaveRequest &r, const Text &target, const struct stat *old) {
    Text dir;
    const char *base = nullptr;
    if (!split_path(target.data(), &dir, &base)) return kErrMemory;
    Text temp;
    Fd fd;
    if (const int err = create_temporary(dir, base, &temp, &fd); err != 0) return err;
    bool ok = write_all(fd.get(), r.text, r.length);
    if (ok && old != nullptr) {
        ok = ::fchmod(fd.get(), old->st_mode & 07777) == 0;
        // Keeping the owner needs privileges this process may not have.
        if (ok && (old->st_uid != ::geteuid() || old->st_gid != ::getegid()))
            (void)!::fchown(fd.get(), old->st_uid, old->st_gid);
    }
    ok = ok && ::fsync(fd.get()) == 0;
    ok = fd.close() && ok;
    ok = ok && ::rename(temp.data(), target.data()) == 0;
    if (!ok) {
        const int saved = errno;
        ::unlink(temp.data());
        errno = saved;
        return kErrWrite;
    }
    return sync_directory(dir) ? 0 : kErrWrite;
}

}  // namespace

int read_whole_file(const char *path, char **data, size_t *length) {
    if (path == nullptr) return kErrOpen;
    Fd fd(::open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY));
    if (fd.get() < 0) return kErrOpen;
    Text text;
    int err = 0;
    if (!read_all(fd.get(), &text, &err)) return err;
    const size_t n = text.size();
    char *out = text.release();
    if (out == nullptr) return kErrMemory;
    *data = out;
    *length = n;
    return 0;
}

int save_atomically(const SaveRequest &r) {
    Text target;
    if (!resolve_links(r.path, &target)) return kErrMemory;
    Fd lock;
    struct stat st {};
    if (const int err = lock_existing(target.data(), r.check, &lock, &st); err != 0) return err;
    if (lock.get() >= 0) {
        Text current;
        int err = 0;
        if (!read_all(lock.get(), &current, &err)) return err == kErrMemory ? err : kErrWrite;
        const auto same = [&current](const char *p, size_t n) {
            return current.size() == n && (n == 0 || std::memcmp(current.data(), p, n) == 0);
        };
        if (r.check && !same(r.expected, r.expected_length)) return kErrChanged;
        if (same(r.text, r.length)) return kSaveUnchanged;
    } else if (r.check) {
        // The file it was read from is gone: another writer was there.
        return kErrChanged;
    }
    // The lock is held until the new file has taken the old one's place.
    return replace_file(r, target, lock.get() >= 0 ? &st : nullptr);
}

}  // namespace nivra::conf
