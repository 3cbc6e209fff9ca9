/* A program linked against libnivra.so.1 and libclash.so: prints whose code
 * each of its calls reached, on one line. */
#include <stdio.h>

#include <nivra/lhash.h>
#include <nivra/stack.h>

int clash_probe(void);
const void *clash_mark(void);

static const char *stack_maker(void) {
    static char item;
    SK_STACK *sk = sk_new(NULL);
    if ((const void *)sk == clash_mark()) return "clash";
    const int works = sk != NULL && sk_push(sk, &item) == 1 && sk_value(sk, 0) == &item;
    sk_free(sk);
    return works ? "kit" : "other";
}

int main(void) {
    const unsigned hash = lh_strhash("abc");
    printf("sk_new=%s lh_strhash=%s clash_probe=%s\n", stack_maker(),
           hash == 0xF547AD32u   ? "kit"
           : hash == 0xC1A5C1A5u ? "clash"
                                 : "other",
           clash_probe() ? "clash" : "not clash");
    return 0;
}
