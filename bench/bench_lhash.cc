// bench_lhash.cc - LH_TABLE against std::unordered_map and absl::flat_hash_map:
// insert N distinct string keys of 20-30 bytes, look each up in shuffled
// order, look up N absent keys, delete all.
#include <absl/container/flat_hash_map.h>
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include <nivra/lhash.h>

namespace {

// N NUL-terminated keys in one buffer.
struct Keys {
    std::vector<char> bytes;
    std::vector<const char *> present;  // in insertion order
    std::vector<const char *> shuffled;
    std::vector<const char *> absent;
};

void AddKeys(std::vector<char> &bytes, std::vector<size_t> &offsets, size_t n, char prefix,
             std::mt19937_64 &rng) {
    static constexpr char kChars[] =
        "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    for (size_t i = 0; i < n; ++i) {
        offsets.push_back(bytes.size());
        const size_t len = 20 + rng() % 11;
        bytes.push_back(prefix);
        // The index in base 62 keeps the keys distinct; the rest is random.
        size_t v = i;
        for (int d = 0; d < 5; ++d, v /= 62) bytes.push_back(kChars[v % 62]);
        for (size_t j = 6; j < len; ++j) bytes.push_back(kChars[rng() % 62]);
        bytes.push_back('\0');
    }
}

const Keys &GetKeys(size_t n) {
    static std::map<size_t, Keys> cache;
    Keys &k = cache[n];
    if (!k.present.empty()) return k;
    std::mt19937_64 rng(n);
    std::vector<size_t> present, absent;
    AddKeys(k.bytes, present, n, 'k', rng);
    AddKeys(k.bytes, absent, n, 'a', rng);
    for (size_t off : present) k.present.push_back(k.bytes.data() + off);
    for (size_t off : absent) k.absent.push_back(k.bytes.data() + off);
    k.shuffled = k.present;
    for (size_t i = n - 1; i > 0; --i) std::swap(k.shuffled[i], k.shuffled[rng() % (i + 1)]);
    return k;
}

struct Lh {
    LH_TABLE *t = lh_new(nullptr, nullptr);
    ~Lh() { lh_free(t); }
    void Insert(const char *k) { lh_insert(t, const_cast<char *>(k)); }
    bool Find(const char *k) { return lh_retrieve(t, k) != nullptr; }
    void Erase(const char *k) { lh_delete(t, k); }
};

struct TransparentHash {
    using is_transparent = void;
    size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
};

struct StdMap {
    std::unordered_map<std::string, int, TransparentHash, std::equal_to<>> m;
    void Insert(const char *k) { m.emplace(k, 1); }
    bool Find(const char *k) { return m.find(std::string_view(k)) != m.end(); }
    void Erase(const char *k) { m.erase(m.find(std::string_view(k))); }
};

struct AbslMap {
    absl::flat_hash_map<std::string, int> m;
    void Insert(const char *k) { m.emplace(k, 1); }
    // Heterogeneous lookup: no std::string is built.
    bool Find(const char *k) { return m.find(absl::string_view(k)) != m.end(); }
    void Erase(const char *k) { m.erase(absl::string_view(k)); }
};

enum Op { kInsert, kHit, kMiss, kDelete };

template <typename Table, Op op>
void BM_Table(benchmark::State &state) {
    const size_t n = static_cast<size_t>(state.range(0));
    const Keys &keys = GetKeys(n);
    for (auto _ : state) {
        state.PauseTiming();
        auto *table = new Table;
        if (op != kInsert) {
            for (const char *k : keys.present) table->Insert(k);
        }
        state.ResumeTiming();
        size_t found = 0;
        switch (op) {
            case kInsert:
                for (const char *k : keys.present) table->Insert(k);
                break;
            case kHit:
                for (const char *k : keys.shuffled) found += table->Find(k);
                break;
            case kMiss:
                for (const char *k : keys.absent) found += table->Find(k);
                break;
            case kDelete:
                for (const char *k : keys.shuffled) table->Erase(k);
                break;
        }
        benchmark::DoNotOptimize(found);
        state.PauseTiming();
        delete table;
        state.ResumeTiming();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * n));
}

void Sizes(benchmark::internal::Benchmark *b) {
    for (int64_t n : {1000, 100000, 1000000, 10000000}) b->Arg(n);
    b->ArgName("n")->Unit(benchmark::kMillisecond)->UseRealTime();
}

#define NIVRA_TABLE_BENCH(Table, name)                                                      \
    BENCHMARK_TEMPLATE(BM_Table, Table, kInsert)->Apply(Sizes)->Name("table/insert/" name); \
    BENCHMARK_TEMPLATE(BM_Table, Table, kHit)->Apply(Sizes)->Name("table/hit/" name);       \
    BENCHMARK_TEMPLATE(BM_Table, Table, kMiss)->Apply(Sizes)->Name("table/miss/" name);     \
    BENCHMARK_TEMPLATE(BM_Table, Table, kDelete)->Apply(Sizes)->Name("table/delete/" name)

NIVRA_TABLE_BENCH(Lh, "lhash");
NIVRA_TABLE_BENCH(StdMap, "std_unordered_map");
NIVRA_TABLE_BENCH(AbslMap, "absl_flat_hash_map");

}  // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
