/*
 * stackimp.h - the CONF_VALUE record and the typed stack family
 * sk_CONF_VALUE_*.
 *
 * Compiles as C99 and as C++.  Every wrapper behaves exactly like the generic
 * operation it forwards to (stack.h), but takes and returns CONF_VALUE
 * pointers, and takes compare and release functions typed for CONF_VALUE, so
 * callers need no casts.  The stacks themselves are plain SK_STACKs.
 */
#ifndef NIVRA_STACKIMP_H
#define NIVRA_STACKIMP_H

#include "stack.h"

#ifdef __cplusplus
extern "C" {
#endif

/*
 * One record of the configuration library.  A section record has its own
 * copy of the section name in section, a null name, and its SK_STACK of entry
 * records in value.  An entry record shares its section record's name string
 * in section and owns its name and its expanded value.  The library
 * allocates a record of a context together with the strings it owns, as one
 * heap block, and frees them together: callers never free any of them.
 */
typedef struct CONF_VALUE {
    char *section;
    char *name;
    char *value;
} CONF_VALUE;

/* Compares two elements given the addresses of their slots. */
typedef int (*SK_CONF_VALUE_CMP_FN)(const CONF_VALUE *const *a, const CONF_VALUE *const *b);
typedef void (*SK_CONF_VALUE_FREE_FN)(CONF_VALUE *v);

SK_STACK *sk_CONF_VALUE_new(SK_CONF_VALUE_CMP_FN cmp);
SK_STACK *sk_CONF_VALUE_new_null(void);
void sk_CONF_VALUE_free(SK_STACK *sk);
int sk_CONF_VALUE_num(const SK_STACK *sk);
CONF_VALUE *sk_CONF_VALUE_value(const SK_STACK *sk, int i);
CONF_VALUE *sk_CONF_VALUE_set(SK_STACK *sk, int i, CONF_VALUE *v);
void sk_CONF_VALUE_zero(SK_STACK *sk);
int sk_CONF_VALUE_push(SK_STACK *sk, CONF_VALUE *v);
int sk_CONF_VALUE_unshift(SK_STACK *sk, CONF_VALUE *v);
int sk_CONF_VALUE_find(SK_STACK *sk, CONF_VALUE *v);
CONF_VALUE *sk_CONF_VALUE_delete(SK_STACK *sk, int loc);
CONF_VALUE *sk_CONF_VALUE_delete_ptr(SK_STACK *sk, CONF_VALUE *v);
int sk_CONF_VALUE_insert(SK_STACK *sk, CONF_VALUE *v, int loc);
SK_CONF_VALUE_CMP_FN sk_CONF_VALUE_set_cmp_func(SK_STACK *sk, SK_CONF_VALUE_CMP_FN cmp);
SK_STACK *sk_CONF_VALUE_dup(const SK_STACK *sk);
void sk_CONF_VALUE_pop_free(SK_STACK *sk, SK_CONF_VALUE_FREE_FN release);
CONF_VALUE *sk_CONF_VALUE_shift(SK_STACK *sk);
CONF_VALUE *sk_CONF_VALUE_pop(SK_STACK *sk);
void sk_CONF_VALUE_sort(SK_STACK *sk);

#ifdef __cplusplus
}
#endif

#endif /* NIVRA_STACKIMP_H */
