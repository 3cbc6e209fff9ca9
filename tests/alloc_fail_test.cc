// Every allocation of an operation failing in turn: each run must end in
// either full success or the documented failure, leave the structure valid,
// and hold no memory once the structure is freed.
#include <gtest/gtest.h>

#include <dirent.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <filesystem>
#include <string>
#include <vector>

#include "alloc_seam.h"
#include "conf_doc.h"
#include "conf_schema.h"
#include "conf_describe.h"
#include "conf_expand.h"
#include "conf_live.h"
#include "conf_load.h"
#include "conf_entries.h"
#include "conf_store.h"
#include "container_check.h"
#include "temp_files.h"
#include "nivra_sysid.h"
#include "nivra_utils.h"

namespace {

using alloc_seam::FailNth;

// Whether Arm fails one allocation (a transient shortage) or every one from
// then on (memory stays exhausted).
bool g_persistent = false;
void Arm(long k) {
    if (g_persistent) {
        alloc_seam::FailFrom(k);
    } else {
        FailNth(k);
    }
}

// run(k) sets up, calls Arm(k) before the operation under test, checks the
// outcome, releases everything, and returns the allocations that the
// operation attempted.  Sweep runs it with no failure, then with each
// allocation failing in turn, and returns the number of allocation points.
template <typename Run>
long Sweep(const char *scenario, Run run) {
    const long base = alloc_seam::Live();
    const long points = run(0);
    FailNth(0);
    EXPECT_EQ(alloc_seam::Live(), base) << scenario << ": leak without failures";
    for (long k = 1; k <= points; ++k) {
        SCOPED_TRACE(std::string(scenario) + ", allocation " + std::to_string(k) + " failing");
        run(k);
        EXPECT_TRUE(alloc_seam::Fired());
        FailNth(0);
        EXPECT_EQ(alloc_seam::Live(), base) << "leak";
        if (::testing::Test::HasFatalFailure()) break;
    }
    std::printf("%s%s: %ld allocation points\n", scenario, g_persistent ? " (persistent)" : "",
                points);
    return points;
}

// Sweep with each failure transient, then with memory exhausted from it on.
template <typename Run>
long SweepBoth(const char *scenario, Run run) {
    const long points = Sweep(scenario, run);
    g_persistent = true;
    Sweep(scenario, run);
    g_persistent = false;
    return points;
}

TEST(AllocFail, StackOperations) {
    Sweep("stack push, insert and dup", [](long k) -> long {
        static int elems[40];
        Arm(k);
        SK_STACK *sk = sk_new(nullptr);
        if (sk == nullptr) return alloc_seam::Attempts();
        for (int i = 0; i < 40; ++i) {
            const int before = sk->count, cap = sk->capacity;
            if (sk_push(sk, &elems[i]) == 0) {
                EXPECT_EQ(sk->count, before);  // unchanged on failure
                EXPECT_EQ(sk->capacity, cap);
                EXPECT_EQ(sk_push(sk, &elems[i]), before + 1);  // and usable afterwards
            }
        }
        if (sk_insert(sk, &elems[0], 3) == 0) {
            EXPECT_EQ(sk_insert(sk, &elems[0], 3), 41);
        }
        SK_STACK *copy = sk_dup(sk);
        const long attempts = alloc_seam::Attempts();
        EXPECT_EQ(sk->count, 41);
        for (int i = 0; i < 40; ++i) EXPECT_EQ(sk->items[i < 3 ? i : i + 1], &elems[i]);
        if (copy != nullptr) {
            EXPECT_EQ(copy->count, 41);
            EXPECT_EQ(std::memcmp(copy->items, sk->items, 41 * sizeof(void *)), 0);
        }
        sk_free(copy);
        sk_free(sk);
        return attempts;
    });
}

TEST(AllocFail, TableOperations) {
    Sweep("table insert and delete", [](long k) -> long {
        static char keys[100][8];
        for (int i = 0; i < 100; ++i) std::snprintf(keys[i], sizeof keys[i], "k%d", i);
        Arm(k);
        LH_TABLE *t = lh_new(nullptr, nullptr);
        if (t == nullptr) return alloc_seam::Attempts();
        for (auto &key : keys) {
            lh_insert(t, key);
            if (t->error != 0) {
                EXPECT_EQ(TableProblem(t), "");
                // Either the node could not be had (nothing stored) or the
                // doubling failed (stored, table keeps its size).
                if (lh_retrieve(t, key) == nullptr) lh_insert(t, key);
            }
            EXPECT_EQ(t->error, 0u);
            EXPECT_EQ(TableProblem(t), "");
        }
        EXPECT_EQ(t->item_count, 100u);
        for (auto &key : keys) EXPECT_EQ(lh_retrieve(t, key), key);
        for (auto &key : keys) {
            EXPECT_EQ(lh_delete(t, key), key);
            EXPECT_EQ(TableProblem(t), "");
        }
        const long attempts = alloc_seam::Attempts();
        EXPECT_EQ(t->item_count, 0u);
        lh_free(t);
        return attempts;
    });
}

// A file with sections, qualifiers, references, long and continued lines.
std::string RichFile() {
    std::string text =
        "top = 1\n"
        "[paths]\n"
        "home = ${ENV::HOME}/x\n"
        "dir = $home/data\n"
        "other::q = 'quoted # not a comment'\n"
        "::empty = e\n"
        "cont = a\\\n   b\n"
        "long = " +
        std::string(3000, 'L') +
        "\n"
        "[other]\n"
        "ref = $q$paths::dir\n"
        "top = $default::top\n"
        "top = replaced\n";
    for (int i = 0; i < 60; ++i)
        text += "k" + std::to_string(i) + " = v" + std::to_string(i) + "\n";
    return text;
}

void ExpectRichEntries(CONF_CTX *ctx) {
    EXPECT_STREQ(CONF_get_string(ctx, "paths", "dir"),
                 (std::string(std::getenv("HOME")) + "/x/data").c_str());
    EXPECT_STREQ(CONF_get_string(ctx, "other", "ref"),
                 ("quoted # not a comment" + std::string(std::getenv("HOME")) + "/x/data").c_str());
    EXPECT_STREQ(CONF_get_string(ctx, "", "empty"), "e");
    EXPECT_STREQ(CONF_get_string(ctx, "paths", "cont"), "a   b");
    EXPECT_EQ(std::strlen(CONF_get_string(ctx, "paths", "long")), 3000u);
    EXPECT_STREQ(CONF_get_string(ctx, "other", "top"), "replaced");
    EXPECT_STREQ(CONF_get_string(ctx, "other", "k59"), "v59");
}

void ExpectCleanLoadFailure(CONF_CTX *ctx, int rc) {
    EXPECT_TRUE(rc == -102 || rc == -103) << rc;
    EXPECT_EQ(ctx->table, nullptr);
    EXPECT_NE(std::strstr(CONF_get_last_error_str(ctx), ", line "), nullptr);
}

// A load of RichFile either stored all of it or failed cleanly.
void ExpectRichOutcome(CONF_CTX *ctx, int rc) {
    if (rc == 0) {
        ExpectRichEntries(ctx);
    } else {
        ExpectCleanLoadFailure(ctx, rc);
    }
}

TEST(AllocFail, LoadingAFile) {
    setenv("HOME", "/home/tester", 0);
    TempFiles files;
    const std::string path = files.Write(RichFile());
    SweepBoth("load of a file", [&](long k) -> long {
        Arm(k);
        CONF_CTX *ctx = CONF_new();
        if (ctx == nullptr) return alloc_seam::Attempts();
        const int rc = CONF_load(ctx, path.c_str());
        const long attempts = alloc_seam::Attempts();
        ExpectRichOutcome(ctx, rc);
        CONF_free(ctx);
        return attempts;
    });
}

TEST(AllocFail, SecondLoadIntoALoadedContext) {
    setenv("HOME", "/home/tester", 0);
    TempFiles files;
    const std::string first = files.Write(RichFile());
    const std::string second =
        files.Write("[paths]\ndir = again\n[third]\nx = $paths::dir$other::k1\n" +
                    std::string(2000, ' ') + "\n");
    SweepBoth("second load into a loaded context", [&](long k) -> long {
        CONF_CTX *ctx = CONF_new();
        EXPECT_EQ(CONF_load(ctx, first.c_str()), 0);
        Arm(k);
        const int rc = CONF_load(ctx, second.c_str());
        const long attempts = alloc_seam::Attempts();
        if (rc == 0) {
            EXPECT_STREQ(CONF_get_string(ctx, "third", "x"), "againv1");
            EXPECT_STREQ(CONF_get_string(ctx, "other", "top"), "replaced");
        } else {
            ExpectCleanLoadFailure(ctx, rc);
        }
        CONF_free(ctx);
        return attempts;
    });
}

// A scratch tree of configuration layers, removed afterwards.
struct LayerTree {
    LayerTree() {
        char pattern[] = "/tmp/nivra_alloc_layers_XXXXXX";
        if (mkdtemp(pattern) == nullptr) std::abort();
        root = pattern;
    }
    ~LayerTree() { std::filesystem::remove_all(root); }
    LayerTree(const LayerTree &) = delete;
    LayerTree &operator=(const LayerTree &) = delete;
    // Writes root/rel with bytes, making its directories; returns its path.
    std::string Put(const std::string &rel, const std::string &bytes) const {
        const std::filesystem::path path = std::filesystem::path(root) / rel;
        std::filesystem::create_directories(path.parent_path());
        std::FILE *f = std::fopen(path.c_str(), "wb");
        if (f == nullptr) std::abort();
        std::fwrite(bytes.data(), 1, bytes.size(), f);
        std::fclose(f);
        return path.string();
    }
    std::string root;
};

// Describe, and where each entry was defined.
std::string DescribeWithOrigins(CONF_CTX *ctx) {
    std::string out = Describe(ctx);
    for (int i = 0; i < CONF_get_section_count(ctx); ++i) {
        const char *s = CONF_get_section_name(ctx, i);
        for (int j = 0; j < CONF_get_entry_count(ctx, s); ++j) {
            const char *file = nullptr;
            int line = 0;
            EXPECT_EQ(CONF_get_origin(ctx, s, CONF_get_entry(ctx, s, j)->name, &file, &line), 1);
            out += (file != nullptr ? file : "-") + (":" + std::to_string(line)) + "\n";
        }
    }
    return out;
}

// Three files load, each referring to entries of those before it: run/'s
// main file (lib/'s is not read), etc/'s drop-in in place of lib/'s of the
// same name, then lib/'s next drop-in; lib/'s third is masked by an empty
// file in run/, and a file not named *.conf is ignored.  A failure leaves
// the context as a failed CONF_load does; success is what loading the three
// files one by one gives, origins included.
TEST(AllocFail, LayeredLoadOfThreeFilesWithDropIns) {
    setenv("HOME", "/home/tester", 0);
    const LayerTree tree;
    std::string more = "[other]\nk1 = $third::x/more\n";
    for (int i = 0; i < 40; ++i)
        more += "m" + std::to_string(i) + " = ${paths::dir}" + std::to_string(i) + "\n";
    const std::string loaded[] = {
        tree.Put("run/app.conf", RichFile()),
        tree.Put("etc/app.conf.d/10-paths.conf",
                 "[paths]\ndir = again\n[third]\nx = $paths::dir$other::k1\n"),
        tree.Put("lib/app.conf.d/20-more.conf", more + "[fourth]\ny = \\\n  $other::k1\n"),
    };
    tree.Put("lib/app.conf", "never = read\n");
    tree.Put("lib/app.conf.d/10-paths.conf", "[paths]\nreplaced = 1\n");
    tree.Put("lib/app.conf.d/30-masked.conf", "masked = 1\n");
    tree.Put("run/app.conf.d/30-masked.conf", "");
    tree.Put("lib/app.conf.d/notes.txt", "ignored = 1\n");
    const std::string etc = tree.root + "/etc", run = tree.root + "/run", lib = tree.root + "/lib";
    const char *const dirs[] = {etc.c_str(), run.c_str(), lib.c_str()};

    CONF_CTX *plain = CONF_new();
    for (const std::string &path : loaded) EXPECT_EQ(CONF_load(plain, path.c_str()), 0);
    EXPECT_STREQ(CONF_get_string(plain, "fourth", "y"), "againv1/more");
    const std::string expected = DescribeWithOrigins(plain);
    CONF_free(plain);

    SweepBoth("layered load of three files with drop-ins", [&](long k) -> long {
        CONF_CTX *ctx = CONF_new();
        Arm(k);
        const int rc = CONF_load_layered(ctx, dirs, 3, "app.conf");
        const long attempts = alloc_seam::Attempts();
        if (rc == 0) {
            EXPECT_EQ(DescribeWithOrigins(ctx), expected);
        } else {
            EXPECT_TRUE(rc == -102 || rc == -103) << rc;
            EXPECT_EQ(ctx->table, nullptr);
            // Named when the file could be: then the error has its line.
            if (const char *file = CONF_get_last_error_file(ctx); file != nullptr) {
                EXPECT_TRUE(file == loaded[0] || file == loaded[1] || file == loaded[2]) << file;
                EXPECT_NE(std::strstr(CONF_get_last_error_str(ctx), ", line "), nullptr);
            }
        }
        CONF_free(ctx);
        return attempts;
    });
}

// One store operation on a table of a chosen size, so that it lands on the
// insertion whose last allocation is either the doubling of the bucket array
// or a new block of nodes.  A failed doubling leaves the table consistent and
// the record stored, so the operation succeeds; a missing node stores
// nothing, and the operation fails with the table and section as they were.
// A live configuration made and loaded, then reloaded from a changed
// layered set while a reader holds the configuration in use: a reload that
// fails keeps that configuration, its changes and the snapshot as they
// were, and says why (-102, or -103 for a section the load could not
// make); one that succeeds publishes the new set whole.
TEST(AllocFail, LiveConfigurationReloads) {
    const LayerTree tree;
    tree.Put("etc/app", "[s]\na = 1\nb = 1\n");
    tree.Put("etc/app.d/10-x.conf", "[t]\nc = 1\n");
    const std::string etc = tree.root + "/etc";
    const char *dirs[] = {etc.c_str(), nullptr};
    SweepBoth("live configuration: new and first reload", [&](long k) -> long {
        Arm(k);
        CONF_LIVE *live = CONF_live_new_layered(dirs, 2, "app");
        if (live == nullptr) return alloc_seam::Attempts();
        const int rc = CONF_live_reload(live);
        const long attempts = alloc_seam::Attempts();
        CONF_CTX *ctx = CONF_live_acquire(live);
        if (rc < 0) {  // the load's own error for memory, or a section it could not make
            EXPECT_TRUE(rc == -102 || rc == -103) << rc;
            EXPECT_EQ(ctx, nullptr);
            EXPECT_NE(CONF_live_last_error(live, nullptr, nullptr), nullptr);
        } else {
            EXPECT_EQ(rc, 3);
            EXPECT_STREQ(CONF_get_string(ctx, "t", "c"), "1");
        }
        CONF_live_release(live, ctx);
        CONF_live_free(live);
        return attempts;
    });
    SweepBoth("live configuration: a reload while a reader holds the old one", [&](long k) -> long {
        tree.Put("etc/app", "[s]\na = 1\nb = 1\n");
        CONF_LIVE *live = CONF_live_new_layered(dirs, 2, "app");
        EXPECT_EQ(CONF_live_reload(live), 3);
        CONF_CTX *held = CONF_live_acquire(live);
        tree.Put("etc/app", "[s]\na = 2\n");
        Arm(k);
        const int rc = CONF_live_reload(live);
        const long attempts = alloc_seam::Attempts();
        size_t n = 0;
        const CONF_CHANGE *changes = CONF_live_changes(live, &n);
        CONF_CTX *now = CONF_live_acquire(live);
        if (rc < 0) {
            EXPECT_TRUE(rc == -102 || rc == -103) << rc;
            EXPECT_EQ(now, held);  // the configuration in use stayed
            EXPECT_EQ(n, 3u);      // with the report of its own reload
            EXPECT_EQ(CONF_live_generation(live), 1u);
        } else {
            EXPECT_EQ(rc, 2);
            EXPECT_EQ(n, 2u);
            EXPECT_EQ(n > 0 ? changes[0].kind : 0, CONF_CHANGE_CHANGED);
            EXPECT_STREQ(CONF_get_string(now, "s", "a"), "2");
        }
        EXPECT_STREQ(CONF_get_string(held, "s", "b"), "1");  // the snapshot is whole
        CONF_live_release(live, now);
        CONF_live_release(live, held);
        CONF_live_free(live);
        return attempts;
    });
}

TEST(AllocFail, StoringSucceedsUnlessTheRecordWasNotStored) {
    using namespace nivra::conf;
    enum class Op { kReplace, kNewEntry, kNewSection };
    const struct {
        const char *scenario;
        int prior_entries;  // in "default", after its section record
        Op op;
        bool last_is_doubling;
    } cases[] = {
        {"replacement on the doubling insertion", 29, Op::kReplace, true},
        {"new section on the doubling insertion", 29, Op::kNewSection, true},
        {"new section needing a node block", 15, Op::kNewSection, false},
        {"new entry needing a node block", 15, Op::kNewEntry, false},
    };
    for (const auto &c : cases) {
        long last = 0;
        SweepBoth(c.scenario, [&](long k) -> long {
            CONF_CTX *ctx = CONF_new();
            for (int i = 0; i < c.prior_entries; ++i) {
                testing_conf::Put(ctx, "default", ("k" + std::to_string(i)).c_str(), "v");
            }
            LH_TABLE *t = ctx->table;
            CONF_VALUE *def = get_section(ctx, "default");
            const char *name = c.op == Op::kReplace ? "k0" : "new";
            CONF_VALUE *entry = make_entry(name, std::strlen(name), "w", 1);
            const uint32_t reallocs = t->expand_realloc_count, items = t->item_count;
            const int entries = entry_count(def);

            Arm(k);
            bool ok = false;
            if (c.op == Op::kNewSection) {
                ok = new_section(t, "s") != nullptr;
            } else {
                ok = store_entry(ctx, def, entry) == 0;
            }
            const long attempts = alloc_seam::Attempts();
            if (k == 0) {
                last = attempts;
                EXPECT_EQ(t->expand_realloc_count, reallocs + (c.last_is_doubling ? 1 : 0));
            }
            EXPECT_EQ(ok, k == 0 || (k == last && c.last_is_doubling));
            EXPECT_EQ(TableProblem(t), "");
            EXPECT_EQ(store_check(ctx), nullptr);
            if (c.op == Op::kNewSection) {
                EXPECT_EQ(get_section(ctx, "s") != nullptr, ok);
                EXPECT_EQ(section_count(t), ok ? 2 : 1);
            } else {
                EXPECT_EQ(CONF_get_string(ctx, "default", entry->name) == entry->value, ok);
                EXPECT_EQ(entry_count(def), entries + (ok && c.op == Op::kNewEntry ? 1 : 0));
            }
            if (!ok || c.op == Op::kNewSection) free_entry(entry);
            if (!ok) {
                EXPECT_EQ(t->item_count, items);
            }
            CONF_free(ctx);
            return attempts;
        });
    }
}

// The same file through a stream and from memory; then every read-only
// call of the API, which must allocate nothing at all.
TEST(AllocFail, LoadingAStreamAndABufferThenReadingEverything) {
    setenv("HOME", "/home/tester", 0);
    const std::string text = RichFile();
    TempFiles files;
    const std::string path = files.Write(text);
    // An observer that only counts what it is told.
    long events = 0;
    const nivra::conf::LoadObserver counter{
        [](void *n, const nivra::conf::LoadNote *) { ++*static_cast<long *>(n); }, &events};
    enum Source { kStream, kBuffer, kObserved };
    for (Source source : {kStream, kBuffer, kObserved}) {
        const char *names[] = {"load of a stream", "load of a buffer", "observed load"};
        SweepBoth(names[source], [&](long k) -> long {
            CONF_CTX *ctx = CONF_new();
            std::FILE *f = source == kBuffer ? nullptr : std::fopen(path.c_str(), "rb");
            Arm(k);
            const int rc = source == kBuffer   ? CONF_load_buffer(ctx, text.data(), text.size())
                           : source == kStream ? CONF_load_fp(ctx, f)
                                               : nivra::conf::load_observed(ctx, f, &counter);
            const long attempts = alloc_seam::Attempts();
            if (f != nullptr) std::fclose(f);
            ExpectRichOutcome(ctx, rc);
            CONF_free(ctx);
            return attempts;
        });
    }
    const long points = SweepBoth("listing and typed lookups", [&](long k) -> long {
        CONF_CTX *ctx = CONF_new();
        EXPECT_EQ(CONF_load_buffer(ctx, text.data(), text.size()), 0);
        Arm(k);
        long entries = 0;
        for (int i = 0; i < CONF_get_section_count(ctx); ++i) {
            const char *s = CONF_get_section_name(ctx, i);
            for (int j = 0; j < CONF_get_entry_count(ctx, s); ++j) {
                const CONF_VALUE *e = CONF_get_entry(ctx, s, j);
                int64_t n = 0;
                double d = 0;
                int b = 0;
                CONF_get_int64(ctx, s, e->name, &n);
                CONF_get_double(ctx, s, e->name, &d);
                CONF_get_bool(ctx, s, e->name, &b);
                ++entries;
            }
        }
        EXPECT_GT(entries, 60);
        EXPECT_EQ(CONF_get_last_error_line(ctx), 0);
        const long attempts = alloc_seam::Attempts();
        CONF_free(ctx);
        return attempts;
    });
    EXPECT_EQ(points, 0);
}

// A file whose lines, loaded in order, put a replacement on the insertion
// that doubles the table's bucket array (the 31st) and a new section on the
// next doubling one (the 63rd).  Found by loading it line by line and
// watching the table, so it follows the table's growth rule wherever it is.
std::string DoublingFile() {
    CONF_CTX *ctx = CONF_new();
    EXPECT_EQ(CONF_load_buffer(ctx, "", 0), 0);
    std::string text;
    bool replaced = false;
    for (int i = 0;;) {
        const LH_TABLE *t = ctx->table;
        const bool grows = (uint64_t{t->item_count} << 8) / t->bucket_count >= t->grow_load;
        const bool doubles = grows && t->split_index + 1 >= t->base_size;
        std::string line = "k" + std::to_string(i++) + " = v\n";
        if (doubles) line = replaced ? "[fresh]\n" : "k0 = again\n";
        text += line;
        EXPECT_EQ(CONF_load_buffer(ctx, line.data(), line.size()), 0);
        if (doubles && replaced) break;
        replaced = replaced || doubles;
    }
    EXPECT_EQ(ctx->table->expand_realloc_count, 2u);
    CONF_free(ctx);
    return text + "after = 1\n";
}

TEST(AllocFail, ALoadThatReplacesAndCreatesASectionWhereTheTableDoubles) {
    const std::string text = DoublingFile();
    SweepBoth("load with a replacement and a new section on doubling insertions", [&](long k) {
        CONF_CTX *ctx = CONF_new();
        Arm(k);
        const int rc = CONF_load_buffer(ctx, text.data(), text.size());
        const long attempts = alloc_seam::Attempts();
        if (rc == 0) {
            EXPECT_STREQ(CONF_get_string(ctx, "default", "k0"), "again");
            EXPECT_STREQ(CONF_get_string(ctx, "fresh", "after"), "1");
            EXPECT_EQ(CONF_get_section_count(ctx), 2);
            EXPECT_EQ(nivra::conf::store_check(ctx), nullptr);
            EXPECT_EQ(TableProblem(ctx->table), "");
        } else {
            ExpectCleanLoadFailure(ctx, rc);
        }
        CONF_free(ctx);
        return attempts;
    });
}

// Section records (with their stack's record) take arena blocks up to a
// name of 199 bytes and heap blocks above; each kind is released, or given
// back when it cannot be stored, by its own rule.  Names on both sides of
// the boundary, with an entry each, loaded from a file (the descriptor
// reader, whose file outgrows its inline buffer) and swept.
TEST(AllocFail, SectionsOnBothSidesOfTheArenaBoundary) {
    const size_t lengths[] = {1, 198, 199, 200, 201, 400};
    std::string text = "top = 1\nlong = " + std::string(5000, 'v') + "\n";
    for (size_t n : lengths)
        text += "[" + std::string(n, 's') + "]\nk = " + std::to_string(n) + "\n";
    TempFiles files;
    const std::string path = files.Write(text);
    SweepBoth("sections short and long", [&](long k) -> long {
        CONF_CTX *ctx = CONF_new();
        Arm(k);
        const int rc = CONF_load(ctx, path.c_str());
        const long attempts = alloc_seam::Attempts();
        if (rc == 0) {
            for (size_t n : lengths) {
                EXPECT_STREQ(CONF_get_string(ctx, std::string(n, 's').c_str(), "k"),
                             std::to_string(n).c_str());
            }
            EXPECT_EQ(nivra::conf::store_check(ctx), nullptr);
        } else {
            ExpectCleanLoadFailure(ctx, rc);
        }
        CONF_free(ctx);
        return attempts;
    });
}

TEST(AllocFail, ExpansionLeavesTheTargetUntouched) {
    SweepBoth("value expansion", [](long k) -> long {
        CONF_CTX *ctx = CONF_new();
        char raw[] = "x = $ENV::HOME and more";
        EXPECT_EQ(CONF_load(ctx, "/dev/null"), 0);  // a table for the lookups
        char *target = nullptr;
        Arm(k);
        const int ok = nivra::conf::str_copy(ctx, nullptr, &target, raw);
        const long attempts = alloc_seam::Attempts();
        if (ok) {
            EXPECT_EQ(std::string(target), "x = " + std::string(std::getenv("HOME")) + " and more");
        } else {
            EXPECT_EQ(target, nullptr);
            EXPECT_EQ(CONF_get_last_errnum(ctx), -102);
        }
        std::free(target);
        CONF_free(ctx);
        return attempts;
    });
}

TEST(AllocFail, IdentityAndTraceNeedNoHeap) {
    const long points = Sweep("identity record and trace helpers", [](long k) -> long {
        Arm(k);
        SYSID_INFO info;
        EXPECT_EQ(Nivra_GetSysID(&info), 0);
        char buf[32];
        lc_snprintf(buf, sizeof buf, "%s-%d", "x", 1);
        unsigned char bytes[4];
        lc_hexstr2bin(bytes, "0a0b");
        lc_bin2hexstr(buf, bytes, 2);
        return alloc_seam::Attempts();
    });
    EXPECT_EQ(points, 0);
}

// ---- Editing documents ------------------------------------------------------

std::string DocBytes(const CONF_DOC *doc) {
    size_t n = 0;
    const char *p = CONF_doc_text(doc, &n);
    return std::string(p, n);
}

// Where each line of the document's text came from.
std::string DocOrigins(const CONF_DOC *doc) {
    std::string out;
    CONF_DOC_LINE o{};
    for (int line = 1; CONF_doc_line_origin(doc, line, &o) == 0; ++line) {
        out += std::to_string(o.read_line) + "/" + std::to_string(o.edit) + "/" +
               std::to_string(o.unresolved) + " ";
    }
    return out;
}

// A document call under a failing allocation: it either does what it does
// without failures (the same result, text and origins of its lines) or
// fails with -102 (or the load's -103, for a save), records its error, and
// leaves the text and the origins as they were.
void ExpectSameOrUntouched(CONF_DOC *doc, int rc, const std::string &before, int want_rc,
                           const std::string &want_text) {
    if (rc == want_rc && DocBytes(doc) + DocOrigins(doc) == want_text) return;
    EXPECT_TRUE(rc == -102 || rc == -103) << rc;
    EXPECT_EQ(DocBytes(doc) + DocOrigins(doc), before);
    EXPECT_STRNE(CONF_doc_last_error(doc, nullptr), "");
}

TEST(AllocFail, DocumentReadsAndEdits) {
    setenv("HOME", "/home/tester", 0);
    const std::string text = RichFile();
    TempFiles files;
    const std::string path = files.Write(text);
    const struct {
        const char *scenario;
        std::function<int(CONF_DOC *)> call;
    } cases[] = {
        {"document read from memory",
         [&](CONF_DOC *d) { return CONF_doc_read_buffer(d, text.data(), text.size()); }},
        {"document read from a file",
         [&](CONF_DOC *d) { return CONF_doc_read_file(d, path.c_str()); }},
        {"set of a continued entry",
         [](CONF_DOC *d) { return CONF_doc_set(d, "paths", "cont", "x"); }},
        {"set of a new entry",
         [](CONF_DOC *d) { return CONF_doc_set(d, "other", "fresh", " $a 'b' # c\\"); }},
        {"set in a new section", [](CONF_DOC *d) { return CONF_doc_set(d, "new one", "k", "v"); }},
        {"set_raw of a referring value",
         [](CONF_DOC *d) { return CONF_doc_set_raw(d, "other", "ref", "${paths::dir}/more"); }},
        {"unset of a qualified entry", [](CONF_DOC *d) { return CONF_doc_unset(d, "other", "q"); }},
        {"removal of a section", [](CONF_DOC *d) { return CONF_doc_remove_section(d, "paths"); }},
    };
    for (const auto &c : cases) {
        int want_rc = 0;
        std::string want_text;
        const bool reads = c.scenario[0] == 'd';
        SweepBoth(c.scenario, [&](long k) -> long {
            if (reads) Arm(k);  // the new document's allocations count too
            CONF_DOC *doc = CONF_doc_new();
            if (doc == nullptr) return alloc_seam::Attempts();
            if (!reads) {
                EXPECT_EQ(CONF_doc_read_buffer(doc, text.data(), text.size()), 0);
                Arm(k);
            }
            const std::string before = DocBytes(doc) + DocOrigins(doc);
            const int rc = c.call(doc);
            const long attempts = alloc_seam::Attempts();
            if (k == 0) {
                want_rc = rc;
                want_text = DocBytes(doc) + DocOrigins(doc);
                EXPECT_NE(want_text, before);
            }
            ExpectSameOrUntouched(doc, rc, before, want_rc, want_text);
            CONF_doc_free(doc);
            return attempts;
        });
    }
}

// Edits after a first one, which leaves the document what it keeps between
// calls: a failed edit changes nothing of it either, so the edit after it
// gives what it gives a document that has just read the text.  The first
// edit is either put into the text (read before the second) or kept aside
// (nothing reads the text between them): then the read after the failed
// edit puts it in without memory.
TEST(AllocFail, EditsAfterAFirstOne) {
    setenv("HOME", "/home/tester", 0);
    const std::string text = RichFile();
    const struct {
        const char *scenario;
        std::function<int(CONF_DOC *)> call;
    } cases[] = {
        {"second set of an entry", [](CONF_DOC *d) { return CONF_doc_set(d, "other", "k7", "x"); }},
        {"second set of a new entry",
         [](CONF_DOC *d) { return CONF_doc_set(d, "other", "fresh", "v"); }},
        {"second set in a new section",
         [](CONF_DOC *d) { return CONF_doc_set(d, "new one", "k", "v"); }},
        {"unset after a set", [](CONF_DOC *d) { return CONF_doc_unset(d, "other", "k3"); }},
        {"unset of the entry set", [](CONF_DOC *d) { return CONF_doc_unset(d, "other", "k1"); }},
        {"removal after a set", [](CONF_DOC *d) { return CONF_doc_remove_section(d, "other"); }},
    };
    const auto first = [](CONF_DOC *d) { return CONF_doc_set(d, "other", "k1", "first"); };
    const auto next = [](CONF_DOC *d) { return CONF_doc_set(d, "other", "k9", "after"); };
    CONF_DOC *twin = CONF_doc_new();
    ASSERT_EQ(CONF_doc_read_buffer(twin, text.data(), text.size()), 0);
    ASSERT_EQ(first(twin), 0);
    const std::string after_first = DocBytes(twin) + DocOrigins(twin);
    CONF_doc_free(twin);
    for (const bool kept : {false, true}) {
        for (const auto &c : cases) {
            int want_rc = 0;
            std::string want_text;
            const std::string scenario = std::string(c.scenario) + (kept ? ", first kept" : "");
            SweepBoth(scenario.c_str(), [&](long k) -> long {
                CONF_DOC *doc = CONF_doc_new();
                if (doc == nullptr) return alloc_seam::Attempts();
                EXPECT_EQ(CONF_doc_read_buffer(doc, text.data(), text.size()), 0);
                EXPECT_EQ(first(doc), 0);
                const std::string before = kept ? after_first : DocBytes(doc) + DocOrigins(doc);
                Arm(k);
                const int rc = c.call(doc);
                const long attempts = alloc_seam::Attempts();
                if (k == 0) {
                    want_rc = rc;
                    want_text = DocBytes(doc) + DocOrigins(doc);
                }
                ExpectSameOrUntouched(doc, rc, before, want_rc, want_text);
                // A failure that was one allocation's: memory is there again.
                if (g_persistent) {
                    CONF_doc_free(doc);
                    return attempts;
                }
                const std::string now = DocBytes(doc);
                CONF_DOC *fresh = CONF_doc_new();
                EXPECT_EQ(CONF_doc_read_buffer(fresh, now.data(), now.size()), 0);
                EXPECT_EQ(next(doc), next(fresh));
                EXPECT_EQ(DocBytes(doc), DocBytes(fresh));
                CONF_doc_free(fresh);
                CONF_doc_free(doc);
                return attempts;
            });
        }
    }
}

// The bytes of a stream from its start.
std::string StreamBytes(std::FILE *f) {
    std::string out;
    std::rewind(f);
    char buf[4096];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) out.append(buf, n);
    return out;
}

// A written context either is all there or not at all.  (Checks that
// allocate come after the sweep's runs, which must not reset the seam.)
TEST(AllocFail, WritingAContext) {
    setenv("HOME", "/home/tester", 0);
    const std::string text = RichFile();
    std::string whole;
    SweepBoth("CONF_write_fp", [&](long k) -> long {
        CONF_CTX *ctx = CONF_new();
        EXPECT_EQ(CONF_load_buffer(ctx, text.data(), text.size()), 0);
        std::FILE *f = std::tmpfile();
        Arm(k);
        const int rc = CONF_write_fp(ctx, f);
        const long attempts = alloc_seam::Attempts();
        const std::string written = StreamBytes(f);
        if (k == 0) whole = written;
        EXPECT_TRUE(rc == 0 ? written == whole : rc == -102 && written.empty()) << rc;
        std::fclose(f);
        CONF_free(ctx);
        return attempts;
    });
    CONF_CTX *again = CONF_new();
    EXPECT_EQ(CONF_load_buffer(again, whole.data(), whole.size()), 0);
    ExpectRichEntries(again);
    CONF_free(again);
}

// The names in a directory.
std::vector<std::string> DirNames(const std::string &dir) {
    std::vector<std::string> names;
    if (DIR *d = opendir(dir.c_str())) {
        while (const dirent *e = readdir(d)) names.emplace_back(e->d_name);
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

TEST(AllocFail, SavingADocument) {
    setenv("HOME", "/home/tester", 0);
    const std::string text = RichFile();
    TempFiles files;
    const std::string path = files.Write(text);
    const std::vector<std::string> names = DirNames(files.dir());
    SweepBoth("save", [&](long k) -> long {
        std::FILE *f = std::fopen(path.c_str(), "wb");
        std::fwrite(text.data(), 1, text.size(), f);
        std::fclose(f);
        CONF_DOC *doc = CONF_doc_new();
        EXPECT_EQ(CONF_doc_read_file(doc, path.c_str()), 0);
        EXPECT_EQ(CONF_doc_set(doc, "other", "top", "saved"), 0);
        const std::string edited = DocBytes(doc);
        const std::string state = edited + DocOrigins(doc);
        Arm(k);
        const int rc = CONF_doc_save(doc, path.c_str());
        const long attempts = alloc_seam::Attempts();
        ExpectSameOrUntouched(doc, rc, state, 0, state);
        std::ifstream in(path, std::ios::binary);
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), rc == 0 ? edited : text);
        EXPECT_EQ(DirNames(files.dir()), names) << "a temporary file was left";
        CONF_doc_free(doc);
        return attempts;
    });
}

// A schema of every type with documentation, large enough that its
// descriptions cross the arena's blocks, and a file with a finding of
// every kind.
std::string SchemaText() {
    std::string text =
        "# The service.\n[server]\n# The port.\nport = int 1..65535 = 8080\n"
        "mode = enum fast safe = safe\nname = string required\n"
        "old_port = deprecated port\nwait = duration 1s..1h = 30s\n"
        "cache = size ..4G = 64M\nratio = double 0..1 = 0.5\n[backend *]\n"
        "url = string required\n[env]\n* = string\n[many]\n";
    for (int i = 0; i < 150; ++i)
        text += "# Key " + std::to_string(i) + " of many.\nkey" + std::to_string(i) + " = int\n";
    return text;
}
constexpr char kCheckedFile[] =
    "[sever]\nx = 1\n[server]\nprot = 1\nport = 80O\nmode = fsat\nold_port = 1\nwait = 2h\n"
    "[backend a]\n[many]\nkey1 = x\n";

std::string SampleOf(const CONF_SCHEMA *schema) {
    std::FILE *f = std::tmpfile();
    EXPECT_EQ(CONF_schema_write_sample(schema, f), 0);
    std::string text = StreamBytes(f);
    std::fclose(f);
    return text;
}

std::vector<std::string> MessagesOf(const CONF_FINDINGS *findings) {
    std::vector<std::string> out;
    for (int i = 0; i < CONF_findings_count(findings); ++i) {
        const CONF_FINDING *f = CONF_findings_get(findings, i);
        out.push_back(std::to_string(f->line) + " " + f->message + " " + f->suggestion);
    }
    return out;
}

TEST(AllocFail, SchemaLoadValidationAndSample) {
    const std::string text = SchemaText();
    TempFiles files;
    const std::string path = files.Write(text);
    CONF_SCHEMA *whole = CONF_schema_load_buffer(text.data(), text.size(), nullptr);
    ASSERT_NE(whole, nullptr);
    const std::string sample = SampleOf(whole);
    CONF_CTX *empty = CONF_new();
    for (bool from_file : {false, true}) {
        SweepBoth(
            from_file ? "schema load of a file" : "schema load of a buffer", [&](long k) -> long {
                CONF_SCHEMA_ERROR error{};
                Arm(k);
                CONF_SCHEMA *s = from_file
                                     ? CONF_schema_load(path.c_str(), &error)
                                     : CONF_schema_load_buffer(text.data(), text.size(), &error);
                const long attempts = alloc_seam::Attempts();
                if (s != nullptr) {
                    EXPECT_EQ(error.number, 0);
                    // Reads need no heap; the sample does, so it is compared
                    // only where memory is back.
                    int64_t v = 0;
                    EXPECT_EQ(CONF_schema_get_int64(s, nullptr, "server", "port", &v), -2);
                    EXPECT_EQ(CONF_schema_get_int64(s, empty, "server", "port", &v), 0);
                    EXPECT_EQ(v, 8080);
                    EXPECT_EQ(CONF_schema_get_int64(s, empty, "many", "key149", &v), -1);
                    if (!g_persistent) {
                        EXPECT_EQ(SampleOf(s), sample);
                    }
                } else {
                    // The loader tells a section it could not make as -103.
                    EXPECT_TRUE(error.number == -102 || error.number == -103) << error.text;
                }
                CONF_schema_free(s);
                return attempts;
            });
    }
    CONF_CTX *ctx = CONF_new();
    ASSERT_EQ(CONF_load_buffer(ctx, kCheckedFile, sizeof kCheckedFile - 1), 0);
    CONF_FINDINGS *all = CONF_schema_validate(whole, ctx);
    const std::vector<std::string> expected = MessagesOf(all);
    EXPECT_EQ(expected.size(), 9U);
    CONF_findings_free(all);
    SweepBoth("schema validation", [&](long k) -> long {
        Arm(k);
        CONF_FINDINGS *f = CONF_schema_validate(whole, ctx);
        const long attempts = alloc_seam::Attempts();
        if (f != nullptr) {
            EXPECT_EQ(MessagesOf(f), expected);
        }
        CONF_findings_free(f);
        return attempts;
    });
    SweepBoth("schema sample", [&](long k) -> long {
        std::FILE *f = std::tmpfile();
        Arm(k);
        const int rc = CONF_schema_write_sample(whole, f);
        const long attempts = alloc_seam::Attempts();
        const std::string written = StreamBytes(f);
        EXPECT_TRUE(rc == 0 ? written == sample : rc == -102 && written.empty()) << rc;
        std::fclose(f);
        return attempts;
    });
    // Typed reads, and a validation that finds nothing, need no heap beyond
    // the findings object.
    FailNth(0);
    int64_t port = 0;
    EXPECT_EQ(CONF_schema_get_int64(whole, ctx, "many", "key1", &port), -1);
    EXPECT_EQ(CONF_schema_get_int64(whole, ctx, "backend b", "nothing", &port), -2);
    const char *url = nullptr;
    EXPECT_EQ(CONF_schema_get_string(whole, ctx, "env", "ANY", &url), -1);
    int64_t ms = 0;
    EXPECT_EQ(CONF_schema_get_duration(whole, ctx, "server", "wait", &ms), -1);
    EXPECT_EQ(CONF_schema_get_int64(whole, ctx, "many", "key7", &port), -1);
    EXPECT_EQ(alloc_seam::Attempts(), 0);
    CONF_CTX *clean = CONF_new();
    const char kClean[] = "[server]\nname = x\nport = 1\n";
    ASSERT_EQ(CONF_load_buffer(clean, kClean, sizeof kClean - 1), 0);
    FailNth(0);
    CONF_FINDINGS *none = CONF_schema_validate(whole, clean);
    EXPECT_EQ(alloc_seam::Attempts(), 1);
    EXPECT_EQ(CONF_findings_count(none), 0);
    CONF_findings_free(none);
    CONF_free(clean);
    CONF_free(ctx);
    CONF_free(empty);
    CONF_schema_free(whole);
}

}  // namespace
