// The C++ interface through one realistic program: a service reads its
// settings from an embedded default and an operator's file, lists them, and
// reports a broken file with its line.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <iterator>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>
#if __cplusplus >= 202002L
#include <ranges>
#endif

#include "conf.hpp"
#include "temp_files.h"

namespace {

using namespace std::string_view_literals;

constexpr std::string_view kDefaults =
    "[server]\nport = 8080\nverbose = no\n[limits]\nratio = 0.5\n";

TEST(ConfHpp, AServiceReadsListsAndReports) {
    TempFiles files;
    nivra::Conf conf;
    ASSERT_FALSE(conf.load_string(kDefaults));
    const std::string site = files.Write("[server]\nport = 9090\nname = \"edge one\"\n[extra]\n");
    ASSERT_FALSE(conf.load_file(site));

    EXPECT_EQ(conf.get_int64("server", "port"), 9090);
    EXPECT_EQ(conf.get_bool("server", "verbose"), false);
    EXPECT_EQ(conf.get_double("limits", "ratio"), 0.5);
    EXPECT_EQ(conf.get("server", "name"), "edge one");
    EXPECT_FALSE(conf.get("server", "missing"));
    EXPECT_EQ(conf.get_int64("server", "name"), std::nullopt);  // not a number
    EXPECT_EQ(conf.get_int64("server", "threads").value_or(4), 4);

    std::vector<std::string> seen;
    for (std::string_view section : conf.sections()) {
        for (nivra::ConfEntry e : conf.entries(section)) {
            seen.push_back(std::string(section) + "." + std::string(e.name) + "=" +
                           std::string(e.value));
        }
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"server.verbose=no", "server.port=9090",
                                              "server.name=edge one", "limits.ratio=0.5"}));
    EXPECT_EQ(conf.sections().size(), 4);  // default, server, limits, extra
    EXPECT_EQ(conf.entries("nosuch").size(), 0);

    // A broken file: the error value carries number, text and line; the
    // table is gone, as with the C call.
    auto err = conf.load_string("[a]\nok = 1\nbroken\n");
    ASSERT_TRUE(err);
    EXPECT_EQ(err->number, -105);
    EXPECT_EQ(err->text, "missing equal sign");
    EXPECT_EQ(err->line, 3);
    EXPECT_EQ(conf.sections().size(), 0);

    // A later good load is a success, though the context still remembers
    // the earlier error (CONF_load itself would return -105).
    EXPECT_FALSE(conf.load_string("x = 1\n"));
    EXPECT_EQ(conf.last_error().number, -105);
    EXPECT_EQ(CONF_get_last_errnum(conf.get()), -105);
}

// Both own their C handle alone: moved, never copied, never throwing on a
// move, and no bigger than the pointer.
template <typename T>
constexpr bool kMoveOnlyHandle =
    std::is_nothrow_move_constructible_v<T> &&std::is_nothrow_move_assignable_v<T> &&
    !std::is_copy_constructible_v<T> && !std::is_copy_assignable_v<T> &&
    sizeof(T) == sizeof(void *);
static_assert(kMoveOnlyHandle<nivra::Conf>);
static_assert(kMoveOnlyHandle<nivra::ConfDoc>);

TEST(ConfHpp, OwnershipMoves) {
    nivra::Conf a;
    ASSERT_FALSE(a.load_string("k = v\n"));
    nivra::Conf b(std::move(a));
    EXPECT_EQ(a.get(), nullptr);
    EXPECT_EQ(b.get("default", "k"), "v");
    EXPECT_FALSE(a.get("default", "k"));
    EXPECT_TRUE(a.load_string("k = v\n"));  // a moved-from Conf fails, never crashes
    nivra::Conf c(CONF_new());
    c = std::move(b);
    EXPECT_EQ(c.get("default", "k"), "v");
    nivra::Conf &same = c;
    c = std::move(same);  // a move onto itself keeps the context
    EXPECT_EQ(c.get("default", "k"), "v");
    CONF_CTX *raw = c.release();
    EXPECT_EQ(CONF_get_string(raw, "default", "k"), std::string("v"));
    CONF_free(raw);
}

// Every lookup takes a const char *, a std::string or a std::string_view;
// a string_view need not be NUL-terminated, and a name holding a NUL byte
// names nothing.
TEST(ConfHpp, LookupsTakeEveryKindOfString) {
    nivra::Conf conf;
    ASSERT_FALSE(conf.load_string(
        "port = 1\n[server]\nport = 8080\nratio = 0.5\nverbose = yes\n[client]\nport = 9\n"));

    // Section names from the listing used as keys of lookups.
    std::vector<std::string> ports;
    for (std::string_view s : conf.sections()) ports.emplace_back(conf.get(s, "port").value());
    EXPECT_EQ(ports, (std::vector<std::string>{"1", "8080", "9"}));

    const std::string section = "server";
    const std::string_view name = "port";
    EXPECT_EQ(conf.get(section, name), "8080");
    EXPECT_EQ(conf.get(name, section), std::nullopt);
    EXPECT_EQ(conf.get_int64(std::string_view(section), std::string("port")), 8080);
    EXPECT_EQ(conf.get_double(std::string_view("server"), "ratio"), 0.5);
    EXPECT_EQ(conf.get_bool(section, std::string_view("verbose")), true);

    // Views into longer text: only the viewed bytes count.
    const std::string text = "serverport";
    const std::string_view server = std::string_view(text).substr(0, 6);
    const std::string_view port = std::string_view(text).substr(6, 4);
    EXPECT_EQ(conf.get(server, port), "8080");
    EXPECT_EQ(conf.get(server, std::string_view(text).substr(6, 2)), std::nullopt);  // "po"
    EXPECT_EQ(conf.get_int64(std::string_view(text).substr(0, 5), port), 1);  // "serve": default
    EXPECT_EQ(conf.get(std::string_view(), port), "1");                       // "": default

    // A name longer than the copy kept on the stack.
    const std::string long_name(300, 'n');
    ASSERT_FALSE(conf.load_string("[server]\n" + long_name + " = far\n"));
    EXPECT_EQ(conf.get(server, std::string_view(long_name + "tail").substr(0, 300)), "far");
    EXPECT_EQ(conf.get(std::string_view(long_name + "tail").substr(0, 300), "port"), "1");

    // A NUL byte: the entry is not found; such a section does not exist, so
    // the fallbacks answer, as for a null section.
    using namespace std::string_literals;
    EXPECT_EQ(conf.get("server", "port\0x"s), std::nullopt);
    EXPECT_EQ(conf.get("server", "port\0"sv), std::nullopt);
    EXPECT_EQ(conf.get_int64("server", "port\0"s), std::nullopt);
    EXPECT_EQ(conf.get("server\0"s, "port"), "1");
    EXPECT_EQ(conf.get(nullptr, "port"), "1");
    EXPECT_EQ(conf.get("server", nullptr), std::nullopt);
    EXPECT_EQ(conf.get_bool("server", nullptr), std::nullopt);

    // entries() too; a section it cannot name is empty.
    EXPECT_EQ(conf.entries(server).size(), 4);
    EXPECT_EQ(conf.entries(std::string_view(text).substr(0, 5)).size(), 0);
    EXPECT_EQ(conf.entries("server\0"s).size(), 0);
    EXPECT_EQ(conf.entries(nullptr).size(), 0);
    EXPECT_EQ(conf.entries(std::string("client")).size(), 1);
}

using SectionIt = nivra::Conf::Sections::iterator;
using EntryIt = nivra::Conf::Entries::iterator;
static_assert(
    std::is_same_v<std::iterator_traits<SectionIt>::iterator_category, std::input_iterator_tag>);
static_assert(std::is_same_v<std::iterator_traits<SectionIt>::value_type, std::string_view>);
static_assert(std::is_same_v<std::iterator_traits<EntryIt>::reference, nivra::ConfEntry>);
static_assert(std::is_same_v<std::iterator_traits<EntryIt>::difference_type, std::ptrdiff_t>);
static_assert(std::is_default_constructible_v<SectionIt>);
#if __cplusplus >= 202002L
static_assert(std::forward_iterator<SectionIt>);
static_assert(std::forward_iterator<EntryIt>);
static_assert(std::ranges::forward_range<nivra::Conf::Sections>);
static_assert(std::ranges::forward_range<nivra::Conf::Entries>);
static_assert(std::ranges::sized_range<nivra::Conf::Sections>);
#endif

// The listings work with the standard library's algorithms and containers.
TEST(ConfHpp, ListingsAreIterators) {
    nivra::Conf conf;
    ASSERT_FALSE(conf.load_string("[a]\nx = 1\ny = 2\n[b]\n[c]\nz = 3\n"));
    const nivra::Conf::Sections s = conf.sections();
    const std::vector<std::string_view> names(s.begin(), s.end());
    EXPECT_EQ(names, (std::vector<std::string_view>{"default", "a", "b", "c"}));
    EXPECT_EQ(std::distance(s.begin(), s.end()), 4);
    auto b = std::find_if(s.begin(), s.end(), [](std::string_view n) { return n == "b"; });
    ASSERT_NE(b, s.end());
    EXPECT_EQ(*b, "b");
    auto before = b++;
    EXPECT_EQ(*before, "b");
    EXPECT_EQ(*b, "c");
    EXPECT_EQ(SectionIt(), SectionIt());
    // A section iterator reads from the context, not from the listing
    // object it came from.
    const SectionIt first = conf.sections().begin();
    EXPECT_EQ(*first, "default");

    const nivra::Conf::Entries entries = conf.entries("a");
    EXPECT_EQ(std::count_if(entries.begin(), entries.end(),
                            [](nivra::ConfEntry e) { return e.value != "1"; }),
              1);
    std::vector<nivra::ConfEntry> copied;
    std::copy(entries.begin(), entries.end(), std::back_inserter(copied));
    ASSERT_EQ(copied.size(), 2U);
    EXPECT_EQ(copied[1].name, "y");
#if __cplusplus >= 202002L
    EXPECT_EQ(std::ranges::distance(conf.sections()), 4);
    auto found = std::ranges::find(s, std::string_view("c"));
    EXPECT_EQ(*found, "c");
    const nivra::Conf::Entries c = conf.entries("c");
    auto z = std::ranges::find_if(c, [](nivra::ConfEntry e) { return e.name == "z"; });
    ASSERT_NE(z, c.end());
    EXPECT_EQ((*z).value, "3");
#endif
}

// ConfDoc: the C editing calls with their errors as values.
TEST(ConfHpp, DocumentEditsAndTellsErrors) {
    nivra::ConfDoc doc;
    EXPECT_EQ(doc.text(), "");
    ASSERT_FALSE(doc.read_string("# service\n[s]\nk = 1\n"));
    EXPECT_EQ(doc.text(), "# service\n[s]\nk = 1\n");

    EXPECT_FALSE(doc.set("s", "k", "2"));
    const std::string text = "s k";
    EXPECT_FALSE(doc.set(std::string_view(text).substr(0, 1), std::string_view(text).substr(2),
                         std::string("two words")));
    EXPECT_EQ(doc.text(), "# service\n[s]\nk = two words\n");
    EXPECT_FALSE(doc.set_raw("s", "home", "$k"));
    EXPECT_EQ(doc.text(), "# service\n[s]\nk = two words\nhome = $k\n");

    // Errors: the number, the C text and line; the text is unchanged.
    auto err = doc.set("s", nullptr, "v");
    ASSERT_TRUE(err);
    EXPECT_EQ(err->number, -100);
    err = doc.set("s", "a b", "v");  // no line gives an entry name with a blank
    ASSERT_TRUE(err);
    EXPECT_EQ(err->number, -110);
    EXPECT_NE(err->text.find("name cannot be written"), std::string::npos) << err->text;
    using namespace std::string_literals;
    err = doc.set("s", "k\0x"s, "v");  // nor one with a NUL byte
    ASSERT_TRUE(err);
    EXPECT_EQ(err->number, -110);
    EXPECT_EQ(doc.set("s", "k", "v\0"sv)->number, -110);
    EXPECT_EQ(doc.text(), "# service\n[s]\nk = two words\nhome = $k\n");

    nivra::Conf conf;
    EXPECT_FALSE(doc.check(conf));
    EXPECT_EQ(conf.get("s", "home"), "two words");

    nivra::ConfRemoved removed = doc.unset("s", "home");
    EXPECT_FALSE(removed.error);
    EXPECT_EQ(removed.count, 1);
    EXPECT_EQ(doc.unset("s", "home").count, 0);
    EXPECT_EQ(doc.unset("s", "k\0"s).count, 0);
    removed = doc.remove_section(std::string_view("s"));
    EXPECT_FALSE(removed.error);
    EXPECT_EQ(removed.count, 3);  // the comment directly above the header goes with it
    EXPECT_EQ(doc.text(), "");

    // A text that does not parse: edits fail with its line, a check with
    // the load's error.
    ASSERT_FALSE(doc.read_string("[s]\nbroken\n"));
    err = doc.set("s", "k", "v");
    ASSERT_TRUE(err);
    EXPECT_EQ(err->number, -111);
    EXPECT_EQ(err->line, 2);
    removed = doc.unset("s", "k");
    ASSERT_TRUE(removed.error);
    EXPECT_EQ(removed.error->number, -111);
    EXPECT_EQ(removed.count, 0);
    err = doc.check(conf);
    ASSERT_TRUE(err);
    EXPECT_EQ(err->number, -105);
    EXPECT_EQ(err->line, 2);
}

TEST(ConfHpp, AnErrorsTextIsTheSameAfterLoadsEditsAndSaves) {
    // The line is in its own field, never in the text.
    TempFiles files;
    const std::string path = files.Write("");
    nivra::Conf conf;
    nivra::ConfDoc doc;
    ASSERT_FALSE(doc.read_string("a = 1\n"));
    ASSERT_FALSE(doc.set_raw(nullptr, "b", "$nope"));
    const std::optional<nivra::ConfError> errors[] = {
        conf.load_string("a = 1\nb = $nope\n"),
        nivra::Conf().load_file(path + ".missing"),
        doc.check(conf),
        doc.save(path),
    };
    for (const auto &err : errors) {
        ASSERT_TRUE(err);
        EXPECT_EQ(err->text.find(", line"), std::string::npos) << err->text;
    }
    EXPECT_EQ(errors[0]->text, "variable has no value");
    EXPECT_EQ(errors[0]->line, 2);
    EXPECT_EQ(errors[0]->text, errors[3]->text);
    EXPECT_EQ(errors[0]->line, errors[3]->line);
    EXPECT_EQ(conf.last_error().text, "variable has no value");
    ASSERT_FALSE(doc.read_string("[s]\nbroken\n"));
    EXPECT_EQ(doc.set("s", "k", "v")->text, "text does not parse");
    // The line is the one in the text as it stands; line_origin places it.
    ASSERT_FALSE(doc.read_string("a = 1\nb = 2\n"));
    ASSERT_FALSE(doc.unset(nullptr, "a").error);
    ASSERT_TRUE(doc.line_origin(1));
    EXPECT_EQ(doc.line_origin(1)->read_line, 2);
    EXPECT_FALSE(doc.line_origin(4));
    EXPECT_EQ(nivra::ConfDoc(nullptr).set("s", "k", "v")->text, "null document pointer");
}

TEST(ConfHpp, DocumentReadsAndSavesFiles) {
    TempFiles files;
    const std::string path = files.Write("[s]\nk = 1\n");
    nivra::ConfDoc doc;
    ASSERT_FALSE(doc.read_file(path));
    ASSERT_FALSE(doc.set("s", "k", "2"));
    ASSERT_FALSE(doc.save(path));
    nivra::Conf conf;
    ASSERT_FALSE(conf.load_file(std::string_view(path)));
    EXPECT_EQ(conf.get_int64("s", "k"), 2);

    auto err = doc.read_file(files.dir() + "/missing.conf");
    ASSERT_TRUE(err);
    EXPECT_EQ(err->number, -101);
    using namespace std::string_literals;
    EXPECT_EQ(doc.read_file(path + "\0"s)->number, -101);  // passed on as null
    EXPECT_EQ(doc.text(), "[s]\nk = 2\n");

    // A text that does not load is not saved: the load's error and line.
    ASSERT_FALSE(doc.read_string("[s]\nk = 1\nbad\n"));
    err = doc.save(path);
    ASSERT_TRUE(err);
    EXPECT_EQ(err->number, -105);
    EXPECT_EQ(err->line, 3);
    ASSERT_FALSE(doc.read_string("k = v\n"));
    err = doc.save(files.dir() + "/no/such/dir/x.conf");
    ASSERT_TRUE(err);
    EXPECT_EQ(err->number, -113);
    EXPECT_EQ(doc.read_string("a\0b = 1\n"sv), std::nullopt);
    EXPECT_EQ(doc.text().size(), 8U);  // NUL bytes included

    // Flags and the wait: a new file must not exist, in place keeps links.
    const std::string linked = files.dir() + "/linked.conf";
    ASSERT_EQ(link(path.c_str(), linked.c_str()), 0);
    ASSERT_FALSE(doc.read_string("[s]\nk = 3\n"));
    EXPECT_EQ(doc.save(path, CONF_DOC_NEW_FILE, std::chrono::milliseconds(0))->number, -112);
    EXPECT_EQ(doc.save(path)->number, -118);
    EXPECT_FALSE(doc.save(path, CONF_DOC_IN_PLACE, std::chrono::seconds(1)));
    ASSERT_FALSE(conf.load_file(std::string_view(linked)));
    EXPECT_EQ(conf.get_int64("s", "k"), 3);
    std::remove(linked.c_str());
}

TEST(ConfHpp, LayeredLoadsTellWhereValuesCameFrom) {
    TempFiles files;
    const std::string main_file = files.Write("[s]\nk = main\nj = 1\n");
    const std::string dir = files.dir();
    // The scratch directory holds fN.conf files; one named like them is the
    // main file, and the lower directory (missing) changes nothing.
    const std::string name = main_file.substr(dir.size() + 1);
    nivra::Conf conf;
    const std::vector<std::string> dirs{dir, dir + "/missing"};
    ASSERT_FALSE(conf.load_layered(dirs, name));
    const auto origin = conf.origin(std::string_view("s"), "k");
    ASSERT_TRUE(origin);
    EXPECT_EQ(origin->file, main_file);
    EXPECT_EQ(origin->line, 2);
    EXPECT_FALSE(conf.origin("s", "nope"));
    EXPECT_FALSE(conf.origin("s\0k"sv, "k"));
    ASSERT_FALSE(conf.load_string("[s]\nk = mem\n"));
    EXPECT_EQ(conf.origin("s", "k")->file, "");
    const auto err = conf.load_layered({dir}, "../x");
    ASSERT_TRUE(err);
    EXPECT_EQ(err->number, -101);
    const std::string broken = files.Write("bad\n");
    const auto failed = conf.load_file(broken);
    ASSERT_TRUE(failed);
    EXPECT_EQ(conf.last_error_file(), broken);
    EXPECT_EQ(failed->line, 1);
}

TEST(ConfHpp, DocumentOwnershipMoves) {
    nivra::ConfDoc a;
    ASSERT_FALSE(a.read_string("k = v\n"));
    nivra::ConfDoc b(std::move(a));
    EXPECT_EQ(a.get(), nullptr);
    EXPECT_EQ(a.text(), "");
    EXPECT_EQ(b.text(), "k = v\n");
    auto err = a.set("default", "k", "w");  // a moved-from ConfDoc fails, never crashes
    ASSERT_TRUE(err);
    EXPECT_EQ(err->number, -100);
    EXPECT_EQ(a.unset(nullptr, "k").error->number, -100);
    nivra::Conf conf;
    EXPECT_EQ(a.check(conf)->number, -100);
    EXPECT_EQ(conf.last_error().number, 0);

    nivra::ConfDoc c(CONF_doc_new());
    c = std::move(b);
    EXPECT_FALSE(c.set(nullptr, "k", "w"));
    EXPECT_EQ(c.text(), "k = w\n");
    CONF_DOC *raw = c.release();
    EXPECT_EQ(c.get(), nullptr);
    EXPECT_STREQ(CONF_doc_text(raw, nullptr), "k = w\n");
    CONF_doc_free(raw);
}

TEST(ConfHppSchema, ValidateAndTypedReadsWithDefaults) {
    nivra::Schema schema;
    EXPECT_FALSE(schema);
    auto err = schema.load_string("[s]\nport = int = 80O\n");
    ASSERT_TRUE(err);
    EXPECT_EQ(err->number, CONF_SCHEMA_INVALID);
    EXPECT_EQ(err->line, 2);
    EXPECT_EQ(err->text.find(", line"), std::string::npos) << err->text;  // the line apart
    EXPECT_FALSE(schema);  // a failed load leaves it empty
    ASSERT_FALSE(schema.load_string(
        "[s]\nport = int 1..9 = 8\nwait = duration = 1min\nsize = size = 1K\nname = string = x\n"
        "mode = enum a b = b\non = bool = yes\nratio = double = 0.5\n"));
    EXPECT_TRUE(schema.load_file("/nonexistent"));
    EXPECT_TRUE(schema);  // still the earlier one

    nivra::Conf conf;
    EXPECT_TRUE(conf.validate(schema).empty());  // nothing loaded, nothing required
    ASSERT_FALSE(conf.load_string("[s]\nport = 10\nprt = 1\nmode = a\n"));
    const std::vector<nivra::ConfFinding> found = conf.validate(schema);
    ASSERT_EQ(found.size(), 2U);
    EXPECT_TRUE(found[0].is_error());
    EXPECT_EQ(found[0].kind, CONF_FINDING_OUT_OF_RANGE);
    EXPECT_EQ(found[0].line, 2);
    EXPECT_EQ(found[0].file, "");
    EXPECT_EQ(found[1].suggestion, "port");
    EXPECT_FALSE(found[1].is_error());
    EXPECT_TRUE(conf.validate(nivra::Schema()).empty());

    EXPECT_EQ(conf.get_int64(schema, "s", "port"), std::nullopt);  // 10 is out of range
    EXPECT_EQ(conf.get_duration(schema, "s", "wait"), std::chrono::minutes(1));
    EXPECT_EQ(conf.get_size(schema, "s", "size"), 1024U);
    EXPECT_EQ(conf.get_string(schema, "s"sv, std::string("name")), "x");
    EXPECT_EQ(conf.get_enum(schema, "s", "mode"), 0);
    EXPECT_EQ(conf.get_bool(schema, "s", "on"), true);
    EXPECT_EQ(conf.get_double(schema, "s", "ratio"), 0.5);
    EXPECT_EQ(conf.get_int64(schema, "s", "nothing"), std::nullopt);  // not described
    EXPECT_EQ(conf.get_bool(schema, "s", "port"), std::nullopt);      // another type

    nivra::Schema moved(std::move(schema));
    EXPECT_TRUE(moved);
    EXPECT_EQ(conf.get_int64(schema, "s", "port"), std::nullopt);  // NOLINT: moved-from is empty
}

}  // namespace
