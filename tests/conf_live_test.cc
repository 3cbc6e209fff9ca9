// Live configuration: reloads that keep the configuration in use on a bad
// edit, snapshots that outlive reloads, the change report (also against a
// model on random pairs), and the check and descriptor that tell a service
// when to reload.
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "conf.hpp"
#include "conf_live.h"
#include "conf_live_internal.h"
#include "scratch_dir.h"

namespace {

namespace fs = std::filesystem;

using Change = std::tuple<int, std::string, std::string, std::string, std::string>;

std::string Or(const char *s) { return s != nullptr ? s : "(null)"; }

std::vector<Change> Changes(const CONF_CHANGE *c, size_t n) {
    std::vector<Change> out;
    for (size_t i = 0; i < n; ++i)
        out.emplace_back(c[i].kind, c[i].section, c[i].name, Or(c[i].old_value),
                         Or(c[i].new_value));
    return out;
}

std::vector<Change> LiveChanges(const CONF_LIVE *live) {
    size_t n = 0;
    const CONF_CHANGE *c = CONF_live_changes(live, &n);
    return Changes(c, n);
}

std::string Get(CONF_CTX *ctx, const char *section, const char *name) {
    return Or(CONF_get_string(ctx, section, name));
}

constexpr int kAdd = CONF_CHANGE_ADDED;
constexpr int kDel = CONF_CHANGE_REMOVED;
constexpr int kMod = CONF_CHANGE_CHANGED;

// With a schema, a configuration that it finds an error in is refused as a
// load that fails, with the finding's text, file and line; warnings refuse
// nothing; without the schema again, the same file loads.
TEST(LiveReload, ASchemaRefusesWhatItFindsWrong) {
    Scratch dir;
    const std::string path = dir.Write("s.conf", "[net]\nport = 80\n");
    const char *kSchema = "[net]\nport = int 1..65535 = 8080\n";
    CONF_SCHEMA *schema = CONF_schema_load_buffer(kSchema, std::strlen(kSchema), nullptr);
    ASSERT_NE(schema, nullptr);
    CONF_LIVE *live = CONF_live_new_file(path.c_str());
    ASSERT_EQ(CONF_live_set_schema(live, schema), 0);
    ASSERT_EQ(CONF_live_reload(live), 1);
    dir.Replace("s.conf", "[net]\nprot = 81\nport = 81\n");  // an unknown key: a warning
    ASSERT_EQ(CONF_live_reload(live), 2);
    dir.Replace("s.conf", "[net]\nport = 80O\n");
    EXPECT_EQ(CONF_live_reload(live), -121);
    const char *file = nullptr;
    int line = 0;
    EXPECT_STREQ(CONF_live_last_error(live, &file, &line), "'80O' is not an int (net port)");
    EXPECT_EQ(Or(file), path);
    EXPECT_EQ(line, 2);
    CONF_CTX *ctx = CONF_live_acquire(live);
    EXPECT_EQ(Get(ctx, "net", "port"), "81");  // the configuration in use stayed
    CONF_live_release(live, ctx);
    EXPECT_EQ(CONF_live_set_schema(live, nullptr), 0);
    EXPECT_EQ(CONF_live_reload(live), 2);
    EXPECT_EQ(CONF_live_set_schema(nullptr, schema), -100);
    CONF_live_free(live);
    CONF_schema_free(schema);
}

TEST(LiveReload, PublishesGoodLoadsAndKeepsTheOldOneOnABadEdit) {
    Scratch dir;
    const std::string path = dir.Write("s.conf", "[net]\nport = 80\nhost = a\n");
    CONF_LIVE *live = CONF_live_new_file(path.c_str());
    ASSERT_NE(live, nullptr);
    EXPECT_EQ(CONF_live_acquire(live), nullptr);  // nothing loaded yet
    EXPECT_EQ(CONF_live_generation(live), 0u);

    ASSERT_EQ(CONF_live_reload(live), 2);  // every entry is new
    EXPECT_EQ(LiveChanges(live), (std::vector<Change>{{kAdd, "net", "host", "(null)", "a"},
                                                      {kAdd, "net", "port", "(null)", "80"}}));
    CONF_CTX *first = CONF_live_acquire(live);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(Get(first, "net", "port"), "80");

    dir.Replace("s.conf", "[net]\nport = 80\nbroken line\n");
    EXPECT_EQ(CONF_live_reload(live), -105);
    const char *file = nullptr;
    int line = 0;
    EXPECT_STREQ(CONF_live_last_error(live, &file, &line), "missing equal sign, line 3");
    EXPECT_EQ(Or(file), path);
    EXPECT_EQ(line, 3);
    EXPECT_EQ(LiveChanges(live).size(), 2u);  // still the last success's report
    CONF_CTX *same = CONF_live_acquire(live);
    EXPECT_EQ(same, first);  // the configuration in use stayed
    CONF_live_release(live, same);

    fs::remove(path);
    EXPECT_EQ(CONF_live_reload(live), -101);
    EXPECT_STREQ(CONF_live_last_error(live, &file, &line), "unable to open configuration file");
    EXPECT_EQ(line, 0);

    dir.Replace("s.conf", "[net]\nport = 81\n");
    ASSERT_EQ(CONF_live_reload(live), 2);
    EXPECT_EQ(CONF_live_last_error(live, &file, &line), nullptr);
    EXPECT_EQ(file, nullptr);
    EXPECT_EQ(LiveChanges(live), (std::vector<Change>{{kDel, "net", "host", "a", "(null)"},
                                                      {kMod, "net", "port", "80", "81"}}));
    EXPECT_EQ(CONF_live_generation(live), 2u);
    // The snapshot held across both reloads is the first version, whole.
    EXPECT_EQ(Get(first, "net", "port"), "80");
    EXPECT_EQ(Get(first, "net", "host"), "a");
    EXPECT_EQ(nivra::conf::live_retired_count(live), 1u);
    CONF_live_release(live, first);  // its last reader: freed here
    EXPECT_EQ(nivra::conf::live_retired_count(live), 0u);

    CONF_CTX *now = CONF_live_acquire(live);
    EXPECT_EQ(Get(now, "net", "port"), "81");
    CONF_live_release(live, now);
    EXPECT_EQ(nivra::conf::live_held_count(live), 0u);
    CONF_live_free(live);
}

TEST(LiveReload, AContextWithoutReadersIsFreedByTheReloadThatReplacesIt) {
    Scratch dir;
    const std::string path = dir.Write("s.conf", "a = 1\n");
    CONF_LIVE *live = CONF_live_new_file(path.c_str());
    ASSERT_EQ(CONF_live_reload(live), 1);
    for (int i = 0; i < 5; ++i) {
        CONF_live_release(live, CONF_live_acquire(live));
        EXPECT_EQ(CONF_live_reload(live), 0);  // same file, no change
        EXPECT_EQ(LiveChanges(live).size(), 0u);
        EXPECT_EQ(nivra::conf::live_retired_count(live), 0u);
    }
    CONF_live_free(live);
}

TEST(LiveReload, LayeredSourcesAndInvalidArguments) {
    Scratch dir;
    dir.Write("vendor/app", "[s]\na = vendor\nb = vendor\n");
    dir.Write("etc/app.d/10-x.conf", "[s]\nb = admin\n");
    const std::string vendor = dir.Path("vendor"), etc = dir.Path("etc");
    const char *dirs[] = {etc.c_str(), vendor.c_str()};
    CONF_LIVE *live = CONF_live_new_layered(dirs, 2, "app");
    ASSERT_EQ(CONF_live_reload(live), 2);
    CONF_CTX *ctx = CONF_live_acquire(live);
    EXPECT_EQ(Get(ctx, "s", "b"), "admin");
    CONF_live_release(live, ctx);
    size_t n = 0;
    const CONF_CHANGE *c = CONF_live_changes(live, &n);
    ASSERT_EQ(n, 2u);
    EXPECT_EQ(Or(c[1].file), dir.Path("etc/app.d/10-x.conf"));
    EXPECT_EQ(c[1].line, 2);
    CONF_live_free(live);

    // Arguments that CONF_load_layered refuses fail every reload alike.
    CONF_LIVE *bad_name = CONF_live_new_layered(dirs, 2, "a/b");
    CONF_LIVE *no_dirs = CONF_live_new_layered(nullptr, 2, "app");
    CONF_LIVE *no_path = CONF_live_new_file(nullptr);
    for (CONF_LIVE *l : {bad_name, no_dirs, no_path}) {
        EXPECT_EQ(CONF_live_reload(l), -101);
        EXPECT_EQ(CONF_live_acquire(l), nullptr);
        CONF_live_free(l);
    }
    EXPECT_EQ(CONF_live_reload(nullptr), -100);
    EXPECT_EQ(CONF_live_changed(nullptr), -100);
    EXPECT_EQ(CONF_live_acquire(nullptr), nullptr);
    CONF_live_release(nullptr, nullptr);
    EXPECT_EQ(CONF_live_last_error(nullptr, nullptr, nullptr), nullptr);
}

TEST(LiveSnapshots, AcquireReturnsNullWhenEverySlotIsHeld) {
    Scratch dir;
    CONF_LIVE *live = CONF_live_new_file(dir.Write("s.conf", "a = 1\n").c_str());
    ASSERT_EQ(CONF_live_reload(live), 1);
    std::vector<CONF_CTX *> held;
    for (int i = 0; i < CONF_LIVE_MAX_SNAPSHOTS; ++i) held.push_back(CONF_live_acquire(live));
    EXPECT_EQ(CONF_live_acquire(live), nullptr);
    ASSERT_EQ(CONF_live_reload(live), 0);  // replaced while held 512 times
    EXPECT_EQ(nivra::conf::live_retired_count(live), 1u);
    for (CONF_CTX *c : held) {
        ASSERT_NE(c, nullptr);
        EXPECT_EQ(Get(c, nullptr, "a"), "1");
        CONF_live_release(live, c);
    }
    EXPECT_EQ(nivra::conf::live_retired_count(live), 0u);
    EXPECT_EQ(nivra::conf::live_held_count(live), 0u);
    CONF_live_release(live, held[0]);  // no longer held: ignored
    CONF_live_free(live);
}

TEST(LiveSnapshots, AReleaseGivesBackOnlyAHoldOfItsOwnThread) {
    Scratch dir;
    CONF_LIVE *live = CONF_live_new_file(dir.Write("s.conf", "a = 1\n").c_str());
    ASSERT_EQ(CONF_live_reload(live), 1);
    CONF_CTX *mine = CONF_live_acquire(live);
    std::thread([&] {
        CONF_CTX *theirs = CONF_live_acquire(live);
        EXPECT_EQ(theirs, mine);
        CONF_live_release(live, theirs);
        CONF_live_release(live, mine);  // not this thread's: ignored
    }).join();
    EXPECT_EQ(nivra::conf::live_held_count(live), 1u);
    ASSERT_EQ(CONF_live_reload(live), 0);
    EXPECT_EQ(Get(mine, nullptr, "a"), "1");  // still held, not freed
    CONF_live_release(live, mine);
    EXPECT_EQ(nivra::conf::live_held_count(live), 0u);
    EXPECT_EQ(nivra::conf::live_retired_count(live), 0u);
    CONF_live_free(live);
}

// ---- The change report ------------------------------------------------

CONF_CTX *Load(const std::string &text) {
    CONF_CTX *ctx = CONF_new();
    EXPECT_EQ(CONF_load_buffer(ctx, text.data(), text.size()), 0);
    return ctx;
}

TEST(LiveChanges, ReportsEachKindInSectionAndNameOrder) {
    struct Row {
        const char *old_text, *new_text;
        std::vector<Change> want;
    };
    const Row rows[] = {
        {"", "", {}},
        {"a = 1\n", "a = 1\n", {}},
        {"a = 1\n", "# comment\n\n a = 1\n", {}},  // same value, other line
        {"[s]\n", "[t]\n", {}},                    // sections without entries
        {"",
         "b = 2\na = 1\n",
         {{kAdd, "default", "a", "(null)", "1"}, {kAdd, "default", "b", "(null)", "2"}}},
        {"[z]\nk = 1\n[a]\nk = 2\n",
         "",
         {{kDel, "a", "k", "2", "(null)"}, {kDel, "z", "k", "1", "(null)"}}},
        {"[s]\nk = 1\nk = 2\n", "[s]\nk = 1\n", {{kMod, "s", "k", "2", "1"}}},
        {"[s]\nk = \n",
         "[s]\nk = x\nK = y\n",
         {{kAdd, "s", "K", "(null)", "y"}, {kMod, "s", "k", "", "x"}}},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(std::string(row.old_text) + " -> " + row.new_text);
        CONF_CTX *a = Load(row.old_text);
        CONF_CTX *b = Load(row.new_text);
        CONF_CHANGE *c = nullptr;
        const int n = CONF_diff(a, b, &c);
        ASSERT_GE(n, 0);
        EXPECT_EQ(Changes(c, size_t(n)), row.want);
        EXPECT_EQ(c == nullptr, n == 0);
        CONF_changes_free(c);
        CONF_free(a);
        CONF_free(b);
    }
    CONF_CHANGE *c = nullptr;
    EXPECT_EQ(CONF_diff(nullptr, nullptr, &c), 0);
    EXPECT_EQ(CONF_diff(nullptr, nullptr, nullptr), -100);
}

TEST(LiveChanges, TheReportOwnsItsStringsAndCarriesTheNewOrigin) {
    Scratch dir;
    CONF_CTX *a = Load("[s]\nk = old\n");
    CONF_CTX *b = CONF_new();
    ASSERT_EQ(CONF_load(b, dir.Write("n.conf", "\n[s]\nk = new\n").c_str()), 0);
    CONF_CHANGE *c = nullptr;
    ASSERT_EQ(CONF_diff(a, b, &c), 1);
    CONF_free(a);
    CONF_free(b);  // the report lives on without either context
    EXPECT_EQ(Changes(c, 1), (std::vector<Change>{{kMod, "s", "k", "old", "new"}}));
    EXPECT_EQ(Or(c[0].file), dir.Path("n.conf"));
    EXPECT_EQ(c[0].line, 3);
    CONF_changes_free(c);
}

// Random pairs of configurations, compared with a model of their entries.
TEST(LiveChanges, MatchesAModelOnRandomPairs) {
    std::mt19937 rng(29);
    using Model = std::map<std::pair<std::string, std::string>, std::string>;
    auto random_model = [&rng] {
        Model m;
        const int n = int(rng() % 30);
        for (int i = 0; i < n; ++i)
            m[{"s" + std::to_string(rng() % 4), "k" + std::to_string(rng() % 8)}] =
                "v" + std::to_string(rng() % 3);
        return m;
    };
    auto text_of = [](const Model &m) {
        std::string t;
        for (const auto &[key, value] : m)
            t += "[" + key.first + "]\n" + key.second + " = " + value + "\n";
        return t;
    };
    for (int round = 0; round < 300; ++round) {
        const Model old_model = random_model(), new_model = random_model();
        std::vector<Change> want;
        Model all = old_model;
        all.insert(new_model.begin(), new_model.end());
        for (const auto &[key, unused] : all) {
            const auto o = old_model.find(key), n = new_model.find(key);
            if (o == old_model.end())
                want.emplace_back(kAdd, key.first, key.second, "(null)", n->second);
            else if (n == new_model.end())
                want.emplace_back(kDel, key.first, key.second, o->second, "(null)");
            else if (o->second != n->second)
                want.emplace_back(kMod, key.first, key.second, o->second, n->second);
        }
        CONF_CTX *a = Load(text_of(old_model));
        CONF_CTX *b = Load(text_of(new_model));
        CONF_CHANGE *c = nullptr;
        const int n = CONF_diff(a, b, &c);
        ASSERT_EQ(Changes(c, size_t(n)), want) << "round " << round;
        CONF_changes_free(c);
        CONF_free(a);
        CONF_free(b);
    }
}

// ---- When to reload --------------------------------------------------------

bool Readable(int fd) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, 0) == 1;
}

// A layered set etc (first) over vendor; each row changes it one way after a
// reload, and both the check and the descriptor must see it.
TEST(LiveWatch, TheCheckAndTheDescriptorSeeEveryKindOfChange) {
    struct Row {
        const char *what;
        void (*change)(const Scratch &);
        bool seen;
    };
    const Row rows[] = {
        {"nothing", [](const Scratch &) {}, false},
        {"temporary file beside a drop-in",
         [](const Scratch &d) { d.Write("vendor/app.d/.x.swp", "x"); }, false},
        {"main file replaced by rename",
         [](const Scratch &d) { d.Replace("vendor/app", "a = 2\n"); }, true},
        {"main file written in place", [](const Scratch &d) { d.Write("vendor/app", "a = 22\n"); },
         true},
        {"new drop-in", [](const Scratch &d) { d.Write("vendor/app.d/20-new.conf", "b = 1\n"); },
         true},
        {"removed drop-in", [](const Scratch &d) { fs::remove(d.Path("vendor/app.d/10-v.conf")); },
         true},
        {"renamed drop-in",
         [](const Scratch &d) {
             fs::rename(d.Path("vendor/app.d/10-v.conf"), d.Path("vendor/app.d/30-v.conf"));
         },
         true},
        {"masked drop-in",
         [](const Scratch &d) {
             fs::create_directories(d.Path("etc/app.d"));
             fs::create_symlink("/dev/null", d.Path("etc/app.d/10-v.conf"));
         },
         true},
        {"drop-in directory made after the reload",
         [](const Scratch &d) { d.Write("etc/app.d/5.conf", "c = 1\n"); }, true},
        {"main file in a higher directory", [](const Scratch &d) { d.Write("etc/app", "a = 3\n"); },
         true},
        {"a drop-in's link target rewritten",
         [](const Scratch &d) { d.Write("targets/one", "l = 11\n"); }, true},
        {"symbolic link switched",
         [](const Scratch &d) {
             fs::create_symlink(d.Path("targets/two"), d.Path("vendor/app.d/l.tmp"));
             fs::rename(d.Path("vendor/app.d/l.tmp"), d.Path("vendor/app.d/15-link.conf"));
         },
         true},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        Scratch d;
        d.Write("vendor/app", "a = 1\n");
        d.Write("vendor/app.d/10-v.conf", "b = 0\n");
        d.Write("targets/one", "l = 1\n");
        d.Write("targets/two", "l = 2\n");
        fs::create_symlink(d.Path("targets/one"), d.Path("vendor/app.d/15-link.conf"));
        fs::create_directories(d.Path("etc"));
        const std::string etc = d.Path("etc"), vendor = d.Path("vendor");
        const char *dirs[] = {etc.c_str(), vendor.c_str()};
        CONF_LIVE *live = CONF_live_new_layered(dirs, 2, "app");
        EXPECT_EQ(CONF_live_changed(live), 1);  // never loaded
        const int fd = CONF_live_watch_fd(live);
        ASSERT_GE(fd, 0);
        EXPECT_EQ(CONF_live_watch_fd(live), fd);
        ASSERT_GE(CONF_live_reload(live), 0);
        EXPECT_EQ(CONF_live_changed(live), 0);
        EXPECT_FALSE(Readable(fd));
        row.change(d);
        EXPECT_EQ(Readable(fd),
                  row.seen || std::string(row.what).find("temporary") != std::string::npos);
        EXPECT_EQ(CONF_live_changed(live), row.seen ? 1 : 0);
        EXPECT_FALSE(Readable(fd));  // the check read the events
        ASSERT_GE(CONF_live_reload(live), 0);
        EXPECT_EQ(CONF_live_changed(live), 0);
        CONF_live_free(live);
    }
}

TEST(LiveWatch, OneFileSourceSeesRenameAndALinkSwitched) {
    Scratch d;
    d.Write("a/one", "x = 1\n");
    d.Write("b/two", "x = 2\n");
    fs::create_symlink(d.Path("a/one"), d.Path("s.conf"));
    CONF_LIVE *live = CONF_live_new_file(d.Path("s.conf").c_str());
    const int fd = CONF_live_watch_fd(live);
    ASSERT_EQ(CONF_live_reload(live), 1);
    d.Write("a/one", "x = 11\n");  // the link's target changes in its own directory
    EXPECT_TRUE(Readable(fd));
    EXPECT_EQ(CONF_live_changed(live), 1);
    ASSERT_EQ(CONF_live_reload(live), 1);
    fs::create_symlink(d.Path("b/two"), d.Path("s.tmp"));
    fs::rename(d.Path("s.tmp"), d.Path("s.conf"));
    EXPECT_TRUE(Readable(fd));
    EXPECT_EQ(CONF_live_changed(live), 1);
    ASSERT_EQ(CONF_live_reload(live), 1);
    CONF_CTX *ctx = CONF_live_acquire(live);
    EXPECT_EQ(Get(ctx, nullptr, "x"), "2");
    CONF_live_release(live, ctx);
    EXPECT_EQ(CONF_live_changed(live), 0);
    CONF_live_free(live);
}

// ---- C++ ---------------------------------------------------------------------

TEST(LiveConfCpp, ReloadGivesTheChangesOrTheErrorAndSnapshotsHoldTheirVersion) {
    Scratch dir;
    const std::string path = dir.Write("s.conf", "[s]\nport = 80\n");
    nivra::LiveConf live = nivra::LiveConf::file(path);
    {
        nivra::LiveConf::Snapshot none(live);
        EXPECT_FALSE(none);
        EXPECT_FALSE(none->get("s", "port").has_value());
    }
    nivra::LiveReload r = live.reload();
    ASSERT_FALSE(r.error);
    ASSERT_EQ(r.changes.size(), 1u);
    EXPECT_EQ(r.changes[0].kind, CONF_CHANGE_ADDED);
    EXPECT_FALSE(r.changes[0].old_value);
    EXPECT_EQ(r.changes[0].new_value, "80");
    EXPECT_EQ(r.changes[0].file, path);
    EXPECT_EQ(r.changes[0].line, 2);

    {
        nivra::LiveConf::Snapshot before = live.snapshot();
        ASSERT_TRUE(before);
        dir.Replace("s.conf", "[s]\nport = 81\n");
        EXPECT_EQ(live.changed(), 1);
        r = live.reload();
        ASSERT_EQ(r.changes.size(), 1u);
        EXPECT_EQ(r.changes[0].old_value, "80");
        EXPECT_EQ(before->get_int64("s", "port"), 80);  // held across the reload
        EXPECT_EQ(nivra::LiveConf::Snapshot(live)->get_int64("s", "port"), 81);
    }  // every snapshot goes before its live configuration

    dir.Replace("s.conf", "[s\n");
    r = live.reload();
    ASSERT_TRUE(r.error);
    EXPECT_EQ(r.error->number, -104);
    EXPECT_EQ(r.error->line, 1);
    EXPECT_EQ(r.error->text, "missing close square bracket");  // the line apart
    EXPECT_EQ(live.last_error_origin().file, path);
    EXPECT_EQ((*live.snapshot()).get_int64("s", "port"), 81);
    EXPECT_EQ(live.generation(), 2u);

    nivra::LiveConf moved = std::move(live);
    EXPECT_EQ(live.reload().error->number, -100);  // NOLINT(bugprone-use-after-move)
    EXPECT_FALSE(nivra::LiveConf::Snapshot(live));
    EXPECT_GE(moved.watch_fd(), 0);
}

TEST(LiveConfCpp, LayeredSets) {
    Scratch dir;
    dir.Write("a/app", "x = 1\n");
    dir.Write("b/app.d/1.conf", "y = 2\n");
    nivra::LiveConf live = nivra::LiveConf::layered({dir.Path("b"), dir.Path("a")}, "app");
    EXPECT_EQ(live.reload().changes.size(), 2u);
    auto conf = live.snapshot();
    EXPECT_EQ(conf->get(nullptr, "y"), "2");
}

}  // namespace
