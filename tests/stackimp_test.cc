// The typed stack family sk_CONF_VALUE_*.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "stackimp.h"

namespace {

int by_name(const CONF_VALUE *const *a, const CONF_VALUE *const *b) {
    return std::strcmp((*a)->name, (*b)->name);
}

std::vector<CONF_VALUE *> g_typed_released;
void ReleaseTyped(CONF_VALUE *v) { g_typed_released.push_back(v); }

TEST(StackTyped, WrappersForwardWithConfValueTypes) {
    CONF_VALUE x{nullptr, const_cast<char *>("x"), nullptr};
    CONF_VALUE y{nullptr, const_cast<char *>("y"), nullptr};
    CONF_VALUE z{nullptr, const_cast<char *>("z"), nullptr};
    SK_STACK *sk = sk_CONF_VALUE_new(by_name);
    EXPECT_EQ(sk_CONF_VALUE_push(sk, &z), 1);
    EXPECT_EQ(sk_CONF_VALUE_unshift(sk, &y), 2);
    EXPECT_EQ(sk_CONF_VALUE_insert(sk, &x, 1), 3);
    EXPECT_EQ(sk_CONF_VALUE_num(sk), 3);
    EXPECT_EQ(sk_CONF_VALUE_value(sk, 1), &x);
    EXPECT_EQ(sk_CONF_VALUE_find(sk, &z), 2);  // sorts by name: x y z
    EXPECT_EQ(sk_CONF_VALUE_value(sk, 0), &x);
    EXPECT_EQ(sk_CONF_VALUE_set_cmp_func(sk, nullptr), by_name);
    EXPECT_EQ(sk_CONF_VALUE_set(sk, 0, &z), &z);
    SK_STACK *copy = sk_CONF_VALUE_dup(sk);
    EXPECT_EQ(sk_CONF_VALUE_delete_ptr(copy, &y), &y);
    EXPECT_EQ(sk_CONF_VALUE_delete(copy, 0), &z);
    EXPECT_EQ(sk_CONF_VALUE_shift(copy), &z);
    EXPECT_EQ(sk_CONF_VALUE_pop(copy), nullptr);
    sk_CONF_VALUE_zero(sk);
    EXPECT_EQ(sk_CONF_VALUE_num(sk), 0);
    sk_CONF_VALUE_push(sk, &y);
    sk_CONF_VALUE_push(sk, nullptr);
    sk_CONF_VALUE_push(sk, &x);
    sk_CONF_VALUE_set_cmp_func(sk, by_name);
    g_typed_released.clear();
    sk_CONF_VALUE_free(copy);
    SK_STACK *sorted = sk_CONF_VALUE_new_null();
    sk_CONF_VALUE_push(sorted, &y);
    sk_CONF_VALUE_push(sorted, &x);
    sk_CONF_VALUE_set_cmp_func(sorted, by_name);
    sk_CONF_VALUE_sort(sorted);
    EXPECT_EQ(sk_CONF_VALUE_value(sorted, 0), &x);
    sk_CONF_VALUE_free(sorted);
    sk_CONF_VALUE_pop_free(sk, ReleaseTyped);
    EXPECT_EQ(g_typed_released, (std::vector<CONF_VALUE *>{&y, &x}));
    EXPECT_EQ(sk_CONF_VALUE_num(nullptr), -1);
}

}  // namespace
