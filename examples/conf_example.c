/* Reads a service's settings: built-in defaults from memory, then a file
 * (or standard input for "-"); lists every section and entry, and reads
 * typed values with defaults. */
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <nivra/conf.h>

static const char kDefaults[] = "[service]\nport = 8080\nverbose = no\n";

int main(int argc, char **argv) {
    const char *file = argc > 1 ? argv[1] : "example.conf";
    CONF_CTX *ctx = CONF_new();
    if (ctx == NULL) {
        fputs("out of memory\n", stderr);
        return 1;
    }
    /* A fresh context returns 0 exactly when each load succeeded. */
    int rc = CONF_load_buffer(ctx, kDefaults, sizeof kDefaults - 1);
    if (rc == 0) rc = strcmp(file, "-") == 0 ? CONF_load_fp(ctx, stdin) : CONF_load(ctx, file);
    if (rc != 0) {
        /* The text carries the line number, e.g. "missing equal sign, line 4". */
        fprintf(stderr, "%s: %s (line %d)\n", file, CONF_get_last_error_str(ctx),
                CONF_get_last_error_line(ctx));
        CONF_free(ctx);
        return 1;
    }

    for (int i = 0; i < CONF_get_section_count(ctx); ++i) {
        const char *section = CONF_get_section_name(ctx, i);
        printf("[%s]\n", section);
        for (int j = 0; j < CONF_get_entry_count(ctx, section); ++j) {
            const CONF_VALUE *e = CONF_get_entry(ctx, section, j);
            printf("  %s = %s\n", e->name, e->value);
        }
    }

    int64_t port = 80; /* each default stays unless the value is valid */
    int verbose = 0;
    double ratio = 1.0;
    if (CONF_get_int64(ctx, "service", "port", &port) < 0) fputs("port is not a number\n", stderr);
    CONF_get_bool(ctx, "service", "verbose", &verbose);
    CONF_get_double(ctx, "service", "ratio", &ratio);
    const char *name = CONF_get_string(ctx, "service", "name");
    printf("service '%s' on port %lld, verbose %d, ratio %.2f\n", name != NULL ? name : "unnamed",
           (long long)port, verbose, ratio);
    CONF_free(ctx);
    return 0;
}
