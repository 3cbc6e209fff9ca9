// Loading from a file, a stream, memory and a pipe: every source of the same
// bytes gives the same context; error lines; section and entry order.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "conf.h"
#include "conf_store.h"
#include "conf_describe.h"
#include "temp_files.h"

namespace {

std::string ReadAll(const std::filesystem::path &p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

using Loader = int (*)(CONF_CTX *, const std::string &bytes, TempFiles &);

int FromFile(CONF_CTX *ctx, const std::string &bytes, TempFiles &files) {
    return CONF_load(ctx, files.Write(bytes).c_str());
}

int FromStreamAtOffset(CONF_CTX *ctx, const std::string &bytes, TempFiles &files) {
    std::FILE *f = std::fopen(files.Write("skipped\n" + bytes).c_str(), "rb");
    std::fseek(f, 8, SEEK_SET);
    const int rc = CONF_load_fp(ctx, f);
    std::fclose(f);
    return rc;
}

int FromBuffer(CONF_CTX *ctx, const std::string &bytes, TempFiles &) {
    // An exact-size heap copy: no terminator after it for the loader to lean on.
    std::vector<char> copy(bytes.begin(), bytes.end());
    return CONF_load_buffer(ctx, copy.empty() ? nullptr : copy.data(), copy.size());
}

int FromPipe(CONF_CTX *ctx, const std::string &bytes, TempFiles &) {
    int fds[2];
    if (pipe(fds) != 0) return 1;
    std::thread writer([&] {
        size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = write(fds[1], bytes.data() + done, bytes.size() - done);
            if (n <= 0) break;
            done += static_cast<size_t>(n);
        }
        close(fds[1]);
    });
    std::FILE *f = fdopen(fds[0], "rb");
    const int rc = CONF_load_fp(ctx, f);
    std::fclose(f);
    writer.join();
    return rc;
}

TEST(Sources, EverySourceOfTheSameBytesGivesTheSameContext) {
    setenv("NIVRA_FUZZ", "fuzz-value", 1);
    std::vector<std::pair<std::string, std::string>> samples;
    for (const auto &e :
         std::filesystem::directory_iterator(NIVRA_SOURCE_DIR "/fuzz/corpus/conf_load")) {
        samples.emplace_back(e.path().filename(), ReadAll(e.path()).substr(3));  // fuzz header
    }
    samples.emplace_back("example.conf", ReadAll(NIVRA_SOURCE_DIR "/examples/example.conf"));
    samples.emplace_back("nul inside, no final line end",
                         std::string("a = 1\0x\nb = 2\n[s]\nc = 3", 23));
    samples.emplace_back("empty", "");
    samples.emplace_back("long line", "k = " + std::string(200000, 'v') + "\n[t]\nx=1");
    const struct {
        const char *name;
        Loader load;
    } sources[] = {
        {"stream at an offset", FromStreamAtOffset}, {"buffer", FromBuffer}, {"pipe", FromPipe}};
    TempFiles files;
    for (const auto &[name, bytes] : samples) {
        CONF_CTX *want = CONF_new();
        FromFile(want, bytes, files);
        const std::string expected = Describe(want);
        CONF_free(want);
        for (const auto &src : sources) {
            CONF_CTX *ctx = CONF_new();
            src.load(ctx, bytes, files);
            EXPECT_EQ(Describe(ctx), expected) << name << " from " << src.name;
            CONF_free(ctx);
        }
    }
}

// A path that opens but cannot be read (a directory) fails as a read error
// at line 0 and drops the table; one that does not open is -101 and leaves
// the table as it was.
TEST(Sources, APathThatCannotBeReadFailsWithoutATable) {
    TempFiles files;
    const std::string dir = std::filesystem::path(files.Write("")).parent_path();
    const struct {
        std::string path;
        int rc;
        bool table_kept;
    } cases[] = {{dir, -108, false}, {dir + "/no such file", -101, true}};
    for (const auto &c : cases) {
        CONF_CTX *ctx = CONF_new();
        ASSERT_EQ(CONF_load_buffer(ctx, "a = 1\n", 6), 0);
        EXPECT_EQ(CONF_load(ctx, c.path.c_str()), c.rc) << c.path;
        EXPECT_EQ(ctx->table != nullptr, c.table_kept) << c.path;
        EXPECT_EQ(CONF_get_last_error_line(ctx), 0) << c.path;
        CONF_free(ctx);
    }
}

// A UTF-8 byte-order mark where reading starts is skipped by every source,
// also when nothing follows it (an empty file) and before one line.
TEST(Sources, AByteOrderMarkIsSkippedEvenWithNothingAfterIt) {
    const std::string bom = "\xEF\xBB\xBF";
    const struct {
        std::string text;
        const char *want;
    } cases[] = {{bom, "0  @0\n[default]\n"},
                 {bom + "a = 1", "0  @0\n[default]\na=1\n"},
                 {bom + "[s]\n", "0  @0\n[default]\n[s]\n"}};
    const struct {
        const char *name;
        Loader load;
    } sources[] = {{"file", FromFile},
                   {"stream at an offset", FromStreamAtOffset},
                   {"buffer", FromBuffer},
                   {"pipe", FromPipe}};
    TempFiles files;
    for (const auto &c : cases) {
        for (const auto &src : sources) {
            CONF_CTX *ctx = CONF_new();
            EXPECT_EQ(src.load(ctx, c.text, files), 0)
                << c.text.size() << " bytes from " << src.name;
            EXPECT_EQ(Describe(ctx), c.want) << c.text.size() << " bytes from " << src.name;
            CONF_free(ctx);
        }
    }
}

TEST(Sources, NullArgumentsAndEmptyBuffers) {
    CONF_CTX *ctx = CONF_new();
    EXPECT_EQ(CONF_load_fp(nullptr, stdin), -100);
    EXPECT_EQ(CONF_load_buffer(nullptr, "", 0), -100);
    EXPECT_EQ(CONF_load_buffer(ctx, nullptr, 0), 0);  // an empty file
    EXPECT_EQ(CONF_get_section_count(ctx), 1);
    EXPECT_EQ(CONF_load_buffer(ctx, nullptr, 5), -101);
    EXPECT_STREQ(CONF_get_last_error_str(ctx), "unable to open configuration file");
    EXPECT_EQ(CONF_get_section_count(ctx), 1);  // the table is untouched
    EXPECT_EQ(CONF_load_fp(ctx, nullptr), -101);
    EXPECT_EQ(CONF_get_last_error_line(ctx), 0);
    CONF_free(ctx);
}

// A device behind a stream: hands out text in reads of at most step bytes
// and fails every read after the first fail_after bytes.
struct Device {
    std::string text;
    size_t step;
    size_t fail_after;
    size_t pos = 0;

    static ssize_t Read(void *self, char *buf, size_t size) {
        auto *d = static_cast<Device *>(self);
        if (d->pos >= d->fail_after && d->fail_after != std::string::npos) return -1;
        size_t n = std::min({size, d->step, d->text.size() - d->pos});
        if (d->fail_after != std::string::npos) n = std::min(n, d->fail_after - d->pos);
        std::memcpy(buf, d->text.data() + d->pos, n);
        d->pos += n;
        return static_cast<ssize_t>(n);
    }
    // Loads the device's stream into a fresh context and describes it.
    std::string Load(int *rc) {
        cookie_io_functions_t io{};
        io.read = Read;
        std::FILE *f = fopencookie(this, "r", io);
        CONF_CTX *ctx = CONF_new();
        *rc = CONF_load_fp(ctx, f);
        std::string d = Describe(ctx);
        std::fclose(f);
        CONF_free(ctx);
        return d;
    }
};

std::string RealisticFile() {
    return ReadAll(NIVRA_SOURCE_DIR "/examples/example.conf") +
           "[paths]\r\nhome = /srv/app\r\ndata = $home/data \\\n   /more\n# note\n\n"
           "long = " +
           std::string(700, 'x') + "\nlast = no line end";
}

TEST(Sources, ShortReadsLoadLikeTheWholeFile) {
    const std::string text = RealisticFile();
    int rc = 0;
    const std::string whole = Device{text, text.size(), std::string::npos}.Load(&rc);
    ASSERT_EQ(rc, 0);
    for (size_t step : {1, 2, 7, 509}) {
        EXPECT_EQ(Device({text, step, std::string::npos}).Load(&rc), whole) << step;
        EXPECT_EQ(rc, 0);
    }
}

// The device fails after every possible number of bytes: at each line
// boundary and inside every line.  Each load fails with -108 and the last
// complete physical line, and keeps nothing.
TEST(Sources, ADeviceFailingMidReadFailsWithTheLastCompleteLine) {
    const std::string text = RealisticFile();
    for (size_t n = 0; n <= text.size(); ++n) {
        const long complete = std::count(text.begin(), text.begin() + static_cast<long>(n), '\n');
        const std::string want = "-108 error reading configuration file, line " +
                                 std::to_string(complete) + " @" + std::to_string(complete) + "\n";
        int rc = 0;
        EXPECT_EQ(Device({text, 64, n}).Load(&rc), want) << "failing after " << n << " bytes";
        EXPECT_EQ(rc, -108);
    }
}

// A big file loads with its table fetched ahead and the hashes of guessed
// names reused (the guesser reads raw lines: it cannot see continuations,
// escapes in headers or names).  A wrong guess must never change what
// is stored: every source gives the same context, every record is stored
// under its own key, and every value is the last one the file gave it.
// 40,000 lines (about 43,000 records, so the look-ahead runs for the last
// 60% of them) cross many read-buffer refills, and the pipe's short reads
// put the refills elsewhere.
TEST(Sources, GuessingAheadNeverChangesWhatIsStored) {
    std::string text;
    std::map<std::pair<std::string, std::string>, std::string> want;
    std::string section = "default";
    for (int i = 0; i < 40000; ++i) {
        const std::string n = "k" + std::to_string(i % 997);  // names repeat across sections
        const std::string v = std::to_string(i);
        switch (i % 11) {
            case 0: section = "s" + v, text += "[" + section + "]\r\n"; break;
            case 1: section = "root" + v, text += "[ r\\oot" + v + " ]\n"; break;  // "rootN"
            case 2:  // the second physical line alone looks like "kN = j..."
                text += n + "\\\n" + n + " = j" + v + "\n", want[{section, n + n}] = "j" + v;
                break;
            case 3: text += "q::" + n + " = " + v + "\n", want[{"q", n}] = v; break;
            case 4: text += "e\\" + n + " = " + v + "\n", want[{section, "e\\" + n}] = v; break;
            default: text += n + " = v" + v + "\n", want[{section, n}] = "v" + v;
        }
    }
    TempFiles files;
    std::string first;
    for (Loader load : {FromFile, FromBuffer, FromPipe}) {
        CONF_CTX *ctx = CONF_new();
        ASSERT_EQ(load(ctx, text, files), 0);
        ASSERT_GT(ctx->table->bucket_count, 16384u);  // well past where fetching ahead starts
        EXPECT_EQ(nivra::conf::store_check(ctx), nullptr);
        for (const auto &[key, value] : want) {
            const char *got = CONF_get_string(ctx, key.first.c_str(), key.second.c_str());
            ASSERT_STREQ(got, value.c_str()) << key.first << "::" << key.second;
        }
        const std::string d = Describe(ctx);
        if (first.empty()) first = d;
        EXPECT_EQ(d, first);
        CONF_free(ctx);
    }
}

TEST(Listing, SectionsInOrderOfBirthAcrossLoadsAndGoneAfterAFailure) {
    CONF_CTX *ctx = CONF_new();
    EXPECT_EQ(CONF_get_section_count(ctx), 0);
    EXPECT_EQ(CONF_get_section_name(ctx, 0), nullptr);
    EXPECT_EQ(CONF_get_entry_count(ctx, "default"), -1);
    const char first[] = "[zeta]\na = 1\nalpha::q = 2\n[beta]\n[zeta]\nb = 3\n";
    ASSERT_EQ(CONF_load_buffer(ctx, first, sizeof first - 1), 0);
    const char second[] = "[gamma]\n[beta]\nx = 1\n";
    ASSERT_EQ(CONF_load_buffer(ctx, second, sizeof second - 1), 0);
    const char *want[] = {"default", "zeta", "alpha", "beta", "gamma"};
    ASSERT_EQ(CONF_get_section_count(ctx), 5);
    for (int i = 0; i < 5; ++i) EXPECT_STREQ(CONF_get_section_name(ctx, i), want[i]) << i;
    EXPECT_EQ(CONF_get_section_name(ctx, 5), nullptr);
    EXPECT_EQ(CONF_get_section_name(ctx, -1), nullptr);
    EXPECT_EQ(CONF_get_entry_count(ctx, "gamma"), 0);
    EXPECT_EQ(CONF_get_entry_count(ctx, "nosuch"), -1);
    EXPECT_EQ(CONF_get_entry_count(ctx, nullptr), -1);
    EXPECT_EQ(CONF_get_entry(ctx, "nosuch", 0), nullptr);

    const char broken[] = "[late]\nbroken\n";
    EXPECT_EQ(CONF_load_buffer(ctx, broken, sizeof broken - 1), -105);
    EXPECT_EQ(CONF_get_section_count(ctx), 0);
    EXPECT_EQ(CONF_get_last_error_line(ctx), 2);
    CONF_free(ctx);
}

TEST(Listing, ANullContextListsNothing) {
    EXPECT_EQ(CONF_get_section_count(nullptr), 0);
    EXPECT_EQ(CONF_get_section_name(nullptr, 0), nullptr);
    EXPECT_EQ(CONF_get_entry_count(nullptr, "default"), -1);
    EXPECT_EQ(CONF_get_entry(nullptr, "default", 0), nullptr);
}

TEST(Listing, EntriesInStoredOrderWithAReplacementWhereItWasRead) {
    CONF_CTX *ctx = CONF_new();
    const char text[] = "a = 1\nb = 2\nc = 3\na = 4\n";
    ASSERT_EQ(CONF_load_buffer(ctx, text, sizeof text - 1), 0);
    const char second[] = "b = 5\n";
    ASSERT_EQ(CONF_load_buffer(ctx, second, sizeof second - 1), 0);
    ASSERT_EQ(CONF_get_entry_count(ctx, "default"), 3);
    const char *names[] = {"c", "a", "b"}, *values[] = {"3", "4", "5"};
    for (int i = 0; i < 3; ++i) {
        const CONF_VALUE *e = CONF_get_entry(ctx, "default", i);
        EXPECT_STREQ(e->name, names[i]);
        EXPECT_STREQ(e->value, values[i]);
        EXPECT_EQ(e->value, CONF_get_string(ctx, "default", names[i]));  // the same record
    }
    EXPECT_EQ(CONF_get_entry(ctx, "default", 3), nullptr);
    EXPECT_EQ(CONF_get_entry(ctx, "default", -1), nullptr);
    CONF_free(ctx);
}

TEST(ErrorLine, IsTheLineOfTheLastRecordedError) {
    const struct {
        const char *text;
        int line;
    } cases[] = {{"a = 1\n\n# c\nbad\n", 4}, {"x = \\\n\\\n$nosuch\n", 3}, {"[s\n", 1}};
    for (const auto &c : cases) {
        CONF_CTX *ctx = CONF_new();
        EXPECT_NE(CONF_load_buffer(ctx, c.text, std::strlen(c.text)), 0);
        EXPECT_EQ(CONF_get_last_error_line(ctx), c.line) << c.text;
        // A later error without a suffix replaces it.
        EXPECT_EQ(CONF_load(ctx, "/nonexistent/file"), -101);
        EXPECT_EQ(CONF_get_last_error_line(ctx), 0);
        CONF_free(ctx);
    }
    EXPECT_EQ(CONF_get_last_error_line(nullptr), 0);
}

}  // namespace
