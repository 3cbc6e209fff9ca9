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
//     by one tolerant scan, by the first edit that needs it, and exists
//     only while the text scans cleanly: then every span starts a logical
//     line that no line before it continues.
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
//     reads.
//   - Whatever cannot be decided so (a value with a reference, a text
//     without a final line end, a check that fails, a section removed, a
//     text that does not scan) takes the whole-text path below, which
//     scans, drafts, scans again and drops the index; the next edit builds
//     it again.  Only a success is decided where it happens, and the
//     failures that need no other line (a raw text ending in a lone
//     backslash, memory): any other failure comes from the whole-text path,
//     so both paths fail alike.
//   - An edit made where it happens drafts its text as the whole-text path
//     does, into room reserved once; the new lines' origins are the same
//     draft_origins gives, found in runs (the whole lines inside a kept
//     stretch are old lines in order: one copy each run).  Then the index's
//     spans after the edit move by the bytes it added or removed, and its
//     lines are added or dropped.  What is left is linear in bytes copied
//     and lines moved, not in scans: the draft's copy of the text, the
//     count of its line ends, the index's walk for the definition and its
//     shift.  Room for
//     the index's additions is reserved before the text is taken: a call
//     that runs out of memory changes nothing, index included.
// The differential build (NIVRA_DOC_DIFFERENTIAL) makes every editing call
// on a copy by the whole-text path too, and compares text, origins and
// outcome, and the index with a fresh scan of the text.
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

namespace nivra::conf {
class LineIndex;
}

struct CONF_DOC {
    char *text;  // NUL-terminated; length counts inner NULs
    size_t length;
    nivra::conf::FileId file;  // the file the reference is the contents of
    char *path;                // the path it was read from or saved to
    char *reference;           // null: the document has no file
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
    Structure(const char *section, const char *name) : section_(section), name_(name) {}
    ~Structure() {
        std::free(value_);
        std::free(value_text_);
    }
    Structure(const Structure &) = delete;
    Structure &operator=(const Structure &) = delete;

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

    const char *value() const { return value_; }
    bool resolved() const { return resolved_; }
    // The value as written in the line (unexpanded), and its length.
    const char *value_text() const { return value_text_; }

  private:
    static void notify(void *self, const LoadNote *note) {
        static_cast<Structure *>(self)->on(*note);
    }
    void on(const LoadNote &n);
    void on_stored(const LoadNote &n);
    bool keep_definition(const LoadNote &n);

    const char *section_;
    const char *name_;
    size_t base_ = 0;           // the offset in the text of the bytes scanned
    bool any_section_ = false;  // an entry of the name in any section is the target
    bool unresolved_ = false;   // the line being stored had a reference without value
    bool resolved_ = true;
    bool out_of_memory_ = false;
    char *value_ = nullptr;
    char *value_text_ = nullptr;
};

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
    std::free(value_);
    std::free(value_text_);
    value_ = copy_bytes(n.entry->value, std::strlen(n.entry->value));
    value_text_ = copy_bytes(n.text + parts.value, parts.value_end - parts.value);
    return value_ != nullptr && value_text_ != nullptr;
}

int Structure::scan(const char *text, size_t length, int *line) {
    CONF_CTX *ctx = CONF_new();
    if (ctx == nullptr) return kErrMemory;
    const LoadObserver observer{&Structure::notify, this};
    const int rc = scan_buffer(ctx, text, length, &observer, true);
    *line = CONF_get_last_error_line(ctx);
    CONF_free(ctx);
    if (out_of_memory_ || rc == kErrMemory || rc == kErrSection) return kErrMemory;
    return rc == 0 ? 0 : kErrNoParse;
}

int Structure::scan_window(const char *text, size_t begin, size_t end) {
    base_ = begin;
    any_section_ = true;
    int line = 0;
    return scan(text + begin, end - begin, &line);
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
    UnresolvedLines(CONF_DOC_LINE *origins, size_t count) : origins_(origins), count_(count) {}
    static void notify(void *self, const LoadNote *note) {
        static_cast<UnresolvedLines *>(self)->on(*note);
    }

  private:
    void on(const LoadNote &n) {
        if (n.event != LoadEvent::kUnresolved) return;
        for (long l = n.first_line; l <= n.line; ++l) {
            if (l >= 1 && static_cast<size_t>(l) <= count_) origins_[l - 1].unresolved = 1;
        }
    }
    CONF_DOC_LINE *origins_;
    size_t count_;
};

// The origins of a text as read: each line is itself, marked where a
// definition's value does not expand in this process now.  Null when
// memory runs out.
CONF_DOC_LINE *read_origins(const char *text, size_t length, size_t *count) {
    *count = count_lines(text, length);
    // Lines are numbered in an int, as a load's are.
    if (*count > static_cast<size_t>(INT_MAX)) return nullptr;
    auto *out = static_cast<CONF_DOC_LINE *>(std::malloc(*count * sizeof(CONF_DOC_LINE)));
    if (out == nullptr) return nullptr;
    for (size_t i = 0; i < *count; ++i) out[i] = CONF_DOC_LINE{static_cast<int>(i + 1), 0, 0};
    CONF_CTX *ctx = CONF_new();
    UnresolvedLines marks(out, *count);
    const LoadObserver observer{&UnresolvedLines::notify, &marks};
    const int rc = ctx != nullptr ? scan_buffer(ctx, text, length, &observer, true) : kErrMemory;
    CONF_free(ctx);
    if (rc == kErrMemory || rc == kErrSection) {
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
        size_t indent = last->span.begin;
        while (indent < last->span.end && (doc->text[indent] == ' ' || doc->text[indent] == '\t'))
            ++indent;
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
int add_entry(const CONF_DOC *doc, const Insertion &ins, const char *section, const char *name,
              const NewValue &v, Draft *out) {
    if (!name_writable(name)) return kErrUnwritable;
    const char *eol = line_end_of(doc);
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

// One header or stored entry line of the text, as the loader saw it.
struct IndexLine {
    Span span;             // the logical line, its line ends included
    size_t section;        // offset in the index's names: a header's section, an entry's
    size_t name;           // offset of an entry's name; kNoName for a header
    uint64_t section_key;  // hash_string of the section
    uint64_t key;          // an entry: hash_string of its name after the section's key
};

// Every header and stored entry line of the text, in text order, with the
// section and name the loader gave it; the names live in one byte buffer.
class LineIndex {
  public:
    // Scans text with the loader (a tolerant scan, as an edit's): 0, and
    // the index is the text's; kErrMemory; or another error, when the text
    // does not scan cleanly.
    int build(const char *text, size_t length);

    bool is_header(size_t i) const { return lines[i].name == kNoName; }
    const char *section_of(size_t i) const { return names.data() + lines[i].section; }
    const char *name_of(size_t i) const { return names.data() + lines[i].name; }
    bool in_section(size_t i, const char *section, uint64_t section_key) const {
        return lines[i].section_key == section_key && std::strcmp(section_of(i), section) == 0;
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

  private:
    static void notify(void *self, const LoadNote *note) {
        static_cast<LineIndex *>(self)->on(*note);
    }
    void on(const LoadNote &n);
    bool push(const LoadNote &n, const char *section, const char *name);

    bool out_of_memory_ = false;
    size_t last_section_ = kNoName;  // the section added last, reused while it repeats
};

bool LineIndex::push(const LoadNote &n, const char *section, const char *name) {
    if (last_section_ == kNoName || std::strcmp(names.data() + last_section_, section) != 0) {
        last_section_ = names.size();
        if (!names.append(section, std::strlen(section) + 1)) return false;
    }
    const size_t at = names.size();
    if (name != nullptr && !names.append(name, std::strlen(name) + 1)) return false;
    const uint64_t section_key = hash_string(section);
    const IndexLine line{{n.source->begin, n.source->end},
                         last_section_,
                         name != nullptr ? at : kNoName,
                         section_key,
                         name != nullptr ? hash_string(name, section_key) : 0};
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
    const LoadObserver observer{&LineIndex::notify, this};
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
            a.section_key != b.section_key ||
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

void drop_index(CONF_DOC *doc) {
    if (doc->index == nullptr) return;
    doc->index->~LineIndex();
    std::free(doc->index);
    doc->index = nullptr;
}

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

// Makes text (length bytes) the document's text, with reference (the same
// length, or null) as what the file id (or none), read at path (or null),
// holds; takes text, reference and path over and frees what they replace.
// The text is the one as read from now on: its lines are their own
// origins, and no edit has been made.
int take_contents(CONF_DOC *doc, char *text, size_t length, char *reference, const FileId *id,
                  char *path) {
    size_t count = 0;
    CONF_DOC_LINE *origins = read_origins(text, length, &count);
    if (origins == nullptr) {
        std::free(text);
        std::free(reference);
        std::free(path);
        return outcome(doc, kErrMemory);
    }
    std::free(doc->text);
    std::free(doc->reference);
    std::free(doc->path);
    std::free(doc->origins);
    drop_index(doc);
    doc->text = text;
    doc->length = length;
    doc->reference = reference;
    doc->reference_length = reference != nullptr ? length : 0;
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
    std::free(doc->text);
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
int take_draft_keeping(CONF_DOC *doc, Draft *d, LineIndex *index) {
    doc->index = nullptr;
    const int err = take_draft(doc, d, true);
    doc->index = index;
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

// ---- Edits made where they happen -------------------------------------------

// Not an outcome: the edit cannot be decided where it happens, and the
// whole-text path makes it.
constexpr int kUndecided = INT_MIN;

// Whether the bytes [begin, end) of text, scanned alone, are one logical
// line that defines name (and, with header, a header of section before it)
// and nothing else, which the text at end does not continue.  A line that
// begins with the byte-order mark's bytes would lose them to a scan that
// starts there, so it is never checked alone.
bool reads_alone(const char *text, size_t begin, size_t end, Structure *s, bool header) {
    if (begin > 0 && starts_with_mark(text + begin, end - begin)) return false;
    if (end == begin || text[end - 1] != '\n' || continues_at(text, end)) return false;
    if (s->scan_window(text, begin, end) != 0 || !s->found) return false;
    if (s->entries.size() != 1 || s->headers.size() != (header ? 1U : 0U)) return false;
    return s->span.end == end && (!header || s->headers[0].target);
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
    Structure was(kDefaultSection, name);
    if (!reads_alone(doc->text, old.begin, old.end, &was, false)) return kUndecided;
    if (std::strchr(was.value_text(), '$') != nullptr) return kUndecided;
    if (stores_wanted(was, value, raw)) return edit_made(doc);
    Text literal;
    NewValue v{};
    if (const int err = written_value(value, raw, &literal, &v); err != 0) return outcome(doc, err);
    Draft out(doc);
    if (!out.reserve(v.length + 1) || !replace_value(doc, was, v, &out))
        return outcome(doc, kErrMemory);
    const auto delta = static_cast<ptrdiff_t>(out.text.size() - doc->length);
    const size_t end = old.end + static_cast<size_t>(delta);
    Structure now(kDefaultSection, name);
    if (!reads_alone(out.text.data(), old.begin, end, &now, false) ||
        !stores_wanted(now, value, raw))
        return kUndecided;
    if (const int err = take_draft_keeping(doc, &out, index); err != 0) return err;
    index->lines[def].span.end = end;
    index->shift(def + 1, delta);
    return 0;
}

// Where a new entry of the section goes, as place_entry finds it.
Insertion place_indexed(const CONF_DOC *doc, const LineIndex &index, const char *section) {
    const uint64_t key = hash_string(section);
    size_t block = kNoLine;
    for (size_t i = 0; i < index.lines.size(); ++i) {
        if (index.is_header(i) && index.in_section(i, section, key)) block = i;
    }
    const bool is_default = std::strcmp(section, kDefaultSection) == 0;
    if (block == kNoLine && !is_default) return Insertion{doc->length, {0, 0}, true, false};
    size_t last = kNoLine;
    for (size_t i = block == kNoLine ? 0 : block + 1; i < index.lines.size() && !index.is_header(i);
         ++i) {
        if (index.in_section(i, section, key)) last = i;
    }
    if (last != kNoLine) {
        const Span line = index.lines[last].span;
        size_t indent = line.begin;
        while (indent < line.end && (doc->text[indent] == ' ' || doc->text[indent] == '\t'))
            ++indent;
        return Insertion{line.end, {line.begin, indent}, false, false};
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
    Text literal;
    NewValue v{};
    if (const int err = written_value(value, raw, &literal, &v); err != 0) return outcome(doc, err);
    Draft out(doc);
    const size_t line = ins.indent.end - ins.indent.begin + std::strlen(name) + v.length;
    if (!out.reserve(line + 2 * std::strlen(section) + 16)) return outcome(doc, kErrMemory);
    if (add_entry(doc, ins, section, name, v, &out) != 0) return kUndecided;
    const size_t written = out.text.size() - doc->length;
    Structure now(section, name);
    if (!reads_alone(out.text.data(), ins.at, ins.at + written, &now, ins.new_block) ||
        !stores_wanted(now, value, raw))
        return kUndecided;
    if (!index->reserve(2, std::strlen(section) + std::strlen(name) + 2))
        return outcome(doc, kErrMemory);
    if (const int err = take_draft_keeping(doc, &out, index); err != 0) return err;
    const size_t at = index->first_at(ins.at);
    index->shift(at, static_cast<ptrdiff_t>(written));
    const uint64_t section_key = hash_string(section);
    const size_t section_at = index->add_name(section);
    const IndexLine entry{now.span, section_at, index->add_name(name), section_key,
                          hash_string(name, section_key)};
    index->insert(at, entry);
    if (ins.new_block)
        index->insert(at, IndexLine{now.headers[0].span, section_at, kNoName, section_key, 0});
    return 0;
}

// CONF_doc_set(_raw) made where it happens, or kUndecided.
int set_local(CONF_DOC *doc, const char *section, const char *name, const char *value, bool raw) {
    // A reference's value depends on the text before it.
    if (raw && std::strchr(value, '$') != nullptr) return kUndecided;
    LineIndex *index = ready_index(doc);
    if (index == nullptr) return kUndecided;
    const size_t def = index->last_definition(section, name);
    if (def != kNoLine) return replace_local(doc, index, def, name, value, raw);
    return add_local(doc, index, section, name, value, raw);
}

// CONF_doc_unset made where it happens, or kUndecided: whole logical lines
// go, so every other line reads as it did.
int unset_local(CONF_DOC *doc, const char *section, const char *name) {
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
    // The lines cut are lines of the index, in its order; the others move
    // back by the bytes cut before them.
    size_t kept = 0;
    size_t cut = 0;
    size_t cut_bytes = 0;
    for (size_t i = 0; i < index->lines.size(); ++i) {
        IndexLine line = index->lines[i];
        if (cut < cuts.size() && line.span.begin == cuts[cut].begin) {
            cut_bytes += cuts[cut].end - cuts[cut].begin;
            ++cut;
            continue;
        }
        line.span.begin -= cut_bytes;
        line.span.end -= cut_bytes;
        index->lines[kept++] = line;
    }
    index->lines.truncate(kept);
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
    Structure s(section, name);
    if (const int err = scan_doc(doc, &s); err != 0) return err;
    if (s.found && (raw ? std::strcmp(s.value_text(), value) == 0
                        : s.resolved() && std::strcmp(s.value(), value) == 0))
        return edit_made(doc);
    // A raw text ending in an odd run of backslashes either continues the
    // line or loses its last backslash when it expands: not what it says.
    Text literal;
    NewValue v{};
    if (const int err = written_value(value, raw, &literal, &v); err != 0) return outcome(doc, err);
    Draft out(doc);
    int err = 0;
    if (s.found) {
        err = replace_value(doc, s, v, &out) ? 0 : kErrMemory;
    } else {
        const bool is_default = std::strcmp(section, kDefaultSection) == 0;
        err = add_entry(doc, place_entry(doc, s, is_default), section, name, v, &out);
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
    Structure s(section, name);
    if (const int err = scan_doc(doc, &s); err != 0) return err;
    GrowArray<Span> cuts;
    for (size_t i = 0; i < s.entries.size(); ++i) {
        if (s.entries[i].is_target && !cuts.push(s.entries[i].span))
            return outcome(doc, kErrMemory);
    }
    return remove_spans(doc, &cuts, true);
}

int remove_section(CONF_DOC *doc, const char *section) {
    if (doc == nullptr) return kErrNullContext;
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

// A copy of the document's text, origins, edit count and error, without
// its file or index; null when memory runs out.
CONF_DOC *shadow_of(const CONF_DOC *doc) {
    CONF_DOC *shadow = CONF_doc_new();
    if (shadow == nullptr) return nullptr;
    char *text = copy_bytes(doc->text, doc->length);
    auto *origins =
        static_cast<CONF_DOC_LINE *>(std::malloc(doc->origin_count * sizeof(CONF_DOC_LINE)));
    if (text == nullptr || origins == nullptr) {
        std::free(text);
        std::free(origins);
        CONF_doc_free(shadow);
        return nullptr;
    }
    std::memcpy(origins, doc->origins, doc->origin_count * sizeof(CONF_DOC_LINE));
    std::free(shadow->text);
    std::free(shadow->origins);
    shadow->text = text;
    shadow->length = doc->length;
    shadow->origins = origins;
    shadow->origin_count = doc->origin_count;
    shadow->edits = doc->edits;
    return shadow;
}

void compare(const CONF_DOC *doc, const CONF_DOC *shadow, int rc, int want) {
    if (rc == kErrMemory || want == kErrMemory) return;
    if (rc != want) differs("result");
    if (doc->length != shadow->length || std::memcmp(doc->text, shadow->text, doc->length) != 0)
        differs("text");
    if (doc->origin_count != shadow->origin_count ||
        std::memcmp(doc->origins, shadow->origins, doc->origin_count * sizeof(CONF_DOC_LINE)) != 0)
        differs("line origins");
    if (doc->edits != shadow->edits) differs("edit count");
    if (doc->error_line != shadow->error_line ||
        std::strcmp(doc->error_text, shadow->error_text) != 0)
        differs("error");
}

void check_index(const CONF_DOC *doc) {
    if (doc->index == nullptr) return;
    LineIndex fresh;
    const int rc = fresh.build(doc->text, doc->length);
    if (rc == kErrMemory) return;
    if (rc != 0) differs("scan of a text with an index");
    if (!doc->index->same_as(fresh)) differs("line index");
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
        compare(doc, shadow, rc, call(shadow, false));
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
    const LoadObserver observer{&SaveCheck::notify, &check};
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
    std::free(doc->text);
    std::free(doc->reference);
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
    char *reference = copy_bytes(data, n);
    char *path_copy = copy_bytes(path, std::strlen(path));
    if (reference == nullptr || path_copy == nullptr) {
        std::free(data);
        std::free(reference);
        std::free(path_copy);
        return outcome(doc, kErrMemory);
    }
    return take_contents(doc, data, n, reference, &id, path_copy);
}

int CONF_doc_read_buffer(CONF_DOC *doc, const void *data, size_t len) {
    if (doc == nullptr) return kErrNullContext;
    if (data == nullptr && len > 0) return outcome(doc, kErrOpen);
    char *text = copy_bytes(len > 0 ? static_cast<const char *>(data) : "", len);
    if (text == nullptr) return outcome(doc, kErrMemory);
    return take_contents(doc, text, len, nullptr, nullptr, nullptr);
}

const char *CONF_doc_text(const CONF_DOC *doc, size_t *len) {
    if (doc == nullptr) return nullptr;
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
    return edit_call(doc, [&](CONF_DOC *d, bool) { return remove_section(d, section); });
}

int CONF_doc_check(const CONF_DOC *doc, CONF_CTX *ctx) {
    if (doc == nullptr) return CONF_load_buffer(ctx, nullptr, 1);
    return CONF_load_buffer(ctx, doc->text, doc->length);
}

int CONF_doc_save(CONF_DOC *doc, const char *path) {
    return CONF_doc_save_with(doc, path, 0, CONF_DOC_DEFAULT_WAIT_MS);
}

int CONF_doc_save_with(CONF_DOC *doc, const char *path, unsigned flags, int wait_ms) {
    if (doc == nullptr) return kErrNullContext;
    if (path == nullptr) return outcome(doc, kErrOpen);
    int line = 0;
    if (const int refused = check_for_save(doc, &line); refused != 0)
        return outcome(doc, refused, line);
    char *reference = copy_bytes(doc->text, doc->length);
    char *path_copy = copy_bytes(path, std::strlen(path));
    if (reference == nullptr || path_copy == nullptr) {
        std::free(reference);
        std::free(path_copy);
        return outcome(doc, kErrMemory);
    }
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
        std::free(reference);
        std::free(path_copy);
        outcome(doc, err);
        if (err == kErrProperty && result.detail != nullptr) doc->error_text = result.detail;
        errno = saved;
        return err;
    }
    // Written (or already there): the file now holds the text.
    std::free(doc->reference);
    std::free(doc->path);
    doc->reference = reference;
    doc->reference_length = doc->length;
    doc->file = result.written;
    doc->path = path_copy;
    outcome(doc, err < 0 ? err : 0);
    errno = saved;
    return err < 0 ? err : 0;
}

int CONF_doc_line_origin(const CONF_DOC *doc, int line, CONF_DOC_LINE *origin) {
    if (doc == nullptr || line < 1 || static_cast<size_t>(line) > doc->origin_count) return -1;
    if (origin != nullptr) *origin = doc->origins[line - 1];
    return 0;
}

const char *CONF_doc_last_error(const CONF_DOC *doc, int *line) {
    if (line != nullptr) *line = doc != nullptr ? doc->error_line : 0;
    return doc != nullptr ? doc->error_text : "";
}

}  // extern "C"
