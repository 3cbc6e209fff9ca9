// conf_load.cc - reading configuration files into a context.
//
// Owns: the loader's steps (logical line, header, entry, store) and the
// entry points that load a path, a stream or memory.  Physical lines come
// from the reader (conf_reader.h), the records themselves are made and
// stored through conf_store.h, values are expanded by conf_expand.h, lines
// are scanned by conf_syntax.h.
//
// A physical line that starts a logical line and lies whole in the reader's
// read buffer is parsed where it lies; a continued line is assembled in the
// reader's line buffer, which is reused for every logical line.  The
// logical lines are made of the physical ones so that no line is limited,
// cut or joined by accident:
//   - a physical line's trailing CR and LF bytes are removed;
//   - a NUL byte ends its physical line's text (the rest of that line is
//     ignored, and the line is not continued);
//   - a line whose text ends in a backslash continues on the next physical
//     line (the backslash is removed), unless the byte before that backslash
//     is a backslash too: the test looks one byte back only, so a line ending
//     in two or in three backslashes stands alone;
//   - a logical line still open at end of file is processed as it stands.
//
// Error protocol: every step returns 0 or the error number; read_all()
// passes the first non-zero number up, and fail() is the one place that
// records it and appends the line.  Expansion records its own errors, and
// the step hands on the number it recorded (recording it again gives the
// same text).
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "conf_buffer.h"
#include "conf_expand.h"
#include "conf_load.h"
#include "conf_reader.h"
#include "conf_store.h"
#include "conf_syntax.h"
#include "lhash_internal.h"

namespace nivra::conf {
namespace {

bool is_blank(char c) { return is_class(c, CC_SPACE); }

// The end of a value that starts at start and whose line ends at end:
// trailing blanks are dropped, except one escaped by an odd run of
// backslashes, which belongs to the value.
char *trim_value_end(const char *start, char *end) {
    while (end > start && is_blank(end[-1])) {
        size_t slashes = 0;
        for (const char *q = end - 1; q > start && q[-1] == '\\'; --q) ++slashes;
        if (slashes % 2 == 1) break;
        --end;
    }
    return end;
}

// An entry line as scanned, before its value is expanded.
struct EntryLine {
    char *qualifier = nullptr;  // NUL-terminated, or null
    char *name = nullptr;       // NUL-terminated
    size_t name_len = 0;
    char *value = nullptr;  // NUL-terminated, trimmed
    char *value_end = nullptr;
};

// One load's working state and the steps of processing a logical line.
// Every step returns 0 or the error number that ends the load.
class Loader {
  public:
    Loader(CONF_CTX *ctx, std::FILE *in, const LoadObserver *observer = nullptr)
        : ctx_(ctx), reader_(in), observer_(observer) {}
    Loader(CONF_CTX *ctx, int fd) : ctx_(ctx), reader_(fd) {}
    Loader(CONF_CTX *ctx, const char *data, size_t length, const LoadObserver *observer = nullptr,
           bool tolerant = false)
        : ctx_(ctx), reader_(data, length), observer_(observer), tolerant_(tolerant) {}
    Loader(const Loader &) = delete;
    Loader &operator=(const Loader &) = delete;

    // The table on success; null after recording the error with its line.
    LH_TABLE *load();
    // The file (interned in the context) that entries record as their origin.
    void set_file(const char *file) { file_ = file; }

  private:
    int setup();
    int read_all();
    // Processes the logical line of length bytes (NUL-terminated).
    int process(char *line, size_t length);
    int header(char *p);
    // Makes section_name_ the current section (its record and hash).
    int enter_section();
    int entry(char *p);
    int scan_entry(char *p, EntryLine *e);
    // Expands e's value into value_; a tolerant scan takes the text as
    // written where a reference has no value.
    int expand_value(const char *section, const EntryLine &e);
    int store(const EntryLine &e, const char *section, const char *value, size_t value_len);
    int expansion_error() const { return ctx_->last_errnum; }
    LH_TABLE *fail(int number);

    // With an observer only: where each logical line came from, the line
    // as read (kept before processing writes into it), and what was met.
    int add_piece(size_t logical, size_t source, size_t length);
    int keep_raw(const char *line, size_t n);
    size_t offset(const char *p) const { return static_cast<size_t>(p - line_); }
    void notify(LoadEvent event, size_t at, const CONF_VALUE *entry = nullptr,
                const CONF_VALUE *replaced = nullptr, int error = 0, char escape = '\0') const;
    void check_value(const char *value, const char *value_end, const ExpandNotes &notes) const;
    void check_comment();

    CONF_CTX *ctx_;
    LineReader reader_;
    long line_no_ = 0;
    // The current section's name: the default one, or the last header's,
    // expanded into header_ (one buffer for every header of the file).
    const char *section_name_ = kDefaultSection;
    ExpandBuffer header_;
    uint32_t section_hash_ = 0;  // lh_strhash(section_name_)
    CONF_VALUE *section_ = nullptr;
    ExpandBuffer value_;  // every value is expanded here, then copied

    Prefetcher prefetcher_;
    const LoadObserver *observer_ = nullptr;
    bool tolerant_ = false;
    const char *file_ = nullptr;
    const char *line_ = nullptr;     // the logical line being processed
    char *line_end_ = nullptr;       // its terminator, once comments are cut
    bool plain_line_ = false;        // what is left holds no quote, backslash or '$'
    bool careful_ = false;           // the logical line needs the careful scanners
    size_t hash_at_ = kNoOffset;     // its first '#', when it needs no care
    size_t comment_at_ = kNoOffset;  // where the comment cut the current line
    size_t error_at_ = kNoOffset;    // where the scan that failed stopped
    long first_line_ = 0;            // of the logical line being assembled
    GrowArray<SourcePiece> pieces_;  // its physical lines (observer only)
    LineSource source_{};
    LineParts parts_{};
    long related_line_ = 0;  // for the note being told
    // The same line as read (observer only); a short one stays in raw_room_,
    // so that a scan of a single line allocates nothing for it.
    char raw_room_[256];
    ByteBuffer raw_{raw_room_, sizeof raw_room_};
};

int Loader::add_piece(size_t logical, size_t source, size_t length) {
    return pieces_.push(SourcePiece{logical, source, length}) ? 0 : kErrMemory;
}

int Loader::keep_raw(const char *line, size_t n) {
    if (!raw_.reserve(n + 1)) return kErrMemory;
    raw_.clear();
    raw_.append(line, n);  // cannot fail: the room is there
    return 0;
}

void Loader::notify(LoadEvent event, size_t at, const CONF_VALUE *entry, const CONF_VALUE *replaced,
                    int error, char escape) const {
    if (observer_ == nullptr) return;
    const bool has_parts = event == LoadEvent::kStored || event == LoadEvent::kReplacing ||
                           event == LoadEvent::kUnresolved || event == LoadEvent::kHeader;
    const LoadNote note{event,
                        line_no_,
                        raw_.data(),
                        raw_.size(),
                        at,
                        entry,
                        replaced,
                        error,
                        escape,
                        first_line_,
                        related_line_,
                        event == LoadEvent::kHeader ? section_name_ : nullptr,
                        source_.count > 0 ? &source_ : nullptr,
                        has_parts ? &parts_ : nullptr};
    observer_->notify(observer_->arg, &note);
}

// Whether an unquoted ';' follows a blank in the value: a comment in other
// formats, part of the value here.
size_t semicolon_after_blank(const char *value, const char *value_end) {
    char quote = '\0';
    for (const char *p = value; p < value_end; ++p) {
        if (*p == '\\' && p + 1 < value_end) {
            ++p;
        } else if (quote != '\0') {
            quote = *p == quote ? '\0' : quote;
        } else if (is_class(*p, CC_QUOTE)) {
            quote = *p;
        } else if (*p == ';' && p > value && is_class(p[-1], CC_SPACE)) {
            return static_cast<size_t>(p - value);
        }
    }
    return kNoOffset;
}

// What a value that loads may not mean what it says.
void Loader::check_value(const char *value, const char *value_end, const ExpandNotes &notes) const {
    if (observer_ == nullptr || !observer_->lint) return;
    // A '#' glued to the value ("http://host/#part") cut it short.
    if (comment_at_ != kNoOffset && comment_at_ > offset(value) &&
        !is_class(raw_.data()[comment_at_ - 1], CC_SPACE)) {
        notify(LoadEvent::kCommentInValue, comment_at_);
    }
    if (notes.unclosed_quote) notify(LoadEvent::kUnclosedQuote, offset(value));
    if (const size_t semi = semicolon_after_blank(value, value_end); semi != kNoOffset)
        notify(LoadEvent::kSemicolonInValue, offset(value) + semi);
    if (notes.control_escape != '\0') {
        // Path-like: a drive or scheme colon, or backslashes as separators.
        size_t backslashes = 0;
        bool colon = false;
        for (const char *p = value; p < value_end; ++p) {
            backslashes += *p == '\\' ? 1 : 0;
            colon = colon || *p == ':';
        }
        if (colon || backslashes >= 2) {
            notify(LoadEvent::kControlEscape, offset(value), nullptr, nullptr, 0,
                   notes.control_escape);
        }
    }
}

// A comment whose physical line ended in one backslash took the following
// physical lines into itself: they are never read.  Told once, when one of
// them holds more than blanks.
void Loader::check_comment() {
    if (observer_ == nullptr || !observer_->lint || comment_at_ == kNoOffset) return;
    size_t i = 0;
    while (i + 1 < pieces_.size() && pieces_[i + 1].logical <= comment_at_) ++i;
    for (size_t j = i + 1; j < pieces_.size(); ++j) {
        const SourcePiece &piece = pieces_[j];
        for (size_t k = piece.logical; k < piece.logical + piece.length; ++k) {
            if (!is_class(raw_.data()[k], CC_SPACE)) {
                related_line_ = first_line_ + static_cast<long>(i) + 1;
                notify(LoadEvent::kCommentContinued, comment_at_);
                related_line_ = 0;
                return;
            }
        }
    }
}

int Loader::setup() {
    reader_.init();
    // Stored in the context at once, so that expansion sees entries as they
    // are stored.
    if (table_for(ctx_) == nullptr) return kErrMemory;
    return enter_section();
}

int Loader::enter_section() {
    section_hash_ = lh_strhash(section_name_);
    section_ = find_or_add_section(ctx_, section_name_, section_hash_);
    return section_ != nullptr ? 0 : kErrSection;
}

LH_TABLE *Loader::load() {
    int err = setup();
    if (err == 0) err = read_all();
    return err == 0 ? ctx_->table : fail(err);
}

int Loader::read_all() {
    size_t n = 0;       // logical line assembled so far
    bool open = false;  // a continuation is waiting for its next line
    for (;;) {
        if (!open) {
            first_line_ = line_no_ + 1;
            pieces_.clear();
            careful_ = false;
            hash_at_ = kNoOffset;
        }
        size_t got = 0;
        size_t source = reader_.offset();
        LineMarks marks;
        char *text = nullptr;
        const auto r = reader_.read_line(n, &got, &source, &marks, &text);
        if (!open) source_.begin = source;
        if (r == LineReader::Result::kReadError) return kErrRead;
        if (r == LineReader::Result::kNoMemory) return kErrMemory;
        if (r == LineReader::Result::kEnd) {
            if (!open) return 0;
            reader_.terminate(n);
            return process(reader_.line(), n);
        }
        ++line_no_;
        char *const line = text - n;  // the logical line: its first piece is at n == 0
        // Only a line that needs care can hold a NUL.
        const void *nul = marks.careful ? std::memchr(text, '\0', got) : nullptr;
        if (nul != nullptr) got = static_cast<size_t>(static_cast<const char *>(nul) - text);
        careful_ = careful_ || marks.careful;
        if (hash_at_ == kNoOffset && marks.hash != kNoOffset) hash_at_ = n + marks.hash;
        while (got > 0 && (text[got - 1] == '\r' || text[got - 1] == '\n')) --got;
        const size_t start = n;
        n += got;
        open = nul == nullptr && n >= 1 && line[n - 1] == '\\' && (n == 1 || line[n - 2] != '\\');
        if (open) --n;
        if (observer_ != nullptr) {
            source_.end = reader_.offset();
            if (const int err = add_piece(start, source, n - start); err != 0) return err;
        }
        if (open) {
            // The next piece is joined to this one in the line buffer.
            if (line != reader_.line() && !reader_.adopt(line, n)) return kErrMemory;
            continue;
        }
        line[n] = '\0';  // read_line always leaves room for it
        if (const int err = process(line, n); err != 0) return err;
        n = 0;
    }
}

int Loader::process(char *line, size_t length) {
    line_ = line;
    if (observer_ != nullptr) {
        if (const int err = keep_raw(line, length); err != 0) return err;
        source_.pieces = pieces_.begin();
        source_.count = pieces_.size();
        parts_ =
            LineParts{kNoOffset, kNoOffset, kNoOffset, kNoOffset, kNoOffset, kNoOffset, kNoOffset};
    }
    if (careful_) {
        line_end_ = clear_comments(line, &plain_line_);
    } else {
        // No quote, backslash or '$': the first '#' starts the comment.
        plain_line_ = true;
        line_end_ = line + (hash_at_ != kNoOffset ? hash_at_ : length);
        *line_end_ = '\0';
    }
    if (observer_ != nullptr) {
        const auto kept = static_cast<size_t>(line_end_ - line);
        comment_at_ = kept < raw_.size() ? kept : kNoOffset;
        parts_.comment = comment_at_;
        error_at_ = kNoOffset;
        check_comment();
    }
    char *p = eat_ws(line);
    if (*p == '\0') return 0;
    return *p == '[' ? header(p) : entry(p);
}

int Loader::header(char *p) {
    char *start = eat_ws(p + 1);
    char *run = start;
    char *name_end = start;
    for (;;) {
        name_end = eat_alpha_numeric(run);
        char *q = eat_ws(name_end);
        if (*q == ']') {
            const char *after = eat_ws(q + 1);
            if (*after != '\0' && observer_ != nullptr && observer_->lint)
                notify(LoadEvent::kTextAfterHeader, offset(after));
            break;
        }
        // The end of the line, or a byte that can neither be part of a name
        // nor a blank: the scan cannot go on.
        if (*q == '\0' || q == run) {
            error_at_ = offset(q);
            return kErrBracket;
        }
        run = q;
    }
    parts_.name = offset(start);
    parts_.name_end = offset(name_end);
    *name_end = '\0';
    const auto name_len = static_cast<size_t>(name_end - start);
    if (plain_line_) {
        // No quote, backslash or '$': the name is its own expansion.
        if (!header_.start(name_len + 1)) return kErrMemory;
        header_.append(start, name_len);
        header_.terminate();
    } else if (!expand_into(ctx_, nullptr, start, name_len, &header_)) {
        return expansion_error();
    }
    section_name_ = header_.data();
    if (const int err = enter_section(); err != 0) return err;
    notify(LoadEvent::kHeader, kNoOffset);
    return 0;
}

// Splits an entry line into qualifier, name and trimmed value, writing
// terminators after each.
int Loader::scan_entry(char *p, EntryLine *e) {
    const QualifiedName q = split_qualified(p, eat_alpha_numeric);
    if (q.section_end != nullptr) {
        e->qualifier = p;
        *q.section_end = '\0';
    }
    char *eq = eat_ws(q.name_end);
    if (*eq != '=') {
        error_at_ = offset(eq);
        return kErrEqual;
    }
    e->name = q.name;
    e->name_len = static_cast<size_t>(q.name_end - q.name);
    e->value = eat_ws(eq + 1);
    // The logical line holds no NUL before its end (the reader cut it at
    // the first), and the cuts above all lie before the value.
    e->value_end = trim_value_end(e->value, line_end_);
    if (observer_ != nullptr) {
        parts_.qualifier = e->qualifier != nullptr ? offset(p) : kNoOffset;
        parts_.name = offset(q.name);
        parts_.name_end = offset(q.name_end);
        parts_.equals = offset(eq);
        parts_.value = offset(e->value);
        parts_.value_end = offset(e->value_end);
    }
    *q.name_end = '\0';
    *e->value_end = '\0';
    return 0;
}

int Loader::expand_value(const char *section, const EntryLine &e) {
    ExpandNotes notes;
    const auto value_len = static_cast<size_t>(e.value_end - e.value);
    if (expand_into(ctx_, section, e.value, value_len, &value_, &notes)) {
        check_value(e.value, e.value_end, notes);
        return 0;
    }
    const int err = expansion_error();
    if (notes.failed_reference != nullptr) error_at_ = offset(notes.failed_reference);
    if (!tolerant_ || (err != kErrBrace && err != kErrNoValue && err != kErrTooLong)) return err;
    notify(LoadEvent::kUnresolved, error_at_, nullptr, nullptr, err);
    CONF_clear_error(ctx_);
    error_at_ = kNoOffset;
    if (!value_.start(value_len + 1)) return kErrMemory;
    value_.append(e.value, value_len);
    value_.terminate();
    return 0;
}

int Loader::entry(char *p) {
    EntryLine e;
    if (const int err = scan_entry(p, &e); err != 0) return err;
    if (e.name[0] == ';' && observer_ != nullptr && observer_->lint)
        notify(LoadEvent::kSemicolonName, offset(e.name));
    prefetcher_.step(ctx_->table, reader_, section_name_);
    const char *section = e.qualifier != nullptr ? e.qualifier : section_name_;
    if (plain_line_) {
        // Nothing to expand: the value is stored as it stands in the line,
        // without a pass through the expansion buffer.
        check_value(e.value, e.value_end, ExpandNotes{});
        return store(e, section, e.value, static_cast<size_t>(e.value_end - e.value));
    }
    if (const int err = expand_value(section, e); err != 0) return err;
    return store(e, section, value_.data(), value_.size());
}

// Stores the entry e of section with its expanded value.  An entry that
// cannot be stored goes back to the table's arena at once.
int Loader::store(const EntryLine &e, const char *section, const char *value, size_t value_len) {
    LH_TABLE *table = ctx_->table;
    CONF_VALUE *entry = make_entry_in(table, e.name, e.name_len, value, value_len);
    if (entry == nullptr) return kErrMemory;
    *origin_of(entry) = EntryOrigin{file_, static_cast<int32_t>(first_line_)};
    const uint32_t section_hash = e.qualifier != nullptr ? lh_strhash(e.qualifier) : section_hash_;
    CONF_VALUE *target = section_;
    if (e.qualifier != nullptr && std::strcmp(section, section_name_) != 0) {
        target = find_or_add_section(ctx_, section, section_hash);
        if (target == nullptr) {
            discard_entry(table, entry);
            return kErrSection;
        }
    }
    if (observer_ != nullptr && observer_->lint) {
        // Told while the earlier entry still exists: storing frees it.
        entry->section = target->section;
        const CONF_VALUE *earlier = find_entry(ctx_, target->section, entry->name);
        if (earlier != nullptr) notify(LoadEvent::kReplacing, kNoOffset, entry, earlier);
    }
    if (observer_ != nullptr && !observer_->keep) {
        entry->section = target->section;
        notify(LoadEvent::kStored, kNoOffset, entry);
        discard_entry(table, entry);
        return 0;
    }
    uint32_t name_hash = 0;
    if (!prefetcher_.name_hash(e.name, e.name_len, &name_hash))
        name_hash = lh_strhash_n(e.name, e.name_len);
    const uint32_t hash = key_hash(section_hash, name_hash);
    if (const int err = store_entry(ctx_, target, entry, hash); err != 0) {
        discard_entry(table, entry);
        return err;
    }
    notify(LoadEvent::kStored, kNoOffset, entry);
    return 0;
}

LH_TABLE *Loader::fail(int number) {
    notify(LoadEvent::kError, error_at_, nullptr, nullptr, number);
    CONFerr(ctx_, number);
    const size_t used = std::strlen(ctx_->last_error_str);
    std::snprintf(ctx_->last_error_str + used, sizeof ctx_->last_error_str - used, ", line %ld",
                  line_no_);
    return nullptr;
}

}  // namespace

namespace {

// What a load leaves: the table on success; after a failure, none (a failed
// load drops the whole table, earlier loads' entries too) and file (null
// for a stream or memory) as the error's file.  Returns the context's last
// error number.
int finish_load(CONF_CTX *ctx, LH_TABLE *loaded, const char *file = nullptr) {
    if (loaded == nullptr) {
        CONF_lhash_free(ctx->table);
        ctx->table = nullptr;
        set_error_file(ctx, file);
    }
    return ctx->last_errnum;
}

int open_failure(CONF_CTX *ctx, const char *file = nullptr) {
    CONFerr(ctx, kErrOpen);
    set_error_file(ctx, file);
    return ctx->last_errnum;
}

// The context's copy of path for origins.  When memory runs out for it, the
// load fails as one that fails before its first line: -102 at line 0, the
// table dropped; null then.
const char *file_for(CONF_CTX *ctx, const char *path) {
    const char *file = intern_file(ctx, path);
    if (file == nullptr) {
        CONFerr(ctx, kErrMemory);
        const size_t used = std::strlen(ctx->last_error_str);
        std::snprintf(ctx->last_error_str + used, sizeof ctx->last_error_str - used, ", line 0");
        finish_load(ctx, nullptr);
    }
    return file;
}

// Loads a stream that is the file path (interned), or no file.
int load_stream_of(CONF_CTX *ctx, std::FILE *in, const char *file,
                   const LoadObserver *observer = nullptr) {
    Loader loader(ctx, in, observer);
    loader.set_file(file);
    return finish_load(ctx, loader.load(), file);
}

}  // namespace

LH_TABLE *CONF_load_file(CONF_CTX *ctx, std::FILE *in) {
    Loader loader(ctx, in);
    return loader.load();
}

int CONF_load_stream(CONF_CTX *ctx, std::FILE *in) { return load_stream_of(ctx, in, nullptr); }

int load_observed(CONF_CTX *ctx, std::FILE *in, const LoadObserver *observer, const char *path) {
    if (ctx == nullptr || in == nullptr) return CONF_load_fp(ctx, in);
    const char *file = path != nullptr ? file_for(ctx, path) : nullptr;
    if (path != nullptr && file == nullptr) return ctx->last_errnum;
    return load_stream_of(ctx, in, file, observer);
}

int scan_buffer(CONF_CTX *ctx, const char *data, size_t length, const LoadObserver *observer,
                bool tolerant) {
    if (ctx == nullptr || (data == nullptr && length > 0))
        return CONF_load_buffer(ctx, data, length);
    Loader loader(ctx, data, length, observer, tolerant);
    return finish_load(ctx, loader.load());
}

int load_path(CONF_CTX *ctx, const char *path, bool *ok) {
    *ok = false;
    if (path == nullptr) return open_failure(ctx);
    const char *file = file_for(ctx, path);
    if (file == nullptr) return ctx->last_errnum;
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return open_failure(ctx, file);
    LH_TABLE *loaded = nullptr;
    {
        Loader loader(ctx, fd);
        loader.set_file(file);
        loaded = loader.load();
    }
    ::close(fd);
    *ok = loaded != nullptr;
    return finish_load(ctx, loaded, file);
}

}  // namespace nivra::conf

using namespace nivra::conf;

extern "C" {

int CONF_load(CONF_CTX *ctx, const char *file) {
    if (ctx == nullptr) return kErrNullContext;
    bool ok = false;
    return load_path(ctx, file, &ok);
}

int CONF_load_fp(CONF_CTX *ctx, FILE *fp) {
    if (ctx == nullptr) return kErrNullContext;
    if (fp == nullptr) return open_failure(ctx);
    return CONF_load_stream(ctx, fp);
}

int CONF_load_buffer(CONF_CTX *ctx, const void *data, size_t length) {
    if (ctx == nullptr) return kErrNullContext;
    if (data == nullptr && length > 0) return open_failure(ctx);
    Loader loader(ctx, static_cast<const char *>(data), length);
    return finish_load(ctx, loader.load());
}

}  // extern "C"
