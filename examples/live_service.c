/* A small service that reloads its configuration file on SIGHUP and when
 * the file changes (an inotify descriptor in its poll loop), logs what
 * changed, and keeps serving with the configuration it has when an edit
 * does not load, saying why.  SIGTERM or SIGINT ends it.
 *
 *     live_service /etc/demo.conf
 *
 * The log goes to standard output, one line an event. */
#define _GNU_SOURCE /* ppoll */
#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>

#include <nivra/conf_live.h>

static volatile sig_atomic_t g_hangup = 0;
static volatile sig_atomic_t g_stop = 0;

static void on_signal(int sig) {
    if (sig == SIGHUP) {
        g_hangup = 1;
    } else {
        g_stop = 1;
    }
}

/* The signals are blocked except while the loop waits in ppoll, so that one
 * that arrives between a check of the flags and the wait ends the wait. */
static int install_signals(sigset_t *wait_mask) {
    struct sigaction sa;
    sigset_t blocked;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_signal;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGHUP);
    sigaddset(&blocked, SIGTERM);
    sigaddset(&blocked, SIGINT);
    if (sigprocmask(SIG_BLOCK, &blocked, wait_mask) != 0) return -1;
    sigdelset(wait_mask, SIGHUP);
    sigdelset(wait_mask, SIGTERM);
    sigdelset(wait_mask, SIGINT);
    return sigaction(SIGHUP, &sa, NULL) | sigaction(SIGTERM, &sa, NULL) |
           sigaction(SIGINT, &sa, NULL);
}

static void log_change(const CONF_CHANGE *c) {
    if (c->kind == CONF_CHANGE_ADDED) {
        printf("+ [%s] %s = %s  (%s:%d)\n", c->section, c->name, c->new_value,
               c->file ? c->file : "-", c->line);
    } else if (c->kind == CONF_CHANGE_REMOVED) {
        printf("- [%s] %s\n", c->section, c->name);
    } else {
        printf("~ [%s] %s: %s -> %s  (%s:%d)\n", c->section, c->name, c->old_value, c->new_value,
               c->file ? c->file : "-", c->line);
    }
}

/* What the service does with its configuration: here, say where it serves.
 * A real one would hand the snapshot to its workers; every thread acquires
 * its own. */
static void serve(CONF_LIVE *live) {
    CONF_CTX *conf = CONF_live_acquire(live);
    int64_t port = 8080;
    CONF_get_int64(conf, "service", "port", &port);
    printf("serving on port %lld\n", (long long)port);
    CONF_live_release(live, conf);
}

/* Reloads, logs the outcome, and returns whether a configuration is in
 * use. */
static int reload(CONF_LIVE *live, const char *why) {
    const int n = CONF_live_reload(live);
    if (n < 0) {
        const char *file = NULL;
        int line = 0;
        const char *text = CONF_live_last_error(live, &file, &line);
        printf("reload (%s) failed: %s:%d: %s; keeping the configuration in use\n", why,
               file ? file : "-", line, text);
    } else {
        size_t count = 0;
        const CONF_CHANGE *changes = CONF_live_changes(live, &count);
        printf("reload (%s): %d change%s\n", why, n, n == 1 ? "" : "s");
        for (size_t i = 0; i < count; ++i) log_change(&changes[i]);
    }
    if (CONF_live_generation(live) == 0) return 0;
    serve(live);
    return 1;
}

static int run(CONF_LIVE *live) {
    sigset_t wait_mask;
    if (install_signals(&wait_mask) != 0) return perror("signals"), 1;
    const int fd = CONF_live_watch_fd(live);
    if (fd < 0) perror("inotify (reloading on SIGHUP only)");
    if (!reload(live, "start")) return 1;
    fflush(stdout);
    while (!g_stop) {
        struct pollfd p = {fd, POLLIN, 0};
        const int ready = ppoll(&p, fd >= 0 ? 1 : 0, NULL, &wait_mask);
        if (ready < 0 && errno != EINTR) return perror("ppoll"), 1;
        if (g_hangup) {
            g_hangup = 0;
            reload(live, "SIGHUP");
        } else if (ready > 0 && CONF_live_changed(live) == 1) {
            reload(live, "file changed");
        }
        fflush(stdout);
    }
    printf("stopping\n");
    return 0;
}

int main(int argc, char **argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: %s CONFIG-FILE\n", argv[0]);
        return 2;
    }
    CONF_LIVE *live = CONF_live_new_file(argv[1]);
    if (live == NULL) return fputs("out of memory\n", stderr), 1;
    const int status = run(live);
    CONF_live_free(live);
    return status;
}
