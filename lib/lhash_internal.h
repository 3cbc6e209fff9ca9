// lhash_internal.h - what the library's own units know of a table beyond
// lhash.h.  Not installed.
#ifndef NIVRA_LHASH_INTERNAL_H
#define NIVRA_LHASH_INTERNAL_H

#include "lhash.h"

namespace nivra {

// A pointer-sized slot that travels with the table for the unit that created
// it (the configuration store keeps its section order there).  Null in a new
// table; the table never reads it, and lh_free does not release what it
// points to.
void **lh_owner_data(LH_TABLE *t);

}  // namespace nivra

#endif  // NIVRA_LHASH_INTERNAL_H
