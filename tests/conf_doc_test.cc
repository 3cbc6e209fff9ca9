// Editing a configuration file's text: which bytes each edit changes, what
// it refuses, and saving.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "conf_describe.h"
#include "conf_load.h"
#include "temp_files.h"
#include <nivra/conf_doc.h>

namespace {

struct Doc {
    CONF_DOC *d = CONF_doc_new();
    explicit Doc(const std::string &text) { CONF_doc_read_buffer(d, text.data(), text.size()); }
    ~Doc() { CONF_doc_free(d); }
    std::string Text() const {
        size_t n = 0;
        const char *t = CONF_doc_text(d, &n);
        return std::string(t, n);
    }
};

std::string Loaded(const std::string &text) {
    CONF_CTX *ctx = CONF_new();
    CONF_load_buffer(ctx, text.data(), text.size());
    std::string out = Describe(ctx);
    CONF_free(ctx);
    return out;
}

struct SetCase {
    const char *text;
    const char *section;
    const char *name;
    const char *value;
    const char *expected;
};

// Each case: the text, the entry set, and the whole text expected after.
const SetCase kSetCases[] = {
    // The last definition changes; indentation, name, spacing and comment stay.
    {"a = 1\n[s]\n  k  =  old   # note\nk = 2\n", "s", "k", "new",
     "a = 1\n[s]\n  k  =  old   # note\nk = new\n"},
    {"[s]\n\tk=old # c\n", "s", "k", "v", "[s]\n\tk=v # c\n"},
    // A continued definition becomes one line.
    {"k = one \\\n  two\nz = 1\n", nullptr, "k", "x", "k = x\nz = 1\n"},
    // An empty value, with and without a comment after it.
    {"k =\n", nullptr, "k", "v", "k = v\n"},
    {"k =   # c\n", nullptr, "k", "v", "k = v   # c\n"},
    // A comment right after a value that ended in an escaped blank.
    {"k = a\\ # c\n", nullptr, "k", "b", "k = b # c\n"},
    // ... and one on the line the value's line continues onto.
    {"k = a\\ \\\n# c\n", nullptr, "k", "b", "k = b \\\n# c\n"},
    // A qualified definition elsewhere is the one that stands.
    {"[s]\nk = 1\n[t]\ns::k = 2\n", "s", "k", "3", "[s]\nk = 1\n[t]\ns::k = 3\n"},
    // Literals: every byte the format would change is escaped.
    {"k = 1\n", nullptr, "k", " $x \"q\" #c\\ \t", "k = \\ \\$x \\\"q\\\" \\#c\\\\ \\t\n"},
    {"k = 1\n", nullptr, "k", "a\nb\rc\bd", "k = \"a\"\\n\"b\"\\r\"c\"\\b\"d\"\n"},
    {"k = 1\n", nullptr, "k", "\xC3\xA9t\xE9", "k = \xC3\xA9t\xE9\n"},
    // New entries: after the section's last entry in its last block, with
    // that entry's indentation.
    {"[s]\n  a = 1\n\n# next\n[t]\nb = 2\n[s]\n    c = 3\n", "s", "n", "v",
     "[s]\n  a = 1\n\n# next\n[t]\nb = 2\n[s]\n    c = 3\n    n = v\n"},
    {"[s]\n# only a comment\n[t]\n", "s", "n", "v", "[s]\nn = v\n# only a comment\n[t]\n"},
    {"# top\nx = 1\n\n[s]\n", nullptr, "n", "v", "# top\nx = 1\nn = v\n\n[s]\n"},
    {"# top\n\n[s]\n", nullptr, "n", "v", "# top\n\nn = v\n\n[s]\n"},
    {"", nullptr, "n", "v", "n = v\n"},
    {"", "s", "n", "", "[s]\nn =\n"},
    {"a = 1", "new", "n", "v", "a = 1\n\n[new]\nn = v\n"},
    // A last line that continues is ended by an empty line, not by the addition.
    {"[s]\na = b\\", "s", "n", "1", "[s]\na = b\\\n\nn = 1\n"},
    {"# c:\\\n", nullptr, "n", "1", "# c:\\\n\nn = 1\n"},
    {"a = 1\r\n", "s", "n", "v", "a = 1\r\n\r\n[s]\r\nn = v\r\n"},
    {"a = 1\n", " odd]sec\t", "n", "v", "a = 1\n\n[\\ odd\\]sec\\t]\nn = v\n"},
    // A blank at either end of a section name is escaped (a header drops it).
    {"a = 1\n", "odd ", "n", "v", "a = 1\n\n[odd\\ ]\nn = v\n"},
    {"a = 1\n", " in between ", "n", "v", "a = 1\n\n[\\ in between\\ ]\nn = v\n"},
    // Setting the value it has changes nothing, even when written otherwise.
    {"k = 'a b'  # c\n", nullptr, "k", "a b", "k = 'a b'  # c\n"},
};

// Sets the case's entry in text; expects exactly expected, which stores
// the value asked for.
void ExpectSet(const SetCase &c, const std::string &text, const std::string &expected) {
    SCOPED_TRACE(text);
    Doc doc(text);
    ASSERT_EQ(CONF_doc_set(doc.d, c.section, c.name, c.value), 0);
    EXPECT_EQ(doc.Text(), expected);
    const std::string section = c.section != nullptr ? c.section : "default";
    CONF_CTX *ctx = CONF_new();
    ASSERT_EQ(CONF_doc_check(doc.d, ctx), 0);
    const CONF_VALUE *last = nullptr;
    for (int i = 0; i < CONF_get_entry_count(ctx, section.c_str()); ++i) {
        const CONF_VALUE *e = CONF_get_entry(ctx, section.c_str(), i);
        if (std::strcmp(e->name, c.name) == 0) last = e;
    }
    ASSERT_NE(last, nullptr);
    EXPECT_STREQ(last->value, c.value);
    CONF_free(ctx);
}

// text with every LF ended as CR LF.
std::string Crlf(const std::string &text) {
    std::string out;
    for (const char c : text) out += c == '\n' ? std::string("\r\n") : std::string(1, c);
    return out;
}

TEST(ConfDocSet, ChangesOnlyTheLinesItMust) {
    for (const SetCase &c : kSetCases) ExpectSet(c, c.text, c.expected);
}

// Every case again with CR LF line ends: a CR before a line's final
// backslash still lets it continue, and added lines end as the first does.
TEST(ConfDocSet, CrLfTextsChangeTheSameLines) {
    for (const SetCase &c : kSetCases) {
        const std::string text = c.text;
        if (text.find('\n') == std::string::npos || text.find('\r') != std::string::npos) continue;
        ExpectSet(c, Crlf(text), Crlf(c.expected));
    }
}

TEST(ConfDocSet, ReferencesFollowAndRawTextExpands) {
    Doc doc("[s]\nbase = /a\npath = $base/x\n");
    ASSERT_EQ(CONF_doc_set(doc.d, "s", "base", "/b"), 0);
    EXPECT_NE(Loaded(doc.Text()).find("path=/b/x"), std::string::npos);
    ASSERT_EQ(CONF_doc_set_raw(doc.d, "s", "path", "${base}/y"), 0);
    EXPECT_EQ(doc.Text(), "[s]\nbase = /b\npath = ${base}/y\n");
    // Unresolved references do not stop an edit; saving refuses the text.
    ASSERT_EQ(CONF_doc_set_raw(doc.d, "s", "other", "$nowhere"), 0);
    EXPECT_EQ(CONF_doc_set(doc.d, "s", "base", "/c"), 0);
    TempFiles files;
    EXPECT_EQ(CONF_doc_save(doc.d, (files.dir() + "/x.conf").c_str()), -107);
    int line = 0;
    EXPECT_STREQ(CONF_doc_last_error(doc.d, &line), "variable has no value");
    EXPECT_EQ(line, 4);
}

TEST(ConfDocSet, RefusesWithoutChangingAnything) {
    struct Refusal {
        const char *text;
        const char *name;
        const char *raw;  // null: a literal "v"; "a" is defined, so a raw text replaces it
        int error;
        int line;
    } const cases[] = {
        {"a = 1\n", "a b", nullptr, -110, 0},  {"a = 1\n", "a::b", nullptr, -110, 0},
        {"a = 1\n", "x", "1 # c", -110, 0},    {"a = 1\n", "x", "two\nlines", -110, 0},
        {"a = 1\n", "x", "ends\\", -110, 0},   {"a = 1\n", "x", "ends\\\\\\", -110, 0},
        {"a = 1\nb\n", "a", nullptr, -111, 2}, {"[s\na = 1\n", "a", nullptr, -111, 1},
        {"a = 1\n", "a", "1 # c", -110, 0},    {"a = 1\n", "a", "two\nlines", -110, 0},
        {"a = 1\n", "a", " lead", -110, 0},    {"a = 1\n", "a", "ends\\", -110, 0},
    };
    for (const Refusal &c : cases) {
        SCOPED_TRACE(c.name);
        Doc doc(c.text);
        const int rc = c.raw != nullptr ? CONF_doc_set_raw(doc.d, nullptr, c.name, c.raw)
                                        : CONF_doc_set(doc.d, nullptr, c.name, "v");
        EXPECT_EQ(rc, c.error);
        int line = -1;
        EXPECT_STRNE(CONF_doc_last_error(doc.d, &line), "");
        EXPECT_EQ(line, c.line);
        EXPECT_EQ(doc.Text(), c.text);
    }
    EXPECT_EQ(CONF_doc_set(nullptr, "s", "n", "v"), -100);
    Doc doc("a = 1\n");
    EXPECT_EQ(CONF_doc_set(doc.d, "s", nullptr, "v"), -100);
    EXPECT_EQ(CONF_doc_set(doc.d, "s", "a", "v"), 0);
    int line = -1;
    EXPECT_STREQ(CONF_doc_last_error(doc.d, &line), "");  // a success clears the record
    EXPECT_EQ(line, 0);
}

TEST(ConfDocRemove, UnsetAndRemoveSection) {
    const std::string text =
        "# head\nk = 0\n[s]\nk = 1\n  other::x = 2\n# s comment\n\n[t]\ns::k = 3\nk = 4\n[s]\ny = "
        "5\n";
    {
        Doc doc(text);
        EXPECT_EQ(CONF_doc_unset(doc.d, "s", "k"), 2);
        EXPECT_EQ(doc.Text(),
                  "# head\nk = 0\n[s]\n  other::x = 2\n# s comment\n\n[t]\nk = 4\n[s]\ny = 5\n");
        EXPECT_EQ(CONF_doc_unset(doc.d, "s", "k"), 0);
    }
    {
        Doc doc(text);
        EXPECT_EQ(CONF_doc_remove_section(doc.d, "s"), 7);
        EXPECT_EQ(doc.Text(), "# head\nk = 0\n  other::x = 2\n[t]\nk = 4\n");
        EXPECT_EQ(CONF_doc_remove_section(doc.d, "s"), 0);
        EXPECT_EQ(CONF_doc_remove_section(doc.d, nullptr), 1);  // comments of the top stay
        EXPECT_EQ(doc.Text(), "# head\n  other::x = 2\n[t]\nk = 4\n");
    }
    // A byte-order mark belongs to the text, not to the first line.
    Doc marked("\xEF\xBB\xBF[s]\nk = 1\n[t]\n");
    EXPECT_EQ(CONF_doc_remove_section(marked.d, "s"), 2);
    EXPECT_EQ(marked.Text(), "\xEF\xBB\xBF[t]\n");
    Doc bad("a\n");
    EXPECT_EQ(CONF_doc_unset(bad.d, nullptr, "a"), -111);
    EXPECT_EQ(CONF_doc_remove_section(bad.d, "s"), -111);
}

TEST(ConfDocRemove, ACommentBlockDirectlyAboveAHeaderBelongsToIt) {
    const struct {
        const char *text, *section, *expected;
    } cases[] = {
        // It stays with the next section, and goes with its own.
        {"[a]\nx = 1\n# about b\n# more\n[b]\ny = 2\n", "a", "# about b\n# more\n[b]\ny = 2\n"},
        {"[a]\nx = 1\n# about b\n[b]\ny = 2\n[c]\n", "b", "[a]\nx = 1\n[c]\n"},
        {"k = 0\n# about s\n[s]\nz = 1\n", "s", "k = 0\n"},
        // A blank line parts a comment from the header below it.
        {"[a]\nx = 1\n# note on a\n\n# about b\n[b]\n", "a", "# about b\n[b]\n"},
        {"# top\n\n[a]\nx = 1\n", "a", "# top\n\n"},
        // A comment after an entry on its line is no block of its own.
        {"[a]\nx = 1 # on x\n[b]\n", "a", "[b]\n"},
        // A comment that continues onto a line that would be an entry.
        {"[a]\nx = 1\n# about b \\\ny = 2\n[b]\n", "a", "# about b \\\ny = 2\n[b]\n"},
        {"\r\n[a]\r\nx = 1\r\n# about b\r\n[b]\r\n", "a", "\r\n# about b\r\n[b]\r\n"},
        // A byte-order mark is no comment, and stays with the text.
        {"\xEF\xBB\xBF\n[a]\n[b]\n", "a", "\xEF\xBB\xBF\n[b]\n"},
        {"\xEF\xBB\xBF# about a\n[a]\n[b]\n", "a", "\xEF\xBB\xBF[b]\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        Doc doc(c.text);
        EXPECT_GT(CONF_doc_remove_section(doc.d, c.section), 0);
        EXPECT_EQ(doc.Text(), c.expected);
    }
}

// The warnings a load of text gives about lines that load but may mean
// something else (what confcheck --lint prints, less repeated names).
int LintWarnings(const std::string &text) {
    using nivra::conf::LoadEvent;
    struct Count {
        int n = 0;
        static void On(void *self, const nivra::conf::LoadNote *note) {
            const LoadEvent e = note->event;
            static_cast<Count *>(self)->n += e != LoadEvent::kStored &&
                                             e != LoadEvent::kReplacing && e != LoadEvent::kError &&
                                             e != LoadEvent::kHeader && e != LoadEvent::kUnresolved;
        }
    } count;
    CONF_CTX *ctx = CONF_new();
    const nivra::conf::LoadObserver observer{&Count::On, &count};
    EXPECT_EQ(nivra::conf::scan_buffer(ctx, text.data(), text.size(), &observer, false), 0);
    CONF_free(ctx);
    return count.n;
}

// What a scan without lint tells: the same notes of headers, entries and
// values without their reference's value, in the same order, as a scan
// with it, and nothing else.
TEST(ConfDocScan, AScanWithoutLintTellsTheSameStructure) {
    using nivra::conf::LoadEvent;
    struct Notes {
        std::string told;
        int lint = 0;
        static void On(void *self, const nivra::conf::LoadNote *note) {
            auto *n = static_cast<Notes *>(self);
            const LoadEvent e = note->event;
            if (e == LoadEvent::kStored || e == LoadEvent::kHeader || e == LoadEvent::kUnresolved) {
                n->told += std::to_string(static_cast<int>(e)) + "@" + std::to_string(note->line) +
                           ":" + std::to_string(note->source->begin) + " ";
            } else if (e != LoadEvent::kError) {
                ++n->lint;
            }
        }
    };
    const std::string text =
        "[s] trailing\n;odd = 1\na = x ;y\nb = c:\\tmp\\new\n# c \\\n  more\na = again\n"
        "r = $nowhere/x\nu = http://h/#frag\n[t]\nq = 'open\n";
    for (const bool tolerant : {false, true}) {
        Notes with, without;
        for (Notes *n : {&with, &without}) {
            CONF_CTX *ctx = CONF_new();
            const nivra::conf::LoadObserver observer{&Notes::On, n, n == &with};
            (void)nivra::conf::scan_buffer(ctx, text.data(), text.size(), &observer, tolerant);
            CONF_free(ctx);
        }
        EXPECT_GT(with.lint, 4);
        EXPECT_EQ(without.lint, 0);
        EXPECT_EQ(without.told, with.told);
        EXPECT_NE(with.told, "");
    }
}

// A scan that keeps no entry tells every entry as stored (its section,
// name and value), as a scan that keeps them does, and leaves only the
// sections in the context.
TEST(ConfDocScan, AScanThatKeepsNoEntryTellsTheSameEntries) {
    struct Notes {
        std::string told;
        static void On(void *self, const nivra::conf::LoadNote *note) {
            auto *n = static_cast<Notes *>(self);
            if (note->event == nivra::conf::LoadEvent::kStored) {
                n->told += std::string(note->entry->section) + "/" + note->entry->name + "=" +
                           note->entry->value + "@" + std::to_string(note->line) + " ";
            } else if (note->event == nivra::conf::LoadEvent::kHeader) {
                n->told += std::string("[") + note->section + "] ";
            }
        }
    };
    const std::string text =
        "top = 1\n[s]\na = x \\\n  y\na = again\nt::q = 'quoted'\n[t]\n[s]\nb =\n";
    Notes kept, dropped;
    int entries[2] = {0, 0};
    int sections[2] = {0, 0};
    for (const bool keep : {true, false}) {
        Notes *n = keep ? &kept : &dropped;
        CONF_CTX *ctx = CONF_new();
        const nivra::conf::LoadObserver observer{&Notes::On, n, false, keep};
        ASSERT_EQ(nivra::conf::scan_buffer(ctx, text.data(), text.size(), &observer, true), 0);
        entries[keep ? 0 : 1] = CONF_get_entry_count(ctx, "s") + CONF_get_entry_count(ctx, "t");
        sections[keep ? 0 : 1] = CONF_get_section_count(ctx);
        CONF_free(ctx);
    }
    EXPECT_EQ(dropped.told, kept.told);
    EXPECT_EQ(entries[0], 3);
    EXPECT_EQ(entries[1], 0);
    EXPECT_EQ(sections[1], sections[0]);
}

TEST(ConfDocSet, WritesNoValueThatLintWarnsOf) {
    const char *values[] = {
        "x ; y",      "  ; lead", "a;b",           "a\tb\tc",      "C:\\new",    "C:\\temp\tx\ty",
        "l1\nl2\nl3", "k: v\n",   "\\\\srv\\x\tb", "say \"hi\"\t", "#\t$x\t'q'", "a\r\nb\r\n",
    };
    for (const char *v : values) {
        SCOPED_TRACE(v);
        Doc doc("[s]\n");
        ASSERT_EQ(CONF_doc_set(doc.d, "s", "k", v), 0);
        EXPECT_EQ(LintWarnings(doc.Text()), 0) << doc.Text();
        CONF_CTX *ctx = CONF_new();
        ASSERT_EQ(CONF_load_buffer(ctx, doc.Text().data(), doc.Text().size()), 0);
        EXPECT_STREQ(CONF_get_string(ctx, "s", "k"), v);
        CONF_free(ctx);
    }
    Doc doc("");
    ASSERT_EQ(CONF_doc_set(doc.d, nullptr, "k", "x ; y"), 0);
    EXPECT_EQ(doc.Text(), "k = x \\; y\n");
    ASSERT_EQ(CONF_doc_set(doc.d, nullptr, "k", "C:\\new\tx"), 0);
    EXPECT_EQ(doc.Text(), "k = \"C:\\\\new\"\\t\"x\"\n");
}

TEST(ConfDocSet, ANullArgumentIsNamed) {
    Doc doc("a = 1\n");
    const auto last = [&doc] { return std::string(CONF_doc_last_error(doc.d, nullptr)); };
    EXPECT_EQ(CONF_doc_set(doc.d, "a", nullptr, "v"), -100);
    EXPECT_EQ(last(), "null name pointer");
    EXPECT_EQ(CONF_doc_set(doc.d, "a", "n", nullptr), -100);
    EXPECT_EQ(last(), "null value pointer");
    EXPECT_EQ(CONF_doc_set_raw(doc.d, "a", "n", nullptr), -100);
    EXPECT_EQ(last(), "null raw text pointer");
    EXPECT_EQ(CONF_doc_unset(doc.d, "a", nullptr), -100);
    EXPECT_EQ(last(), "null name pointer");
    EXPECT_EQ(doc.Text(), "a = 1\n");
}

// The origin of each line, as read_line/edit/unresolved.
std::string Origins(const Doc &doc) {
    std::string out;
    CONF_DOC_LINE o{};
    for (int line = 1; CONF_doc_line_origin(doc.d, line, &o) == 0; ++line) {
        out += std::to_string(o.read_line) + "/" + std::to_string(o.edit) +
               (o.unresolved != 0 ? "u " : " ");
    }
    return out;
}

TEST(ConfDocLines, EachLineIsALineReadOrTheEditsThatWroteIt) {
    Doc doc("a = 1\nb = 2\nc = 3 \\\n  more\n");
    EXPECT_EQ(Origins(doc), "1/0 2/0 3/0 4/0 5/0 ");
    ASSERT_EQ(CONF_doc_unset(doc.d, nullptr, "b"), 1);               // edit 1
    ASSERT_EQ(CONF_doc_set(doc.d, nullptr, "d", "4"), 0);            // edit 2: adds a line
    ASSERT_EQ(CONF_doc_set(doc.d, nullptr, "a", "9"), 0);            // edit 3: changes one
    ASSERT_EQ(CONF_doc_unset(doc.d, nullptr, "none"), 0);            // edit 4: changes none
    ASSERT_EQ(CONF_doc_set(doc.d, nullptr, "bad name", "1"), -110);  // no edit
    ASSERT_EQ(CONF_doc_set(doc.d, nullptr, "e", "5"), 0);            // edit 5
    ASSERT_EQ(doc.Text(), "a = 9\nc = 3 \\\n  more\nd = 4\ne = 5\n");
    EXPECT_EQ(Origins(doc).substr(0, 20), "0/3 3/0 4/0 0/2 0/5 ");
    CONF_DOC_LINE o{7, 7, 7};
    EXPECT_EQ(CONF_doc_line_origin(doc.d, 0, &o), -1);
    EXPECT_EQ(CONF_doc_line_origin(doc.d, 7, &o), -1);
    EXPECT_EQ(CONF_doc_line_origin(nullptr, 1, &o), -1);
    EXPECT_EQ(o.read_line, 7);  // unchanged on failure
    // Removing lines keeps the origins of those that stay; a set that
    // rewrites a continued definition makes it its own.
    ASSERT_EQ(CONF_doc_set(doc.d, nullptr, "c", "x"), 0);  // edit 6
    ASSERT_EQ(CONF_doc_remove_section(doc.d, nullptr), 4);
    EXPECT_EQ(doc.Text(), "");
    // A new read starts the count again; a line of values that do not
    // expand here is marked, the whole definition.
    ASSERT_EQ(unsetenv("NIVRA_DOC_UNSET"), 0);
    const std::string text = "x = 1\nr = ${ENV::NIVRA_DOC_UNSET} \\\n  /b\ny = $x\n";
    ASSERT_EQ(CONF_doc_read_buffer(doc.d, text.data(), text.size()), 0);
    EXPECT_EQ(Origins(doc), "1/0 2/0u 3/0u 4/0 5/0 ");
    ASSERT_EQ(CONF_doc_set(doc.d, nullptr, "x", "2"), 0);
    EXPECT_EQ(Origins(doc), "0/1 2/0u 3/0u 4/0 5/0 ");
    // The empty line before a new section is written too.
    ASSERT_EQ(CONF_doc_set(doc.d, "t", "k", "v"), 0);
    EXPECT_EQ(Origins(doc), "0/1 2/0u 3/0u 4/0 0/2 0/2 0/2 0/2 ");
}

TEST(ConfWrite, OutputLoadsBackToTheSameContext) {
    const std::string text =
        "a = ' two  blanks '\nb = \"$HOME\\t#\"\n[empty]\n[my sect]\nk = C:\\\\x\\\\\n"
        "odd\\ name = \\$1 \\\\\n[\\t\\]]\nz = \\xff\xC3\xA9\nq::w = 1\n"
        "[odd\\ ]\nk = trailing\n[\\ lead]\nk = leading\n";
    CONF_CTX *ctx = CONF_new();
    ASSERT_EQ(CONF_load_buffer(ctx, text.data(), text.size()), 0);
    char *buf = nullptr;
    size_t len = 0;
    FILE *mem = open_memstream(&buf, &len);
    ASSERT_EQ(CONF_write_fp(ctx, mem), 0);
    std::fclose(mem);
    EXPECT_EQ(Loaded(std::string(buf, len)), Describe(ctx));
    std::free(buf);
    EXPECT_EQ(CONF_write_fp(ctx, nullptr), -113);
    CONF_free(ctx);
    // A first name that begins with the byte-order mark's bytes keeps them.
    ctx = CONF_new();
    ASSERT_EQ(CONF_load_buffer(ctx, "\n\xEF\xBB\xBFtop = 1\n", 12), 0);
    mem = open_memstream(&buf, &len);
    ASSERT_EQ(CONF_write_fp(ctx, mem), 0);
    std::fclose(mem);
    EXPECT_EQ(Loaded(std::string(buf, len)), Describe(ctx));
    std::free(buf);
    Doc doc("");
    EXPECT_EQ(CONF_doc_set(doc.d, nullptr, "\xEF\xBB\xBFtop", "1"), 0);
    EXPECT_EQ(CONF_write_fp(nullptr, stdout), -100);
    CONF_free(ctx);
}

class ConfDocSave : public ::testing::Test {
  protected:
    std::string Read(const std::string &path) {
        Doc doc("");
        EXPECT_EQ(CONF_doc_read_file(doc.d, path.c_str()), 0);
        return doc.Text();
    }
    TempFiles files_;
};

TEST_F(ConfDocSave, ARefusalIsForWhatTheEditsBroke) {
    ASSERT_EQ(unsetenv("NIVRA_DOC_ROOT"), 0);
    const std::string text = "root = ${ENV::NIVRA_DOC_ROOT}\nhome = /srv\n[p]\ndata = $home/d\n";
    const std::string path = files_.Write(text);
    // A value that did not expand when the text was read is left to the
    // environment the file is for: an edit elsewhere is saved.
    Doc doc("");
    ASSERT_EQ(CONF_doc_read_file(doc.d, path.c_str()), 0);
    ASSERT_EQ(CONF_doc_set(doc.d, "p", "port", "2"), 0);
    EXPECT_EQ(CONF_doc_save(doc.d, path.c_str()), 0);
    EXPECT_EQ(Read(path), text + "port = 2\n");
    // What the edits broke is refused, with its line in the text, and so is
    // a line an edit wrote, even over the line that did not expand.
    const struct {
        const char *section, *name, *raw;  // raw null: unset
        int line;
    } cases[] = {
        {nullptr, "home", nullptr, 3},
        {"p", "more", "$nope", 6},
        {nullptr, "root", "${ENV::NIVRA_DOC_ROOT}/x", 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Doc edit("");
        ASSERT_EQ(CONF_doc_read_file(edit.d, path.c_str()), 0);
        ASSERT_GE(c.raw != nullptr ? CONF_doc_set_raw(edit.d, c.section, c.name, c.raw)
                                   : CONF_doc_unset(edit.d, c.section, c.name),
                  0);
        EXPECT_EQ(CONF_doc_save(edit.d, path.c_str()), -107);
        int line = 0;
        EXPECT_STREQ(CONF_doc_last_error(edit.d, &line), "variable has no value");
        EXPECT_EQ(line, c.line);
        EXPECT_EQ(Read(path), text + "port = 2\n");
    }
    // A definition whose first line an edit wrote is the edit's, though the
    // line that continues it was read.
    const std::string continued = "r = ${ENV::NIVRA_DOC_ROOT} \\\n  # the service's\n";
    Doc doc_continued(continued);
    ASSERT_EQ(CONF_doc_set_raw(doc_continued.d, nullptr, "r", "${ENV::NIVRA_DOC_ROOT}/x"), 0);
    EXPECT_EQ(CONF_doc_save(doc_continued.d, path.c_str()), -107);
    EXPECT_EQ(Read(path), text + "port = 2\n");
}

TEST_F(ConfDocSave, ReplacesTheFileAndKeepsItsMode) {
    const std::string path = files_.Write("# keep\na = 1\n");
    ASSERT_EQ(chmod(path.c_str(), 0640), 0);
    Doc doc("");
    ASSERT_EQ(CONF_doc_read_file(doc.d, path.c_str()), 0);
    ASSERT_EQ(CONF_doc_set(doc.d, nullptr, "a", "2"), 0);
    ASSERT_EQ(CONF_doc_save(doc.d, path.c_str()), 0);
    EXPECT_EQ(Read(path), "# keep\na = 2\n");
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    // An unchanged text is not rewritten: the file keeps its inode.
    ASSERT_EQ(CONF_doc_save(doc.d, path.c_str()), 0);
    struct stat again {};
    ASSERT_EQ(stat(path.c_str(), &again), 0);
    EXPECT_EQ(again.st_ino, st.st_ino);
}

TEST_F(ConfDocSave, RefusesWhenAnotherWriterChangedTheFile) {
    const std::string path = files_.Write("a = 1\n");
    Doc first("");
    Doc second("");
    ASSERT_EQ(CONF_doc_read_file(first.d, path.c_str()), 0);
    ASSERT_EQ(CONF_doc_read_file(second.d, path.c_str()), 0);
    ASSERT_EQ(CONF_doc_set(first.d, nullptr, "b", "1"), 0);
    ASSERT_EQ(CONF_doc_set(second.d, nullptr, "c", "1"), 0);
    ASSERT_EQ(CONF_doc_save(first.d, path.c_str()), 0);
    EXPECT_EQ(CONF_doc_save(second.d, path.c_str()), -112);
    EXPECT_STREQ(CONF_doc_last_error(second.d, nullptr), "file changed since it was read");
    EXPECT_EQ(Read(path), "a = 1\nb = 1\n");
    // The saved text is the new reference: a second edit saves cleanly.
    ASSERT_EQ(CONF_doc_set(first.d, nullptr, "b", "2"), 0);
    EXPECT_EQ(CONF_doc_save(first.d, path.c_str()), 0);
}

// After a save the text and what the file holds are the same, and edits
// after it (kept aside until the save) must not change what the document
// knows the file holds: another writer's change is still seen.
TEST_F(ConfDocSave, EditsAfterASaveStillSeeAnotherWriter) {
    const std::string path = files_.Write("[s]\na = 1\nb = 2\n");
    Doc mine("");
    Doc theirs("");
    ASSERT_EQ(CONF_doc_read_file(mine.d, path.c_str()), 0);
    ASSERT_EQ(CONF_doc_set(mine.d, "s", "a", "10"), 0);
    ASSERT_EQ(CONF_doc_save(mine.d, path.c_str()), 0);
    for (const char *v : {"11", "12", "13"}) ASSERT_EQ(CONF_doc_set(mine.d, "s", "c", v), 0);
    ASSERT_EQ(CONF_doc_unset(mine.d, "s", "b"), 1);
    ASSERT_EQ(CONF_doc_read_file(theirs.d, path.c_str()), 0);
    ASSERT_EQ(CONF_doc_set(theirs.d, "s", "a", "20"), 0);
    ASSERT_EQ(CONF_doc_save(theirs.d, path.c_str()), 0);
    EXPECT_EQ(CONF_doc_save(mine.d, path.c_str()), -112);
    EXPECT_EQ(Read(path), "[s]\na = 20\nb = 2\n");
    size_t n = 0;
    EXPECT_STREQ(CONF_doc_text(mine.d, &n), "[s]\na = 10\nc = 13\n");
}

TEST_F(ConfDocSave, RefusesAChangeThatKeepsTheLength) {
    const std::string path = files_.Write("a = 1\n");
    Doc first("");
    Doc second("");
    ASSERT_EQ(CONF_doc_read_file(first.d, path.c_str()), 0);
    ASSERT_EQ(CONF_doc_read_file(second.d, path.c_str()), 0);
    ASSERT_EQ(CONF_doc_set(first.d, nullptr, "a", "2"), 0);
    ASSERT_EQ(CONF_doc_save(first.d, path.c_str()), 0);
    ASSERT_EQ(CONF_doc_set(second.d, nullptr, "b", "1"), 0);
    EXPECT_EQ(CONF_doc_save(second.d, path.c_str()), -112);
    EXPECT_EQ(Read(path), "a = 2\n");
}

TEST_F(ConfDocSave, ALinkKeepsPointingAtTheReplacedFile) {
    const std::string target = files_.Write("a = 1\n");
    const std::string link = files_.dir() + "/link.conf";
    ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
    Doc doc("");
    ASSERT_EQ(CONF_doc_read_file(doc.d, link.c_str()), 0);
    ASSERT_EQ(CONF_doc_set(doc.d, nullptr, "a", "2"), 0);
    ASSERT_EQ(CONF_doc_save(doc.d, link.c_str()), 0);
    struct stat st {};
    ASSERT_EQ(lstat(link.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(Read(target), "a = 2\n");
    unlink(link.c_str());
}

TEST_F(ConfDocSave, ReadErrorsAndADirectory) {
    Doc doc("x = 1\n");
    EXPECT_EQ(CONF_doc_read_file(doc.d, (files_.dir() + "/missing").c_str()), -101);
    EXPECT_EQ(CONF_doc_read_file(doc.d, files_.dir().c_str()), -108);
    EXPECT_EQ(doc.Text(), "x = 1\n");
    errno = 0;
    EXPECT_EQ(CONF_doc_save(doc.d, files_.dir().c_str()), -113);
    EXPECT_EQ(errno, EISDIR);
    EXPECT_EQ(CONF_doc_save(doc.d, nullptr), -101);
}

}  // namespace
