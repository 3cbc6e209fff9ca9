// Readers on several threads: after a load, eight threads look up, read
// typed values, list and read the error record of one context at once, and
// every answer is the one a single thread gets.  Run under ThreadSanitizer
// by the tsan preset.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "conf.h"

namespace {

constexpr int kThreads = 8;
constexpr int kRounds = 200;
constexpr int kSections = 20;
constexpr int kEntries = 25;

std::string Text() {
    std::string text = "shared = fallback\n";
    for (int s = 0; s < kSections; ++s) {
        text += "[s" + std::to_string(s) + "]\n";
        for (int e = 0; e < kEntries; ++e) {
            const std::string v = std::to_string(s * 1000 + e);
            text += "n" + std::to_string(e) + " = " + v + "\n";
            text += "d" + std::to_string(e) + " = " + v + ".5\n";
            text += "b" + std::to_string(e) + " = " + (e % 2 ? "on" : "off") + "\n";
        }
    }
    return text;
}

// One reader's work; returns how many answers were wrong.
int Read(CONF_CTX *ctx, int seed) {
    int wrong = 0;
    for (int round = 0; round < kRounds; ++round) {
        const int s = (seed + round) % kSections;
        const std::string section = "s" + std::to_string(s);
        for (int e = 0; e < kEntries; ++e) {
            const std::string i = std::to_string(e);
            int64_t n = -1;
            double d = -1;
            int b = -1;
            wrong += CONF_get_int64(ctx, section.c_str(), ("n" + i).c_str(), &n) != 1 ||
                     n != s * 1000 + e;
            wrong += CONF_get_double(ctx, section.c_str(), ("d" + i).c_str(), &d) != 1 ||
                     d != s * 1000 + e + 0.5;
            wrong += CONF_get_bool(ctx, section.c_str(), ("b" + i).c_str(), &b) != 1 || b != e % 2;
        }
        const char *shared = CONF_get_string(ctx, section.c_str(), "shared");
        wrong += shared == nullptr || std::string(shared) != "fallback";
        wrong += CONF_get_string(ctx, section.c_str(), "missing") != nullptr;
        wrong += CONF_get_section_count(ctx) != kSections + 1;
        const char *name = CONF_get_section_name(ctx, s + 1);
        wrong += name == nullptr || section != name;
        wrong += CONF_get_entry_count(ctx, section.c_str()) != 3 * kEntries;
        const CONF_VALUE *first = CONF_get_entry(ctx, section.c_str(), 0);
        wrong += first == nullptr || std::string(first->name) != "n0";
        wrong += CONF_get_last_errnum(ctx) != 0 || CONF_get_last_error_line(ctx) != 0;
        wrong += CONF_get_number(ctx, section.c_str(), "n1") != s * 1000 + 1;
    }
    return wrong;
}

TEST(ConcurrentReaders, EightThreadsReadOneContextAtOnce) {
    CONF_CTX *ctx = CONF_new();
    const std::string text = Text();
    ASSERT_EQ(CONF_load_buffer(ctx, text.data(), text.size()), 0);
    ASSERT_EQ(Read(ctx, 0), 0);  // what one thread gets

    std::atomic<int> wrong{0};
    std::atomic<bool> go{false};
    std::vector<std::thread> readers;
    for (int t = 0; t < kThreads; ++t) {
        readers.emplace_back([&, t] {
            while (!go.load()) std::this_thread::yield();
            wrong += Read(ctx, t * 3);
        });
    }
    go = true;
    for (std::thread &r : readers) r.join();
    EXPECT_EQ(wrong.load(), 0);
    // The statistics counted most lookups (concurrent increments may be lost).
    EXPECT_GT(ctx->table->retrieve_count, 0u);
    CONF_free(ctx);
}

}  // namespace
