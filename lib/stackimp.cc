// stackimp.cc - CONF_VALUE-typed forwarders to the generic stack.
//
// The stack stores one generic compare function, so a typed one is kept
// there converted to SK_CMP_FN: both take two pointers to pointer-sized
// slots and return int, and every ABI this library targets calls them alike.
#include "stackimp.h"

namespace {

SK_CMP_FN to_generic(SK_CONF_VALUE_CMP_FN cmp) { return reinterpret_cast<SK_CMP_FN>(cmp); }
SK_CONF_VALUE_CMP_FN to_typed(SK_CMP_FN cmp) { return reinterpret_cast<SK_CONF_VALUE_CMP_FN>(cmp); }
CONF_VALUE *typed(void *p) { return static_cast<CONF_VALUE *>(p); }

}  // namespace

extern "C" {

SK_STACK *sk_CONF_VALUE_new(SK_CONF_VALUE_CMP_FN cmp) { return sk_new(to_generic(cmp)); }
SK_STACK *sk_CONF_VALUE_new_null(void) { return sk_new(nullptr); }
void sk_CONF_VALUE_free(SK_STACK *sk) { sk_free(sk); }
int sk_CONF_VALUE_num(const SK_STACK *sk) { return sk_num(sk); }
CONF_VALUE *sk_CONF_VALUE_value(const SK_STACK *sk, int i) { return typed(sk_value(sk, i)); }
CONF_VALUE *sk_CONF_VALUE_set(SK_STACK *sk, int i, CONF_VALUE *v) {
    return typed(sk_set(sk, i, v));
}
void sk_CONF_VALUE_zero(SK_STACK *sk) { sk_zero(sk); }
int sk_CONF_VALUE_push(SK_STACK *sk, CONF_VALUE *v) { return sk_push(sk, v); }
int sk_CONF_VALUE_unshift(SK_STACK *sk, CONF_VALUE *v) { return sk_unshift(sk, v); }
int sk_CONF_VALUE_find(SK_STACK *sk, CONF_VALUE *v) { return sk_find(sk, v); }
CONF_VALUE *sk_CONF_VALUE_delete(SK_STACK *sk, int loc) { return typed(sk_delete(sk, loc)); }
CONF_VALUE *sk_CONF_VALUE_delete_ptr(SK_STACK *sk, CONF_VALUE *v) {
    return typed(sk_delete_ptr(sk, v));
}
int sk_CONF_VALUE_insert(SK_STACK *sk, CONF_VALUE *v, int loc) { return sk_insert(sk, v, loc); }
SK_CONF_VALUE_CMP_FN sk_CONF_VALUE_set_cmp_func(SK_STACK *sk, SK_CONF_VALUE_CMP_FN cmp) {
    return to_typed(sk_set_cmp_func(sk, to_generic(cmp)));
}
SK_STACK *sk_CONF_VALUE_dup(const SK_STACK *sk) { return sk_dup(sk); }

// Walks the stack itself, as sk_pop_free does, so that the typed release
// function is called with its own type.
void sk_CONF_VALUE_pop_free(SK_STACK *sk, SK_CONF_VALUE_FREE_FN release) {
    if (sk == nullptr) return;
    if (release != nullptr) {
        for (int i = 0; i < sk->count; ++i) {
            if (sk->items[i] != nullptr) release(typed(sk->items[i]));
        }
    }
    sk_free(sk);
}

CONF_VALUE *sk_CONF_VALUE_shift(SK_STACK *sk) { return typed(sk_shift(sk)); }
CONF_VALUE *sk_CONF_VALUE_pop(SK_STACK *sk) { return typed(sk_pop(sk)); }
void sk_CONF_VALUE_sort(SK_STACK *sk) { sk_sort(sk); }

}  // extern "C"
