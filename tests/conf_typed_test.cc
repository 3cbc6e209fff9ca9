// Typed lookups: 64-bit integers, doubles and booleans at their boundaries,
// missing entries versus malformed values, and the untouched default.
#include <gtest/gtest.h>
#include <locale.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "conf.h"
#include "temp_files.h"

namespace {

class Typed : public ::testing::Test {
  protected:
    void SetUp() override { ctx_ = CONF_new(); }
    void TearDown() override { CONF_free(ctx_); }
    // Loads "v = <value>" into a fresh table.
    void Value(const std::string &value) {
        CONF_free(ctx_);
        ctx_ = CONF_new();
        const std::string text = "v = '" + value + "'\n";
        ASSERT_EQ(CONF_load_buffer(ctx_, text.data(), text.size()), 0);
    }
    // Each case's value through get: its result, and *out written only on 1
    // (preset to 7).
    template <typename T, typename Cases>
    void Expect(const Cases &cases, int (*get)(CONF_CTX *, const char *, const char *, T *)) {
        for (const auto &c : cases) {
            Value(c.value);
            T out = 7;
            EXPECT_EQ(get(ctx_, "default", "v", &out), c.result) << c.value;
            EXPECT_EQ(out, static_cast<T>(c.out)) << c.value;
        }
    }
    CONF_CTX *ctx_ = nullptr;
};

TEST_F(Typed, Int64) {
    const struct {
        const char *value;
        int result;
        int64_t out;
    } cases[] = {
        {"0", 1, 0},
        {"-0", 1, 0},
        {"+17", 1, 17},
        {"0042", 1, 42},
        {"9223372036854775807", 1, INT64_MAX},
        {"-9223372036854775808", 1, INT64_MIN},
        {"9223372036854775808", -1, 7},
        {"-9223372036854775809", -1, 7},
        {"99999999999999999999999", -1, 7},
        {" 1", -1, 7},
        {"1 ", -1, 7},
        {"0x10", -1, 7},
        {"1e3", -1, 7},
        {"", -1, 7},
        {"-", -1, 7},
        {"+-1", -1, 7},
        {"\xb1", -1, 7},
    };
    Expect(cases, CONF_get_int64);
}

TEST_F(Typed, Double) {
    const struct {
        const char *value;
        int result;
        double out;
    } cases[] = {
        {"1.5", 1, 1.5},     {"-0", 1, -0.0},         {".5", 1, 0.5},     {"5.", 1, 5.0},
        {"1e308", 1, 1e308}, {"-2.5E-3", 1, -2.5e-3}, {"1e-400", 1, 0.0}, {"1e309", -1, 7},
        {"-1e309", -1, 7},   {"inf", -1, 7},          {"nan", -1, 7},     {"0x10", -1, 7},
        {" 1", -1, 7},       {"1 ", -1, 7},           {"", -1, 7},        {".", -1, 7},
        {"1e", -1, 7},       {"1,5", -1, 7},          {"e5", -1, 7},
    };
    Expect(cases, CONF_get_double);
    Value("-0");  // the sign of zero is kept
    double out = 0;
    EXPECT_EQ(CONF_get_double(ctx_, "default", "v", &out), 1);
    EXPECT_TRUE(std::signbit(out));
}

// Switches LC_NUMERIC to a locale whose decimal point is a comma, compiling
// one into a scratch directory when none is installed; false when neither
// works.
bool UseCommaLocale(TempFiles &files) {
    if (setlocale(LC_NUMERIC, "de_DE.UTF-8") == nullptr) {
        const std::string cmd =
            "localedef -i de_DE -f UTF-8 " + files.dir() + "/de_DE.UTF-8 >/dev/null 2>&1";
        if (std::system(cmd.c_str()) != 0) return false;
        setenv("LOCPATH", files.dir().c_str(), 1);
        if (setlocale(LC_NUMERIC, "de_DE.UTF-8") == nullptr) return false;
    }
    return std::strcmp(localeconv()->decimal_point, ",") == 0;
}

TEST_F(Typed, DoubleIgnoresTheProcessLocale) {
    TempFiles files;
    const bool comma = UseCommaLocale(files);
    if (comma) {
        Value("2.25");
        double out = 0;
        EXPECT_EQ(CONF_get_double(ctx_, "default", "v", &out), 1);
        EXPECT_EQ(out, 2.25);
        Value("2,25");
        EXPECT_EQ(CONF_get_double(ctx_, "default", "v", &out), -1);
    }
    setlocale(LC_NUMERIC, "C");
    std::system(("rm -rf " + files.dir() + "/de_DE.UTF-8").c_str());
    if (!comma) GTEST_SKIP() << "no locale with a decimal comma could be had";
}

TEST_F(Typed, Bool) {
    const struct {
        const char *value;
        int result, out;
    } cases[] = {{"1", 1, 1},  {"true", 1, 1},   {"TRUE", 1, 1}, {"yes", 1, 1}, {"On", 1, 1},
                 {"0", 1, 0},  {"false", 1, 0},  {"No", 1, 0},   {"oFF", 1, 0}, {"", -1, 7},
                 {"2", -1, 7}, {"truee", -1, 7}, {" on", -1, 7}, {"y", -1, 7},  {"\xd4rue", -1, 7}};
    Expect(cases, CONF_get_bool);
}

TEST_F(Typed, MissingEntriesFollowTheStringLookup) {
    const char text[] = "n = 5\n[s]\nflag = off\n";
    ASSERT_EQ(CONF_load_buffer(ctx_, text, sizeof text - 1), 0);
    int64_t n = -1;
    EXPECT_EQ(CONF_get_int64(ctx_, "s", "n", &n), 1);  // falls back to "default"
    EXPECT_EQ(n, 5);
    EXPECT_EQ(CONF_get_int64(ctx_, "s", "missing", &n), 0);
    EXPECT_EQ(n, 5);
    int flag = 1;
    EXPECT_EQ(CONF_get_bool(ctx_, "s", "flag", &flag), 1);
    EXPECT_EQ(flag, 0);
    EXPECT_EQ(CONF_get_bool(ctx_, "s", "n", nullptr), -1);  // validates only
    EXPECT_EQ(CONF_get_double(ctx_, "s", nullptr, nullptr), 0);
    EXPECT_EQ(CONF_get_double(nullptr, "s", "n", nullptr), 0);
    EXPECT_EQ(CONF_get_last_errnum(ctx_), 0);  // nothing recorded
}

}  // namespace
