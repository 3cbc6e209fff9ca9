// conf.cc - the configuration store: records, lookups, errors, release, the
// scanners of the syntax and value expansion.  Loading is in conf_load.cc.
//
// Store invariants:
//   - ctx->table holds every section record (key: name, null) and every entry
//     record (key: section, name) of the context, at most one of each key;
//   - every entry record is listed in its section record's stack, and each
//     stack lists exactly the entries of its section, in stored order;
//   - an entry's section pointer is its section record's own name string.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "conf_internal.h"

namespace nivra::conf {
namespace {

constexpr char kDefaultSection[] = "default";
constexpr char kEnvSection[] = "ENV";

// The bytes at which the comment scan and the expansion must stop and look;
// every other byte is skipped or copied in runs found by strcspn.  They are
// the members of the comment and quote classes, the backslash and (for
// expansion) the dollar sign; the table check below keeps the two in step.
constexpr char kCommentStops[] = "#\"'`\\";
constexpr char kExpandStops[] = "\"'`\\$";

constexpr bool in_set(const char *set, int b) {
    for (; *set != '\0'; ++set) {
        if (static_cast<unsigned char>(*set) == b) return true;
    }
    return false;
}
constexpr bool stop_sets_match_classes() {
    for (int b = 1; b < 256; ++b) {
        const bool quote = (CONF_type[b] & CC_QUOTE) != 0;
        if (in_set(kCommentStops, b) != (quote || (CONF_type[b] & CC_COMMENT) != 0 || b == '\\'))
            return false;
        if (in_set(kExpandStops, b) != (quote || b == '\\' || b == '$')) return false;
    }
    return true;
}
static_assert(stop_sets_match_classes());

// A probe record for lookups: only the key fields are read.
CONF_VALUE probe_for(const char *section, const char *name) {
    return CONF_VALUE{const_cast<char *>(section), const_cast<char *>(name), nullptr};
}

const char *find_value(LH_TABLE *table, const char *section, const char *name) {
    CONF_VALUE probe = probe_for(section, name);
    auto *found = static_cast<CONF_VALUE *>(lh_retrieve(table, &probe));
    return found != nullptr ? found->value : nullptr;
}

// First traversal of CONF_lhash_free: takes every entry record out of the
// table (the record passed in is the only one deleted, as a traversal allows).
void value_free_hash(void *record, void *table) {
    auto *v = static_cast<CONF_VALUE *>(record);
    if (v->name != nullptr) lh_delete(static_cast<LH_TABLE *>(table), v);
}

// Second traversal: releases each section record with its stack and entries,
// the entries from last to first.
void value_free_stack(void *record) {
    auto *v = static_cast<CONF_VALUE *>(record);
    if (v->name != nullptr) return;
    auto *sk = reinterpret_cast<SK_STACK *>(v->value);
    for (int i = sk_num(sk) - 1; i >= 0; --i) free_entry(sk_CONF_VALUE_value(sk, i));
    sk_free(sk);
    std::free(v->section);
    std::free(v);
}

[[noreturn]] void internal_fault() {
    std::fwrite("internal fault\n", 1, 15, stderr);
    std::abort();
}

char escape_value(char c) {
    switch (c) {
        case 'r': return '\r';
        case 'n': return '\n';
        case 'b': return '\b';
        case 't': return '\t';
        default: return c;
    }
}

// The output of one expansion.  Literal text never outgrows the first
// allocation (each output byte consumes at least one input byte), so only
// inserted values make it grow, by the rule in reserve().
class ExpandBuffer {
  public:
    ~ExpandBuffer() { std::free(data_); }
    bool init(size_t capacity) {
        data_ = static_cast<char *>(std::malloc(capacity));
        capacity_ = capacity;
        return data_ != nullptr;
    }
    void put(char c) { data_[len_++] = c; }
    void append(const char *s, size_t n) {
        std::memcpy(data_ + len_, s, n);
        len_ += n;
    }
    // Makes room for a value of n bytes followed by rest more input bytes:
    // the buffer becomes ((need + 3) / 3) * 4 bytes when need does not fit.
    bool reserve(size_t n, size_t rest) {
        const size_t need = len_ + n + rest + 1;
        if (need <= capacity_) return true;
        const size_t grown = (need + 3) / 3 * 4;
        void *p = std::realloc(data_, grown);
        if (p == nullptr) return false;
        data_ = static_cast<char *>(p);
        capacity_ = grown;
        return true;
    }
    // Terminates the text and hands it over; the buffer is empty afterwards.
    char *release() {
        data_[len_] = '\0';
        char *out = data_;
        data_ = nullptr;
        return out;
    }

  private:
    char *data_ = nullptr;
    size_t capacity_ = 0;
    size_t len_ = 0;
};

// Restores the bytes that a reference lookup overwrote with terminators.
class TextMark {
  public:
    void cut(char *at) {
        spots_[n_] = at;
        saved_[n_++] = *at;
        *at = '\0';
    }
    ~TextMark() {
        while (n_ > 0) {
            --n_;
            *spots_[n_] = saved_[n_];
        }
    }

  private:
    char *spots_[2] = {nullptr, nullptr};
    char saved_[2] = {0, 0};
    int n_ = 0;
};

char *skip_name(char *p) {
    while (is_class(*p, CC_NAME)) ++p;
    return p;
}

// Expands the reference whose "$" is at p.  On success appends the value and
// returns the position after the reference; on failure records the error and
// returns null.
char *expand_reference(CONF_CTX *ctx, const char *section, char *p, const char *text_end,
                       ExpandBuffer *out, size_t *inserted) {
    char *s = p + 1;
    char closer = '\0';
    if (*s == '{') closer = '}';
    if (*s == '(') closer = ')';
    if (closer != '\0') ++s;

    char *name = s;
    char *name_end = skip_name(s);
    char *section_end = nullptr;
    if (name_end[0] == ':' && name_end[1] == ':') {
        section_end = name_end;
        name = name_end + 2;
        name_end = skip_name(name);
    }
    char *after = name_end;
    if (closer != '\0') {
        if (*name_end != closer) {
            CONFerr(ctx, kErrBrace);
            return nullptr;
        }
        ++after;
    }

    const char *value;
    {
        TextMark mark;
        mark.cut(name_end);
        if (section_end != nullptr) {
            mark.cut(section_end);
            section = s;
        }
        value = CONF_get_string(ctx, section, name);
    }
    if (value == nullptr) {
        CONFerr(ctx, kErrNoValue);
        return nullptr;
    }
    const size_t n = std::strlen(value);
    if (n > kMaxExpansion - *inserted) {
        CONFerr(ctx, kErrTooLong);
        return nullptr;
    }
    *inserted += n;
    if (!out->reserve(n, static_cast<size_t>(text_end - after))) {
        CONFerr(ctx, kErrMemory);
        return nullptr;
    }
    out->append(value, n);
    return after;
}

// Copies a quoted stretch that starts at p (the quote); returns the position
// after its closing quote, or of the terminator when it is not closed.
char *copy_quoted(char *p, ExpandBuffer *out) {
    const char q = *p++;
    while (*p != '\0' && *p != q) {
        if (*p == '\\') {
            if (p[1] == '\0') return p + 1;
            out->put(p[1]);
            p += 2;
        } else {
            out->put(*p++);
        }
    }
    return *p == q ? p + 1 : p;
}

}  // namespace

const CONF_REASON CONF_str_reasons[] = {
    {kErrNullContext, "null context pointer"},
    {kErrOpen, "unable to open configuration file"},
    {kErrMemory, "memory allocation fail"},
    {kErrSection, "unable to create new section"},
    {kErrBracket, "missing close square bracket"},
    {kErrEqual, "missing equal sign"},
    {kErrBrace, "no close brace"},
    {kErrNoValue, "variable has no value"},
    {kErrRead, "error reading configuration file"},
    {kErrTooLong, "variable expansion too long"},
    {0, nullptr},
};

char *eat_ws(char *p) {
    while (is_class(*p, CC_SPACE)) ++p;
    return p;
}

char *eat_alpha_numeric(char *p) {
    for (;;) {
        if (*p == '\\') {
            p += (p[1] == '\0') ? 1 : 2;
        } else if (is_class(*p, CC_NAME_PUNCT)) {
            ++p;
        } else {
            return p;
        }
    }
}

char *scan_quote(char *p) {
    const char q = *p++;
    while (*p != '\0' && *p != q) {
        if (*p == '\\') {
            ++p;
            if (*p == '\0') break;
        }
        ++p;
    }
    return *p == q ? p + 1 : p;
}

void clear_comments(char *p) {
    for (;;) {
        // Ordinary bytes are skipped in one run; p then stands on a comment
        // character, a quote, a backslash or the terminator.
        p += std::strcspn(p, kCommentStops);
        if (*p == '\0') return;
        if (is_class(*p, CC_COMMENT)) {
            *p = '\0';
            return;
        }
        if (is_class(*p, CC_QUOTE)) {
            p = scan_quote(p);
        } else {  // a backslash: it and the byte after it, unless that ends the line
            p += (p[1] == '\0') ? 1 : 2;
        }
    }
}

void CONFerr(CONF_CTX *ctx, int number) {
    ctx->last_errnum = number;
    ctx->last_error_str[0] = '\0';
    for (const CONF_REASON *r = CONF_str_reasons; r->text != nullptr; ++r) {
        if (r->code == number) {
            std::snprintf(ctx->last_error_str, sizeof ctx->last_error_str, "%s", r->text);
            return;
        }
    }
}

uint32_t hash(const void *record) {
    const auto *v = static_cast<const CONF_VALUE *>(record);
    return (lh_strhash(v->section) << 2) ^ lh_strhash(v->name);
}

int cmp_conf(const void *a, const void *b) {
    const auto *x = static_cast<const CONF_VALUE *>(a);
    const auto *y = static_cast<const CONF_VALUE *>(b);
    if (x->section != y->section) {
        const int r = std::strcmp(x->section, y->section);
        if (r != 0) return r;
    }
    if (x->name != nullptr && y->name != nullptr) return std::strcmp(x->name, y->name);
    if (x->name == nullptr && y->name == nullptr) return 0;
    return x->name != nullptr ? 1 : -1;
}

CONF_VALUE *get_section(CONF_CTX *ctx, const char *name) {
    if (ctx->table == nullptr || name == nullptr) return nullptr;
    CONF_VALUE probe = probe_for(name, nullptr);
    return static_cast<CONF_VALUE *>(lh_retrieve(ctx->table, &probe));
}

CONF_VALUE *new_section(LH_TABLE *table, const char *name) {
    SK_STACK *sk = sk_new(nullptr);
    if (sk == nullptr) return nullptr;
    auto *v = static_cast<CONF_VALUE *>(std::malloc(sizeof(CONF_VALUE)));
    const size_t size = std::strlen(name) + 1;
    char *copy = v != nullptr ? static_cast<char *>(std::malloc(size)) : nullptr;
    if (copy == nullptr) {
        sk_free(sk);
        std::free(v);
        return nullptr;
    }
    std::memcpy(copy, name, size);
    v->section = copy;
    v->name = nullptr;
    v->value = reinterpret_cast<char *>(sk);
    const uint32_t before = table->item_count;
    if (lh_insert(table, v) != nullptr) internal_fault();
    if (table->error != 0) {
        // Allocation trouble in the table: take the record back out if it
        // went in anyway, so that nothing is left half-stored.
        if (table->item_count != before) lh_delete(table, v);
        sk_free(sk);
        std::free(copy);
        std::free(v);
        return nullptr;
    }
    return v;
}

void free_entry(CONF_VALUE *entry) {
    std::free(entry->value);
    std::free(entry->name);
    std::free(entry);
}

void CONF_lhash_free(LH_TABLE *table) {
    if (table == nullptr) return;
    table->shrink_load = 0;  // no merges while the first walk deletes entries
    lh_doall_arg(table, value_free_hash, table);
    lh_doall(table, value_free_stack);
    lh_free(table);
}

int str_copy(CONF_CTX *ctx, const char *section, char **target, char *text) {
    const size_t len = std::strlen(text);
    const char *const end = text + len;
    ExpandBuffer out;
    if (!out.init(len + 1)) {
        CONFerr(ctx, kErrMemory);
        return 0;
    }
    size_t inserted = 0;
    char *p = text;
    for (;;) {
        if (is_class(*p, CC_QUOTE)) {
            p = copy_quoted(p, &out);
        } else if (*p == '\\') {
            if (p[1] == '\0') break;
            out.put(escape_value(p[1]));
            p += 2;
        } else if (*p == '\0') {
            break;
        } else if (*p == '$') {
            p = expand_reference(ctx, section, p, end, &out, &inserted);
            if (p == nullptr) return 0;
        } else {
            const size_t run = 1 + std::strcspn(p + 1, kExpandStops);
            out.append(p, run);
            p += run;
        }
    }
    std::free(*target);
    *target = out.release();
    return 1;
}

}  // namespace nivra::conf

using namespace nivra::conf;

extern "C" {

CONF_CTX *CONF_new(void) {
    auto *ctx = static_cast<CONF_CTX *>(std::malloc(sizeof(CONF_CTX)));
    if (ctx != nullptr) std::memset(ctx, 0, sizeof *ctx);
    return ctx;
}

const char *CONF_get_string(CONF_CTX *ctx, const char *section, const char *name) {
    if (name == nullptr) return nullptr;
    if (ctx->table == nullptr) return std::getenv(name);
    if (section != nullptr) {
        const char *v = find_value(ctx->table, section, name);
        if (v != nullptr) return v;
        if (std::strcmp(section, kEnvSection) == 0) {
            const char *env = std::getenv(name);
            if (env != nullptr) return env;
        }
    }
    return find_value(ctx->table, kDefaultSection, name);
}

int CONF_get_number(CONF_CTX *ctx, const char *section, const char *name) {
    const char *s = CONF_get_string(ctx, section, name);
    if (s == nullptr) return 0;
    uint32_t v = 0;  // unsigned, so that wrapping is defined
    for (; is_class(*s, CC_DIGIT); ++s) v = v * 10 + static_cast<uint32_t>(*s - '0');
    return static_cast<int>(v);
}

int CONF_get_last_errnum(const CONF_CTX *ctx) { return ctx == nullptr ? 0 : ctx->last_errnum; }

const char *CONF_get_last_error_str(const CONF_CTX *ctx) {
    return ctx == nullptr ? nullptr : ctx->last_error_str;
}

void CONF_free(CONF_CTX *ctx) {
    if (ctx == nullptr) return;
    CONF_lhash_free(ctx->table);
    std::free(ctx);
}

}  // extern "C"
