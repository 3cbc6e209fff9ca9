// stack_internal.h - what the library's own units know of a stack beyond
// stack.h.  Not installed.
#ifndef NIVRA_STACK_INTERNAL_H
#define NIVRA_STACK_INTERNAL_H

#include "stack.h"

namespace nivra {

// Makes *sk the empty stack that sk_new(cmp) returns (capacity 4, the four
// slots null, not sorted) in a record the caller owns, so that a record can
// share a block with the caller's own.  False when memory runs out for the
// slots; *sk is then untouched.
bool sk_init(SK_STACK *sk, SK_CMP_FN cmp);

// Releases the slots of a stack that sk_init made; the record stays the
// caller's.  Such a stack must never reach sk_free.
void sk_release(SK_STACK *sk);

}  // namespace nivra

#endif  // NIVRA_STACK_INTERNAL_H
