// workload.cc - the benchmark file generator.
#include "workload.h"

#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <fstream>

namespace bench {
namespace {

// xorshift64*: the same sequence on every machine and library.
class Rng {
  public:
    explicit Rng(uint64_t seed) : s_(seed) {}
    uint64_t next() {
        s_ ^= s_ >> 12;
        s_ ^= s_ << 25;
        s_ ^= s_ >> 27;
        return s_ * 2685821657736338717ull;
    }
    size_t below(size_t n) { return static_cast<size_t>(next() % n); }

  private:
    uint64_t s_;
};

// Characters every peer reads literally (no quotes, escapes, comment or
// reference characters).
constexpr char kValueChars[] =
    "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_.,:/+-@";

std::string RandomValue(Rng &rng) {
    const size_t len = 8 + rng.below(33);
    std::string v(len, 'x');
    for (char &c : v) c = kValueChars[rng.below(sizeof kValueChars - 1)];
    // A blank inside now and then, never at the ends.
    if (len > 12 && rng.below(4) == 0) v[len / 2] = ' ';
    return v;
}

std::string KeyName(size_t i) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "key_%06zu", i);
    return buf;
}

}  // namespace

Workload MakeWorkload(const std::string &dir, size_t n, bool references) {
    mkdir(dir.c_str(), 0755);
    Workload w;
    w.path = dir + "/entries_" + std::to_string(n) + (references ? "_ref" : "") + ".conf";
    Rng rng(0x9E3779B97F4A7C15ull ^ n ^ (references ? 0xABCDu : 0u));
    std::string text;
    text.reserve(n * 40);
    size_t lines = 0;
    std::string section;
    for (size_t i = 0; i < n; ++i) {
        if (i % 100 == 0) {
            char buf[32];
            std::snprintf(buf, sizeof buf, "section_%05zu", i / 100);
            section = buf;
            if (i != 0) text += "\n";
            text += "[" + section + "]\n";
            ++lines;
        }
        if (++lines % 20 == 0) text += "# comment line " + std::to_string(lines) + "\n";
        Entry e;
        e.section = section;
        e.name = KeyName(i);
        const size_t first_in_section = i - i % 100;
        if (references && i > first_in_section && rng.below(5) == 0) {
            const size_t target = first_in_section + rng.below(i - first_in_section);
            e.raw = "${" + KeyName(target) + "}";
            e.expanded = w.entries[target].expanded;
        } else {
            e.raw = RandomValue(rng);
            e.expanded = e.raw;
        }
        text += e.name + " = " + e.raw + "\n";
        w.entries.push_back(std::move(e));
    }
    w.bytes = text.size();
    struct stat st;
    if (stat(w.path.c_str(), &st) != 0 || static_cast<size_t>(st.st_size) != text.size()) {
        std::ofstream(w.path, std::ios::binary) << text;
    }
    return w;
}

}  // namespace bench
