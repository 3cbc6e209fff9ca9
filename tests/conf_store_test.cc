// The configuration store: records, sections, lookups, numbers, errors and
// release.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "conf_entries.h"
#include "conf_store.h"

namespace {

using namespace nivra::conf;
using testing_conf::ConfContext;
using testing_conf::Put;

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
    } cases[] = {{"0042", 42}, {"7 days", 7},     {"x1", 0},
                 {"", 0},      {"-5", 0},         {" 5", 0},
                 {"12ab", 12}, {"4294967297", 1}, {"2147483648", -2147483647 - 1},
                 {"\xb5", 0}};
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

// The record outlives its load (a later good load still returns it) until
// it is cleared; clearing leaves the entries, and a null context is ignored.
TEST_F(ConfContext, ClearingTheErrorLetsALoadReturnItsOwnOutcome) {
    const char bad[] = "[s]\nbroken\n", good[] = "k = v\n";
    ASSERT_EQ(CONF_load_buffer(ctx_, bad, sizeof bad - 1), -105);
    EXPECT_EQ(CONF_load_buffer(ctx_, good, sizeof good - 1), -105);
    CONF_clear_error(ctx_);
    EXPECT_EQ(CONF_get_last_errnum(ctx_), 0);
    EXPECT_STREQ(CONF_get_last_error_str(ctx_), "");
    EXPECT_EQ(CONF_get_last_error_line(ctx_), 0);
    EXPECT_STREQ(CONF_get_string(ctx_, "default", "k"), "v");
    EXPECT_EQ(CONF_load_buffer(ctx_, good, sizeof good - 1), 0);

    EXPECT_EQ(CONF_load(ctx_, "/nonexistent/file"), -101);  // keeps the entries
    CONF_clear_error(ctx_);
    EXPECT_EQ(CONF_load_buffer(ctx_, "x = 1\n", 6), 0);
    EXPECT_STREQ(CONF_get_string(ctx_, "default", "k"), "v");
    CONF_clear_error(nullptr);
}

TEST_F(ConfContext, SectionsAreFoundAndADuplicateIsAnInternalFault) {
    EXPECT_EQ(get_section(ctx_, "s"), nullptr);  // no table yet
    Put(ctx_, "s", "a", "1");
    CONF_VALUE *s = get_section(ctx_, "s");
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->name, nullptr);
    EXPECT_EQ(entry_count(s), 1);
    EXPECT_EQ(get_section(ctx_, nullptr), nullptr);
    EXPECT_EQ(get_section(ctx_, "t"), nullptr);
    EXPECT_DEATH(new_section(ctx_->table, "s"), "^internal fault\n$");
}

TEST_F(ConfContext, SectionsKeepTheirOrderAndEntriesTheirStoredOrder) {
    Put(ctx_, "b", "x", "1");
    Put(ctx_, "a", "y", "2");
    Put(ctx_, "b", "z", "3");
    CONF_VALUE *replaced = Put(ctx_, "b", "x", "4");  // leaves its place, joins at the end
    ASSERT_EQ(section_count(ctx_->table), 2);
    EXPECT_STREQ(section_at(ctx_->table, 0)->section, "b");
    EXPECT_STREQ(section_at(ctx_->table, 1)->section, "a");
    EXPECT_EQ(section_at(ctx_->table, 2), nullptr);
    EXPECT_EQ(section_at(ctx_->table, -1), nullptr);
    CONF_VALUE *b = get_section(ctx_, "b");
    ASSERT_EQ(entry_count(b), 2);
    EXPECT_STREQ(entry_at(b, 0)->name, "z");
    EXPECT_EQ(entry_at(b, 1), replaced);
    EXPECT_EQ(entry_at(b, 2), nullptr);
    EXPECT_STREQ(CONF_get_string(ctx_, "b", "x"), "4");
    EXPECT_EQ(store_check(ctx_), nullptr);
    EXPECT_EQ(section_count(nullptr), 0);
}

TEST_F(ConfContext, TheStoreCheckerFindsABrokenInvariant) {
    Put(ctx_, "s", "a", "1");
    CONF_VALUE *s = get_section(ctx_, "s");
    CONF_VALUE *e = entry_at(s, 0);
    char other[] = "s";
    e->section = other;  // an equal string, but not the section's own
    EXPECT_STREQ(store_check(ctx_), "entry does not share its section's name");
    e->section = s->section;
    EXPECT_EQ(store_check(ctx_), nullptr);
}

// ---- the arena ----

// Entries from the table's arena and from the heap side by side: replacing
// one entry again and again reuses its block, a large entry and a section of
// many entries leave the arena's sizes, and the release frees every heap
// block (the sanitizer's leak check runs over this test).
TEST_F(ConfContext, ArenaEntriesAndHeapEntriesLiveSideBySide) {
    Put(ctx_, "s", "heap", "from make_entry");
    LH_TABLE *t = ctx_->table;
    CONF_VALUE *s = get_section(ctx_, "s");
    const std::string big(300, 'b');
    const CONF_VALUE *first = nullptr;
    for (int i = 0; i < 50; ++i) {
        const std::string value = i % 2 == 0 ? "v" + std::to_string(i % 10) : big;
        CONF_VALUE *e = make_entry_in(t, "k", 1, value.data(), value.size());
        ASSERT_NE(e, nullptr);
        ASSERT_EQ(store_entry(ctx_, s, e), 0);
        if (i == 0) first = e;
        // The small values take the block the last small one gave back.
        if (i % 2 == 0) {
            EXPECT_EQ(e, first) << i;
        }
    }
    EXPECT_EQ(std::string(CONF_get_string(ctx_, "s", "k")), big);
    for (int i = 0; i < 40; ++i) {
        const std::string name = "n" + std::to_string(i);
        CONF_VALUE *e = make_entry_in(t, name.data(), name.size(), "x", 1);
        ASSERT_NE(e, nullptr);
        ASSERT_EQ(store_entry(ctx_, s, e), 0);
    }
    CONF_VALUE *unstored = make_entry_in(t, "u", 1, "y", 1);
    ASSERT_NE(unstored, nullptr);
    discard_entry(t, unstored);
    ASSERT_EQ(entry_count(s), 42);
    EXPECT_STREQ(entry_at(s, 0)->name, "heap");
    EXPECT_STREQ(entry_at(s, 1)->name, "k");
    EXPECT_STREQ(entry_at(s, 41)->name, "n39");
    EXPECT_STREQ(CONF_get_string(ctx_, "s", "n17"), "x");
    EXPECT_EQ(store_check(ctx_), nullptr);
}

TEST(ConfFree, NullAndUnloadedContextsAreFine) {
    CONF_free(nullptr);
    CONF_free(CONF_new());
    CONF_lhash_free(nullptr);
}

}  // namespace
