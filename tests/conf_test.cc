// The configuration store: character classes, scanners, records, lookups,
// numbers, errors, value expansion and release.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "conf_internal.h"
#include "conf_store.h"

namespace {

using namespace nivra::conf;
using testing_conf::Put;

// ---- character classes ----

uint16_t ExpectedClass(int b) {
    if (b >= 0x80) return CC_LOWER;  // high bytes are name characters only
    if (b >= '0' && b <= '9') return CC_DIGIT;
    if (b >= 'A' && b <= 'Z') return CC_UPPER;
    if (b >= 'a' && b <= 'z') return CC_LOWER;
    if (b == 0) return CC_END;
    if (b == '\t' || b == '\n' || b == '\r' || b == ' ') return CC_SPACE;
    if (b == '\\') return CC_ESCAPE;
    if (b == '"' || b == '\'' || b == '`') return CC_QUOTE;
    if (b == '#') return CC_COMMENT;
    if (b == '_') return CC_UNDERSCORE;
    if (std::strchr("!%&*+,-./;?@^|~", b) != nullptr) return CC_PUNCT;
    return 0;
}

TEST(ConfType, EveryByteHasItsClass) {
    for (int b = 0; b < 256; ++b) {
        EXPECT_EQ(CONF_type[b], ExpectedClass(b)) << "byte " << b;
        EXPECT_EQ((CONF_type[b] & CC_NAME) != 0, b >= 0x80 || std::isalnum(b) || b == '_') << b;
    }
    EXPECT_EQ(CC_NAME, 0x107);
    EXPECT_EQ(CC_NAME_PUNCT, 0x307);
}

// ---- scanners ----

struct ScanCase {
    const char *text;
    size_t stop;  // offset where the scanner stops
};

TEST(Scanners, EatWsStopsAtTheFirstNonBlank) {
    const ScanCase cases[] = {{"", 0}, {" \t\r\nx", 4}, {"\v", 0}, {"\f ", 0}, {"  ", 2},
                              {" \xa0", 1}};
    for (const ScanCase &c : cases) {
        std::string s = c.text;
        EXPECT_EQ(eat_ws(s.data()) - s.data(), static_cast<long>(c.stop)) << c.text;
    }
}

TEST(Scanners, EatAlphaNumericTakesNameRunsAndBackslashPairs) {
    const ScanCase cases[] = {
        {"a.b-c:d", 5},    {"a\\ b c", 4},  {"ab\\", 3},    {"x=1", 1},
        {"\\=\\]z]", 5},   {"", 0},         {"[", 0},       {"caf\xc3\xa9 x", 5},
        {"!%&*+,-./;?@^|~_9", 17},
    };
    for (const ScanCase &c : cases) {
        std::string s = c.text;
        EXPECT_EQ(eat_alpha_numeric(s.data()) - s.data(), static_cast<long>(c.stop)) << c.text;
    }
}

TEST(Scanners, ScanQuoteFindsTheMatchingQuote) {
    const ScanCase cases[] = {
        {"'ab\\'c' x", 7}, {"'abc", 4}, {"\"it's\" x", 6}, {"'a\\", 3}, {"``", 2}, {"'a\"b'", 5},
    };
    for (const ScanCase &c : cases) {
        std::string s = c.text;
        EXPECT_EQ(scan_quote(s.data()) - s.data(), static_cast<long>(c.stop)) << c.text;
    }
}

TEST(Scanners, ClearCommentsCutsAtTheFirstUnquotedUnescapedHash) {
    const struct {
        const char *line, *kept;
    } cases[] = {
        {"a = b # c", "a = b "},
        {"a = \"x # y\" # z", "a = \"x # y\" "},
        {"a = b \\# c", "a = b \\# c"},
        {"a = 'unclosed # c", "a = 'unclosed # c"},
        {"# all", ""},
        {"a \\", "a \\"},
        {"v = caf\xc3\xa3 # x", "v = caf\xc3\xa3 "},  // 0xA3 is text, not a comment
    };
    for (const auto &c : cases) {
        std::string s = c.line;
        clear_comments(s.data());
        EXPECT_STREQ(s.c_str(), c.kept) << c.line;
    }
}

// ---- records and lookups ----

TEST(CmpConf, OrdersBySectionThenNameWithSectionRecordsFirst) {
    char s1[] = "s", s2[] = "s", t[] = "t", a[] = "a", b[] = "b";
    CONF_VALUE sec{s1, nullptr, nullptr}, e_a{s1, a, nullptr}, e_a2{s2, a, nullptr},
        e_b{s1, b, nullptr}, other{t, a, nullptr};
    EXPECT_EQ(cmp_conf(&sec, &e_a), -1);
    EXPECT_EQ(cmp_conf(&e_a, &sec), 1);
    EXPECT_EQ(cmp_conf(&sec, &sec), 0);
    EXPECT_EQ(cmp_conf(&e_a, &e_a2), 0);  // distinct but equal section strings
    EXPECT_LT(cmp_conf(&e_a, &e_b), 0);
    EXPECT_LT(cmp_conf(&e_b, &other), 0);
    EXPECT_EQ(hash(&e_a), (lh_strhash("s") << 2) ^ lh_strhash("a"));
    EXPECT_EQ(hash(&sec), lh_strhash("s") << 2);
}

class ConfContext : public ::testing::Test {
  protected:
    void SetUp() override {
        ctx_ = CONF_new();
        ASSERT_NE(ctx_, nullptr);
        setenv("NIVRA_TEST_VAR", "from-env", 1);
        unsetenv("NIVRA_TEST_UNSET");
    }
    void TearDown() override { CONF_free(ctx_); }
    CONF_CTX *ctx_ = nullptr;
};

TEST_F(ConfContext, NewContextAnswersFromTheEnvironment) {
    EXPECT_EQ(CONF_get_last_errnum(ctx_), 0);
    EXPECT_STREQ(CONF_get_last_error_str(ctx_), "");
    EXPECT_STREQ(CONF_get_string(ctx_, "any", "NIVRA_TEST_VAR"), "from-env");
    EXPECT_STREQ(CONF_get_string(ctx_, nullptr, "NIVRA_TEST_VAR"), "from-env");
    EXPECT_EQ(CONF_get_string(ctx_, "any", "NIVRA_TEST_UNSET"), nullptr);
    EXPECT_EQ(CONF_get_string(ctx_, "any", nullptr), nullptr);
    EXPECT_EQ(CONF_get_last_errnum(nullptr), 0);
    EXPECT_EQ(CONF_get_last_error_str(nullptr), nullptr);
}

TEST_F(ConfContext, LookupsFallBackToEnvThenDefault) {
    Put(ctx_, "default", "shared", "d-shared");
    Put(ctx_, "default", "NIVRA_TEST_VAR", "d-var");
    Put(ctx_, "default", "NIVRA_TEST_UNSET", "d-unset");
    Put(ctx_, "s", "own", "s-own");
    Put(ctx_, "ENV", "NIVRA_TEST_OWN", "env-entry");
    EXPECT_STREQ(CONF_get_string(ctx_, "s", "own"), "s-own");
    EXPECT_STREQ(CONF_get_string(ctx_, "s", "shared"), "d-shared");
    EXPECT_EQ(CONF_get_string(ctx_, "s", "missing"), nullptr);
    EXPECT_EQ(CONF_get_string(ctx_, nullptr, "own"), nullptr);  // null: default only
    EXPECT_STREQ(CONF_get_string(ctx_, nullptr, "shared"), "d-shared");
    // "ENV": its own entry, then the environment, then "default".
    EXPECT_STREQ(CONF_get_string(ctx_, "ENV", "NIVRA_TEST_OWN"), "env-entry");
    EXPECT_STREQ(CONF_get_string(ctx_, "ENV", "NIVRA_TEST_VAR"), "from-env");
    EXPECT_STREQ(CONF_get_string(ctx_, "ENV", "NIVRA_TEST_UNSET"), "d-unset");
    // Only that exact section name consults the environment.
    EXPECT_STREQ(CONF_get_string(ctx_, "env", "NIVRA_TEST_VAR"), "d-var");
    EXPECT_STREQ(CONF_get_string(ctx_, "s", "NIVRA_TEST_VAR"), "d-var");
    EXPECT_EQ(CONF_get_string(ctx_, "s", nullptr), nullptr);
}

TEST_F(ConfContext, NumbersTakeLeadingDigitsAndWrap) {
    const struct {
        const char *value;
        int number;
    } cases[] = {{"0042", 42},     {"7 days", 7},        {"x1", 0},      {"", 0},
                 {"-5", 0},        {" 5", 0},            {"12ab", 12},   {"4294967297", 1},
                 {"2147483648", -2147483647 - 1},         {"\xb5", 0}};
    for (const auto &c : cases) {
        Put(ctx_, "n", "v", c.value);
        EXPECT_EQ(CONF_get_number(ctx_, "n", "v"), c.number) << c.value;
    }
    EXPECT_EQ(CONF_get_number(ctx_, "n", "missing"), 0);
}

TEST_F(ConfContext, ErrorsRecordNumberAndText) {
    const struct {
        int number;
        const char *text;
    } cases[] = {{-100, "null context pointer"},
                 {-101, "unable to open configuration file"},
                 {-102, "memory allocation fail"},
                 {-103, "unable to create new section"},
                 {-104, "missing close square bracket"},
                 {-105, "missing equal sign"},
                 {-106, "no close brace"},
                 {-107, "variable has no value"},
                 {-108, "error reading configuration file"},
                 {-109, "variable expansion too long"},
                 {-42, ""},
                 {0, ""}};
    for (const auto &c : cases) {
        CONFerr(ctx_, c.number);
        EXPECT_EQ(CONF_get_last_errnum(ctx_), c.number);
        EXPECT_STREQ(CONF_get_last_error_str(ctx_), c.text);
    }
}

TEST_F(ConfContext, SectionsAreFoundAndADuplicateIsAnInternalFault) {
    EXPECT_EQ(get_section(ctx_, "s"), nullptr);  // no table yet
    Put(ctx_, "s", "a", "1");
    CONF_VALUE *s = get_section(ctx_, "s");
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->name, nullptr);
    EXPECT_EQ(sk_num(reinterpret_cast<SK_STACK *>(s->value)), 1);
    EXPECT_EQ(get_section(ctx_, nullptr), nullptr);
    EXPECT_EQ(get_section(ctx_, "t"), nullptr);
    EXPECT_DEATH(new_section(ctx_->table, "s"), "^internal fault\n$");
}

TEST(ConfFree, NullAndUnloadedContextsAreFine) {
    CONF_free(nullptr);
    CONF_free(CONF_new());
    CONF_lhash_free(nullptr);
}

// ---- value expansion ----

class Expand : public ConfContext {
  protected:
    void SetUp() override {
        ConfContext::SetUp();
        Put(ctx_, "default", "x", "1");
        Put(ctx_, "default", "xy", "XY");
        Put(ctx_, "default", "", "empty-name");
        Put(ctx_, "sec", "x", "sec-x");
        Put(ctx_, "", "e", "from-empty-section");
    }
    // Expands text with the given default section; returns the result or
    // "error <n>".
    std::string Run(const char *text, const char *section = nullptr) {
        std::string raw = text;
        char *target = nullptr;
        const int ok = str_copy(ctx_, section, &target, raw.data());
        EXPECT_EQ(raw, text) << "the raw text must be restored";
        if (!ok) {
            EXPECT_EQ(target, nullptr) << "target touched on failure";
            return "error " + std::to_string(CONF_get_last_errnum(ctx_));
        }
        std::string out = target;
        std::free(target);
        return out;
    }
};

TEST_F(Expand, QuotesEscapesAndReferences) {
    const struct {
        const char *text, *section, *out;
    } cases[] = {
        {"plain text", nullptr, "plain text"},
        {"a\\tb", nullptr, "a\tb"},
        {"\\r\\n\\b\\t\\q\\\\\\$\\\"\\ ", nullptr, "\r\n\b\tq\\$\" "},
        {"ends\\", nullptr, "ends"},
        {"\"a\\nb\"", nullptr, "anb"},  // no translation inside quotes
        {"'one' 'two'", nullptr, "one two"},
        {"'a'$x", nullptr, "a1"},
        {"\"$x\" \\$x $x", nullptr, "$x $x 1"},
        {"'it\"s' \"it's\" `b'q`", nullptr, "it\"s it's b'q"},
        {"'unclosed", nullptr, "unclosed"},
        {"'esc\\", nullptr, "esc"},
        {"${x}y", nullptr, "1y"},
        {"$(x)y", nullptr, "1y"},
        {"$xy", nullptr, "XY"},
        {"$x.y", nullptr, "1.y"},
        {"$x", "sec", "sec-x"},
        {"$x", "nosuch", "1"},
        {"$sec::x", nullptr, "sec-x"},
        {"${sec::x}", nullptr, "sec-x"},
        {"$sec::x::y", nullptr, "sec-x::y"},
        {"$::e", nullptr, "from-empty-section"},
        {"$::x", nullptr, "1"},  // empty section, then default
        {"$ends", "sec", "error -107"},
        {"$ENV::NIVRA_TEST_VAR/data", nullptr, "from-env/data"},
        {"${ENV::NIVRA_TEST_VAR}", nullptr, "from-env"},
        {"$ x", nullptr, "empty-name x"},
        {"a$", nullptr, "aempty-name"},
        {"$nosuch", nullptr, "error -107"},
        {"${x", nullptr, "error -106"},
        {"$(x}", nullptr, "error -106"},
        {"${x }", nullptr, "error -106"},
        {"${ENV::NIVRA_TEST_UNSET}", nullptr, "error -107"},
    };
    for (const auto &c : cases) EXPECT_EQ(Run(c.text, c.section), c.out) << c.text;
}

TEST_F(Expand, ValuesFarLongerThanTheTextGrowTheBuffer) {
    const std::string big(5000, 'z');
    Put(ctx_, "default", "big", big.c_str());
    EXPECT_EQ(Run("<$big|${big}>"), "<" + big + "|" + big + ">");
}

TEST_F(Expand, InsertedBytesAreLimited) {
    const std::string half(kMaxExpansion / 2, 'h');
    Put(ctx_, "default", "half", half.c_str());
    // Exactly the limit is fine, one byte more is not; literal text is free.
    const std::string literal(100000, 'l');
    EXPECT_EQ(Run(("${half}${half}" + literal).c_str()), half + half + literal);
    EXPECT_EQ(Run("$half$half$x"), "error -109");
    EXPECT_STREQ(CONF_get_last_error_str(ctx_), "variable expansion too long");
}

TEST_F(Expand, FailureLeavesTheTargetAlone) {
    std::string raw = "$nosuch";
    char *target = testing_conf::Dup("keep");
    EXPECT_EQ(str_copy(ctx_, nullptr, &target, raw.data()), 0);
    EXPECT_STREQ(target, "keep");
    std::free(target);
}

}  // namespace
