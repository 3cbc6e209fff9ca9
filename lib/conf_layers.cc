// conf_layers.cc - layered configuration: a main file found in the first of
// several directories, then drop-in files of every directory merged in the
// byte order of their names, an administrator's copy replacing a vendor's
// of the same name and an empty one (or a link to /dev/null) masking it.
// For the main file and the drop-ins alike, whatever stands first under a
// name decides: only a file loads, and anything else masks the lower copies.
//
// The walk only finds files; each one loads exactly as CONF_load loads it.
#include "conf_layers.h"

#include <dirent.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "conf_buffer.h"
#include "conf_load.h"
#include "conf_store.h"
#include "conf_write.h"

namespace nivra::conf {
namespace {

constexpr char kDropInSuffix[] = ".conf";

struct DropIn {
    char *file_name;
    size_t dir;  // index into dirs: lower is higher priority
};

// The drop-ins found so far, with their names from malloc.
class DropIns {
  public:
    DropIns() = default;
    ~DropIns() {
        for (const DropIn &d : items_) std::free(d.file_name);
    }
    DropIns(const DropIns &) = delete;
    DropIns &operator=(const DropIns &) = delete;

    // Adds a copy of file_name; false when memory runs out, nothing added.
    bool add(const char *file_name, size_t dir) {
        if (!items_.reserve(items_.size() + 1)) return false;
        const size_t n = std::strlen(file_name) + 1;
        auto *copy = static_cast<char *>(std::malloc(n));
        if (copy == nullptr) return false;
        std::memcpy(copy, file_name, n);
        items_.push(DropIn{copy, dir});  // cannot fail: the room is there
        return true;
    }
    // By name, then by priority: the first of each name is the one that counts.
    void sort() {
        if (items_.size() > 1) std::qsort(items_.begin(), items_.size(), sizeof(DropIn), compare);
    }
    size_t size() const { return items_.size(); }
    const DropIn &operator[](size_t i) const { return items_[i]; }

  private:
    static int compare(const void *a, const void *b) {
        const auto *x = static_cast<const DropIn *>(a);
        const auto *y = static_cast<const DropIn *>(b);
        if (const int c = std::strcmp(x->file_name, y->file_name); c != 0) return c;
        return x->dir < y->dir ? -1 : (x->dir > y->dir ? 1 : 0);
    }

    GrowArray<DropIn> items_;
};

bool join(Text *out, const char *dir, const char *a, const char *b = "") {
    out->clear();
    return out->append(dir) && out->put('/') && out->append(a) && out->append(b);
}

// What stands under a name in one directory.
enum class Entry { kNone, kFile, kMask, kStray };

// Whether st is the null device, what a masking link leads to.
bool is_dev_null(const struct stat &st) {
    struct stat null {};
    return S_ISCHR(st.st_mode) && ::stat("/dev/null", &null) == 0 && S_ISCHR(null.st_mode) &&
           st.st_rdev == null.st_rdev;
}

// The entry at path, through links.  An empty file is a mask where
// empty_masks (a drop-in); an empty main file loads, as it always did,
// which comes to the same.  A dangling link is there, but is no file.
Entry classify(const char *path, bool empty_masks) {
    struct stat st {};
    if (::stat(path, &st) == 0) {
        if (S_ISREG(st.st_mode))
            return empty_masks && st.st_size == 0 ? Entry::kMask : Entry::kFile;
        return is_dev_null(st) ? Entry::kMask : Entry::kStray;
    }
    return ::lstat(path, &st) == 0 ? Entry::kStray : Entry::kNone;
}

bool is_drop_in_name(const char *file_name) {
    const size_t n = std::strlen(file_name);
    const size_t k = sizeof kDropInSuffix - 1;
    return n > k && std::strcmp(file_name + n - k, kDropInSuffix) == 0;
}

// Adds the drop-ins of one directory's NAME.d; a missing directory has
// none.  *listed tells whether the directory exists.
int list_drop_ins(const char *d_dir, size_t dir, const LayerVisitor &v, DropIns *found,
                  bool *listed) {
    DIR *listing = ::opendir(d_dir);
    if (listing == nullptr) return errno == ENOENT || errno == ENOTDIR ? 0 : kErrOpen;
    *listed = true;
    int err = 0;
    Text path;
    while (const dirent *e = ::readdir(listing)) {
        if (e->d_name[0] == '.') continue;
        if (is_drop_in_name(e->d_name)) {
            if (!found->add(e->d_name, dir)) err = kErrMemory;
        } else if (v.ignored != nullptr) {
            struct stat st {};
            if (!join(&path, d_dir, e->d_name)) err = kErrMemory;
            if (err == 0 && ::stat(path.data(), &st) == 0 && S_ISREG(st.st_mode))
                v.ignored(v.arg, path.data());
        }
        if (err != 0) break;
    }
    ::closedir(listing);
    return err;
}

bool join_drop_in(Text *out, const char *const *dirs, const char *name, const DropIn &d) {
    return join(out, dirs[d.dir], name, ".d/") && out->append(d.file_name);
}

// Tells the visitor of the stray drop-in found[first] with the lower
// copies of its name, found[first + 1, end).
bool tell_stray_drop_in(const char *const *dirs, const char *name, const DropIns &found,
                        size_t first, size_t end, const char *path, const LayerVisitor &v) {
    if (first + 1 == end) v.stray(v.arg, path, nullptr);
    Text masked;
    for (size_t k = first + 1; k < end; ++k) {
        if (!join_drop_in(&masked, dirs, name, found[k])) return false;
        v.stray(v.arg, path, masked.data());
    }
    return true;
}

// The drop-in that counts for each name, in name order, to the visitor.
int visit_drop_ins(const char *const *dirs, const char *name, const DropIns &found,
                   const LayerVisitor &v) {
    Text path;
    for (size_t i = 0, end = 0; i < found.size(); i = end) {
        end = i + 1;
        while (end < found.size() && std::strcmp(found[end].file_name, found[i].file_name) == 0)
            ++end;
        if (!join_drop_in(&path, dirs, name, found[i])) return kErrMemory;
        const Entry e = classify(path.data(), true);
        if (e == Entry::kFile) {
            if (const int r = v.file(v.arg, path.data()); r != 0) return r;
        } else if (e == Entry::kStray && v.stray != nullptr &&
                   !tell_stray_drop_in(dirs, name, found, i, end, path.data(), v)) {
            return kErrMemory;
        }
    }
    return 0;
}

// Tells the visitor of the stray main file dirs[first]/name with the
// lower directories' entries of that name.
bool tell_stray_main(const char *const *dirs, size_t ndirs, const char *name, size_t first,
                     const char *path, const LayerVisitor &v) {
    Text masked;
    bool any = false;
    for (size_t j = first + 1; j < ndirs; ++j) {
        struct stat st {};
        if (dirs[j] == nullptr) continue;
        if (!join(&masked, dirs[j], name)) return false;
        if (::lstat(masked.data(), &st) != 0) continue;
        v.stray(v.arg, path, masked.data());
        any = true;
    }
    if (!any) v.stray(v.arg, path, nullptr);
    return true;
}

// The main file: what stands first under name decides.
int visit_main(const char *const *dirs, size_t ndirs, const char *name, const LayerVisitor &v,
               LayersFound *found) {
    Text path;
    for (size_t i = 0; i < ndirs; ++i) {
        if (dirs[i] == nullptr) continue;
        if (!join(&path, dirs[i], name)) return kErrMemory;
        const Entry e = classify(path.data(), false);
        if (e == Entry::kNone) continue;
        found->any = true;
        if (e == Entry::kFile) return v.file(v.arg, path.data());
        if (e == Entry::kStray && v.stray != nullptr &&
            !tell_stray_main(dirs, ndirs, name, i, path.data(), v))
            return kErrMemory;
        return 0;
    }
    return 0;
}

}  // namespace

bool layer_name_valid(const char *name) {
    return name != nullptr && name[0] != '\0' && std::strchr(name, '/') == nullptr &&
           std::strcmp(name, ".") != 0 && std::strcmp(name, "..") != 0;
}

int walk_layers(const char *const *dirs, size_t ndirs, const char *name, const LayerVisitor &v,
                LayersFound *found) {
    LayersFound unused;
    if (found == nullptr) found = &unused;
    if (const int r = visit_main(dirs, ndirs, name, v, found); r != 0) return r;
    Text path;
    DropIns drop_ins;
    for (size_t i = 0; i < ndirs; ++i) {
        if (dirs[i] == nullptr) continue;
        if (!join(&path, dirs[i], name, ".d")) return kErrMemory;
        if (const int err = list_drop_ins(path.data(), i, v, &drop_ins, &found->any); err != 0) {
            if (err == kErrOpen && found != &unused) found->failed_path = path.release();
            return err;
        }
    }
    drop_ins.sort();
    return visit_drop_ins(dirs, name, drop_ins, v);
}

namespace {

struct LayeredLoad {
    CONF_CTX *ctx;
    bool failed = false;
};

int load_layer(void *arg, const char *path) {
    auto *load = static_cast<LayeredLoad *>(arg);
    bool ok = false;
    load_path(load->ctx, path, &ok);
    load->failed = !ok;
    return ok ? 0 : 1;
}

}  // namespace

}  // namespace nivra::conf

using namespace nivra::conf;

extern "C" int CONF_load_layered(CONF_CTX *ctx, const char *const *dirs, size_t ndirs,
                                 const char *name) {
    if (ctx == nullptr) return kErrNullContext;
    if (!layer_name_valid(name) || (dirs == nullptr && ndirs > 0)) {
        CONFerr(ctx, kErrOpen);
        set_error_file(ctx, nullptr);
        return ctx->last_errnum;
    }
    LayeredLoad load{ctx};
    LayersFound found;
    const int r =
        walk_layers(dirs, ndirs, name, LayerVisitor{load_layer, nullptr, nullptr, &load}, &found);
    char *failed_path = found.failed_path;
    if (r == kErrMemory || r == kErrOpen) {
        // As a load with the same error leaves it: a directory that cannot be
        // listed like a file that cannot be opened (the table as it was),
        // memory running out like a load that fails (no table).
        CONFerr(ctx, r);
        if (r == kErrMemory) {
            CONF_lhash_free(ctx->table);
            ctx->table = nullptr;
        }
        const char *file = failed_path != nullptr ? intern_file(ctx, failed_path) : nullptr;
        set_error_file(ctx, file);
    }
    std::free(failed_path);
    return ctx->last_errnum;
}
