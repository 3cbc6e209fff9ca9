// The character classes and scanners of the configuration syntax.
#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <string>

#include "conf_syntax.h"

namespace {

using namespace nivra::conf;

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
    const ScanCase cases[] = {{"", 0},    {" \t\r\nx", 4}, {"\v", 0},
                              {"\f ", 0}, {"  ", 2},       {" \xa0", 1}};
    for (const ScanCase &c : cases) {
        std::string s = c.text;
        EXPECT_EQ(eat_ws(s.data()) - s.data(), static_cast<long>(c.stop)) << c.text;
    }
}

TEST(Scanners, EatAlphaNumericTakesNameRunsAndBackslashPairs) {
    const ScanCase cases[] = {
        {"a.b-c:d", 5}, {"a\\ b c", 4},       {"ab\\", 3},
        {"x=1", 1},     {"\\=\\]z]", 5},      {"", 0},
        {"[", 0},       {"caf\xc3\xa9 x", 5}, {"!%&*+,-./;?@^|~_9", 17},
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

}  // namespace
