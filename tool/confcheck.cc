// confcheck.cc - loads configuration files into one context and shows what
// they define (as a configuration file that loads back, one value, or
// JSON), or checks them for what loads but likely means something else; a
// failure names its file and line, shows the line and, where the text may
// mislead, adds a note (conf_report, the same report as confedit's).
//
// With --layers the file arguments are names of layered configurations,
// and the files to load are those the library's own walk finds
// (conf_layers.h), so confcheck reads exactly what CONF_load_layered would.
//
// Everything about the syntax comes from the library: the lines, errors and
// findings are reported by the loader itself through its observer
// (conf_load.h), and the dump is the library's writer, so this file holds
// no parser or writer of the format of its own.
#include "confcheck.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "conf_layers.h"
#include "conf_live.h"
#include "conf_load.h"
#include "conf_report.h"
#include "conf_store.h"
#include <nivra/conf.h>
#include <nivra/conf_schema.h>
#include <nivra/version.h>

namespace confcheck {
namespace {

using conf_report::kExitCannotRead;
using conf_report::kExitUsage;
using nivra::conf::kErrMemory;
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
    "  --layers DIR[:DIR...]\n"
    "                      take each FILE as the name of a layered configuration\n"
    "                      in the DIRs, the first of the highest priority: the\n"
    "                      main file DIR/FILE of the first DIR that has one, then\n"
    "                      the drop-ins DIR/FILE.d/*.conf in the order of their\n"
    "                      names (a FILE with '/', empty, . or .., or that no\n"
    "                      DIR has as a file or a FILE.d directory, exits 3)\n"
    "  --origin            show where each entry was defined, as FILE:LINE: a\n"
    "                      '# FILE:LINE' line before each entry of the dump,\n"
    "                      \"file\" and \"line\" beside each value in --json, and a\n"
    "                      last line after the value of --get\n"
    "  --compare OLD NEW   print what changed from OLD to NEW (two FILEs, or two\n"
    "                      names with --layers), one entry a line: '+ [s] k = v\n"
    "                      (FILE:LINE)', '- [s] k', '~ [s] k: old -> new\n"
    "                      (FILE:LINE)'; exit 1 if anything changed\n"
    "  --schema SCHEMA     check what the FILEs define against the schema SCHEMA:\n"
    "                      print each finding as FILE:LINE: error: TEXT or\n"
    "                      FILE:LINE: warning: TEXT (as JSON objects with --json;\n"
    "                      with --lint, the lint warnings too); exit 1 if any\n"
    "  --sample            with --schema and no FILE: write a reference\n"
    "                      configuration of the schema, every key documented\n"
    "  --help, --version   print this text or the version, and exit\n"
    "\n"
    "Exit status, the same in every mode:\n"
    "  0  success\n"
    "  1  --get found no value, --lint warned, --compare found a change, or\n"
    "     --schema found something\n"
    "  2  the command line was wrong\n"
    "  3  a file (or the schema) could not be read or did not load, memory ran\n"
    "     out, or the output could not be written\n";

enum class Mode { kDump, kGet, kJson, kLint };

struct Options {
    Mode mode = Mode::kDump;
    const char *section = nullptr;  // --get
    const char *name = nullptr;
    bool origin = false;
    bool compare = false;  // --compare OLD NEW: the files are the two sides
    bool layered = false;
    std::vector<std::string> layers;  // --layers, the highest priority first
    std::vector<const char *> files;
    const char *schema = nullptr;  // --schema
    bool sample = false;
};

// A --lint warning, "FILE:LINE: warning: TEXT"; line 0 for one about a
// whole file, "FILE: warning: TEXT".
struct Warning {
    std::string file;
    long line;
    std::string text;
};
using Warnings = std::vector<Warning>;

// What a file stands as where no path names it: standard input.
constexpr char kStdinName[] = "<stdin>";

// Where an entry was defined, as FILE:LINE on one line: bytes of the path
// outside printable ASCII, and the backslash, as \xHH, so that it can stand
// in a comment line of the dump.
std::string origin_text(const CONF_VALUE *entry) {
    const nivra::conf::EntryOrigin *o = nivra::conf::origin_of(entry);
    const char *file = o->file != nullptr ? o->file : kStdinName;
    return conf_report::escaped(file) + ":" + std::to_string(o->line);
}

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

// An entry's value, or with origins {"value": V, "file": F, "line": N}, F
// null for standard input.
void put_json_value(std::FILE *out, const CONF_VALUE *e, bool origin) {
    if (!origin) {
        put_json(out, e->value);
        return;
    }
    const nivra::conf::EntryOrigin *o = nivra::conf::origin_of(e);
    std::fputs("{\"value\": ", out);
    put_json(out, e->value);
    std::fputs(", \"file\": ", out);
    if (o->file != nullptr) {
        put_json(out, o->file);
    } else {
        std::fputs("null", out);
    }
    std::fprintf(out, ", \"line\": %ld}", static_cast<long>(o->line));
}

void json(CONF_CTX *ctx, bool origin, std::FILE *out) {
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
            put_json_value(out, e, origin);
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
    // file is the name errors show; layered, whether the file is one of a
    // layered configuration, where an override with no effect is warned of.
    FileCheck(const char *file, bool layered) : report_(file), layered_(layered) {}

    // No exception may cross the loader, which is built without them: one
    // thrown here is remembered and thrown again once the load has returned.
    static void notify(void *self, const LoadNote *note) noexcept {
        auto *check = static_cast<FileCheck *>(self);
        try {
            check->on(*note);
        } catch (...) {
            check->out_of_memory_ = true;
        }
    }
    void rethrow() const {
        if (out_of_memory_) throw std::bad_alloc();
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

    // A name defined twice in this file: the first value is lost.  One
    // defined in an earlier file is an intended override, unless a layer
    // sets the value it already had.
    void replacing(const LoadNote &n) {
        const auto it = lines_.find(n.replaced);
        if (it == lines_.end()) {
            if (layered_ && std::strcmp(n.entry->value, n.replaced->value) == 0) {
                warn(n.line, "'" + std::string(n.entry->name) + "' in section [" +
                                 n.entry->section + "] is set to the value it already had (from " +
                                 origin_text(n.replaced) + "); this override has no effect");
            }
            return;
        }
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
    bool layered_;
    bool out_of_memory_ = false;
    std::map<const CONF_VALUE *, long> lines_;  // entries stored from this file
    std::vector<Finding> warnings_;
};

// What every file of one run loads into, and where its findings go.
struct Loading {
    CONF_CTX *ctx;
    std::FILE *in;   // for a file of "-"
    std::FILE *err;  // for the report of a failure
    bool layered;    // the files are layers (--layers)
    Warnings warnings;
};

// Loads one file (or, for "-" outside layers, l->in) into the context;
// reports a failure.  Returns whether it loaded; its warnings are added to
// l->warnings.
bool load_one(Loading *l, const char *file) {
    const bool is_stdin = !l->layered && std::strcmp(file, "-") == 0;
    std::FILE *f = is_stdin ? l->in : std::fopen(file, "rb");
    if (f == nullptr) {
        const int why = errno;
        conf_report::print_system_error(l->err, file, conf_report::error_text(kErrOpen),
                                        std::strerror(why));
        return false;
    }
    struct stat st {};
    if (!is_stdin && fstat(fileno(f), &st) == 0 && S_ISDIR(st.st_mode)) {
        std::fclose(f);
        conf_report::print_system_error(l->err, file, conf_report::error_text(kErrRead),
                                        "is a directory");
        return false;
    }
    const char *shown = is_stdin ? kStdinName : file;
    FileCheck check(shown, l->layered);
    const nivra::conf::LoadObserver observer{FileCheck::notify, &check};
    // The context starts new and loading stops at the first failure, so a
    // non-zero result always belongs to this file.  The path makes the
    // file the entries' origin.
    const int rc = nivra::conf::load_observed(l->ctx, f, &observer, is_stdin ? nullptr : file);
    if (!is_stdin) std::fclose(f);
    check.rethrow();
    if (rc != 0) {
        check.report_error(l->ctx, l->err);
        return false;
    }
    for (const Finding &w : check.warnings()) l->warnings.push_back({shown, w.line, w.text});
    return true;
}

// ---- Layers ----------------------------------------------------------------

// What stands at path in a file's place: a dangling link, a directory or
// another kind of file, as the start of a sentence.
std::string stray_kind(const char *path) {
    struct stat st {};
    if (::stat(path, &st) != 0) return "this dangling link";
    return S_ISDIR(st.st_mode) ? "this directory" : "this special file";
}

// One walk of the layers.  The library below the visitor is built without
// exceptions, so none may leave the callbacks: running out of memory is
// recorded and the walk stopped instead.
struct LayerWalk {
    Loading *loading;
    bool out_of_memory = false;
    // The entry that masks without being a file, told of last, and the
    // copies it masks: its warning is the last one, rewritten as they come.
    std::string stray_path{};
    std::vector<std::string> masked{};

    static int file(void *self, const char *path) {
        auto *w = static_cast<LayerWalk *>(self);
        try {
            return load_one(w->loading, path) ? 0 : 1;
        } catch (const std::bad_alloc &) {
            w->out_of_memory = true;
            return 1;
        }
    }
    static void ignored(void *self, const char *path) {
        auto *w = static_cast<LayerWalk *>(self);
        try {
            w->loading->warnings.push_back(
                {path, 0,
                 "this file is ignored: a drop-in directory's files are read only "
                 "when their names end in '.conf'"});
        } catch (const std::bad_alloc &) {
            w->out_of_memory = true;
        }
    }
    static void stray(void *self, const char *path, const char *masked) {
        auto *w = static_cast<LayerWalk *>(self);
        try {
            w->on_stray(path, masked);
        } catch (const std::bad_alloc &) {
            w->out_of_memory = true;
        }
    }

    void on_stray(const char *path, const char *masked_path) {
        Warnings &warnings = loading->warnings;
        if (path != stray_path || warnings.empty() || warnings.back().file != path) {
            stray_path = path;
            masked.clear();
            warnings.push_back({path, 0, ""});
        }
        if (masked_path != nullptr) masked.emplace_back(masked_path);
        std::string text = stray_kind(path);
        if (masked.empty()) {
            text += " is not read";
        } else {
            text += " masks ";
            for (size_t i = 0; i < masked.size(); ++i) {
                if (i > 0) text += i + 1 < masked.size() ? ", " : " and ";
                text += masked[i];
            }
            text += masked.size() == 1 ? ", which is not read" : ", which are not read";
        }
        warnings.back().text =
            text + " (only a regular file loads; to mask a name on purpose, link it to /dev/null)";
    }
};

// A drop-in directory that exists but cannot be listed, with the system's
// reason (asked again: the walk does not keep it).
void report_unlistable(std::FILE *err, const char *dir) {
    std::string reason = "the directory cannot be listed";
    if (DIR *d = ::opendir(dir)) {
        ::closedir(d);
    } else {
        reason = std::strerror(errno);
    }
    conf_report::print_system_error(err, dir, conf_report::error_text(kErrOpen), reason.c_str());
}

// A name that no directory has: most likely misspelt, so an error here,
// where the library's layered load reads nothing and succeeds.
void report_nowhere(std::FILE *err, const std::vector<std::string> &layers, const char *name) {
    std::string dirs;
    for (const std::string &d : layers)
        dirs += (dirs.empty() ? "" : ", ") + conf_report::escaped(d);
    const std::string shown = conf_report::escaped(name);
    std::fprintf(err, "confcheck: no directory has '%s': none of %s holds %s or %s.d\n",
                 shown.c_str(), dirs.c_str(), shown.c_str(), shown.c_str());
}

// Loads the layered configuration name (a valid name) from the layers, as
// CONF_load_layered would; reports a failure, and a name no directory has.
// Returns whether it loaded.
bool load_layered(Loading *l, const std::vector<std::string> &layers, const char *name) {
    std::vector<const char *> dirs;
    dirs.reserve(layers.size());
    for (const std::string &d : layers) dirs.push_back(d.c_str());
    LayerWalk walk{l};
    nivra::conf::LayersFound found;
    const int rc = nivra::conf::walk_layers(
        dirs.data(), dirs.size(), name,
        nivra::conf::LayerVisitor{LayerWalk::file, LayerWalk::ignored, LayerWalk::stray, &walk},
        &found);
    const std::unique_ptr<char, decltype(&std::free)> failed_path(found.failed_path, std::free);
    if (walk.out_of_memory || rc == kErrMemory) throw std::bad_alloc();
    if (rc == kErrOpen) {
        if (failed_path == nullptr) throw std::bad_alloc();  // only its path's copy can fail
        report_unlistable(l->err, failed_path.get());
    }
    if (rc == 0 && !found.any) {
        report_nowhere(l->err, layers, name);
        return false;
    }
    return rc == 0;
}

// Whether every name can be looked up in layers; reports the first that
// cannot.
bool names_valid(const std::vector<const char *> &names, std::FILE *err) {
    for (const char *name : names) {
        if (nivra::conf::layer_name_valid(name)) continue;
        std::fprintf(err,
                     "confcheck: '%s' is not a file name: with --layers, each FILE is the name "
                     "of a file to look up in the directories (not empty, '.' or '..', and "
                     "without '/')\n",
                     conf_report::escaped(name).c_str());
        return false;
    }
    return true;
}

// The directories of --layers DIR[:DIR...]; false when one is empty (it
// would make the files' paths absolute ones at the root).
bool split_layers(const char *list, std::vector<std::string> *dirs) {
    dirs->clear();
    for (const char *p = list;; ++p) {
        const char *end = std::strchr(p, ':');
        if (end == nullptr) end = p + std::strlen(p);
        if (end == p) return false;
        dirs->emplace_back(p, end);
        if (*end == '\0') return true;
        p = end;
    }
}

// Reads the option argv[*i] (and its arguments, moving *i past them).
// Returns -1 to go on, 0 after printing help or the version, or kExitUsage
// with *problem set.
int parse_option(int argc, const char *const *argv, int *i, Options *o, std::FILE *out,
                 std::string *problem) {
    const std::string a = argv[*i];
    if (a == "--help" || a == "-h") {
        std::fputs(kUsage, out);
        return 0;
    }
    if (a == "--version") {
        std::fprintf(out, "confcheck (Nivra support kit) %s\n", Nivra_GetVersion());
        return 0;
    }
    if (a == "--origin") {
        o->origin = true;
        return -1;
    }
    if (a == "--compare") {
        o->compare = true;
        return -1;
    }
    if (a == "--schema") {
        if (o->schema != nullptr)
            *problem = "--schema can be given only once";
        else if (*i + 1 >= argc)
            *problem = "--schema needs a schema file";
        else
            o->schema = argv[++*i];
        return problem->empty() ? -1 : kExitUsage;
    }
    if (a == "--sample") {
        o->sample = true;
        return -1;
    }
    if (a == "--layers") {
        if (o->layered)
            *problem = "--layers can be given only once";
        else if (*i + 1 >= argc)
            *problem = "--layers needs a list of directories";
        else if (!split_layers(argv[++*i], &o->layers))
            *problem = "--layers needs directories separated by ':', none of them empty";
        o->layered = true;
        return problem->empty() ? -1 : kExitUsage;
    }
    if (a != "--get" && a != "--json" && a != "--lint") {
        *problem = "unknown option '" + a + "'";
    } else if (o->mode != Mode::kDump) {
        *problem = "--get, --json and --lint go alone";
    } else if (a == "--get") {
        if (*i + 2 >= argc) {
            *problem = "--get needs a SECTION and a NAME";
        } else {
            o->mode = Mode::kGet;
            o->section = argv[++*i];
            o->name = argv[++*i];
        }
    } else {
        o->mode = a == "--json" ? Mode::kJson : Mode::kLint;
    }
    return problem->empty() ? -1 : kExitUsage;
}

// What is wrong with the schema options, or "".
std::string schema_problem(const Options &o) {
    if (o.sample && o.schema == nullptr) return "--sample needs --schema";
    if (o.sample && (!o.files.empty() || o.mode != Mode::kDump || o.layered || o.origin))
        return "--sample goes with --schema alone";
    if (o.schema != nullptr && (o.mode == Mode::kGet || o.origin))
        return "--schema does not go with --get or --origin";
    return "";
}

// Reads the command line; returns -1 to go on, else the exit status (after
// printing help, the version, or a usage error).
int parse(int argc, const char *const *argv, Options *o, std::FILE *out, std::FILE *err) {
    std::string problem;
    bool options = true;
    for (int i = 1; i < argc && problem.empty(); ++i) {
        const char *a = argv[i];
        if (!options || a[0] != '-' || a[1] == '\0') {
            o->files.push_back(a);
        } else if (std::strcmp(a, "--") == 0) {
            options = false;
        } else if (const int status = parse_option(argc, argv, &i, o, out, &problem);
                   status >= 0 && problem.empty()) {
            return status;
        }
    }
    int stdin_count = 0;
    for (const char *f : o->files) stdin_count += std::strcmp(f, "-") == 0 ? 1 : 0;
    if (problem.empty()) problem = schema_problem(*o);
    if (problem.empty() && o->files.empty() && !o->sample) problem = "no configuration file given";
    if (problem.empty() && stdin_count > 1 && !o->layered)
        problem = "standard input (-) can be read only once";
    if (problem.empty()) return -1;
    std::fprintf(err, "confcheck: %s\nTry 'confcheck --help'.\n", problem.c_str());
    return kExitUsage;
}

// ---- Showing the result ----------------------------------------------------

// Writes the dump with a "# FILE:LINE" comment line before each entry.  The
// library's writer gives every header and every entry exactly one line, in
// the order of the context's sections and entries, so the comments go in
// by counting lines.  Returns 0 or what the writer returns.
int dump_with_origins(CONF_CTX *ctx, std::FILE *out) {
    char *buf = nullptr;
    size_t size = 0;
    std::FILE *mem = open_memstream(&buf, &size);
    if (mem == nullptr) return kErrMemory;
    const int rc = CONF_write_fp(ctx, mem);
    std::fclose(mem);
    const std::unique_ptr<char, decltype(&std::free)> text(buf, std::free);
    if (rc != 0) return rc;
    std::string_view rest(buf, size);
    auto copy_line = [&rest, out] {
        if (rest.empty()) return;
        const size_t n = std::min(rest.find('\n'), rest.size() - 1) + 1;
        std::fwrite(rest.data(), 1, n, out);
        rest.remove_prefix(n);
    };
    for (int i = 0; i < CONF_get_section_count(ctx); ++i) {
        const char *section = CONF_get_section_name(ctx, i);
        if (i > 0 || std::strcmp(section, nivra::conf::kDefaultSection) != 0) copy_line();
        const int n = CONF_get_entry_count(ctx, section);
        for (int j = 0; j < n; ++j) {
            std::fprintf(out, "# %s\n", origin_text(CONF_get_entry(ctx, section, j)).c_str());
            copy_line();
        }
    }
    std::fwrite(rest.data(), 1, rest.size(), out);  // none: every line had its place
    return std::fflush(out) != 0 || std::ferror(out) != 0 ? nivra::conf::kErrWrite : 0;
}

// Where the value v that a lookup of (section, name) gave came from: the
// entry of the section or of [default] that holds it, else the environment.
std::string lookup_origin(CONF_CTX *ctx, const char *section, const char *name, const char *v) {
    for (const char *s : {section, nivra::conf::kDefaultSection}) {
        if (ctx->table == nullptr) break;
        const CONF_VALUE *e = nivra::conf::find_entry(ctx, s, name);
        if (e != nullptr && e->value == v) return origin_text(e);
    }
    return "<environment>";
}

// Shows the loaded context as the mode asks; returns the exit status.
int show(CONF_CTX *ctx, const Options &o, const Warnings &warnings, std::FILE *out,
         std::FILE *err) {
    switch (o.mode) {
        case Mode::kDump:
            if (const int rc = o.origin ? dump_with_origins(ctx, out) : CONF_write_fp(ctx, out);
                rc != 0) {
                std::fprintf(err, "confcheck: %s\n", conf_report::error_text(rc));
                return kExitCannotRead;
            }
            return 0;
        case Mode::kJson: json(ctx, o.origin, out); return 0;
        case Mode::kGet:
            if (const char *v = CONF_get_string(ctx, o.section, o.name)) {
                std::fwrite(v, 1, std::strlen(v), out);
                std::fputc('\n', out);
                if (o.origin)
                    std::fprintf(out, "%s\n", lookup_origin(ctx, o.section, o.name, v).c_str());
                return 0;
            }
            return 1;
        case Mode::kLint:
            for (const Warning &w : warnings) {
                const std::string where = w.line > 0 ? ":" + std::to_string(w.line) : "";
                std::fprintf(out, "%s%s: warning: %s\n", w.file.c_str(), where.c_str(),
                             w.text.c_str());
            }
            return warnings.empty() ? 0 : 1;
    }
    return 0;
}

// --compare: loads the two sides into contexts of their own and prints the
// changes in the order the live configuration reports them.  Returns the
// exit status.
int compare(const Options &o, std::FILE *in, std::FILE *out, std::FILE *err) {
    if (o.files.size() != 2 || o.mode != Mode::kDump || o.origin) {
        std::fputs(
            "confcheck: --compare takes an OLD and a NEW file and no other mode\n"
            "Try 'confcheck --help'.\n",
            err);
        return kExitUsage;
    }
    using Ctx = std::unique_ptr<CONF_CTX, decltype(&CONF_free)>;
    Ctx sides[2] = {Ctx(CONF_new(), CONF_free), Ctx(CONF_new(), CONF_free)};
    for (size_t i = 0; i < 2; ++i) {
        if (sides[i] == nullptr) throw std::bad_alloc();
        Loading l{sides[i].get(), in, err, o.layered, {}};
        if (!(o.layered ? load_layered(&l, o.layers, o.files[i]) : load_one(&l, o.files[i])))
            return kExitCannotRead;
    }
    CONF_CHANGE *changes = nullptr;
    const int n = CONF_diff(sides[0].get(), sides[1].get(), &changes);
    if (n < 0) throw std::bad_alloc();
    const std::unique_ptr<CONF_CHANGE, decltype(&CONF_changes_free)> owned(changes,
                                                                           CONF_changes_free);
    for (int i = 0; i < n; ++i) {
        const CONF_CHANGE &c = changes[i];
        const std::string where = " (" +
                                  conf_report::escaped(c.file != nullptr ? c.file : kStdinName) +
                                  ":" + std::to_string(c.line) + ")";
        if (c.kind == CONF_CHANGE_ADDED)
            std::fprintf(out, "+ [%s] %s = %s %s\n", c.section, c.name, c.new_value, where.c_str());
        else if (c.kind == CONF_CHANGE_REMOVED)
            std::fprintf(out, "- [%s] %s\n", c.section, c.name);
        else
            std::fprintf(out, "~ [%s] %s: %s -> %s %s\n", c.section, c.name, c.old_value,
                         c.new_value, where.c_str());
    }
    return n == 0 ? 0 : 1;
}

// ---- Schemas -----------------------------------------------------------------

using Schema = std::unique_ptr<CONF_SCHEMA, decltype(&CONF_schema_free)>;

// Loads the schema; prints why it cannot be loaded.  Null then.
Schema load_schema(const char *path, std::FILE *err) {
    CONF_SCHEMA_ERROR error{};
    Schema schema(CONF_schema_load(path, &error), CONF_schema_free);
    const int why = errno;
    if (schema == nullptr) {
        if (error.number == kErrMemory) throw std::bad_alloc();
        if (error.number == kErrOpen || error.number == kErrRead) {
            conf_report::print_system_error(err, path, conf_report::error_text(error.number),
                                            std::strerror(why));
            return schema;
        }
        const std::string where =
            conf_report::escaped(path) + (error.line > 0 ? ":" + std::to_string(error.line) : "");
        // The line is in the location already; the text need not repeat it.
        std::string text = error.text;
        const std::string suffix = ", line " + std::to_string(error.line);
        if (error.line > 0 && text.size() > suffix.size() &&
            text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0)
            text.resize(text.size() - suffix.size());
        std::fprintf(err, "%s: error: %s\n", where.c_str(), text.c_str());
    }
    return schema;
}

const char *kind_name(CONF_FINDING_KIND kind) {
    switch (kind) {
        case CONF_FINDING_UNKNOWN_SECTION: return "unknown section";
        case CONF_FINDING_UNKNOWN_KEY: return "unknown key";
        case CONF_FINDING_WRONG_TYPE: return "wrong type";
        case CONF_FINDING_OUT_OF_RANGE: return "out of range";
        case CONF_FINDING_NOT_A_CHOICE: return "not a choice";
        case CONF_FINDING_MISSING: return "missing";
        case CONF_FINDING_DEPRECATED: return "deprecated";
    }
    return "finding";
}

// "FILE:LINE: error: TEXT", or "FILE: warning: TEXT" without a line.
void put_finding_line(std::FILE *out, const char *file, long line, const char *severity,
                      const char *text) {
    const std::string where = line > 0 ? ":" + std::to_string(line) : "";
    std::fprintf(out, "%s%s: %s: %s\n", conf_report::escaped(file).c_str(), where.c_str(), severity,
                 text);
}

void put_json_field(std::FILE *out, const char *name, const char *value, bool last = false) {
    std::fprintf(out, "\"%s\": ", name);
    if (value != nullptr) {
        put_json(out, value);
    } else {
        std::fputs("null", out);
    }
    std::fputs(last ? "}" : ", ", out);
}

void put_json_finding(std::FILE *out, const char *file, long line, const char *section,
                      const char *name, const char *value, const char *kind, const char *severity,
                      const char *message, const char *suggestion) {
    std::fputc('{', out);
    put_json_field(out, "file", file);
    if (line > 0) {
        std::fprintf(out, "\"line\": %ld, ", line);
    } else {
        std::fputs("\"line\": null, ", out);
    }
    put_json_field(out, "section", section);
    put_json_field(out, "name", name);
    put_json_field(out, "value", value);
    put_json_field(out, "kind", kind);
    put_json_field(out, "severity", severity);
    put_json_field(out, "message", message);
    put_json_field(out, "suggestion", suggestion, true);
}

// Prints the findings of the schema (and, with --lint, the lint warnings
// first) as lines or, with --json, as one JSON array.  Returns the exit
// status: 1 when there is any.
int show_findings(CONF_CTX *ctx, const CONF_SCHEMA *schema, const Options &o,
                  const Warnings &warnings, std::FILE *out) {
    const std::unique_ptr<CONF_FINDINGS, decltype(&CONF_findings_free)> findings(
        CONF_schema_validate(schema, ctx), CONF_findings_free);
    if (findings == nullptr) throw std::bad_alloc();
    const bool json = o.mode == Mode::kJson;
    const Warnings none;
    const Warnings &lint = o.mode == Mode::kLint ? warnings : none;
    const int n = CONF_findings_count(findings.get());
    if (json) std::fputc('[', out);
    int shown = 0;
    for (const Warning &w : lint) {
        if (json) {
            std::fputs(shown++ == 0 ? "\n  " : ",\n  ", out);
            put_json_finding(out, w.file.c_str(), w.line, nullptr, nullptr, nullptr, "lint",
                             "warning", w.text.c_str(), nullptr);
        } else {
            put_finding_line(out, w.file.c_str(), w.line, "warning", w.text.c_str());
        }
    }
    for (int i = 0; i < n; ++i) {
        const CONF_FINDING *f = CONF_findings_get(findings.get(), i);
        const char *file = f->file != nullptr ? f->file : kStdinName;
        const char *severity = f->severity == CONF_SEVERITY_ERROR ? "error" : "warning";
        if (json) {
            std::fputs(shown++ == 0 ? "\n  " : ",\n  ", out);
            put_json_finding(out, f->file, f->line, f->section, f->name, f->value,
                             kind_name(f->kind), severity, f->message, f->suggestion);
        } else {
            put_finding_line(out, file, f->line, severity, f->message);
        }
    }
    if (json) std::fputs(shown > 0 ? "\n]\n" : "]\n", out);
    return n > 0 || !lint.empty() ? 1 : 0;
}

// --sample: the schema's reference configuration.
int write_sample(const char *path, std::FILE *out, std::FILE *err) {
    const Schema schema = load_schema(path, err);
    if (schema == nullptr) return kExitCannotRead;
    if (const int rc = CONF_schema_write_sample(schema.get(), out); rc != 0) {
        if (rc == kErrMemory) throw std::bad_alloc();
        std::fprintf(err, "confcheck: %s\n", conf_report::error_text(rc));
        return kExitCannotRead;
    }
    return 0;
}

}  // namespace

int run(int argc, const char *const *argv, std::FILE *in, std::FILE *out, std::FILE *err) {
    try {
        Options o;
        if (const int status = parse(argc, argv, &o, out, err); status >= 0) return status;
        if (o.sample) return write_sample(o.schema, out, err);
        Schema schema(nullptr, CONF_schema_free);
        if (o.schema != nullptr && (schema = load_schema(o.schema, err)) == nullptr)
            return kExitCannotRead;
        const std::unique_ptr<CONF_CTX, decltype(&CONF_free)> ctx(CONF_new(), CONF_free);
        if (ctx == nullptr) throw std::bad_alloc();
        if (o.layered && !names_valid(o.files, err)) return kExitCannotRead;
        if (o.compare) return compare(o, in, out, err);
        Loading loading{ctx.get(), in, err, o.layered, {}};
        for (const char *file : o.files) {
            const bool loaded =
                o.layered ? load_layered(&loading, o.layers, file) : load_one(&loading, file);
            if (!loaded) return kExitCannotRead;
        }
        if (schema != nullptr)
            return show_findings(ctx.get(), schema.get(), o, loading.warnings, out);
        return show(ctx.get(), o, loading.warnings, out, err);
    } catch (const std::bad_alloc &) {
        std::fputs("confcheck: out of memory\n", err);
        return kExitCannotRead;
    }
}

}  // namespace confcheck
