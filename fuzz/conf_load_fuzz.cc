// Fuzz target: the loader, through each of its sources.
//
// After the load(s) the store's invariants must hold, every stored entry must
// be found again by CONF_get_string, the listing and the typed lookups must
// agree with it, and CONF_free must release everything (LeakSanitizer
// checks).  The input layout is described at LLVMFuzzerTestOneInput.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "conf_describe.h"
#include "conf_load.h"
#include "conf_store.h"

namespace {

// Every invariant of the store holds, and every listed entry is what a
// lookup of its section and name answers.
void CheckStore(CONF_CTX *ctx) {
    using namespace nivra::conf;
    if (const char *why = store_check(ctx)) {
        std::fprintf(stderr, "store invariant broken: %s\n", why);
        std::abort();
    }
    for (int i = 0; i < section_count(ctx->table); ++i) {
        CONF_VALUE *s = section_at(ctx->table, i);
        for (int j = 0; j < entry_count(s); ++j) {
            CONF_VALUE *v = entry_at(s, j);
            if (CONF_get_string(ctx, v->section, v->name) != v->value ||
                CONF_get_entry(ctx, v->section, j) != v) {
                std::fprintf(stderr, "stored entry [%s] %s not found again\n", v->section, v->name);
                std::abort();
            }
            int64_t n = 0;
            double d = 0;
            int b = 0;
            if (CONF_get_int64(ctx, v->section, v->name, &n) == 0 ||
                CONF_get_double(ctx, v->section, v->name, &d) == 0 ||
                CONF_get_bool(ctx, v->section, v->name, &b) == 0) {
                std::fprintf(stderr, "typed lookup misses [%s] %s\n", v->section, v->name);
                std::abort();
            }
        }
    }
}

void CheckNote(void *, const nivra::conf::LoadNote *n) {
    const bool at_ok = n->at == nivra::conf::kNoOffset || n->at <= n->length;
    const bool entry_ok = (n->event != nivra::conf::LoadEvent::kStored &&
                           n->event != nivra::conf::LoadEvent::kReplacing) ||
                          (n->entry != nullptr && n->entry->section != nullptr);
    if (!at_ok || n->text[n->length] != '\0' || !entry_ok || n->line < 0) {
        std::fprintf(stderr, "bad note: event %d at %zu of %zu\n", static_cast<int>(n->event),
                     n->at, n->length);
        std::abort();
    }
}

enum class Source { kStream, kBuffer, kObserved, kPath };

// Loads the bytes by path: a memory file named through /proc, read by the
// loader's own descriptor reader.  kNoFile when the file cannot be made.
constexpr int kNoFile = 1;  // no load returns a positive number
int LoadPath(CONF_CTX *ctx, const uint8_t *data, size_t size) {
    const int fd = memfd_create("conf", MFD_CLOEXEC);
    if (fd < 0) return kNoFile;
    int rc = kNoFile;
    if (size == 0 || write(fd, data, size) == static_cast<ssize_t>(size)) {
        const std::string path = "/proc/self/fd/" + std::to_string(fd);
        rc = CONF_load(ctx, path.c_str());
    }
    close(fd);
    return rc;
}

int LoadBytes(CONF_CTX *ctx, const uint8_t *data, size_t size, Source source) {
    // With the error cleared first, a non-zero result means this load failed,
    // and then (only then) the context must have no table.
    ctx->last_errnum = 0;
    const bool observed = source == Source::kObserved;
    int rc = 0;
    if (source == Source::kPath) {
        rc = LoadPath(ctx, data, size);
        if (rc == kNoFile) std::abort();  // no memory file: the comparison would be void
    } else if (source == Source::kBuffer) {
        rc = CONF_load_buffer(ctx, data, size);
    } else {
        // fmemopen refuses a zero size; an empty file reads like /dev/null.
        std::FILE *f = size > 0 ? fmemopen(const_cast<uint8_t *>(data), size, "rb")
                                : std::fopen("/dev/null", "rb");
        if (f == nullptr) return 0;
        const nivra::conf::LoadObserver observer{CheckNote, nullptr};
        rc = observed ? nivra::conf::load_observed(ctx, f, &observer) : CONF_load_fp(ctx, f);
        std::fclose(f);
    }
    if ((rc != 0) != (ctx->table == nullptr)) {
        std::fprintf(stderr, "load returned %d but the table is %s\n", rc,
                     ctx->table == nullptr ? "gone" : "kept");
        std::abort();
    }
    if (rc != 0 && rc != -101 && CONF_get_last_error_line(ctx) == 0 &&
        std::strstr(ctx->last_error_str, ", line 0") == nullptr) {
        std::fprintf(stderr, "error text without its line: %s\n", ctx->last_error_str);
        std::abort();
    }
    return rc;
}

// Loads the input (as one file, or two in turn) from one source into a new
// context, checks it, and describes it.
std::string Run(uint8_t flags, const uint8_t *data, size_t size, size_t split, Source source) {
    CONF_CTX *ctx = CONF_new();
    if (ctx == nullptr) return "";
    if (flags & 1) {
        if (LoadBytes(ctx, data, split, source) == 0)
            LoadBytes(ctx, data + split, size - split, source);
    } else {
        LoadBytes(ctx, data, size, source);
    }
    CheckStore(ctx);
    std::string description = Describe(ctx);
    CONF_free(ctx);
    return description;
}

}  // namespace

// Input layout: byte 0 holds flags (bit 0: split the rest into two files
// loaded in turn into one context; bit 1: set the environment variable
// NIVRA_FUZZ); bytes 1-2 give the split point.  The input is loaded from a
// stream, from memory, from a stream through confcheck's observer and by
// path; the four contexts must be the same.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 3) return 0;
    const uint8_t flags = data[0];
    size_t split = static_cast<size_t>(data[1]) << 8 | data[2];
    data += 3;
    size -= 3;
    if (split > size) split = size;
    if (flags & 2) {
        setenv("NIVRA_FUZZ", "fuzz-value", 1);
    } else {
        unsetenv("NIVRA_FUZZ");
    }
    const std::string stream = Run(flags, data, size, split, Source::kStream);
    if (Run(flags, data, size, split, Source::kBuffer) != stream ||
        Run(flags, data, size, split, Source::kObserved) != stream ||
        Run(flags, data, size, split, Source::kPath) != stream) {
        std::fprintf(stderr, "the sources disagree on:\n%s", stream.c_str());
        std::abort();
    }
    return 0;
}
