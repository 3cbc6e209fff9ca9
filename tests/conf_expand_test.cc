// Value expansion: quotes, escapes, references and their errors.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "conf_entries.h"
#include "conf_expand.h"

namespace {

using namespace nivra::conf;
using testing_conf::ConfContext;
using testing_conf::Put;

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

struct ExpandCase {
    const char *text, *section, *out;
};
const ExpandCase kCases[] = {
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

TEST_F(Expand, QuotesEscapesAndReferences) {
    for (const auto &c : kCases) EXPECT_EQ(Run(c.text, c.section), c.out) << c.text;
}

TEST_F(Expand, ValuesFarLongerThanTheTextGrowTheBuffer) {
    const std::string big(5000, 'z');
    Put(ctx_, "default", "big", big.c_str());
    EXPECT_EQ(Run("<$big|${big}>"), "<" + big + "|" + big + ">");
}

// The room made for a value covers the text after it too, however the
// two compare in length, in a fresh buffer and in one already grown.
TEST_F(Expand, AValueAndTheTextAfterItFitTogether) {
    const std::string tail(1000, 't');
    for (size_t value : {10, 600, 1010, 5000}) {
        Put(ctx_, "default", "v", std::string(value, 'v').c_str());
        const std::string want = std::string(value, 'v') + tail;
        EXPECT_EQ(Run(("${v}" + tail).c_str()), want) << value;
        EXPECT_EQ(Run(("${v}" + tail + "|$v").c_str()), want + "|" + std::string(value, 'v'))
            << value;
    }
}

// A loader expands every value into one buffer: each text, after any other
// (longer, shorter or failed), expands exactly as into a fresh one.
TEST_F(Expand, OneReusedBufferExpandsEachTextAsAFreshOne) {
    Put(ctx_, "default", "big", std::string(5000, 'z').c_str());
    std::vector<const char *> texts = {"<$big|${big}>", "", "x"};
    for (const auto &c : kCases) texts.push_back(c.text);
    ExpandBuffer reused;
    for (int round = 0; round < 2; ++round) {
        for (const char *text : texts) {
            const std::string fresh = Run(text);
            std::string raw = text;
            const int ok = expand_into(ctx_, nullptr, raw.data(), &reused);
            const std::string got = ok ? std::string(reused.data(), reused.size())
                                       : "error " + std::to_string(CONF_get_last_errnum(ctx_));
            EXPECT_EQ(got, fresh) << text;
            if (ok) {
                EXPECT_EQ(reused.data()[reused.size()], '\0') << text;
            }
        }
    }
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
