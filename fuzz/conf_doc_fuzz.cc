// Fuzz target: editing a document (conf_doc.h) and writing a context back
// (CONF_write_fp).
//
// The input is a few operations followed by a text.  Each operation is
// applied in turn and checked against the text it started from:
//   - a failed call (or one that reports no change) leaves every byte;
//   - set and set_raw change one stretch: within the logical line of the
//     effective definition when the text defines the entry, otherwise pure
//     insertion of whole lines; a second identical call changes nothing;
//   - unset and remove_section only drop whole lines;
//   - a byte-order mark stays, and lines added end as the text's do;
//   - when the old text loads, the new one loads to the same context but
//     for the entry (or section) edited, which has the value asked; a set
//     with a name that a line can give succeeds;
//   - CONF_write_fp of a loaded context loads back to the same context.
// The input layout is described at LLVMFuzzerTestOneInput.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "conf_doc.h"
#include "conf_load.h"
#include "conf_syntax.h"

namespace {

// The bytes with every one but printable ASCII and LF escaped.
std::string Show(const std::string &bytes) {
    std::string out;
    for (const unsigned char c : bytes) {
        char buf[8];
        std::snprintf(buf, sizeof buf,
                      c == '\n' || (c >= 0x20 && c < 0x7F && c != '\\') ? "%c" : "\\x%02X", c);
        out += buf;
    }
    return out;
}

[[noreturn]] void Fail(const char *what, const std::string &before, const std::string &after) {
    std::fprintf(stderr, "%s\n--- before (%zu bytes)\n%s\n--- after (%zu bytes)\n%s\n---\n", what,
                 before.size(), Show(before).c_str(), after.size(), Show(after).c_str());
    std::abort();
}

constexpr const char *kBom = "\xEF\xBB\xBF";

using Entries = std::vector<std::pair<std::string, std::string>>;
using Listing = std::vector<std::pair<std::string, Entries>>;

// What a load of text into a fresh context gives; false when it fails.
bool Load(const std::string &text, Listing *out) {
    CONF_CTX *ctx = CONF_new();
    if (ctx == nullptr) std::abort();
    const bool ok = CONF_load_buffer(ctx, text.data(), text.size()) == 0;
    out->clear();
    for (int i = 0; ok && i < CONF_get_section_count(ctx); ++i) {
        const char *s = CONF_get_section_name(ctx, i);
        Entries entries;
        for (int j = 0; j < CONF_get_entry_count(ctx, s); ++j) {
            const CONF_VALUE *e = CONF_get_entry(ctx, s, j);
            entries.emplace_back(e->name, e->value);
        }
        out->emplace_back(s, std::move(entries));
    }
    CONF_free(ctx);
    return ok;
}

const Entries *Section(const Listing &l, const std::string &s) {
    for (const auto &sec : l) {
        if (sec.first == s) return &sec.second;
    }
    return nullptr;
}

const std::string *Value(const Listing &l, const std::string &s, const std::string &n) {
    if (const Entries *e = Section(l, s)) {
        for (const auto &kv : *e) {
            if (kv.first == n) return &kv.second;
        }
    }
    return nullptr;
}

// l with the value of its entry (s, n) replaced.
Listing WithValue(Listing l, const std::string &s, const std::string &n, const std::string &v) {
    for (auto &sec : l) {
        for (auto &kv : sec.second) {
            if (sec.first == s && kv.first == n) kv.second = v;
        }
    }
    return l;
}

// l without the entry (s, n), and without section s when that leaves it
// empty and keep does not hold it.
Listing Without(Listing l, const std::string &s, const std::string &n, const Listing &keep) {
    for (auto it = l.begin(); it != l.end(); ++it) {
        if (it->first != s) continue;
        std::erase_if(it->second, [&n](const auto &kv) { return kv.first == n; });
        if (it->second.empty() && Section(keep, s) == nullptr) l.erase(it);
        break;
    }
    return l;
}

// The entries of section s but (s, n); none when there is no such section.
Entries SectionWithout(const Listing &l, const std::string &s, const std::string &n) {
    Entries out;
    if (const Entries *e = Section(l, s)) {
        for (const auto &kv : *e) {
            if (kv.first != n) out.push_back(kv);
        }
    }
    return out;
}

Listing WithoutSection(Listing l, const std::string &s) {
    std::erase_if(l, [&s](const auto &sec) { return sec.first == s; });
    return l;
}

// Whether a line can give name as an entry's name: name characters and
// backslash pairs only.
bool Writable(const std::string &name) {
    for (size_t i = 0; i < name.size(); ++i) {
        if (nivra::conf::is_class(name[i], nivra::conf::CC_NAME_PUNCT)) continue;
        if (name[i] != '\\' || i + 1 == name.size() || name[i + 1] == '\n' || name[i + 1] == '\r')
            return false;
        ++i;
    }
    return true;
}

bool EndsInLoneBackslash(const std::string &text) {
    size_t n = 0;
    while (n < text.size() && text[text.size() - 1 - n] == '\\') ++n;
    return n % 2 == 1;
}

// The input span of the logical line that last defines (s, n), seen by a
// tolerant scan (which goes on past references without a value).
struct Definition {
    const char *section;
    const char *name;
    bool found = false;
    size_t begin = 0, end = 0;
};

void OnNote(void *arg, const nivra::conf::LoadNote *note) {
    auto *d = static_cast<Definition *>(arg);
    if (note->event != nivra::conf::LoadEvent::kStored) return;
    if (std::strcmp(note->entry->section, d->section) != 0 ||
        std::strcmp(note->entry->name, d->name) != 0)
        return;
    d->found = true;
    d->begin = note->source->begin;
    d->end = note->source->end;
}

Definition FindDefinition(const std::string &text, const std::string &s, const std::string &n) {
    Definition d{s.c_str(), n.c_str()};
    CONF_CTX *ctx = CONF_new();
    const nivra::conf::LoadObserver observer{OnNote, &d};
    nivra::conf::scan_buffer(ctx, text.data(), text.size(), &observer, true);
    CONF_free(ctx);
    return d;
}

// The warnings about values (what confcheck --lint says of a value that
// may not mean what it says) given for the logical line that begins at
// begin.
struct ValueWarnings {
    size_t begin;
    int count = 0;
    static void On(void *arg, const nivra::conf::LoadNote *note) {
        using nivra::conf::LoadEvent;
        auto *w = static_cast<ValueWarnings *>(arg);
        const LoadEvent e = note->event;
        const bool about_value =
            e == LoadEvent::kCommentInValue || e == LoadEvent::kControlEscape ||
            e == LoadEvent::kSemicolonInValue || e == LoadEvent::kUnclosedQuote;
        if (about_value && note->source != nullptr && note->source->begin == w->begin) ++w->count;
    }
};

int WarningsOn(const std::string &text, const Definition &d) {
    if (!d.found) return 0;
    ValueWarnings w{d.begin};
    CONF_CTX *ctx = CONF_new();
    const nivra::conf::LoadObserver observer{ValueWarnings::On, &w};
    nivra::conf::scan_buffer(ctx, text.data(), text.size(), &observer, true);
    CONF_free(ctx);
    return w.count;
}

// The bytes that differ: [prefix, a.size() - suffix) of a against
// [prefix, b.size() - suffix) of b.
struct Change {
    size_t prefix, suffix;
};

Change Diff(const std::string &a, const std::string &b) {
    const size_t m = std::min(a.size(), b.size());
    size_t p = 0;
    while (p < m && a[p] == b[p]) ++p;
    size_t s = 0;
    while (s < m - p && a[a.size() - 1 - s] == b[b.size() - 1 - s]) ++s;
    return Change{p, s};
}

// The physical lines of text, each with its line end (the last may have
// none).
std::vector<std::string> Lines(const std::string &text) {
    std::vector<std::string> lines;
    size_t at = 0;
    while (at < text.size()) {
        const size_t lf = text.find('\n', at);
        const size_t end = lf == std::string::npos ? text.size() : lf + 1;
        lines.push_back(text.substr(at, end - at));
        at = end;
    }
    return lines;
}

// Whether b is a with whole lines dropped, b's lines from first on.
bool Subsequence(const std::vector<std::string> &a, const std::vector<std::string> &b,
                 size_t first) {
    size_t i = 0;
    for (size_t k = first; k < b.size(); ++k) {
        while (i < a.size() && a[i] != b[k]) ++i;
        if (i == a.size()) return false;
        ++i;
    }
    return true;
}

// Whether after is before less some of its lines, and how many went.  The
// count is ambiguous in one case, and then the one equal to want (when
// given) is taken: see below.
bool DropsWholeLines(const std::string &before, const std::string &after, size_t *dropped,
                     size_t want = std::string::npos) {
    // A byte-order mark belongs to the text, not to its first line: it stays.
    const bool marked = before.compare(0, 3, kBom) == 0;
    if (marked && after.compare(0, 3, kBom) != 0) return false;
    const std::vector<std::string> a = Lines(marked ? before.substr(3) : before),
                                   b = Lines(marked ? after.substr(3) : after);
    const bool whole = Subsequence(a, b, 0);
    // A line brought to the front that begins with the mark's bytes keeps an
    // empty line before it (a load would take them for the mark).  That line
    // may also be an empty line of the text that stayed: the texts are the
    // same either way, and only the count tells which.
    const bool kept = !marked && b.size() > 1 && (b[0] == "\n" || b[0] == "\r\n") &&
                      b[1].compare(0, 3, kBom) == 0 && Subsequence(a, b, 1);
    if (!whole && !kept) return false;
    *dropped = whole ? a.size() - b.size() : a.size() - (b.size() - 1);
    if (whole && kept && *dropped != want && a.size() - (b.size() - 1) == want) *dropped = want;
    return true;
}

// The kinds of line end a text has, as bits.
enum LineEnds { kNone = 0, kLf = 1, kCrLf = 2, kMixed = 3 };

LineEnds LineEndsOf(const std::string &text) {
    int ends = 0;
    for (size_t i = text.find('\n'); i != std::string::npos; i = text.find('\n', i + 1))
        ends |= i > 0 && text[i - 1] == '\r' ? kCrLf : kLf;
    return static_cast<LineEnds>(ends);
}

std::string Text(CONF_DOC *doc) {
    size_t n = 0;
    const char *p = CONF_doc_text(doc, &n);
    return std::string(p, n);
}

// CONF_write_fp of the context that text loads to loads back to it.
void CheckWriteBack(const std::string &text) {
    CONF_CTX *ctx = CONF_new();
    if (CONF_load_buffer(ctx, text.data(), text.size()) != 0) {
        CONF_free(ctx);
        return;
    }
    char *out = nullptr;
    size_t n = 0;
    std::FILE *f = open_memstream(&out, &n);
    const int rc = CONF_write_fp(ctx, f);
    std::fclose(f);
    CONF_free(ctx);
    const std::string written(out, n);
    std::free(out);
    if (rc != 0) Fail("CONF_write_fp failed on a loaded context", text, std::to_string(rc));
    Listing original, again;
    Load(text, &original);
    if (!Load(written, &again)) Fail("CONF_write_fp's output does not load", text, written);
    if (again != original) Fail("CONF_write_fp's output loads to another context", text, written);
}

enum Op { kSet, kSetRaw, kUnset, kRemoveSection };

struct Request {
    Op op;
    bool default_section;  // pass null for "default"
    std::string section, name, value;
};

// Reads one field: a length byte (taken modulo limit) and that many bytes,
// kept up to the first NUL.  False when the input ends first.
bool Field(const uint8_t *&p, const uint8_t *end, unsigned limit, bool mapped, std::string *out) {
    if (p == end) return false;
    const size_t n = *p++ % limit;
    if (static_cast<size_t>(end - p) < n) return false;
    static const char kAlphabet[] = "abkxyz01_.-\\";
    out->clear();
    for (size_t i = 0; i < n; ++i) {
        const char c = static_cast<char>(p[i]);
        out->push_back(mapped ? kAlphabet[p[i] % (sizeof kAlphabet - 1)] : c);
    }
    p += n;
    out->resize(std::strlen(out->c_str()));
    return true;
}

// Every line's origin tells the truth: a line read is that line of the
// text as read, whole, and lines read keep their order; a line written
// names one of the edits made so far (at most `calls`).
void CheckOrigins(CONF_DOC *doc, const std::string &read, int calls) {
    const std::string now = Text(doc);
    std::vector<std::string> read_lines, lines;
    for (const auto &[text, out] : {std::pair{&read, &read_lines}, std::pair{&now, &lines}}) {
        size_t at = 0;
        for (size_t lf; (lf = text->find('\n', at)) != std::string::npos; at = lf + 1)
            out->push_back(text->substr(at, lf - at));
        out->push_back(text->substr(at));
    }
    int last = 0;
    CONF_DOC_LINE o{};
    for (size_t i = 0; i < lines.size(); ++i) {
        if (CONF_doc_line_origin(doc, static_cast<int>(i + 1), &o) != 0)
            Fail("a line of the text has no origin", read, now);
        if (o.read_line > 0) {
            if (o.edit != 0 || o.read_line <= last ||
                static_cast<size_t>(o.read_line) > read_lines.size() ||
                lines[i] != read_lines[static_cast<size_t>(o.read_line) - 1])
                Fail("a line is not the line read that its origin names", read, now);
            last = o.read_line;
        } else if (o.edit < 1 || o.edit > calls) {
            Fail("a line written names no edit made", read, now);
        }
    }
    if (CONF_doc_line_origin(doc, static_cast<int>(lines.size() + 1), &o) != -1)
        Fail("a line past the text has an origin", read, now);
}

// Applies one request and checks it against the text it started from.
void Apply(CONF_DOC *doc, const Request &r) {
    const std::string before = Text(doc);
    const char *section = r.default_section ? nullptr : r.section.c_str();
    const std::string s = r.default_section ? "default" : r.section;
    const std::string &n = r.name;
    Listing old_listing, new_listing;
    const bool loaded = Load(before, &old_listing);
    const bool plain = before.find('$') == std::string::npos;
    const Definition def = r.op <= kSetRaw ? FindDefinition(before, s, n) : Definition{};

    int rc = 0;
    switch (r.op) {
        case kSet: rc = CONF_doc_set(doc, section, n.c_str(), r.value.c_str()); break;
        case kSetRaw: rc = CONF_doc_set_raw(doc, section, n.c_str(), r.value.c_str()); break;
        case kUnset: rc = CONF_doc_unset(doc, section, n.c_str()); break;
        case kRemoveSection: rc = CONF_doc_remove_section(doc, section); break;
    }
    const std::string after = Text(doc);
    int line = -1;
    const char *error = CONF_doc_last_error(doc, &line);
    if (rc < 0) {
        if (after != before) Fail("a failed call changed the text", before, after);
        if (*error == '\0') Fail("a failed call recorded no error", before, std::to_string(rc));
        if (loaded && rc == -111) Fail("-111 on a text that loads", before, error);
        if (loaded && r.op == kSet && Writable(n))
            Fail("set refused a writable name on a text that loads", before, n + " = " + r.value);
        return;
    }
    if (*error != '\0' || line != 0) Fail("a call that succeeded left an error", before, error);
    if (before.starts_with(kBom) && !after.starts_with(kBom))
        Fail("the byte-order mark went", before, after);
    // Lines added end as the text's do (a text with none gets LF).
    const LineEnds ends = LineEndsOf(before) == kNone ? kLf : LineEndsOf(before);
    if (r.op <= kSetRaw && !def.found && ends != kMixed && !before.ends_with('\r') &&
        (LineEndsOf(after) | ends) != ends)
        Fail("lines were added with other line ends", before, after);
    if (r.op >= kUnset && (rc == 0) != (after == before))
        Fail("the count disagrees with the change", before, after);
    const bool new_loads = Load(after, &new_listing);

    if (r.op <= kSetRaw) {
        // Only one stretch changes: inside the definition's logical line, or
        // lines added.
        const Change c = Diff(before, after);
        const std::string removed = before.substr(c.prefix, before.size() - c.prefix - c.suffix);
        const std::string added = after.substr(c.prefix, after.size() - c.prefix - c.suffix);
        if (after == before) {
            if (!def.found) Fail("set of a new entry changed nothing", before, after);
        } else if (def.found) {
            if (c.prefix < def.begin || before.size() - c.suffix > def.end ||
                added.find('\n') != std::string::npos)
                Fail("set changed bytes outside the definition's line", before, after);
        } else if (!removed.empty() || (!added.empty() && added.find('\n') == std::string::npos)) {
            Fail("set of a new entry did more than add lines", before, after);
        }
        // (A definition that already has that text, before a NUL, stays.)
        if (r.op == kSetRaw && after != before && EndsInLoneBackslash(r.value))
            Fail("set_raw wrote a text that ends in a lone backslash", before, after);
        // Idempotent.
        const int again = r.op == kSet ? CONF_doc_set(doc, section, n.c_str(), r.value.c_str())
                                       : CONF_doc_set_raw(doc, section, n.c_str(), r.value.c_str());
        if (again != 0 || Text(doc) != after)
            Fail("a second set changed the text", after, Text(doc));
    }
    if (!loaded) return;

    switch (r.op) {
        case kSet: {
            // What the writer wrote draws no warning where the line drew none.
            if (WarningsOn(before, def) == 0 && WarningsOn(after, FindDefinition(after, s, n)) != 0)
                Fail("set wrote a value that lint warns of", before, after);
            if (!new_loads)
                Fail("set made a text that loads into one that does not", before, after);
            const std::string *v = Value(new_listing, s, n);
            if (v == nullptr || *v != r.value) Fail("set did not store the value", before, after);
            if (!plain) break;
            if (def.found) {
                if (new_listing != WithValue(old_listing, s, n, r.value))
                    Fail("set changed other entries", before, after);
            } else if (Without(new_listing, s, n, old_listing) != old_listing) {
                Fail("set of a new entry changed other entries", before, after);
            }
            break;
        }
        case kSetRaw: {
            // A raw text gives what a line holding it alone gives; with a CR
            // in it, the rest of its line counts too (a backslash and a CR
            // escape the CR, or continue the line when a line end follows).
            if (!plain || !new_loads || r.value.find_first_of("$\r") != std::string::npos ||
                EndsInLoneBackslash(r.value))
                break;
            Listing raw;
            if (!Load("k = " + r.value + "\n", &raw)) break;
            const std::string *v = Value(new_listing, s, n);
            if (v == nullptr || *v != *Value(raw, "default", "k"))
                Fail("set_raw did not store the value its text gives", before, after);
            if (Without(new_listing, s, n, old_listing) != Without(old_listing, s, n, old_listing))
                Fail("set_raw changed other entries", before, after);
            break;
        }
        case kUnset: {
            size_t dropped = 0;
            if (!DropsWholeLines(before, after, &dropped) || (rc > 0 && dropped == 0))
                Fail("unset did more than remove lines", before, after);
            if (!plain) break;
            if (!new_loads) Fail("unset made a text that does not load", before, after);
            if (Value(new_listing, s, n) != nullptr) Fail("unset left the entry", before, after);
            // The section may now come into being later (or not at all), when
            // the entry's qualified line made it.
            if (WithoutSection(new_listing, s) != WithoutSection(old_listing, s) ||
                SectionWithout(new_listing, s, n) != SectionWithout(old_listing, s, n))
                Fail("unset changed other entries", before, after);
            break;
        }
        case kRemoveSection: {
            size_t dropped = 0;
            if (!DropsWholeLines(before, after, &dropped, static_cast<size_t>(rc)) ||
                dropped != static_cast<size_t>(rc))
                Fail("remove_section did more than remove its lines", before, after);
            if (!plain) break;
            if (!new_loads) Fail("remove_section made a text that does not load", before, after);
            const Entries *left = Section(new_listing, s);
            if (left != nullptr && !left->empty()) Fail("the section kept entries", before, after);
            if (WithoutSection(new_listing, s) != WithoutSection(old_listing, s))
                Fail("remove_section changed other sections", before, after);
            break;
        }
    }
}

// Makes one request's call, and only that.
void ApplyQuietly(CONF_DOC *doc, const Request &r) {
    const char *section = r.default_section ? nullptr : r.section.c_str();
    const char *name = r.name.c_str();
    switch (r.op) {
        case kSet: (void)CONF_doc_set(doc, section, name, r.value.c_str()); break;
        case kSetRaw: (void)CONF_doc_set_raw(doc, section, name, r.value.c_str()); break;
        case kUnset: (void)CONF_doc_unset(doc, section, name); break;
        case kRemoveSection: (void)CONF_doc_remove_section(doc, section); break;
    }
}

}  // namespace

// Input layout: byte 0 gives the number of operations (1 to 4, low two
// bits; with bit 2, a quiet run, 4 more for each step of bits 3-5); each
// operation is a byte of flags (bits 0-1: set, set_raw, unset,
// remove_section; bit 2: null section, meaning "default"; bit 3: section
// and name of an entry the text already has, chosen by the next two bytes;
// bit 4: name bytes mapped to name characters), then the section, name and
// value as fields (a length byte and the bytes).  The rest is the text.
// A quiet run makes its calls one after another without reading the text
// between them, so that what a document keeps between calls piles up; the
// differential build checks each call, and the text at the end must write
// back and tell its lines' origins truly.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    const uint8_t *p = data + 1;
    const uint8_t *end = data + size;
    const bool quiet = (data[0] & 4) != 0;
    const int count = 1 + (data[0] & 3) + (quiet ? 4 * ((data[0] >> 3) & 7) : 0);
    std::vector<std::pair<uint8_t, Request>> requests;
    for (int i = 0; i < count && p < end; ++i) {
        const uint8_t flags = *p++;
        Request r{static_cast<Op>(flags & 3), (flags & 4) != 0, "", "", ""};
        if (flags & 8) {
            if (end - p < 2) break;
            r.section = std::string(1, static_cast<char>(p[0]));
            r.name = std::string(1, static_cast<char>(p[1]));
            p += 2;
        } else if (!Field(p, end, 8, false, &r.section) ||
                   !Field(p, end, 8, (flags & 16) != 0, &r.name)) {
            break;
        }
        if (!Field(p, end, 24, false, &r.value)) break;
        requests.emplace_back(flags, std::move(r));
    }
    const std::string text(reinterpret_cast<const char *>(p), static_cast<size_t>(end - p));

    CONF_DOC *doc = CONF_doc_new();
    if (doc == nullptr || CONF_doc_read_buffer(doc, text.data(), text.size()) != 0 ||
        Text(doc) != text)
        std::abort();
    CheckWriteBack(text);
    int calls = 0;
    for (auto &[flags, r] : requests) {
        if (flags & 8) {
            // Pick an existing entry: section and name by index (of the
            // text as read, in a quiet run).
            Listing l;
            if (Load(quiet ? text : Text(doc), &l) && !l.empty()) {
                const auto &sec = l[static_cast<uint8_t>(r.section[0]) % l.size()];
                r.default_section = r.default_section && sec.first == "default";
                r.section = sec.first;
                r.name =
                    sec.second.empty()
                        ? "x"
                        : sec.second[static_cast<uint8_t>(r.name[0]) % sec.second.size()].first;
            } else {
                r.section = "s";
                r.name = "x";
            }
        }
        if (quiet) {
            ApplyQuietly(doc, r);
            ++calls;
            continue;
        }
        Apply(doc, r);
        calls += 2;  // with the second, identical set that Apply makes
        CheckOrigins(doc, text, calls);
    }
    if (quiet) CheckOrigins(doc, text, calls);
    CheckWriteBack(Text(doc));
    CONF_doc_free(doc);
    return 0;
}
