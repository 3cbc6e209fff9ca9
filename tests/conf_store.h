// conf_store.h - test helpers that place entries in a context through the
// library's internal functions, the way the loader does.
#ifndef NIVRA_TESTS_CONF_STORE_H
#define NIVRA_TESTS_CONF_STORE_H

#include <cstdlib>
#include <cstring>

#include "conf_internal.h"

namespace testing_conf {

inline char *Dup(const char *s) {
    const size_t n = std::strlen(s) + 1;
    char *p = static_cast<char *>(std::malloc(n));
    std::memcpy(p, s, n);
    return p;
}

// Stores (section, name) = value in ctx, creating the table and section as
// needed; returns the entry record.
inline CONF_VALUE *Put(CONF_CTX *ctx, const char *section, const char *name, const char *value) {
    using namespace nivra::conf;
    if (ctx->table == nullptr) ctx->table = lh_new(hash, cmp_conf);
    CONF_VALUE *sec = get_section(ctx, section);
    if (sec == nullptr) sec = new_section(ctx->table, section);
    auto *v = static_cast<CONF_VALUE *>(std::malloc(sizeof(CONF_VALUE)));
    v->section = sec->section;
    v->name = Dup(name);
    v->value = Dup(value);
    sk_CONF_VALUE_push(reinterpret_cast<SK_STACK *>(sec->value), v);
    auto *old = static_cast<CONF_VALUE *>(lh_insert(ctx->table, v));
    if (old != nullptr) {
        sk_CONF_VALUE_delete_ptr(reinterpret_cast<SK_STACK *>(sec->value), old);
        free_entry(old);
    }
    return v;
}

}  // namespace testing_conf

#endif  // NIVRA_TESTS_CONF_STORE_H
