/* Another library, libclash.so, that defines two of the kit's names for its
 * own purposes: its sk_new and lh_strhash return marks that no call to the
 * kit can return.  clash_probe calls them as any code of a shared library
 * calls its own exported functions: through the dynamic linker, which may
 * bind the calls to another library's definition.
 *
 * Built with CLASH_FIRST_RELEASE, it is the release a program was linked
 * against: clash_probe and clash_mark alone. */
#include <stddef.h>
#include <stdint.h>

#define CLASH_HASH 0xC1A5C1A5u

static const char mark = 'c';

/* What this library's sk_new returns. */
const void *clash_mark(void) { return &mark; }

#ifdef CLASH_FIRST_RELEASE
int clash_probe(void) { return 0; }
#else
void *sk_new(void *compare) {
    (void)compare;
    return (void *)&mark;
}

uint32_t lh_strhash(const char *s) {
    (void)s;
    return CLASH_HASH;
}

/* 1 when both calls reached this library's own definitions. */
int clash_probe(void) { return sk_new(NULL) == &mark && lh_strhash("abc") == CLASH_HASH; }
#endif
