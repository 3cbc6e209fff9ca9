// conf_live_files.cc - the files behind a live configuration.
//
// The fingerprint is a sum of one mixed 64-bit digest per path examined, so
// that the order in which a directory lists its files does not matter.  It
// covers exactly the paths a layered load looks at (DIR/NAME and every
// DIR/NAME.d/X.conf whose X does not start with "."), which is why a
// temporary file that an editor writes beside them changes nothing while
// the rename that ends its save does.
#include "conf_live_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "conf_layers.h"
#include "conf_write.h"

namespace nivra::conf {
namespace {

char *copy_string(const char *s) {
    const size_t n = std::strlen(s) + 1;
    auto *copy = static_cast<char *>(std::malloc(n));
    if (copy != nullptr) std::memcpy(copy, s, n);
    return copy;
}

// splitmix64's finaliser: every input bit reaches every output bit.
constexpr uint64_t mix(uint64_t x) {
    x ^= x >> 30;
    x *= 0xbf58476d1ce4e5b9ULL;
    x ^= x >> 27;
    x *= 0x94d049bb133111ebULL;
    return x ^ (x >> 31);
}

uint64_t mix_bytes(uint64_t h, const char *s) {
    for (; *s != '\0'; ++s) h = mix(h ^ static_cast<unsigned char>(*s));
    return h;
}

uint64_t mix_stat(uint64_t h, int status, const struct stat &st) {
    if (status != 0) return mix(h ^ 0x6d697373696e67ULL);  // missing
    h = mix(h ^ static_cast<uint64_t>(st.st_dev));
    h = mix(h ^ static_cast<uint64_t>(st.st_ino));
    h = mix(h ^ static_cast<uint64_t>(st.st_size));
    h = mix(h ^ static_cast<uint64_t>(st.st_mtim.tv_sec));
    h = mix(h ^ static_cast<uint64_t>(st.st_mtim.tv_nsec));
    return mix(h ^ static_cast<uint64_t>(st.st_mode));
}

// The digest of one path: its name, what it leads to and the link itself.
uint64_t path_digest(const char *path) {
    struct stat st {};
    struct stat link {};
    const int followed = ::stat(path, &st);
    const int own = ::lstat(path, &link);
    return mix_stat(mix_stat(mix_bytes(0x9e3779b97f4a7c15ULL, path), followed, st), own, link);
}

bool join(Text *out, const char *dir, const char *a, const char *b = "") {
    out->clear();
    return out->append(dir) && out->put('/') && out->append(a) && out->append(b);
}

bool counts_as_drop_in(const char *file_name) {
    const size_t n = std::strlen(file_name);
    constexpr size_t k = sizeof ".conf" - 1;
    return file_name[0] != '.' && n > k && std::strcmp(file_name + n - k, ".conf") == 0;
}

// The digest of a directory itself: whether it is there, and which one it
// is.  Not its size or time, which every file made in it changes.
uint64_t directory_digest(const char *dir) {
    struct stat st {};
    if (::stat(dir, &st) != 0) return mix(0x6d697373696e67ULL);
    return mix(mix(mix(static_cast<uint64_t>(st.st_dev)) ^ static_cast<uint64_t>(st.st_ino)) ^
               static_cast<uint64_t>(st.st_mode));
}

// The digest of a drop-in directory: the directory and each drop-in in it.
uint64_t drop_in_digest(const char *d_dir) {
    uint64_t sum = directory_digest(d_dir);
    DIR *listing = ::opendir(d_dir);
    if (listing == nullptr) return sum;
    Text path;
    while (const dirent *e = ::readdir(listing)) {
        if (!counts_as_drop_in(e->d_name)) continue;
        // Without memory for the path, the name alone still counts.
        sum += join(&path, d_dir, e->d_name) ? path_digest(path.data()) : mix_bytes(1, e->d_name);
    }
    ::closedir(listing);
    return sum;
}

uint64_t layered_fingerprint(const LiveSource &s) {
    uint64_t sum = mix(s.ndirs);
    Text path;
    for (size_t i = 0; i < s.ndirs; ++i) {
        if (s.dirs[i] == nullptr) continue;
        if (join(&path, s.dirs[i], s.name)) sum += mix(path_digest(path.data()) + i);
        if (join(&path, s.dirs[i], s.name, ".d")) sum += mix(drop_in_digest(path.data()) + i);
    }
    return sum;
}

constexpr uint32_t kWatchMask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO |
                                IN_CLOSE_WRITE | IN_MODIFY | IN_ATTRIB | IN_DELETE_SELF |
                                IN_MOVE_SELF;

// Watches the directory that holds path, and the one its links lead to.
void watch_parent_of(const char *path, int fd) {
    Text dir;
    const char *slash = std::strrchr(path, '/');
    const bool ok = slash == nullptr ? dir.append(".")
                                     : dir.append(path, slash == path ? 1 : size_t(slash - path));
    if (ok) ::inotify_add_watch(fd, dir.data(), kWatchMask);
    char *resolved = ::realpath(path, nullptr);
    if (resolved == nullptr) return;
    if (char *end = std::strrchr(resolved, '/'); end != nullptr) {
        end[end == resolved ? 1 : 0] = '\0';
        ::inotify_add_watch(fd, resolved, kWatchMask);
    }
    std::free(resolved);
}

// Watches the directories that the drop-ins of d_dir lead to through
// symbolic links (the directory itself is watched already).
void watch_link_targets(const char *d_dir, int fd) {
    DIR *listing = ::opendir(d_dir);
    if (listing == nullptr) return;
    Text path;
    while (const dirent *e = ::readdir(listing)) {
        struct stat st {};
        if (!counts_as_drop_in(e->d_name) || !join(&path, d_dir, e->d_name)) continue;
        if (::lstat(path.data(), &st) == 0 && S_ISLNK(st.st_mode)) watch_parent_of(path.data(), fd);
    }
    ::closedir(listing);
}

}  // namespace

bool copy_file_source(LiveSource *source, const char *path) {
    source->layered = false;
    return path == nullptr || (source->path = copy_string(path)) != nullptr;
}

bool copy_layered_source(LiveSource *source, const char *const *dirs, size_t ndirs,
                         const char *name) {
    source->layered = true;
    source->dirs_given = dirs != nullptr || ndirs == 0;
    if (name != nullptr && (source->name = copy_string(name)) == nullptr) return false;
    if (dirs == nullptr || ndirs == 0) return true;
    if (ndirs > SIZE_MAX / sizeof(char *)) return false;
    source->dirs = static_cast<char **>(std::calloc(ndirs, sizeof(char *)));
    if (source->dirs == nullptr) return false;
    source->ndirs = ndirs;
    for (size_t i = 0; i < ndirs; ++i) {
        if (dirs[i] != nullptr && (source->dirs[i] = copy_string(dirs[i])) == nullptr) return false;
    }
    return true;
}

void release_source(LiveSource *source) {
    for (size_t i = 0; i < source->ndirs; ++i) std::free(source->dirs[i]);
    std::free(source->dirs);
    std::free(source->path);
    std::free(source->name);
    *source = LiveSource{};
}

bool load_source(const LiveSource &s, CONF_CTX *ctx) {
    if (!s.layered) return CONF_load(ctx, s.path) == 0;
    // Null dirs with a non-zero count stays an invalid call, as it was made.
    const size_t ndirs = s.dirs_given ? s.ndirs : 1;
    return CONF_load_layered(ctx, s.dirs, ndirs, s.name) == 0;
}

uint64_t source_fingerprint(const LiveSource &s) {
    if (!s.layered) return s.path == nullptr ? 0 : path_digest(s.path);
    if (!layer_name_valid(s.name) || !s.dirs_given) return 0;
    return layered_fingerprint(s);
}

void watch_source(const LiveSource &s, int fd) {
    if (!s.layered) {
        if (s.path != nullptr) watch_parent_of(s.path, fd);
        return;
    }
    if (!layer_name_valid(s.name) || !s.dirs_given) return;
    Text path;
    for (size_t i = 0; i < s.ndirs; ++i) {
        if (s.dirs[i] == nullptr) continue;
        ::inotify_add_watch(fd, s.dirs[i], kWatchMask);
        if (join(&path, s.dirs[i], s.name)) watch_parent_of(path.data(), fd);
        if (!join(&path, s.dirs[i], s.name, ".d")) continue;
        ::inotify_add_watch(fd, path.data(), kWatchMask);
        watch_link_targets(path.data(), fd);
    }
}

void drain_events(int fd) {
    alignas(struct inotify_event) char buf[4096];
    while (::read(fd, buf, sizeof buf) > 0) {
    }
}

}  // namespace nivra::conf
