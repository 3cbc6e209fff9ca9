// line_diff.h - the differences between two texts as a unified diff, line
// by line, in the form "diff -u" prints and patch reads.
#ifndef NIVRA_TOOL_LINE_DIFF_H
#define NIVRA_TOOL_LINE_DIFF_H

#include <cstddef>
#include <cstdio>
#include <string_view>

namespace line_diff {

// Writes to out "--- old_name" and "+++ new_name", then hunks
// ("@@ -start,count +start,count @@") that turn old_text into new_text
// with as few removed and added lines as possible, each change with up to
// context unchanged lines around it (hunks whose context would touch are
// one).  Writes nothing when the texts are equal.  A line ends at LF (a CR
// before it is part of the line); a last line without one is followed by
// "\ No newline at end of file".  Any bytes may appear, NUL included.
void unified(std::string_view old_text, std::string_view new_text, const char *old_name,
             const char *new_name, std::FILE *out, size_t context = 3);

}  // namespace line_diff

#endif  // NIVRA_TOOL_LINE_DIFF_H
