// Reads a service's settings from a configuration file through the C API,
// with the context owned by a std::unique_ptr.
#include <cstdio>
#include <memory>
#include <string>

#include <nivra/conf.h>

namespace {

using Config = std::unique_ptr<CONF_CTX, decltype(&CONF_free)>;

// The value of (section, name), or fallback when there is no such entry.
std::string get_or(CONF_CTX *ctx, const char *section, const char *name, std::string fallback) {
    const char *v = CONF_get_string(ctx, section, name);
    return v != nullptr ? std::string(v) : fallback;
}

}  // namespace

int main(int argc, char **argv) {
    const char *file = argc > 1 ? argv[1] : "example.conf";
    Config ctx(CONF_new(), &CONF_free);
    if (!ctx) {
        std::fputs("out of memory\n", stderr);
        return 1;
    }
    if (CONF_load(ctx.get(), file) != 0) {
        std::fprintf(stderr, "%s: %s\n", file, CONF_get_last_error_str(ctx.get()));
        return 1;
    }
    const std::string greeting = get_or(ctx.get(), "service", "greeting", "hello");
    const int port = CONF_get_number(ctx.get(), "service", "port");
    std::printf("%s (port %d)\n", greeting.c_str(), port != 0 ? port : 8080);
    return 0;
}
