// conf_syntax.cc - the scanners of the configuration syntax.  The class
// table and what each scanner promises are in conf_syntax.h.
#include "conf_syntax.h"

#include <cstring>

namespace nivra::conf {
namespace {

// The bytes at which the comment scan must stop and look; every other byte
// is skipped in runs.  '$' is not one of them for the cut, but the scan
// stops there too, to tell whether the line holds a reference.
constexpr char kCommentStops[] = "#\"'`\\$";
static_assert(stop_set_is(kCommentStops, CC_COMMENT | CC_QUOTE, "\\$"));

}  // namespace

char *scan_quote(char *p) {
    const char q = *p++;
    while (*p != '\0' && *p != q) {
        if (*p == '\\') {
            ++p;
            if (*p == '\0') break;
        }
        ++p;
    }
    return *p == q ? p + 1 : p;
}

char *clear_comments(char *p) {
    bool plain = true;
    return clear_comments(p, &plain);
}

char *clear_comments(char *p, bool *plain) {
    *plain = true;
    for (;;) {
        // Ordinary bytes are skipped in one run; p then stands on a comment
        // character, a quote, a backslash, a '$' or the terminator.
        p += std::strcspn(p, kCommentStops);
        if (*p == '\0') return p;
        if (is_class(*p, CC_COMMENT)) {
            *p = '\0';
            return p;
        }
        *plain = false;
        if (*p == '$') {
            ++p;
        } else if (is_class(*p, CC_QUOTE)) {
            p = scan_quote(p);
        } else {  // a backslash: it and the byte after it, unless that ends the line
            p += (p[1] == '\0') ? 1 : 2;
        }
    }
}

}  // namespace nivra::conf
