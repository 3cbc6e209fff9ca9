// conf_report.cc - the report of a load that failed.  What the line was and
// where the scan stopped come from the loader's observer, so the notes
// read the line exactly as the loader did.
#include "conf_report.h"

#include <cstdio>

#include "conf_store.h"
#include "conf_syntax.h"

namespace conf_report {
namespace {

using nivra::conf::CC_NAME;
using nivra::conf::CC_NAME_PUNCT;
using nivra::conf::CC_SPACE;
using nivra::conf::is_class;
using nivra::conf::kNoOffset;

// The widest stretch of an offending line that is shown, in input bytes.
constexpr size_t kShownLineBytes = 160;

constexpr char kLiteralDollar[] =
    "; for the character '$' itself, write \\$ or put the value in single quotes";

// A byte as a reader would name it in a message.
std::string shown_byte(char c) {
    char buf[8];
    const auto b = static_cast<unsigned char>(c);
    if (b > 0x20 && b < 0x7F) {
        std::snprintf(buf, sizeof buf, "'%c'", c);
    } else {
        std::snprintf(buf, sizeof buf, "\\x%02X", b);
    }
    return buf;
}

// Whether the scan stopped at blanks around "::" ("a :: b", "a ::b" stop at
// the colons, "a:: b" at the name after the blanks).
bool blanks_around_qualifier(const std::string &t, size_t at) {
    if (t.compare(at, 2, "::") == 0) return at > 0 && is_class(t[at - 1], CC_SPACE);
    size_t j = at;
    while (j > 0 && is_class(t[j - 1], CC_SPACE)) --j;
    return j < at && j >= 2 && t.compare(j - 2, 2, "::") == 0;
}

// -105: the scan of a name stopped at t[at].
std::string name_hint(const std::string &t, size_t at) {
    if (blanks_around_qualifier(t, at)) {
        return "a section qualifier is written with no blanks around '::' (section::name = "
               "value)";
    }
    if (is_class(t[at], CC_NAME_PUNCT)) {
        return "a name cannot hold blanks; it ends before them (escape a blank with a backslash)";
    }
    return shown_byte(t[at]) +
           " cannot be part of a name, which ends before it (escape it with a backslash)";
}

// A variable reference as the loader reads it at a '$'.
struct Reference {
    std::string written;  // "$name", "${name}", "$(sec::name)"
    bool qualified = false;
    std::string section;
    std::string name;
};

Reference read_reference(const std::string &t, size_t dollar) {
    auto name_run = [&t](size_t i) {
        while (i < t.size() && is_class(t[i], CC_NAME)) ++i;
        return i;
    };
    size_t p = dollar + 1;
    char closer = '\0';
    if (p < t.size() && (t[p] == '{' || t[p] == '(')) closer = t[p++] == '{' ? '}' : ')';
    size_t end = name_run(p);
    Reference r;
    if (t.compare(end, 2, "::") == 0) {
        r.qualified = true;
        r.section = t.substr(p, end - p);
        p = end + 2;
        end = name_run(p);
    }
    r.name = t.substr(p, end - p);
    if (closer != '\0' && end < t.size() && t[end] == closer) ++end;
    r.written = t.substr(dollar, end - dollar);
    return r;
}

// -107 at the '$' of t[dollar]: which variable has no value and, when the
// '$' looks meant as itself (no name, a price such as $5, glued to a word
// as in pa$word), how to write it.
std::string reference_hint(const std::string &t, size_t dollar) {
    const Reference r = read_reference(t, dollar);
    if (r.name.empty()) return std::string("no variable name follows this '$'") + kLiteralDollar;
    std::string hint = "'" + r.written + "' has no value: ";
    if (r.qualified && r.section == "ENV") {
        hint += "the environment variable '" + r.name + "' is not set, and no entry '" + r.name +
                "' is defined before this line in [ENV] or in [default]";
    } else {
        hint += "no entry '" + r.name + "' is defined before this line in ";
        hint += r.qualified ? "[" + r.section + "]" : std::string("this section");
        hint += " or in [default]";
    }
    const bool digits = r.name.find_first_not_of("0123456789") == std::string::npos;
    const bool glued = dollar > 0 && is_class(t[dollar - 1], CC_NAME);
    if (digits || glued) hint += kLiteralDollar;
    return hint;
}

std::string hint(int error, const std::string &t, size_t at) {
    const size_t first = t.find_first_not_of(" \t\r\n");
    if (error == nivra::conf::kErrEqual && first != std::string::npos && t[first] == ';') {
        return "a line that begins with ';' is not a comment here (comments begin with '#')";
    }
    if (at == kNoOffset || at >= t.size()) return "";
    switch (error) {
        case nivra::conf::kErrEqual: return name_hint(t, at);
        case nivra::conf::kErrBracket:
            return shown_byte(t[at]) +
                   " cannot be part of a section name (escape it with a backslash)";
        case nivra::conf::kErrNoValue: return t[at] == '$' ? reference_hint(t, at) : std::string();
        default: return "";
    }
}

// Copies text with every byte that named(byte) names written as that
// name, and the others as \xHH where hex(byte) says so.
template <typename Named, typename Hex>
std::string escape_bytes(std::string_view text, Named named, Hex hex) {
    std::string out;
    for (const char c : text) {
        const auto b = static_cast<unsigned char>(c);
        if (const char *name = named(c); name != nullptr) {
            out += name;
        } else if (hex(b)) {
            char code[8];
            std::snprintf(code, sizeof code, "\\x%02X", b);
            out += code;
        } else {
            out += c;
        }
    }
    return out;
}

}  // namespace

std::string escaped(std::string_view text) {
    return escape_bytes(
        text, [](char) -> const char * { return nullptr; },
        [](unsigned char b) { return b < 0x20 || b > 0x7E || b == '\\'; });
}

std::string shown_name(std::string_view name) {
    const auto named = [](char c) -> const char * {
        switch (c) {
            case '\n': return "\\n";
            case '\t': return "\\t";
            case '\r': return "\\r";
            case '\\': return "\\\\";
            default: return nullptr;
        }
    };
    return escape_bytes(name, named, [](unsigned char b) { return b < 0x20 || b == 0x7F; });
}

const char *error_text(int number) {
    for (const nivra::conf::CONF_REASON *r = nivra::conf::CONF_str_reasons; r->text != nullptr;
         ++r) {
        if (r->code == number) return r->text;
    }
    return "";
}

void print_system_error(std::FILE *err, const char *file, const char *text, const char *reason) {
    std::fprintf(err, "%s: %s\n%s: note: %s\n", file, text, file, reason);
}

void print_problem(const Problem &p, const std::string &where, const char *kind, std::FILE *err) {
    std::fprintf(err, "%s: %s%s\n", where.c_str(), kind, error_text(p.error));
    const std::string shown = escaped(std::string_view(p.text).substr(0, kShownLineBytes));
    std::fprintf(err, "    %s%s\n", shown.c_str(), p.text.size() > kShownLineBytes ? "..." : "");
    const std::string note = hint(p.error, p.text, p.at);
    if (!note.empty()) std::fprintf(err, "%s: note: %s\n", where.c_str(), note.c_str());
}

void LoadReport::on(const nivra::conf::LoadNote &note) {
    const bool unresolved = note.event == nivra::conf::LoadEvent::kUnresolved;
    if (note.event != nivra::conf::LoadEvent::kError && !unresolved) return;
    Problem p{note.error, note.first_line, note.line, std::string(note.text, note.length), note.at};
    if (unresolved) {
        unresolved_.push_back(std::move(p));
    } else {
        have_error_ = true;
        error_ = std::move(p);
    }
}

void LoadReport::print(const CONF_CTX *ctx, std::FILE *err) const {
    const int line = CONF_get_last_error_line(ctx);
    print_at(ctx, line > 0 ? std::string(file_) + ":" + std::to_string(line) : std::string(file_),
             err);
}

void LoadReport::print_at(const CONF_CTX *ctx, const std::string &where, std::FILE *err) const {
    std::string text = CONF_get_last_error_str(ctx);
    const size_t suffix = text.rfind(", line ");
    if (suffix != std::string::npos) text.resize(suffix);
    if (!have_error_) {
        std::fprintf(err, "%s: %s\n", where.c_str(), text.c_str());
        return;
    }
    print_problem(error_, where, "", err);
}

}  // namespace conf_report
