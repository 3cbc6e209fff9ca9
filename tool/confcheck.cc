// confcheck.cc - loads configuration files into one context and dumps what
// they define, or names the first error with its line.
#include "confcheck.h"

#include <cstring>

#include "conf.h"
#include "conf_store.h"
#include "stackimp.h"
#include "version.h"

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

int by_section_name(const CONF_VALUE *const *a, const CONF_VALUE *const *b) {
    return std::strcmp((*a)->section, (*b)->section);
}

// Prints every section of ctx sorted by name; false when memory ran out.
bool dump(CONF_CTX *ctx, std::FILE *out) {
    using namespace nivra::conf;
    SK_STACK *sections = sk_CONF_VALUE_new(by_section_name);
    if (sections == nullptr) return false;
    for (int i = 0; i < section_count(ctx->table); ++i) {
        if (sk_CONF_VALUE_push(sections, section_at(ctx->table, i)) == 0) {
            sk_CONF_VALUE_free(sections);
            return false;
        }
    }
    sk_CONF_VALUE_sort(sections);
    for (int i = 0; i < sk_CONF_VALUE_num(sections); ++i) {
        CONF_VALUE *s = sk_CONF_VALUE_value(sections, i);
        std::fputc('[', out);
        put_escaped(out, s->section);
        std::fputs("]\n", out);
        for (int j = 0; j < entry_count(s); ++j) {
            CONF_VALUE *e = entry_at(s, j);
            put_escaped(out, e->name);
            std::fputs(" = ", out);
            put_escaped(out, e->value);
            std::fputc('\n', out);
        }
    }
    sk_CONF_VALUE_free(sections);
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
