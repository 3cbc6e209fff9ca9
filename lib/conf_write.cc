// conf_write.cc - names and values written as the loader reads them back,
// and CONF_write_fp, which writes a whole context as a file that loads to
// the same sections, entries, order and values.
#include "conf_write.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "conf_store.h"
#include "conf_syntax.h"

namespace nivra::conf {

namespace {

// The letter of the escape that gives control byte c, or 0.
char control_letter(char c) {
    switch (c) {
        case '\t': return 't';
        case '\n': return 'n';
        case '\r': return 'r';
        case '\b': return 'b';
        default: return '\0';
    }
}

bool is_control_letter(char letter) {
    return letter == 't' || letter == 'n' || letter == 'r' || letter == 'b';
}

// The two-byte escape for c, or c alone.
bool append_escaped_byte(Text *out, char c) {
    if (const char letter = control_letter(c); letter != '\0') {
        const char pair[2] = {'\\', letter};
        return out->append(pair, 2);
    }
    const char pair[2] = {'\\', c};
    return out->append(pair, 2);
}

}  // namespace

bool name_writable(const char *name) {
    for (const char *p = name; *p != '\0';) {
        if (is_class(*p, CC_NAME_PUNCT)) {
            ++p;
        } else if (*p == '\\' && p[1] != '\0' && p[1] != '\n') {
            p += 2;
        } else {
            return false;
        }
    }
    return true;
}

namespace {

// The literal with every special byte escaped: "$", quotes, "#",
// backslashes, TAB, CR, LF and backspace as \t \r \n \b, leading blanks
// and a trailing blank, and a ';' after a blank (which reads as a comment
// in other formats).
bool append_escaped(Text *out, const char *value, size_t n) {
    size_t lead = 0;
    while (lead < n && value[lead] == ' ') ++lead;
    // The room for the value as it stands, once: the bytes that need no
    // escape are copied in runs.
    if (!out->reserve(out->size() + n + 1)) return false;
    size_t run = 0;  // where the run of plain bytes before i began
    for (size_t i = 0; i < n; ++i) {
        const char c = value[i];
        const bool edge_blank = c == ' ' && (i < lead || i + 1 == n);
        const bool special =
            c == '\\' || c == '$' || c == '#' || is_class(c, CC_QUOTE) || control_letter(c) != '\0';
        const bool after_blank = c == ';' && i > 0 && value[i - 1] == ' ';
        if (!(edge_blank || special || after_blank)) continue;
        if (!out->append(value + run, i - run) || !append_escaped_byte(out, c)) return false;
        run = i + 1;
    }
    return out->append(value + run, n - run);
}

// Whether a load would take the escaped text for a path whose separators
// became control bytes: a control escape glued to the text after it, in a
// value with a ':' or two backslashes (what the loader's check of values
// looks for).
bool looks_like_mangled_path(const char *text, size_t n) {
    bool glued = false;
    size_t backslashes = 0;
    for (size_t i = 0; i + 1 < n; ++i) {
        if (text[i] != '\\') continue;
        ++backslashes;
        ++i;  // the escaped byte
        glued = glued || (is_control_letter(text[i]) && control_escape_glued(text + i + 1));
    }
    return glued && (std::memchr(text, ':', n) != nullptr || backslashes >= 2);
}

// The value as double-quoted runs with its control bytes escaped between
// them ("C:\\new"\t"x"): inside the quotes only '"' and backslashes are
// escaped, and an escape outside is never glued to text.
bool append_quoted_runs(Text *out, const char *value, size_t n) {
    bool open = false;
    for (size_t i = 0; i < n; ++i) {
        const char c = value[i];
        const bool control = control_letter(c) != '\0';
        if (control == open && !out->put('"')) return false;
        open = !control;
        const bool escape = control || c == '"' || c == '\\';
        if (!(escape ? append_escaped_byte(out, c) : out->put(c))) return false;
    }
    return !open || out->put('"');
}

}  // namespace

bool append_literal(Text *out, const char *value) {
    const size_t n = std::strlen(value);
    const size_t start = out->size();
    if (!append_escaped(out, value, n)) {
        out->truncate(start);
        return false;
    }
    if (!looks_like_mangled_path(out->data() + start, out->size() - start)) return true;
    out->truncate(start);
    if (append_quoted_runs(out, value, n)) return true;
    out->truncate(start);
    return false;
}

bool starts_with_mark(const char *text, size_t length) {
    return length >= 3 && std::memcmp(text, "\xEF\xBB\xBF", 3) == 0;
}

bool append_header(Text *out, const char *section) {
    if (!out->put('[')) return false;
    const size_t n = std::strlen(section);
    for (size_t i = 0; i < n; ++i) {
        const char c = section[i];
        // A blank between two runs belongs to the name as it stands; one at
        // either end would be dropped, and any other byte ends the name.
        const bool inner_blank = c == ' ' && i > 0 && i + 1 < n;
        const bool plain = is_class(c, CC_NAME_PUNCT) || inner_blank;
        if (!(plain ? out->put(c) : append_escaped_byte(out, c))) return false;
    }
    return out->put(']');
}

namespace {

// One section as lines: its header (none for the first, "default") and its
// entries.  kErrUnwritable for a name no line can give.
int append_section(Text *out, CONF_VALUE *section, bool with_header) {
    if (with_header && (!append_header(out, section->section) || !out->put('\n')))
        return kErrMemory;
    for (int j = 0; j < entry_count(section); ++j) {
        const CONF_VALUE *e = entry_at(section, j);
        if (!name_writable(e->name)) return kErrUnwritable;
        if (!out->append(e->name) || !out->append(e->value[0] != '\0' ? " = " : " =") ||
            !append_literal(out, e->value) || !out->put('\n'))
            return kErrMemory;
    }
    return 0;
}

}  // namespace

}  // namespace nivra::conf

using namespace nivra::conf;

extern "C" int CONF_write_fp(CONF_CTX *ctx, FILE *fp) {
    if (ctx == nullptr) return kErrNullContext;
    Text out;
    LH_TABLE *table = ctx->table;
    for (int i = 0; i < section_count(table); ++i) {
        CONF_VALUE *section = section_at(table, i);
        const bool first_default = i == 0 && std::strcmp(section->section, kDefaultSection) == 0;
        if (const int err = append_section(&out, section, !first_default); err != 0) return err;
    }
    if (fp == nullptr) return kErrWrite;
    const bool blank_first = starts_with_mark(out.data(), out.size());
    if ((blank_first && std::fputc('\n', fp) == EOF) ||
        std::fwrite(out.data(), 1, out.size(), fp) != out.size() || std::fflush(fp) != 0)
        return kErrWrite;
    return 0;
}
