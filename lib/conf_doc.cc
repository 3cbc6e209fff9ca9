// conf_doc.cc - a configuration file's text, edited line by line.
//
// The document never parses the text itself: each edit runs the loader over
// the text (a tolerant scan, which goes on past references without a value)
// and learns from its notes where every header and entry line lies in the
// bytes.  An edit builds the new text from untouched stretches of the old
// one and the lines it writes, scans the result again to confirm that it
// stores what was asked, and only then replaces the document's text: a
// failed call leaves everything as it was.
//
// Every physical line of the text carries its origin (CONF_DOC_LINE): the
// line of the text as read it is, unchanged, or the edit that wrote it.  An
// edit drafts its new text from kept stretches of the old one and written
// bytes, and the draft's stretches tell each new line's origin; so errors
// can be placed in the file the user knows, and a save can tell a
// reference the edits broke from one that never resolved here.
//
// Edits made where they happen.  Scanning the whole text twice for each
// edit makes k edits of an n-line text cost O(n * k) scans; so the document
// keeps a line index between calls, and most edits scan only the lines
// they write.
//   - The index lists every header and stored entry line of the text, in
//     text order: its span (the logical line, continuation and line ends
//     included) and the section and name the loader gave it.  It is built
//     by the read's scan (after a whole-text edit, by the next edit that
//     needs it), and exists only while the text scans cleanly: then every
//     span starts a logical line that no line before it continues.  That
//     scan and every other scan here go without lint, which they never
//     read.
//   - A set of an entry the text defines scans its effective definition
//     alone, and so does the check of the line written in its place; a set
//     of a new entry scans the lines it adds alone (a header and the entry,
//     or the entry after the last one of the section's last block or after
//     the header).  Alone, a line reads as it does in the text when the
//     line before it ends (it starts a span, or follows a whole line that
//     does not continue), its own last line does not continue, it does not
//     begin with the byte-order mark's bytes away from the start of the
//     text, and its value has no reference (a reference's value depends on
//     the lines before it).  The section a line is in is the index's.
//   - An unset cuts whole logical lines, which changes how no other line
//     reads.  So does remove_section, whose lines (the blocks of its
//     headers with their comment blocks, its entries elsewhere) the index
//     tells as a scan would.
//   - Whatever cannot be decided so (a value with a reference, a text
//     without a final line end, a check that fails, a text that does not
//     scan) takes the whole-text path below, which scans, drafts, scans
//     again and drops the index; the next edit builds it again.  Only a success is decided where it
//     happens, and the failures that need no other line (a raw text ending in a lone backslash,
//     memory): any other failure comes from the whole-text path, so both paths fail alike.
//   - An edit made where it happens drafts its text as the whole-text path
//     does, into room reserved once; the new lines' origins are the same
//     draft_origins gives, found in runs (the whole lines inside a kept
//     stretch are old lines in order: one copy each run).  Then the index's
//     spans after the edit move by the bytes it added or removed, and its
//     lines are added or dropped.  What is left is linear in bytes copied
//     and lines moved, not in scans: the draft's copy of the text, the
//     count of its line ends, the index's walk for the definition and its
//     shift.  Room for the index's additions is reserved before the text
//     is taken: a call that runs out of memory changes nothing, index
//     included.
//
// Edits kept aside.  Even an edit that scans only its own lines copies the
// whole text, its origins and the index's spans after it; so most edits
// do not touch the text at all.  The text, its origins and the index stay
// as they were when the first such edit came (the base), and each edit
// records a change against them, which the next call that reads the text
// (CONF_doc_text, CONF_doc_check, CONF_doc_line_origin, a save) or an edit
// that needs the whole text puts in, all at once: O(n + k) for k edits.
//   - A change rewrites or cuts one index line of the base (a definition, or
//     a line of a removed section that an earlier edit changed), cuts a gap
//     of the base's bytes that no other change holds (a stretch of a removed
//     section: its lines, comments and blank lines, the index lines there
//     going with it, so a removal costs a change a stretch, not a line), or
//     inserts lines (an entry; a new section's blank line; its header, which
//     its entry follows) at a place: the end of a base line or header, the
//     end of the text, or after another insertion.  The insertions at one
//     place are a list in text order; at one offset, they come before the
//     base line or gap that starts there.  A removal finds its blocks in the
//     text as it reads now: a header's comment block stops at the last line
//     left or insertion before it, and lines and gaps cut are no lines at
//     all; a block that holds another section's line and cuts that reach the
//     first line go to the whole text.  New sections go at the end of the
//     text, each after a blank line of its own: a new section's block runs
//     from its header to the next new section's header (whose blank line ends
//     the block before it, as it would in the text: a blank line ends a
//     comment block).  Once cuts leave the text's own lines right above a new
//     header, their comment lines would be its comment block: the whole text
//     decides those removals.
//   - A change holds its own bytes and the origins of its physical lines,
//     found as draft_origins finds them for its line alone (a line's
//     physical lines are whole lines, so alone they are told as in the
//     text); the line after the last line end has its own origin, which
//     an insertion or a cut at the end of the text gives the edit.
//   - Tables built once from the index (when the first change comes, in
//     one pass over its lines, in order) find things in O(1): the entry
//     lines chained by name and the headers by section (a chain per key's
//     low bits, 8 bytes a line), which give a name's definitions from the
//     last, the cut ones being skipped, and a section's headers; the
//     change of each line rewritten or cut; the insertion that defines a
//     name now (a record only for the names that edits inserted); the
//     physical line of one index line in eight (a line's is counted from
//     the mark before it); each section with its last header, its last
//     entry after that header that is not cut, and its last insertion;
//     each place with its first insertion; the gaps cut, in order, and
//     the runs of index lines they hold (a line in one is cut); the
//     entry lines outside their section's blocks.  A removal that needs
//     the text put in carries the sections over to the new lines and
//     chains those again; a read of the text drops the tables.
//   - An edit is decided aside exactly where the edits made where they
//     happen decide it (the line scanned alone, before and after), and
//     only where nothing but that line can differ: not on the text's first
//     line (its line end is the one added lines take; a cut there may bare
//     a byte-order mark), not in a text without a final line end, not for
//     a default entry before the first header.  Anything else puts the
//     changes in first and goes on as before.
//   - Every change reserves the room that putting the text together takes,
//     so the calls that read the text cannot fail for memory, and a failed
//     edit records nothing.  The text and its origins go to new blocks;
//     the index's lines are put together in their own block, moved up
//     first by the number of lines inserted, so that the lines written
//     from its start never overtake the old ones still to be read.
//   - A line checked alone is scanned in a context the document keeps for
//     that, which the scan leaves with no entry (its value told, then
//     dropped): a line without a '$' looks nothing up.
// The differential build (NIVRA_DOC_DIFFERENTIAL) makes every editing call
// on a copy by the whole-text path too, and compares text, origins and
// outcome, and the index with a fresh scan of the text (with the changes
// kept aside put in, on copies: a check never puts them into the document).
#include "conf_doc.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <type_traits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "conf_buffer.h"
#include "conf_file.h"
#include "conf_load.h"
#include "conf_store.h"
#include "conf_syntax.h"
#include "conf_write.h"
#include "lhash.h"

namespace nivra::conf {
class LineIndex;
}

struct CONF_DOC {
    char *text;  // NUL-terminated; length counts inner NULs
    size_t length;
    nivra::conf::FileId file;  // the file the reference is the contents of
    char *path;                // the path it was read from or saved to
    char *reference;  // null: the document has no file; text itself while they are the same
    size_t reference_length;
    int error;
    int error_line;
    const char *error_text;
    CONF_DOC_LINE *origins;  // one for each physical line of text
    size_t origin_count;
    int edits;                      // editing calls that succeeded since the text was read
    nivra::conf::LineIndex *index;  // the text's lines, or null: built when needed
};

static_assert(std::is_trivially_copyable_v<nivra::conf::FileId>,
              "a document is allocated zeroed by calloc");

namespace nivra::conf {
namespace {

constexpr size_t kNoBlock = static_cast<size_t>(-1);

struct Span {
    size_t begin;
    size_t end;
};

struct HeaderLine {
    Span span;
    bool target;  // names the section asked about
};

struct EntryLine {
    Span span;
    size_t block;     // index of the header whose block holds it, or kNoBlock
    bool in_section;  // belongs to the section asked about
    bool is_target;   // defines the entry asked about
};

// What a scan of the text learnt about one section (and one name in it).
class Structure {
  public:
    // With scratch, the scans of windows without a '$' run in the context
    // *scratch holds (see take_scratch), and not in one of their own.
    Structure(const char *section, const char *name, CONF_CTX **scratch = nullptr)
        : section_(section), name_(name), scratch_(scratch) {}
    Structure(const Structure &) = delete;
    Structure &operator=(const Structure &) = delete;

    // Makes it as new for (section, name), keeping the room its arrays and
    // values grew to: the checks of single lines reuse one, so that a set
    // allocates nothing for them.
    void reset(const char *section, const char *name);

    // Scans text; 0, kErrNoParse (with *line) or kErrMemory.
    int scan(const char *text, size_t length, int *line);
    // Scans the bytes [begin, end) of text alone, as if they were a whole
    // text, with every offset learnt counted in text; an entry of the name
    // counts as the one asked about whatever section the scan gives it (the
    // bytes alone do not say what section they are in).  0, kErrNoParse or
    // kErrMemory.
    int scan_window(const char *text, size_t begin, size_t end);

    GrowArray<HeaderLine> headers;
    GrowArray<EntryLine> entries;
    // The effective (last) definition of the name, when found.
    bool found = false;
    GrowArray<SourcePiece> pieces;
    LineParts parts{};
    Span span{};

    const char *value() const { return value_.data(); }
    bool resolved() const { return resolved_; }
    // The value as written in the line (unexpanded).
    const char *value_text() const { return value_text_.data(); }

  private:
    static void notify(void *self, const LoadNote *note) {
        static_cast<Structure *>(self)->on(*note);
    }
    void on(const LoadNote &n);
    void on_stored(const LoadNote &n);
    bool keep_definition(const LoadNote &n);
    int scan_in(CONF_CTX *ctx, const char *text, size_t length, int *line, bool keep = true);

    const char *section_;
    const char *name_;
    CONF_CTX **scratch_;
    size_t base_ = 0;           // the offset in the text of the bytes scanned
    bool any_section_ = false;  // an entry of the name in any section is the target
    bool unresolved_ = false;   // the line being stored had a reference without value
    bool resolved_ = true;
    bool out_of_memory_ = false;
    Text value_;
    Text value_text_;
};

// Whether a scan of the text must keep the entries it stores: only a
// reference, which always begins with a '$', looks them up.  Keeping none
// spares a scan most of a load's cost.
bool keeps_entries(const char *text, size_t length) {
    return std::memchr(text, '$', length) != nullptr;
}

char *copy_bytes(const char *p, size_t n) {
    auto *out = static_cast<char *>(std::malloc(n + 1));
    if (out == nullptr) return nullptr;
    std::memcpy(out, p, n);
    out[n] = '\0';
    return out;
}

void Structure::on(const LoadNote &n) {
    if (out_of_memory_) return;
    if (n.event == LoadEvent::kHeader) {
        const bool target = std::strcmp(n.section, section_) == 0;
        if (!headers.push(HeaderLine{{base_ + n.source->begin, base_ + n.source->end}, target}))
            out_of_memory_ = true;
    } else if (n.event == LoadEvent::kUnresolved) {
        unresolved_ = true;
    } else if (n.event == LoadEvent::kStored) {
        on_stored(n);
        unresolved_ = false;
    }
}

void Structure::on_stored(const LoadNote &n) {
    const bool in_section = any_section_ || std::strcmp(n.entry->section, section_) == 0;
    const bool is_target = in_section && name_ != nullptr && std::strcmp(n.entry->name, name_) == 0;
    const size_t block = headers.size() == 0 ? kNoBlock : headers.size() - 1;
    const Span line{base_ + n.source->begin, base_ + n.source->end};
    if (!entries.push(EntryLine{line, block, in_section, is_target}) ||
        (is_target && !keep_definition(n)))
        out_of_memory_ = true;
}

bool Structure::keep_definition(const LoadNote &n) {
    found = true;
    span = Span{base_ + n.source->begin, base_ + n.source->end};
    parts = *n.parts;
    pieces.clear();
    for (size_t i = 0; i < n.source->count; ++i) {
        SourcePiece piece = n.source->pieces[i];
        piece.source += base_;
        if (!pieces.push(piece)) return false;
    }
    resolved_ = !unresolved_;
    value_.truncate(0);
    value_text_.truncate(0);
    return value_.append(n.entry->value) &&
           value_text_.append(n.text + parts.value, parts.value_end - parts.value);
}

void Structure::reset(const char *section, const char *name) {
    section_ = section;
    name_ = name;
    headers.clear();
    entries.clear();
    pieces.clear();
    found = false;
    parts = LineParts{};
    span = Span{};
    base_ = 0;
    any_section_ = false;
    unresolved_ = false;
    resolved_ = true;
    out_of_memory_ = false;
    value_.truncate(0);
    value_text_.truncate(0);
}

int Structure::scan_in(CONF_CTX *ctx, const char *text, size_t length, int *line, bool keep) {
    const LoadObserver observer{&Structure::notify, this, false, keep};
    const int rc = scan_buffer(ctx, text, length, &observer, true);
    // Only a failure has a line; reading it back costs a search of the text.
    *line = rc != 0 ? CONF_get_last_error_line(ctx) : 0;
    if (out_of_memory_ || rc == kErrMemory || rc == kErrSection) return kErrMemory;
    return rc == 0 ? 0 : kErrNoParse;
}

int Structure::scan(const char *text, size_t length, int *line) {
    CONF_CTX *ctx = CONF_new();
    if (ctx == nullptr) return kErrMemory;
    const int rc = scan_in(ctx, text, length, line, keeps_entries(text, length));
    CONF_free(ctx);
    return rc;
}

// The context that scans of windows without a '$' share, made or renewed
// as needed; null when memory runs out.  Such a scan expands nothing, so
// it looks nothing up: what the scans before it left there (sections only,
// as they keep no entry; no lint, no error survives) tells nothing of it.
// A header may add a section; past kScratchRecords records, the context
// starts afresh, so that it stays small.
constexpr uint32_t kScratchRecords = 64;

CONF_CTX *take_scratch(CONF_CTX **scratch) {
    if (*scratch != nullptr && (*scratch)->table != nullptr &&
        lh_num_items((*scratch)->table) > kScratchRecords) {
        CONF_free(*scratch);
        *scratch = nullptr;
    }
    if (*scratch == nullptr) *scratch = CONF_new();
    return *scratch;
}

int Structure::scan_window(const char *text, size_t begin, size_t end) {
    base_ = begin;
    any_section_ = true;
    int line = 0;
    if (scratch_ == nullptr || keeps_entries(text + begin, end - begin))
        return scan(text + begin, end - begin, &line);
    CONF_CTX *ctx = take_scratch(scratch_);
    if (ctx == nullptr) return kErrMemory;
    const int rc = scan_in(ctx, text + begin, end - begin, &line, false);
    if (rc != 0) {  // a failed scan leaves its error behind: not shared
        CONF_free(ctx);
        *scratch_ = nullptr;
    }
    return rc;
}

// The input offset of the byte at logical offset at of the definition.
size_t source_of(const Structure &s, size_t at) {
    size_t i = 0;
    while (i + 1 < s.pieces.size() && s.pieces[i + 1].logical <= at) ++i;
    return s.pieces[i].source + (at - s.pieces[i].logical);
}

// The input offset where the definition's logical text ends (before the
// last line end).
size_t text_end_of(const Structure &s) {
    const SourcePiece &last = s.pieces[s.pieces.size() - 1];
    return last.source + last.length;
}

// ---- Building texts ---------------------------------------------------------

// A stretch of the old text that a new one keeps: old bytes [from, to),
// now at offset at.
struct Kept {
    size_t from;
    size_t to;
    size_t at;
};

// A new text made of stretches of the document's text, which it remembers,
// and bytes an edit writes.  Stretches are kept in the order of the old
// text.
class Draft {
  public:
    explicit Draft(const CONF_DOC *doc) : doc_(doc) {}
    // A draft whose text starts in storage (capacity bytes) that outlives
    // it: for a line drafted alone, whose bytes are copied, never taken.
    Draft(const CONF_DOC *doc, char *storage, size_t capacity)
        : text(storage, capacity), doc_(doc) {}
    Draft(const Draft &) = delete;
    Draft &operator=(const Draft &) = delete;

    bool keep(size_t from, size_t to) {
        if (to > from && !kept.push(Kept{from, to, text.size()})) return false;
        return text.append(doc_->text + from, to - from);
    }
    bool write(const char *s, size_t n) { return text.append(s, n); }
    // Room for the old text and extra bytes more, so that drafting it copies
    // the text once.
    bool reserve(size_t extra) { return text.reserve(doc_->length + extra + 1); }
    bool write(const char *s) { return text.append(s); }
    bool put(char c) { return text.put(c); }
    // Puts s before everything drafted.
    bool prepend(const char *s) {
        Text whole;
        if (!whole.append(s) || !whole.append(text.data(), text.size())) return false;
        const size_t n = std::strlen(s);
        for (size_t i = 0; i < kept.size(); ++i) kept[i].at += n;
        text.swap(whole);
        return true;
    }

    Text text;
    GrowArray<Kept> kept;

  private:
    const CONF_DOC *doc_;
};

// The physical lines of a text: one more than its line ends (the last line
// may be empty).
size_t count_lines(const char *text, size_t length) {
    size_t lines = 1;
    for (size_t i = 0; i < length; ++i) lines += text[i] == '\n' ? 1 : 0;
    return lines;
}

// Whether the new line [begin, end) is, byte for byte, the whole of the old
// line that starts at old offset *at (set when it is).  An empty line must
// keep its line end too, or any empty line written would pass for one read.
bool kept_whole(const CONF_DOC *doc, const Draft &d, size_t *k, size_t begin, size_t end,
                size_t *at) {
    const bool empty = begin == end && end < d.text.size();
    const size_t need = end + (empty ? 1 : 0);
    while (*k < d.kept.size() && d.kept[*k].at + (d.kept[*k].to - d.kept[*k].from) < need) ++*k;
    if (*k == d.kept.size() || d.kept[*k].at > begin) return false;
    const size_t from = d.kept[*k].from + (begin - d.kept[*k].at);
    const size_t to = from + (end - begin);
    const bool starts = from == 0 || doc->text[from - 1] == '\n';
    const bool ends = to == doc->length || doc->text[to] == '\n';
    *at = from;
    return starts && ends;
}

// The origins of the draft's lines: a line that is a whole line of the old
// text keeps that line's origin; any other was written by edit number edit.
// Null when memory runs out.
CONF_DOC_LINE *draft_origins(const CONF_DOC *doc, const Draft &d, int edit, size_t *count) {
    const char *t = d.text.data();
    const size_t n = d.text.size();
    *count = count_lines(t, n);
    auto *out = static_cast<CONF_DOC_LINE *>(std::malloc(*count * sizeof(CONF_DOC_LINE)));
    if (out == nullptr) return nullptr;
    size_t k = 0;
    size_t old_at = 0;  // an old offset, at the start of old line old_line
    size_t old_line = 0;
    size_t begin = 0;
    for (size_t i = 0; i < *count; ++i) {
        const auto *lf = static_cast<const char *>(std::memchr(t + begin, '\n', n - begin));
        const size_t end = lf != nullptr ? static_cast<size_t>(lf - t) : n;
        size_t from = 0;
        out[i] = CONF_DOC_LINE{0, edit, 0};
        if (kept_whole(doc, d, &k, begin, end, &from) && from >= old_at) {
            for (; old_at < from; ++old_at) old_line += doc->text[old_at] == '\n' ? 1 : 0;
            if (old_line < doc->origin_count) out[i] = doc->origins[old_line];
        }
        begin = end + 1;
    }
    return out;
}

// The line ends in n bytes at p.  Texts are counted whole on every edit:
// sixteen bytes at a time where SSE2 is there, into byte counters summed
// before any can reach 256.
size_t count_newlines(const char *p, size_t n) {
    size_t lines = 0;
    size_t i = 0;
#if defined(__SSE2__)
    const __m128i lf = _mm_set1_epi8('\n');
    while (n - i >= 16) {
        __m128i counters = _mm_setzero_si128();
        const size_t blocks = std::min<size_t>((n - i) / 16, 255);
        for (size_t b = 0; b < blocks; ++b, i += 16) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + i));
            counters = _mm_sub_epi8(counters, _mm_cmpeq_epi8(v, lf));  // a match is -1
        }
        const __m128i sums = _mm_sad_epu8(counters, _mm_setzero_si128());  // two halves
        lines += static_cast<size_t>(_mm_cvtsi128_si32(sums)) +
                 static_cast<size_t>(_mm_extract_epi16(sums, 4));
    }
#endif
    for (; i < n; ++i) lines += p[i] == '\n' ? 1 : 0;
    return lines;
}

// The kept stretch that holds new offset at, from *k on (moved forward);
// d.kept.size() when at lies in written bytes.
size_t stretch_at(const Draft &d, size_t *k, size_t at) {
    while (*k < d.kept.size() && d.kept[*k].at + (d.kept[*k].to - d.kept[*k].from) <= at) ++*k;
    return *k < d.kept.size() && d.kept[*k].at <= at ? *k : d.kept.size();
}

// The physical lines of the draft's text: the old text's, less the line
// ends of the old bytes it drops, plus those of the bytes written.
size_t draft_line_count(const CONF_DOC *doc, const Draft &d) {
    size_t lines = doc->origin_count;
    size_t old_at = 0;
    size_t new_at = 0;
    for (const Kept &k : d.kept) {
        lines -= count_newlines(doc->text + old_at, k.from - old_at);
        lines += count_newlines(d.text.data() + new_at, k.at - new_at);
        old_at = k.to;
        new_at = k.at + (k.to - k.from);
    }
    lines -= count_newlines(doc->text + old_at, doc->length - old_at);
    return lines + count_newlines(d.text.data() + new_at, d.text.size() - new_at);
}

// draft_origins in runs: the whole lines that a kept stretch holds past the
// line it starts with are old lines, in order, and take their origins as
// one copy; every other line is told as draft_origins tells it.  The same
// origins, line for line.
CONF_DOC_LINE *draft_origins_in_runs(const CONF_DOC *doc, const Draft &d, int edit, size_t *count) {
    const char *t = d.text.data();
    const size_t n = d.text.size();
    *count = draft_line_count(doc, d);
    auto *out = static_cast<CONF_DOC_LINE *>(std::malloc(*count * sizeof(CONF_DOC_LINE)));
    if (out == nullptr) return nullptr;
    size_t k = 0;       // for kept_whole
    size_t run_k = 0;   // for stretch_at
    size_t old_at = 0;  // an old offset, at the start of old line old_line
    size_t old_line = 0;
    size_t begin = 0;
    for (size_t i = 0; i < *count;) {
        const size_t s = stretch_at(d, &run_k, begin);
        if (s < d.kept.size() && begin > d.kept[s].at) {
            // begin follows a line end inside the stretch: the lines up to
            // its last line end are whole old lines.
            const Kept &kept = d.kept[s];
            const size_t stop = kept.at + (kept.to - kept.from);
            const char *last = static_cast<const char *>(memrchr(t + begin, '\n', stop - begin));
            if (last != nullptr) {
                const size_t run_end = static_cast<size_t>(last - t) + 1;
                const size_t from = kept.from + (begin - kept.at);
                if (from >= old_at) {
                    old_line += count_newlines(doc->text + old_at, from - old_at);
                    old_at = from;
                    // A stretch that ends the text holds every line end left.
                    const size_t lines =
                        stop == n ? *count - 1 - i : count_newlines(t + begin, run_end - begin);
                    const size_t have = old_line < doc->origin_count
                                            ? std::min(lines, doc->origin_count - old_line)
                                            : 0;
                    if (have > 0)
                        std::memcpy(out + i, doc->origins + old_line, have * sizeof(CONF_DOC_LINE));
                    for (size_t j = have; j < lines; ++j) out[i + j] = CONF_DOC_LINE{0, edit, 0};
                    old_line += lines;
                    old_at = from + (run_end - begin);
                    i += lines;
                    begin = run_end;
                    continue;
                }
            }
        }
        const auto *lf = static_cast<const char *>(std::memchr(t + begin, '\n', n - begin));
        const size_t end = lf != nullptr ? static_cast<size_t>(lf - t) : n;
        size_t from = 0;
        out[i] = CONF_DOC_LINE{0, edit, 0};
        if (kept_whole(doc, d, &k, begin, end, &from) && from >= old_at) {
            old_line += count_newlines(doc->text + old_at, from - old_at);
            old_at = from;
            if (old_line < doc->origin_count) out[i] = doc->origins[old_line];
        }
        begin = end + 1;
        ++i;
    }
    return out;
}

// Notes the lines of definitions whose values do not expand.
class UnresolvedLines {
  public:
    // Tells also (when not null) of every note too.
    UnresolvedLines(CONF_DOC_LINE *origins, size_t count, const LoadObserver *also)
        : origins_(origins), count_(count), also_(also) {}
    static void notify(void *self, const LoadNote *note) {
        static_cast<UnresolvedLines *>(self)->on(*note);
    }

  private:
    void on(const LoadNote &n) {
        if (also_ != nullptr) also_->notify(also_->arg, &n);
        if (n.event != LoadEvent::kUnresolved) return;
        for (long l = n.first_line; l <= n.line; ++l) {
            if (l >= 1 && static_cast<size_t>(l) <= count_) origins_[l - 1].unresolved = 1;
        }
    }
    CONF_DOC_LINE *origins_;
    size_t count_;
    const LoadObserver *also_;
};

// The origins of a text as read: each line is itself, marked where a
// definition's value does not expand in this process now.  Null when
// memory runs out.  The scan tells also (when not null) of what it meets;
// *rc is its result.
CONF_DOC_LINE *read_origins(const char *text, size_t length, size_t *count,
                            const LoadObserver *also, int *rc) {
    *count = count_newlines(text, length) + 1;
    // Lines are numbered in an int, as a load's are.
    if (*count > static_cast<size_t>(INT_MAX)) return nullptr;
    auto *out = static_cast<CONF_DOC_LINE *>(std::malloc(*count * sizeof(CONF_DOC_LINE)));
    if (out == nullptr) return nullptr;
    for (size_t i = 0; i < *count; ++i) out[i] = CONF_DOC_LINE{static_cast<int>(i + 1), 0, 0};
    CONF_CTX *ctx = CONF_new();
    UnresolvedLines marks(out, *count, also);
    const LoadObserver observer{&UnresolvedLines::notify, &marks, false,
                                keeps_entries(text, length)};
    *rc = ctx != nullptr ? scan_buffer(ctx, text, length, &observer, true) : kErrMemory;
    CONF_free(ctx);
    if (*rc == kErrMemory || *rc == kErrSection) {
        std::free(out);
        return nullptr;
    }
    return out;
}

// Whether physical lines first..last of the text are lines of the text as
// read, in order, whose definition's value already did not expand then.
bool unresolved_when_read(const CONF_DOC *doc, long first, long last) {
    if (first < 1 || last < first || static_cast<size_t>(last) > doc->origin_count) return false;
    const CONF_DOC_LINE &head = doc->origins[first - 1];
    for (long l = first; l <= last; ++l) {
        const CONF_DOC_LINE &o = doc->origins[l - 1];
        if (o.read_line == 0 || o.unresolved == 0 || o.read_line - head.read_line != l - first)
            return false;
    }
    return true;
}

const char *line_end_of(const CONF_DOC *doc) {
    const char *lf = static_cast<const char *>(std::memchr(doc->text, '\n', doc->length));
    return lf != nullptr && lf > doc->text && lf[-1] == '\r' ? "\r\n" : "\n";
}

// The value's text as the writer gives it.
struct NewValue {
    const char *text;
    size_t length;
};

// The text with the definition's value replaced; the rest of its line
// (indentation, name, spacing, comment) as it was.
bool replace_value(const CONF_DOC *doc, const Structure &s, const NewValue &v, Draft *out) {
    const size_t end = text_end_of(s);
    if (s.parts.value < s.parts.value_end) {
        const size_t from = source_of(s, s.parts.value);
        const size_t to = source_of(s, s.parts.value_end - 1) + 1;
        // A comment that began right after the old value (which ended in an
        // escaped blank), on its line or on the line that it continues onto,
        // would be glued to the new one: a blank parts them.
        const SourcePiece &last = s.pieces[s.pieces.size() - 1];
        const bool more = s.parts.value_end < last.logical + last.length;
        const bool glued = more && doc->text[source_of(s, s.parts.value_end)] == '#' &&
                           (v.length == 0 || !is_class(v.text[v.length - 1], CC_SPACE));
        return out->keep(0, from) && out->write(v.text, v.length) && (!glued || out->put(' ')) &&
               out->keep(to, doc->length);
    }
    // An empty value: the new one goes after the '=' and a blank, and a
    // comment that followed stays apart from it.
    const size_t at = source_of(s, s.parts.equals) + 1;
    size_t rest = at;
    while (rest < end && (doc->text[rest] == ' ' || doc->text[rest] == '\t')) ++rest;
    const bool comment_follows = rest < end;
    return out->keep(0, at) && out->put(' ') && out->write(v.text, v.length) &&
           (!comment_follows || at < rest || out->put(' ')) && out->keep(at, doc->length);
}

// Where a new entry of the section goes, and with what indentation.
struct Insertion {
    size_t at;
    Span indent;  // bytes of the text to copy before the name
    bool new_block;
    bool blank_after;  // a blank line between it and the header that follows
};

// Where the blanks that indent the line [begin, end) of text end.
size_t indent_end(const char *text, size_t begin, size_t end) {
    while (begin < end && (text[begin] == ' ' || text[begin] == '\t')) ++begin;
    return begin;
}

Insertion place_entry(const CONF_DOC *doc, const Structure &s, bool is_default) {
    size_t block = kNoBlock;
    for (size_t i = 0; i < s.headers.size(); ++i) {
        if (s.headers[i].target) block = i;
    }
    if (block == kNoBlock && !is_default) return Insertion{doc->length, {0, 0}, true, false};
    const EntryLine *last = nullptr;
    for (size_t i = 0; i < s.entries.size(); ++i) {
        if (s.entries[i].block == block && s.entries[i].in_section) last = &s.entries[i];
    }
    if (last != nullptr) {
        const size_t indent = indent_end(doc->text, last->span.begin, last->span.end);
        return Insertion{last->span.end, {last->span.begin, indent}, false, false};
    }
    if (block != kNoBlock) return Insertion{s.headers[block].span.end, {0, 0}, false, false};
    if (s.headers.size() > 0) return Insertion{s.headers[0].span.begin, {0, 0}, false, true};
    return Insertion{doc->length, {0, 0}, false, false};
}

// Whether the n bytes of text end in a line that continues: a single
// backslash before any CR bytes.
bool ends_continued(const char *text, size_t n) {
    while (n > 0 && text[n - 1] == '\r') --n;
    return n > 0 && text[n - 1] == '\\' && (n == 1 || text[n - 2] != '\\');
}

// Whether the line that ends at at (with or without its line end)
// continues onto whatever follows.
bool continues_at(const char *text, size_t at) {
    if (at > 0 && text[at - 1] == '\n') --at;
    return ends_continued(text, at);
}

// The text with a new line for (section, name) added at ins.
int add_entry(const CONF_DOC *doc, const char *eol, const Insertion &ins, const char *section,
              const char *name, const NewValue &v, Draft *out) {
    if (!name_writable(name)) return kErrUnwritable;
    bool ok = out->keep(0, ins.at);
    if (ins.at == 0 && !ins.new_block && ins.indent.begin == ins.indent.end &&
        starts_with_mark(name, std::strlen(name)))
        ok = ok && out->write(eol);
    // A text that ends without a line end gets one first.  A last line
    // that ends in a backslash would continue onto the line added; an empty
    // line ends it as the end of the text did.
    if (ins.at > 0 && doc->text[ins.at - 1] != '\n') ok = ok && out->write(eol);
    if (continues_at(doc->text, ins.at)) ok = ok && out->write(eol);
    if (ins.new_block) {
        if (ins.at > 0) ok = ok && out->write(eol);
        ok = ok && append_header(&out->text, section) && out->write(eol);
    }
    ok = ok && out->write(doc->text + ins.indent.begin, ins.indent.end - ins.indent.begin) &&
         out->write(name) && out->write(v.length > 0 ? " = " : " =") &&
         out->write(v.text, v.length) && out->write(eol);
    if (ins.blank_after) ok = ok && out->write(eol);
    ok = ok && out->keep(ins.at, doc->length);
    return ok ? 0 : kErrMemory;
}

// The text without the given spans (sorted, not overlapping); *lines
// counts the physical lines they held.
bool cut_spans(const CONF_DOC *doc, const GrowArray<Span> &cuts, Draft *out, int *lines) {
    size_t at = 0;
    *lines = 0;
    for (size_t i = 0; i < cuts.size(); ++i) {
        const Span c = cuts[i];
        if (!out->keep(at, c.begin)) return false;
        for (size_t k = c.begin; k < c.end; ++k) *lines += doc->text[k] == '\n' ? 1 : 0;
        if (c.end > c.begin && doc->text[c.end - 1] != '\n') ++*lines;
        at = c.end;
    }
    return out->keep(at, doc->length);
}

// ---- The line index ---------------------------------------------------------

constexpr size_t kNoLine = static_cast<size_t>(-1);
constexpr size_t kNoName = static_cast<size_t>(-1);

// 64-bit FNV-1a over a NUL-terminated string, continuing from h.
constexpr uint64_t hash_string(const char *s, uint64_t h = 14695981039346656037ull) {
    for (; *s != '\0'; ++s) h = (h ^ static_cast<unsigned char>(*s)) * 1099511628211ull;
    return (h ^ 0xFFu) * 1099511628211ull;  // the terminator parts "a"+"bc" from "ab"+"c"
}

}  // namespace

// An index line's name offset when it is a header's.  The index's names
// stay below this many bytes (their offsets take 32 bits in an index
// line): a text with more keeps no index, and an edit that would add more
// takes the whole text.
constexpr uint32_t kNoName32 = UINT32_MAX;

// One header or stored entry line of the text, as the loader saw it.  32
// bytes: the index holds one for every line of a big text, and every edit
// that puts the text together moves them.
struct IndexLine {
    Span span;         // the logical line, its line ends included
    uint32_t section;  // offset in the index's names: a header's section, an entry's
    uint32_t name;     // offset of an entry's name; kNoName32 for a header
    uint64_t key;      // an entry: hash_string of its name after the section's key;
                       // a header: hash_string of its section
};
static_assert(sizeof(IndexLine) == 32, "an index line stays small");

// An index line's name offset as the other tables hold it (kNoName: a header).
size_t name_at(const IndexLine &l) { return l.name == kNoName32 ? kNoName : l.name; }

// ---- Edits kept aside ---------------------------------------------------------
// (the design is told at the top of the file)

constexpr size_t kNone = static_cast<size_t>(-1);
// The tables mark the physical line of one index line in kMarkEvery: an
// index line's is found from the mark before it, counting fewer than that
// many lines' bytes, where a mark for every line would cost a store per
// line at the first edit and 8 bytes a line kept.
constexpr size_t kMarkEvery = 8;

// A change that waits until the text is put together: a line of the text
// rewritten or cut, or lines inserted.  Offsets and lines are the text's,
// as it was when the first change was kept.
struct Change {
    size_t at;       // a rewritten or cut line's begin, or where an insertion goes
    size_t at_line;  // the physical line that begins at at
    size_t line;     // the index line it rewrites or cuts; kNone for an insertion
    size_t prev;     // the insertions at one place, in text order: the one before it
    size_t next;     // and the one after it (kNone: none)
    size_t bytes;    // its text: where it is in the kept bytes, and its length
    size_t length;
    size_t origins;  // its physical lines' origins: where in the kept origins, and how many
    size_t lines;
    size_t head;     // where in its text its index line begins
    size_t section;  // its index line's section and name (kNoName: a header)
    size_t name;     // in the index's names
    uint64_t key;    // as its index line's
    size_t before;   // an inserted entry: the entry of its section inserted before it
    bool cut;
    // A cut of the text's bytes [at, gap_end), with the index lines that
    // begin there (those no other change holds: see cut_runs).
    size_t gap_end = kNone;
};

// The index's lines chained by key (an entry's key, a header's section
// key): heads[key & mask] is the last line whose key falls there, and each
// line's link the line before it on that chain, and the low half of its
// key, so that a walk reads only the lines whose key matches.  Small (8
// bytes a line and 4 a chain), and built in one pass, in order, at the
// first edit.
struct Link {
    uint32_t next;
    uint32_t key;
};
constexpr uint32_t kNoLink = UINT32_MAX;

// A name of a section that a kept insertion defined.  The text's lines of
// a name need no record: the chains find them, and the changes tell which
// are cut.
struct NameInfo {
    size_t section;  // in the index's names
    size_t name;
    uint64_t key;
    size_t inserted;  // the insertion that defines it now (kNone)
};

// A section that an insertion went to, or that the text has a header of.
struct SectionInfo {
    size_t section;  // in the index's names
    uint64_t key;
    size_t header;         // its last header line in the index (kNone)
    size_t header_rank;    // that header's place among the index's headers
    size_t base_tail;      // its last entry line after that header, not cut (kNone)
    bool tail_known;       // base_tail is up to date
    size_t new_header;     // the insertion of its header (kNone)
    size_t last_inserted;  // its entry inserted last, perhaps cut since (kNone)
};

// A place of the text where insertions go, and the first of them.
struct Place {
    size_t at;
    size_t first;
};

// A change where the text is put together, and the order it comes in:
// by offset, and at one offset, insertions before the line there.
struct Event {
    uint64_t order;
    size_t change;
};

// The text with the changes made: its bytes, origins and index lines (and
// room to sort the changes in).
struct Assembly {
    Text text;
    GrowArray<CONF_DOC_LINE> origins;
    GrowArray<IndexLine> lines;
    GrowArray<Event> events;
};

// The changes kept aside, and what finding their places needs.
struct Pending {
    bool ready = false;         // the tables below describe the index's lines
    GrowArray<size_t> marks;    // the physical line of every kMarkEvery-th index line
    GrowArray<uint32_t> heads;  // the chains of lines by key (see Link)
    GrowArray<Link> links;      //   per index line
    HashSlots line_changes;     // index line -> the change that rewrites or cuts it
    GrowArray<size_t> headers;  // the index's header lines, in order
    GrowArray<NameInfo> names;  // the names that changes touched
    HashSlots name_slots;       //   found by their key
    GrowArray<SectionInfo> sections;
    HashSlots section_slots;
    GrowArray<Change> changes;
    GrowArray<Place> places;
    GrowArray<size_t> gaps;    // the cuts of bytes no change of a line holds, in text order
    GrowArray<Span> cut_runs;  // the index lines [begin, end) that gaps hold, in order
    GrowArray<size_t> strays;  // the entry lines outside a block of their section, in order
    HashSlots place_slots;
    ByteBuffer bytes;
    GrowArray<CONF_DOC_LINE> origins;
    size_t end_last = kNone;      // the last insertion at the end of the text
    size_t new_headers = 0;       // headers inserted
    size_t cut_end = 0;           // where the last of the text's lines and gaps cut ends
    size_t inserted_lines = 0;    // index lines inserted (cut or not): room the index keeps
    size_t length = 0;            // of the text put together, in bytes
    size_t line_count = 0;        //   in physical lines
    size_t index_count = 0;       //   in index lines
    CONF_DOC_LINE tail_origin{};  // the origin of its last physical line (after the last line end)
    // Room for the text put together, reserved by every change kept: the
    // calls that read the text put it together and cannot run out of memory.
    Assembly room;

    // Drops every change and table, and the blocks they took: after a
    // flush the index alone stays, as small as before the first change.
    void clear() {
        this->~Pending();
        new (this) Pending();
    }
};

// Every header and stored entry line of the text, in text order, with the
// section and name the loader gave it; the names live in one byte buffer.
class LineIndex {
  public:
    LineIndex() = default;
    ~LineIndex() { CONF_free(scratch); }
    LineIndex(const LineIndex &) = delete;
    LineIndex &operator=(const LineIndex &) = delete;

    // Scans text with the loader (a tolerant scan, as an edit's): 0, and
    // the index is the text's; kErrMemory; or another error, when the text
    // does not scan cleanly.
    int build(const char *text, size_t length);

    bool is_header(size_t i) const { return lines[i].name == kNoName32; }
    const char *section_of(size_t i) const { return names.data() + lines[i].section; }
    const char *name_of(size_t i) const { return names.data() + lines[i].name; }
    bool in_section(size_t i, const char *section) const {
        return std::strcmp(section_of(i), section) == 0;
    }
    bool defines(size_t i, const char *section, const char *name, uint64_t key) const {
        return !is_header(i) && lines[i].key == key && std::strcmp(name_of(i), name) == 0 &&
               std::strcmp(section_of(i), section) == 0;
    }
    // The last entry line that defines (section, name): the effective one.
    size_t last_definition(const char *section, const char *name) const;
    // The first line that begins at or after offset at (size() when none).
    size_t first_at(size_t at) const;
    // Moves the lines from i on by delta bytes.
    void shift(size_t i, ptrdiff_t delta);
    // Room for extra more lines and bytes of names, so that the additions
    // after an edit cannot fail.
    bool reserve(size_t extra, size_t bytes) {
        return lines.reserve(lines.size() + extra) && names.reserve(names.size() + bytes + 1);
    }
    // Inserts a line at position i (after reserve).
    void insert(size_t i, const IndexLine &line);
    // Adds a NUL-terminated copy of s to the names (after reserve): its offset.
    size_t add_name(const char *s);
    // Whether both hold the same lines with the same sections and names.
    bool same_as(const LineIndex &other) const;

    GrowArray<IndexLine> lines;
    ByteBuffer names;
    Pending pending;  // changes kept aside: lines and offsets are the text's before them
    CONF_CTX *scratch = nullptr;  // the context the scans of single lines share (take_scratch)
    // What the checks of single lines learn (the line as it was, and as
    // written), reused from one edit to the next (Structure::reset).
    Structure line_was{kDefaultSection, nullptr, &scratch};
    Structure line_now{kDefaultSection, nullptr, &scratch};

    // The index learns from a scan through this observer; complete tells,
    // from the scan's result, whether it is the whole text's.
    static void notify(void *self, const LoadNote *note) {
        static_cast<LineIndex *>(self)->on(*note);
    }
    bool complete(int rc) const { return rc == 0 && !out_of_memory_; }
    // Gives back the room the scan's growth left past the lines and names.
    void shrink() {
        lines.shrink();
        names.shrink();
    }

  private:
    void on(const LoadNote &n);
    bool push(const LoadNote &n, const char *section, const char *name);

    bool out_of_memory_ = false;
    size_t last_section_ = kNoName;  // the section added last, reused while it repeats
    uint64_t last_section_key_ = 0;  // and its hash_string
};

// Tells, line after line, whether index lines are in one section: the
// lines of a run share their section's offset in the names, so a walk
// compares the strings once a run, not once a line.
class SectionMatch {
  public:
    SectionMatch(const LineIndex &ix, const char *section) : ix_(ix), section_(section) {}
    bool operator()(size_t i) {
        const uint32_t at = ix_.lines[i].section;
        if (at != at_) {
            at_ = at;
            same_ = std::strcmp(ix_.names.data() + at, section_) == 0;
        }
        return same_;
    }

  private:
    const LineIndex &ix_;
    const char *section_;
    uint32_t at_ = kNoName32;
    bool same_ = false;
};

// Whether the index's names can take n more bytes and still be told by 32-bit offsets.
bool names_fit(const ByteBuffer &names, size_t n) { return n < kNoName32 - names.size(); }

bool LineIndex::push(const LoadNote &n, const char *section, const char *name) {
    if (last_section_ == kNoName || std::strcmp(names.data() + last_section_, section) != 0) {
        const size_t length = std::strlen(section) + 1;
        if (!names_fit(names, length)) return false;
        last_section_ = names.size();
        last_section_key_ = hash_string(section);
        if (!names.append(section, length)) return false;
    }
    const auto at = static_cast<uint32_t>(names.size());
    if (name != nullptr) {
        const size_t length = std::strlen(name) + 1;
        if (!names_fit(names, length) || !names.append(name, length)) return false;
    }
    const IndexLine line{
        {n.source->begin, n.source->end},
        static_cast<uint32_t>(last_section_),
        name != nullptr ? at : kNoName32,
        name != nullptr ? hash_string(name, last_section_key_) : last_section_key_};
    return lines.push(line);
}

void LineIndex::on(const LoadNote &n) {
    if (out_of_memory_) return;
    if (n.event == LoadEvent::kHeader) {
        out_of_memory_ = !push(n, n.section, nullptr);
    } else if (n.event == LoadEvent::kStored) {
        out_of_memory_ = !push(n, n.entry->section, n.entry->name);
    }
}

int LineIndex::build(const char *text, size_t length) {
    CONF_CTX *ctx = CONF_new();
    if (ctx == nullptr) return kErrMemory;
    const LoadObserver observer{&LineIndex::notify, this, false, keeps_entries(text, length)};
    const int rc = scan_buffer(ctx, text, length, &observer, true);
    CONF_free(ctx);
    if (out_of_memory_ || rc == kErrSection) return kErrMemory;
    return rc;
}

size_t LineIndex::last_definition(const char *section, const char *name) const {
    const uint64_t key = hash_string(name, hash_string(section));
    for (size_t i = lines.size(); i-- > 0;) {
        if (defines(i, section, name, key)) return i;
    }
    return kNoLine;
}

size_t LineIndex::first_at(size_t at) const {
    size_t lo = 0;
    size_t hi = lines.size();
    while (lo < hi) {
        const size_t mid = lo + (hi - lo) / 2;
        if (lines[mid].span.begin < at) {
            lo = mid + 1;
        } else {
            hi = mid;
        }
    }
    return lo;
}

void LineIndex::shift(size_t i, ptrdiff_t delta) {
    for (; i < lines.size(); ++i) {
        lines[i].span.begin += static_cast<size_t>(delta);
        lines[i].span.end += static_cast<size_t>(delta);
    }
}

void LineIndex::insert(size_t i, const IndexLine &line) {
    const size_t n = lines.size();
    (void)lines.push(line);  // reserved: cannot fail
    std::memmove(lines.begin() + i + 1, lines.begin() + i, (n - i) * sizeof(IndexLine));
    lines[i] = line;
}

size_t LineIndex::add_name(const char *s) {
    const size_t at = names.size();
    (void)names.append(s, std::strlen(s) + 1);  // reserved: cannot fail
    return at;
}

bool LineIndex::same_as(const LineIndex &other) const {
    if (lines.size() != other.lines.size()) return false;
    for (size_t i = 0; i < lines.size(); ++i) {
        const IndexLine &a = lines[i];
        const IndexLine &b = other.lines[i];
        if (a.span.begin != b.span.begin || a.span.end != b.span.end ||
            is_header(i) != other.is_header(i) || a.key != b.key ||
            std::strcmp(section_of(i), other.section_of(i)) != 0 ||
            (!is_header(i) && std::strcmp(name_of(i), other.name_of(i)) != 0))
            return false;
    }
    return true;
}

namespace {}  // namespace
}  // namespace nivra::conf

using namespace nivra::conf;

namespace {

const char *reason(int code) {
    for (const CONF_REASON *r = CONF_str_reasons; r->text != nullptr; ++r) {
        if (r->code == code) return r->text;
    }
    return "";
}

// Records the outcome of a call: 0 clears the record.
int outcome(CONF_DOC *doc, int code, int line = 0) {
    doc->error = code < 0 ? code : 0;
    doc->error_line = code < 0 ? line : 0;
    doc->error_text = code < 0 ? reason(code) : "";
    return code;
}

// -100 for a null argument, with a text that names it: the table's text
// speaks of a context, which the caller did give.
int null_argument(CONF_DOC *doc, const char *text) {
    outcome(doc, kErrNullContext);
    doc->error_text = text;
    return kErrNullContext;
}

void drop_index(CONF_DOC *doc);

// The document's line index, built by one scan when there is none; null
// when the text does not scan cleanly or memory runs out (the whole-text
// path then decides, and reports).
LineIndex *ready_index(CONF_DOC *doc) {
    if (doc->index != nullptr) return doc->index;
    void *room = std::malloc(sizeof(LineIndex));
    if (room == nullptr) return nullptr;
    doc->index = new (room) LineIndex();
    if (doc->index->build(doc->text, doc->length) != 0) drop_index(doc);
    return doc->index;
}

// The text and the reference share one block while the file holds the
// text: whichever of them goes first leaves the block to the other.
void release_text(CONF_DOC *doc) {
    if (doc->text != doc->reference) std::free(doc->text);
}
void release_reference(CONF_DOC *doc) {
    if (doc->reference != doc->text) std::free(doc->reference);
}

// A new line index, told of a scan through *observer; null when memory runs out.
LineIndex *new_index(LoadObserver *observer) {
    void *room = std::malloc(sizeof(LineIndex));
    if (room == nullptr) return nullptr;
    auto *index = new (room) LineIndex();
    *observer = LoadObserver{&LineIndex::notify, index, false};
    return index;
}

void free_index(LineIndex *index) {
    if (index == nullptr) return;
    index->~LineIndex();
    std::free(index);
}

void drop_index(CONF_DOC *doc) {
    free_index(doc->index);
    doc->index = nullptr;
}

// Makes text (length bytes) the document's text, which the file id (or
// none), read at path (or null), holds when has_file; takes text and path
// over and frees what they replace.  The text is the one as read from now
// on: its lines are their own origins, and no edit has been made.  The
// scan that marks its lines builds the line index too (an edit would need
// that scan again).
int take_contents(CONF_DOC *doc, char *text, size_t length, bool has_file, const FileId *id,
                  char *path) {
    size_t count = 0;
    LoadObserver index_observer{};
    LineIndex *index = new_index(&index_observer);
    int rc = 0;
    CONF_DOC_LINE *origins =
        read_origins(text, length, &count, index != nullptr ? &index_observer : nullptr, &rc);
    if (origins == nullptr) {
        free_index(index);
        std::free(text);
        std::free(path);
        return outcome(doc, kErrMemory);
    }
    if (index != nullptr && !index->complete(rc)) {
        free_index(index);
        index = nullptr;
    }
    if (index != nullptr) index->shrink();
    release_reference(doc);
    std::free(doc->text);
    std::free(doc->path);
    std::free(doc->origins);
    drop_index(doc);
    doc->index = index;
    doc->text = text;
    doc->length = length;
    doc->reference = has_file ? text : nullptr;
    doc->reference_length = has_file ? length : 0;
    doc->file = id != nullptr ? *id : FileId{};
    doc->path = path;
    doc->origins = origins;
    doc->origin_count = count;
    doc->edits = 0;
    return outcome(doc, 0);
}

// Counts an editing call that succeeded; its number is what the lines it
// writes carry.
int edit_made(CONF_DOC *doc) {
    if (doc->edits < INT_MAX) ++doc->edits;
    return outcome(doc, 0);
}

// Makes the draft the document's text, its lines' origins with it (taking
// both over): 0, or kErrMemory with the document as it was.  With in_runs,
// the origins are found by draft_origins_in_runs.
int take_draft(CONF_DOC *doc, Draft *d, bool in_runs = false) {
    const int edit = doc->edits < INT_MAX ? doc->edits + 1 : INT_MAX;
    size_t count = 0;
    CONF_DOC_LINE *origins = in_runs ? draft_origins_in_runs(doc, *d, edit, &count)
                                     : draft_origins(doc, *d, edit, &count);
    const size_t n = d->text.size();
    char *p = origins != nullptr ? d->text.release() : nullptr;
    if (p == nullptr) {
        std::free(origins);
        return outcome(doc, kErrMemory);
    }
    release_text(doc);
    std::free(doc->origins);
    drop_index(doc);
    doc->text = p;
    doc->length = n;
    doc->origins = origins;
    doc->origin_count = count;
    return edit_made(doc);
}

// take_draft for an edit that keeps the index up to date itself: the index
// stays the document's (as it was when the draft is not taken).
int take_draft_keeping(CONF_DOC *doc, Draft *d, LineIndex *index, bool keep_tables = false) {
    doc->index = nullptr;
    const int err = take_draft(doc, d, true);
    doc->index = index;
    // The tables for changes kept aside are built again when needed, unless
    // the caller carries them over.
    if (err == 0 && !keep_tables) index->pending.clear();
    return err;
}

const char *section_or_default(const char *section) {
    return section != nullptr ? section : kDefaultSection;
}

// Scans the document for section and name: 0, or the error recorded.
int scan_doc(CONF_DOC *doc, Structure *s) {
    int line = 0;
    const int err = s->scan(doc->text, doc->length, &line);
    return err == 0 ? 0 : outcome(doc, err, err == kErrNoParse ? line : 0);
}

// Whether the text stores (section, name) as asked: the expanded value for
// a literal, the value's text for a raw one.
int confirm(const Text &text, const char *section, const char *name, const char *wanted, bool raw) {
    Structure s(section, name);
    int line = 0;
    const int err = s.scan(text.data(), text.size(), &line);
    if (err == kErrMemory) return err;
    if (err != 0 || !s.found) return kErrUnwritable;
    if (raw) return std::strcmp(s.value_text(), wanted) == 0 ? 0 : kErrUnwritable;
    return s.resolved() && std::strcmp(s.value(), wanted) == 0 ? 0 : kErrUnwritable;
}

bool ends_in_lone_backslash(const char *text) {
    size_t n = std::strlen(text);
    size_t run = 0;
    while (n > 0 && text[--n] == '\\') ++run;
    return run % 2 == 1;
}

// The text a set writes for value: raw as it stands (kErrUnwritable when it
// ends in a lone backslash, which would continue the line), else its
// literal, made in *literal (kErrMemory when that fails).
int written_value(const char *value, bool raw, Text *literal, NewValue *v) {
    if (raw) {
        if (ends_in_lone_backslash(value)) return kErrUnwritable;
        *v = NewValue{value, std::strlen(value)};
        return 0;
    }
    if (!append_literal(literal, value)) return kErrMemory;
    *v = NewValue{literal->data(), literal->size()};
    return 0;
}

// A text that starts in storage of its own, so that a short one (a
// value's literal, a line drafted alone) costs no allocation.
struct InlineText {
    char storage[256];
    Text text{storage, sizeof storage};
};

// ---- Edits made where they happen -------------------------------------------

// Not an outcome: the edit cannot be decided where it happens, and the
// whole-text path makes it.
constexpr int kUndecided = INT_MIN;

// Whether the bytes [begin, end) of text, scanned alone, are one logical
// line that defines name (and, with header, a header of section before it)
// and nothing else, which the text at end does not continue.  A line that
// begins with the byte-order mark's bytes would lose them to a scan that
// starts there, so it is never checked alone; starts_text tells whether
// begin is the start of the document's text (a window of a line elsewhere
// begins at 0 too).
bool reads_alone(const char *text, size_t begin, size_t end, Structure *s, bool header,
                 bool starts_text) {
    if (!starts_text && starts_with_mark(text + begin, end - begin)) return false;
    if (end == begin || text[end - 1] != '\n' || continues_at(text, end)) return false;
    if (s->scan_window(text, begin, end) != 0 || !s->found) return false;
    if (s->entries.size() != 1 || s->headers.size() != (header ? 1U : 0U)) return false;
    return s->span.end == end && (!header || s->headers[0].target);
}

// The structure s, made ready for a check of a line of (section, name).
Structure &checked(Structure *s, const char *section, const char *name) {
    s->reset(section, name);
    return *s;
}

// Whether the entry line checked alone stores what was asked, as confirm
// tells of the whole text.
bool stores_wanted(const Structure &s, const char *wanted, bool raw) {
    if (raw) return std::strcmp(s.value_text(), wanted) == 0;
    return s.resolved() && std::strcmp(s.value(), wanted) == 0;
}

// CONF_doc_set(_raw) of an entry the text defines, its effective definition
// being line def of the index.  The definition is scanned alone: its value
// does not depend on the text around it unless it has a reference.
int replace_local(CONF_DOC *doc, LineIndex *index, size_t def, const char *name, const char *value,
                  bool raw) {
    const Span old = index->lines[def].span;
    Structure &was = checked(&index->line_was, kDefaultSection, name);
    if (!reads_alone(doc->text, old.begin, old.end, &was, false, old.begin == 0)) return kUndecided;
    if (std::strchr(was.value_text(), '$') != nullptr) return kUndecided;
    if (stores_wanted(was, value, raw)) return edit_made(doc);
    InlineText literal_room;
    Text &literal = literal_room.text;
    NewValue v{};
    if (const int err = written_value(value, raw, &literal, &v); err != 0) return outcome(doc, err);
    Draft out(doc);
    if (!out.reserve(v.length + 1) || !replace_value(doc, was, v, &out))
        return outcome(doc, kErrMemory);
    const auto delta = static_cast<ptrdiff_t>(out.text.size() - doc->length);
    const size_t end = old.end + static_cast<size_t>(delta);
    Structure &now = checked(&index->line_now, kDefaultSection, name);
    if (!reads_alone(out.text.data(), old.begin, end, &now, false, old.begin == 0) ||
        !stores_wanted(now, value, raw))
        return kUndecided;
    if (const int err = take_draft_keeping(doc, &out, index); err != 0) return err;
    index->lines[def].span.end = end;
    index->shift(def + 1, delta);
    return 0;
}

// Where a new entry of the section goes, as place_entry finds it.
Insertion place_indexed(const CONF_DOC *doc, const LineIndex &index, const char *section) {
    SectionMatch in_section(index, section);
    size_t block = kNoLine;
    for (size_t i = 0; i < index.lines.size(); ++i) {
        if (index.is_header(i) && in_section(i)) block = i;
    }
    const bool is_default = std::strcmp(section, kDefaultSection) == 0;
    if (block == kNoLine && !is_default) return Insertion{doc->length, {0, 0}, true, false};
    size_t last = kNoLine;
    for (size_t i = block == kNoLine ? 0 : block + 1; i < index.lines.size() && !index.is_header(i);
         ++i) {
        if (in_section(i)) last = i;
    }
    if (last != kNoLine) {
        const Span line = index.lines[last].span;
        return Insertion{
            line.end, {line.begin, indent_end(doc->text, line.begin, line.end)}, false, false};
    }
    if (block != kNoLine) return Insertion{index.lines[block].span.end, {0, 0}, false, false};
    for (size_t i = 0; i < index.lines.size(); ++i) {
        if (index.is_header(i)) return Insertion{index.lines[i].span.begin, {0, 0}, false, true};
    }
    return Insertion{doc->length, {0, 0}, false, false};
}

// CONF_doc_set(_raw) of an entry the text does not define: the lines
// written are scanned alone, which holds where they follow a whole line
// that does not continue, and end in a line end that does not either.
int add_local(CONF_DOC *doc, LineIndex *index, const char *section, const char *name,
              const char *value, bool raw) {
    const Insertion ins = place_indexed(doc, *index, section);
    if (ins.at == 0 || doc->text[ins.at - 1] != '\n' || continues_at(doc->text, ins.at) ||
        ins.blank_after)
        return kUndecided;
    InlineText literal_room;
    Text &literal = literal_room.text;
    NewValue v{};
    if (const int err = written_value(value, raw, &literal, &v); err != 0) return outcome(doc, err);
    Draft out(doc);
    const size_t line = ins.indent.end - ins.indent.begin + std::strlen(name) + v.length;
    if (!out.reserve(line + 2 * std::strlen(section) + 16)) return outcome(doc, kErrMemory);
    if (add_entry(doc, line_end_of(doc), ins, section, name, v, &out) != 0) return kUndecided;
    const size_t written = out.text.size() - doc->length;
    Structure &now = checked(&index->line_now, section, name);
    if (!reads_alone(out.text.data(), ins.at, ins.at + written, &now, ins.new_block, false) ||
        !stores_wanted(now, value, raw))
        return kUndecided;
    const size_t name_bytes = std::strlen(section) + std::strlen(name) + 2;
    if (!names_fit(index->names, name_bytes)) return kUndecided;
    if (!index->reserve(2, name_bytes)) return outcome(doc, kErrMemory);
    if (const int err = take_draft_keeping(doc, &out, index); err != 0) return err;
    const size_t at = index->first_at(ins.at);
    index->shift(at, static_cast<ptrdiff_t>(written));
    const uint64_t section_key = hash_string(section);
    const auto section_at = static_cast<uint32_t>(index->add_name(section));
    const IndexLine entry{now.span, section_at, static_cast<uint32_t>(index->add_name(name)),
                          hash_string(name, section_key)};
    index->insert(at, entry);
    if (ins.new_block)
        index->insert(at, IndexLine{now.headers[0].span, section_at, kNoName32, section_key});
    return 0;
}

// ---- Edits kept aside: the tables -------------------------------------------

// The slot key of index line i among the changes of lines: one to one.
uint64_t line_key(size_t i) { return (i + 1) * 0x9E3779B97F4A7C15ull; }

// The change that rewrites or cuts index line i (kNone).
size_t change_of(const Pending &p, size_t i) {
    // The key is the line's alone.
    const size_t *slot = p.line_changes.find(line_key(i), [](size_t) { return true; });
    return slot != nullptr ? *slot : kNone;
}

// Whether index line i lies in a gap cut (see cut_runs).
bool in_cut_run(const Pending &p, size_t i) {
    if (p.cut_runs.empty()) return false;
    const Span *run = std::upper_bound(p.cut_runs.begin(), p.cut_runs.end(), i,
                                       [](size_t line, const Span &r) { return line < r.begin; });
    return run != p.cut_runs.begin() && i < (run - 1)->end;
}

bool cut_line(const Pending &p, size_t i) {
    const size_t c = change_of(p, i);
    return c != kNone ? p.changes[c].cut : in_cut_run(p, i);
}

// The first line on the chain from link `from` on that defines (section,
// name), whose key is key, and is not cut (kNone).
size_t definition_from(const LineIndex &ix, uint32_t from, const char *section, const char *name,
                       uint64_t key) {
    const Pending &p = ix.pending;
    for (uint32_t i = from; i != kNoLink; i = p.links[i].next) {
        if (p.links[i].key == static_cast<uint32_t>(key) && ix.defines(i, section, name, key) &&
            !cut_line(p, i))
            return i;
    }
    return kNone;
}

// The last entry line of the text (the index's) that defines (section,
// name), whose key is key, and is not cut: kNone when none is left.
size_t last_in_text(const LineIndex &ix, const char *section, const char *name, uint64_t key) {
    const Pending &p = ix.pending;
    return definition_from(ix, p.heads[key & (p.heads.size() - 1)], section, name, key);
}

// The entry line before entry line i that defines its name, not cut (kNone).
size_t earlier_definition(const LineIndex &ix, size_t i) {
    return definition_from(ix, ix.pending.links[i].next, ix.section_of(i), ix.name_of(i),
                           ix.lines[i].key);
}

// The record of (section, name), whose key is key, when a change touched
// it; null otherwise.
NameInfo *record_of(LineIndex *ix, const char *section, const char *name, uint64_t key) {
    Pending &p = ix->pending;
    size_t *slot = p.name_slots.find(key, [&](size_t v) {
        return std::strcmp(ix->names.data() + p.names[v].name, name) == 0 &&
               std::strcmp(ix->names.data() + p.names[v].section, section) == 0;
    });
    return slot != nullptr ? &p.names[*slot] : nullptr;
}

// The record of (section, name), whose key is key, made when it has none,
// with its section and name at section_at and name_at in the index's names
// (after room was made for one more record).
NameInfo *touch_name(LineIndex *ix, const char *section, const char *name, uint64_t key,
                     size_t section_at, size_t name_at) {
    if (NameInfo *ni = record_of(ix, section, name, key); ni != nullptr) return ni;
    Pending &p = ix->pending;
    p.name_slots.add(key, p.names.size());
    (void)p.names.push(NameInfo{section_at, name_at, key, kNone});  // reserved
    return &p.names[p.names.size() - 1];
}

// Room for count more records of names.
bool reserve_names(Pending *p, size_t count) {
    return p->names.reserve(p->names.size() + count) &&
           p->name_slots.reserve(p->name_slots.size() + count);
}

SectionInfo *find_section(LineIndex *ix, const char *section, uint64_t key) {
    Pending &p = ix->pending;
    size_t *slot = p.section_slots.find(key, [&](size_t v) {
        return std::strcmp(ix->names.data() + p.sections[v].section, section) == 0;
    });
    return slot != nullptr ? &p.sections[*slot] : nullptr;
}

// Whether entry line i lies outside a block of its section: before the
// first header, or after a header of another section (a qualified entry).
bool stray(const LineIndex &ix, size_t i, size_t header) {
    if (header == kNone) return true;
    const size_t a = ix.lines[i].section;
    const size_t b = ix.lines[header].section;
    return a != b && std::strcmp(ix.names.data() + a, ix.names.data() + b) != 0;
}

// The tables of the index's lines of the document's text that one walk
// builds: the marks of physical lines, the chains of entry lines by name,
// the headers and the stray entry lines, in order.  False when memory runs
// out, or the lines are too many to chain.
struct LineTables {
    GrowArray<size_t> marks;
    GrowArray<uint32_t> heads;
    GrowArray<Link> links;
    GrowArray<size_t> headers;
    GrowArray<size_t> strays;
};

bool walk_lines(const CONF_DOC *doc, const LineIndex &ix, LineTables *t) {
    const size_t n = ix.lines.size();
    if (n >= kNoLink) return false;
    size_t chains = 16;
    while (chains < n) chains *= 2;
    if (!t->marks.reserve(n / kMarkEvery + 1) || !t->heads.fill(chains, kNoLink) ||
        !t->links.reserve(n))
        return false;
    size_t at = 0;
    size_t line = 0;
    for (size_t i = 0; i < n; ++i) {
        const IndexLine &l = ix.lines[i];
        if (i % kMarkEvery == 0) {
            line += count_newlines(doc->text + at, l.span.begin - at);
            at = l.span.begin;
            (void)t->marks.push(line);  // reserved
        }
        // A header is chained by its section's key, an entry by its key.
        uint32_t &head = t->heads[l.key & (chains - 1)];
        (void)t->links.push(Link{head, static_cast<uint32_t>(l.key)});
        head = static_cast<uint32_t>(i);
        if (ix.is_header(i)) {
            if (!t->headers.push(i)) return false;
            continue;
        }
        const size_t header = t->headers.empty() ? kNone : t->headers[t->headers.size() - 1];
        if (stray(ix, i, header) && !t->strays.push(i)) return false;
    }
    return true;
}

// Makes the walked tables the pending ones.
void take_tables(Pending *p, LineTables *t) {
    p->marks.swap(t->marks);
    p->heads.swap(t->heads);
    p->links.swap(t->links);
    p->headers.swap(t->headers);
    p->strays.swap(t->strays);
}

// The place of header line h among the headers (sorted lines).
size_t rank_of(const GrowArray<size_t> &headers, size_t h) {
    return static_cast<size_t>(std::lower_bound(headers.begin(), headers.end(), h) -
                               headers.begin());
}

// Adds header line h, the rank-th header, to the sections' table (after
// room was made).
void learn_header(LineIndex *ix, size_t h, size_t rank) {
    Pending &p = ix->pending;
    const IndexLine &l = ix->lines[h];
    // A header's key is its section's.
    if (SectionInfo *si = find_section(ix, ix->section_of(h), l.key); si != nullptr) {
        si->header = h;
        si->header_rank = rank;
        return;
    }
    p.section_slots.add(l.key, p.sections.size());
    (void)p.sections.push(SectionInfo{l.section, l.key, h, rank, kNone, false, kNone, kNone});
}

// Builds the tables for the index's lines of the document's text: false
// when memory runs out (the tables stay unready).
bool prepare(const CONF_DOC *doc, LineIndex *ix) {
    Pending &p = ix->pending;
    p.clear();
    LineTables t;
    if (!walk_lines(doc, *ix, &t)) return false;
    const size_t headers = t.headers.size();
    if (!p.sections.reserve(headers) || !p.section_slots.reserve(headers)) return false;
    take_tables(&p, &t);
    for (size_t k = 0; k < p.headers.size(); ++k) learn_header(ix, p.headers[k], k);
    p.length = doc->length;
    p.line_count = doc->origin_count;
    p.index_count = ix->lines.size();
    p.tail_origin = doc->origins[doc->origin_count - 1];
    p.ready = true;
    return true;
}

// The physical line of the document's text that index line i begins on.
size_t first_line_of(const CONF_DOC *doc, const LineIndex &ix, size_t i) {
    const size_t m = i / kMarkEvery;
    const size_t from = ix.lines[m * kMarkEvery].span.begin;
    return ix.pending.marks[m] + count_newlines(doc->text + from, ix.lines[i].span.begin - from);
}

// A line of the text as it reads now: its bytes, and its physical lines'
// origins.
struct LineView {
    const char *text;
    size_t length;
    const CONF_DOC_LINE *origins;
    size_t lines;
};

LineView view_change(const Pending &p, size_t c) {
    const Change &ch = p.changes[c];
    return LineView{p.bytes.data() + ch.bytes, ch.length, p.origins.begin() + ch.origins, ch.lines};
}

// Index line i as it reads now (unless cut).
LineView view_line(const CONF_DOC *doc, const LineIndex &ix, size_t i) {
    const Pending &p = ix.pending;
    if (const size_t c = change_of(p, i); c != kNone) return view_change(p, c);
    const Span s = ix.lines[i].span;
    return LineView{doc->text + s.begin, s.end - s.begin, doc->origins + first_line_of(doc, ix, i),
                    count_newlines(doc->text + s.begin, s.end - s.begin)};
}

// A document that is the bytes of one line, for the functions that draft
// and place against a document.  It owns nothing.
CONF_DOC window_of(const LineView &v) {
    CONF_DOC w{};
    w.text = const_cast<char *>(v.text);
    w.length = v.length;
    w.origins = const_cast<CONF_DOC_LINE *>(v.origins);
    w.origin_count = v.lines;
    return w;
}

// The physical line that begins where index line i ends, in the text.
size_t line_after(const CONF_DOC *doc, const LineIndex &ix, size_t i) {
    const Span s = ix.lines[i].span;
    return first_line_of(doc, ix, i) + count_newlines(doc->text + s.begin, s.end - s.begin);
}

size_t *first_at_place(LineIndex *ix, size_t at) {
    Pending &p = ix->pending;
    size_t *slot = p.place_slots.find(at * 0x9E3779B97F4A7C15ull,
                                      [&](size_t v) { return p.places[v].at == at; });
    return slot != nullptr ? &p.places[*slot].first : nullptr;
}

// Whether nothing of the text as it reads now follows offset at: from
// there on, every line and gap of the text is cut and no insertion is left
// (those at at itself count only with insertions_at).
bool is_gap(const Change &ch) { return ch.gap_end != kNone; }
bool is_insertion(const Change &ch) { return ch.line == kNone && !is_gap(ch); }
// A new section's blank line, which holds no index line; and its header.
bool is_blank(const Change &ch) { return is_insertion(ch) && ch.section == kNoName; }
bool is_new_header(const Change &ch) {
    return is_insertion(ch) && ch.section != kNoName && ch.name == kNoName;
}

// The first of the gaps that begins at or after offset at (gaps.size()
// when none does).
size_t first_gap_from(const Pending &p, size_t at) {
    return static_cast<size_t>(
        std::lower_bound(p.gaps.begin(), p.gaps.end(), at,
                         [&](size_t g, size_t off) { return p.changes[g].at < off; }) -
        p.gaps.begin());
}

// The gap cut that begins at offset at, or the one that ends there (kNone).
size_t gap_at(const Pending &p, size_t at) {
    const size_t k = first_gap_from(p, at);
    return k < p.gaps.size() && p.changes[p.gaps[k]].at == at ? p.gaps[k] : kNone;
}
size_t gap_ending_at(const Pending &p, size_t at) {
    const size_t k = first_gap_from(p, at);
    return k > 0 && p.changes[p.gaps[k - 1]].gap_end == at ? p.gaps[k - 1] : kNone;
}

bool nothing_after(const CONF_DOC *doc, LineIndex *ix, size_t at, bool insertions_at) {
    for (;;) {
        if (insertions_at) {
            const size_t *first = first_at_place(ix, at);
            if (first != nullptr && *first != kNone) return false;
        }
        insertions_at = true;
        if (at == doc->length) return true;
        if (ix->pending.cut_end < doc->length) return false;  // the text's last byte stays
        if (const size_t g = gap_at(ix->pending, at); g != kNone) {
            at = ix->pending.changes[g].gap_end;
            continue;
        }
        const size_t i = ix->first_at(at);
        if (i == ix->lines.size() || ix->lines[i].span.begin != at || !cut_line(ix->pending, i))
            return false;
        at = ix->lines[i].span.end;
    }
}

// Whether insertion c is the last thing in the text as it reads now.
bool ends_text(const CONF_DOC *doc, LineIndex *ix, size_t c) {
    const Change &ch = ix->pending.changes[c];
    return ch.next == kNone && nothing_after(doc, ix, ch.at, false);
}

// Whether index line i (not cut) is the last thing in the text as it reads now.
bool line_ends_text(const CONF_DOC *doc, LineIndex *ix, size_t i) {
    return nothing_after(doc, ix, ix->lines[i].span.end, true);
}

// ---- Edits kept aside: the edits ----------------------------------------------

// Room to put the text together after changes that add up to n more
// bytes, lines more physical lines and changes more changes.
bool reserve_room(Pending *p, size_t n, size_t lines, size_t changes) {
    // The room holds nothing between flushes: a larger block need not copy it.
    Assembly &r = p->room;
    return p->line_changes.reserve(p->line_changes.size() + changes) &&
           r.text.reserve_discarding(p->length + n + 1) &&
           r.origins.reserve_discarding(p->line_count + lines) &&
           r.events.reserve_discarding(p->changes.size() + changes);
}

// Room for three more changes (a new section's blank line, header and
// entry) with n bytes and lines origins, a place, and the text put
// together after them.
bool reserve_change(Pending *p, size_t n, size_t lines) {
    return p->changes.reserve(p->changes.size() + 3) && p->bytes.reserve(p->bytes.size() + n + 1) &&
           p->origins.reserve(p->origins.size() + lines) &&
           p->places.reserve(p->places.size() + 1) &&
           p->place_slots.reserve(p->places.size() + 1) && reserve_room(p, n, lines, 3);
}

// Keeps n bytes of text and their origins as change c's text (after room
// was made).
void keep_text(Pending *p, size_t c, const char *text, size_t n, const CONF_DOC_LINE *origins,
               size_t lines) {
    Change &ch = p->changes[c];
    p->length = p->length - ch.length + n;
    p->line_count = p->line_count - ch.lines + lines;
    ch.bytes = p->bytes.size();
    ch.length = n;
    ch.origins = p->origins.size();
    ch.lines = lines;
    (void)p->bytes.append(text, n);  // reserved
    for (size_t i = 0; i < lines; ++i) (void)p->origins.push(origins[i]);
}

// The change that rewrites or cuts index line i (after room was made).
size_t change_for_line(const CONF_DOC *doc, LineIndex *ix, size_t i) {
    Pending &p = ix->pending;
    if (const size_t c = change_of(p, i); c != kNone) return c;
    const IndexLine &l = ix->lines[i];
    const size_t c = p.changes.size();
    (void)p.changes.push(Change{l.span.begin, first_line_of(doc, *ix, i), i, kNone, kNone, 0, 0, 0,
                                0, 0, l.section, name_at(l), l.key, kNone, false});
    // It holds the line as it is, until it is given its new text.
    p.changes[c].length = l.span.end - l.span.begin;
    p.changes[c].lines = count_newlines(doc->text + l.span.begin, p.changes[c].length);
    p.line_changes.add(line_key(i), c);  // reserved with the room
    return c;
}

// Cuts index line i of the text (after room was made).
void cut_base(const CONF_DOC *doc, LineIndex *ix, size_t i) {
    Pending &p = ix->pending;
    const size_t c = change_for_line(doc, ix, i);
    keep_text(&p, c, "", 0, nullptr, 0);
    p.changes[c].cut = true;
    --p.index_count;
    p.cut_end = std::max(p.cut_end, ix->lines[i].span.end);
}

// Where a definition is: an index line or an insertion.
struct Element {
    size_t line = kNone;
    size_t change = kNone;
};

// The effective definition of (section, name), whose key is key: the
// insertion that defines it, else its last line in the text not cut.
Element definition_of(LineIndex *ix, const char *section, const char *name, uint64_t key) {
    if (const NameInfo *ni = record_of(ix, section, name, key);
        ni != nullptr && ni->inserted != kNone)
        return Element{kNone, ni->inserted};
    return Element{last_in_text(*ix, section, name, key), kNone};
}

// CONF_doc_set(_raw) of a name defined now, kept aside: its line, alone,
// gets the new value, as replace_local gives it.
int replace_pending(CONF_DOC *doc, LineIndex *ix, Element def, const char *name, const char *value,
                    bool raw) {
    Pending &p = ix->pending;
    if (def.line != kNone && first_line_of(doc, *ix, def.line) == 0) return kUndecided;
    const LineView old =
        def.line != kNone ? view_line(doc, *ix, def.line) : view_change(p, def.change);
    const CONF_DOC window = window_of(old);
    Structure &was = checked(&ix->line_was, kDefaultSection, name);
    if (!reads_alone(window.text, 0, window.length, &was, false, false)) return kUndecided;
    if (std::strchr(was.value_text(), '$') != nullptr) return kUndecided;
    if (stores_wanted(was, value, raw)) return edit_made(doc);
    InlineText literal_room;
    Text &literal = literal_room.text;
    NewValue v{};
    if (const int err = written_value(value, raw, &literal, &v); err != 0) return outcome(doc, err);
    char room[256];
    Draft out(&window, room, sizeof room);
    if (!out.reserve(v.length + 1) || !replace_value(&window, was, v, &out))
        return outcome(doc, kErrMemory);
    Structure &now = checked(&ix->line_now, kDefaultSection, name);
    if (!reads_alone(out.text.data(), 0, out.text.size(), &now, false, false) ||
        !stores_wanted(now, value, raw))
        return kUndecided;
    const int edit = doc->edits < INT_MAX ? doc->edits + 1 : INT_MAX;
    size_t count = 0;
    CONF_DOC_LINE *origins = draft_origins(&window, out, edit, &count);
    if (origins == nullptr || !reserve_change(&p, out.text.size(), count)) {
        std::free(origins);
        return outcome(doc, kErrMemory);
    }
    const size_t c = def.line != kNone ? change_for_line(doc, ix, def.line) : def.change;
    // The draft's last line is the one after the line's own line end.
    keep_text(&p, c, out.text.data(), out.text.size(), origins, count - 1);
    std::free(origins);
    return edit_made(doc);
}

// Where a new entry goes among the text as it reads now: after an index
// line (at its end), after an insertion, or at the end of the text.
struct Spot {
    size_t after_line = kNone;  // an index line: the insertions at its end come after
    size_t after_change = kNone;
    bool at_end = false;
    size_t indent_from = kNone;     // the entry line whose indentation it takes: a line or
    bool indent_is_change = false;  // a change
    bool new_block = false;
};

// The last entry of the section inserted and not cut since (kNone).
size_t live_inserted(Pending *p, SectionInfo *si) {
    while (si->last_inserted != kNone && p->changes[si->last_inserted].cut)
        si->last_inserted = p->changes[si->last_inserted].before;
    return si->last_inserted;
}

// The last entry line of the section, not cut, among the index lines
// [begin, end) (kNone).
size_t last_in_run(const LineIndex &ix, const char *section, size_t begin, size_t end) {
    SectionMatch in_section(ix, section);
    for (size_t i = end; i-- > begin;) {
        if (!ix.is_header(i) && in_section(i) && !cut_line(ix.pending, i)) return i;
    }
    return kNone;
}

// The last entry line, not cut, after the section's last header (or
// before the first header, for a section without one).
size_t base_tail(LineIndex *ix, SectionInfo *si, const char *section) {
    const Pending &p = ix->pending;
    if (si->tail_known && (si->base_tail == kNone || !cut_line(p, si->base_tail)))
        return si->base_tail;
    const bool has_header = si->header != kNone;
    const size_t begin = has_header ? si->header + 1 : 0;
    size_t end = ix->lines.size();
    const size_t next_rank = has_header ? si->header_rank + 1 : 0;
    if (next_rank < p.headers.size()) end = p.headers[next_rank];
    // A tail that was cut: the one before it is the last one left.
    if (si->tail_known && si->base_tail != kNone) end = si->base_tail;
    si->base_tail = last_in_run(*ix, section, begin, end);
    si->tail_known = true;
    return si->base_tail;
}

// Where a new entry of the section goes, as place_indexed finds it in the
// text as it reads now; kUndecided where that needs the whole text.
int place_pending(LineIndex *ix, SectionInfo *si, const char *section, Spot *spot) {
    Pending &p = ix->pending;
    const bool is_default = std::strcmp(section, kDefaultSection) == 0;
    // A section without a header or insertions yet: the default one has its
    // run before the first header, which a stand-in for it tells.
    SectionInfo stand_in{0, hash_string(section), kNone, 0, kNone, false, kNone, kNone};
    if (si == nullptr && is_default) si = &stand_in;
    if (si == nullptr || (si->header == kNone && si->new_header == kNone && !is_default)) {
        spot->at_end = true;
        spot->new_block = true;
        return 0;
    }
    if (const size_t c = live_inserted(&p, si); c != kNone) {
        spot->after_change = c;
        spot->indent_from = c;
        spot->indent_is_change = true;
        return 0;
    }
    if (si->new_header != kNone) {
        spot->after_change = si->new_header;
        return 0;
    }
    if (const size_t t = base_tail(ix, si, section); t != kNone) {
        spot->after_line = t;
        spot->indent_from = t;
        return 0;
    }
    if (si->header != kNone) {
        spot->after_line = si->header;
        return 0;
    }
    // The default section, with no header and no entry: before the first
    // header (which takes the whole text), or at the end.
    if (!p.headers.empty() || p.new_headers > 0) return kUndecided;
    spot->at_end = true;
    return 0;
}

// The bytes just before the spot: its element's text, or the text's end.
LineView before_spot(const CONF_DOC *doc, const LineIndex &ix, const Spot &s) {
    const Pending &p = ix.pending;
    if (s.after_change != kNone) return view_change(p, s.after_change);
    if (s.after_line != kNone) return view_line(doc, ix, s.after_line);
    if (p.end_last != kNone) return view_change(p, p.end_last);
    return LineView{doc->text, doc->length, doc->origins, doc->origin_count};
}

// Links insertion c in at the spot (after room was made): after its
// element, before the insertions already there.
void link_at(const CONF_DOC *doc, LineIndex *ix, const Spot &s, size_t c) {
    Pending &p = ix->pending;
    size_t after = s.after_change;
    if (after == kNone && s.at_end) after = p.end_last;
    Change &ch = p.changes[c];
    if (after != kNone) {
        Change &a = p.changes[after];
        ch.at = a.at;
        ch.at_line = a.at_line;
        ch.prev = after;
        ch.next = a.next;
        if (a.next != kNone) p.changes[a.next].prev = c;
        a.next = c;
    } else {
        const bool end = s.after_line == kNone;
        ch.at = end ? doc->length : ix->lines[s.after_line].span.end;
        ch.at_line = end ? doc->origin_count - 1 : line_after(doc, *ix, s.after_line);
        size_t *first = first_at_place(ix, ch.at);
        if (first == nullptr) {
            p.place_slots.add(ch.at * 0x9E3779B97F4A7C15ull, p.places.size());
            (void)p.places.push(Place{ch.at, kNone});  // reserved
            first = &p.places[p.places.size() - 1].first;
        }
        ch.prev = kNone;
        ch.next = *first;
        if (*first != kNone) p.changes[*first].prev = c;
        *first = c;
    }
    if (ch.at == doc->length && ch.next == kNone) p.end_last = c;
}

// Takes insertion c out of its place's list.
void unlink(const CONF_DOC *doc, LineIndex *ix, size_t c) {
    Pending &p = ix->pending;
    Change &ch = p.changes[c];
    if (ch.prev != kNone) {
        p.changes[ch.prev].next = ch.next;
    } else {
        *first_at_place(ix, ch.at) = ch.next;
    }
    if (ch.next != kNone) p.changes[ch.next].prev = ch.prev;
    if (p.end_last == c) p.end_last = ch.at == doc->length ? ch.prev : p.end_last;
    ch.prev = ch.next = kNone;
}

// Cuts insertion c: out of its place's list, with no text left (after
// room was made).
void cut_inserted(const CONF_DOC *doc, LineIndex *ix, size_t c) {
    Pending &p = ix->pending;
    unlink(doc, ix, c);
    keep_text(&p, c, "", 0, nullptr, 0);
    p.changes[c].cut = true;
    if (!is_blank(p.changes[c])) --p.index_count;
}

// Keeps insertion number c, a header (section only) or an entry line.
size_t new_insertion(Pending *p, size_t section_at, size_t name_at, uint64_t key, size_t head) {
    const size_t c = p->changes.size();
    (void)p->changes.push(Change{0, 0, kNone, kNone, kNone, 0, 0, 0, 0, head, section_at, name_at,
                                 key, kNone, false});
    return c;
}

// CONF_doc_set(_raw) of a name not defined now, kept aside: the lines
// written are checked alone, as add_local checks them.
int add_pending(CONF_DOC *doc, LineIndex *ix, const char *section, const char *name,
                const char *value, bool raw) {
    Pending &p = ix->pending;
    const uint64_t section_key = hash_string(section);
    SectionInfo *si = find_section(ix, section, section_key);
    Spot spot;
    if (place_pending(ix, si, section, &spot) != 0) return kUndecided;
    // At the end of the text with no insertion there, the line before is
    // the text's last: not when cuts took it (the line left last may end
    // otherwise).
    if (spot.at_end && p.end_last == kNone && p.cut_end == doc->length) return kUndecided;
    const LineView before = before_spot(doc, *ix, spot);
    if (before.length == 0 || before.text[before.length - 1] != '\n' ||
        continues_at(before.text, before.length))
        return kUndecided;
    InlineText literal_room;
    Text &literal = literal_room.text;
    NewValue v{};
    if (const int err = written_value(value, raw, &literal, &v); err != 0) return outcome(doc, err);
    // The new lines are drafted after the line whose indentation they take
    // (or a lone line end), which is what add_entry looks at.
    LineView after = LineView{"\n", 1, nullptr, 0};
    if (spot.indent_from != kNone)
        after = spot.indent_is_change ? view_change(p, spot.indent_from)
                                      : view_line(doc, *ix, spot.indent_from);
    const CONF_DOC window = window_of(after);
    Insertion ins{window.length, {0, 0}, spot.new_block, false};
    if (spot.indent_from != kNone) ins.indent = Span{0, indent_end(window.text, 0, window.length)};
    char room[256];
    Draft out(&window, room, sizeof room);
    if (!out.reserve(std::strlen(name) + v.length + 2 * std::strlen(section) + 16))
        return outcome(doc, kErrMemory);
    const char *eol = line_end_of(doc);
    if (add_entry(&window, eol, ins, section, name, v, &out) != 0) return kUndecided;
    Structure &now = checked(&ix->line_now, section, name);
    if (!reads_alone(out.text.data(), window.length, out.text.size(), &now, spot.new_block,
                     false) ||
        !stores_wanted(now, value, raw))
        return kUndecided;
    // A new block's header follows one blank line, its own (not a line end
    // that ends the line before).
    if (spot.new_block && now.headers[0].span.begin != window.length + std::strlen(eol))
        return kUndecided;
    // Room for everything kept, before anything is.
    const size_t written = out.text.size() - window.length;
    const size_t lines = count_newlines(out.text.data() + window.length, written);
    const size_t name_bytes = std::strlen(section) + std::strlen(name) + 2;
    if (!names_fit(ix->names, name_bytes + 1)) return kUndecided;
    // The index's lines are put together where they are, past room for
    // every index line inserted (see flush).
    if (!reserve_change(&p, written, lines) || !p.origins.reserve(p.origins.size() + 2 * lines) ||
        !ix->lines.reserve(ix->lines.size() + p.inserted_lines + 2) ||
        !ix->names.reserve(ix->names.size() + name_bytes + 1) || !reserve_names(&p, 1) ||
        !p.sections.reserve(p.sections.size() + 1) ||
        !p.section_slots.reserve(p.sections.size() + 1))
        return outcome(doc, kErrMemory);
    const int edit = doc->edits < INT_MAX ? doc->edits + 1 : INT_MAX;
    GrowArray<CONF_DOC_LINE> fresh;
    if (!fresh.reserve(lines)) return outcome(doc, kErrMemory);
    for (size_t i = 0; i < lines; ++i) (void)fresh.push(CONF_DOC_LINE{0, edit, 0});

    const size_t section_at = ix->add_name(section);
    const size_t name_at = ix->add_name(name);
    const uint64_t key = hash_string(name, section_key);
    si = find_section(ix, section, section_key);  // the reserves may have moved it
    if (si == nullptr) {
        p.section_slots.add(section_key, p.sections.size());
        (void)p.sections.push(
            SectionInfo{section_at, section_key, kNone, 0, kNone, false, kNone, kNone});
        si = &p.sections[p.sections.size() - 1];
    }
    const char *text = out.text.data() + window.length;
    size_t entry_from = 0;
    if (spot.new_block) {
        // The blank line, the header and the entry are three insertions:
        // the blank line ends the block before, which a removal of the
        // section leaves (or a removal of the block before takes).
        const size_t header_from = now.headers[0].span.begin - window.length;
        entry_from = now.headers[0].span.end - window.length;
        const size_t b = new_insertion(&p, kNoName, kNoName, 0, 0);
        keep_text(&p, b, text, header_from, fresh.begin(), count_newlines(text, header_from));
        link_at(doc, ix, spot, b);
        spot = Spot{};
        spot.after_change = b;
        const size_t h = new_insertion(&p, section_at, kNoName, section_key, 0);
        const size_t header_lines = count_newlines(text + header_from, entry_from - header_from);
        keep_text(&p, h, text + header_from, entry_from - header_from, fresh.begin(), header_lines);
        link_at(doc, ix, spot, h);
        si->new_header = h;
        ++p.new_headers;
        ++p.index_count;
        ++p.inserted_lines;
        spot = Spot{};
        spot.after_change = h;
    }
    const size_t e = new_insertion(&p, section_at, name_at, key, 0);
    keep_text(&p, e, text + entry_from, written - entry_from, fresh.begin(),
              count_newlines(text + entry_from, written - entry_from));
    link_at(doc, ix, spot, e);
    p.changes[e].before = si->last_inserted;
    si->last_inserted = e;
    ++p.index_count;
    ++p.inserted_lines;
    touch_name(ix, section, name, key, section_at, name_at)->inserted = e;
    if (ends_text(doc, ix, e)) p.tail_origin = CONF_DOC_LINE{0, edit, 0};
    return edit_made(doc);
}

// CONF_doc_unset kept aside: every definition of the name is cut.
int unset_pending(CONF_DOC *doc, LineIndex *ix, const char *section, const char *name) {
    Pending &p = ix->pending;
    const uint64_t key = hash_string(name, hash_string(section));
    NameInfo *ni = record_of(ix, section, name, key);
    const bool inserted = ni != nullptr && ni->inserted != kNone;
    size_t count = inserted ? 1 : 0;
    bool at_end = inserted && ends_text(doc, ix, ni->inserted);
    const size_t last = last_in_text(*ix, section, name, key);
    for (size_t i = last; i != kNone; i = earlier_definition(*ix, i)) {
        if (first_line_of(doc, *ix, i) == 0) return kUndecided;
        at_end = at_end || line_ends_text(doc, ix, i);
        ++count;
    }
    if (count == 0) return edit_made(doc);
    if (!p.changes.reserve(p.changes.size() + count) || !reserve_room(&p, 0, 0, count))
        return outcome(doc, kErrMemory);
    // Each cut leaves the earlier definitions on the chain as they were.
    for (size_t i = last; i != kNone;) {
        const size_t earlier = earlier_definition(*ix, i);
        cut_base(doc, ix, i);
        i = earlier;
    }
    if (inserted) {
        cut_inserted(doc, ix, ni->inserted);
        ni->inserted = kNone;
    }
    if (at_end)
        p.tail_origin = CONF_DOC_LINE{0, doc->edits < INT_MAX ? doc->edits + 1 : INT_MAX, 0};
    edit_made(doc);
    return static_cast<int>(count);
}

// ---- Edits kept aside: a section removed --------------------------------------

// Where the lines of the block before index line h (a header) end, in the
// text as it reads now: past the header before it (prev, kNone: none), the
// entry lines left and the insertions after lines of the block; never
// inside the byte-order mark.  The floor of h's comment block.
size_t floor_before(const CONF_DOC *doc, LineIndex *ix, size_t prev, size_t h) {
    const Pending &p = ix->pending;
    size_t floor = prev != kNone ? ix->lines[prev].span.end : 0;
    floor = std::max<size_t>(floor, starts_with_mark(doc->text, doc->length) ? 3 : 0);
    // The last line left (or followed by an insertion) ends furthest.
    for (size_t i = h; i-- > (prev != kNone ? prev + 1 : 0);) {
        const size_t end = ix->lines[i].span.end;
        const size_t *first = first_at_place(ix, end);
        if (!cut_line(p, i) || (first != nullptr && *first != kNone)) return std::max(floor, end);
    }
    return floor;
}

// comment_block_start in the text as it reads now: from at (a header's
// begin) back over comment lines to the floor, the lines and gaps cut
// being no lines at all.
size_t block_start(const CONF_DOC *doc, LineIndex *ix, size_t floor, size_t at) {
    const Pending &p = ix->pending;
    const char *t = doc->text;
    while (at > floor) {
        if (const size_t g = gap_ending_at(p, at); g != kNone) {
            at = p.changes[g].at;
            continue;
        }
        const size_t i = ix->first_at(at);
        if (i > 0 && ix->lines[i - 1].span.end == at && cut_line(p, i - 1)) {
            at = ix->lines[i - 1].span.begin;
            continue;
        }
        if (t[at - 1] != '\n') break;
        size_t begin = at - 1;
        while (begin > floor && t[begin - 1] != '\n') --begin;
        size_t k = begin;
        while (k < at && is_class(t[k], CC_SPACE)) ++k;
        if (k == at) break;  // a blank line
        at = begin;
    }
    return at;
}

// What a removal cuts: index lines that changes hold, gaps of the text's
// bytes with the index lines in them (runs that no change holds), and
// insertions; and the physical lines and bytes they hold now.
// A gap a removal takes: the text's bytes, the index lines in them
// [begin, end), and the line ends they hold.
struct GapCut {
    Span bytes;
    Span lines;
    size_t newlines;
};

struct Removal {
    GrowArray<size_t> lines;
    GrowArray<GapCut> gaps;
    GrowArray<size_t> inserted;
    GrowArray<size_t> ends;    // where each stretch cut ends
    bool through_end = false;  // an inserted block cut runs to the end of the text
    size_t physical = 0;
    size_t bytes = 0;
};

// Notes the physical lines and bytes of index line i as it reads now,
// which the removal takes (the line itself is noted by the caller).
void take_line(const CONF_DOC *doc, const LineIndex &ix, size_t i, Removal *r) {
    if (const size_t c = change_of(ix.pending, i); c != kNone) {
        r->physical += ix.pending.changes[c].lines;
        r->bytes += ix.pending.changes[c].length;
        return;
    }
    const Span s = ix.lines[i].span;
    r->physical += count_newlines(doc->text + s.begin, s.end - s.begin);
    r->bytes += s.end - s.begin;
}

// Notes insertion c, which the removal takes.
bool take_insertion(const Change &ch, size_t c, Removal *r) {
    r->physical += ch.lines;
    r->bytes += ch.length;
    return r->inserted.push(c);
}

// Whether inserted header h begins its block: an insertion (its blank
// line, or a line of the block before) is right above it.  With only the
// text's bytes above, their last comment lines would be its comment block.
bool begins_block(const Pending &p, size_t h) { return p.changes[h].prev != kNone; }

// Notes the insertions at offset at, which the section's removal takes, up
// to a new section's header (only the end of the text has those: its block
// begins there): false when one is another section's entry, or the header
// takes comment lines of the text above it (the whole text decides).  A
// new section's blank line belongs to the block before it.
bool take_insertions_at(LineIndex *ix, size_t at, const char *section, Removal *r) {
    const Pending &p = ix->pending;
    const size_t *first = first_at_place(ix, at);
    for (size_t c = first != nullptr ? *first : kNone; c != kNone; c = p.changes[c].next) {
        const Change &ch = p.changes[c];
        if (is_new_header(ch)) return begins_block(p, c);
        if (!is_blank(ch) && std::strcmp(ix->names.data() + ch.section, section) != 0) return false;
        if (!take_insertion(ch, c, r)) return false;
    }
    return true;
}

// Notes the block of the section's inserted header h, which the removal
// takes: the header and what follows it at the end of the text, up to the
// next new section's header.  Its blank line stays with the block before.
// False when the block would begin above h (the whole text decides).
bool take_new_block(LineIndex *ix, size_t h, Removal *r) {
    const Pending &p = ix->pending;
    if (!begins_block(p, h)) return false;
    for (size_t c = h;; c = p.changes[c].next) {
        if (c == kNone) {
            r->through_end = true;
            break;
        }
        const Change &ch = p.changes[c];
        if (c != h && is_new_header(ch)) break;
        if (!is_blank(ch) && std::strcmp(ix->names.data() + ch.section,
                                         ix->names.data() + p.changes[h].section) != 0)
            return false;
        if (!take_insertion(ch, c, r)) return false;
    }
    return true;
}

// Notes the gap of the text's bytes [begin, end), with the index lines
// [first, last) in it, which the removal takes.
bool take_gap(const CONF_DOC *doc, size_t begin, size_t end, size_t first, size_t last,
              Removal *r) {
    if (end == begin) return true;
    const size_t newlines = count_newlines(doc->text + begin, end - begin);
    r->physical += newlines;
    r->bytes += end - begin;
    return r->gaps.push(GapCut{{begin, end}, {first, last}, newlines});
}

// Notes what the text's bytes [a, b) hold now, all of which go: false when
// a line of another section is among them, or memory runs out.  The bytes
// that no change holds go as gaps, the index lines in them with them: a
// removal costs a change for each stretch, not for each line.
bool take_stretch(const CONF_DOC *doc, LineIndex *ix, const char *section, size_t a, size_t b,
                  Removal *r) {
    const Pending &p = ix->pending;
    SectionMatch in_section(*ix, section);
    size_t i = ix->first_at(a);
    size_t gap = first_gap_from(p, a);
    bool taken_at_b = false;  // the insertions at b, after a line that ends there
    size_t from = a;          // where the gap being gathered begins
    size_t first = i;         // and its first index line
    for (size_t at = a; at < b;) {
        if (gap < p.gaps.size() && p.changes[p.gaps[gap]].at == at) {
            if (!take_gap(doc, from, at, first, i, r)) return false;
            at = p.changes[p.gaps[gap++]].gap_end;
            while (i < ix->lines.size() && ix->lines[i].span.begin < at) ++i;
            from = at;
            first = i;
            continue;
        }
        if (i < ix->lines.size() && ix->lines[i].span.begin == at) {
            const Span span = ix->lines[i].span;
            if (change_of(p, i) != kNone) {
                // A line rewritten or cut is a change of its own: the gap
                // stops before it.
                if (!take_gap(doc, from, at, first, i, r)) return false;
                if (!cut_line(p, i)) {
                    if (!in_section(i) || !r->lines.push(i)) return false;
                    take_line(doc, *ix, i, r);
                }
                from = span.end;
                first = i + 1;
            } else if (!in_section(i)) {
                return false;
            }
            if (span.end > b || !take_insertions_at(ix, span.end, section, r)) return false;
            taken_at_b = span.end == b;
            at = span.end;
            ++i;
            continue;
        }
        size_t next = b;
        if (i < ix->lines.size()) next = std::min(next, ix->lines[i].span.begin);
        if (gap < p.gaps.size()) next = std::min(next, p.changes[p.gaps[gap]].at);
        at = next;
        taken_at_b = false;
    }
    if (!take_gap(doc, from, b, first, i, r)) return false;
    // The insertions at the end of the text come after its last bytes.
    if (b == doc->length && !taken_at_b && !take_insertions_at(ix, b, section, r)) return false;
    return r->ends.push(b);
}

// The physical line that begins at offset at (a line's start).
size_t line_at(const CONF_DOC *doc, const LineIndex &ix, size_t at) {
    const size_t i = ix.first_at(at);
    if (i == 0) return count_newlines(doc->text, at);
    const size_t end = ix.lines[i - 1].span.end;
    if (end > at) return count_newlines(doc->text, at);  // not after a whole line
    return line_after(doc, ix, i - 1) + count_newlines(doc->text + end, at - end);
}

// The section's header lines that are not cut, in text order, from its
// chain: false when memory runs out.
bool section_headers(const LineIndex &ix, const char *section, uint64_t key,
                     GrowArray<size_t> *out) {
    const Pending &p = ix.pending;
    for (uint32_t i = p.heads[key & (p.heads.size() - 1)]; i != kNoLink; i = p.links[i].next) {
        if (p.links[i].key == static_cast<uint32_t>(key) && ix.is_header(i) &&
            ix.in_section(i, section) && !cut_line(p, i) && !out->push(i))
            return false;
    }
    std::reverse(out->begin(), out->end());
    return true;
}

// The last header not cut before the k-th header, and the first after it
// (kNone when there is none).
size_t live_header_before(const Pending &p, size_t k) {
    while (k > 0 && cut_line(p, p.headers[k - 1])) --k;
    return k > 0 ? p.headers[k - 1] : kNone;
}
size_t live_header_after(const Pending &p, size_t k) {
    for (++k; k < p.headers.size(); ++k) {
        if (!cut_line(p, p.headers[k])) return p.headers[k];
    }
    return kNone;
}

// Finds what removing the section cuts, in the text as it reads now: the
// blocks of its headers (from each one's comment block to the next
// header's), less nothing (a line of another section in them leaves it to
// the whole text), and its entries elsewhere.  kUndecided, or 0.
int find_removal(const CONF_DOC *doc, LineIndex *ix, const char *section, Removal *r) {
    const Pending &p = ix->pending;
    const uint64_t key = hash_string(section);
    GrowArray<size_t> mine;  // the section's headers left, in order
    if (!section_headers(*ix, section, key, &mine)) return kUndecided;
    GrowArray<Span> blocks;
    for (const size_t h : mine) {
        const size_t k = rank_of(p.headers, h);
        const size_t prev = live_header_before(p, k);
        const size_t next = live_header_after(p, k);
        const size_t begin =
            block_start(doc, ix, floor_before(doc, ix, prev, h), ix->lines[h].span.begin);
        // The last block runs to the end of the text, with the insertions
        // there up to a new section's header.
        size_t end = doc->length;
        if (next != kNone)
            end = block_start(doc, ix, floor_before(doc, ix, h, next), ix->lines[next].span.begin);
        if (!blocks.push(Span{begin, end}) || !take_stretch(doc, ix, section, begin, end, r))
            return kUndecided;
    }
    // Its entries elsewhere, which are among the strays.
    size_t block = 0;
    for (const size_t i : p.strays) {
        const Span span = ix->lines[i].span;
        while (block < blocks.size() && blocks[block].end <= span.begin) ++block;
        if (block < blocks.size() && blocks[block].begin <= span.begin) continue;
        if (ix->is_header(i) || cut_line(p, i) || !ix->in_section(i, section)) continue;
        if (!r->lines.push(i) || !r->ends.push(span.end)) return kUndecided;
        take_line(doc, *ix, i, r);
    }
    return 0;
}

// Cuts the index lines [run.begin, run.end), which a gap holds (after room
// was made).
void cut_run(Pending *p, Span run) {
    if (run.end == run.begin) return;
    const Span *at = std::lower_bound(p->cut_runs.begin(), p->cut_runs.end(), run.begin,
                                      [](const Span &r, size_t line) { return r.begin < line; });
    const auto k = static_cast<size_t>(at - p->cut_runs.begin());
    (void)p->cut_runs.push(run);  // reserved
    std::memmove(p->cut_runs.begin() + k + 1, p->cut_runs.begin() + k,
                 (p->cut_runs.size() - 1 - k) * sizeof(Span));
    p->cut_runs[k] = run;
    p->index_count -= run.end - run.begin;
}

// Cuts the gap cut.bytes, which holds the index lines cut.lines and no
// change (after room was made).
void cut_gap(const CONF_DOC *doc, LineIndex *ix, const GapCut &cut) {
    Pending &p = ix->pending;
    const Span g = cut.bytes;
    cut_run(&p, cut.lines);
    const size_t c = p.changes.size();
    Change ch{g.begin, line_at(doc, *ix, g.begin),
              kNone,   kNone,
              kNone,   0,
              0,       0,
              0,       0,
              kNoName, kNoName,
              0,       kNone,
              true};
    ch.gap_end = g.end;
    (void)p.changes.push(ch);  // reserved
    const size_t k = first_gap_from(p, g.begin);
    (void)p.gaps.push(c);
    std::memmove(p.gaps.begin() + k + 1, p.gaps.begin() + k,
                 (p.gaps.size() - 1 - k) * sizeof(size_t));
    p.gaps[k] = c;
    p.length -= g.end - g.begin;
    p.cut_end = std::max(p.cut_end, g.end);
    p.line_count -= cut.newlines;
}

// CONF_doc_remove_section kept aside: the section's blocks and entries are
// cut as the whole text would cut them.  Not for a section with entries
// inserted and no header; nor for cuts that reach the text's first line.
int remove_pending(CONF_DOC *doc, LineIndex *ix, const char *section) {
    Pending &p = ix->pending;
    SectionInfo *si = find_section(ix, section, hash_string(section));
    // Its insertions are in its last block, unless it has no header.  A
    // header inserted is its only one left: it is inserted only then.
    if (si != nullptr && si->header == kNone && si->new_header == kNone &&
        live_inserted(&p, si) != kNone)
        return kUndecided;
    Removal r;
    if (find_removal(doc, ix, section, &r) != 0) return kUndecided;
    if (si != nullptr && si->new_header != kNone && !take_new_block(ix, si->new_header, &r))
        return kUndecided;
    const size_t first_end =
        static_cast<size_t>(static_cast<const char *>(std::memchr(doc->text, '\n', doc->length)) -
                            doc->text) +
        1;
    for (const GapCut &g : r.gaps) {
        if (g.bytes.begin < first_end) return kUndecided;
    }
    for (const size_t i : r.lines) {
        if (ix->lines[i].span.begin < first_end) return kUndecided;
    }
    if (r.physical > static_cast<size_t>(INT_MAX)) return kUndecided;
    const size_t more = r.lines.size() + r.gaps.size();
    if (!p.changes.reserve(p.changes.size() + more) ||
        !p.gaps.reserve(p.gaps.size() + r.gaps.size()) ||
        !p.cut_runs.reserve(p.cut_runs.size() + r.gaps.size()) || !reserve_room(&p, 0, 0, more))
        return outcome(doc, kErrMemory);
    for (const size_t i : r.lines) cut_base(doc, ix, i);
    for (const size_t c : r.inserted) {
        cut_inserted(doc, ix, c);
        const Change &ch = p.changes[c];
        if (ch.name == kNoName) continue;
        NameInfo *ni = record_of(ix, section, ix->names.data() + ch.name, ch.key);
        if (ni != nullptr) ni->inserted = kNone;
    }
    for (const GapCut &g : r.gaps) cut_gap(doc, ix, g);
    si = find_section(ix, section, hash_string(section));
    if (si != nullptr) *si = SectionInfo{si->section, si->key, kNone, 0, kNone, true, kNone, kNone};
    bool at_end = r.through_end;
    for (const size_t end : r.ends) at_end = at_end || nothing_after(doc, ix, end, true);
    if (at_end)
        p.tail_origin = CONF_DOC_LINE{0, doc->edits < INT_MAX ? doc->edits + 1 : INT_MAX, 0};
    edit_made(doc);
    return static_cast<int>(r.physical);
}

// CONF_doc_remove_section kept aside, or kUndecided.
int remove_kept(CONF_DOC *doc, const char *section) {
    LineIndex *ix = ready_index(doc);
    if (ix == nullptr || doc->length == 0 || doc->text[doc->length - 1] != '\n') return kUndecided;
    if (!ix->pending.ready && !prepare(doc, ix)) return kUndecided;
    return remove_pending(doc, ix, section);
}

// ---- Edits kept aside: the text put together --------------------------------

class Assembler {
  public:
    // The new index lines go to lines, the old ones (count of them, the
    // index's) being read at old: the index's own block may be both, its
    // lines moved up past room for every line inserted, as the new lines
    // never overtake the old ones read (see flush).
    Assembler(const CONF_DOC *doc, const LineIndex &ix, Assembly *out, GrowArray<IndexLine> *lines,
              const IndexLine *old, size_t count)
        : doc_(doc), p_(ix.pending), out_(out), lines_(lines), old_(old), count_(count) {}
    // Where each index line (kNone: cut) and each insertion goes among the
    // new index lines, told to new_of_line and new_of_change when not null.
    void map_into(size_t *new_of_line, size_t *new_of_change) {
        new_of_line_ = new_of_line;
        new_of_change_ = new_of_change;
    }

    // 0, or kErrMemory.
    int run() {
        GrowArray<Event> &events = out_->events;
        events.clear();
        if (!events.reserve(p_.changes.size()) || !out_->text.reserve(p_.length + 1) ||
            !out_->origins.reserve(p_.line_count) || !lines_->reserve(p_.index_count))
            return kErrMemory;
        for (size_t c = 0; c < p_.changes.size(); ++c) {
            const Change &ch = p_.changes[c];
            // Offsets are below half the address space.
            const uint64_t order = (uint64_t{ch.at} << 1) | (is_insertion(ch) ? 0 : 1);
            if (!is_insertion(ch) || (!ch.cut && ch.prev == kNone)) (void)events.push({order, c});
        }
        std::sort(events.begin(), events.end(),
                  [](const Event &a, const Event &b) { return a.order < b.order; });
        for (const Event &e : events) {
            const size_t c = e.change;
            const Change &ch = p_.changes[c];
            copy_to(ch.at, ch.at_line);
            if (is_insertion(ch)) {
                for (size_t i = c; i != kNone; i = p_.changes[i].next) write(i);
                continue;
            }
            if (is_gap(ch)) {
                // The index lines in the gap go with it.
                while (line_ < count_ && old_[line_].span.begin < ch.gap_end) ++line_;
                at_ = ch.gap_end;
                at_line_ = ch.at_line + count_newlines(doc_->text + ch.at, ch.gap_end - ch.at);
                continue;
            }
            if (new_of_line_ != nullptr) new_of_line_[ch.line] = ch.cut ? kNone : lines_->size();
            const Span s = old_[ch.line].span;  // read before the line is written over
            if (!ch.cut) write(c);
            at_ = s.end;
            at_line_ = ch.at_line + count_newlines(doc_->text + s.begin, s.end - s.begin);
            line_ = ch.line + 1;
        }
        copy_to(doc_->length, doc_->origin_count - 1);
        (void)out_->origins.push(p_.tail_origin);
        out_->text.terminate();
        return 0;
    }

  private:
    // Copies the text's bytes, origins and index lines from where the copy
    // stands up to offset to, which begins physical line to_line.
    void copy_to(size_t to, size_t to_line) {
        const size_t shift = out_->text.size() - at_;
        size_t end = line_;
        while (end < count_ && old_[end].span.begin < to) ++end;
        const size_t first = lines_->size();
        lines_->append_reserved(old_ + line_, end - line_);
        for (size_t i = first; i < lines_->size(); ++i) {
            (*lines_)[i].span.begin += shift;
            (*lines_)[i].span.end += shift;
        }
        if (new_of_line_ != nullptr) {
            for (size_t i = line_; i < end; ++i) new_of_line_[i] = first + (i - line_);
        }
        line_ = end;
        out_->text.append_reserved(doc_->text + at_, to - at_);
        if (to_line > at_line_)
            out_->origins.append_reserved(doc_->origins + at_line_, to_line - at_line_);
        at_ = to;
        at_line_ = to_line;
    }
    void write(size_t c) {
        const Change &ch = p_.changes[c];
        if (new_of_change_ != nullptr) new_of_change_[c] = lines_->size();
        const size_t at = out_->text.size();
        out_->text.append_reserved(p_.bytes.data() + ch.bytes, ch.length);
        for (size_t i = 0; i < ch.lines; ++i) (void)out_->origins.push(p_.origins[ch.origins + i]);
        if (is_blank(ch)) return;
        (void)lines_->push(
            IndexLine{{at + ch.head, at + ch.length},
                      static_cast<uint32_t>(ch.section),
                      ch.name == kNoName ? kNoName32 : static_cast<uint32_t>(ch.name),
                      ch.key});
    }

    const CONF_DOC *doc_;
    const Pending &p_;
    Assembly *out_;
    GrowArray<IndexLine> *lines_;
    const IndexLine *old_;
    size_t count_;
    size_t at_ = 0;       // the text's offset the copy stands at
    size_t at_line_ = 0;  // the physical line that begins there
    size_t line_ = 0;     // the index line next
    size_t *new_of_line_ = nullptr;
    size_t *new_of_change_ = nullptr;
};

// Whether changes wait to be put into the document's text.
bool has_pending(const CONF_DOC *doc) {
    return doc->index != nullptr && doc->index->pending.ready &&
           !doc->index->pending.changes.empty();
}

bool carry_tables(const CONF_DOC *doc, LineIndex *ix, const size_t *new_of_line,
                  const size_t *new_of_change);

// Puts the changes kept aside into the document's text, in the room every
// change reserved: it needs no memory, and so cannot fail.  The tables are
// dropped, or with keep_tables carried over to the new lines when there is
// memory for it (an edit that goes on with the index needs them again).
void flush(CONF_DOC *doc, bool keep_tables = false) {
    if (!has_pending(doc)) return;
    LineIndex *ix = doc->index;
    Assembly &a = ix->pending.room;
    GrowArray<size_t> new_of_line;
    GrowArray<size_t> new_of_change;
    const bool mapped = keep_tables && new_of_line.fill(ix->lines.size(), kNone) &&
                        new_of_change.fill(ix->pending.changes.size(), kNone);
    // The index's lines are put together in their own block (the edits made
    // room for every line inserted): moved up by that room first, they are
    // read ahead of the new lines written from the start.
    const size_t count = ix->lines.size();
    const size_t room = ix->pending.inserted_lines;
    IndexLine *block = ix->lines.begin();
    if (count > 0) std::memmove(block + room, block, count * sizeof(IndexLine));
    ix->lines.truncate(0);
    Assembler assembler(doc, *ix, &a, &ix->lines, block + room, count);
    if (mapped) assembler.map_into(new_of_line.begin(), new_of_change.begin());
    (void)assembler.run();  // reserved
    const size_t n = a.text.size();
    const size_t lines = a.origins.size();
    // The room was reserved with slack for more changes.
    a.text.shrink();
    a.origins.shrink();
    ix->lines.shrink();
    ix->names.shrink();  // the names edits added grew it by doubling
    char *text = a.text.release();
    release_text(doc);
    std::free(doc->origins);
    doc->text = text;
    doc->length = n;
    doc->origins = a.origins.release();
    doc->origin_count = lines;
    if (!mapped || !carry_tables(doc, doc->index, new_of_line.begin(), new_of_change.begin()))
        doc->index->pending.clear();
}

// flush for the calls that read the text: they are const to their callers,
// as the text put together is the text they have always seen.
void flush_for_read(const CONF_DOC *doc) { flush(const_cast<CONF_DOC *>(doc)); }

// Carries the tables over to the index's new lines (of the document's new
// text): new_of_line maps each old index line to its new place (kNone:
// gone), new_of_change each insertion (null: none).  The chains are built
// again from the new lines, where what changes defined is now text: the
// names' records go.  No section is hashed again.  False when memory runs
// out: the caller drops the tables.
bool carry_tables(const CONF_DOC *doc, LineIndex *ix, const size_t *new_of_line,
                  const size_t *new_of_change) {
    Pending &p = ix->pending;
    const size_t n = ix->lines.size();
    LineTables t;
    if (!walk_lines(doc, *ix, &t)) return false;
    const GrowArray<size_t> &headers = t.headers;
    for (SectionInfo &si : p.sections) {
        size_t h = si.header != kNone ? new_of_line[si.header] : kNone;
        if (si.new_header != kNone && new_of_change != nullptr) h = new_of_change[si.new_header];
        si = SectionInfo{si.section, si.key, h,     h != kNone ? rank_of(headers, h) : 0,
                         kNone,      false,  kNone, kNone};
    }
    take_tables(&p, &t);
    // What the changes took goes with them.
    Pending done;
    done.names.swap(p.names);
    done.changes.swap(p.changes);
    done.places.swap(p.places);
    done.gaps.swap(p.gaps);
    done.cut_runs.swap(p.cut_runs);
    done.origins.swap(p.origins);
    done.bytes.swap(p.bytes);
    done.room.events.swap(p.room.events);
    p.place_slots.reset();
    p.name_slots.reset();
    p.line_changes.reset();
    p.end_last = kNone;
    p.new_headers = 0;
    p.cut_end = 0;
    p.inserted_lines = 0;
    p.length = doc->length;
    p.line_count = doc->origin_count;
    p.index_count = n;
    p.tail_origin = doc->origins[doc->origin_count - 1];
    return true;
}

// CONF_doc_set(_raw) kept aside, or kUndecided.
int set_pending(CONF_DOC *doc, const char *section, const char *name, const char *value, bool raw) {
    LineIndex *ix = ready_index(doc);
    if (ix == nullptr || doc->length == 0 || doc->text[doc->length - 1] != '\n') return kUndecided;
    if (!ix->pending.ready && !prepare(doc, ix)) return kUndecided;
    const Element def = definition_of(ix, section, name, hash_string(name, hash_string(section)));
    if (def.line != kNone || def.change != kNone)
        return replace_pending(doc, ix, def, name, value, raw);
    return add_pending(doc, ix, section, name, value, raw);
}

// CONF_doc_unset kept aside, or kUndecided.
int unset_kept(CONF_DOC *doc, const char *section, const char *name) {
    LineIndex *ix = ready_index(doc);
    if (ix == nullptr || doc->length == 0 || doc->text[doc->length - 1] != '\n') return kUndecided;
    if (!ix->pending.ready && !prepare(doc, ix)) return kUndecided;
    return unset_pending(doc, ix, section, name);
}

// CONF_doc_set(_raw) made where it happens, or kUndecided.
int set_local(CONF_DOC *doc, const char *section, const char *name, const char *value, bool raw) {
    // A reference's value depends on the text before it.
    if (raw && std::strchr(value, '$') != nullptr) return kUndecided;
    if (const int rc = set_pending(doc, section, name, value, raw); rc != kUndecided) return rc;
    flush(doc);
    LineIndex *index = ready_index(doc);
    if (index == nullptr) return kUndecided;
    const size_t def = index->last_definition(section, name);
    if (def != kNoLine) return replace_local(doc, index, def, name, value, raw);
    return add_local(doc, index, section, name, value, raw);
}

// Drops the index's lines that lie in the cuts (sorted, apart, each made of
// whole logical lines); the others move back by the bytes cut before them.
// new_of_line (when not null) is told where each line went (kNone: cut).
void cut_index(LineIndex *index, const GrowArray<Span> &cuts, size_t *new_of_line = nullptr) {
    size_t kept = 0;
    size_t cut = 0;
    size_t cut_bytes = 0;
    for (size_t i = 0; i < index->lines.size(); ++i) {
        IndexLine line = index->lines[i];
        for (; cut < cuts.size() && cuts[cut].end <= line.span.begin; ++cut)
            cut_bytes += cuts[cut].end - cuts[cut].begin;
        const bool gone = cut < cuts.size() && cuts[cut].begin <= line.span.begin;
        if (new_of_line != nullptr) new_of_line[i] = gone ? kNone : kept;
        if (gone) continue;
        line.span.begin -= cut_bytes;
        line.span.end -= cut_bytes;
        index->lines[kept++] = line;
    }
    index->lines.truncate(kept);
}

// CONF_doc_unset made where it happens, or kUndecided: whole logical lines
// go, so every other line reads as it did.
int unset_local(CONF_DOC *doc, const char *section, const char *name) {
    if (const int rc = unset_kept(doc, section, name); rc != kUndecided) return rc;
    flush(doc);
    LineIndex *index = ready_index(doc);
    if (index == nullptr) return kUndecided;
    const uint64_t key = hash_string(name, hash_string(section));
    GrowArray<Span> cuts;
    for (size_t i = 0; i < index->lines.size(); ++i) {
        if (index->defines(i, section, name, key) && !cuts.push(index->lines[i].span))
            return outcome(doc, kErrMemory);
    }
    if (cuts.size() == 0) return edit_made(doc);
    Draft out(doc);
    int lines = 0;
    if (!out.reserve(0) || !cut_spans(doc, cuts, &out, &lines)) return outcome(doc, kErrMemory);
    if (starts_with_mark(out.text.data(), out.text.size()) &&
        !starts_with_mark(doc->text, doc->length))
        return kUndecided;
    if (const int err = take_draft_keeping(doc, &out, index); err != 0) return err;
    cut_index(index, cuts);
    return static_cast<int>(cuts.size());
}

// CONF_doc_set(_raw); with local, made where it happens when that can be
// decided, else by the whole-text path.
int set_value(CONF_DOC *doc, const char *section, const char *name, const char *value, bool raw,
              bool local) {
    if (doc == nullptr) return kErrNullContext;
    if (name == nullptr) return null_argument(doc, "null name pointer");
    if (value == nullptr)
        return null_argument(doc, raw ? "null raw text pointer" : "null value pointer");
    section = section_or_default(section);
    if (local) {
        if (const int rc = set_local(doc, section, name, value, raw); rc != kUndecided) return rc;
    }
    flush(doc);
    Structure s(section, name);
    if (const int err = scan_doc(doc, &s); err != 0) return err;
    if (s.found && (raw ? std::strcmp(s.value_text(), value) == 0
                        : s.resolved() && std::strcmp(s.value(), value) == 0))
        return edit_made(doc);
    // A raw text ending in an odd run of backslashes either continues the
    // line or loses its last backslash when it expands: not what it says.
    InlineText literal_room;
    Text &literal = literal_room.text;
    NewValue v{};
    if (const int err = written_value(value, raw, &literal, &v); err != 0) return outcome(doc, err);
    Draft out(doc);
    int err = 0;
    if (s.found) {
        err = replace_value(doc, s, v, &out) ? 0 : kErrMemory;
    } else {
        const bool is_default = std::strcmp(section, kDefaultSection) == 0;
        err = add_entry(doc, line_end_of(doc), place_entry(doc, s, is_default), section, name, v,
                        &out);
    }
    if (err == 0) err = confirm(out.text, section, name, value, raw);
    if (err != 0) return outcome(doc, err);
    return take_draft(doc, &out);
}

int compare_spans(const void *a, const void *b) {
    const size_t x = static_cast<const Span *>(a)->begin;
    const size_t y = static_cast<const Span *>(b)->begin;
    return x < y ? -1 : (x > y ? 1 : 0);
}

// Where the last header or entry line before header h ends (0: none).
size_t end_of_line_before(const Structure &s, size_t h) {
    size_t end = h > 0 ? s.headers[h - 1].span.end : 0;
    const size_t block = h > 0 ? h - 1 : kNoBlock;
    for (size_t j = 0; j < s.entries.size(); ++j) {
        if (s.entries[j].block == block && s.entries[j].span.end > end) end = s.entries[j].span.end;
    }
    return end;
}

// Where the comment block directly above header h begins: the comment
// lines with no blank line between them and the header, which belong to
// it.  The header's own start when there is none.  Every line between the
// last header or entry line and the header is a comment or blank (the
// text loaded), so a line that is not all blanks is a comment.
size_t comment_block_start(const Structure &s, const CONF_DOC *doc, size_t h) {
    // A byte-order mark belongs to the text, not to its first line.
    const size_t mark = starts_with_mark(doc->text, doc->length) ? 3 : 0;
    const size_t floor = std::max(end_of_line_before(s, h), mark);
    size_t at = s.headers[h].span.begin;
    while (at > floor && doc->text[at - 1] == '\n') {
        size_t begin = at - 1;
        while (begin > floor && doc->text[begin - 1] != '\n') --begin;
        size_t k = begin;
        while (k < at && is_class(doc->text[k], CC_SPACE)) ++k;
        if (k == at) break;  // a blank line
        at = begin;
    }
    return at;
}

// The spans of the section's blocks, less the lines of other sections'
// entries in them, and of its entries elsewhere.  A block's span begins
// with its header's comment block and ends before the next header's.
bool section_cuts(const Structure &s, const CONF_DOC *doc, GrowArray<Span> *cuts) {
    for (size_t i = 0; i < s.headers.size(); ++i) {
        if (!s.headers[i].target) continue;
        size_t at = comment_block_start(s, doc, i);
        const size_t end =
            i + 1 < s.headers.size() ? comment_block_start(s, doc, i + 1) : doc->length;
        for (size_t j = 0; j < s.entries.size(); ++j) {
            const EntryLine &e = s.entries[j];
            if (e.block != i || e.in_section) continue;
            if (e.span.begin > at && !cuts->push(Span{at, e.span.begin})) return false;
            at = e.span.end;
        }
        if (end > at && !cuts->push(Span{at, end})) return false;
    }
    for (size_t j = 0; j < s.entries.size(); ++j) {
        const EntryLine &e = s.entries[j];
        const bool in_own_block = e.block != kNoBlock && s.headers[e.block].target;
        if (e.in_section && !in_own_block && !cuts->push(e.span)) return false;
    }
    return true;
}

// Removes the spans from the document; the number of physical lines (or
// of spans, with count_spans) removed.
int remove_spans(CONF_DOC *doc, GrowArray<Span> *cuts, bool count_spans) {
    if (cuts->size() == 0) return edit_made(doc);
    std::qsort(&(*cuts)[0], cuts->size(), sizeof(Span), compare_spans);
    Draft out(doc);
    int lines = 0;
    if (!cut_spans(doc, *cuts, &out, &lines)) return outcome(doc, kErrMemory);
    // A line that now comes first and begins with the byte-order mark's
    // bytes would lose them to a load: an empty line stays before it.
    if (starts_with_mark(out.text.data(), out.text.size()) &&
        !starts_with_mark(doc->text, doc->length) && !out.prepend(line_end_of(doc)))
        return outcome(doc, kErrMemory);
    if (const int err = take_draft(doc, &out); err != 0) return err;
    return count_spans ? static_cast<int>(cuts->size()) : lines;
}

int unset_entry(CONF_DOC *doc, const char *section, const char *name, bool local) {
    if (doc == nullptr) return kErrNullContext;
    if (name == nullptr) return null_argument(doc, "null name pointer");
    section = section_or_default(section);
    if (local) {
        if (const int rc = unset_local(doc, section, name); rc != kUndecided) return rc;
    }
    flush(doc);
    Structure s(section, name);
    if (const int err = scan_doc(doc, &s); err != 0) return err;
    GrowArray<Span> cuts;
    for (size_t i = 0; i < s.entries.size(); ++i) {
        if (s.entries[i].is_target && !cuts.push(s.entries[i].span))
            return outcome(doc, kErrMemory);
    }
    return remove_spans(doc, &cuts, true);
}

// What a scan of the text for the section tells (its headers, and every
// entry line with its block), from the index, which a scan gave.
bool structure_of(const LineIndex &index, const char *section, Structure *s) {
    SectionMatch matches(index, section);
    for (size_t i = 0; i < index.lines.size(); ++i) {
        const Span span = index.lines[i].span;
        const bool in_section = matches(i);
        if (index.is_header(i)) {
            if (!s->headers.push(HeaderLine{span, in_section})) return false;
            continue;
        }
        const size_t block = s->headers.size() == 0 ? kNoBlock : s->headers.size() - 1;
        if (!s->entries.push(EntryLine{span, block, in_section, false})) return false;
    }
    return true;
}

// CONF_doc_remove_section made without a scan, the index telling the
// section's lines and losing them; kUndecided when a byte-order mark's
// bytes would come first (the whole-text path keeps an empty line before
// them).
int remove_local(CONF_DOC *doc, const char *section) {
    LineIndex *index = ready_index(doc);
    if (index == nullptr) return kUndecided;
    Structure s(section, nullptr);
    GrowArray<Span> cuts;
    if (!structure_of(*index, section, &s) || !section_cuts(s, doc, &cuts))
        return outcome(doc, kErrMemory);
    if (cuts.size() == 0) return edit_made(doc);
    std::qsort(&cuts[0], cuts.size(), sizeof(Span), compare_spans);
    Draft out(doc);
    int lines = 0;
    if (!out.reserve(0) || !cut_spans(doc, cuts, &out, &lines)) return outcome(doc, kErrMemory);
    if (starts_with_mark(out.text.data(), out.text.size()) &&
        !starts_with_mark(doc->text, doc->length))
        return kUndecided;
    // The tables go on with the lines left, when there is room to map them.
    GrowArray<size_t> new_of_line;
    const bool keep = index->pending.ready && new_of_line.reserve(index->lines.size());
    if (const int err = take_draft_keeping(doc, &out, index, keep); err != 0) return err;
    if (keep) {
        for (size_t i = 0; i < index->lines.size(); ++i) (void)new_of_line.push(kNone);
    }
    cut_index(index, cuts, keep ? new_of_line.begin() : nullptr);
    if (keep && !carry_tables(doc, index, new_of_line.begin(), nullptr)) index->pending.clear();
    return lines;
}

int remove_section(CONF_DOC *doc, const char *section, bool local) {
    if (doc == nullptr) return kErrNullContext;
    if (local) {
        if (const int rc = remove_kept(doc, section_or_default(section)); rc != kUndecided)
            return rc;
    }
    flush(doc, local);
    if (local) {
        if (const int rc = remove_local(doc, section_or_default(section)); rc != kUndecided)
            return rc;
    }
    Structure s(section_or_default(section), nullptr);
    if (const int err = scan_doc(doc, &s); err != 0) return err;
    GrowArray<Span> cuts;
    if (!section_cuts(s, doc, &cuts)) return outcome(doc, kErrMemory);
    return remove_spans(doc, &cuts, false);
}

#ifdef NIVRA_DOC_DIFFERENTIAL
// ---- The differential build -------------------------------------------------
// Every editing call is made twice: on the document, where it happens when
// it can, and on a copy by the whole-text path alone; the two must agree
// in every byte, origin and outcome, and the document's line index must be
// the one a fresh scan of its text gives.  A difference aborts.

[[noreturn]] void differs(const char *what) {
    std::fprintf(stderr, "conf_doc differential check: the %s differs\n", what);
    std::abort();
}

// The document's text, origins and index lines with the changes kept
// aside put in, into a (the document keeps them aside): 0, or kErrMemory.
int assemble_copy(const CONF_DOC *doc, Assembly *a) {
    const LineIndex &ix = *doc->index;
    return Assembler(doc, ix, a, &a->lines, ix.lines.begin(), ix.lines.size()).run();
}

// A copy of the document as it reads now: its text (with the changes kept
// aside put in), origins and edit count, without its file or index; null
// when memory runs out.
CONF_DOC *shadow_of(const CONF_DOC *doc) {
    CONF_DOC *shadow = CONF_doc_new();
    if (shadow == nullptr) return nullptr;
    Assembly a;
    char *text = nullptr;
    CONF_DOC_LINE *origins = nullptr;
    size_t length = doc->length;
    size_t count = doc->origin_count;
    if (has_pending(doc)) {
        if (assemble_copy(doc, &a) == 0) {
            length = a.text.size();
            count = a.origins.size();
            text = a.text.release();
            origins = a.origins.release();
        }
    } else {
        text = copy_bytes(doc->text, doc->length);
        origins = static_cast<CONF_DOC_LINE *>(std::malloc(count * sizeof(CONF_DOC_LINE)));
        if (origins != nullptr) std::memcpy(origins, doc->origins, count * sizeof(CONF_DOC_LINE));
    }
    if (text == nullptr || origins == nullptr) {
        std::free(text);
        std::free(origins);
        CONF_doc_free(shadow);
        return nullptr;
    }
    std::free(shadow->text);
    std::free(shadow->origins);
    shadow->text = text;
    shadow->length = length;
    shadow->origins = origins;
    shadow->origin_count = count;
    shadow->edits = doc->edits;
    return shadow;
}

// The document as it reads now (now, from shadow_of) against the copy
// the whole-text path edited.
void compare(const CONF_DOC *doc, const CONF_DOC *now, const CONF_DOC *shadow, int rc, int want) {
    if (rc == kErrMemory || want == kErrMemory) return;
    if (rc != want) differs("result");
    if (now->length != shadow->length || std::memcmp(now->text, shadow->text, now->length) != 0)
        differs("text");
    if (now->origin_count != shadow->origin_count ||
        std::memcmp(now->origins, shadow->origins, now->origin_count * sizeof(CONF_DOC_LINE)) != 0)
        differs("line origins");
    if (doc->edits != shadow->edits) differs("edit count");
    if (doc->error_line != shadow->error_line ||
        std::strcmp(doc->error_text, shadow->error_text) != 0)
        differs("error");
}

// The index (with the changes kept aside put in) against a fresh scan of
// the text as it reads now, and the counts kept for the changes against
// what they make.
void check_index(const CONF_DOC *doc) {
    if (doc->index == nullptr) return;
    LineIndex index;
    Assembly a;
    const char *text = doc->text;
    size_t length = doc->length;
    if (has_pending(doc)) {
        if (assemble_copy(doc, &a) != 0) return;
        const Pending &p = doc->index->pending;
        if (a.text.size() != p.length || a.origins.size() != p.line_count ||
            a.lines.size() != p.index_count)
            differs("count kept for the changes");
        index.lines.swap(a.lines);
        text = a.text.data();
        length = a.text.size();
    } else if (!index.lines.reserve(doc->index->lines.size())) {
        return;
    } else {
        for (const IndexLine &l : doc->index->lines) (void)index.lines.push(l);
    }
    if (!index.names.append(doc->index->names.data(), doc->index->names.size())) return;
    LineIndex fresh;
    const int rc = fresh.build(text, length);
    if (rc == kErrMemory) return;
    if (rc != 0) differs("scan of a text with an index");
    if (!index.same_as(fresh)) differs("line index");
}
#endif

// Makes an editing call: call(doc, true) may make the edit where it
// happens; call(doc, false) takes the whole-text path.
template <typename Call>
int edit_call(CONF_DOC *doc, const Call &call) {
#ifdef NIVRA_DOC_DIFFERENTIAL
    if (doc == nullptr) return call(doc, true);
    CONF_DOC *shadow = shadow_of(doc);
    const int rc = call(doc, true);
    if (shadow != nullptr) {
        const int want = call(shadow, false);
        CONF_DOC *now = shadow_of(doc);
        if (now != nullptr) compare(doc, now, shadow, rc, want);
        CONF_doc_free(now);
        CONF_doc_free(shadow);
    }
    check_index(doc);
    return rc;
#else
    return call(doc, true);
#endif
}

// The first definition of a save's text whose value does not expand, unless
// it already did not when the text was read.
class SaveCheck {
  public:
    explicit SaveCheck(const CONF_DOC *doc) : doc_(doc) {}
    static void notify(void *self, const LoadNote *note) {
        static_cast<SaveCheck *>(self)->on(*note);
    }
    int error = 0;
    int line = 0;

  private:
    void on(const LoadNote &n) {
        if (n.event != LoadEvent::kUnresolved || error != 0) return;
        if (unresolved_when_read(doc_, n.first_line, n.line)) return;
        error = n.error;
        line = static_cast<int>(n.line);
    }
    const CONF_DOC *doc_;
};

// What refuses a save of the text: the first error a load meets, but for a
// value that already did not expand when the text was read, which is
// left for the environment it is written for.  0 when nothing refuses.
int check_for_save(const CONF_DOC *doc, int *line) {
    CONF_CTX *ctx = CONF_new();
    if (ctx == nullptr) return kErrMemory;
    SaveCheck check(doc);
    const LoadObserver observer{&SaveCheck::notify, &check, false,
                                keeps_entries(doc->text, doc->length)};
    const int rc = scan_buffer(ctx, doc->text, doc->length, &observer, true);
    *line = CONF_get_last_error_line(ctx);
    CONF_free(ctx);
    if (check.error != 0) {
        *line = check.line;
        return check.error;
    }
    return rc;
}

}  // namespace

extern "C" {

CONF_DOC *CONF_doc_new(void) {
    auto *doc = static_cast<CONF_DOC *>(std::calloc(1, sizeof(CONF_DOC)));
    if (doc == nullptr) return nullptr;
    doc->text = static_cast<char *>(std::calloc(1, 1));
    doc->origins = static_cast<CONF_DOC_LINE *>(std::malloc(sizeof(CONF_DOC_LINE)));
    if (doc->text == nullptr || doc->origins == nullptr) {
        std::free(doc->text);
        std::free(doc->origins);
        std::free(doc);
        return nullptr;
    }
    doc->origins[0] = CONF_DOC_LINE{1, 0, 0};
    doc->origin_count = 1;
    doc->error_text = "";
    return doc;
}

void CONF_doc_free(CONF_DOC *doc) {
    if (doc == nullptr) return;
    drop_index(doc);
    release_reference(doc);
    std::free(doc->text);
    std::free(doc->path);
    std::free(doc->origins);
    std::free(doc);
}

int CONF_doc_read_file(CONF_DOC *doc, const char *path) {
    if (doc == nullptr) return kErrNullContext;
    char *data = nullptr;
    size_t n = 0;
    FileId id;
    if (const int err = read_whole_file(path, &data, &n, &id); err != 0) return outcome(doc, err);
    char *path_copy = copy_bytes(path, std::strlen(path));
    if (path_copy == nullptr) {
        std::free(data);
        return outcome(doc, kErrMemory);
    }
    return take_contents(doc, data, n, true, &id, path_copy);
}

int CONF_doc_read_buffer(CONF_DOC *doc, const void *data, size_t len) {
    if (doc == nullptr) return kErrNullContext;
    if (data == nullptr && len > 0) return outcome(doc, kErrOpen);
    char *text = copy_bytes(len > 0 ? static_cast<const char *>(data) : "", len);
    if (text == nullptr) return outcome(doc, kErrMemory);
    return take_contents(doc, text, len, false, nullptr, nullptr);
}

const char *CONF_doc_text(const CONF_DOC *doc, size_t *len) {
    if (doc == nullptr) return nullptr;
    flush_for_read(doc);
    if (len != nullptr) *len = doc->length;
    return doc->text;
}

int CONF_doc_set(CONF_DOC *doc, const char *section, const char *name, const char *value) {
    return edit_call(doc, [&](CONF_DOC *d, bool local) {
        return set_value(d, section, name, value, false, local);
    });
}

int CONF_doc_set_raw(CONF_DOC *doc, const char *section, const char *name, const char *raw) {
    return edit_call(doc, [&](CONF_DOC *d, bool local) {
        return set_value(d, section, name, raw, true, local);
    });
}

int CONF_doc_unset(CONF_DOC *doc, const char *section, const char *name) {
    return edit_call(doc,
                     [&](CONF_DOC *d, bool local) { return unset_entry(d, section, name, local); });
}

int CONF_doc_remove_section(CONF_DOC *doc, const char *section) {
    return edit_call(doc,
                     [&](CONF_DOC *d, bool local) { return remove_section(d, section, local); });
}

int CONF_doc_check(const CONF_DOC *doc, CONF_CTX *ctx) {
    if (doc == nullptr) return CONF_load_buffer(ctx, nullptr, 1);
    flush_for_read(doc);
    return CONF_load_buffer(ctx, doc->text, doc->length);
}

int CONF_doc_save(CONF_DOC *doc, const char *path) {
    return CONF_doc_save_with(doc, path, 0, CONF_DOC_DEFAULT_WAIT_MS);
}

int CONF_doc_save_with(CONF_DOC *doc, const char *path, unsigned flags, int wait_ms) {
    if (doc == nullptr) return kErrNullContext;
    if (path == nullptr) return outcome(doc, kErrOpen);
    flush(doc);
    int line = 0;
    if (const int refused = check_for_save(doc, &line); refused != 0)
        return outcome(doc, refused, line);
    char *path_copy = copy_bytes(path, std::strlen(path));
    if (path_copy == nullptr) return outcome(doc, kErrMemory);
    const bool has_file = doc->reference != nullptr;
    const SaveRequest request{path,
                              doc->text,
                              doc->length,
                              has_file ? &doc->file : nullptr,
                              has_file && doc->path != nullptr && std::strcmp(doc->path, path) == 0,
                              doc->reference,
                              doc->reference_length,
                              (flags & CONF_DOC_IN_PLACE) != 0,
                              (flags & CONF_DOC_NEW_FILE) != 0,
                              wait_ms > 0 ? wait_ms : 0};
    SaveResult result;
    const int err = save_file(request, &result);
    const int saved = errno;
    if (err < 0 && err != kErrSavedUnsynced) {
        std::free(path_copy);
        outcome(doc, err);
        if (err == kErrProperty && result.detail != nullptr) doc->error_text = result.detail;
        errno = saved;
        return err;
    }
    // Written (or already there): the file now holds the text.
    release_reference(doc);
    std::free(doc->path);
    doc->reference = doc->text;
    doc->reference_length = doc->length;
    doc->file = result.written;
    doc->path = path_copy;
    outcome(doc, err < 0 ? err : 0);
    errno = saved;
    return err < 0 ? err : 0;
}

int CONF_doc_line_origin(const CONF_DOC *doc, int line, CONF_DOC_LINE *origin) {
    if (doc == nullptr) return -1;
    flush_for_read(doc);
    if (line < 1 || static_cast<size_t>(line) > doc->origin_count) return -1;
    if (origin != nullptr) *origin = doc->origins[line - 1];
    return 0;
}

const char *CONF_doc_last_error(const CONF_DOC *doc, int *line) {
    if (line != nullptr) *line = doc != nullptr ? doc->error_line : 0;
    return doc != nullptr ? doc->error_text : "";
}

}  // extern "C"
