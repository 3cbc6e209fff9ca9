// conf_entries.h - test helper that stores entries in a context through the
// store interface, as the loader does, without a file.
#ifndef NIVRA_TESTS_CONF_ENTRIES_H
#define NIVRA_TESTS_CONF_ENTRIES_H

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "conf_store.h"

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
    EXPECT_NE(table_for(ctx), nullptr);
    CONF_VALUE *sec = find_or_add_section(ctx, section);
    CONF_VALUE *v = make_entry(name, std::strlen(name), value, std::strlen(value));
    EXPECT_EQ(store_entry(ctx, sec, v), 0);
    return v;
}

// A fresh context per test, with NIVRA_TEST_VAR set and NIVRA_TEST_UNSET not.
class ConfContext : public ::testing::Test {
  protected:
    void SetUp() override {
        ctx_ = CONF_new();
        ASSERT_NE(ctx_, nullptr);
        setenv("NIVRA_TEST_VAR", "from-env", 1);
        unsetenv("NIVRA_TEST_UNSET");
    }
    void TearDown() override { CONF_free(ctx_); }
    CONF_CTX *ctx_ = nullptr;
};

}  // namespace testing_conf

#endif  // NIVRA_TESTS_CONF_ENTRIES_H
