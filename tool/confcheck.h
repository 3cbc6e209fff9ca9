// confcheck.h - the confcheck program as a function, for tests.
#ifndef NIVRA_TOOL_CONFCHECK_H
#define NIVRA_TOOL_CONFCHECK_H

#include <cstdio>

namespace confcheck {

// Runs confcheck with the given command line, writing the dump to out and
// diagnostics to err.  Returns the exit status: 0 when every file loaded,
// 1 when one failed, 2 for a usage error.
int run(int argc, const char *const *argv, std::FILE *out, std::FILE *err);

}  // namespace confcheck

#endif  // NIVRA_TOOL_CONFCHECK_H
