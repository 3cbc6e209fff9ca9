// conf_expand.h - expansion of values and section names: quotes, escapes
// and variable references.  Internal to the library; not installed.
#ifndef NIVRA_CONF_EXPAND_H
#define NIVRA_CONF_EXPAND_H

#include <cstddef>

#include "conf.h"
#include "conf_buffer.h"

namespace nivra::conf {

// The most bytes that the references of one text may insert.
inline constexpr size_t kMaxExpansion = 65536;

// What an expansion met that a checker may want to point out; none of it
// is an error.
struct ExpandNotes {
    char control_escape = '\0';              // the letter of the first unquoted \r, \n, \b or \t
                                             // glued to the text after it (control_escape_glued)
    bool unclosed_quote = false;             // a quoted stretch ran to the end of the text
    const char *failed_reference = nullptr;  // the '$' of the reference that failed
};

// The output of an expansion: a growable text that is always NUL-terminated
// after an expansion succeeds.  A loader keeps one for all its values, so
// that expanding a value costs no allocation of its own.  Literal text never
// outgrows the room that start() makes (each output byte consumes at least
// one input byte), so only inserted values make it grow, through reserve();
// put and append write into that room unchecked.
class ExpandBuffer {
  public:
    const char *data() const { return bytes_.data(); }
    size_t size() const { return bytes_.size(); }

    // Empties the text and makes room for capacity bytes; false when memory
    // runs out (the buffer is then empty and still usable).
    bool start(size_t capacity) {
        bytes_.clear();
        return bytes_.reserve(capacity);
    }
    void put(char c) { bytes_.put_reserved(c); }
    void append(const char *s, size_t n) { bytes_.append_reserved(s, n); }
    // Makes room for a value of n bytes followed by rest more input bytes
    // and the terminator; false when memory runs out, the text then kept.
    bool reserve(size_t n, size_t rest) { return bytes_.reserve(bytes_.size() + n + rest + 1); }
    void terminate() { bytes_.terminate(); }
    // Hands the heap block over (null when memory runs out for an empty
    // one); the buffer is empty and unallocated after.
    char *release() { return bytes_.release(); }

  private:
    ByteBuffer bytes_;
};

// Expands text (quotes, escapes, variable references resolved through
// CONF_get_string with section as the default section) into out, which it
// empties first.  Returns 1 with the result in out (size() bytes, then a
// NUL), or 0 after recording the error in ctx (-102, -106, -107 or -109),
// out's text then being unspecified.  text is modified during the call and
// restored before it returns.  When notes is not null it receives what the
// expansion met (also on failure, as far as it got).
int expand_into(CONF_CTX *ctx, const char *section, char *text, ExpandBuffer *out,
                ExpandNotes *notes = nullptr);
// The same for a text whose length the caller knows (text[length] is its
// terminating NUL).
int expand_into(CONF_CTX *ctx, const char *section, char *text, size_t length, ExpandBuffer *out,
                ExpandNotes *notes = nullptr);

// expand_into a new string of its own: on success frees *target, stores the
// new string there and returns 1; on failure frees the partial result,
// leaves *target untouched and returns 0, the error recorded as above.
int str_copy(CONF_CTX *ctx, const char *section, char **target, char *text,
             ExpandNotes *notes = nullptr);

}  // namespace nivra::conf

#endif  // NIVRA_CONF_EXPAND_H
