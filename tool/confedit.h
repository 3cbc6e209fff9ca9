// confedit.h - the confedit program as a function, for tests.
#ifndef NIVRA_TOOL_CONFEDIT_H
#define NIVRA_TOOL_CONFEDIT_H

#include <cstdio>

namespace confedit {

// A test's way into the read-edit-save cycle: before_save, when not null,
// is called with arg after the edits have been applied and checked and just
// before each save, so that a test can change the file meanwhile as another
// writer would.
struct Hooks {
    void (*before_save)(void *arg);
    void *arg;
};

// Runs confedit with the given command line (argv[0] is the program),
// reading a FILE of "-" from in and writing the result to out, a diff to
// out, and diagnostics (and what --verbose says) to err.  Returns the exit
// status: 0 the file was written or needed no change (or, with --diff or
// --dry-run, the result loads); 1 the result would not load, a line of the
// file does not parse, or (--schema) the schema finds a new error or unknown
// key in it; 2 a usage error, or a name that cannot be
// written; 3 the file could not be read, locked or written (or changed
// under every one of ten read-edit-save cycles), or memory ran out.
int run(int argc, const char *const *argv, std::FILE *in, std::FILE *out, std::FILE *err,
        const Hooks *hooks = nullptr);

}  // namespace confedit

#endif  // NIVRA_TOOL_CONFEDIT_H
