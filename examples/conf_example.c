/* Reads a service's settings: built-in defaults from memory, then each file
 * named (or standard input for "-"), later ones overriding earlier ones;
 * lists every section and entry, and reads typed values with defaults. */
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <nivra/conf.h>

static const char kDefaults[] = "[service]\nport = 8080\nverbose = no\n";

/* Loads one source (the defaults for a null file) and returns this load's
 * own result, 0 on success.  A load returns the context's last recorded
 * error, which outlives the load that made it, so the record is cleared
 * first. */
static int load(CONF_CTX *ctx, const char *file) {
    CONF_clear_error(ctx);
    if (file == NULL) return CONF_load_buffer(ctx, kDefaults, sizeof kDefaults - 1);
    return strcmp(file, "-") == 0 ? CONF_load_fp(ctx, stdin) : CONF_load(ctx, file);
}

/* Reports the recorded error as FILE:LINE: TEXT, or FILE: TEXT when it has
 * no line (a file that cannot be opened).  The recorded text ends in
 * ", line N" when it has a line; that part is left out, the number being
 * in front. */
static void report(const char *file, const CONF_CTX *ctx) {
    const char *text = CONF_get_last_error_str(ctx);
    const int line = CONF_get_last_error_line(ctx);
    int length = (int)strlen(text);
    for (const char *p = strstr(text, ", line "); p != NULL; p = strstr(p + 1, ", line "))
        length = (int)(p - text);
    if (line > 0) {
        fprintf(stderr, "%s:%d: %.*s\n", file, line, length, text);
    } else {
        fprintf(stderr, "%s: %.*s\n", file, length, text);
    }
}

static void list(CONF_CTX *ctx) {
    for (int i = 0; i < CONF_get_section_count(ctx); ++i) {
        const char *section = CONF_get_section_name(ctx, i);
        printf("[%s]\n", section);
        for (int j = 0; j < CONF_get_entry_count(ctx, section); ++j) {
            const CONF_VALUE *e = CONF_get_entry(ctx, section, j);
            printf("  %s = %s\n", e->name, e->value);
        }
    }
}

int main(int argc, char **argv) {
    static const char *default_files[] = {"example.conf"};
    const char **files = argc > 1 ? (const char **)argv + 1 : default_files;
    const int file_count = argc > 1 ? argc - 1 : 1;
    CONF_CTX *ctx = CONF_new();
    if (ctx == NULL) {
        fputs("out of memory\n", stderr);
        return 1;
    }
    int failed = load(ctx, NULL) != 0;
    if (failed) report("defaults", ctx);
    for (int i = 0; i < file_count && !failed; ++i) {
        failed = load(ctx, files[i]) != 0;
        if (failed) report(files[i], ctx);
    }
    if (failed) {
        CONF_free(ctx);
        return 1;
    }
    list(ctx);

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
