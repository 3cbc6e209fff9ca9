// workload.h - deterministic configuration files for the benchmarks.
#ifndef NIVRA_BENCH_WORKLOAD_H
#define NIVRA_BENCH_WORKLOAD_H

#include <cstddef>
#include <string>
#include <vector>

namespace bench {

struct Entry {
    std::string section;
    std::string name;
    std::string raw;       // the value as written in the file
    std::string expanded;  // the value after reference expansion
};

struct Workload {
    std::string path;
    std::vector<Entry> entries;  // in file order
    size_t bytes = 0;
};

// Writes (once; reused when already there and complete) a file of n entries
// into dir: 100 entries per section, names key_000123, values of 8-40
// printable characters, a '#' comment line about every 20 lines and blank
// lines between sections.  With references, about 20% of the values are
// ${key_NNNNNN} of an earlier entry of the same section.
Workload MakeWorkload(const std::string &dir, size_t n, bool references);

}  // namespace bench

#endif  // NIVRA_BENCH_WORKLOAD_H
