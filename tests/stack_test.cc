// The pointer stack and its typed wrappers.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <vector>

#include "container_check.h"
#include "stack.h"

namespace {

// Elements are ints; the compare function counts its calls.
int g_compares = 0;
int by_value(const void *a, const void *b) {
    ++g_compares;
    const int x = **static_cast<const int *const *>(a);
    const int y = **static_cast<const int *const *>(b);
    return (x > y) - (x < y);
}
int by_value_reversed(const void *a, const void *b) { return by_value(b, a); }

std::vector<void *> Items(const SK_STACK *sk) {
    return std::vector<void *>(sk->items, sk->items + sk->count);
}

TEST(StackGrowth, DoublesBeforeTheInsertionThatWouldFillTheLastSlot) {
    SK_STACK *sk = sk_new(nullptr);
    ASSERT_NE(sk, nullptr);
    EXPECT_EQ(sk->capacity, 4);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(sk->items[i], nullptr);
    int x = 0;
    const struct {
        int pushes, capacity;
    } steps[] = {{3, 4}, {4, 8}, {7, 8}, {8, 16}, {15, 16}, {16, 32}, {31, 32}, {32, 64}};
    int done = 0;
    for (const auto &s : steps) {
        while (done < s.pushes) {
            ASSERT_EQ(sk_push(sk, &x), done + 1);
            ++done;
            ASSERT_EQ(StackProblem(sk), "");
        }
        EXPECT_EQ(sk->capacity, s.capacity) << "after " << s.pushes << " pushes";
    }
    sk_free(sk);
}

TEST(StackGrowth, ACapacityThatCannotDoubleFailsLikeAnAllocation) {
    SK_STACK *sk = sk_new(nullptr);
    int x = 0;
    sk_push(sk, &x);
    sk_push(sk, &x);
    // Pretend the array is huge and full up to its last free slot; the
    // insertion must give up before touching memory.
    const int real_capacity = sk->capacity;
    sk->capacity = INT_MAX / 2 + 1;
    const int real_count = sk->count;
    sk->count = sk->capacity - 1;
    EXPECT_EQ(sk_push(sk, &x), 0);
    EXPECT_EQ(sk->capacity, INT_MAX / 2 + 1);
    EXPECT_EQ(sk->count, INT_MAX / 2);
    sk->capacity = real_capacity;
    sk->count = real_count;
    sk_free(sk);
}

TEST(StackInsert, PlacesAtIndexOrAppendsOutsideTheRange) {
    int a = 1, b = 2, c = 3, d = 4, e = 5, f = 6;
    SK_STACK *sk = sk_new(nullptr);
    EXPECT_EQ(sk_insert(sk, &a, 0), 1);
    EXPECT_EQ(sk_insert(sk, &b, -1), 2);  // append
    EXPECT_EQ(sk_insert(sk, &c, 2), 3);   // at count: append
    EXPECT_EQ(sk_insert(sk, &d, 99), 4);  // beyond: append
    EXPECT_EQ(sk_insert(sk, &e, 1), 5);   // middle
    EXPECT_EQ(sk_unshift(sk, &f), 6);     // front
    EXPECT_EQ(Items(sk), (std::vector<void *>{&f, &a, &e, &b, &c, &d}));
    EXPECT_EQ(sk_insert(nullptr, &a, 0), 0);
    EXPECT_EQ(sk_unshift(nullptr, &a), 0);
    sk_free(sk);
}

TEST(StackDelete, RemovesInRangeAndRefusesOutside) {
    int a = 1, b = 2, c = 3;
    SK_STACK *sk = sk_new(nullptr);
    EXPECT_EQ(sk_delete(sk, 0), nullptr);  // empty
    EXPECT_EQ(sk_shift(sk), nullptr);
    EXPECT_EQ(sk_pop(sk), nullptr);
    sk_push(sk, &a);
    sk_push(sk, &b);
    sk_push(sk, &c);
    EXPECT_EQ(sk_delete(sk, -1), nullptr);
    EXPECT_EQ(sk_delete(sk, 3), nullptr);
    EXPECT_EQ(sk->count, 3);
    EXPECT_EQ(sk_delete(sk, 1), &b);
    EXPECT_EQ(Items(sk), (std::vector<void *>{&a, &c}));
    EXPECT_EQ(sk_delete_ptr(sk, &b), nullptr);
    EXPECT_EQ(sk_push(sk, &a), 3);
    EXPECT_EQ(sk_delete_ptr(sk, &a), &a);  // the first of the two
    EXPECT_EQ(Items(sk), (std::vector<void *>{&c, &a}));
    EXPECT_EQ(sk_shift(sk), &c);
    EXPECT_EQ(sk_pop(sk), &a);
    EXPECT_EQ(sk->count, 0);
    EXPECT_EQ(sk->capacity, 4);
    sk_free(sk);
}

TEST(StackNull, NullStackAnswersAsDocumented) {
    EXPECT_EQ(sk_num(nullptr), -1);
    EXPECT_EQ(sk_value(nullptr, 0), nullptr);
    EXPECT_EQ(sk_set(nullptr, 0, nullptr), nullptr);
    EXPECT_EQ(sk_delete(nullptr, 0), nullptr);
    EXPECT_EQ(sk_shift(nullptr), nullptr);
    EXPECT_EQ(sk_pop(nullptr), nullptr);
    EXPECT_EQ(sk_find(nullptr, nullptr), -1);
    sk_zero(nullptr);
    sk_free(nullptr);
    sk_pop_free(nullptr, nullptr);
}

TEST(StackFind, WithoutCompareMatchesPointersFirstFirst) {
    int a = 1, b = 1;
    SK_STACK *sk = sk_new(nullptr);
    EXPECT_EQ(sk_find(sk, &a), -1);
    sk_push(sk, &b);
    sk_push(sk, &a);
    sk_push(sk, nullptr);
    sk_push(sk, &a);
    EXPECT_EQ(sk_find(sk, &a), 1);  // identity, not value
    EXPECT_EQ(sk_find(sk, nullptr), 2);
    EXPECT_EQ(sk->sorted, 0);
    sk_free(sk);
}

TEST(StackFind, WithCompareSortsAndReturnsTheLowestEqualIndex) {
    int v[] = {9, 5, 5, 5, 1, 7};
    int key = 5;
    // Whatever slot bsearch lands on, the lowest of the equal run is
    // returned; vary the run's position by the number of smaller elements.
    for (int smaller = 0; smaller < 6; ++smaller) {
        SK_STACK *sk = sk_new(by_value);
        std::vector<int> vals(smaller, 0);
        vals.insert(vals.end(), {5, 5, 5, 8});
        for (int &x : vals) sk_push(sk, &x);
        EXPECT_EQ(sk_find(sk, &key), smaller);
        EXPECT_EQ(sk->sorted, 1);
        sk_free(sk);
    }
    SK_STACK *sk = sk_new(by_value);
    for (int &x : v) sk_push(sk, &x);
    int missing = 4;
    EXPECT_EQ(sk_find(sk, &missing), -1);
    EXPECT_EQ(sk->sorted, 1);
    std::vector<int> order;
    for (void *p : Items(sk)) order.push_back(*static_cast<int *>(p));
    EXPECT_EQ(order, (std::vector<int>{1, 5, 5, 5, 7, 9}));
    sk_free(sk);
}

TEST(StackFind, NullElementGivesMinusOneButStillSorts) {
    int a = 2, b = 1;
    SK_STACK *sk = sk_new(by_value);
    sk_push(sk, &a);
    sk_push(sk, &b);
    EXPECT_EQ(sk_find(sk, nullptr), -1);
    EXPECT_EQ(sk->sorted, 1);
    EXPECT_EQ(sk->items[0], &b);
    sk_free(sk);
}

TEST(StackSortedFlag, LivesAndDiesByTheRules) {
    int v[] = {3, 1, 2};
    int key = 2;
    SK_STACK *sk = sk_new(by_value);
    for (int &x : v) sk_push(sk, &x);
    sk_sort(sk);
    EXPECT_EQ(sk->sorted, 1);

    EXPECT_EQ(sk_set_cmp_func(sk, by_value), by_value);  // same function: kept
    EXPECT_EQ(sk->sorted, 1);
    sk_set(sk, 0, sk->items[0]);
    EXPECT_EQ(sk->sorted, 1);
    sk_delete(sk, 2);  // removal keeps it, and find does not sort again
    EXPECT_EQ(sk->sorted, 1);
    g_compares = 0;
    EXPECT_EQ(sk_find(sk, &key), 1);
    EXPECT_LE(g_compares, 3) << "sorted again after a removal";

    EXPECT_EQ(sk_set_cmp_func(sk, by_value_reversed), by_value);  // different: cleared
    EXPECT_EQ(sk->sorted, 0);
    sk_sort(sk);
    EXPECT_EQ(sk->sorted, 1);
    sk_push(sk, &v[2]);
    EXPECT_EQ(sk->sorted, 0);  // every insertion clears it

    sk_sort(sk);
    sk_zero(sk);
    EXPECT_EQ(sk->sorted, 1);
    EXPECT_EQ(sk->count, 0);
    sk_zero(sk);  // empty: nothing changes
    EXPECT_EQ(sk->capacity, 4);
    sk_free(sk);
}

std::vector<void *> g_released;
void Release(void *p) { g_released.push_back(p); }

TEST(StackPopFree, ReleasesNonNullElementsInAscendingOrder) {
    int a = 1, b = 2;
    SK_STACK *sk = sk_new(nullptr);
    sk_push(sk, &a);
    sk_push(sk, nullptr);
    sk_push(sk, &b);
    g_released.clear();
    sk_pop_free(sk, Release);
    EXPECT_EQ(g_released, (std::vector<void *>{&a, &b}));
}

TEST(StackDup, CopiesGeometryAndSharesElements) {
    int v[] = {4, 2, 9, 1, 5};
    SK_STACK *sk = sk_new(by_value);
    for (int &x : v) sk_push(sk, &x);
    sk_sort(sk);
    SK_STACK *copy = sk_dup(sk);
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(copy->count, sk->count);
    EXPECT_EQ(copy->capacity, sk->capacity);
    EXPECT_EQ(copy->sorted, 1);
    EXPECT_EQ(copy->compare_fn, by_value);
    EXPECT_EQ(Items(copy), Items(sk));
    EXPECT_NE(copy->items, sk->items);
    EXPECT_EQ(sk_push(copy, &v[0]), 6);  // its array really has the capacity
    EXPECT_EQ(StackProblem(copy), "");
    sk_free(copy);
    sk_free(sk);
}

}  // namespace
