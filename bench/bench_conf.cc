// bench_conf.cc - configuration loaders side by side: load, lookups in file
// order and shuffled, release; resident memory per entry; and the
// instructions a load plus release executes, per entry.  Editing: runs of
// edits and single sets beside a load of the same text, a document's read
// beside a load, and the heap a document holds for its text.
//
//   nivra_bench_conf [benchmark flags]        run the benchmarks
//   nivra_bench_conf --rss PEER N FILE        print resident bytes per entry
//                                             of one load, in a fresh process
//   nivra_bench_conf --count PEER N FILE REPS under callgrind: one load and
//                                             release unmeasured, then REPS
//                                             measured (the report divides
//                                             callgrind's total by REPS * N);
//                                             PEER nivra_edit: REPS sets of a
//                                             document read from the plain
//                                             file (divide by REPS)
//
// FILE is 0 for the plain file, 1 for the one with references, 2 for a
// service configuration (workload.h).  PEER nivra_validate counts a schema
// validation of the loaded file instead of a load (validate/nivra rows).
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#if __has_include(<valgrind/callgrind.h>)
#include <valgrind/callgrind.h>
#else
#define CALLGRIND_TOGGLE_COLLECT
#endif

#include <nivra/conf_doc.h>
#include <nivra/conf_schema.h>
#include "peers.h"
#include "workload.h"

namespace bench {
namespace {

std::string BenchDir() {
    const char *d = std::getenv("NIVRA_BENCH_DIR");
    return d != nullptr ? d : "/tmp/nivra-bench";
}

enum FileKind : int64_t { kPlain = 0, kReferences = 1, kService = 2 };

const Workload &GetWorkload(size_t n, int64_t kind) {
    static std::map<std::pair<size_t, int64_t>, Workload> cache;
    auto it = cache.find({n, kind});
    if (it == cache.end()) {
        Workload w = kind == kService ? MakeServiceConfig(BenchDir(), n)
                                      : MakeWorkload(BenchDir(), n, kind == kReferences);
        it = cache.emplace(std::make_pair(n, kind), std::move(w)).first;
    }
    return it->second;
}

// Entry indices in a fixed shuffled order.
const std::vector<size_t> &Shuffled(size_t n) {
    static std::map<size_t, std::vector<size_t>> cache;
    auto &v = cache[n];
    if (v.empty()) {
        v.resize(n);
        for (size_t i = 0; i < n; ++i) v[i] = i;
        std::mt19937_64 rng(42);
        for (size_t i = n - 1; i > 0; --i) std::swap(v[i], v[rng() % (i + 1)]);
    }
    return v;
}

// Loads once and compares every value with the expected one; a peer whose
// values are wrong must not be timed.
template <typename Peer>
bool Verify(const Workload &w, benchmark::State &state) {
    Peer p;
    if (!p.Load(w.path)) {
        state.SkipWithError("load failed");
        return false;
    }
    bool ok = true;
    if constexpr (Peer::kStores) {
        for (const Entry &e : w.entries) {
            auto v = p.Value(e);
            const std::string &want = Peer::kExpands ? e.expanded : e.raw;
            if (!v || *v != want) {
                std::fprintf(stderr, "%s: [%s] %s is wrong\n", Peer::kName, e.section.c_str(),
                             e.name.c_str());
                ok = false;
                break;
            }
        }
    } else {
        ok = p.entries == w.entries.size();
    }
    p.Release();
    if (!ok) state.SkipWithError("wrong values");
    return ok;
}

double Since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// Times load plus release (the iteration time) and reports the two phases
// as counters load_ms and release_ms, averaged over the iterations.
template <typename Peer>
void BM_Load(benchmark::State &state) {
    const Workload &w = GetWorkload(static_cast<size_t>(state.range(0)), state.range(1));
    if (!Verify<Peer>(w, state)) return;
    double load_s = 0, release_s = 0;
    for (auto _ : state) {
        const auto t0 = std::chrono::steady_clock::now();
        Peer p;
        if (!p.Load(w.path)) state.SkipWithError("load failed");
        benchmark::ClobberMemory();
        const double loaded = Since(t0);
        const auto t1 = std::chrono::steady_clock::now();
        p.Release();
        benchmark::ClobberMemory();
        const double released = Since(t1);
        state.SetIterationTime(loaded + released);
        load_s += loaded;
        release_s += released;
    }
    state.counters["load_ms"] =
        benchmark::Counter(load_s * 1e3, benchmark::Counter::kAvgIterations);
    state.counters["release_ms"] =
        benchmark::Counter(release_s * 1e3, benchmark::Counter::kAvgIterations);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * w.bytes));
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * w.entries.size()));
}

template <typename Peer>
void BM_Lookup(benchmark::State &state) {
    const Workload &w = GetWorkload(static_cast<size_t>(state.range(0)), kPlain);
    const bool shuffled = state.range(1) != 0;
    if (!Verify<Peer>(w, state)) return;
    Peer p;
    p.Load(w.path);
    const std::vector<size_t> &order = Shuffled(w.entries.size());
    for (auto _ : state) {
        long total = 0;
        for (size_t i = 0; i < w.entries.size(); ++i) {
            total += p.Get(w.entries[shuffled ? order[i] : i]);
        }
        benchmark::DoNotOptimize(total);
    }
    p.Release();
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * w.entries.size()));
}

// A schema of the file's keys.  The service file: each section and key as
// written, typed int, bool or string by its value, so that validation
// parses what a program would read.  A plain file: each of its sections
// described with a "*" key (1,000 keys for 100,000 entries), so that every
// entry is found through its section's "*".
std::string SchemaFor(const Workload &w, int64_t kind) {
    std::string text;
    std::string section;
    std::map<std::pair<std::string, std::string>, bool> seen;
    for (const Entry &e : w.entries) {
        if (e.section != section) {
            section = e.section;
            text += "[" + section + "]\n";
            if (kind != kService) text += "* = string\n";
        }
        if (kind != kService || !seen.emplace(std::make_pair(e.section, e.name), true).second)
            continue;
        const std::string &v = e.expanded;
        const bool digits =
            !v.empty() && v.size() < 18 && v.find_first_not_of("0123456789") == std::string::npos;
        const bool word =
            v == "on" || v == "off" || v == "yes" || v == "no" || v == "true" || v == "false";
        text += e.name + (digits ? " = int 0.." : word ? " = bool" : " = string") + "\n";
    }
    return text;
}

struct Validation {
    CONF_CTX *ctx = nullptr;
    CONF_SCHEMA *schema = nullptr;
    bool Prepare(const Workload &w, int64_t kind) {
        const std::string text = SchemaFor(w, kind);
        schema = CONF_schema_load_buffer(text.data(), text.size(), nullptr);
        ctx = CONF_new();
        return schema != nullptr && ctx != nullptr && CONF_load(ctx, w.path.c_str()) == 0;
    }
    // Validates once; the number of findings (none when the schema is right).
    int Run() const {
        CONF_FINDINGS *f = CONF_schema_validate(schema, ctx);
        const int n = f != nullptr ? CONF_findings_count(f) : -1;
        CONF_findings_free(f);
        return n;
    }
    ~Validation() {
        CONF_free(ctx);
        CONF_schema_free(schema);
    }
};

// Times a validation of the loaded file against a schema of its keys, and
// reports beside it the share of a load (plus release) of the same file
// that it costs, both measured here back to back.
void BM_Validate(benchmark::State &state) {
    const Workload &w = GetWorkload(static_cast<size_t>(state.range(0)), state.range(1));
    Validation v;
    if (!v.Prepare(w, state.range(1)) || v.Run() != 0) {
        state.SkipWithError("schema or file wrong");
        return;
    }
    double load_s = 0;
    constexpr int kLoads = 5;
    for (int i = 0; i < kLoads; ++i) {
        const auto t0 = std::chrono::steady_clock::now();
        Ours p;
        p.Load(w.path);
        p.Release();
        load_s += Since(t0);
    }
    double validate_s = 0;
    for (auto _ : state) {
        const auto t0 = std::chrono::steady_clock::now();
        benchmark::DoNotOptimize(v.Run());
        const double took = Since(t0);
        state.SetIterationTime(took);
        validate_s += took;
    }
    const double per = validate_s / static_cast<double>(state.iterations());
    state.counters["load_ms"] = load_s * 1e3 / kLoads;
    state.counters["share_of_load"] = per / (load_s / kLoads);
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * w.entries.size()));
}

void LoadArgs(benchmark::internal::Benchmark *b) {
    for (int64_t n : {100, 1000}) b->Args({n, kService});
    for (int64_t n : {10000, 100000, 1000000}) b->Args({n, kPlain});
    for (int64_t n : {10000, 100000, 1000000}) b->Args({n, kReferences});
    b->ArgNames({"entries", "file"})->Unit(benchmark::kMillisecond)->UseManualTime();
}
void LookupArgs(benchmark::internal::Benchmark *b) {
    for (int64_t n : {10000, 100000, 1000000}) {
        b->Args({n, 0});
        b->Args({n, 1});
    }
    b->ArgNames({"entries", "shuffled"})->Unit(benchmark::kMillisecond)->UseRealTime();
}

BENCHMARK_TEMPLATE(BM_Load, Ours)->Apply(LoadArgs)->Name("load/nivra");
BENCHMARK_TEMPLATE(BM_Load, InihParseOnly)->Apply(LoadArgs)->Name("load/inih_parse_only");
BENCHMARK_TEMPLATE(BM_Load, InihMap)->Apply(LoadArgs)->Name("load/inih_unordered_map");
BENCHMARK_TEMPLATE(BM_Load, GKey)->Apply(LoadArgs)->Name("load/gkeyfile");
BENCHMARK_TEMPLATE(BM_Load, GetlineSplit)->Apply(LoadArgs)->Name("load/getline_split");
BENCHMARK_TEMPLATE(BM_Lookup, Ours)->Apply(LookupArgs)->Name("lookup/nivra");
BENCHMARK_TEMPLATE(BM_Lookup, InihMap)->Apply(LookupArgs)->Name("lookup/inih_unordered_map");
BENCHMARK_TEMPLATE(BM_Lookup, GKey)->Apply(LookupArgs)->Name("lookup/gkeyfile");
BENCHMARK(BM_Validate)
    ->Args({1000, kService})
    ->Args({100000, kPlain})
    ->ArgNames({"entries", "file"})
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime()
    ->Name("validate/nivra");

// ---- Editing ----------------------------------------------------------------

enum EditKind { kSet, kSetRaw, kUnset, kRemoveSection };

// Each op holds its own strings: a pointer into the workload's entries
// would add the harness's cache misses to every edit it times.
struct EditOp {
    EditKind kind;
    std::string section;  // the section of the entry edited (or of a new one)
    std::string name;
    std::string value;
};

// k edits of the file, the same ones every run: half replace an existing
// entry's value and half add an entry to a random section.  With mix, a
// fifth of them are set_raw, a fifth unset and one in a hundred removes a
// section.
std::vector<EditOp> EditOps(const Workload &w, size_t k, bool mix) {
    std::mt19937_64 rng(7);
    std::vector<EditOp> ops;
    ops.reserve(k);
    for (size_t i = 0; i < k; ++i) {
        const Entry &e = w.entries[rng() % w.entries.size()];
        const uint64_t r = rng() % 100;
        EditKind kind = kSet;
        if (mix) kind = r < 1 ? kRemoveSection : r < 21 ? kUnset : r < 41 ? kSetRaw : kSet;
        const bool add = kind != kUnset && (rng() & 1) != 0;
        char name[32], value[32];
        std::snprintf(name, sizeof name, "new_%zu", i);
        std::snprintf(value, sizeof value, "value %llu",
                      static_cast<unsigned long long>(rng() % 1000000));
        ops.push_back({kind, e.section, add ? std::string(name) : e.name, value});
    }
    return ops;
}

bool Apply(CONF_DOC *doc, const EditOp &op) {
    const char *section = op.section.c_str();
    switch (op.kind) {
        case kSet: return CONF_doc_set(doc, section, op.name.c_str(), op.value.c_str()) == 0;
        case kSetRaw: return CONF_doc_set_raw(doc, section, op.name.c_str(), op.value.c_str()) == 0;
        case kUnset: return CONF_doc_unset(doc, section, op.name.c_str()) >= 0;
        case kRemoveSection: return CONF_doc_remove_section(doc, section) >= 0;
    }
    return false;
}

// Seconds one CONF_load_buffer of the text takes, plus the release.
double LoadOnceSeconds(const char *text, size_t n) {
    const auto t0 = std::chrono::steady_clock::now();
    CONF_CTX *ctx = CONF_new();
    benchmark::DoNotOptimize(CONF_load_buffer(ctx, text, static_cast<long>(n)));
    CONF_free(ctx);
    return Since(t0);
}

// LoadOnceSeconds, the fastest of a few.
double LoadSeconds(const char *text, size_t n) {
    double best = 1e9;
    for (int i = 0; i < 3; ++i) best = std::min(best, LoadOnceSeconds(text, n));
    return best;
}

// Bytes the program holds from malloc: the blocks in glibc's arenas plus
// those it maps apart (a 100,000-entry file's text is one of those, so
// uordblks alone would miss it).  The difference of two calls is what the
// code between them kept; the bench build has no sanitizer allocator that
// would keep this from being glibc's.
size_t HeapBytes() {
    const struct mallinfo2 m = mallinfo2();
    return m.uordblks + m.hblkhd;
}

// The memory a document may take for a text: twice the text's size plus 32
// bytes per line (a last line without a line end counts).
double MemoryBudget(const char *text, size_t n) {
    size_t lines = static_cast<size_t>(std::count(text, text + n, '\n'));
    if (n > 0 && text[n - 1] != '\n') ++lines;
    return 2.0 * static_cast<double>(n) + 32.0 * static_cast<double>(lines);
}

// Times k edits of a document read from the file, then one CONF_doc_text
// (the read itself is not timed), and reports beside it the share of one
// load of the same text that it costs (share_of_load) and the time per edit.
// After the edits: the heap bytes the document holds (doc_bytes_after) and
// their share of the memory budget for its text (share_of_budget_after).
void BM_Edit(benchmark::State &state) {
    const Workload &w = GetWorkload(static_cast<size_t>(state.range(0)), kPlain);
    const std::vector<EditOp> ops = EditOps(w, static_cast<size_t>(state.range(1)), state.range(2));
    double took_s = 0, load_s = 0, bytes_after = 0, budget_after = 0;
    for (auto _ : state) {
        const size_t heap_before = HeapBytes();
        CONF_DOC *doc = CONF_doc_new();
        if (doc == nullptr || CONF_doc_read_file(doc, w.path.c_str()) != 0) {
            state.SkipWithError("read failed");
            CONF_doc_free(doc);
            break;
        }
        size_t n = 0;
        const char *text = CONF_doc_text(doc, &n);
        load_s += LoadSeconds(text, n);
        const auto t0 = std::chrono::steady_clock::now();
        bool ok = true;
        for (const EditOp &op : ops) ok = Apply(doc, op) && ok;
        const char *edited = CONF_doc_text(doc, &n);
        benchmark::DoNotOptimize(edited);
        const double took = Since(t0);
        state.SetIterationTime(took);
        took_s += took;
        // The loads between measure nothing here: they free all they take.
        bytes_after = static_cast<double>(HeapBytes()) - static_cast<double>(heap_before);
        budget_after = MemoryBudget(edited, n);
        CONF_doc_free(doc);
        if (!ok) state.SkipWithError("an edit failed");
        // The document owns its text: a figure below it measured something else.
        if (bytes_after < static_cast<double>(n)) state.SkipWithError("heap figure below the text");
    }
    const double iters = static_cast<double>(state.iterations());
    state.counters["share_of_load"] = took_s / load_s;
    state.counters["us_per_op"] = took_s * 1e6 / iters / static_cast<double>(ops.size());
    state.counters["doc_bytes_after"] = bytes_after;
    state.counters["share_of_budget_after"] = bytes_after / budget_after;
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * ops.size()));
}

// Whether the document's text is text, byte for byte.
bool DocHolds(const CONF_DOC *doc, const std::string &text) {
    size_t n = 0;
    const char *got = CONF_doc_text(doc, &n);
    return got != nullptr && std::string_view(got, n) == text;
}

// Times CONF_doc_read_buffer of the plain file's text into a new document
// (creating and freeing it are not timed), with one load (plus release) of
// the same text beside each read, so that a slow spell of the machine lands
// on both: share_of_load is the reads' time over the loads'.  bytes is the
// heap the document holds after the read, share_of_budget its share of two
// bytes per byte of text plus 32 per line.
void BM_DocRead(benchmark::State &state) {
    const Workload &w = GetWorkload(static_cast<size_t>(state.range(0)), kPlain);
    std::ifstream in(w.path, std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (text.size() != w.bytes) {
        state.SkipWithError("file unreadable");
        return;
    }
    double read_s = 0, load_s = 0, bytes = 0;
    for (auto _ : state) {
        const size_t heap_before = HeapBytes();
        CONF_DOC *doc = CONF_doc_new();
        const auto t0 = std::chrono::steady_clock::now();
        const int rc = doc != nullptr ? CONF_doc_read_buffer(doc, text.data(), text.size()) : -1;
        const double took = Since(t0);
        bytes = static_cast<double>(HeapBytes()) - static_cast<double>(heap_before);
        const bool same = rc == 0 && DocHolds(doc, text);
        CONF_doc_free(doc);
        if (!same || bytes < static_cast<double>(text.size())) {
            state.SkipWithError(!same ? "read failed" : "heap figure below the text's copy");
            break;
        }
        state.SetIterationTime(took);
        read_s += took;
        load_s += LoadOnceSeconds(text.data(), text.size());
    }
    if (load_s <= 0) return;
    const double iters = static_cast<double>(state.iterations());
    state.counters["load_ms"] = load_s * 1e3 / iters;
    state.counters["share_of_load"] = read_s / load_s;
    state.counters["bytes"] = bytes;
    state.counters["share_of_budget"] = bytes / MemoryBudget(text.data(), text.size());
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

// One CONF_doc_set replacing a random entry's value, after a first set
// (which may build what the document keeps between calls): the median of
// the calls' times, in microseconds, as us_median.
void BM_EditOne(benchmark::State &state) {
    const Workload &w = GetWorkload(static_cast<size_t>(state.range(0)), kPlain);
    CONF_DOC *doc = CONF_doc_new();
    if (doc == nullptr || CONF_doc_read_file(doc, w.path.c_str()) != 0 ||
        CONF_doc_set(doc, w.entries[0].section.c_str(), w.entries[0].name.c_str(), "first") != 0) {
        state.SkipWithError("read failed");
        CONF_doc_free(doc);
        return;
    }
    std::mt19937_64 rng(11);
    std::vector<double> times;
    for (auto _ : state) {
        const Entry &e = w.entries[rng() % w.entries.size()];
        char value[32];
        std::snprintf(value, sizeof value, "v%llu",
                      static_cast<unsigned long long>(rng() % 1000000));
        const auto t0 = std::chrono::steady_clock::now();
        const int rc = CONF_doc_set(doc, e.section.c_str(), e.name.c_str(), value);
        const double took = Since(t0);
        state.SetIterationTime(took);
        times.push_back(took);
        if (rc != 0) state.SkipWithError("set failed");
    }
    CONF_doc_free(doc);
    if (times.empty()) return;
    std::nth_element(times.begin(), times.begin() + static_cast<long>(times.size() / 2),
                     times.end());
    state.counters["us_median"] = times[times.size() / 2] * 1e6;
}

BENCHMARK(BM_Edit)
    ->Args({10000, 100, 0})
    ->Args({10000, 1000, 0})
    ->Args({100000, 100, 0})
    ->Args({100000, 1000, 0})
    ->Args({100000, 1000, 1})
    ->Args({100000, 10000, 0})
    ->Args({100000, 10000, 1})
    ->ArgNames({"entries", "ops", "mix"})
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime()
    ->Iterations(1)
    ->Name("edit/nivra");
// A fixed count of calls: a median of thousands whatever one call costs
// (the time budget alone gives a few hundred when a set is slow).
BENCHMARK(BM_EditOne)
    ->Arg(100000)
    ->ArgName("entries")
    ->Unit(benchmark::kMicrosecond)
    ->UseManualTime()
    ->Iterations(5000)
    ->Name("edit_one/nivra");
BENCHMARK(BM_DocRead)
    ->Arg(10000)
    ->Arg(100000)
    ->ArgName("entries")
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime()
    ->Name("doc_read/nivra");

long ResidentBytes() {
    long pages = 0, resident = 0;
    std::FILE *f = std::fopen("/proc/self/statm", "r");
    if (f == nullptr) return 0;
    if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
    std::fclose(f);
    return resident * sysconf(_SC_PAGESIZE);
}

template <typename Peer>
int MeasureRss(size_t n, int64_t kind) {
    const Workload &w = GetWorkload(n, kind);
    const long before = ResidentBytes();
    Peer p;
    if (!p.Load(w.path)) return 1;
    const long after = ResidentBytes();
    std::printf("%.1f\n", static_cast<double>(after - before) / static_cast<double>(n));
    p.Release();
    return 0;
}

int RssMain(const char *peer, size_t n, int64_t kind) {
    const std::string name = peer;
    if (name == "nivra") return MeasureRss<Ours>(n, kind);
    if (name == "inih_unordered_map") return MeasureRss<InihMap>(n, kind);
    if (name == "gkeyfile") return MeasureRss<GKey>(n, kind);
    std::fprintf(stderr, "unknown peer %s\n", peer);
    return 2;
}

// Loads and releases reps times with callgrind collecting, after one load
// and release that it does not count (the file in the page cache, the
// allocator's arenas grown), so that the count is that of a warm load.
template <typename Peer>
int CountLoads(size_t n, int64_t kind, long reps) {
    const Workload &w = GetWorkload(n, kind);
    {
        Peer p;
        if (!p.Load(w.path)) return 1;
        p.Release();
    }
    CALLGRIND_TOGGLE_COLLECT;
    for (long i = 0; i < reps; ++i) {
        Peer p;
        if (!p.Load(w.path)) return 1;
        p.Release();
    }
    CALLGRIND_TOGGLE_COLLECT;
    return 0;
}

// CountLoads for a validation of the loaded file (the schema loaded and the
// file loaded before counting starts).
int CountValidations(size_t n, int64_t kind, long reps) {
    Validation v;
    if (!v.Prepare(GetWorkload(n, kind), kind) || v.Run() != 0) return 1;
    CALLGRIND_TOGGLE_COLLECT;
    for (long i = 0; i < reps; ++i) benchmark::DoNotOptimize(v.Run());
    CALLGRIND_TOGGLE_COLLECT;
    return 0;
}

// CountLoads for editing: reps sets of the kind the edit rows make (half
// replacing, half adding) of a document read from the plain file, after the
// read and a first set, which are not counted (nivra_edit: divide by reps).
int CountEdits(size_t n, long reps) {
    const Workload &w = GetWorkload(n, kPlain);
    const std::vector<EditOp> ops = EditOps(w, static_cast<size_t>(reps), false);
    CONF_DOC *doc = CONF_doc_new();
    if (doc == nullptr || CONF_doc_read_file(doc, w.path.c_str()) != 0 ||
        CONF_doc_set(doc, w.entries[0].section.c_str(), w.entries[0].name.c_str(), "first") != 0) {
        CONF_doc_free(doc);
        return 1;
    }
    bool ok = true;
    CALLGRIND_TOGGLE_COLLECT;
    for (const EditOp &op : ops) ok = Apply(doc, op) && ok;
    CALLGRIND_TOGGLE_COLLECT;
    CONF_doc_free(doc);
    return ok ? 0 : 1;
}

int CountMain(const char *peer, size_t n, int64_t kind, long reps) {
    const std::string name = peer;
    if (name == "nivra_edit") return CountEdits(n, reps);
    if (name == "nivra_validate") return CountValidations(n, kind, reps);
    if (name == "nivra") return CountLoads<Ours>(n, kind, reps);
    if (name == "gkeyfile") return CountLoads<GKey>(n, kind, reps);
    if (name == "inih_unordered_map") return CountLoads<InihMap>(n, kind, reps);
    if (name == "inih_parse_only") return CountLoads<InihParseOnly>(n, kind, reps);
    if (name == "getline_split") return CountLoads<GetlineSplit>(n, kind, reps);
    std::fprintf(stderr, "unknown peer %s\n", peer);
    return 2;
}

}  // namespace
}  // namespace bench

int main(int argc, char **argv) {
    if (argc == 5 && std::strcmp(argv[1], "--rss") == 0) {
        return bench::RssMain(argv[2], std::strtoul(argv[3], nullptr, 10),
                              std::strtol(argv[4], nullptr, 10));
    }
    if (argc == 6 && std::strcmp(argv[1], "--count") == 0) {
        return bench::CountMain(argv[2], std::strtoul(argv[3], nullptr, 10),
                                std::strtol(argv[4], nullptr, 10),
                                std::strtol(argv[5], nullptr, 10));
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
