// nodeprint.h - the nodeprint program as functions, so that tests can drive
// the command line, the report and the adapter choice with any record and
// any streams.  main() only wires these to the process.
#ifndef NIVRA_TOOL_NODEPRINT_H
#define NIVRA_TOOL_NODEPRINT_H

#include <cstdint>
#include <cstdio>

#include <nivra/nivra_sysid.h>

namespace nodeprint {

// The trace level that the command line asks for.  Only argv[1] is examined
// as the option: when it begins with "-d", the text after "-d" is read as a
// decimal number ("%d" rules: leading white space, optional sign, digits,
// anything after them ignored); when that yields no number and argc is
// exactly 3, argv[2] is read the same way.  No number at all (no option, a
// lone "-d", a value that is empty, blank or not a number) gives 1.  Numbers
// outside the int range are clamped to it.
int trace_level_from_args(int argc, const char *const *argv);

// Writes the banner: the tool's name and purpose on the first line, then
// "module version: <version>" and an empty line.
void print_banner(std::FILE *out, const char *version);

// Writes the report for a record that the identity call filled, given that
// call's result, reading the adapter choice from in when one is needed.
// Returns the exit status: 1 when sysid_result is non-zero, else 0.
int print_report(int32_t sysid_result, const SYSID_INFO &info, std::FILE *in, std::FILE *out);

// Reads one decimal integer from in as "%d" does: white space (line ends
// included) skipped, an optional sign, then digits; the byte after the digits
// is left unread.  Returns false at end of input or when no digit follows.
// Values outside the int range are clamped to it.
bool read_decimal(std::FILE *in, int *value);

// The whole program: sets g_lc_trace from the command line, prints the banner,
// fills a record with get_sysid and prints the report.  Returns the exit status.
int run(int argc, const char *const *argv, std::FILE *in, std::FILE *out,
        int32_t (*get_sysid)(SYSID_INFO *));

}  // namespace nodeprint

#endif  // NIVRA_TOOL_NODEPRINT_H
