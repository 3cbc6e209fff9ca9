// Loading from a file, a stream, memory and a pipe: every source of the same
// bytes gives the same context; error lines; section and entry order.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "conf.h"
#include "temp_files.h"

namespace {

// Everything a caller can see of a context: the error record, then every
// section in order with its entries in order.
std::string Describe(CONF_CTX *ctx) {
    std::string out = std::to_string(CONF_get_last_errnum(ctx)) + " " +
                      CONF_get_last_error_str(ctx) + " @" +
                      std::to_string(CONF_get_last_error_line(ctx)) + "\n";
    for (int i = 0; i < CONF_get_section_count(ctx); ++i) {
        const char *s = CONF_get_section_name(ctx, i);
        out += "[" + std::string(s) + "]\n";
        for (int j = 0; j < CONF_get_entry_count(ctx, s); ++j) {
            const CONF_VALUE *e = CONF_get_entry(ctx, s, j);
            out += std::string(e->name) + "=" + e->value + "\n";
        }
    }
    return out;
}

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

// A stream whose device fails after some lines have been read.
TEST(Sources, AReadErrorMidStreamFailsWithItsLine) {
    cookie_io_functions_t io{};
    int calls = 0;
    io.read = [](void *cookie, char *buf, size_t size) -> ssize_t {
        int *n = static_cast<int *>(cookie);
        if ((*n)++ > 0) return -1;  // the second read fails
        const char text[] = "a = 1\nb = 2\npartial";
        const size_t len = std::min(size, sizeof text - 1);
        std::memcpy(buf, text, len);
        return static_cast<ssize_t>(len);
    };
    std::FILE *f = fopencookie(&calls, "r", io);
    CONF_CTX *ctx = CONF_new();
    EXPECT_EQ(CONF_load_fp(ctx, f), -108);
    EXPECT_STREQ(CONF_get_last_error_str(ctx), "error reading configuration file, line 2");
    EXPECT_EQ(CONF_get_last_error_line(ctx), 2);
    EXPECT_EQ(CONF_get_section_count(ctx), 0);  // the table is dropped
    std::fclose(f);
    CONF_free(ctx);
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
