// conf_typed.h - the grammars of the typed values, for the library's other
// units (schemas read the same integers, numbers and booleans as the typed
// lookups).  Internal to the library; not installed.
#ifndef NIVRA_CONF_TYPED_H
#define NIVRA_CONF_TYPED_H

#include <cstdint>

namespace nivra::conf {

// The whole text is [+-]digits and fits in int64_t; *out is written only
// on true.
bool parse_int64(const char *s, int64_t *out);

// The text has the shape of a decimal number of conf.h's grammar (sign,
// digits with at most one '.', exponent), whatever its magnitude.
bool is_decimal_number(const char *s);

// The text is a finite decimal number within the range of double, read in
// the "C" locale; *out is written only on true.
bool parse_double(const char *s, double *out);

// One of the spellings of CONF_get_bool; *out is 1 or 0, written only on
// true.
bool parse_bool(const char *s, int *out);

}  // namespace nivra::conf

#endif  // NIVRA_CONF_TYPED_H
