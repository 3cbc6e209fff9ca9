/* A plugin (a shared object) with the static library linked into it: loads
 * a configuration file, lists it into a text, and reports an error with its
 * line. */
#include <stdio.h>

#include <nivra/conf.h>

int plugin_describe(const char *file, char *out, size_t size) {
    CONF_CTX *ctx = CONF_new();
    size_t used = 0;
    if (ctx == NULL) return -1;
    if (CONF_load(ctx, file) != 0) {
        snprintf(out, size, "error at line %d: %s", CONF_get_last_error_line(ctx),
                 CONF_get_last_error_str(ctx));
        CONF_free(ctx);
        return 1;
    }
    out[0] = '\0';
    for (int i = 0; i < CONF_get_section_count(ctx) && used < size; ++i) {
        const char *s = CONF_get_section_name(ctx, i);
        used +=
            (size_t)snprintf(out + used, size - used, "[%s]%d", s, CONF_get_entry_count(ctx, s));
    }
    CONF_free(ctx);
    return 0;
}
