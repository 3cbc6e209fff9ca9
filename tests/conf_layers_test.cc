// Layered configuration: which files load, in what order, and where each
// value came from.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "conf.h"

namespace {

// A scratch tree: etc/, run/ and lib/ directories, removed afterwards.
class Layers : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/nivra_layers_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root_ = pattern;
        for (const char *d : {"etc", "run", "lib"}) dirs_.push_back(root_ + "/" + d);
        ctx_ = CONF_new();
    }
    void TearDown() override {
        CONF_free(ctx_);
        const std::string cmd = "rm -rf '" + root_ + "'";
        ASSERT_EQ(std::system(cmd.c_str()), 0);
    }
    // Writes root/rel with bytes, making its directories.
    std::string Put(const std::string &rel, const std::string &bytes) {
        const std::string path = root_ + "/" + rel;
        const std::string cmd = "mkdir -p \"$(dirname '" + path + "')\"";
        EXPECT_EQ(std::system(cmd.c_str()), 0);
        std::FILE *f = std::fopen(path.c_str(), "wb");
        std::fwrite(bytes.data(), 1, bytes.size(), f);
        std::fclose(f);
        return path;
    }
    int Load(const char *name = "app.conf") {
        std::vector<const char *> dirs;
        for (const std::string &d : dirs_) dirs.push_back(d.c_str());
        return CONF_load_layered(ctx_, dirs.data(), dirs.size(), name);
    }
    std::string Get(const char *section, const char *name) {
        const char *v = CONF_get_string(ctx_, section, name);
        return v != nullptr ? v : "(none)";
    }
    std::string Origin(const char *section, const char *name) {
        const char *file = nullptr;
        int line = 0;
        if (CONF_get_origin(ctx_, section, name, &file, &line) != 1) return "(none)";
        return (file != nullptr ? std::string(file).substr(root_.size() + 1) : "-") + ":" +
               std::to_string(line);
    }
    std::string root_;
    std::vector<std::string> dirs_;
    CONF_CTX *ctx_ = nullptr;
};

TEST_F(Layers, MainFileByPriorityThenDropInsByName) {
    Put("lib/app.conf", "a = lib\nb = lib\n");
    Put("run/app.conf", "a = run\n");
    Put("lib/app.conf.d/20-b.conf", "[s]\nb = lib20\n");
    Put("etc/app.conf.d/10-a.conf", "\n\n[s]\nb = etc10\nc = etc10\n");
    Put("lib/app.conf.d/10-a.conf", "[s]\nb = never\n");  // replaced by etc's copy
    Put("run/app.conf.d/30-c.conf", "[s]\nc = \\\n  run30\n");
    Put("lib/app.conf.d/README", "not a drop-in\n");
    Put("lib/app.conf.d/.hidden.conf", "x = 1\n");
    EXPECT_EQ(Load(), 0);
    EXPECT_EQ(Get("default", "a"), "run");
    EXPECT_EQ(Get("default", "b"), "(none)");  // lib's main file is not read
    EXPECT_EQ(Get("s", "b"), "lib20");
    EXPECT_EQ(Get("s", "c"), "run30");
    EXPECT_EQ(Get("default", "x"), "(none)");
    EXPECT_EQ(Origin("default", "a"), "run/app.conf:1");
    EXPECT_EQ(Origin("s", "b"), "lib/app.conf.d/20-b.conf:2");
    EXPECT_EQ(Origin("s", "c"), "run/app.conf.d/30-c.conf:2");  // first line of the definition
    EXPECT_EQ(Origin("s", "nope"), "(none)");
    EXPECT_EQ(Origin("nope", "a"), "(none)");  // no fallback to default
    EXPECT_EQ(CONF_get_last_error_file(ctx_), nullptr);
}

TEST_F(Layers, EmptyFilesAndLinksToDevNullMask) {
    Put("etc/app.conf", "a = 1\n");
    Put("lib/app.conf.d/50-x.conf", "x = vendor\n");
    Put("lib/app.conf.d/60-y.conf", "y = vendor\n");
    Put("etc/app.conf.d/50-x.conf", "");
    Put("run/app.conf.d/.keep", "");
    ASSERT_EQ(symlink("/dev/null", (root_ + "/run/app.conf.d/60-y.conf").c_str()), 0);
    EXPECT_EQ(Load(), 0);
    EXPECT_EQ(Get("default", "x"), "(none)");
    EXPECT_EQ(Get("default", "y"), "(none)");
    EXPECT_EQ(Get("default", "a"), "1");
}

// Whatever stands first under a name decides for the main file as for a
// drop-in: a file loads, anything else keeps the lower copies from loading.
TEST_F(Layers, TheMainFileIsMaskedAsADropInIs) {
    Put("lib/app.conf", "a = vendor\n");
    Put("lib/app.conf.d/10-x.conf", "x = vendor\n");
    Put("etc/app.conf.d/.keep", "");
    Put("run/app.conf.d/.keep", "");
    const struct {
        const char *what;
        void (*make)(const std::string &path);
        std::string expected;
    } cases[] = {
        {"a link to /dev/null",
         [](const std::string &p) { (void)!symlink("/dev/null", p.c_str()); }, "(none)"},
        {"a dangling link", [](const std::string &p) { (void)!symlink("nowhere", p.c_str()); },
         "(none)"},
        {"a directory", [](const std::string &p) { (void)!mkdir(p.c_str(), 0700); }, "(none)"},
        {"nothing", [](const std::string &) {}, "vendor"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        for (const std::string dir : {"/etc/", "/run/"}) {
            const std::string main = root_ + dir + "app.conf";
            const std::string drop_in = root_ + dir + "app.conf.d/10-x.conf";
            CONF_free(ctx_);
            ctx_ = CONF_new();
            c.make(main);
            c.make(drop_in);
            EXPECT_EQ(Load(), 0);
            EXPECT_EQ(Get("default", "a"), c.expected);
            EXPECT_EQ(Get("default", "x"), c.expected);
            std::remove(main.c_str());
            std::remove(drop_in.c_str());
        }
    }
    // An empty main file loads nothing and masks too, as it always did.
    Put("run/app.conf", "");
    CONF_free(ctx_);
    ctx_ = CONF_new();
    EXPECT_EQ(Load(), 0);
    EXPECT_EQ(Get("default", "a"), "(none)");
    // A name that no directory has is no error: nothing loads.
    CONF_free(ctx_);
    ctx_ = CONF_new();
    EXPECT_EQ(Load("misspelt.conf"), 0);
    EXPECT_EQ(CONF_get_section_count(ctx_), 0);
}

TEST_F(Layers, DropInsLoadInTheByteOrderOfTheirNames) {
    // Sorted by bytes, not as numbers or letters: "10" before "9", upper
    // case before lower, bytes above 0x7F last.
    const char *const in_order[] = {"10-b", "9-a", "A", "_x", "a", "\xC3\xA9"};
    Put("lib/app.conf", "order = main\n");
    for (size_t i = 0; i < sizeof in_order / sizeof *in_order; ++i) {
        const std::string name = in_order[i];
        Put(std::string(i % 2 ? "etc" : "lib") + "/app.conf.d/" + name + ".conf",
            "order = $order," + name + "\n");
    }
    EXPECT_EQ(Load(), 0);
    EXPECT_EQ(Get("default", "order"), "main,10-b,9-a,A,_x,a,\xC3\xA9");
}

TEST_F(Layers, LinksToRegularFilesLoad) {
    const std::string vendor = Put("opt/main.conf", "a = linked\n");
    const std::string extra = Put("opt/extra.conf", "b = linked\n");
    Put("lib/app.conf", "a = vendor\n");
    Put("etc/app.conf.d/.keep", "");
    Put("run/.keep", "");
    ASSERT_EQ(symlink(vendor.c_str(), (root_ + "/run/app.conf").c_str()), 0);
    ASSERT_EQ(symlink(extra.c_str(), (root_ + "/etc/app.conf.d/20-extra.conf").c_str()), 0);
    EXPECT_EQ(Load(), 0);
    EXPECT_EQ(Get("default", "a"), "linked");
    EXPECT_EQ(Get("default", "b"), "linked");
    EXPECT_EQ(Origin("default", "b"), "etc/app.conf.d/20-extra.conf:1");
}

TEST_F(Layers, NothingToLoadAndBadNames) {
    EXPECT_EQ(Load(), 0);  // no directory exists
    EXPECT_EQ(CONF_get_section_count(ctx_), 0);
    for (const char *bad : {"", ".", "..", "a/b", "/abs"}) {
        CONF_clear_error(ctx_);
        EXPECT_EQ(Load(bad), -101) << bad;
        EXPECT_EQ(CONF_get_last_error_file(ctx_), nullptr);
    }
    // Like CONF_load, it returns the context's last error: here the one before.
    EXPECT_EQ(CONF_load_layered(ctx_, nullptr, 0, "app.conf"), -101);
    CONF_clear_error(ctx_);
    EXPECT_EQ(CONF_load_layered(ctx_, nullptr, 0, "app.conf"), 0);
    EXPECT_EQ(CONF_load_layered(ctx_, nullptr, 1, "app.conf"), -101);
    EXPECT_EQ(CONF_load_layered(nullptr, nullptr, 0, "app.conf"), -100);
    EXPECT_EQ(Load(nullptr), -101);
}

TEST_F(Layers, AFailingDropInNamesItsFileAndLine) {
    Put("etc/app.conf", "a = 1\n");
    Put("lib/app.conf.d/10.conf", "b = 2\n");
    const std::string bad = Put("lib/app.conf.d/20.conf", "# ok\nbroken\n");
    Put("lib/app.conf.d/30.conf", "c = 3\n");
    EXPECT_EQ(Load(), -105);
    EXPECT_STREQ(CONF_get_last_error_file(ctx_), bad.c_str());
    EXPECT_EQ(CONF_get_last_error_line(ctx_), 2);
    EXPECT_EQ(Get("default", "c"), "(none)");  // loading stopped; the table is gone
    // A stream's error has no file.
    CONF_clear_error(ctx_);
    EXPECT_EQ(CONF_load_buffer(ctx_, "x\n", 2), -105);
    EXPECT_EQ(CONF_get_last_error_file(ctx_), nullptr);
}

TEST_F(Layers, OriginsFollowReplacementAcrossLoads) {
    const std::string first = Put("one.conf", "[s]\nk = 1\nj = 1\n");
    const std::string second = Put("two.conf", "\n[s]\nk = 2\n");
    ASSERT_EQ(CONF_load(ctx_, first.c_str()), 0);
    ASSERT_EQ(CONF_load(ctx_, second.c_str()), 0);
    EXPECT_EQ(Origin("s", "k"), "two.conf:3");
    EXPECT_EQ(Origin("s", "j"), "one.conf:3");
    ASSERT_EQ(CONF_load_buffer(ctx_, "[s]\n\nj = 3\n", 10), 0);
    EXPECT_EQ(Origin("s", "j"), "-:3");
    EXPECT_EQ(CONF_get_origin(ctx_, "s", "j", nullptr, nullptr), 1);
    EXPECT_EQ(CONF_get_origin(nullptr, "s", "j", nullptr, nullptr), 0);
    EXPECT_EQ(CONF_load(ctx_, (root_ + "/missing.conf").c_str()), -101);
    EXPECT_EQ(std::string(CONF_get_last_error_file(ctx_)), root_ + "/missing.conf");
}

TEST_F(Layers, AThousandDropIns) {
    Put("lib/app.conf", "[s]\nn = 0\n");
    for (int i = 0; i < 1000; ++i) {
        char name[64];
        std::snprintf(name, sizeof name, "%s/app.conf.d/%04d.conf", i % 2 ? "etc" : "lib", i);
        Put(name, "[s]\nn = " + std::to_string(i) + "\nk" + std::to_string(i) + " = $n\n");
    }
    EXPECT_EQ(Load(), 0);
    EXPECT_EQ(Get("s", "n"), "999");
    EXPECT_EQ(Get("s", "k500"), "500");
    EXPECT_EQ(CONF_get_entry_count(ctx_, "s"), 1001);
    EXPECT_EQ(Origin("s", "k7"), "etc/app.conf.d/0007.conf:3");
}

}  // namespace
