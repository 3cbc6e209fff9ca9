// Fuzz target: the loader.
//
// Input layout: byte 0 holds flags (bit 0: split the rest into two files
// loaded in turn into one context; bit 1: set the environment variable
// NIVRA_FUZZ); bytes 1-2 give the split point.  After the load(s) every
// stored entry must be found again by CONF_get_string, and CONF_free must
// release everything (LeakSanitizer checks).
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "conf_internal.h"

namespace {

struct Check {
    CONF_CTX *ctx;
    long entries;
};

void CheckEntry(void *record, void *arg) {
    auto *v = static_cast<CONF_VALUE *>(record);
    auto *c = static_cast<Check *>(arg);
    if (v->name == nullptr) return;  // a section record
    ++c->entries;
    if (CONF_get_string(c->ctx, v->section, v->name) != v->value) {
        std::fprintf(stderr, "stored entry [%s] %s not found again\n", v->section, v->name);
        std::abort();
    }
}

int LoadBytes(CONF_CTX *ctx, const uint8_t *data, size_t size) {
    // fmemopen refuses a zero size; an empty file reads like /dev/null.
    std::FILE *f = size > 0 ? fmemopen(const_cast<uint8_t *>(data), size, "rb")
                            : std::fopen("/dev/null", "rb");
    if (f == nullptr) return 0;
    // With the error cleared first, a non-zero result means this load failed,
    // and then (only then) the context must have no table.
    ctx->last_errnum = 0;
    const int rc = nivra::conf::CONF_load_stream(ctx, f);
    std::fclose(f);
    if ((rc != 0) != (ctx->table == nullptr)) {
        std::fprintf(stderr, "load returned %d but the table is %s\n", rc,
                     ctx->table == nullptr ? "gone" : "kept");
        std::abort();
    }
    if (rc != 0 && std::strstr(ctx->last_error_str, ", line ") == nullptr) {
        std::fprintf(stderr, "error text without its line: %s\n", ctx->last_error_str);
        std::abort();
    }
    return rc;
}

}  // namespace

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

    CONF_CTX *ctx = CONF_new();
    if (ctx == nullptr) return 0;
    if (flags & 1) {
        if (LoadBytes(ctx, data, split) == 0) LoadBytes(ctx, data + split, size - split);
    } else {
        LoadBytes(ctx, data, size);
    }
    if (ctx->table != nullptr) {
        Check c{ctx, 0};
        lh_doall_arg(ctx->table, CheckEntry, &c);
    }
    CONF_free(ctx);
    return 0;
}
