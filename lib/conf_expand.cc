// conf_expand.cc - expansion of values and section names.
//
// Owns: expand_into, str_copy and the output buffer.  Expansion reads the store only
// through CONF_get_string, so a reference sees exactly the entries stored
// before the text is expanded.  Invariant of the output buffer: it always
// has room for the rest of the text plus a terminator, because each literal
// byte of output consumes at least one byte of input and every inserted
// value reserves its own room first.
#include "conf_expand.h"

#include <cstdlib>
#include <cstring>

#include "conf_store.h"
#include "conf_syntax.h"

namespace nivra::conf {
namespace {

// The bytes at which the expansion must stop and look; every other byte is
// copied in runs.
constexpr char kExpandStops[] = "\"'`\\$";
static_assert(stop_set_is(kExpandStops, CC_QUOTE, "\\$"));

char escape_value(char c) {
    switch (c) {
        case 'r': return '\r';
        case 'n': return '\n';
        case 'b': return '\b';
        case 't': return '\t';
        default: return c;
    }
}

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

    const QualifiedName q = split_qualified(s, eat_name);
    char *name = q.name;
    char *name_end = q.name_end;
    char *section_end = q.section_end;
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
// *closed tells whether the closing quote was found.
char *copy_quoted(char *p, ExpandBuffer *out, bool *closed) {
    const char q = *p++;
    *closed = false;
    while (*p != '\0' && *p != q) {
        if (*p == '\\') {
            if (p[1] == '\0') return p + 1;
            out->put(p[1]);
            p += 2;
        } else {
            out->put(*p++);
        }
    }
    if (*p != q) return p;
    *closed = true;
    return p + 1;
}

bool is_control_escape(char c) { return c == 'r' || c == 'n' || c == 'b' || c == 't'; }

}  // namespace

int expand_into(CONF_CTX *ctx, const char *section, char *text, ExpandBuffer *out,
                ExpandNotes *notes) {
    return expand_into(ctx, section, text, std::strlen(text), out, notes);
}

int expand_into(CONF_CTX *ctx, const char *section, char *text, size_t len,
                ExpandBuffer *out_buffer, ExpandNotes *notes) {
    ExpandNotes ignored;
    if (notes == nullptr) notes = &ignored;
    *notes = ExpandNotes{};
    const char *const end = text + len;
    ExpandBuffer &out = *out_buffer;
    if (!out.start(len + 1)) {
        CONFerr(ctx, kErrMemory);
        return 0;
    }
    size_t inserted = 0;
    char *p = text;
    for (;;) {
        if (is_class(*p, CC_QUOTE)) {
            bool closed = false;
            p = copy_quoted(p, &out, &closed);
            if (!closed) notes->unclosed_quote = true;
        } else if (*p == '\\') {
            if (p[1] == '\0') break;
            if (is_control_escape(p[1]) && notes->control_escape == '\0' &&
                control_escape_glued(p + 2))
                notes->control_escape = p[1];
            out.put(escape_value(p[1]));
            p += 2;
        } else if (*p == '\0') {
            break;
        } else if (*p == '$') {
            char *const dollar = p;
            p = expand_reference(ctx, section, p, end, &out, &inserted);
            if (p == nullptr) {
                notes->failed_reference = dollar;
                return 0;
            }
        } else {
            const size_t run = 1 + std::strcspn(p + 1, kExpandStops);
            out.append(p, run);
            p += run;
        }
    }
    out.terminate();
    return 1;
}

int str_copy(CONF_CTX *ctx, const char *section, char **target, char *text, ExpandNotes *notes) {
    ExpandBuffer out;
    if (expand_into(ctx, section, text, &out, notes) == 0) return 0;
    std::free(*target);
    *target = out.release();
    return 1;
}

}  // namespace nivra::conf
