// confcheck.cc - loads configuration files into one context and shows what
// they define (a dump, one value, or JSON), or checks them for what loads
// but likely means something else; a failure names its file and line, shows
// the line and, where the text may mislead, adds a hint.
//
// Everything about the syntax comes from the library: the lines, errors and
// findings are reported by the loader itself through its observer
// (conf_load.h), so this file holds no parser of its own.
#include "confcheck.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "conf_load.h"
#include "conf_syntax.h"
#include <nivra/conf.h>
#include <nivra/version.h>

namespace confcheck {
namespace {

using nivra::conf::LoadEvent;
using nivra::conf::LoadNote;

constexpr char kUsage[] =
    "Usage: confcheck [OPTION]... FILE...\n"
    "Load the configuration FILEs in order into one context (a FILE of - is\n"
    "standard input) and show what they define: every section in the order it\n"
    "came into being as a [name] line, then its entries as 'name = value' lines\n"
    "in stored order.  Bytes outside printable ASCII, and the backslash, are\n"
    "shown as \\xHH.  A file that fails to load is reported as FILE:LINE: TEXT\n"
    "on standard error, with the line and, where it helps, a note.\n"
    "\n"
    "  --get SECTION NAME  print only the value that a lookup of NAME in SECTION\n"
    "                      gives (with the fallbacks to [default] and, for ENV,\n"
    "                      the environment), as raw bytes; exit 1 when none\n"
    "  --json              print the context as one JSON object\n"
    "  --lint              print FILE:LINE: warning: lines for what loads but\n"
    "                      likely does not mean what was meant; exit 1 if any\n"
    "  --help, --version   print this text or the version, and exit\n"
    "\n"
    "Exit status: 0 success, 1 a file failed to load (or --get found nothing,\n"
    "or --lint warned), 2 the command line was wrong.\n";

// The widest stretch of an offending line that is shown, in input bytes.
constexpr size_t kShownLineBytes = 160;

enum class Mode { kDump, kGet, kJson, kLint };

struct Options {
    Mode mode = Mode::kDump;
    const char *section = nullptr;  // --get
    const char *name = nullptr;
    std::vector<const char *> files;
};

// Writes text with bytes outside printable ASCII, and the backslash, as \xHH,
// so that every line of the dump is one line and can be read back by eye.
void put_escaped(std::FILE *out, const char *text, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        const auto b = static_cast<unsigned char>(text[i]);
        if (b < 0x20 || b > 0x7E || b == '\\') {
            std::fprintf(out, "\\x%02X", b);
        } else {
            std::fputc(b, out);
        }
    }
}
void put_escaped(std::FILE *out, const char *text) { put_escaped(out, text, std::strlen(text)); }

// ---- JSON ------------------------------------------------------------------

// The length of the valid UTF-8 sequence at s (at most n bytes), or 0.
size_t utf8_length(const unsigned char *s, size_t n) {
    const unsigned char b = s[0];
    if (b < 0x80) return 1;
    size_t len = 0;
    unsigned char lo = 0x80, hi = 0xBF;  // the bounds of the second byte
    if (b >= 0xC2 && b <= 0xDF) {
        len = 2;
    } else if (b >= 0xE0 && b <= 0xEF) {
        len = 3;
        if (b == 0xE0) lo = 0xA0;
        if (b == 0xED) hi = 0x9F;  // no surrogates
    } else if (b >= 0xF0 && b <= 0xF4) {
        len = 4;
        if (b == 0xF0) lo = 0x90;
        if (b == 0xF4) hi = 0x8F;
    } else {
        return 0;
    }
    if (n < len || s[1] < lo || s[1] > hi) return 0;
    for (size_t i = 2; i < len; ++i) {
        if (s[i] < 0x80 || s[i] > 0xBF) return 0;
    }
    return len;
}

// A JSON string of text's bytes.  Valid UTF-8 is written as it is; a byte
// that is not part of valid UTF-8 is written as the escape \udcXX (0xDC00
// plus the byte, as Python's "surrogateescape" does), which valid UTF-8
// never produces, so every byte string has its own JSON string.
void put_json(std::FILE *out, const char *text) {
    const auto *s = reinterpret_cast<const unsigned char *>(text);
    size_t n = std::strlen(text);
    std::fputc('"', out);
    while (n > 0) {
        const unsigned char b = *s;
        const size_t len = utf8_length(s, n);
        if (len == 0) {
            std::fprintf(out, "\\udc%02x", b);
        } else if (b == '"' || b == '\\') {
            std::fputc('\\', out);
            std::fputc(b, out);
        } else if (b == '\n') {
            std::fputs("\\n", out);
        } else if (b == '\t') {
            std::fputs("\\t", out);
        } else if (b < 0x20 || b == 0x7F) {
            std::fprintf(out, "\\u%04x", b);
        } else {
            std::fwrite(s, 1, len, out);
        }
        const size_t step = len == 0 ? 1 : len;
        s += step;
        n -= step;
    }
    std::fputc('"', out);
}

void json(CONF_CTX *ctx, std::FILE *out) {
    std::fputc('{', out);
    for (int i = 0; i < CONF_get_section_count(ctx); ++i) {
        const char *section = CONF_get_section_name(ctx, i);
        std::fputs(i == 0 ? "\n  " : ",\n  ", out);
        put_json(out, section);
        std::fputs(": {", out);
        const int n = CONF_get_entry_count(ctx, section);
        for (int j = 0; j < n; ++j) {
            const CONF_VALUE *e = CONF_get_entry(ctx, section, j);
            std::fputs(j == 0 ? "\n    " : ",\n    ", out);
            put_json(out, e->name);
            std::fputs(": ", out);
            put_json(out, e->value);
        }
        std::fputs(n > 0 ? "\n  }" : "}", out);
    }
    std::fputs("\n}\n", out);
}

void dump(CONF_CTX *ctx, std::FILE *out) {
    for (int i = 0; i < CONF_get_section_count(ctx); ++i) {
        const char *section = CONF_get_section_name(ctx, i);
        std::fputc('[', out);
        put_escaped(out, section);
        std::fputs("]\n", out);
        for (int j = 0; j < CONF_get_entry_count(ctx, section); ++j) {
            const CONF_VALUE *e = CONF_get_entry(ctx, section, j);
            put_escaped(out, e->name);
            std::fputs(" = ", out);
            put_escaped(out, e->value);
            std::fputc('\n', out);
        }
    }
}

// ---- Checking one file -----------------------------------------------------

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

const char *escape_name(char letter) {
    switch (letter) {
        case 't': return "a TAB";
        case 'n': return "a line feed";
        case 'r': return "a carriage return";
        default: return "a backspace";
    }
}

struct Finding {
    long line;
    std::string text;
};

// What the loader told about one file.
class FileCheck {
  public:
    explicit FileCheck(const char *file) : file_(file) {}

    static void notify(void *self, const LoadNote *note) {
        static_cast<FileCheck *>(self)->on(*note);
    }

    const std::vector<Finding> &warnings() const { return warnings_; }

    // The error report: FILE:LINE: TEXT, the line, and a note where the text
    // may mislead.
    void report_error(CONF_CTX *ctx, std::FILE *err) const {
        const int line = CONF_get_last_error_line(ctx);
        std::string text = CONF_get_last_error_str(ctx);
        const size_t suffix = text.rfind(", line ");
        if (suffix != std::string::npos) text.resize(suffix);
        if (line > 0) {
            std::fprintf(err, "%s:%d: %s\n", file_, line, text.c_str());
        } else {
            std::fprintf(err, "%s: %s\n", file_, text.c_str());
        }
        if (!have_error_) return;
        std::fputs("    ", err);
        put_escaped(err, error_text_.data(), std::min(error_text_.size(), kShownLineBytes));
        std::fputs(error_text_.size() > kShownLineBytes ? "...\n" : "\n", err);
        const std::string hint = error_hint();
        if (!hint.empty()) std::fprintf(err, "%s:%d: note: %s\n", file_, line, hint.c_str());
    }

  private:
    void on(const LoadNote &n) {
        switch (n.event) {
            case LoadEvent::kStored: lines_[n.entry] = n.line; break;
            case LoadEvent::kReplacing: replacing(n); break;
            case LoadEvent::kError:
                have_error_ = true;
                error_code_ = n.error;
                error_text_.assign(n.text, n.length);
                error_at_ = n.at;
                break;
            case LoadEvent::kCommentInValue:
                warn(n,
                     "'#' starts a comment inside this value and the rest of the line is "
                     "ignored (write \\# for the character, or quote the value)");
                break;
            case LoadEvent::kControlEscape:
                warn(n, std::string("'\\") + n.escape + "' in this unquoted value becomes " +
                            escape_name(n.escape) +
                            " (write \\\\ for a backslash, or quote the value)");
                break;
            case LoadEvent::kSemicolonName:
                warn(n,
                     "this name begins with ';', which does not start a comment here "
                     "(comments begin with '#')");
                break;
            case LoadEvent::kUnclosedQuote:
                warn(n, "a quote in this value is never closed; it runs to the end of the line");
                break;
            case LoadEvent::kTextAfterHeader: warn(n, "the text after ']' is ignored"); break;
        }
    }

    void warn(const LoadNote &n, std::string text) {
        warnings_.push_back({n.line, std::move(text)});
    }

    // A name defined twice in this file: the first value is lost.
    void replacing(const LoadNote &n) {
        const auto it = lines_.find(n.replaced);
        if (it == lines_.end()) return;  // from an earlier file: an intended override
        std::string text = "'";
        text += n.entry->name;
        text += "' is defined again in section [";
        text += n.entry->section;
        text += "]; its value from line " + std::to_string(it->second) + " is lost";
        warn(n, std::move(text));
        lines_.erase(it);
    }

    std::string error_hint() const {
        const std::string &t = error_text_;
        const size_t first = t.find_first_not_of(" \t\r\n");
        if (error_code_ == -105 && first != std::string::npos && t[first] == ';') {
            return "a line that begins with ';' is not a comment here (comments begin with '#')";
        }
        if (error_at_ == nivra::conf::kNoOffset || error_at_ >= t.size()) return "";
        const char b = t[error_at_];
        if (error_code_ == -105) {
            if (nivra::conf::is_class(b, nivra::conf::CC_NAME_PUNCT)) {
                return "a name cannot hold blanks; it ends before them (escape a blank with a "
                       "backslash)";
            }
            return shown_byte(b) +
                   " cannot be part of a name, which ends before it (escape it with a backslash)";
        }
        if (error_code_ == -104) {
            return shown_byte(b) + " cannot be part of a section name (escape it with a backslash)";
        }
        return "";
    }

    const char *file_;
    std::map<const CONF_VALUE *, long> lines_;  // entries stored from this file
    std::vector<Finding> warnings_;
    bool have_error_ = false;
    int error_code_ = 0;
    std::string error_text_;
    size_t error_at_ = nivra::conf::kNoOffset;
};

// Loads one file (or, for "-", in) into ctx; reports a failure on err.
// Returns whether it loaded; its warnings are added to *warnings.
bool load_one(CONF_CTX *ctx, const char *file, std::FILE *in, std::FILE *err,
              std::vector<std::pair<const char *, Finding>> *warnings) {
    const bool is_stdin = std::strcmp(file, "-") == 0;
    std::FILE *f = is_stdin ? in : std::fopen(file, "rb");
    if (f == nullptr) {
        const int why = errno;
        CONF_load_fp(ctx, nullptr);  // records the library's own text
        std::fprintf(err, "%s: %s\n%s: note: %s\n", file, CONF_get_last_error_str(ctx), file,
                     std::strerror(why));
        return false;
    }
    struct stat st {};
    if (!is_stdin && fstat(fileno(f), &st) == 0 && S_ISDIR(st.st_mode)) {
        std::fclose(f);
        std::fprintf(err, "%s: error reading configuration file\n%s: note: is a directory\n", file,
                     file);
        return false;
    }
    FileCheck check(is_stdin ? "<stdin>" : file);
    const nivra::conf::LoadObserver observer{FileCheck::notify, &check};
    // The context starts new and loading stops at the first failure, so a
    // non-zero result always belongs to this file.
    const int rc = nivra::conf::load_observed(ctx, f, &observer);
    if (!is_stdin) std::fclose(f);
    if (rc != 0) {
        check.report_error(ctx, err);
        return false;
    }
    for (const Finding &w : check.warnings())
        warnings->emplace_back(is_stdin ? "<stdin>" : file, w);
    return true;
}

// Reads the options; returns -1 to go on, else the exit status (after
// printing help, the version, or a usage error).
int parse(int argc, const char *const *argv, Options *o, std::FILE *out, std::FILE *err) {
    auto usage = [err](const std::string &what) {
        std::fprintf(err, "confcheck: %s\nTry 'confcheck --help'.\n", what.c_str());
        return 2;
    };
    bool options = true;
    bool modes = false;
    for (int i = 1; i < argc; ++i) {
        const char *a = argv[i];
        if (!options || a[0] != '-' || a[1] == '\0') {
            o->files.push_back(a);
            continue;
        }
        if (std::strcmp(a, "--") == 0) {
            options = false;
        } else if (std::strcmp(a, "--help") == 0 || std::strcmp(a, "-h") == 0) {
            std::fputs(kUsage, out);
            return 0;
        } else if (std::strcmp(a, "--version") == 0) {
            std::fprintf(out, "confcheck (Nivra support kit) %s\n", Nivra_GetVersion());
            return 0;
        } else if (std::strcmp(a, "--get") == 0 || std::strcmp(a, "--json") == 0 ||
                   std::strcmp(a, "--lint") == 0) {
            if (modes) return usage("--get, --json and --lint go alone");
            modes = true;
            if (a[2] == 'j') o->mode = Mode::kJson;
            if (a[2] == 'l') o->mode = Mode::kLint;
            if (a[2] == 'g') {
                if (i + 2 >= argc) return usage("--get needs a SECTION and a NAME");
                o->mode = Mode::kGet;
                o->section = argv[++i];
                o->name = argv[++i];
            }
        } else {
            return usage(std::string("unknown option '") + a + "'");
        }
    }
    if (o->files.empty()) return usage("no configuration file given");
    int stdin_count = 0;
    for (const char *f : o->files) stdin_count += std::strcmp(f, "-") == 0 ? 1 : 0;
    if (stdin_count > 1) return usage("standard input (-) can be read only once");
    return -1;
}

}  // namespace

int run(int argc, const char *const *argv, std::FILE *in, std::FILE *out, std::FILE *err) {
    Options o;
    if (const int status = parse(argc, argv, &o, out, err); status >= 0) return status;
    CONF_CTX *ctx = CONF_new();
    if (ctx == nullptr) {
        std::fputs("confcheck: out of memory\n", err);
        return 1;
    }
    std::vector<std::pair<const char *, Finding>> warnings;
    int status = 0;
    for (const char *file : o.files) {
        if (!load_one(ctx, file, in, err, &warnings)) {
            status = 1;
            break;
        }
    }
    if (status == 0) {
        switch (o.mode) {
            case Mode::kDump: dump(ctx, out); break;
            case Mode::kJson: json(ctx, out); break;
            case Mode::kGet:
                if (const char *v = CONF_get_string(ctx, o.section, o.name)) {
                    std::fwrite(v, 1, std::strlen(v), out);
                    std::fputc('\n', out);
                } else {
                    status = 1;
                }
                break;
            case Mode::kLint:
                for (const auto &[file, w] : warnings) {
                    std::fprintf(out, "%s:%ld: warning: %s\n", file, w.line, w.text.c_str());
                }
                status = warnings.empty() ? 0 : 1;
                break;
        }
    }
    CONF_free(ctx);
    return status;
}

}  // namespace confcheck
