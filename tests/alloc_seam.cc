// alloc_seam.cc - the --wrap definitions behind alloc_seam.h.
#include "alloc_seam.h"

#include <cstddef>

extern "C" {
void *__real_malloc(size_t size);
void *__real_calloc(size_t n, size_t size);
void *__real_realloc(void *p, size_t size);
void __real_free(void *p);
}

namespace {
long g_fail_at = 0;
bool g_persistent = false;
long g_attempts = 0;
bool g_fired = false;
long g_live = 0;

bool ShouldFail() {
    ++g_attempts;
    if (g_fail_at != 0 && (g_attempts == g_fail_at || (g_persistent && g_attempts > g_fail_at))) {
        g_fired = true;
        return true;
    }
    return false;
}
}  // namespace

namespace alloc_seam {
void FailNth(long n) {
    g_fail_at = n;
    g_persistent = false;
    g_attempts = 0;
    g_fired = false;
}
void FailFrom(long n) {
    FailNth(n);
    g_persistent = true;
}
long Attempts() { return g_attempts; }
bool Fired() { return g_fired; }
long Live() { return g_live; }
}  // namespace alloc_seam

extern "C" {

void *__wrap_malloc(size_t size) {
    if (ShouldFail()) return nullptr;
    void *p = __real_malloc(size);
    if (p != nullptr) ++g_live;
    return p;
}

void *__wrap_calloc(size_t n, size_t size) {
    if (ShouldFail()) return nullptr;
    void *p = __real_calloc(n, size);
    if (p != nullptr) ++g_live;
    return p;
}

void *__wrap_realloc(void *old, size_t size) {
    if (ShouldFail()) return nullptr;
    void *p = __real_realloc(old, size);
    if (p != nullptr && old == nullptr) ++g_live;
    return p;
}

void __wrap_free(void *p) {
    if (p != nullptr) --g_live;
    __real_free(p);
}

}  // extern "C"
