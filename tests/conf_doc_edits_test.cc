// Long runs of edits of one document: each edit gives the text that the
// same edit gives a document that has just read the text it was made on,
// so what a document keeps between calls never shows.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include <nivra/conf_doc.h>

namespace {

std::string TextOf(CONF_DOC *doc) {
    size_t n = 0;
    const char *t = CONF_doc_text(doc, &n);
    return std::string(t, n);
}

// The physical lines of a text, as CONF_doc_line_origin numbers them.
std::vector<std::string> Lines(const std::string &text) {
    std::vector<std::string> out(1);
    for (const char c : text) {
        if (c == '\n') {
            out.emplace_back();
        } else {
            out.back() += c;
        }
    }
    return out;
}

enum Op { kSet, kSetRaw, kUnset, kRemove };

struct Edit {
    Op op;
    const char *section;
    const char *name;
    const char *value;
};

int Apply(CONF_DOC *doc, const Edit &e) {
    switch (e.op) {
        case kSet: return CONF_doc_set(doc, e.section, e.name, e.value);
        case kSetRaw: return CONF_doc_set_raw(doc, e.section, e.name, e.value);
        case kUnset: return CONF_doc_unset(doc, e.section, e.name);
        case kRemove: return CONF_doc_remove_section(doc, e.section);
    }
    return 0;
}

// Texts that each edit may meet: continued definitions, comments that
// continue, qualified entries, repeated sections and definitions, blank
// lines, CR LF, a byte-order mark, a last line without a line end.
const char *const kTexts[] = {
    "a = 1\n# top\n[s]\nk = 1\nk = 2 # again\nlong = x \\\n  y\n\n[t]\n  p = 1\ns::q = 2\n[s]\nz = "
    "3\n",
    "\xEF\xBB\xBFk = 1\r\n[s]\r\nm = 2\r\n# c \\\r\n[t]\r\nn = 3",
    "[s]\nk = 1\n# comment \\\n\n[t]\n",
    "",
};

// The edits, drawn in turn; values with and without references, names that
// no line can give, sections that exist and that do not.
const Edit kEdits[] = {
    {kSet, "s", "k", "new"},      {kSet, "s", "fresh", "v 1"},   {kSet, nullptr, "a", "$x#y"},
    {kSet, "t", "p", ""},         {kSet, "u", "k", "in new"},    {kSetRaw, "s", "r", "${a}/b"},
    {kSetRaw, "t", "p", "plain"}, {kSet, "s", "long", "short"},  {kUnset, "s", "k", nullptr},
    {kSet, "s", "k", "back"},     {kSet, nullptr, "n2", "d"},    {kUnset, "s", "q", nullptr},
    {kSet, "s", "bad name", "1"}, {kSetRaw, "s", "z", "tail\\"}, {kRemove, "t", nullptr, nullptr},
    {kSet, "t", "again", "1"},    {kSet, "s", "z", "\\ x "},     {kUnset, nullptr, "a", nullptr},
    {kSet, "s", "fresh", "v 1"},  {kSet, "v", "w", "x"},         {kRemove, "s", nullptr, nullptr},
};

TEST(ConfDocEdits, ARunOfEditsGivesWhatOneEditOfTheSameTextGives) {
    uint64_t rng = 12345;
    for (const char *text : kTexts) {
        SCOPED_TRACE(text);
        const std::string original = text;
        CONF_DOC *doc = CONF_doc_new();
        ASSERT_EQ(CONF_doc_read_buffer(doc, original.data(), original.size()), 0);
        for (int step = 0; step < 300; ++step) {
            rng = rng * 6364136223846793005ull + 1442695040888963407ull;
            const Edit &e = kEdits[(rng >> 33) % (sizeof kEdits / sizeof kEdits[0])];
            SCOPED_TRACE(step);
            const std::string before = TextOf(doc);
            CONF_DOC *fresh = CONF_doc_new();
            ASSERT_EQ(CONF_doc_read_buffer(fresh, before.data(), before.size()), 0);
            const int want = Apply(fresh, e);
            ASSERT_EQ(Apply(doc, e), want);
            ASSERT_EQ(TextOf(doc), TextOf(fresh));
            CONF_doc_free(fresh);
        }
        // Every line that claims to be a line read is that line.
        const std::vector<std::string> read = Lines(original);
        const std::vector<std::string> now = Lines(TextOf(doc));
        for (size_t i = 0; i < now.size(); ++i) {
            CONF_DOC_LINE o{};
            ASSERT_EQ(CONF_doc_line_origin(doc, static_cast<int>(i + 1), &o), 0);
            if (o.read_line != 0) {
                EXPECT_EQ(now[i], read[o.read_line - 1]) << i;
            }
            EXPECT_TRUE((o.read_line == 0) != (o.edit == 0)) << i;
        }
        CONF_doc_free(doc);
    }
}

// Edits whose outcome depends on the lines around them, each on a document
// that has made an edit already: the text expected after.
TEST(ConfDocEdits, WhatDependsOnOtherLinesIsDecidedByTheWholeText) {
    const struct {
        const char *text;
        Edit edit;
        int rc;
        const char *expected;
    } cases[] = {
        // The value the definition already has through a reference: no change.
        {"a = 1\nb = $a\n", {kSet, nullptr, "b", "1"}, 0, "a = 1\nb = $a\n"},
        {"a = 1\nb = ${a}\n", {kSetRaw, nullptr, "b", "${a}"}, 0, "a = 1\nb = ${a}\n"},
        // A raw value that refers to an earlier one.
        {"a = 1\nb = 2\n", {kSetRaw, nullptr, "b", "$a"}, 0, "a = 1\nb = $a\n"},
        // A text without a final line end gets one first.
        {"a = 1\nb = 2", {kSet, nullptr, "c", "3"}, 0, "a = 1\nb = 2\nc = 3\n"},
        // The line that comes first after a cut keeps the mark's bytes.
        {"b = 2\n\xEF\xBB\xBF"
         "c = 3\n",
         {kUnset, nullptr, "b", nullptr},
         1,
         "\n\xEF\xBB\xBF"
         "c = 3\n"},
        // A default entry before the first header, a blank line after it.
        {"[s]\nk = 1\n", {kSet, nullptr, "d", "4"}, 0, "d = 4\n\n[s]\nk = 1\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        CONF_DOC *doc = CONF_doc_new();
        ASSERT_EQ(CONF_doc_read_buffer(doc, c.text, std::string(c.text).size()), 0);
        ASSERT_EQ(CONF_doc_unset(doc, "none", "none"), 0);
        EXPECT_EQ(Apply(doc, c.edit), c.rc);
        EXPECT_EQ(TextOf(doc), c.expected);
        CONF_doc_free(doc);
    }
}

// Sets of many entries, each replaced and added again and again, load to
// exactly the values asked.
TEST(ConfDocEdits, ManySetsLoadToTheValuesAsked) {
    std::string text;
    for (int s = 0; s < 20; ++s) {
        text += "[s" + std::to_string(s) + "]\n";
        for (int k = 0; k < 20; ++k) text += "k" + std::to_string(k) + " = v # c\n";
        text += "\n";
    }
    CONF_DOC *doc = CONF_doc_new();
    ASSERT_EQ(CONF_doc_read_buffer(doc, text.data(), text.size()), 0);
    std::vector<std::string> want(20 * 30, "v");
    uint64_t rng = 7;
    for (int step = 0; step < 2000; ++step) {
        rng = rng * 6364136223846793005ull + 1442695040888963407ull;
        const size_t at = (rng >> 33) % want.size();
        const std::string section = "s" + std::to_string(at / 30);
        const std::string name = "k" + std::to_string(at % 30);
        want[at] = "x" + std::to_string(step) + (step % 3 == 0 ? " $#\\" : "");
        ASSERT_EQ(CONF_doc_set(doc, section.c_str(), name.c_str(), want[at].c_str()), 0);
    }
    CONF_CTX *ctx = CONF_new();
    ASSERT_EQ(CONF_doc_check(doc, ctx), 0);
    for (size_t at = 0; at < want.size(); ++at) {
        const std::string section = "s" + std::to_string(at / 30);
        const std::string name = "k" + std::to_string(at % 30);
        const char *v = CONF_get_string(ctx, section.c_str(), name.c_str());
        if (want[at] == "v" && at % 30 >= 20) {
            EXPECT_EQ(v, nullptr) << section << " " << name;
        } else {
            ASSERT_NE(v, nullptr) << section << " " << name;
            EXPECT_EQ(v, want[at]) << section << " " << name;
        }
    }
    CONF_free(ctx);
    CONF_doc_free(doc);
}

// Where each line of the document's text came from, one "read/edit" each.
std::string OriginsOf(CONF_DOC *doc) {
    std::string out;
    CONF_DOC_LINE o{};
    for (int line = 1; CONF_doc_line_origin(doc, line, &o) == 0; ++line)
        out += std::to_string(o.read_line) + "/" + std::to_string(o.edit) + " ";
    return out;
}

// Edits drawn from small pools of sections, names and values, so that the
// same entries are added, replaced, cut and added again.
Edit DrawEdit(uint64_t r) {
    static const char *const kSections[] = {"s", "t", "u", nullptr, "default", "w x"};
    static const char *const kNames[] = {"k", "z", "p", "q", "a", "n1", "n2", "long"};
    static const char *const kValues[] = {"1", "two words", "", "#c", "\\ x ", "$v", "tail\\"};
    const Op op = (r & 15) < 7 ? kSet : (r & 15) < 10 ? kSetRaw : (r & 15) < 15 ? kUnset : kRemove;
    return Edit{op, kSections[(r >> 8) % 6], kNames[(r >> 16) % 8], kValues[(r >> 24) % 7]};
}

// Edits made one after another with no read of the text between them give
// the results, text and origins that the same edits give a document whose
// text is read after each one: what waits to be put into the text never
// shows.
TEST(ConfDocEdits, EditsWithNoReadBetweenThemGiveWhatReadsBetweenGive) {
    std::string big;
    for (int s = 0; s < 6; ++s) {
        big += (s == 3 ? "[t]\n" : "[s]\n");
        for (int k = 0; k < 8; ++k) big += "  n" + std::to_string(k) + " = v # c\n";
        big += "# between\n\n";
    }
    std::vector<std::string> texts(std::begin(kTexts), std::end(kTexts));
    texts.push_back(big);
    texts.push_back("top = 1\nk = 2\n");
    // Comment blocks above headers, a qualified entry in another block, a
    // header of the default section, a section's blocks apart.
    texts.push_back(
        "# top\n\n# about s\n[s]\nk = 1\n  # inner\n\nt::p = 2\n# about t\n[t]\np = 1\n\n"
        "# trailing\n[default]\na = 1\n[s]\nz = 2\n# end\n");
    uint64_t rng = 99;
    for (const std::string &text : texts) {
        SCOPED_TRACE(text);
        CONF_DOC *quiet = CONF_doc_new();
        CONF_DOC *read = CONF_doc_new();
        ASSERT_EQ(CONF_doc_read_buffer(quiet, text.data(), text.size()), 0);
        ASSERT_EQ(CONF_doc_read_buffer(read, text.data(), text.size()), 0);
        int until_read = 1;
        for (int step = 0; step < 600; ++step) {
            rng = rng * 6364136223846793005ull + 1442695040888963407ull;
            const Edit e = DrawEdit(rng >> 20);
            SCOPED_TRACE(step);
            ASSERT_EQ(Apply(quiet, e), Apply(read, e));
            (void)TextOf(read);
            if (--until_read > 0) continue;
            until_read = 1 + static_cast<int>((rng >> 40) % 40);
            ASSERT_EQ(TextOf(quiet), TextOf(read));
            ASSERT_EQ(OriginsOf(quiet), OriginsOf(read));
        }
        CONF_doc_free(quiet);
        CONF_doc_free(read);
    }
}

// Makes the edits on a document of text with no read between them and on
// one whose text is read after each: results, texts and origins agree.
void ExpectSameAsWithReads(const std::string &text, const std::vector<Edit> &edits) {
    CONF_DOC *quiet = CONF_doc_new();
    CONF_DOC *read = CONF_doc_new();
    ASSERT_EQ(CONF_doc_read_buffer(quiet, text.data(), text.size()), 0);
    ASSERT_EQ(CONF_doc_read_buffer(read, text.data(), text.size()), 0);
    for (size_t i = 0; i < edits.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(Apply(quiet, edits[i]), Apply(read, edits[i]));
        (void)TextOf(read);
    }
    EXPECT_EQ(TextOf(quiet), TextOf(read));
    EXPECT_EQ(OriginsOf(quiet), OriginsOf(read));
    CONF_doc_free(quiet);
    CONF_doc_free(read);
}

// Many new sections kept aside (their headers scanned one by one in a
// context the document keeps for such scans, and renews), sets of their
// entries and removals of some: the same as with a read after each edit.
TEST(ConfDocEdits, ManyNewSectionsKeptAsideGiveWhatReadsBetweenGive) {
    std::vector<std::string> sections;
    for (int i = 0; i < 150; ++i) sections.push_back("sec" + std::to_string(i));
    std::vector<Edit> edits;
    for (int i = 0; i < 300; ++i) {
        const char *section = sections[i % 150].c_str();
        edits.push_back(i % 7 == 6 ? Edit{kRemove, section, nullptr, nullptr}
                                   : Edit{kSet, section, i % 2 != 0 ? "k" : "j", "v"});
    }
    ExpectSameAsWithReads("top = 1\n[s]\na = 1\n", edits);
}

// A removal puts the edits kept aside in and goes on with the index's
// tables: a name defined on several lines, in several blocks, is still
// known by every line that defines it, and an unset after the removal
// cuts them all.
TEST(ConfDocEdits, ANameDefinedTwiceOutlivesARemovalBeforeIt) {
    const std::string text =
        "[s]\nk = 1\nz = 0\n[t]\np = 1\n[s]\nk = 2\n[u]\nq = 1\n[s]\nk = 3 # last\n";
    CONF_DOC *doc = CONF_doc_new();
    ASSERT_EQ(CONF_doc_read_buffer(doc, text.data(), text.size()), 0);
    ASSERT_EQ(CONF_doc_set(doc, "u", "q", "2"), 0);   // kept aside
    ASSERT_EQ(CONF_doc_remove_section(doc, "t"), 2);  // puts it in
    ASSERT_EQ(CONF_doc_set(doc, "s", "k", "4"), 0);   // the last definition
    ASSERT_EQ(CONF_doc_remove_section(doc, "u"), 2);
    EXPECT_EQ(CONF_doc_unset(doc, "s", "k"), 3);
    ASSERT_EQ(CONF_doc_set(doc, "s", "k", "5"), 0);
    EXPECT_EQ(TextOf(doc), "[s]\nz = 0\n[s]\n[s]\nk = 5\n");
    CONF_doc_free(doc);
}

// Removals kept aside one after another: a section's block may run over
// the block of one removed before it, and over lines cut before it, up to
// the comment block of the next header left.
TEST(ConfDocEdits, RemovalsKeptAsideGiveWhatRemovalsOneByOneGive) {
    const std::string text =
        "top = 0\n[a]\nx = 1\n# about b\n[b]\ny = 1\n\n# about c\n[c]\nz = 1\n# end of c\n\n"
        "# about d\n[d]\nw = 1\n[b]\nv = 2\n";
    const std::vector<std::vector<Edit>> runs = {
        {{kRemove, "c", nullptr, nullptr},
         {kRemove, "b", nullptr, nullptr},
         {kRemove, "a", nullptr, nullptr}},
        {{kSet, "a", "new", "1"}, {kUnset, "a", "x", nullptr}, {kRemove, "b", nullptr, nullptr}},
        {{kUnset, "b", "y", nullptr},
         {kRemove, "c", nullptr, nullptr},
         {kRemove, "b", nullptr, nullptr},
         {kSet, "b", "y", "back"}},
        {{kSet, "b", "n", "1"},
         {kRemove, "d", nullptr, nullptr},
         {kRemove, "b", nullptr, nullptr},
         {kRemove, "a", nullptr, nullptr}},
    };
    for (const auto &run : runs) {
        ExpectSameAsWithReads(text, run);
    }
}

// Removals kept aside in an order that puts a later one's lines before an
// earlier one's, then edits of the names they cut and of the sections
// around them: a line that a removal took is found by no edit after it, and
// a section's last line left is the one a new entry follows.
TEST(ConfDocEdits, LinesARemovalTookAreGoneForEveryEditAfterIt) {
    const std::string text =
        "top = 1\n[a]\nk = 1\nj = 1\n# about b\n[b]\nk = 2\n\n[c]\nk = 3\nj = 3\n# end c\n"
        "[d]\nk = 4\n[b]\nj = 2\n[e]\nk = 5\n";
    const std::vector<std::vector<Edit>> runs = {
        {{kRemove, "c", nullptr, nullptr},
         {kRemove, "a", nullptr, nullptr},
         {kRemove, "e", nullptr, nullptr},
         {kSet, "c", "k", "new c"},
         {kSet, "a", "j", "new a"},
         {kUnset, "b", "k", nullptr},
         {kSet, "d", "n", "after k"},
         {kSet, "b", "k", "back"}},
        {{kSet, "b", "k", "first"},
         {kRemove, "d", nullptr, nullptr},
         {kRemove, "b", nullptr, nullptr},
         {kSet, "d", "k", "again"},
         {kUnset, "c", "j", nullptr},
         {kRemove, "c", nullptr, nullptr},
         {kSet, "e", "j", "last"}},
    };
    for (const auto &run : runs) {
        ExpectSameAsWithReads(text, run);
    }
    CONF_DOC *doc = CONF_doc_new();
    ASSERT_EQ(CONF_doc_read_buffer(doc, text.data(), text.size()), 0);
    for (const Edit &e : runs[0]) Apply(doc, e);
    EXPECT_EQ(TextOf(doc),
              "top = 1\n# about b\n[b]\n\n# end c\n[d]\nk = 4\nn = after k\n[b]\nj = 2\n"
              "k = back\n\n[c]\nk = new c\n\n[a]\nj = new a\n");
    CONF_doc_free(doc);
}

// Edits made one after another with nothing reading the text between them:
// each finds its place in the text as the edits before it left it.
TEST(ConfDocEdits, EditsKeptAsideFindTheirPlacesInTheTextAsItReadsNow) {
    const struct {
        const char *text;
        std::vector<Edit> edits;
        std::vector<int> results;
        const char *expected;
    } cases[] = {
        // The section's last entry cut: a new one goes after the one left.
        {"[s]\na = 1\nb = 2\n# after b\n[t]\nc = 3\n",
         {{kUnset, "s", "b", nullptr}, {kSet, "s", "new", "x"}},
         {1, 0},
         "[s]\na = 1\nnew = x\n# after b\n[t]\nc = 3\n"},
        // A new section's second entry goes into its block, before the
        // section added after it.
        {"top = 1\n[s]\na = 1\n",
         {{kSet, "u", "k", "1"}, {kSet, "v", "k", "2"}, {kSet, "u", "j", "3"}},
         {0, 0, 0},
         "top = 1\n[s]\na = 1\n\n[u]\nk = 1\nj = 3\n\n[v]\nk = 2\n"},
        // A removed section's comment block and blank line go with it; a set
        // after the removal starts a new block at the end.
        {"top = 1\n# about s\n[s]\na = 1\n\n# about t\n[t]\nb = 2\n",
         {{kRemove, "s", nullptr, nullptr}, {kSet, "s", "a", "again"}},
         {4, 0},
         "top = 1\n# about t\n[t]\nb = 2\n\n[s]\na = again\n"},
        {"top = 1\n[s]\na = 1\n[t]\nb = 2\n",
         {{kSet, "s", "z", "1"}, {kRemove, "t", nullptr, nullptr}, {kSet, "t", "b", "3"}},
         {0, 2, 0},
         "top = 1\n[s]\na = 1\nz = 1\n\n[t]\nb = 3\n"},
        // Set, set again, unset, set: the entry comes back after the header.
        {"top = 1\n[s]\na = 1\n",
         {{kSet, "s", "a", "2"},
          {kSet, "s", "a", "3"},
          {kUnset, "s", "a", nullptr},
          {kSet, "s", "a", "4"}},
         {0, 0, 1, 0},
         "top = 1\n[s]\na = 4\n"},
        // A section added by an edit is removed with its block, up to the
        // next new section's header; its own blank line stays.
        {"top = 1\n[s]\na = 1\n",
         {{kSet, "u", "k", "1"},
          {kSet, "v", "k", "2"},
          {kSet, "u", "j", "3"},
          {kRemove, "u", nullptr, nullptr}},
         {0, 0, 0, 4},
         "top = 1\n[s]\na = 1\n\n[v]\nk = 2\n"},
        // The text's last block takes the blank line of a section added
        // after it; that section, removed too, leaves the text's end.
        {"top = 1\n[s]\na = 1\n",
         {{kSet, "u", "k", "1"},
          {kRemove, "s", nullptr, nullptr},
          {kRemove, "u", nullptr, nullptr},
          {kSet, "s", "a", "2"}},
         {0, 3, 2, 0},
         "top = 1\n\n[s]\na = 2\n"},
        // New sections whose entries are all unset keep their blocks, and
        // the blank line of the section added after one, when the block
        // before them is removed.
        {"top = 1\n[s]\na = 1\n",
         {{kSet, "u", "k", "1"},
          {kUnset, "u", "k", nullptr},
          {kSet, "v", "k", "2"},
          {kUnset, "v", "k", nullptr},
          {kRemove, "s", nullptr, nullptr}},
         {0, 1, 0, 1, 3},
         "top = 1\n[u]\n\n[v]\n"},
        // Cuts that leave a comment line of the text right above a new
        // header make it that header's comment block: a removal of the
        // block before leaves it.
        {"a = 0\n[s]\n# note\ntop = 1\n[t]\nk = 1\n",
         {{kSet, "v", "x", "1"},
          {kRemove, "t", nullptr, nullptr},
          {kUnset, "s", "top", nullptr},
          {kRemove, "s", nullptr, nullptr}},
         {0, 3, 1, 1},
         "a = 0\n# note\n[v]\nx = 1\n"},
        // A removal with another section's line in its block takes the
        // whole text: the names it cuts are gone, the one it leaves stays.
        {"top = 1\n[s]\na = 1\nt::c = 3\nb = 2\n[t]\nd = 4\n",
         {{kSet, "t", "d", "5"},
          {kRemove, "s", nullptr, nullptr},
          {kUnset, "s", "a", nullptr},
          {kSet, "s", "b", "again"},
          {kSet, "t", "c", "6"}},
         {0, 3, 0, 0, 0},
         "top = 1\nt::c = 6\n[t]\nd = 5\n\n[s]\nb = again\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        CONF_DOC *doc = CONF_doc_new();
        ASSERT_EQ(CONF_doc_read_buffer(doc, c.text, std::string(c.text).size()), 0);
        std::vector<int> results;
        for (const Edit &e : c.edits) results.push_back(Apply(doc, e));
        EXPECT_EQ(results, c.results);
        EXPECT_EQ(TextOf(doc), c.expected);
        CONF_doc_free(doc);
    }
}

}  // namespace
