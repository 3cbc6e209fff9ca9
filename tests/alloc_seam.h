// alloc_seam.h - allocation fault injection for tests.
//
// The executables that use it are linked with -Wl,--wrap for malloc, calloc,
// realloc and free, so every allocation made by code linked into them (the
// library included) passes through here.  Allocations made inside shared
// libraries (the C library's own, operator new) are not seen.
#ifndef NIVRA_TESTS_ALLOC_SEAM_H
#define NIVRA_TESTS_ALLOC_SEAM_H

namespace alloc_seam {

// From now on, the n-th allocation (1-based) fails, once; 0 fails none.
// Resets the count of allocations seen.
void FailNth(long n);
// The same, but every allocation from the n-th on fails (memory stays
// exhausted).
void FailFrom(long n);
// Allocations attempted since the last FailNth.
long Attempts();
// Whether the armed failure has been delivered.
bool Fired();
// Live blocks: successful allocations minus frees of non-null pointers.
long Live();

}  // namespace alloc_seam

#endif  // NIVRA_TESTS_ALLOC_SEAM_H
