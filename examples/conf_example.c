/* Reads a service's settings from a configuration file, with fallbacks. */
#include <stdio.h>

#include <nivra/conf.h>

int main(int argc, char **argv) {
    const char *file = argc > 1 ? argv[1] : "example.conf";
    CONF_CTX *ctx = CONF_new();
    if (ctx == NULL) {
        fputs("out of memory\n", stderr);
        return 1;
    }
    /* A fresh context returns 0 exactly when the load succeeded. */
    if (CONF_load(ctx, file) != 0) {
        /* The text carries the line number, e.g. "missing equal sign, line 4". */
        fprintf(stderr, "%s: %s\n", file, CONF_get_last_error_str(ctx));
        CONF_free(ctx);
        return 1;
    }
    const char *name = CONF_get_string(ctx, "service", "name");
    int port = CONF_get_number(ctx, "service", "port");
    if (name == NULL) name = "unnamed";
    if (port == 0) port = 8080;
    printf("service '%s' on port %d\n", name, port);
    CONF_free(ctx);
    return 0;
}
