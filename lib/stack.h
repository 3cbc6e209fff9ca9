/*
 * stack.h - SK_STACK, a growable array of opaque element pointers.
 *
 * Compiles as C99 and as C++.  A stack keeps its elements in insertion order,
 * grows by doubling and can be sorted and searched with a caller-supplied
 * compare function.  It never owns its elements: only sk_pop_free hands them
 * to a release function of the caller's.  One stack is used by one thread at
 * a time; nothing here locks, prints or throws.
 *
 * Invariants, after every operation:
 *   0 <= count < capacity      (one slot is always free: the array grows
 *                               before an insertion would fill the last one)
 *   capacity is 4 at creation and only ever doubles; nothing shrinks it
 *   slots count and above hold no meaning
 *   sorted is 1 only while items[0..count-1] are in compare_fn order: set by
 *   sk_sort (and sk_find through it), cleared by every insertion and by
 *   installing a different compare function, kept by removals, sk_set and
 *   sk_zero
 */
#ifndef NIVRA_STACK_H
#define NIVRA_STACK_H

#ifdef __cplusplus
extern "C" {
#endif

/* Three-way compare of two elements, given the addresses of the two slots
 * that hold them (the qsort/bsearch convention). */
typedef int (*SK_CMP_FN)(const void *a, const void *b);

typedef struct SK_STACK {
    int count;            /* elements items[0] .. items[count-1] */
    void **items;         /* capacity slots, owned by the stack */
    int sorted;           /* 1 while known to be in compare_fn order */
    int capacity;         /* slots allocated */
    SK_CMP_FN compare_fn; /* used by sk_sort and sk_find; may be null */
} SK_STACK;

/* A new empty stack (capacity 4, the four slots null, not sorted) with the
 * given compare function, which may be null.  Null when memory runs out. */
SK_STACK *sk_new(SK_CMP_FN cmp);

/* Releases the array and the record; the elements are not touched.  A null
 * stack is ignored. */
void sk_free(SK_STACK *sk);

/* Calls release on every non-null element in ascending index order (count is
 * re-read after each call), then sk_free.  A null stack is ignored; a null
 * release only frees the stack. */
void sk_pop_free(SK_STACK *sk, void (*release)(void *));

/* count, or -1 for a null stack. */
int sk_num(const SK_STACK *sk);

/* items[i], or null for a null stack.  The index is not checked (asserted in
 * debug builds): the caller keeps 0 <= i < count. */
void *sk_value(const SK_STACK *sk, int i);

/* Stores p in items[i] and returns p (null for a null stack).  The index is
 * not checked (asserted in debug builds); sorted is unchanged. */
void *sk_set(SK_STACK *sk, int i, void *p);

/* Inserts p at loc, moving the elements at loc and above up by one; a loc
 * below 0 or at or past count appends.  Returns the new count (>= 1), or 0
 * when the stack is null or its array cannot be grown (memory, or a capacity
 * that cannot double); on 0 the stack is unchanged.  Clears sorted. */
int sk_insert(SK_STACK *sk, void *p, int loc);

/* sk_insert at count (append).  Requires a stack. */
int sk_push(SK_STACK *sk, void *p);

/* sk_insert at 0 (prepend).  0 for a null stack. */
int sk_unshift(SK_STACK *sk, void *p);

/* Removes and returns items[loc], moving the later elements down.  Null, and
 * nothing changes, for a null or empty stack or a loc outside 0 .. count-1.
 * sorted and capacity are kept. */
void *sk_delete(SK_STACK *sk, int loc);

/* Removes the first slot holding exactly the pointer p (no compare function
 * is called) and returns p; null when no slot holds it.  Requires a stack. */
void *sk_delete_ptr(SK_STACK *sk, void *p);

/* Removes and returns the first / the last element; null for a null or empty
 * stack. */
void *sk_shift(SK_STACK *sk);
void *sk_pop(SK_STACK *sk);

/* Empties a non-null, non-empty stack: slots 0 .. count-1 become null and
 * count 0.  capacity, compare_fn and sorted stay. */
void sk_zero(SK_STACK *sk);

/* The index of p, or -1 (also for a null stack).  Without a compare function:
 * the first slot holding the pointer p (null is found like any pointer).
 * With one: the stack is sorted first (so the order may change and sorted
 * becomes 1), a null p then gives -1, and otherwise the result is the lowest
 * index among the elements that compare equal to p. */
int sk_find(SK_STACK *sk, void *p);

/* Sorts the elements with compare_fn (qsort) unless sorted is already 1, then
 * sets sorted.  Requires a stack with a compare function. */
void sk_sort(SK_STACK *sk);

/* Installs cmp (may be null) and returns the previous compare function;
 * clears sorted only when cmp differs from the current one.  Requires a
 * stack. */
SK_CMP_FN sk_set_cmp_func(SK_STACK *sk, SK_CMP_FN cmp);

/* A new stack with the same capacity, elements (shared, not copied), count,
 * sorted and compare_fn.  Null when memory runs out, with nothing left
 * allocated.  Requires a stack. */
SK_STACK *sk_dup(const SK_STACK *sk);

#ifdef __cplusplus
}
#endif

#endif /* NIVRA_STACK_H */
