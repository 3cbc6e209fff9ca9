// confcheck.h - the confcheck program as a function, for tests.
#ifndef NIVRA_TOOL_CONFCHECK_H
#define NIVRA_TOOL_CONFCHECK_H

#include <cstdio>

namespace confcheck {

// Runs confcheck with the given command line, reading a FILE of "-" from
// in, writing results to out and diagnostics to err.  Returns the exit
// status, the same in every mode: 0 success; 1 when --get found no value,
// --lint warned or --schema found something; 2 for a usage error; 3 when a
// file or the schema could not be read or did not load (or, with --layers,
// a name is not a file name), memory ran out, or the dump could not be
// written.
int run(int argc, const char *const *argv, std::FILE *in, std::FILE *out, std::FILE *err);

}  // namespace confcheck

#endif  // NIVRA_TOOL_CONFCHECK_H
