// bench_live.cc - the live configuration: a reader's acquire plus release
// on one thread and on two at once (each thread's rate should stay near the
// one-thread rate: the readers share no line they write), the reload of
// the 1,000-entry service file, and the change report between two
// 10,000-entry configurations that differ in one value in ten.
//
//   nivra_bench_live [benchmark flags]
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>

#include <nivra/conf_live.h>
#include "workload.h"

namespace bench {
namespace {

std::string BenchDir() {
    const char *d = std::getenv("NIVRA_BENCH_DIR");
    return d != nullptr ? d : "/tmp/nivra-bench";
}

// One live configuration for every thread of a run, loaded once.
CONF_LIVE *SharedLive() {
    static CONF_LIVE *live = [] {
        CONF_LIVE *l = CONF_live_new_file(MakeServiceConfig(BenchDir(), 100).path.c_str());
        if (l == nullptr || CONF_live_reload(l) < 0) std::abort();
        return l;
    }();
    return live;
}

void BM_AcquireRelease(benchmark::State &state) {
    CONF_LIVE *live = SharedLive();
    for (auto _ : state) {
        CONF_CTX *ctx = CONF_live_acquire(live);
        benchmark::DoNotOptimize(ctx);
        CONF_live_release(live, ctx);
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_Reload(benchmark::State &state) {
    const Workload w = MakeServiceConfig(BenchDir(), static_cast<size_t>(state.range(0)));
    CONF_LIVE *live = CONF_live_new_file(w.path.c_str());
    if (CONF_live_reload(live) < 0) state.SkipWithError("load failed");
    for (auto _ : state) benchmark::DoNotOptimize(CONF_live_reload(live));
    CONF_live_free(live);
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * w.entries.size()));
}

// The workload's file, and a copy in memory with every tenth value changed.
void BM_ChangeReport(benchmark::State &state) {
    const Workload w = MakeWorkload(BenchDir(), static_cast<size_t>(state.range(0)), false);
    std::string changed;
    std::string section;
    for (size_t i = 0; i < w.entries.size(); ++i) {
        const Entry &e = w.entries[i];
        if (e.section != section) changed += "[" + (section = e.section) + "]\n";
        changed += e.name + " = " + e.raw + (i % 10 == 0 ? "x" : "") + "\n";
    }
    CONF_CTX *a = CONF_new();
    CONF_CTX *b = CONF_new();
    if (CONF_load(a, w.path.c_str()) != 0 ||
        CONF_load_buffer(b, changed.data(), changed.size()) != 0)
        state.SkipWithError("load failed");
    for (auto _ : state) {
        CONF_CHANGE *c = nullptr;
        benchmark::DoNotOptimize(CONF_diff(a, b, &c));
        CONF_changes_free(c);
    }
    CONF_free(a);
    CONF_free(b);
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * w.entries.size()));
}

BENCHMARK(BM_AcquireRelease)->Name("live/acquire_release")->Threads(1)->Threads(2);
BENCHMARK(BM_Reload)
    ->Name("live/reload_service")
    ->Arg(1000)
    ->ArgName("entries")
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ChangeReport)
    ->Name("live/change_report")
    ->Arg(10000)
    ->ArgName("entries")
    ->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace bench

BENCHMARK_MAIN();
