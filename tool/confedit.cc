// confedit.cc - applies a command line's operations to one configuration
// file together and writes it once: the library's document (conf_doc.h)
// changes only the lines it must, and nothing is written unless the result
// loads.  A failure is reported as confcheck reports it (conf_report).
//
// A file is read, edited and saved in one cycle; when another writer
// changed the file meanwhile, the save refuses and the cycle starts again
// from the new contents, a bounded number of times.
#include "confedit.h"

#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "conf_load.h"
#include "conf_report.h"
#include "conf_store.h"
#include "line_diff.h"
#include <nivra/conf.h>
#include <nivra/conf_doc.h>
#include <nivra/conf_schema.h>
#include <nivra/version.h>

namespace confedit {
namespace {

using conf_report::kExitCannotRead;
using conf_report::kExitUsage;
using nivra::conf::kErrMemory;

constexpr int kExitNoLoad = 1;
// Read-edit-save cycles that may meet another writer's change before
// confedit gives up.
constexpr int kMaxCycles = 10;
constexpr char kStdinName[] = "<stdin>";

constexpr char kUsage[] =
    "Usage: confedit [--diff | --dry-run] [--verbose] [--in-place] [--wait SECONDS] FILE OP...\n"
    "Apply the operations OP to the configuration FILE together and write it\n"
    "once, changing only the lines they must: comments, blank lines, layout and\n"
    "every other line stay byte for byte.  Nothing is written when the result\n"
    "would not load; a value whose references already had no value when FILE\n"
    "was read is only warned of.  A FILE of - reads standard input and writes\n"
    "the result to standard output.  A FILE that does not exist is created (its\n"
    "directory must).\n"
    "\n"
    "Operations (the SECTION default holds the entries before the first header):\n"
    "  --set SECTION NAME VALUE     give NAME in SECTION the value VALUE as it\n"
    "                               stands (escaped or quoted as needed)\n"
    "  --set-raw SECTION NAME TEXT  write TEXT as the value's text, so that\n"
    "                               references such as $name and escapes apply\n"
    "  --unset SECTION NAME         remove every definition of NAME in SECTION\n"
    "  --remove-section SECTION     remove the section's headers, the lines of\n"
    "                               its blocks and its entries qualified elsewhere\n"
    "\n"
    "  --diff             print the change as a unified diff; write nothing\n"
    "  --dry-run          check that the result loads; write nothing\n"
    "  --verbose          say on standard error whether FILE changed\n"
    "  --in-place         rewrite FILE's own contents instead of replacing it\n"
    "                     (for hard links, bind mounts, files of another owner;\n"
    "                     not atomic: a crash can leave it partly written)\n"
    "  --wait SECONDS     wait at most this long for another confedit's lock\n"
    "                     (default 10)\n"
    "  --schema SCHEMA    refuse a result in which the schema SCHEMA finds an\n"
    "                     error or an unknown key that FILE did not have\n"
    "  --force            with --schema: write anyway, the findings as warnings\n"
    "  --help, --version  print this text or the version, and exit\n"
    "\n"
    "Exit status:\n"
    "  0  FILE was written or needed no change (--diff, --dry-run: the result\n"
    "     loads)\n"
    "  1  the result would not load, a line of FILE does not parse, or the\n"
    "     schema finds a new error or unknown key in it\n"
    "  2  the command line was wrong, or a name cannot be written\n"
    "  3  FILE could not be read, locked or written, or memory ran out (also\n"
    "     when FILE was written but its directory could not be synced)\n";

enum class OpKind { kSet, kSetRaw, kUnset, kRemoveSection };

struct OpForm {
    const char *flag;
    OpKind kind;
    int args;
    const char *needs;
};
constexpr OpForm kOps[] = {
    {"--set", OpKind::kSet, 3, "a SECTION, a NAME and a VALUE"},
    {"--set-raw", OpKind::kSetRaw, 3, "a SECTION, a NAME and a TEXT"},
    {"--unset", OpKind::kUnset, 2, "a SECTION and a NAME"},
    {"--remove-section", OpKind::kRemoveSection, 1, "a SECTION"},
};

struct Op {
    const OpForm *form;
    const char *section;
    const char *name;
    const char *value;
};

struct Options {
    bool diff = false;
    bool dry_run = false;
    bool verbose = false;
    bool in_place = false;
    int wait_ms = CONF_DOC_DEFAULT_WAIT_MS;
    const char *schema = nullptr;  // --schema
    bool force = false;
    const char *file = nullptr;
    std::string shown;  // FILE as messages print it
    std::vector<Op> ops;
};

using Doc = std::unique_ptr<CONF_DOC, decltype(&CONF_doc_free)>;
using Ctx = std::unique_ptr<CONF_CTX, decltype(&CONF_free)>;

int usage(std::FILE *err, const std::string &what) {
    std::fprintf(err, "confedit: %s\nTry 'confedit --help'.\n", what.c_str());
    return kExitUsage;
}

int out_of_memory(std::FILE *err) {
    std::fputs("confedit: out of memory\n", err);
    return kExitCannotRead;
}

// Reads the operation at argv[*i]; returns -1 to go on, else the exit
// status of a usage error.
int parse_op(int argc, const char *const *argv, int *i, Options *o, std::FILE *err) {
    const char *a = argv[*i];
    for (const OpForm &form : kOps) {
        if (std::strcmp(a, form.flag) != 0) continue;
        if (*i + form.args >= argc) return usage(err, std::string(a) + " needs " + form.needs);
        const char *const *arg = argv + *i + 1;
        o->ops.push_back(
            {&form, arg[0], form.args > 1 ? arg[1] : nullptr, form.args > 2 ? arg[2] : nullptr});
        *i += form.args;
        return -1;
    }
    return usage(err, std::string(o->file == nullptr ? "unknown option '" : "unknown operation '") +
                          a + "'");
}

// A number of seconds (decimals allowed) as milliseconds.
bool parse_wait(const char *text, int *ms) {
    char *end = nullptr;
    errno = 0;
    const double seconds = std::strtod(text, &end);
    if (end == text || *end != '\0' || errno != 0 || !(seconds >= 0 && seconds <= 86400))
        return false;
    *ms = static_cast<int>(std::lround(seconds * 1000));
    return true;
}

// Reads the command line; returns -1 to go on, else the exit status (after
// printing help, the version, or a usage error).
int parse(int argc, const char *const *argv, Options *o, std::FILE *out, std::FILE *err) {
    bool options = true;
    for (int i = 1; i < argc; ++i) {
        const char *a = argv[i];
        const bool option = options && a[0] == '-' && a[1] != '\0';
        if (option && std::strcmp(a, "--") == 0) {
            options = false;
        } else if (option && (std::strcmp(a, "--help") == 0 || std::strcmp(a, "-h") == 0)) {
            std::fputs(kUsage, out);
            return 0;
        } else if (option && std::strcmp(a, "--version") == 0) {
            std::fprintf(out, "confedit (Nivra support kit) %s\n", Nivra_GetVersion());
            return 0;
        } else if (option && std::strcmp(a, "--diff") == 0) {
            o->diff = true;
        } else if (option && std::strcmp(a, "--dry-run") == 0) {
            o->dry_run = true;
        } else if (option && std::strcmp(a, "--verbose") == 0) {
            o->verbose = true;
        } else if (option && std::strcmp(a, "--in-place") == 0) {
            o->in_place = true;
        } else if (option && std::strcmp(a, "--wait") == 0) {
            if (i + 1 >= argc || !parse_wait(argv[i + 1], &o->wait_ms))
                return usage(err, "--wait needs a number of seconds from 0 to 86400");
            ++i;
        } else if (option && std::strcmp(a, "--schema") == 0) {
            if (++i >= argc) return usage(err, "--schema needs a schema file");
            o->schema = argv[i];
        } else if (option && std::strcmp(a, "--force") == 0) {
            o->force = true;
        } else if (o->file == nullptr && !option) {
            o->file = a;
            options = true;  // "--" ends the options before FILE only
        } else if (const int status = parse_op(argc, argv, &i, o, err); status >= 0) {
            return status;
        }
    }
    if (o->file == nullptr) return usage(err, "no configuration file given");
    o->shown = conf_report::shown_name(o->file);
    if (o->ops.empty()) return usage(err, "no operation given");
    if (o->diff && o->dry_run) return usage(err, "--diff and --dry-run go alone");
    if (o->force && o->schema == nullptr) return usage(err, "--force goes with --schema");
    return -1;
}

std::string_view text_of(const CONF_DOC *doc) {
    size_t len = 0;
    const char *text = CONF_doc_text(doc, &len);
    return {text, len};
}

// An operation as the command line gave it: "--set SECTION NAME".
std::string op_label(const Op &op) {
    std::string label = std::string(op.form->flag) + " " + conf_report::escaped(op.section);
    if (op.name != nullptr) label += " " + conf_report::escaped(op.name);
    return label;
}

// Where the logical line on lines first..last (of the edited text) is
// shown: "FILE: OP" when the operation OP wrote one of them (edits are
// numbered as the operations are, for each is one call), else "FILE:LINE"
// with the last one's line in the file as read.
std::string place(const CONF_DOC *doc, const Options &o, const char *shown, long first, long last) {
    std::string file = shown;
    if (last <= 0) return file;
    CONF_DOC_LINE origin{};
    for (long l = first > 0 ? first : last; l <= last && l <= INT_MAX; ++l) {
        if (CONF_doc_line_origin(doc, static_cast<int>(l), &origin) != 0) break;
        if (origin.edit >= 1 && static_cast<size_t>(origin.edit) <= o.ops.size())
            return file + ": " + op_label(o.ops[static_cast<size_t>(origin.edit) - 1]);
    }
    if (origin.read_line > 0) return file + ":" + std::to_string(origin.read_line);
    return file + ":" + std::to_string(last);
}

// Whether the definition on lines first..last of the edited text is one
// of the file that already did not expand when it was read: the edits did
// not break it (CONF_doc_save decides the same way).
bool unresolved_before(const CONF_DOC *doc, long first, long last) {
    CONF_DOC_LINE head{};
    if (first < 1 || last < first || last > INT_MAX ||
        CONF_doc_line_origin(doc, static_cast<int>(first), &head) != 0)
        return false;
    for (long l = first; l <= last; ++l) {
        CONF_DOC_LINE o{};
        if (CONF_doc_line_origin(doc, static_cast<int>(l), &o) != 0 || o.read_line == 0 ||
            o.unresolved == 0 || o.read_line - head.read_line != l - first)
            return false;
    }
    return true;
}

// Loads the document's text as the file would load, past values whose
// references have no value, and prints the report of what fails, each line
// placed in the file or with the operation that wrote it.  With result
// (the text the operations made), a value that does not expand refuses the
// text unless it already did not when the file was read: that one is a
// warning, for the variable may belong to the environment the file is
// written for.  Returns the exit status: -1 it loads.
int check_text(const CONF_DOC *doc, const Options &o, const char *shown, bool result,
               std::FILE *err) {
    const Ctx ctx(CONF_new(), CONF_free);
    if (ctx == nullptr) return out_of_memory(err);
    conf_report::LoadReport report(shown);
    const nivra::conf::LoadObserver observer = report.observer();
    const std::string_view text = text_of(doc);
    const int rc = nivra::conf::scan_buffer(ctx.get(), text.data(), text.size(), &observer, true);
    report.rethrow();
    const auto &unresolved = report.unresolved();
    for (const conf_report::Problem &p : unresolved) {
        if (!result || unresolved_before(doc, p.first_line, p.line)) continue;
        conf_report::print_problem(p, place(doc, o, shown, p.first_line, p.line), "", err);
        return kExitNoLoad;
    }
    if (rc != 0) {
        const long line = CONF_get_last_error_line(ctx.get());
        const conf_report::Problem *e = report.error();
        const long first = e != nullptr && e->line == line ? e->first_line : line;
        report.print_at(ctx.get(), place(doc, o, shown, first, line), err);
        return rc == kErrMemory ? kExitCannotRead : kExitNoLoad;
    }
    for (const conf_report::Problem &p : unresolved) {
        if (!result) break;
        const std::string where = place(doc, o, shown, p.first_line, p.line);
        conf_report::print_problem(p, where, "warning: ", err);
        std::fprintf(err,
                     "%s: note: it did not expand before these edits either; written as it is\n",
                     where.c_str());
    }
    return -1;
}

// A --set or --set-raw that no line can give: a new document that takes the
// section (with a plain name) clears the section, one that takes the name
// (in default) clears the name, and what is left is the text.
void report_unwritable(const Op &op, std::FILE *err) {
    const Doc probe(CONF_doc_new(), CONF_doc_free);
    const bool section_ok = probe != nullptr && CONF_doc_set(probe.get(), op.section, "x", "") == 0;
    const bool name_ok = probe != nullptr && CONF_doc_set(probe.get(), nullptr, op.name, "") == 0;
    std::fprintf(err, "confedit: %s: ", op.form->flag);
    if (!section_ok) {
        std::fprintf(err, "the section name '%s' cannot be written in a header line\n",
                     conf_report::escaped(op.section).c_str());
    } else if (!name_ok || op.form->kind != OpKind::kSetRaw) {
        std::fprintf(err, "the name '%s' cannot be written as an entry's name\n",
                     conf_report::escaped(op.name).c_str());
    } else {
        std::fprintf(err,
                     "the text '%s' does not read back as itself (it may not hold a line end or "
                     "a comment, end in a lone backslash, or begin or end with a blank)\n",
                     conf_report::escaped(op.value).c_str());
    }
}

int apply(CONF_DOC *doc, const Op &op) {
    switch (op.form->kind) {
        case OpKind::kSet: return CONF_doc_set(doc, op.section, op.name, op.value);
        case OpKind::kSetRaw: return CONF_doc_set_raw(doc, op.section, op.name, op.value);
        case OpKind::kUnset: return CONF_doc_unset(doc, op.section, op.name);
        case OpKind::kRemoveSection: return CONF_doc_remove_section(doc, op.section);
    }
    return 0;
}

// --schema: the findings of the edited text that the text before did not
// have (errors and unknown keys and sections, told apart by kind, section,
// name and value, not by line), printed as errors, and the edit refused;
// with --force, printed as warnings.  Returns -1 to go on, else the exit
// status.
int check_schema(std::string_view before, std::string_view after, const Options &o,
                 const char *shown, std::FILE *err) {
    CONF_SCHEMA_ERROR error{};
    const std::unique_ptr<CONF_SCHEMA, decltype(&CONF_schema_free)> schema(
        CONF_schema_load(o.schema, &error), CONF_schema_free);
    if (schema == nullptr) {
        if (error.number == kErrMemory) throw std::bad_alloc();
        std::fprintf(err, "%s: error: %s\n", conf_report::escaped(o.schema).c_str(), error.text);
        return kExitCannotRead;
    }
    using Findings = std::unique_ptr<CONF_FINDINGS, decltype(&CONF_findings_free)>;
    auto validate = [&schema](std::string_view text) {
        const Ctx ctx(CONF_new(), CONF_free);
        if (ctx == nullptr) throw std::bad_alloc();
        // A text that does not load has no findings (the edit's own check
        // refuses such a result before this is asked).
        if (CONF_load_buffer(ctx.get(), text.data(), text.size()) != 0) CONF_clear_error(ctx.get());
        Findings found(CONF_schema_validate(schema.get(), ctx.get()), CONF_findings_free);
        if (found == nullptr) throw std::bad_alloc();
        return found;
    };
    auto counted = [](const CONF_FINDING *f) {
        return f->severity == CONF_SEVERITY_ERROR || f->kind == CONF_FINDING_UNKNOWN_KEY ||
               f->kind == CONF_FINDING_UNKNOWN_SECTION;
    };
    auto key = [](const CONF_FINDING *f) {
        return std::to_string(f->kind) + '\n' + f->section + '\n' + f->name + '\n' + f->value;
    };
    std::map<std::string, int> old;
    const Findings had = validate(before);
    for (int i = 0; i < CONF_findings_count(had.get()); ++i)
        ++old[key(CONF_findings_get(had.get(), i))];
    const Findings has = validate(after);
    int fresh = 0;
    for (int i = 0; i < CONF_findings_count(has.get()); ++i) {
        const CONF_FINDING *f = CONF_findings_get(has.get(), i);
        if (!counted(f) || old[key(f)]-- > 0) continue;
        ++fresh;
        const std::string where = f->line > 0 ? ":" + std::to_string(f->line) : "";
        std::fprintf(err, "%s%s: %s: %s\n", shown, where.c_str(),
                     o.force || f->severity != CONF_SEVERITY_ERROR ? "warning" : "error",
                     f->message);
    }
    if (fresh == 0 || o.force) return -1;
    std::fprintf(err,
                 "confedit: %s not written: the change makes a new error or unknown key "
                 "(--force writes anyway)\n",
                 shown);
    return kExitNoLoad;
}

// Applies every operation to doc and checks that the result loads (and,
// with --schema, what the schema finds).  Returns -1 when it does, else the
// exit status after the report.
int edit(CONF_DOC *doc, const Options &o, const char *shown, std::FILE *err) {
    const std::string before(o.schema != nullptr ? text_of(doc) : std::string_view());
    for (const Op &op : o.ops) {
        const int rc = apply(doc, op);
        if (rc >= 0) continue;
        if (rc == nivra::conf::kErrUnwritable) {
            report_unwritable(op, err);
            return kExitUsage;
        }
        if (rc == nivra::conf::kErrNoParse) {
            // The document is as it was before this operation: the
            // tolerant load stops at the line that does not parse.
            const int status = check_text(doc, o, shown, false, err);
            if (status >= 0) return status;
            int line = 0;
            const char *text = CONF_doc_last_error(doc, &line);
            std::fprintf(err, "%s: %s\n", place(doc, o, shown, line, line).c_str(), text);
            return kExitNoLoad;
        }
        std::fprintf(err, "confedit: %s\n", CONF_doc_last_error(doc, nullptr));
        return kExitCannotRead;
    }
    if (const int status = check_text(doc, o, shown, true, err); status >= 0) return status;
    return o.schema != nullptr ? check_schema(before, text_of(doc), o, shown, err) : -1;
}

void say(const Options &o, bool changed, std::FILE *err) {
    if (!o.verbose) return;
    const bool writes = !o.diff && !o.dry_run;
    std::fputs(!changed ? "unchanged\n" : writes ? "changed\n" : "would change\n", err);
}

// Whether everything written to out (the text or the diff) got there.
bool flushed(std::FILE *out, std::FILE *err) {
    if (std::fflush(out) == 0 && !std::ferror(out)) return true;
    conf_report::print_system_error(
        err, "<stdout>", conf_report::error_text(nivra::conf::kErrWrite), std::strerror(errno));
    return false;
}

// FILE "-": standard input, edited, to standard output.
int filter(const Options &o, std::FILE *in, std::FILE *out, std::FILE *err) {
    std::string before;
    char buf[65536];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, in)) > 0;) before.append(buf, n);
    if (std::ferror(in)) {
        conf_report::print_system_error(
            err, kStdinName, conf_report::error_text(nivra::conf::kErrRead), std::strerror(errno));
        return kExitCannotRead;
    }
    const Doc doc(CONF_doc_new(), CONF_doc_free);
    if (doc == nullptr || CONF_doc_read_buffer(doc.get(), before.data(), before.size()) != 0)
        return out_of_memory(err);
    if (const int status = edit(doc.get(), o, kStdinName, err); status >= 0) return status;
    const std::string_view after = text_of(doc.get());
    if (o.diff) {
        line_diff::unified(before, after, o.shown.c_str(), o.shown.c_str(), out);
    } else if (!o.dry_run) {
        std::fwrite(after.data(), 1, after.size(), out);
    }
    if (!flushed(out, err)) return kExitCannotRead;
    say(o, after != before, err);
    return 0;
}

// Whether a save's error number is that of a load of the text, which the
// save refuses.
bool is_load_error(int rc) {
    using namespace nivra::conf;
    return rc == kErrSection || rc == kErrBracket || rc == kErrEqual || rc == kErrBrace ||
           rc == kErrNoValue || rc == kErrTooLong;
}

// What confedit adds to the library's text of a failed save: the way out,
// or which part failed.  Null when the system's reason says it all.
const char *advice(int rc, int why) {
    using namespace nivra::conf;
    switch (rc) {
        case kErrProperty:
            return "a new file cannot be given it here; --in-place rewrites the file itself and "
                   "keeps every property";
        case kErrLinks:
            return "replacing it would leave its other names with the old text; --in-place "
                   "writes through every link";
        case kErrLocked: return "another process holds its lock; --wait sets how long to wait";
        case kErrNotRegular:
            return "only a regular file can be edited (a FILE of - reads standard input)";
        case kErrSavedUnsynced:
            return "the new text is in place, but a crash may still bring back the old file";
        case kErrOpen:
            return why == ENOENT ? "a symbolic link to nothing: no file is created through a link"
                                 : nullptr;
        case kErrWrite:
            if (why == EACCES || why == EPERM || why == EROFS)
                return "its directory does not let this user create a file there";
            if (why == EBUSY) return "it is a mount point; --in-place rewrites it where it is";
            return nullptr;
        default: return nullptr;
    }
}

// Whether the system's reason means anything after rc.
bool has_reason(int rc) {
    using namespace nivra::conf;
    return rc != kErrLinks && rc != kErrLocked && rc != kErrNotRegular && rc != kErrChanged;
}

// A failed read or save of FILE: the library's text, the system's reason
// and the advice (or, for a save that found the text not to load, the
// load's report).
int file_failure(const CONF_DOC *doc, int rc, int why, const Options &o, std::FILE *err,
                 bool dangling = false) {
    if (rc == kErrMemory) return out_of_memory(err);
    const std::string text = CONF_doc_last_error(doc, nullptr);
    const char *file = o.shown.c_str();
    if (!is_load_error(rc)) {
        std::fprintf(err, "%s: %s\n", file, text.c_str());
        if (has_reason(rc)) std::fprintf(err, "%s: note: %s\n", file, std::strerror(why));
        const char *more = rc != nivra::conf::kErrOpen || dangling ? advice(rc, why) : nullptr;
        if (more != nullptr) std::fprintf(err, "%s: note: %s\n", file, more);
        return kExitCannotRead;
    }
    // The text passed the check a moment before; say what the save met.
    int line = 0;
    CONF_doc_last_error(doc, &line);
    std::fprintf(err, "%s: %s\n", place(doc, o, o.shown.c_str(), line, line).c_str(), text.c_str());
    return kExitNoLoad;
}

// Whether FILE, which could not be read for want of a file, is one to
// create: nothing at all at its name (not even a dangling link), in a
// directory that exists.  *dangling tells a link to nothing.
bool to_create(const char *path, bool *dangling) {
    struct stat st {};
    *dangling = ::lstat(path, &st) == 0;
    if (*dangling || errno != ENOENT) return false;
    const char *slash = std::strrchr(path, '/');
    const std::string dir = slash == nullptr ? "." : slash == path ? "/" : std::string(path, slash);
    return ::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Reads FILE into doc, or starts it empty when FILE is to be created (*create).
// Returns -1 to go on, else the exit status.
int read_or_create(CONF_DOC *doc, const Options &o, bool *create, std::FILE *err) {
    *create = false;
    const int rc = CONF_doc_read_file(doc, o.file);
    if (rc == 0) return -1;
    const int why = errno;
    bool dangling = false;
    if (rc == nivra::conf::kErrOpen && why == ENOENT && to_create(o.file, &dangling)) {
        *create = true;
        return CONF_doc_read_buffer(doc, "", 0) == 0 ? -1 : out_of_memory(err);
    }
    return file_failure(doc, rc, why, o, err, dangling);
}

// One read-edit-save cycle of FILE.  Returns the exit status, or -1 when
// another writer changed the file before the save.
int cycle(const Options &o, const Hooks *hooks, std::FILE *out, std::FILE *err) {
    const Doc doc(CONF_doc_new(), CONF_doc_free);
    if (doc == nullptr) return out_of_memory(err);
    bool create = false;
    if (const int status = read_or_create(doc.get(), o, &create, err); status >= 0) return status;
    const std::string before(text_of(doc.get()));
    if (const int status = edit(doc.get(), o, o.shown.c_str(), err); status >= 0) return status;
    const std::string_view after = text_of(doc.get());
    if (o.diff) {
        line_diff::unified(before, after, o.shown.c_str(), o.shown.c_str(), out);
        if (!flushed(out, err)) return kExitCannotRead;
    }
    if (o.diff || o.dry_run || (after == before && !create)) {
        say(o, after != before || create, err);
        return 0;
    }
    if (hooks != nullptr && hooks->before_save != nullptr) hooks->before_save(hooks->arg);
    const unsigned flags =
        (o.in_place ? CONF_DOC_IN_PLACE : 0u) | (create ? CONF_DOC_NEW_FILE : 0u);
    const int rc = CONF_doc_save_with(doc.get(), o.file, flags, o.wait_ms);
    const int why = errno;
    if (rc == nivra::conf::kErrChanged) return -1;
    if (rc != 0) return file_failure(doc.get(), rc, why, o, err);
    if (o.verbose) std::fputs(create ? "created\n" : "changed\n", err);
    return 0;
}

int edit_file(const Options &o, const Hooks *hooks, std::FILE *out, std::FILE *err) {
    const char *file = o.shown.c_str();
    for (int i = 0; i < kMaxCycles; ++i) {
        if (const int status = cycle(o, hooks, out, err); status >= 0) return status;
        if (o.verbose) std::fprintf(err, "%s: changed since it was read; reading it again\n", file);
    }
    std::fprintf(err, "%s: %s\n%s: note: another program changed it during each of %d attempts\n",
                 file, conf_report::error_text(nivra::conf::kErrChanged), file, kMaxCycles);
    return kExitCannotRead;
}

}  // namespace

int run(int argc, const char *const *argv, std::FILE *in, std::FILE *out, std::FILE *err,
        const Hooks *hooks) {
    try {
        Options o;
        if (const int status = parse(argc, argv, &o, out, err); status >= 0) return status;
        if (std::strcmp(o.file, "-") == 0) return filter(o, in, out, err);
        return edit_file(o, hooks, out, err);
    } catch (const std::bad_alloc &) {
        return out_of_memory(err);
    }
}

}  // namespace confedit
