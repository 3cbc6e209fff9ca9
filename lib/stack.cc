// stack.cc - the growable pointer stack.  The invariants are listed in stack.h.
#include "stack.h"
#include "stack_internal.h"

#include <cassert>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int kInitialCapacity = 4;
// Largest capacity that can still double without overflowing an int.
constexpr int kMaxDoublable = INT_MAX / 2;
static_assert(kMaxDoublable * 2 <= INT_MAX);

// Doubles the array when an insertion would otherwise fill its last slot.
// On failure the stack is untouched.
bool reserve_for_insert(SK_STACK *sk) {
    if (sk->capacity > sk->count + 1) return true;
    if (sk->capacity > kMaxDoublable) return false;
    const int doubled = sk->capacity * 2;
    void *grown = std::realloc(sk->items, sizeof(void *) * static_cast<size_t>(doubled));
    if (grown == nullptr) return false;
    sk->items = static_cast<void **>(grown);
    sk->capacity = doubled;  // committed only once the allocation succeeded
    return true;
}

}  // namespace

bool nivra::sk_init(SK_STACK *sk, SK_CMP_FN cmp) {
    auto **items = static_cast<void **>(std::malloc(sizeof(void *) * kInitialCapacity));
    if (items == nullptr) return false;
    for (int i = 0; i < kInitialCapacity; ++i) items[i] = nullptr;
    sk->items = items;
    sk->count = 0;
    sk->sorted = 0;
    sk->capacity = kInitialCapacity;
    sk->compare_fn = cmp;
    return true;
}

void nivra::sk_release(SK_STACK *sk) { std::free(sk->items); }

extern "C" {

SK_STACK *sk_new(SK_CMP_FN cmp) {
    auto *sk = static_cast<SK_STACK *>(std::malloc(sizeof(SK_STACK)));
    if (sk == nullptr) return nullptr;
    if (!nivra::sk_init(sk, cmp)) {
        std::free(sk);
        return nullptr;
    }
    return sk;
}

void sk_free(SK_STACK *sk) {
    if (sk == nullptr) return;
    std::free(sk->items);
    std::free(sk);
}

void sk_pop_free(SK_STACK *sk, void (*release)(void *)) {
    if (sk == nullptr) return;
    if (release != nullptr) {
        for (int i = 0; i < sk->count; ++i) {
            if (sk->items[i] != nullptr) release(sk->items[i]);
        }
    }
    sk_free(sk);
}

int sk_num(const SK_STACK *sk) { return sk == nullptr ? -1 : sk->count; }

void *sk_value(const SK_STACK *sk, int i) {
    if (sk == nullptr) return nullptr;
    assert(i >= 0 && i < sk->count);
    return sk->items[i];
}

void *sk_set(SK_STACK *sk, int i, void *p) {
    if (sk == nullptr) return nullptr;
    assert(i >= 0 && i < sk->count);
    sk->items[i] = p;
    return p;
}

int sk_insert(SK_STACK *sk, void *p, int loc) {
    if (sk == nullptr) return 0;
    if (!reserve_for_insert(sk)) return 0;
    if (loc >= 0 && loc < sk->count) {
        std::memmove(sk->items + loc + 1, sk->items + loc,
                     sizeof(void *) * static_cast<size_t>(sk->count - loc));
        sk->items[loc] = p;
    } else {
        sk->items[sk->count] = p;
    }
    sk->sorted = 0;
    return ++sk->count;
}

int sk_push(SK_STACK *sk, void *p) { return sk_insert(sk, p, sk->count); }

int sk_unshift(SK_STACK *sk, void *p) { return sk_insert(sk, p, 0); }

void *sk_delete(SK_STACK *sk, int loc) {
    if (sk == nullptr || sk->count == 0 || loc < 0 || loc >= sk->count) return nullptr;
    void *taken = sk->items[loc];
    std::memmove(sk->items + loc, sk->items + loc + 1,
                 sizeof(void *) * static_cast<size_t>(sk->count - 1 - loc));
    --sk->count;
    return taken;
}

void *sk_delete_ptr(SK_STACK *sk, void *p) {
    for (int i = 0; i < sk->count; ++i) {
        if (sk->items[i] == p) return sk_delete(sk, i);
    }
    return nullptr;
}

void *sk_shift(SK_STACK *sk) {
    if (sk == nullptr || sk->count < 1) return nullptr;
    return sk_delete(sk, 0);
}

void *sk_pop(SK_STACK *sk) {
    if (sk == nullptr || sk->count < 1) return nullptr;
    return sk_delete(sk, sk->count - 1);
}

void sk_zero(SK_STACK *sk) {
    if (sk == nullptr || sk->count <= 0) return;
    for (int i = 0; i < sk->count; ++i) sk->items[i] = nullptr;
    sk->count = 0;
}

void sk_sort(SK_STACK *sk) {
    // Without a compare function there is no order to establish.
    if (sk->sorted || sk->compare_fn == nullptr) return;
    if (sk->count > 1) {
        std::qsort(sk->items, static_cast<size_t>(sk->count), sizeof(void *), sk->compare_fn);
    }
    sk->sorted = 1;
}

int sk_find(SK_STACK *sk, void *p) {
    if (sk == nullptr) return -1;
    if (sk->compare_fn == nullptr) {
        for (int i = 0; i < sk->count; ++i) {
            if (sk->items[i] == p) return i;
        }
        return -1;
    }
    sk_sort(sk);
    if (p == nullptr || sk->count == 0) return -1;
    void *const key = p;
    auto *hit = static_cast<void **>(std::bsearch(&key, sk->items, static_cast<size_t>(sk->count),
                                                  sizeof(void *), sk->compare_fn));
    if (hit == nullptr) return -1;
    // bsearch may land on any of several equal elements; step back to the
    // lowest one.
    int i = static_cast<int>(hit - sk->items);
    while (i > 0 && sk->compare_fn(&sk->items[i - 1], &key) >= 0) --i;
    return i;
}

SK_CMP_FN sk_set_cmp_func(SK_STACK *sk, SK_CMP_FN cmp) {
    const SK_CMP_FN previous = sk->compare_fn;
    if (cmp != previous) sk->sorted = 0;
    sk->compare_fn = cmp;
    return previous;
}

SK_STACK *sk_dup(const SK_STACK *sk) {
    SK_STACK *copy = sk_new(sk->compare_fn);
    if (copy == nullptr) return nullptr;
    void *grown = std::realloc(copy->items, sizeof(void *) * static_cast<size_t>(sk->capacity));
    if (grown == nullptr) {
        sk_free(copy);
        return nullptr;
    }
    copy->items = static_cast<void **>(grown);
    if (sk->count > 0) {
        std::memcpy(copy->items, sk->items, sizeof(void *) * static_cast<size_t>(sk->count));
    }
    copy->count = sk->count;
    copy->sorted = sk->sorted;
    copy->capacity = sk->capacity;
    copy->compare_fn = sk->compare_fn;
    return copy;
}

}  // extern "C"
