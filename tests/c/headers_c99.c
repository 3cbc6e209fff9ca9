/* Every public header compiles as strict C99 and can be used from C. */
#include <nivra/version.h>
#include <nivra/nivra_utils.h>
#include <nivra/nivra_sysid.h>
#include <nivra/stack.h>
#include <nivra/stackimp.h>
#include <nivra/lhash.h>
#include <nivra/conf.h>
#include <nivra/conf_live.h>

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
