// A live configuration under load: reader threads look values up without
// pause, some holding a snapshot for a long time, while the main thread
// reloads 10,000 times between versions whose every value carries its
// version number.  Every snapshot must be one version throughout, the
// versions a reader sees must never go back, and once the readers stop no
// context but the one in use may remain.  Run under ThreadSanitizer by the
// tsan preset and under AddressSanitizer by the asan preset.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "conf_live.h"
#include "conf_live_internal.h"
#include "scratch_dir.h"

namespace {

constexpr int kReaders = 4;
constexpr int kReloads = 10000;
constexpr int kSections = 4;
constexpr int kEntries = 8;
constexpr int kHoldEvery = 50;  // one snapshot in so many is held long
constexpr int kHoldFor = 200;   // for so many other snapshots

std::string Section(int s) { return "s" + std::to_string(s); }
std::string Name(int e) { return "k" + std::to_string(e); }

// Every value is "VERSION.SECTION.ENTRY"; a version's text grows with it.
std::string Version(int v) {
    std::string text;
    for (int s = 0; s < kSections; ++s) {
        text += "[" + Section(s) + "]\n";
        for (int e = 0; e < kEntries; ++e)
            text += Name(e) + " = " + std::to_string(v) + "." + std::to_string(s) + "." +
                    std::to_string(e) + "\n";
    }
    return text;
}

void WriteFile(const std::string &path, const std::string &text) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, text.data(), text.size()), ssize_t(text.size()));
    ::close(fd);
}

// The one version every value of ctx carries; -1 when they disagree or a
// value is malformed, 0 for an empty configuration.
int VersionOf(CONF_CTX *ctx) {
    int version = 0;
    int found = 0;
    for (int s = 0; s < kSections; ++s) {
        for (int e = 0; e < kEntries; ++e) {
            const char *v = CONF_get_string(ctx, Section(s).c_str(), Name(e).c_str());
            if (v == nullptr) continue;
            const std::string want_tail = "." + std::to_string(s) + "." + std::to_string(e);
            const int n = std::atoi(v);
            if (std::string(v) != std::to_string(n) + want_tail) return -1;
            if (found++ > 0 && n != version) return -1;
            version = n;
        }
    }
    return found == 0 || found == kSections * kEntries ? version : -1;
}

struct Counts {
    std::atomic<long> snapshots{0};
    std::atomic<long> wrong{0};
    std::atomic<long> went_back{0};
    std::atomic<long> changed_while_held{0};
};

// One reader: snapshots without pause until stop, checking each whole; one
// in kHoldEvery is kept for kHoldFor more and checked again at its release.
void Read(CONF_LIVE *live, const std::atomic<bool> &stop, Counts *counts) {
    int last = 0;
    CONF_CTX *held = nullptr;
    int held_version = 0;
    int held_left = 0;
    for (long i = 0; !stop.load(std::memory_order_relaxed); ++i) {
        CONF_CTX *ctx = CONF_live_acquire(live);
        if (ctx == nullptr) continue;
        const int version = VersionOf(ctx);
        counts->wrong += version <= 0;
        counts->went_back += version < last;
        last = version;
        counts->snapshots++;
        if (held == nullptr && i % kHoldEvery == 0) {
            held = ctx;
            held_version = version;
            held_left = kHoldFor;
            continue;
        }
        CONF_live_release(live, ctx);
        if (held != nullptr && --held_left == 0) {
            counts->changed_while_held += VersionOf(held) != held_version;
            CONF_live_release(live, held);
            held = nullptr;
        }
    }
    if (held != nullptr) {
        counts->changed_while_held += VersionOf(held) != held_version;
        CONF_live_release(live, held);
    }
}

TEST(LiveReaders, ReadersSeeWholeVersionsWhileTenThousandReloadsRun) {
    Scratch dir;
    const std::string path = dir.Path("service.conf");
    const std::string temp = dir.Path("service.conf.new");
    WriteFile(path, Version(1));
    CONF_LIVE *live = CONF_live_new_file(path.c_str());
    ASSERT_EQ(CONF_live_reload(live), kSections * kEntries);

    std::atomic<bool> stop{false};
    Counts counts;
    std::vector<std::thread> readers;
    for (int t = 0; t < kReaders; ++t) readers.emplace_back(Read, live, std::cref(stop), &counts);
    int failed = 0;
    for (int v = 2; v <= kReloads + 1; ++v) {
        WriteFile(temp, Version(v));
        ASSERT_EQ(::rename(temp.c_str(), path.c_str()), 0);
        failed += CONF_live_reload(live) != kSections * kEntries;  // every value changed
    }
    stop = true;
    for (std::thread &r : readers) r.join();

    EXPECT_EQ(failed, 0);
    EXPECT_EQ(CONF_live_generation(live), uint64_t{kReloads} + 1);
    EXPECT_GT(counts.snapshots.load(), 0);
    EXPECT_EQ(counts.wrong.load(), 0);
    EXPECT_EQ(counts.went_back.load(), 0);
    EXPECT_EQ(counts.changed_while_held.load(), 0);
    // Back to the start: no hold left, nothing retired but not freed.
    EXPECT_EQ(nivra::conf::live_held_count(live), 0u);
    EXPECT_EQ(nivra::conf::live_retired_count(live), 0u);
    CONF_CTX *last = CONF_live_acquire(live);
    EXPECT_EQ(VersionOf(last), kReloads + 1);
    CONF_live_release(live, last);
    CONF_live_free(live);
}

// A writer rewrites the file in place (truncate, then one write) between two
// versions of different sizes while reloads read it: a reload publishes one
// whole version or the empty file it may catch between the two steps, or
// fails; never a mix.
TEST(LiveReaders, AFileWrittenInPlaceIsReadAsOneOfItsVersions) {
    Scratch dir;
    const std::string path = dir.Path("service.conf");
    const std::string texts[] = {Version(7), Version(1000000)};
    WriteFile(path, texts[0]);
    CONF_LIVE *live = CONF_live_new_file(path.c_str());
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        for (int i = 0; !stop.load(); ++i) WriteFile(path, texts[i % 2]);
    });
    int mixed = 0;
    int published = 0;
    for (int i = 0; i < 2000; ++i) {
        const int r = CONF_live_reload(live);
        if (r < 0) continue;
        ++published;
        CONF_CTX *ctx = CONF_live_acquire(live);
        const int v = VersionOf(ctx);
        mixed += v != 0 && v != 7 && v != 1000000;
        CONF_live_release(live, ctx);
    }
    stop = true;
    writer.join();
    EXPECT_EQ(mixed, 0);
    EXPECT_GT(published, 0);
    CONF_live_free(live);
}

}  // namespace
