// confcheck.cc - loads configuration files into one context and dumps what
// they define, or names the first error with its line.
#include "confcheck.h"

#include <cstring>

#include <nivra/conf.h>
#include <nivra/stack.h>
#include <nivra/version.h>

namespace confcheck {
namespace {

constexpr char kUsage[] =
    "Usage: confcheck [--help] [--version] [--] FILE...\n"
    "Load the configuration FILEs in order into one context.  When all of them\n"
    "load, print every section, sorted by name, as a [name] line followed by\n"
    "its entries as 'name = value' lines in stored order, and exit 0.  Bytes\n"
    "outside printable ASCII, and the backslash, are shown as \\xHH.\n"
    "Otherwise print the first error with its file and line and exit 1.\n";

// Writes text with bytes outside printable ASCII, and the backslash, as \xHH,
// so that every line of the dump is one line and can be read back by eye.
void put_escaped(std::FILE *out, const char *text) {
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(text); *p != 0; ++p) {
        if (*p < 0x20 || *p > 0x7E || *p == '\\') {
            std::fprintf(out, "\\x%02X", *p);
        } else {
            std::fputc(*p, out);
        }
    }
}

int by_text(const void *a, const void *b) {
    return std::strcmp(*static_cast<const char *const *>(a), *static_cast<const char *const *>(b));
}

void put_entries(CONF_CTX *ctx, const char *section, std::FILE *out) {
    for (int j = 0; j < CONF_get_entry_count(ctx, section); ++j) {
        const CONF_VALUE *e = CONF_get_entry(ctx, section, j);
        put_escaped(out, e->name);
        std::fputs(" = ", out);
        put_escaped(out, e->value);
        std::fputc('\n', out);
    }
}

// Prints every section of ctx sorted by name; false when memory ran out.
bool dump(CONF_CTX *ctx, std::FILE *out) {
    SK_STACK *names = sk_new(by_text);
    if (names == nullptr) return false;
    for (int i = 0; i < CONF_get_section_count(ctx); ++i) {
        if (sk_push(names, const_cast<char *>(CONF_get_section_name(ctx, i))) == 0) {
            sk_free(names);
            return false;
        }
    }
    sk_sort(names);
    for (int i = 0; i < sk_num(names); ++i) {
        const auto *section = static_cast<const char *>(sk_value(names, i));
        std::fputc('[', out);
        put_escaped(out, section);
        std::fputs("]\n", out);
        put_entries(ctx, section, out);
    }
    sk_free(names);
    return true;
}

}  // namespace

int run(int argc, const char *const *argv, std::FILE *out, std::FILE *err) {
    int first = 1;
    for (; first < argc && argv[first][0] == '-' && argv[first][1] != '\0'; ++first) {
        const char *opt = argv[first];
        if (std::strcmp(opt, "--") == 0) {
            ++first;
            break;
        }
        if (std::strcmp(opt, "--help") == 0 || std::strcmp(opt, "-h") == 0) {
            std::fputs(kUsage, out);
            return 0;
        }
        if (std::strcmp(opt, "--version") == 0) {
            std::fprintf(out, "confcheck (Nivra support kit) %s\n", Nivra_GetVersion());
            return 0;
        }
        std::fprintf(err, "confcheck: unknown option '%s'\nTry 'confcheck --help'.\n", opt);
        return 2;
    }
    if (first >= argc) {
        std::fputs("confcheck: no configuration file given\nTry 'confcheck --help'.\n", err);
        return 2;
    }
    CONF_CTX *ctx = CONF_new();
    if (ctx == nullptr) {
        std::fputs("confcheck: out of memory\n", err);
        return 1;
    }
    int status = 0;
    for (int i = first; i < argc; ++i) {
        // The context is new and loading stops at the first failure, so a
        // non-zero result always belongs to this file.
        if (CONF_load(ctx, argv[i]) != 0) {
            std::fprintf(err, "confcheck: %s: %s\n", argv[i], CONF_get_last_error_str(ctx));
            status = 1;
            break;
        }
    }
    if (status == 0 && !dump(ctx, out)) {
        std::fputs("confcheck: out of memory\n", err);
        status = 1;
    }
    CONF_free(ctx);
    return status;
}

}  // namespace confcheck
