// conf_load.h - the loader's entry points for the library's other units and
// its tests.  Internal to the library; not installed.
#ifndef NIVRA_CONF_LOAD_H
#define NIVRA_CONF_LOAD_H

#include <cstddef>
#include <cstdio>

#include "conf.h"

namespace nivra::conf {

// ---- Observing a load -------------------------------------------------------
// A checker (confcheck) learns what the loader met in each logical line
// through an observer: the lines it stored, the error that ends it, and
// what loads but may not mean what its writer meant.

inline constexpr size_t kNoOffset = static_cast<size_t>(-1);

enum class LoadEvent {
    kStored,          // entry: stored from this line
    kReplacing,       // entry (about to be stored) replaces replaced, still valid now
    kError,           // error: the load ends here; at: where the failed scan stopped, if known
    kCommentInValue,  // at: a '#' glued to the value cut the rest of the line
    kControlEscape,   // escape: an unquoted \r \n \b or \t in a path-like value (":" or
                      // backslashes); at: the value
    kSemicolonName,   // at: an entry name that begins with ';'
    kUnclosedQuote,   // at: the value, in which a quote is never closed
    kTextAfterHeader  // at: text after the ']' of a header, ignored
};

struct LoadNote {
    LoadEvent event;
    long line;         // the last physical line of the logical line
    const char *text;  // the logical line as read: joined, without its line ends
    size_t length;     // of text (NUL-terminated too)
    size_t at;         // an offset into text, or kNoOffset
    const CONF_VALUE *entry;
    const CONF_VALUE *replaced;
    int error;
    char escape;
};

struct LoadObserver {
    void (*notify)(void *arg, const LoadNote *note);
    void *arg;
};

// CONF_load_fp with an observer, told of every event in file order; the
// note and what it points to live for the call only.  Costs a copy of each
// line.
int load_observed(CONF_CTX *ctx, std::FILE *in, const LoadObserver *observer);

// Reads a whole stream into the context's table (creating it if needed).
// Returns the table, or null after recording an error with its line.  The
// caller decides what becomes of ctx->table.
LH_TABLE *CONF_load_file(CONF_CTX *ctx, std::FILE *in);

// CONF_load on an open stream: reads it with CONF_load_file and, when that
// fails, drops the context's table with everything in it.  Returns the
// context's last error number.  The stream stays open.
int CONF_load_stream(CONF_CTX *ctx, std::FILE *in);

}  // namespace nivra::conf

#endif  // NIVRA_CONF_LOAD_H
