// conf_load.cc - reading configuration files into a context.
//
// The file is read once, through one read buffer, into one line buffer that
// is reused for every logical line.  Physical lines are taken whole, with
// their true length, so no line is limited, cut or joined by accident:
//   - a physical line ends at LF; its trailing CR and LF bytes are removed;
//   - a NUL byte ends its physical line's text (the rest of that line is
//     ignored, and the line is not continued);
//   - a line whose text ends in a backslash that is not itself escaped
//     continues on the next physical line (the backslash is removed);
//   - a logical line still open at end of file is processed as it stands;
//   - a UTF-8 byte-order mark at the very start of the file is skipped.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "conf_internal.h"

namespace nivra::conf {
namespace {

constexpr size_t kReadChunk = 64 * 1024;
constexpr size_t kInitialLine = 1024;
constexpr unsigned char kBom[3] = {0xEF, 0xBB, 0xBF};
constexpr char kDefaultSection[] = "default";

// Buffered reader of physical lines into a growable line buffer.
class LineReader {
  public:
    explicit LineReader(std::FILE *in) : in_(in) {}
    ~LineReader() {
        std::free(chunk_);
        std::free(line_);
    }
    bool init() {
        chunk_ = static_cast<char *>(std::malloc(kReadChunk));
        line_ = static_cast<char *>(std::malloc(kInitialLine));
        line_cap_ = kInitialLine;
        return chunk_ != nullptr && line_ != nullptr;
    }

    enum class Result { kLine, kEnd, kReadError, kNoMemory };

    // Appends the next physical line, without its LF, at offset at of the
    // line buffer; *length receives its byte count.  kEnd when the file has
    // no more bytes.
    Result read_line(size_t at, size_t *length) {
        size_t n = 0;
        bool any = false;
        for (;;) {
            if (pos_ == len_) {
                if (!refill()) {
                    if (std::ferror(in_)) return Result::kReadError;
                    if (!any) return Result::kEnd;
                    break;
                }
            }
            any = true;
            const char *start = chunk_ + pos_;
            const size_t avail = len_ - pos_;
            const void *lf = std::memchr(start, '\n', avail);
            const size_t take = lf != nullptr ? static_cast<size_t>(static_cast<const char *>(lf) - start) : avail;
            if (!append(at + n, start, take)) return Result::kNoMemory;
            n += take;
            pos_ += take;
            if (lf != nullptr) {
                ++pos_;  // the LF itself
                break;
            }
        }
        *length = n;
        return Result::kLine;
    }

    char *line() { return line_; }

    // Room for one terminator after at bytes.
    bool terminate(size_t at) {
        if (!ensure(at + 1)) return false;
        line_[at] = '\0';
        return true;
    }

  private:
    bool refill() {
        pos_ = 0;
        len_ = std::fread(chunk_, 1, kReadChunk, in_);
        if (first_ && len_ > 0) {
            first_ = false;
            // A short first read could split the mark; read on until three
            // bytes are here or the file ends.
            while (len_ < sizeof kBom) {
                const size_t more = std::fread(chunk_ + len_, 1, sizeof kBom - len_, in_);
                if (more == 0) break;
                len_ += more;
            }
            if (len_ >= sizeof kBom && std::memcmp(chunk_, kBom, sizeof kBom) == 0) {
                pos_ = sizeof kBom;
                if (pos_ == len_) return refill();
            }
        }
        return len_ > 0;
    }

    bool ensure(size_t need) {
        if (need <= line_cap_) return true;
        size_t cap = line_cap_;
        while (cap < need) cap *= 2;
        void *p = std::realloc(line_, cap);
        if (p == nullptr) return false;
        line_ = static_cast<char *>(p);
        line_cap_ = cap;
        return true;
    }

    bool append(size_t at, const char *src, size_t n) {
        if (!ensure(at + n + 1)) return false;
        std::memcpy(line_ + at, src, n);
        return true;
    }

    std::FILE *in_;
    char *chunk_ = nullptr;
    size_t pos_ = 0;
    size_t len_ = 0;
    bool first_ = true;
    char *line_ = nullptr;
    size_t line_cap_ = 0;
};

bool is_blank(char c) { return is_class(c, CC_SPACE); }

// The end of a value that starts at start and whose line ends at end:
// trailing blanks are dropped, except one escaped by an odd run of
// backslashes, which belongs to the value.
char *trim_value_end(char *start, char *end) {
    while (end > start && is_blank(end[-1])) {
        size_t slashes = 0;
        for (char *q = end - 1; q > start && q[-1] == '\\'; --q) ++slashes;
        if (slashes % 2 == 1) break;
        --end;
    }
    return end;
}

// One load's working state and the steps of processing a logical line.
class Loader {
  public:
    Loader(CONF_CTX *ctx, std::FILE *in) : ctx_(ctx), reader_(in) {}
    ~Loader() {
        std::free(section_name_);
        free_pending();
    }

    LH_TABLE *run();

  private:
    bool setup();
    bool process(char *line);
    bool header(char *p);
    bool entry(char *p);
    bool store(CONF_VALUE *section, CONF_VALUE *record);
    CONF_VALUE *section_for(const char *name);
    LH_TABLE *fail(int number);

    // Notes the error to record at the exit; always false, for "return".
    bool failing(int number) {
        error_ = number;
        return false;
    }
    // str_copy has recorded its error already.
    bool failed_in_expansion() {
        recorded_ = true;
        return false;
    }

    void free_pending() {
        if (pending_ != nullptr) free_entry(pending_);
        pending_ = nullptr;
    }

    CONF_CTX *ctx_;
    LineReader reader_;
    long line_no_ = 0;
    char *section_name_ = nullptr;
    CONF_VALUE *section_ = nullptr;
    CONF_VALUE *pending_ = nullptr;
    int error_ = 0;           // error to record at the exit, if not recorded yet
    bool recorded_ = false;   // str_copy records its own errors
};

bool Loader::setup() {
    if (!reader_.init()) return failing(kErrMemory);
    section_name_ = static_cast<char *>(std::malloc(sizeof kDefaultSection));
    if (section_name_ == nullptr) return failing(kErrMemory);
    std::memcpy(section_name_, kDefaultSection, sizeof kDefaultSection);
    if (ctx_->table == nullptr) {
        // Stored in the context at once, so that expansion sees entries as
        // they are stored.
        ctx_->table = lh_new(hash, cmp_conf);
        if (ctx_->table == nullptr) return failing(kErrMemory);
    }
    section_ = get_section(ctx_, section_name_);
    if (section_ == nullptr) section_ = new_section(ctx_->table, section_name_);
    if (section_ == nullptr) return failing(kErrSection);
    return true;
}

LH_TABLE *Loader::run() {
    if (!setup()) return fail(error_);
    size_t n = 0;          // logical line assembled so far
    bool open = false;     // a continuation is waiting for its next line
    for (;;) {
        size_t got = 0;
        const auto r = reader_.read_line(n, &got);
        if (r == LineReader::Result::kReadError) return fail(kErrRead);
        if (r == LineReader::Result::kNoMemory) return fail(kErrMemory);
        if (r == LineReader::Result::kEnd) {
            if (!open) break;
            if (!reader_.terminate(n)) return fail(kErrMemory);
            if (!process(reader_.line())) return fail(error_);
            break;
        }
        ++line_no_;
        char *text = reader_.line() + n;
        const void *nul = std::memchr(text, '\0', got);
        if (nul != nullptr) got = static_cast<size_t>(static_cast<const char *>(nul) - text);
        while (got > 0 && (text[got - 1] == '\r' || text[got - 1] == '\n')) --got;
        n += got;
        const char *line = reader_.line();
        if (nul == nullptr && n >= 1 && line[n - 1] == '\\' && (n == 1 || line[n - 2] != '\\')) {
            --n;
            open = true;
            continue;
        }
        open = false;
        reader_.line()[n] = '\0';  // read_line always leaves room for it
        n = 0;
        if (!process(reader_.line())) return fail(error_);
    }
    return ctx_->table;
}

bool Loader::process(char *line) {
    clear_comments(line);
    char *p = eat_ws(line);
    if (*p == '\0') return true;
    return *p == '[' ? header(p) : entry(p);
}

bool Loader::header(char *p) {
    char *start = eat_ws(p + 1);
    char *run = start;
    char *name_end = start;
    for (;;) {
        name_end = eat_alpha_numeric(run);
        char *q = eat_ws(name_end);
        if (*q == ']') break;
        // The end of the line, or a byte that can neither be part of a name
        // nor a blank: the scan cannot go on.
        if (*q == '\0' || q == run) return failing(kErrBracket);
        run = q;
    }
    *name_end = '\0';
    if (!str_copy(ctx_, nullptr, &section_name_, start)) return failed_in_expansion();
    section_ = section_for(section_name_);
    return section_ != nullptr;
}

CONF_VALUE *Loader::section_for(const char *name) {
    CONF_VALUE *s = get_section(ctx_, name);
    if (s == nullptr) s = new_section(ctx_->table, name);
    if (s == nullptr) failing(kErrSection);
    return s;
}

bool Loader::entry(char *p) {
    char *name = p;
    char *name_end = eat_alpha_numeric(p);
    char *qualifier = nullptr;
    if (name_end[0] == ':' && name_end[1] == ':') {
        qualifier = p;
        *name_end = '\0';
        name = name_end + 2;
        name_end = eat_alpha_numeric(name);
    }
    char *eq = eat_ws(name_end);
    if (*eq != '=') return failing(kErrEqual);
    *name_end = '\0';
    char *value = eat_ws(eq + 1);
    *trim_value_end(value, value + std::strlen(value)) = '\0';

    pending_ = static_cast<CONF_VALUE *>(std::malloc(sizeof(CONF_VALUE)));
    if (pending_ == nullptr) return failing(kErrMemory);
    pending_->section = nullptr;
    pending_->value = nullptr;
    const size_t size = static_cast<size_t>(name_end - name) + 1;
    pending_->name = static_cast<char *>(std::malloc(size));
    if (pending_->name == nullptr) return failing(kErrMemory);
    std::memcpy(pending_->name, name, size);

    const char *section = qualifier != nullptr ? qualifier : section_name_;
    if (!str_copy(ctx_, section, &pending_->value, value)) return failed_in_expansion();
    CONF_VALUE *target = section_;
    if (qualifier != nullptr && std::strcmp(section, section_name_) != 0) {
        target = section_for(section);
        if (target == nullptr) return false;
    }
    CONF_VALUE *record = pending_;
    record->section = target->section;
    if (!store(target, record)) return false;
    pending_ = nullptr;  // the table owns it now
    return true;
}

// Appends record to its section's stack and stores it in the table; an
// entry it replaces leaves the stack and is freed.  When the table could not
// store it, everything is taken back and the record stays pending.
bool Loader::store(CONF_VALUE *section, CONF_VALUE *record) {
    auto *sk = reinterpret_cast<SK_STACK *>(section->value);
    if (sk_CONF_VALUE_push(sk, record) == 0) return failing(kErrMemory);
    LH_TABLE *t = ctx_->table;
    const uint32_t before = t->item_count;
    auto *old = static_cast<CONF_VALUE *>(lh_insert(t, record));
    if (t->error != 0) {
        if (old != nullptr) {
            lh_insert(t, old);  // puts the earlier record back in its node
        } else if (t->item_count != before) {
            lh_delete(t, record);
        }
        sk_CONF_VALUE_delete_ptr(sk, record);
        return failing(kErrMemory);
    }
    if (old != nullptr) {
        sk_CONF_VALUE_delete_ptr(sk, old);
        free_entry(old);
    }
    return true;
}

LH_TABLE *Loader::fail(int number) {
    if (!recorded_) CONFerr(ctx_, number);
    const size_t used = std::strlen(ctx_->last_error_str);
    std::snprintf(ctx_->last_error_str + used, sizeof ctx_->last_error_str - used, ", line %ld",
                  line_no_);
    return nullptr;
}

}  // namespace

LH_TABLE *CONF_load_file(CONF_CTX *ctx, std::FILE *in) {
    Loader loader(ctx, in);
    return loader.run();
}

int CONF_load_stream(CONF_CTX *ctx, std::FILE *in) {
    if (CONF_load_file(ctx, in) == nullptr) {
        // A failed load drops the whole table, earlier loads' entries too.
        CONF_lhash_free(ctx->table);
        ctx->table = nullptr;
    }
    return ctx->last_errnum;
}

}  // namespace nivra::conf

extern "C" int CONF_load(CONF_CTX *ctx, const char *file) {
    using namespace nivra::conf;
    if (ctx == nullptr) return kErrNullContext;
    std::FILE *in = file != nullptr ? std::fopen(file, "rb") : nullptr;
    if (in == nullptr) {
        CONFerr(ctx, kErrOpen);
        return ctx->last_errnum;
    }
    const int result = CONF_load_stream(ctx, in);
    std::fclose(in);
    return result;
}
