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
    kStored,            // entry: stored from this line
    kReplacing,         // entry (about to be stored) replaces replaced, still valid now
    kError,             // error: the load ends here; at: where the failed scan stopped, or
                        // for -106 and -107 the '$' of the reference, if known
    kCommentInValue,    // at: a '#' glued to the value cut the rest of the line
    kControlEscape,     // escape: an unquoted \r \n \b or \t glued to the text after it
                        // (control_escape_glued) in a path-like value (":" or
                        // backslashes); at: the value
    kSemicolonName,     // at: an entry name that begins with ';'
    kUnclosedQuote,     // at: the value, in which a quote is never closed
    kTextAfterHeader,   // at: text after the ']' of a header, ignored
    kHeader,            // section: the section this header line makes current
    kCommentContinued,  // at: a comment whose physical line ends in one backslash, so
                        // the physical lines related_line..line are part of it, unread
    kSemicolonInValue,  // at: a ';' after a blank in an unquoted value (a comment in
                        // other formats, part of the value here)
    kUnresolved         // tolerant scans only: the value's expansion failed with error
                        // (at: its '$'); entry was stored with the value's text as written
};

// Where a logical line came from in the bytes read: one piece per physical
// line, each the stretch of the logical line that the physical line gave
// (without its line end and without a continuation backslash).
struct SourcePiece {
    size_t logical;  // offset of the piece in the logical line
    size_t source;   // offset of its first byte in the input (a byte-order mark counts)
    size_t length;   // bytes of the logical line it gave
};
struct LineSource {
    size_t begin;  // input offset of the logical line's first byte
    size_t end;    // input offset just past it: past the last line end, or at the end
    const SourcePiece *pieces;
    size_t count;  // at least 1
};

// Offsets into the logical text of an entry line (kStored, kReplacing,
// kUnresolved) or a header line (kHeader); kNoOffset where there is none.
struct LineParts {
    size_t name;  // entry: the name (after a qualifier); header: the name after '['
    size_t name_end;
    size_t qualifier;  // the qualifier's start, when the entry has one
    size_t equals;     // the '='
    size_t value;      // the value's first byte (at value_end when it is empty)
    size_t value_end;
    size_t comment;  // the '#' that starts the line's comment
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
    long first_line;           // the first physical line of the logical line
    long related_line;         // kCommentContinued: the first line swallowed
    const char *section;       // kHeader: the section name, expanded
    const LineSource *source;  // where the line is in the input
    const LineParts *parts;    // kStored, kReplacing, kUnresolved, kHeader
};

struct LoadObserver {
    void (*notify)(void *arg, const LoadNote *note);
    void *arg;
    // Without lint, only the notes of what the text holds are told (kStored,
    // kHeader, kUnresolved, kError): the checks for what may not mean what
    // its writer meant, and the lookup of the entry a line replaces, are
    // skipped.  A scan for the text's structure costs less so.
    bool lint = true;
    // Without keep, each entry is told (kStored) and then dropped: the
    // context gains sections but no entry.  Only for a text without
    // references, which would look up the entries the scan did not keep.
    bool keep = true;
};

// CONF_load_fp with an observer, told of every event in file order; the
// note and what it points to live for the call only.  Costs a copy of each
// line.  With a path, the stream is that file: entries record it as their
// origin and a failure as the error's file, as CONF_load does.
int load_observed(CONF_CTX *ctx, std::FILE *in, const LoadObserver *observer,
                  const char *path = nullptr);

// CONF_load_buffer with an observer.  With tolerant, a value whose
// expansion fails for want of a value (-106, -107, -109) does not end the
// scan: kUnresolved is told and the entry is stored with the value's text
// as written, so that the whole text's structure is seen; every other error
// ends it as in a load.  Returns the context's last error number, as a load
// does (a tolerant scan clears the error of each value it tolerates).
int scan_buffer(CONF_CTX *ctx, const char *data, size_t length, const LoadObserver *observer,
                bool tolerant);

// CONF_load of a context that is not null; *ok tells whether this load
// succeeded (its result may be an earlier error's number).
int load_path(CONF_CTX *ctx, const char *path, bool *ok);

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
