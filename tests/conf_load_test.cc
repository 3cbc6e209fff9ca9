// Loading configuration files: byte-exact files written by the tests.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "conf_load.h"
#include "conf_store.h"
#include "temp_files.h"

namespace {

using namespace std::string_literals;

class Load : public ::testing::Test {
  protected:
    void SetUp() override {
        ctx_ = CONF_new();
        setenv("NIVRA_TEST_HOME", "/home/op", 1);
    }
    void TearDown() override { CONF_free(ctx_); }
    int LoadText(const std::string &bytes) { return CONF_load(ctx_, files_.Write(bytes).c_str()); }
    const char *Get(const char *section, const char *name) {
        return CONF_get_string(ctx_, section, name);
    }
    // Names of a section's entries in stored order.
    std::vector<std::string> Names(const char *section) {
        std::vector<std::string> out;
        CONF_VALUE *s = nivra::conf::get_section(ctx_, section);
        if (s == nullptr) return out;
        for (int i = 0; i < nivra::conf::entry_count(s); ++i)
            out.push_back(nivra::conf::entry_at(s, i)->name);
        return out;
    }
    CONF_CTX *ctx_ = nullptr;
    TempFiles files_;
};

struct Entry {
    const char *section, *name;
    std::optional<std::string> value;  // none: must be absent
};
const std::optional<std::string> kAbsent;
struct GoodFile {
    std::string text;
    std::vector<Entry> entries;
};

void PrintTo(const GoodFile &f, std::ostream *os) { *os << ::testing::PrintToString(f.text); }

class LoadGood : public Load, public ::testing::WithParamInterface<GoodFile> {};

TEST_P(LoadGood, StoresTheEntries) {
    const GoodFile &f = GetParam();
    ASSERT_EQ(LoadText(f.text), 0) << CONF_get_last_error_str(ctx_);
    EXPECT_EQ(nivra::conf::store_check(ctx_), nullptr);
    for (const Entry &e : f.entries) {
        const char *got = Get(e.section, e.name);
        if (!e.value) {
            EXPECT_EQ(got, nullptr) << e.section << "::" << e.name;
        } else {
            ASSERT_NE(got, nullptr) << e.section << "::" << e.name;
            EXPECT_EQ(std::string(got), *e.value) << e.section << "::" << e.name;
        }
    }
}

const std::string k509(509, 'v');
const std::string k510(510, 'v');

INSTANTIATE_TEST_SUITE_P(
    Sections, LoadGood,
    ::testing::Values(
        GoodFile{"a = 1\n[s]\nb = 2\n[t]\nc=3\n[s]\nd = 4\n",
                 {{"default", "a", "1"},
                  {"s", "b", "2"},
                  {"t", "c", "3"},
                  {"s", "d", "4"},
                  {"t", "d", kAbsent},
                  {"t", "a", "1"}}},
        GoodFile{"[ my section ]\nx = 1\n[my  two\\ words]\ny = 2\n[]\nz = 3\n",
                 {{"my section", "x", "1"}, {"my  two words", "y", "2"}, {"", "z", "3"}}},
        GoodFile{"[a\\x]\n1 = header\n[d]\na\\x::2 = qualified\n",
                 {{"ax", "1", "header"}, {"a\\x", "2", "qualified"}, {"ax", "2", kAbsent}}},
        GoodFile{"[h] trailing words are ignored\nk = v\n", {{"h", "k", "v"}}},
        GoodFile{"[s]\nq::a = 1\n::b = 2\nc = 3\n",
                 {{"q", "a", "1"}, {"", "b", "2"}, {"s", "c", "3"}, {"s", "a", kAbsent}}},
        GoodFile{"= empty name\n", {{"default", "", "empty name"}}},
        GoodFile{"\xEF\xBB\xBF[s]\nk = v\n", {{"s", "k", "v"}}},
        GoodFile{"k\xC3\xA9 = caf\xC3\xA3 \xC3\xA0\n[\xC3\xA3]\nx = ${default::k\xC3\xA9}\n",
                 {{"default", "k\xC3\xA9", "caf\xC3\xA3 \xC3\xA0"},
                  {"\xC3\xA3", "x", "caf\xC3\xA3 \xC3\xA0"}}}));

INSTANTIATE_TEST_SUITE_P(
    Values, LoadGood,
    ::testing::Values(
        GoodFile{"a =   spaced  value \t\n", {{"default", "a", "spaced  value"}}},
        GoodFile{"a = 'x '\n", {{"default", "a", "x "}}},
        GoodFile{"a = b\\ \n", {{"default", "a", "b "}}},
        GoodFile{"a = b\\\\ \n", {{"default", "a", "b\\"}}},
        GoodFile{"a = b\\\\\\ \n", {{"default", "a", "b\\ "}}},
        GoodFile{"a = 1 # comment\nb = '#1' # c\nc = \\#2\n",
                 {{"default", "a", "1"}, {"default", "b", "#1"}, {"default", "c", "#2"}}},
        GoodFile{"home = ${ENV::NIVRA_TEST_HOME}/data\nx = $home\n",
                 {{"default", "home", "/home/op/data"}, {"default", "x", "/home/op/data"}}},
        GoodFile{"[s]\na = 1\nb = $a$s::a\n", {{"s", "b", "11"}}},
        GoodFile{"a = first\na = second\n", {{"default", "a", "second"}}}));

INSTANTIATE_TEST_SUITE_P(
    Lines, LoadGood,
    ::testing::Values(
        GoodFile{"a = 1\r\nb = 2\r\r\nc = 3\r",
                 {{"default", "a", "1"}, {"default", "b", "2"}, {"default", "c", "3"}}},
        GoodFile{"a = b\\\n   c\n", {{"default", "a", "b   c"}}},
        GoodFile{"a = b\\\\\nc = d\n", {{"default", "a", "b\\"}, {"default", "c", "d"}}},
        // The test looks one byte back: three backslashes do not continue.
        GoodFile{"a = b\\\\\\\nc = d\n", {{"default", "a", "b\\"}, {"default", "c", "d"}}},
        GoodFile{"a = b\\\r\nc\n", {{"default", "a", "bc"}}},
        // Every CR before the LF goes, so the backslash still ends the text.
        GoodFile{"a = x\\\r\r\ny\n", {{"default", "a", "xy"}}},
        GoodFile{"# c \\\r\r\nx = 1\n", {{"default", "x", kAbsent}}},
        GoodFile{"a = x\r\r\nb = 'y'\r\r\n", {{"default", "a", "x"}, {"default", "b", "y"}}},
        GoodFile{"# note \\\nx = 1\ny = 2\n", {{"default", "x", kAbsent}, {"default", "y", "2"}}},
        GoodFile{"a = tail\\", {{"default", "a", "tail"}}},
        GoodFile{"a = open\\\n", {{"default", "a", "open"}}},
        GoodFile{"last = no newline", {{"default", "last", "no newline"}}},
        GoodFile{"a = " + k510.substr(4), {{"default", "a", k510.substr(4)}}},
        GoodFile{"a = " + std::string(1016, 'w'), {{"default", "a", std::string(1016, 'w')}}},
        GoodFile{"a = " + k509.substr(4) + "\\x\n", {{"default", "a", (k509.substr(4) + "x")}}},
        GoodFile{"a = 1\0junk = 9\nb = 2\n"s,
                 {{"default", "a", "1"}, {"default", "b", "2"}, {"default", "junk", kAbsent}}},
        GoodFile{"\0\nb = 2\n"s, {{"default", "b", "2"}}},
        GoodFile{"a = x\\\0\nb = 2\n"s, {{"default", "a", "x"}, {"default", "b", "2"}}},
        GoodFile{"\n\n\t \n# only comments\n", {{"default", "x", kAbsent}}}));

struct BadFile {
    std::string text;
    int errnum;
    const char *message;  // full text with the line suffix
};
void PrintTo(const BadFile &f, std::ostream *os) { *os << ::testing::PrintToString(f.text); }

class LoadBad : public Load, public ::testing::WithParamInterface<BadFile> {};

TEST_P(LoadBad, FailsWithTheErrorAndLine) {
    const BadFile &f = GetParam();
    EXPECT_EQ(LoadText(f.text), f.errnum);
    EXPECT_EQ(CONF_get_last_errnum(ctx_), f.errnum);
    EXPECT_STREQ(CONF_get_last_error_str(ctx_), f.message);
    EXPECT_EQ(ctx_->table, nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Errors, LoadBad,
    ::testing::Values(BadFile{"[abc\n", -104, "missing close square bracket, line 1"},
                      BadFile{"a = 1\n[a:b]\n", -104, "missing close square bracket, line 2"},
                      BadFile{"[a = b]\n", -104, "missing close square bracket, line 1"},
                      BadFile{"[a $b]\n", -104, "missing close square bracket, line 1"},
                      BadFile{"[a 'b']\n", -104, "missing close square bracket, line 1"},
                      BadFile{"[a [b]\n", -104, "missing close square bracket, line 1"},
                      BadFile{"[ ", -104, "missing close square bracket, line 1"},
                      BadFile{"\n\n# comment\nbad\n", -105, "missing equal sign, line 4"},
                      BadFile{"a b = c\n", -105, "missing equal sign, line 1"},
                      BadFile{"a :: b = c\n", -105, "missing equal sign, line 1"},
                      BadFile{"a:: b = c\n", -105, "missing equal sign, line 1"},
                      BadFile{"x = 1\nbad \\\n more\n", -105, "missing equal sign, line 3"},
                      BadFile{"a = ${x\n", -106, "no close brace, line 1"},
                      BadFile{"a = 1\r\nb = $nosuch\r\n", -107, "variable has no value, line 2"},
                      BadFile{"a = $later\nlater = 1\n", -107, "variable has no value, line 1"},
                      BadFile{"[x]\n[${y]\n", -104, "missing close square bracket, line 2"}));

TEST_F(Load, EmptyFileLeavesOnlyTheDefaultSection) {
    ASSERT_EQ(LoadText(""), 0);
    ASSERT_NE(ctx_->table, nullptr);
    EXPECT_EQ(lh_num_items(ctx_->table), 1u);
    EXPECT_NE(nivra::conf::get_section(ctx_, "default"), nullptr);
}

TEST_F(Load, RepeatedNameKeepsOneRecordAtTheSecondPosition) {
    ASSERT_EQ(LoadText("a = 1\nb = 2\na = 3\nc = 4\n"), 0);
    EXPECT_EQ(Names("default"), (std::vector<std::string>{"b", "a", "c"}));
    EXPECT_STREQ(Get("default", "a"), "3");
    EXPECT_EQ(lh_num_items(ctx_->table), 4u);  // section record and three entries
}

TEST_F(Load, SecondFileMergesAndMayReferToTheFirst) {
    ASSERT_EQ(LoadText("[s]\na = 1\nb = 2\n"), 0);
    ASSERT_EQ(LoadText("[s]\na = one\nc = $b+${s::a}\n[t]\nd = $s::c\n"), 0);
    EXPECT_EQ(Names("s"), (std::vector<std::string>{"b", "a", "c"}));
    EXPECT_STREQ(Get("s", "c"), "2+one");
    EXPECT_STREQ(Get("t", "d"), "2+one");
}

TEST_F(Load, FailedLoadDropsEarlierEntriesToo) {
    ASSERT_EQ(LoadText("NIVRA_TEST_HOME = from-file\n"), 0);
    EXPECT_STREQ(Get("default", "NIVRA_TEST_HOME"), "from-file");
    EXPECT_EQ(LoadText("ok = 1\nbroken\n"), -105);
    EXPECT_EQ(ctx_->table, nullptr);
    EXPECT_STREQ(Get("default", "NIVRA_TEST_HOME"), "/home/op");  // environment only
    EXPECT_STREQ(CONF_get_last_error_str(ctx_), "missing equal sign, line 2");
    // A later successful load still returns the earlier error number.
    EXPECT_EQ(LoadText("x = 1\n"), -105);
    EXPECT_STREQ(Get("default", "x"), "1");
}

TEST_F(Load, OpenFailuresLeaveTheTableAlone) {
    ASSERT_EQ(LoadText("k = v\n"), 0);
    EXPECT_EQ(CONF_load(ctx_, (files_.dir() + "/missing").c_str()), -101);
    EXPECT_STREQ(CONF_get_last_error_str(ctx_), "unable to open configuration file");
    EXPECT_STREQ(Get("default", "k"), "v");
    EXPECT_EQ(CONF_load(ctx_, ""), -101);
    EXPECT_EQ(CONF_load(ctx_, nullptr), -101);
    EXPECT_STREQ(Get("default", "k"), "v");
    EXPECT_EQ(CONF_load(nullptr, "x"), -100);
}

TEST_F(Load, ReadErrorsAreErrors) {
    EXPECT_EQ(CONF_load(ctx_, files_.dir().c_str()), -108);
    EXPECT_STREQ(CONF_get_last_error_str(ctx_), "error reading configuration file, line 0");
    EXPECT_EQ(ctx_->table, nullptr);

    // A stream open only for writing fails on its first read.
    const std::string path = files_.Write("k = v\n");
    std::FILE *w = std::fopen(path.c_str(), "ab");
    CONF_CTX *other = CONF_new();
    EXPECT_EQ(nivra::conf::CONF_load_stream(other, w), -108);
    EXPECT_EQ(other->table, nullptr);
    CONF_free(other);
    std::fclose(w);
}

TEST_F(Load, LongLinesAreReadWholeAndCountOnce) {
    const std::string big(100000, 'b');
    ASSERT_EQ(LoadText("a = " + big + "\nb\n"), -105);
    EXPECT_STREQ(CONF_get_last_error_str(ctx_), "missing equal sign, line 2");
    CONF_free(ctx_);
    ctx_ = CONF_new();
    ASSERT_EQ(LoadText("a = " + big + "\\\n" + big + "\n"), 0);
    EXPECT_EQ(std::string(Get("default", "a")), big + big);
}

// The line scan looks at sixteen bytes at a time: a comment, each quote, a
// backslash, a reference or a NUL is found wherever it falls in a block
// (bytes 0x80-0xFF around it being ordinary bytes), in the last
// bytes of a file read from memory (which the scan must not read past), and
// after a CR; each file is loaded from a file and from memory.
TEST_F(Load, EveryByteOfALineIsSeenWhereverItFalls) {
    for (size_t len = 0; len < 40; ++len) {
        for (size_t at = 0; at <= len; ++at) {
            const std::string head(at, 'h'), tail(len - at, 't');
            std::string text = "r = R\n";
            text += "c = " + head + "#" + tail + "\n";
            text += "q = " + head + "\"#\"" + tail + "\n";
            text += "s = " + head + "'#'" + tail + "\n";
            text += "g = " + head + "`#`" + tail + "\n";
            text += "b = " + head + "\\#" + tail + "\n";
            text += "u = " + std::string(at, '\xE9') + "#" + std::string(len - at, '\xFF') + "\n";
            text += "d = " + head + "${r}" + tail + "\r\n";
            text += "n = " + head + '\0' + tail + "\n";
            text += "e = " + head + "#" + tail;  // the last line, without its LF
            for (bool memory : {false, true}) {
                CONF_free(ctx_);
                ctx_ = CONF_new();
                ASSERT_EQ(
                    memory ? CONF_load_buffer(ctx_, text.data(), text.size()) : LoadText(text), 0)
                    << len << " " << at;
                EXPECT_EQ(std::string(Get("default", "c")), head) << len << " " << at;
                EXPECT_EQ(std::string(Get("default", "q")), head + "#" + tail);
                EXPECT_EQ(std::string(Get("default", "s")), head + "#" + tail);
                EXPECT_EQ(std::string(Get("default", "g")), head + "#" + tail);
                EXPECT_EQ(std::string(Get("default", "b")), head + "#" + tail);
                EXPECT_EQ(std::string(Get("default", "u")), std::string(at, '\xE9'));
                EXPECT_EQ(std::string(Get("default", "d")), head + "R" + tail);
                EXPECT_EQ(std::string(Get("default", "n")), head);
                EXPECT_EQ(std::string(Get("default", "e")), head);
            }
        }
    }
}

// An entry is stored with the bytes between its name and its value; blanks
// enough there make a block larger than the arena hands out.
TEST_F(Load, AWideGapBetweenNameAndValueIsStoredAsAnyOther) {
    ASSERT_EQ(LoadText("wide" + std::string(300, ' ') + "=" + std::string(300, '\t') +
                       "v\nnarrow = w\nnarrow = again" + std::string(300, ' ') + "\n"),
              0);
    EXPECT_STREQ(Get("default", "wide"), "v");
    EXPECT_STREQ(Get("default", "narrow"), "again");
    EXPECT_EQ(nivra::conf::store_check(ctx_), nullptr);
}

}  // namespace
