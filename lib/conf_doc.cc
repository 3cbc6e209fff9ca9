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
#include "conf_doc.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <type_traits>

#include "conf_buffer.h"
#include "conf_file.h"
#include "conf_load.h"
#include "conf_store.h"
#include "conf_syntax.h"
#include "conf_write.h"

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
    int edits;  // editing calls that succeeded since the text was read
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
    bool unresolved_ = false;  // the line being stored had a reference without value
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
        if (!headers.push(HeaderLine{{n.source->begin, n.source->end}, target}))
            out_of_memory_ = true;
    } else if (n.event == LoadEvent::kUnresolved) {
        unresolved_ = true;
    } else if (n.event == LoadEvent::kStored) {
        on_stored(n);
        unresolved_ = false;
    }
}

void Structure::on_stored(const LoadNote &n) {
    const bool in_section = std::strcmp(n.entry->section, section_) == 0;
    const bool is_target = in_section && name_ != nullptr && std::strcmp(n.entry->name, name_) == 0;
    const size_t block = headers.size() == 0 ? kNoBlock : headers.size() - 1;
    if (!entries.push(EntryLine{{n.source->begin, n.source->end}, block, in_section, is_target}) ||
        (is_target && !keep_definition(n)))
        out_of_memory_ = true;
}

bool Structure::keep_definition(const LoadNote &n) {
    found = true;
    span = Span{n.source->begin, n.source->end};
    parts = *n.parts;
    pieces.clear();
    for (size_t i = 0; i < n.source->count; ++i) {
        if (!pieces.push(n.source->pieces[i])) return false;
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
        // escaped blank) would be glued to the new one: a blank parts them.
        const bool glued = to < end && doc->text[to] == '#' &&
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

// The text with a new line for (section, name) added where it belongs.
int add_entry(const CONF_DOC *doc, const Structure &s, const char *section, const char *name,
              const NewValue &v, Draft *out) {
    if (!name_writable(name)) return kErrUnwritable;
    const Insertion ins = place_entry(doc, s, std::strcmp(section, kDefaultSection) == 0);
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

}  // namespace
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
// both over): 0, or kErrMemory with the document as it was.
int take_draft(CONF_DOC *doc, Draft *d) {
    const int edit = doc->edits < INT_MAX ? doc->edits + 1 : INT_MAX;
    size_t count = 0;
    CONF_DOC_LINE *origins = draft_origins(doc, *d, edit, &count);
    const size_t n = d->text.size();
    char *p = origins != nullptr ? d->text.release() : nullptr;
    if (p == nullptr) {
        std::free(origins);
        return outcome(doc, kErrMemory);
    }
    std::free(doc->text);
    std::free(doc->origins);
    doc->text = p;
    doc->length = n;
    doc->origins = origins;
    doc->origin_count = count;
    return edit_made(doc);
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

int set_value(CONF_DOC *doc, const char *section, const char *name, const char *value, bool raw) {
    if (doc == nullptr) return kErrNullContext;
    if (name == nullptr) return null_argument(doc, "null name pointer");
    if (value == nullptr)
        return null_argument(doc, raw ? "null raw text pointer" : "null value pointer");
    section = section_or_default(section);
    Structure s(section, name);
    if (const int err = scan_doc(doc, &s); err != 0) return err;
    if (s.found && (raw ? std::strcmp(s.value_text(), value) == 0
                        : s.resolved() && std::strcmp(s.value(), value) == 0))
        return edit_made(doc);
    // A raw text ending in an odd run of backslashes either continues the
    // line or loses its last backslash when it expands: not what it says.
    if (raw && ends_in_lone_backslash(value)) return outcome(doc, kErrUnwritable);
    Text literal;
    if (!raw && !append_literal(&literal, value)) return outcome(doc, kErrMemory);
    const NewValue v =
        raw ? NewValue{value, std::strlen(value)} : NewValue{literal.data(), literal.size()};
    Draft out(doc);
    int err = 0;
    if (s.found) {
        err = replace_value(doc, s, v, &out) ? 0 : kErrMemory;
    } else {
        err = add_entry(doc, s, section, name, v, &out);
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
    return set_value(doc, section, name, value, false);
}

int CONF_doc_set_raw(CONF_DOC *doc, const char *section, const char *name, const char *raw) {
    return set_value(doc, section, name, raw, true);
}

int CONF_doc_unset(CONF_DOC *doc, const char *section, const char *name) {
    if (doc == nullptr) return kErrNullContext;
    if (name == nullptr) return null_argument(doc, "null name pointer");
    Structure s(section_or_default(section), name);
    if (const int err = scan_doc(doc, &s); err != 0) return err;
    GrowArray<Span> cuts;
    for (size_t i = 0; i < s.entries.size(); ++i) {
        if (s.entries[i].is_target && !cuts.push(s.entries[i].span))
            return outcome(doc, kErrMemory);
    }
    return remove_spans(doc, &cuts, true);
}

int CONF_doc_remove_section(CONF_DOC *doc, const char *section) {
    if (doc == nullptr) return kErrNullContext;
    Structure s(section_or_default(section), nullptr);
    if (const int err = scan_doc(doc, &s); err != 0) return err;
    GrowArray<Span> cuts;
    if (!section_cuts(s, doc, &cuts)) return outcome(doc, kErrMemory);
    return remove_spans(doc, &cuts, false);
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
