/* webd: a small service that describes what it reads with a schema.
 *
 * The schema is built in (below) and shipped as the file webd.schema for
 * operators, who check their files with
 *     confcheck --schema webd.schema webd.conf
 * and get a documented reference file from
 *     confcheck --schema webd.schema --sample
 * "webd --print-schema" prints the built-in text, the same as the file.
 *
 * webd reads its configuration file, reports what the schema finds as
 * FILE:LINE: error|warning: TEXT, refuses to start on an error, and reads
 * every setting typed, with the schema's defaults. */
#include <stdio.h>
#include <string.h>

#include <nivra/conf.h>
#include <nivra/conf_schema.h>

static const char webd_schema[] =
    "# Settings of webd, the small web front end.\n"
    "\n"
    "# The listening side.\n"
    "[server]\n"
    "# The TCP port that clients connect to.\n"
    "port = int 1..65535 = 8080\n"
    "# The address to listen on; all of them by default.\n"
    "listen = string = *\n"
    "# How long an idle client may stay connected.\n"
    "idle_timeout = duration 1s..1h = 30s\n"
    "# fast answers from the cache; safe checks every backend first.\n"
    "mode = enum fast safe = safe\n"
    "# The name the service gives itself in its answers and its logs.\n"
    "name = string required\n"
    "# Memory for cached answers.\n"
    "cache_size = size ..4G = 64M\n"
    "# Log every request.\n"
    "debug = bool = off\n"
    "# The worker threads; 0 means one per processor.\n"
    "workers = int 0..256 = 0\n"
    "# Answers slower than this share of the timeout are logged.\n"
    "slow_share = double 0..1 = 0.5\n"
    "# Renamed to port in release 2.\n"
    "old_port = deprecated port\n"
    "\n"
    "# One section per backend, named as the operator likes:\n"
    "# [backend main], [backend spare].\n"
    "[backend *]\n"
    "# Where the backend answers.\n"
    "url = string required\n"
    "# Its share of the requests, against the other backends' weights.\n"
    "weight = int 0..100 = 1\n"
    "# How long to wait for it.\n"
    "timeout = duration 10ms..1min = 2s\n"
    "\n"
    "# Environment for the request handlers: every key is allowed.\n"
    "[env]\n"
    "* = string\n";

/* Prints the findings; returns the number of errors among them. */
static int report(const CONF_FINDINGS *findings, const char *path) {
    int i;
    for (i = 0; i < CONF_findings_count(findings); ++i) {
        const CONF_FINDING *f = CONF_findings_get(findings, i);
        const char *file = f->file != NULL ? f->file : path;
        if (f->line > 0)
            fprintf(stderr, "%s:%d: ", file, f->line);
        else
            fprintf(stderr, "%s: ", file);
        fprintf(stderr, "%s: %s\n", f->severity == CONF_SEVERITY_ERROR ? "error" : "warning",
                f->message);
    }
    return CONF_findings_count_severity(findings, CONF_SEVERITY_ERROR);
}

/* The settings of one backend section. */
static void show_backend(const CONF_SCHEMA *schema, CONF_CTX *ctx, const char *section) {
    const char *url = "";
    int64_t weight = 0, timeout_ms = 0;
    CONF_schema_get_string(schema, ctx, section, "url", &url);
    CONF_schema_get_int64(schema, ctx, section, "weight", &weight);
    CONF_schema_get_duration(schema, ctx, section, "timeout", &timeout_ms);
    printf("%s: %s, weight %lld, timeout %lldms\n", section, url, (long long)weight,
           (long long)timeout_ms);
}

/* Reads every setting (the defaults stand in for what is not set). */
static void show(const CONF_SCHEMA *schema, CONF_CTX *ctx) {
    static const char *const modes[] = {"fast", "safe"};
    const char *name = "", *listen = "";
    int64_t port = 0, idle_ms = 0, workers = 0;
    uint64_t cache = 0;
    double slow_share = 0;
    int mode = 0, debug = 0, i;
    CONF_schema_get_string(schema, ctx, "server", "name", &name);
    CONF_schema_get_string(schema, ctx, "server", "listen", &listen);
    CONF_schema_get_int64(schema, ctx, "server", "port", &port);
    CONF_schema_get_duration(schema, ctx, "server", "idle_timeout", &idle_ms);
    CONF_schema_get_enum(schema, ctx, "server", "mode", &mode);
    CONF_schema_get_size(schema, ctx, "server", "cache_size", &cache);
    CONF_schema_get_bool(schema, ctx, "server", "debug", &debug);
    CONF_schema_get_int64(schema, ctx, "server", "workers", &workers);
    CONF_schema_get_double(schema, ctx, "server", "slow_share", &slow_share);
    printf(
        "webd '%s' on %s:%lld, mode %s, idle %llds, cache %llu bytes, debug %d, "
        "workers %lld, slow share %g\n",
        name, listen, (long long)port, modes[mode], (long long)(idle_ms / 1000),
        (unsigned long long)cache, debug, (long long)workers, slow_share);
    for (i = 0; i < CONF_get_section_count(ctx); ++i) {
        const char *section = CONF_get_section_name(ctx, i);
        if (strncmp(section, "backend ", 8) == 0) show_backend(schema, ctx, section);
    }
}

int main(int argc, char **argv) {
    const char *path = argc > 1 ? argv[1] : "webd.conf";
    CONF_SCHEMA_ERROR error;
    CONF_SCHEMA *schema;
    CONF_CTX *ctx;
    CONF_FINDINGS *findings;
    int status = 0;
    if (strcmp(path, "--print-schema") == 0) {
        fputs(webd_schema, stdout);
        return 0;
    }
    schema = CONF_schema_load_buffer(webd_schema, sizeof webd_schema - 1, &error);
    if (schema == NULL) { /* a fault of the program, not of its operator */
        fprintf(stderr, "webd: built-in schema: %s\n", error.text);
        return 2;
    }
    ctx = CONF_new();
    if (ctx == NULL || CONF_load(ctx, path) != 0) {
        fprintf(stderr, "%s: %s\n", path, ctx != NULL ? CONF_get_last_error_str(ctx) : "no memory");
        status = 1;
    } else if ((findings = CONF_schema_validate(schema, ctx)) == NULL) {
        fputs("webd: no memory\n", stderr);
        status = 1;
    } else {
        status = report(findings, path) > 0 ? 1 : 0;
        CONF_findings_free(findings);
        if (status == 0) show(schema, ctx);
    }
    CONF_free(ctx);
    CONF_schema_free(schema);
    return status;
}
