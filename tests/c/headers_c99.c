/* Every public header compiles as strict C99 and can be used from C. */
#include <nivra/version.h>
#include <nivra/nivra_utils.h>
#include <nivra/nivra_sysid.h>
#include <nivra/stack.h>
#include <nivra/stackimp.h>
#include <nivra/lhash.h>
#include <nivra/conf.h>
#include <nivra/conf_live.h>
#include <nivra/conf_schema.h>

#include <stdio.h>
#include <string.h>

static int by_name(const CONF_VALUE *const *a, const CONF_VALUE *const *b) {
    return strcmp((*a)->name, (*b)->name);
}

int main(void) {
    CONF_VALUE v = {0, 0, 0};
    SK_STACK *sk = sk_CONF_VALUE_new(by_name);
    LH_TABLE *t = lh_new(0, 0);
    CONF_CTX *ctx = CONF_new();
    int ok = sk != 0 && t != 0 && ctx != 0 && sk_CONF_VALUE_push(sk, &v) == 1 &&
             sk_CONF_VALUE_value(sk, 0) == &v &&
             strcmp(Nivra_GetVersion(), NIVRA_VERSION_TEXT) == 0;
    {
        static const char schema_text[] = "[server]\nport = int 1..65535 = 8080\n";
        CONF_SCHEMA_ERROR error;
        CONF_SCHEMA *schema = CONF_schema_load_buffer(schema_text, strlen(schema_text), &error);
        CONF_FINDINGS *findings = schema != 0 ? CONF_schema_validate(schema, ctx) : 0;
        int64_t port = 0;
        ok = ok && findings != 0 && CONF_findings_count(findings) == 0 &&
             CONF_schema_get_int64(schema, ctx, "server", "port", &port) == 0 && port == 8080;
        CONF_findings_free(findings);
        CONF_schema_free(schema);
    }
    sk_CONF_VALUE_free(sk);
    lh_free(t);
    CONF_free(ctx);
    {
        CONF_LIVE *live = CONF_live_new_file("/nonexistent/service.conf");
        ok = ok && live != 0 && CONF_live_reload(live) == -101 && CONF_live_acquire(live) == 0;
        CONF_live_free(live);
    }
    puts(ok ? "ok" : "failed");
    return ok ? 0 : 1;
}
