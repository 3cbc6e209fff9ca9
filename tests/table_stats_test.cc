// The hash table as a loader leaves it: every public statistic and field of
// the table, and the order of every chain, after loading each sample file,
// the 10k and 100k benchmark workloads and a two-file merge.  The figures
// are recorded in golden/table_stats.txt; a change to how the loader gets
// its work to the table must reproduce them exactly.  To record them anew
// (only when the table's behaviour is meant to change), run the test with
// NIVRA_UPDATE_GOLDEN=1.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "conf.h"
#include "temp_files.h"
#include "workload.h"

namespace {

const char kGolden[] = NIVRA_SOURCE_DIR "/tests/golden/table_stats.txt";

uint64_t Fnv(uint64_t h, const char *s) {
    for (; s != nullptr && *s != '\0'; ++s)
        h = (h ^ static_cast<unsigned char>(*s)) * 0x100000001b3ull;
    return (h ^ 0xff) * 0x100000001b3ull;
}

// Every field of the table and a digest of each chain's records in order.
std::string Stats(const LH_TABLE *t) {
    if (t == nullptr) return "no table";
    uint64_t chains = 0xcbf29ce484222325ull;
    for (uint32_t i = 0; i < t->bucket_capacity; ++i) {
        for (const LH_NODE *n = t->buckets[i]; n != nullptr; n = n->next) {
            const auto *v = static_cast<const CONF_VALUE *>(n->record);
            chains = Fnv(Fnv(chains, v->section), v->name);
            chains = (chains ^ n->hash_value ^ i) * 0x100000001b3ull;
        }
    }
    std::ostringstream o;
    o << "buckets=" << t->bucket_count << "/" << t->bucket_capacity << " split=" << t->split_index
      << " base=" << t->base_size << " loads=" << t->grow_load << "/" << t->shrink_load
      << " items=" << t->item_count << " expand=" << t->expand_count << "/"
      << t->expand_realloc_count << " contract=" << t->contract_count << "/"
      << t->contract_realloc_count << " hash=" << t->hash_call_count
      << " compare=" << t->compare_call_count << " insert=" << t->insert_count
      << " replace=" << t->replace_count << " delete=" << t->delete_count << "/"
      << t->delete_miss_count << " retrieve=" << t->retrieve_count << "/" << t->retrieve_miss_count
      << " visits=" << t->node_visit_count << " error=" << t->error << " chains=" << std::hex
      << chains;
    return o.str();
}

std::string ReadAll(const std::filesystem::path &p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// Loads each part in turn into one context and returns the table's figures.
std::string LoadAndMeasure(const std::vector<std::string> &parts) {
    CONF_CTX *ctx = CONF_new();
    for (const std::string &p : parts) CONF_load_buffer(ctx, p.data(), p.size());
    std::string s = Stats(ctx->table);
    CONF_free(ctx);
    return s;
}

std::map<std::string, std::string> Measure() {
    setenv("NIVRA_FUZZ", "fuzz-value", 1);
    std::map<std::string, std::string> got;
    // The loader's corpus, in the fuzz targets' layout: a flag byte (bit 0:
    // two files, split at bytes 1-2), then the text.
    for (const auto &e :
         std::filesystem::directory_iterator(NIVRA_SOURCE_DIR "/fuzz/corpus/conf_load")) {
        const std::string bytes = ReadAll(e.path());
        if (bytes.size() < 3) continue;
        std::string text = bytes.substr(3);
        size_t split = static_cast<size_t>(static_cast<unsigned char>(bytes[1])) << 8 |
                       static_cast<unsigned char>(bytes[2]);
        if (split > text.size()) split = text.size();
        got["corpus/" + e.path().filename().string()] =
            (bytes[0] & 1) ? LoadAndMeasure({text.substr(0, split), text.substr(split)})
                           : LoadAndMeasure({text});
    }
    got["example.conf"] = LoadAndMeasure({ReadAll(NIVRA_SOURCE_DIR "/examples/example.conf")});
    got["merge"] =
        LoadAndMeasure({"a = 1\n[s]\nb = $a\nc = 2\n[t]\nd = ${s::b}\n",
                        "[s]\nc = 3\nb = again\n[u]\ne = $s::c$t::d\n[t]\nd = 4\na = 5\n"});
    TempFiles dir;
    for (size_t n : {size_t{10000}, size_t{100000}}) {
        for (bool refs : {false, true}) {
            const bench::Workload w = bench::MakeWorkload(dir.dir(), n, refs);
            got["workload/" + std::to_string(n) + (refs ? "/references" : "/plain")] =
                LoadAndMeasure({ReadAll(w.path)});
            std::filesystem::remove(w.path);
        }
    }
    return got;
}

TEST(TableStats, LoadsLeaveTheTableExactlyAsRecorded) {
    const std::map<std::string, std::string> got = Measure();
    if (std::getenv("NIVRA_UPDATE_GOLDEN") != nullptr) {
        std::ofstream out(kGolden);
        for (const auto &[name, stats] : got) out << name << ": " << stats << "\n";
        GTEST_SKIP() << "recorded " << got.size() << " cases in " << kGolden;
    }
    std::map<std::string, std::string> want;
    std::ifstream in(kGolden);
    for (std::string line; std::getline(in, line);) {
        const size_t colon = line.find(": ");
        if (colon != std::string::npos) want[line.substr(0, colon)] = line.substr(colon + 2);
    }
    ASSERT_FALSE(want.empty()) << kGolden;
    EXPECT_EQ(got.size(), want.size());
    for (const auto &[name, stats] : want) {
        const auto it = got.find(name);
        EXPECT_EQ(it != got.end() ? it->second : "missing", stats) << name;
    }
}

}  // namespace
