// Fuzz target: the typed lookups against a straightforward reference.
//
// The input, up to its first NUL, is stored as a value; CONF_get_int64,
// CONF_get_double and CONF_get_bool must answer what strtoll and strtod in
// the "C" locale (with full-consumption, sign, blank and range checks) and a
// case-blind word list answer, and leave *out alone unless they succeed.
#include <locale.h>
#include <strings.h>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "conf_store.h"

namespace {

[[noreturn]] void Fail(const char *what, const std::string &value) {
    std::fprintf(stderr, "%s disagrees on \"%s\"\n", what, value.c_str());
    std::abort();
}

bool StartsPlainly(const std::string &v) {
    return !v.empty() &&
           (v[0] == '+' || v[0] == '-' || v[0] == '.' || (v[0] >= '0' && v[0] <= '9'));
}

int RefInt64(const std::string &v, int64_t *out) {
    if (!StartsPlainly(v) || v[0] == '.') return -1;
    errno = 0;
    char *end = nullptr;
    const long long n = std::strtoll(v.c_str(), &end, 10);
    if (errno == ERANGE || end == v.c_str() || *end != '\0') return -1;
    if (!(end[-1] >= '0' && end[-1] <= '9')) return -1;
    *out = n;
    return 1;
}

int RefDouble(const std::string &v, double *out) {
    if (!StartsPlainly(v) || v.find_first_of("xXiInN") != std::string::npos) return -1;
    static const locale_t c = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    errno = 0;
    char *end = nullptr;
    const double d = strtod_l(v.c_str(), &end, c);
    if (end == v.c_str() || *end != '\0' || !std::isfinite(d)) return -1;
    if (errno == ERANGE && std::fabs(d) > 1.0) return -1;
    // strtod takes "1." and ".5" but needs a digit somewhere, as we do; it
    // also takes "1e" as "1" with "e" left over, which fails above.
    *out = d;
    return 1;
}

int RefBool(const std::string &v, int *out) {
    for (const char *w : {"1", "true", "yes", "on"}) {
        if (strcasecmp(v.c_str(), w) == 0) return *out = 1, 1;
    }
    for (const char *w : {"0", "false", "no", "off"}) {
        if (strcasecmp(v.c_str(), w) == 0) return *out = 0, 1;
    }
    return -1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const auto *text = reinterpret_cast<const char *>(data);
    const std::string value = size == 0 ? std::string() : std::string(text, strnlen(text, size));
    using namespace nivra::conf;
    CONF_CTX *ctx = CONF_new();
    if (ctx == nullptr || table_for(ctx) == nullptr) return CONF_free(ctx), 0;
    CONF_VALUE *entry = make_entry("v", 1, value.data(), value.size());
    CONF_VALUE *section = find_or_add_section(ctx, "s");
    if (section == nullptr || store_entry(ctx, section, entry) != 0) {
        free_entry(entry);
        CONF_free(ctx);
        return 0;
    }

    int64_t n = 7, want_n = 7;
    if (CONF_get_int64(ctx, "s", "v", &n) != RefInt64(value, &want_n) || n != want_n)
        Fail("CONF_get_int64", value);
    double d = 7, want_d = 7;
    if (CONF_get_double(ctx, "s", "v", &d) != RefDouble(value, &want_d) ||
        std::memcmp(&d, &want_d, sizeof d) != 0)
        Fail("CONF_get_double", value);
    int b = 7, want_b = 7;
    if (CONF_get_bool(ctx, "s", "v", &b) != RefBool(value, &want_b) || b != want_b)
        Fail("CONF_get_bool", value);
    if (CONF_get_int64(ctx, "s", "missing", &n) != 0) Fail("a missing entry", value);
    CONF_free(ctx);
    return 0;
}
