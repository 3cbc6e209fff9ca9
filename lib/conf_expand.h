// conf_expand.h - expansion of values and section names: quotes, escapes
// and variable references.  Internal to the library; not installed.
#ifndef NIVRA_CONF_EXPAND_H
#define NIVRA_CONF_EXPAND_H

#include <cstddef>

#include "conf.h"

namespace nivra::conf {

// The most bytes that the references of one text may insert.
inline constexpr size_t kMaxExpansion = 65536;

// What an expansion met that a checker may want to point out; none of it
// is an error.
struct ExpandNotes {
    char control_escape = '\0';   // the letter of the first unquoted \r, \n, \b or \t
    bool unclosed_quote = false;  // a quoted stretch ran to the end of the text
};

// Expands text (quotes, escapes, variable references resolved through
// CONF_get_string with section as the default section) into a new string.
// On success frees *target, stores the new string there and returns 1.  On
// failure records the error in ctx (-102, -106, -107 or -109), frees the
// partial result, leaves *target untouched and returns 0.  text is modified
// during the call and restored before it returns.  When notes is not null it
// receives what the expansion met (also on failure, as far as it got).
int str_copy(CONF_CTX *ctx, const char *section, char **target, char *text,
             ExpandNotes *notes = nullptr);

}  // namespace nivra::conf

#endif  // NIVRA_CONF_EXPAND_H
