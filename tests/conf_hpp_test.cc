// The C++ interface through one realistic program: a service reads its
// settings from an embedded default and an operator's file, lists them, and
// reports a broken file with its line.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "conf.hpp"
#include "temp_files.h"

namespace {

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
    EXPECT_EQ(err->text, "missing equal sign, line 3");
    EXPECT_EQ(err->line, 3);
    EXPECT_EQ(conf.sections().size(), 0);

    // A later good load is a success, though the context still remembers
    // the earlier error (CONF_load itself would return -105).
    EXPECT_FALSE(conf.load_string("x = 1\n"));
    EXPECT_EQ(conf.last_error().number, -105);
    EXPECT_EQ(CONF_get_last_errnum(conf.get()), -105);
}

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
    CONF_CTX *raw = c.release();
    EXPECT_EQ(CONF_get_string(raw, "default", "k"), std::string("v"));
    CONF_free(raw);
}

}  // namespace
