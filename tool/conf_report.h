// conf_report.h - how the configuration tools report a text that does not
// load: FILE:LINE: TEXT, the line as read and, where the library's text may
// mislead, a note that says what went wrong in the reader's terms.
// confcheck and confedit print the same report, so both take it from here.
#ifndef NIVRA_TOOL_CONF_REPORT_H
#define NIVRA_TOOL_CONF_REPORT_H

#include <cstddef>
#include <cstdio>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "conf_load.h"

namespace conf_report {

// The exit status of both programs for a command line they cannot follow,
// and for a file that cannot be read (opened, read, locked or, for
// confedit, written) or loaded, or when memory runs out.
inline constexpr int kExitUsage = 2;
inline constexpr int kExitCannotRead = 3;

// The library's text for an error number, "" for one it does not know.
const char *error_text(int number);

// text with bytes outside printable ASCII, and the backslash, as \xHH, so
// that it shows as one line whatever it holds.
std::string escaped(std::string_view text);

// A file's name as messages print it: control characters and the backslash
// escaped as C writes them (\n, \t, \\, \xHH), so that a name cannot
// split a message or move the terminal's cursor; other bytes as they are.
std::string shown_name(std::string_view name);

// A failure the system explains: "FILE: TEXT" then "FILE: note: REASON".
void print_system_error(std::FILE *err, const char *file, const char *text, const char *reason);

// An error a load met: its number, the first and last physical lines of
// its logical line, that line as read and where the scan stopped (kNoOffset
// when it is not known).
struct Problem {
    int error = 0;
    long first_line = 0;
    long line = 0;
    std::string text;
    size_t at = nivra::conf::kNoOffset;
};

// Prints a problem: "WHERE: KIND TEXT", the line indented (cut after 160
// bytes; bytes outside printable ASCII, and the backslash, as \xHH) and,
// where it helps, "WHERE: note: TEXT".  where is the place as the reader
// should see it ("FILE:LINE", or what the caller names it); kind is "" for
// an error, "warning: " for one the caller lets pass.
void print_problem(const Problem &p, const std::string &where, const char *kind, std::FILE *err);

// Observes one load (pass observer() to load_observed or scan_buffer; a
// checker with an observer of its own forwards every note to on()) and,
// when it fails, prints its report.  The values a tolerant scan could not
// expand are kept too, in file order (unresolved()).
class LoadReport {
  public:
    // file is the name the report shows; it must outlive the report.
    explicit LoadReport(const char *file) : file_(file) {}

    nivra::conf::LoadObserver observer() { return {notify, this}; }
    void on(const nivra::conf::LoadNote &note);

    // Prints the error recorded in ctx as "FILE:LINE: TEXT" (without the
    // line where the error has none, as for a file that cannot be opened),
    // then, when the load told the error's line, that line indented (cut
    // after 160 bytes; bytes outside printable ASCII, and the backslash, as
    // \xHH) and, where it helps, "FILE:LINE: note: TEXT".
    void print(const CONF_CTX *ctx, std::FILE *err) const;
    // The same with the error's place shown as where instead of FILE:LINE.
    void print_at(const CONF_CTX *ctx, const std::string &where, std::FILE *err) const;

    const std::vector<Problem> &unresolved() const { return unresolved_; }
    // The error that ended the load, when the observer was told of it.
    const Problem *error() const { return have_error_ ? &error_ : nullptr; }

  private:
    // No exception may cross the loader, which is built without them: one
    // thrown here is remembered, and rethrow() throws it again.
    static void notify(void *self, const nivra::conf::LoadNote *note) noexcept {
        auto *report = static_cast<LoadReport *>(self);
        try {
            report->on(*note);
        } catch (...) {
            report->out_of_memory_ = true;
        }
    }
    bool out_of_memory_ = false;

  public:
    // Throws std::bad_alloc when the observer ran out of memory.
    void rethrow() const {
        if (out_of_memory_) throw std::bad_alloc();
    }

  private:
    const char *file_;
    bool have_error_ = false;
    Problem error_;
    std::vector<Problem> unresolved_;
};

}  // namespace conf_report

#endif  // NIVRA_TOOL_CONF_REPORT_H
