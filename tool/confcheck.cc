// confcheck.cc - loads configuration files into one context and shows what
// they define (as a configuration file that loads back, one value, or
// JSON), or checks them for what loads but likely means something else; a
// failure names its file and line, shows the line and, where the text may
// mislead, adds a note (conf_report, the same report as confedit's).
//
// Everything about the syntax comes from the library: the lines, errors and
// findings are reported by the loader itself through its observer
// (conf_load.h), and the dump is the library's writer, so this file holds
// no parser or writer of the format of its own.
#include "confcheck.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "conf_load.h"
#include "conf_report.h"
#include "conf_store.h"
#include <nivra/conf.h>
#include <nivra/version.h>

namespace confcheck {
namespace {

using conf_report::kExitCannotRead;
using conf_report::kExitUsage;
using nivra::conf::kErrOpen;
using nivra::conf::kErrRead;
using nivra::conf::LoadEvent;
using nivra::conf::LoadNote;

constexpr char kUsage[] =
    "Usage: confcheck [OPTION]... FILE...\n"
    "Load the configuration FILEs in order into one context (a FILE of - is\n"
    "standard input) and write what they define as a configuration file that\n"
    "loads back to the same sections, entries and values: the entries of the\n"
    "section default first, then every other section in the order it came into\n"
    "being, as a [name] line followed by its entries in stored order, each value\n"
    "escaped or quoted where the format would otherwise change it.  A file that\n"
    "fails to load is reported as FILE:LINE: TEXT on standard error, with the\n"
    "line and, where it helps, a note.\n"
    "\n"
    "  --get SECTION NAME  print only the value that a lookup of NAME in SECTION\n"
    "                      gives (with the fallbacks to [default] and, for ENV,\n"
    "                      the environment), as raw bytes; exit 1 when none\n"
    "  --json              print the context as one JSON object\n"
    "  --lint              print FILE:LINE: warning: lines for what loads but\n"
    "                      likely does not mean what was meant; exit 1 if any\n"
    "  --help, --version   print this text or the version, and exit\n"
    "\n"
    "Exit status, the same in every mode:\n"
    "  0  success\n"
    "  1  --get found no value, or --lint warned\n"
    "  2  the command line was wrong\n"
    "  3  a file could not be read or did not load, memory ran out, or the\n"
    "     output could not be written\n";

enum class Mode { kDump, kGet, kJson, kLint };

struct Options {
    Mode mode = Mode::kDump;
    const char *section = nullptr;  // --get
    const char *name = nullptr;
    std::vector<const char *> files;
};

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

// ---- Checking one file -----------------------------------------------------

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

// What the loader told about one file: the report of its error (shared with
// confedit) and the warnings of --lint.
class FileCheck {
  public:
    explicit FileCheck(const char *file) : report_(file) {}

    static void notify(void *self, const LoadNote *note) {
        static_cast<FileCheck *>(self)->on(*note);
    }

    const std::vector<Finding> &warnings() const { return warnings_; }
    void report_error(const CONF_CTX *ctx, std::FILE *err) const { report_.print(ctx, err); }

  private:
    void on(const LoadNote &n) {
        report_.on(n);
        switch (n.event) {
            case LoadEvent::kStored: lines_[n.entry] = n.line; break;
            case LoadEvent::kReplacing: replacing(n); break;
            case LoadEvent::kCommentInValue:
                warn(n.line,
                     "'#' starts a comment inside this value and the rest of the line is "
                     "ignored (write \\# for the character, or quote the value)");
                break;
            case LoadEvent::kControlEscape:
                warn(n.line, std::string("'\\") + n.escape + "' in this unquoted value becomes " +
                                 escape_name(n.escape) +
                                 " (write \\\\ for a backslash, or quote the value)");
                break;
            case LoadEvent::kSemicolonName:
                warn(n.line,
                     "this name begins with ';', which does not start a comment here "
                     "(comments begin with '#')");
                break;
            case LoadEvent::kSemicolonInValue:
                warn(n.line,
                     "';' does not start a comment here and is part of the value (comments "
                     "begin with '#')");
                break;
            case LoadEvent::kUnclosedQuote:
                warn(n.line,
                     "a quote in this value is never closed; it runs to the end of the line");
                break;
            case LoadEvent::kTextAfterHeader: warn(n.line, "the text after ']' is ignored"); break;
            case LoadEvent::kCommentContinued: comment_continued(n); break;
            case LoadEvent::kError:
            case LoadEvent::kHeader:
            case LoadEvent::kUnresolved: break;
        }
    }

    void warn(long line, std::string text) { warnings_.push_back({line, std::move(text)}); }

    // A name defined twice in this file: the first value is lost.
    void replacing(const LoadNote &n) {
        const auto it = lines_.find(n.replaced);
        if (it == lines_.end()) return;  // from an earlier file: an intended override
        std::string text = "'";
        text += n.entry->name;
        text += "' is defined again in section [";
        text += n.entry->section;
        text += "]; its value from line " + std::to_string(it->second) + " is lost";
        warn(n.line, std::move(text));
        lines_.erase(it);
    }

    // A comment ending in one backslash swallows the lines after it; the
    // warning goes on the line that ends in the backslash.
    void comment_continued(const LoadNote &n) {
        if (n.related_line < 1 || n.related_line > n.line) return;
        std::string text = "this comment ends in a backslash, which continues it onto ";
        if (n.related_line == n.line) {
            text += "line " + std::to_string(n.line) + ": that line is not read";
        } else {
            text += "lines " + std::to_string(n.related_line) + " to " + std::to_string(n.line) +
                    ": those lines are not read";
        }
        warn(n.related_line - 1, text + " (end the comment with another character)");
    }

    conf_report::LoadReport report_;
    std::map<const CONF_VALUE *, long> lines_;  // entries stored from this file
    std::vector<Finding> warnings_;
};

// Loads one file (or, for "-", in) into ctx; reports a failure on err.
// Returns whether it loaded; its warnings are added to *warnings.
bool load_one(CONF_CTX *ctx, const char *file, std::FILE *in, std::FILE *err,
              std::vector<std::pair<const char *, Finding>> *warnings) {
    const bool is_stdin = std::strcmp(file, "-") == 0;
    std::FILE *f = is_stdin ? in : std::fopen(file, "rb");
    if (f == nullptr) {
        const int why = errno;
        conf_report::print_system_error(err, file, conf_report::error_text(kErrOpen),
                                        std::strerror(why));
        return false;
    }
    struct stat st {};
    if (!is_stdin && fstat(fileno(f), &st) == 0 && S_ISDIR(st.st_mode)) {
        std::fclose(f);
        conf_report::print_system_error(err, file, conf_report::error_text(kErrRead),
                                        "is a directory");
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
        return kExitUsage;
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

// Shows the loaded context as the mode asks; returns the exit status.
int show(CONF_CTX *ctx, const Options &o,
         const std::vector<std::pair<const char *, Finding>> &warnings, std::FILE *out,
         std::FILE *err) {
    switch (o.mode) {
        case Mode::kDump:
            if (const int rc = CONF_write_fp(ctx, out); rc != 0) {
                std::fprintf(err, "confcheck: %s\n", conf_report::error_text(rc));
                return kExitCannotRead;
            }
            return 0;
        case Mode::kJson: json(ctx, out); return 0;
        case Mode::kGet:
            if (const char *v = CONF_get_string(ctx, o.section, o.name)) {
                std::fwrite(v, 1, std::strlen(v), out);
                std::fputc('\n', out);
                return 0;
            }
            return 1;
        case Mode::kLint:
            for (const auto &[file, w] : warnings) {
                std::fprintf(out, "%s:%ld: warning: %s\n", file, w.line, w.text.c_str());
            }
            return warnings.empty() ? 0 : 1;
    }
    return 0;
}

}  // namespace

int run(int argc, const char *const *argv, std::FILE *in, std::FILE *out, std::FILE *err) {
    try {
        Options o;
        if (const int status = parse(argc, argv, &o, out, err); status >= 0) return status;
        const std::unique_ptr<CONF_CTX, decltype(&CONF_free)> ctx(CONF_new(), CONF_free);
        if (ctx == nullptr) throw std::bad_alloc();
        std::vector<std::pair<const char *, Finding>> warnings;
        for (const char *file : o.files) {
            if (!load_one(ctx.get(), file, in, err, &warnings)) return kExitCannotRead;
        }
        return show(ctx.get(), o, warnings, out, err);
    } catch (const std::bad_alloc &) {
        std::fputs("confcheck: out of memory\n", err);
        return kExitCannotRead;
    }
}

}  // namespace confcheck
