// conf_describe.h - everything a caller can see of a context, as one text,
// for tests and fuzz targets that compare contexts.
#ifndef NIVRA_TESTS_CONF_DESCRIBE_H
#define NIVRA_TESTS_CONF_DESCRIBE_H

#include <string>

#include "conf.h"

// The error record (number, text, line), then every section in order with
// its entries in order.
inline std::string Describe(CONF_CTX *ctx) {
    std::string out = std::to_string(CONF_get_last_errnum(ctx)) + " " +
                      CONF_get_last_error_str(ctx) + " @" +
                      std::to_string(CONF_get_last_error_line(ctx)) + "\n";
    for (int i = 0; i < CONF_get_section_count(ctx); ++i) {
        const char *s = CONF_get_section_name(ctx, i);
        out += "[" + std::string(s) + "]\n";
        for (int j = 0; j < CONF_get_entry_count(ctx, s); ++j) {
            const CONF_VALUE *e = CONF_get_entry(ctx, s, j);
            out += std::string(e->name) + "=" + e->value + "\n";
        }
    }
    return out;
}

#endif  // NIVRA_TESTS_CONF_DESCRIBE_H
