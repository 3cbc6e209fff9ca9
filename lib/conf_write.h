// conf_write.h - writing names and values as lines of the configuration
// format, so that a load gives back exactly the bytes written.  Internal to
// the library; not installed.
//
// Owns: the literal forms of values and section names, and the test of
// whether an entry name can be written at all.
#ifndef NIVRA_CONF_WRITE_H
#define NIVRA_CONF_WRITE_H

#include <cstddef>

#include "conf_buffer.h"

namespace nivra::conf {

// The output text of the writers: a byte buffer, NUL-terminated once
// anything was added.  Appends return false when memory runs out and leave
// the text as it was; release() hands the bytes over as a C string.
using Text = ByteBuffer;

// Whether name can stand as an entry's name in a line: a name run of name
// characters and backslash pairs (a backslash and any byte but LF: a CR
// inside a line stays, only those at its end go)
// that reads back as exactly these bytes.
bool name_writable(const char *name);

// Appends value written so that it loads as exactly these bytes and draws
// none of the loader's warnings about values (those of confcheck --lint):
// "$", quotes, "#" and backslashes escaped, TAB, CR, LF and backspace as
// \t \r \n \b, leading blanks, a trailing blank and a ';' after a blank
// escaped; every other byte as it is.  A value whose escapes would read as
// a path's separators turned into control bytes (C:\new) is written
// instead as double-quoted runs with the control escapes between them
// ("C:"\n"ew").  On failure (memory) out is as it was.
bool append_literal(Text *out, const char *value);

// Whether text begins with the UTF-8 byte-order mark, which a load skips at
// the start of a file: a first line that begins with those bytes (a name
// of the "default" section) needs a line before it.
bool starts_with_mark(const char *text, size_t length);

// Appends "[name]" for a header that names the section name once its
// escapes are translated; false when memory runs out.  Every section name
// has such a header.
bool append_header(Text *out, const char *section);

}  // namespace nivra::conf

#endif  // NIVRA_CONF_WRITE_H
