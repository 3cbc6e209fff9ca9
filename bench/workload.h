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

// Writes (as above) the configuration file of a service with about n
// entries, written the way people write them: a comment block at the top,
// sections of 4-12 entries for the server, storage, logging and so on, then
// as many upstream and route sections as it takes, a comment before each
// section and above some entries, blank lines between sections, values that
// are numbers, booleans, paths, addresses, durations and lists, some of them
// in quotes (blanks, '#', '%' inside), and a few references to an earlier
// entry of the same section ($dir) or of [global] (${global::root}).  Every
// peer reads each line the same way; only the quotes and the references
// mean something to this library alone, which entries[i].expanded records.
Workload MakeServiceConfig(const std::string &dir, size_t n);

}  // namespace bench

#endif  // NIVRA_BENCH_WORKLOAD_H
