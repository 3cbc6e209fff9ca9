// nodeprint.cc - command line, banner and report of the nodeprint tool.
#include "nodeprint.h"

#include <climits>
#include <cstdint>
#include <cstdio>

#include <nivra/nivra_utils.h>
#include <nivra/version.h>

namespace nodeprint {
namespace {

constexpr int kFieldLen = SYSID_FIELD_LEN;

bool is_c_space(int c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Accumulates one decimal digit into a magnitude that saturates just above
// the largest magnitude an int can take, so long inputs cannot overflow.
void add_digit(int64_t *magnitude, int digit) {
    constexpr int64_t kCap = static_cast<int64_t>(INT_MAX) + 2;
    if (*magnitude < kCap) *magnitude = *magnitude * 10 + digit;
    if (*magnitude > kCap) *magnitude = kCap;
}

int clamp_to_int(bool negative, int64_t magnitude) {
    const int64_t v = negative ? -magnitude : magnitude;
    if (v > INT_MAX) return INT_MAX;
    if (v < INT_MIN) return INT_MIN;
    return static_cast<int>(v);
}

// "%d" over a text: true and *value when a number starts the text (after
// white space and an optional sign).
bool parse_decimal(const char *text, int *value) {
    const char *p = text;
    while (is_c_space(static_cast<unsigned char>(*p))) ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = (*p++ == '-');
    if (*p < '0' || *p > '9') return false;
    int64_t magnitude = 0;
    for (; *p >= '0' && *p <= '9'; ++p) add_digit(&magnitude, *p - '0');
    *value = clamp_to_int(negative, magnitude);
    return true;
}

// Prints one adapter entry (1-based number k) of the adapter form.
void print_adapter(std::FILE *out, int k, const SYSID_INFO &info) {
    const int e = k - 1;
    const char *id = info.id[e];
    // Each pair prints at most two characters and stops where the id ends, so
    // the offsets never pass its terminator.
    const char *pair[6];
    for (int j = 0, off = 0; j < 6; ++j) {
        pair[j] = id + off;
        for (int step = 0; step < 2 && id[off] != '\0'; ++step) ++off;
    }
    std::fprintf(out,
                 " [%d]  name       : %.*s\n"
                 "      MAC address: %.2s:%.2s:%.2s:%.2s:%.2s:%.2s\n"
                 "      description: %.*s\n\n",
                 k, kFieldLen, info.name[e], pair[0], pair[1], pair[2], pair[3], pair[4], pair[5],
                 kFieldLen, info.desc[e]);
}

void print_system_id(std::FILE *out, const char *id) {
    std::fprintf(out, " your system ID is \"%.*s\"\n\n", kFieldLen, id);
}

int print_adapter_form(const SYSID_INFO &info, std::FILE *in, std::FILE *out) {
    std::fputs("network adapters\n----------------\n", out);
    // A record never holds more than SYSID_MAX_ENTRIES entries; a producer
    // that claims more is not followed outside the record.
    int listed = info.count > 0 ? info.count : 0;
    if (listed > SYSID_MAX_ENTRIES) listed = SYSID_MAX_ENTRIES;
    for (int k = 1; k <= listed; ++k) print_adapter(out, k, info);
    if (info.count == 1) {
        print_system_id(out, info.id[0]);
        return 0;
    }
    std::fprintf(out, " choose [1-%d] : ", listed);
    std::fflush(out);
    int answer = 0;
    if (read_decimal(in, &answer) && answer >= 1 && answer <= listed) {
        print_system_id(out, info.id[answer - 1]);
    } else {
        std::fputs(" you typed an invalid number!\n\n", out);
    }
    return 0;
}

}  // namespace

int trace_level_from_args(int argc, const char *const *argv) {
    int level = 0;
    bool have_number = false;
    if (argc >= 2 && argv[1][0] == '-' && argv[1][1] == 'd') {
        if (argv[1][2] != '\0') have_number = parse_decimal(argv[1] + 2, &level);
        if (!have_number && argc == 3) have_number = parse_decimal(argv[2], &level);
    }
    return have_number ? level : 1;
}

void print_banner(std::FILE *out, const char *version) {
    std::fprintf(out,
                 "nodeprint - reports this host's system identifier\n"
                 "module version: %s\n\n",
                 version);
}

bool read_decimal(std::FILE *in, int *value) {
    int c = std::getc(in);
    while (c != EOF && is_c_space(c)) c = std::getc(in);
    bool negative = false;
    if (c == '+' || c == '-') {
        negative = (c == '-');
        c = std::getc(in);
    }
    if (c < '0' || c > '9') {
        if (c != EOF) std::ungetc(c, in);
        return false;
    }
    int64_t magnitude = 0;
    for (; c >= '0' && c <= '9'; c = std::getc(in)) add_digit(&magnitude, c - '0');
    if (c != EOF) std::ungetc(c, in);
    *value = clamp_to_int(negative, magnitude);
    return true;
}

int print_report(int32_t sysid_result, const SYSID_INFO &info, std::FILE *in, std::FILE *out) {
    if (sysid_result != 0) {
        std::fputs(
            "  ERROR: failed to obtain system identification\n"
            "         please, see your network settings\n\n",
            out);
        return 1;
    }
    if (info.adapter_mode == 0) {
        print_system_id(out, info.id[0]);
        return 0;
    }
    return print_adapter_form(info, in, out);
}

int run(int argc, const char *const *argv, std::FILE *in, std::FILE *out,
        int32_t (*get_sysid)(SYSID_INFO *)) {
    g_lc_trace = trace_level_from_args(argc, argv);
    print_banner(out, Nivra_GetVersion());
    SYSID_INFO info;
    const int32_t result = get_sysid(&info);
    return print_report(result, info, in, out);
}

}  // namespace nodeprint
