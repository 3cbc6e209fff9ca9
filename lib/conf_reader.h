// conf_reader.h - the loader's source of physical lines, and the look-ahead
// that fetches a big table's chains before the loader needs them.  Internal
// to the library; not installed.
//
// Owns: reading a stream, a file descriptor or bytes in memory; splitting
// what is read into physical lines; marking what each line holds, so that
// the loader can skip the careful scanners for a plain line.  It knows
// nothing of logical lines, sections or entries: the loader joins
// continued lines, cuts comments and stores.  The invariants the reader
// keeps are stated at the top of conf_reader.cc.
#ifndef NIVRA_CONF_READER_H
#define NIVRA_CONF_READER_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iterator>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "conf_buffer.h"
#include "conf_load.h"
#include "conf_syntax.h"
#include "lhash.h"

namespace nivra::conf {

// What the scan for a physical line's LF met on the way: whether the line
// needs the careful scanners (it holds a NUL, a quote, a backslash or a
// '$'), and where its first '#' is (kNoOffset when none).  A line that
// needs no care is one physical line (a continuation needs a backslash), is
// cut at its first '#', and its values are their own expansions: the
// comment scan and the expansion would find nothing else.
struct LineMarks {
    bool careful = false;
    size_t hash = kNoOffset;
};

// The bytes that make a line need care, besides NUL.
inline constexpr char kCarefulBytes[] = "\"'`\\$";
static_assert(stop_set_is(kCarefulBytes, CC_QUOTE, "\\$"));

inline bool is_careful(char c) {
    return c == '\0' || c == '\\' || c == '$' || is_class(c, CC_QUOTE);
}

// scan_line one byte at a time from offset i on.
inline size_t scan_line_tail(const char *p, size_t n, size_t base, size_t i, LineMarks *m) {
    for (; i < n && p[i] != '\n'; ++i) {
        if (is_careful(p[i])) m->careful = true;
        if (p[i] == '#' && m->hash == kNoOffset) m->hash = base + i;
    }
    return i;
}

// Marks what the n bytes at p hold before the first LF, p being offset base
// of the physical line (a '#' is recorded as base plus its offset in p, and
// only when m has none yet); returns that LF's offset in p, or n when there
// is none.  Reads nothing at or past p + n.
//
// Sixteen bytes at a time where SSE2 is there: every byte is compared with
// the LF, the '#' and the careful bytes at once, and the masks of a block
// that holds one of them say where; the last bytes, fewer than sixteen, are
// scanned one by one.  Defined here, beside the reader that calls it for
// every line, so that the compiler sees it writes *m and nothing else (the
// reader's fields then stay in registers across the call).
inline size_t scan_line(const char *p, size_t n, size_t base, LineMarks *m) {
    size_t i = 0;
#if defined(__SSE2__)
    const __m128i careful[] = {_mm_setzero_si128(), _mm_set1_epi8('"'),  _mm_set1_epi8('\''),
                               _mm_set1_epi8('`'),  _mm_set1_epi8('\\'), _mm_set1_epi8('$')};
    static_assert(std::size(careful) == sizeof kCarefulBytes);  // the NUL and the bytes
    const __m128i hash = _mm_set1_epi8('#');
    const __m128i lf = _mm_set1_epi8('\n');
    for (; i + 16 <= n; i += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + i));
        __m128i c = _mm_cmpeq_epi8(v, careful[0]);
        for (size_t k = 1; k < std::size(careful); ++k)
            c = _mm_or_si128(c, _mm_cmpeq_epi8(v, careful[k]));
        const auto cbits = static_cast<unsigned>(_mm_movemask_epi8(c));
        const auto hbits = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, hash)));
        const auto lbits = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, lf)));
        if ((cbits | hbits | lbits) == 0) continue;
        // The bytes before the block's first LF (all of them without one).
        const unsigned before = lbits != 0 ? (lbits & (0u - lbits)) - 1 : 0xFFFFu;
        if ((cbits & before) != 0) m->careful = true;
        if ((hbits & before) != 0 && m->hash == kNoOffset)
            m->hash = base + i + static_cast<size_t>(__builtin_ctz(hbits & before));
        if (lbits != 0) return i + static_cast<size_t>(__builtin_ctz(lbits));
    }
#endif
    return scan_line_tail(p, n, base, i, m);
}

// Reader of physical lines into a growable line buffer, from a stream or a
// file descriptor (through a read buffer of its own) or from bytes in memory
// (read in place: the memory is the one chunk, and is never written).  A
// file named by its path is read through a descriptor: a stdio stream would
// cost a FILE, a buffer of its own and an fstat, which for the small files
// most services load is a tenth of the whole load.
//
// The reader does not own its source: the stream or descriptor stays open,
// the memory must outlive the reader.  It holds its buffers inline until a
// line or the file outgrows them, so it is neither copied nor moved (it
// points into itself), and init() must be called, once it is in place,
// before the first read_line.
class LineReader {
  public:
    explicit LineReader(std::FILE *in) : in_(in) {}
    explicit LineReader(int fd) : fd_(fd) {}
    LineReader(const char *data, size_t length)
        : chunk_(const_cast<char *>(data)), mem_len_(length), owns_chunk_(false) {}
    ~LineReader();
    LineReader(const LineReader &) = delete;
    LineReader &operator=(const LineReader &) = delete;

    void init() {
        if (owns_chunk_) chunk_ = small_chunk_;
    }

    enum class Result { kLine, kEnd, kReadError, kNoMemory };

    // Appends the next physical line, without its LF, at offset at of the
    // line buffer (at most the bytes already assembled there); *length
    // receives its byte count, *begin its input offset, *marks what it
    // holds and *text where its bytes are, followed by one byte that is free
    // for a terminator.  That is the line buffer at at, except for a line
    // that starts a logical one (at 0) and lies whole in a read buffer of
    // the reader's own: it is handed out in place, its LF to be overwritten
    // (a copy would cost more than anything done with most lines).  kEnd
    // when the file has no more bytes; kReadError when the source failed,
    // kNoMemory when a buffer could not grow (the line buffer's first at
    // bytes are kept then).  A line handed out stays valid until the next
    // call.
    Result read_line(size_t at, size_t *length, size_t *begin, LineMarks *marks, char **text) {
        *marks = LineMarks{};
        if (at == 0 && owns_chunk_ && pos_ < len_) {
            char *start = chunk_ + pos_;
            const size_t avail = len_ - pos_;
            const size_t take = scan_line(start, avail, 0, marks);
            if (take < avail) {
                *begin = offset();
                pos_ += take + 1;
                *length = take;
                *text = start;
                return Result::kLine;
            }
            *marks = LineMarks{};  // the line goes on past the buffer: copied below
        }
        return assemble_line(at, length, begin, marks, text);
    }

    char *line() { return line_.bytes(); }

    // Makes the n bytes at text, a line handed out in place, the start of
    // the line buffer (a continued line is joined there).  False when
    // memory runs out, the line buffer then unchanged.
    bool adopt(const char *text, size_t n);

    // The input offset of the next byte to be handed out (a byte-order mark
    // counts as read).
    size_t offset() const { return base_ + pos_; }

    // The bytes read but not yet handed out as lines, and a number that
    // changes whenever the read buffer is refilled.
    unsigned window(const char **begin, const char **end) const {
        *begin = chunk_ + pos_;
        *end = chunk_ + len_;
        return refills_;
    }

    // Ends the line buffer after its first at bytes (at most the bytes
    // assembled in it) with a terminator.
    void terminate(size_t at) { line_.truncate(at); }

  private:
    // A stream is read first into a small buffer inside the reader, then,
    // when the file goes on past it, in chunks of kReadChunk: a small file
    // (what most services load) costs no allocation for its bytes.  Lines
    // are assembled in a small inline buffer too until one outgrows it.
    static constexpr size_t kSmallChunk = 4096;
    static constexpr size_t kReadChunk = size_t{64} * 1024;
    static constexpr size_t kSmallLine = 256;

    // read_line for a line that is copied into the line buffer.
    Result assemble_line(size_t at, size_t *length, size_t *begin, LineMarks *marks, char **text);
    bool refill();
    size_t read_some(char *buf, size_t n);
    bool read_failed() const;
    bool refill_from_memory();
    bool refill_from_stream();

    std::FILE *in_ = nullptr;  // null when reading a descriptor or memory
    int fd_ = -1;              // -1 when reading a stream or memory
    bool fd_done_ = false;     // the descriptor met its end or an error
    bool fd_error_ = false;
    char *chunk_ = nullptr;
    size_t mem_len_ = 0;
    bool owns_chunk_ = true;
    size_t pos_ = 0;
    size_t len_ = 0;
    size_t base_ = 0;  // input bytes before the chunk
    bool first_ = true;
    unsigned refills_ = 0;
    bool no_memory_ = false;  // a refill could not have its chunk
    char small_chunk_[kSmallChunk];
    char small_line_[kSmallLine];
    ByteBuffer line_{small_line_, kSmallLine};
};

// Runs ahead of the loader in the bytes the reader already holds, guesses
// the key of each coming entry line (plain headers and names only: no
// escapes, quotes or references), and steps its hash through lh_prefetch,
// so that the cache misses of a big table's chain walks overlap the parsing
// of the lines in between instead of stalling each insertion in turn.  A
// wrong guess costs one useless fetch and nothing else.
//
// The hash of each guessed name is kept with the name's place in the read
// buffer, and the loader may take it instead of hashing the name again:
// name_hash hands it out only when the loader's name has the same bytes as
// the guessed one and the buffer has not been refilled since the guess (so
// those bytes are still the ones that were hashed).  A hash is a function
// of the bytes alone, so a name the guess got wrong can never get one.
class Prefetcher {
  public:
    // Called once per entry that the loader is about to store, with the
    // section of the current header (the section of the lines to come).
    void step(const LH_TABLE *t, const LineReader &reader, const char *section) {
        if (t->bucket_count < kFromBuckets) return;
        fetch_ahead(t, reader, section);
    }

    // The lh_strhash of the len bytes at name, when a guess since the last
    // step's refill check named the same bytes; false otherwise.
    bool name_hash(const char *name, size_t len, uint32_t *out) {
        const unsigned oldest = pushed_ > kRing ? pushed_ - kRing : 0;
        if (taken_ < oldest) taken_ = oldest;
        for (unsigned i = taken_; i < pushed_ && i < taken_ + kSearch; ++i) {
            const Guess &g = at(i);
            if (g.name_len == len && std::memcmp(g.name, name, len) == 0) {
                *out = g.name_hash;
                taken_ = i + 1;
                return true;
            }
        }
        return false;
    }

  private:
    struct Guess {
        const char *name;  // in the read buffer
        size_t name_len;
        uint32_t name_hash;
        uint32_t hash;  // of the whole key
    };

    // A table smaller than this (about 16 thousand records, 400 KB with
    // their nodes and bucket slots) stays in cache: fetching ahead would
    // only cost time.
    static constexpr uint32_t kFromBuckets = 8192;
    // Lines between two fetches of one hash; the lead is three strides.
    static constexpr unsigned kStride = 8;
    static constexpr unsigned kRing = 4 * kStride;
    // How many guesses past the last one taken name_hash looks at: a line
    // the guesser skipped or misread must not stop the sharing for good.
    static constexpr unsigned kSearch = 3;

    Guess &at(unsigned i) { return ring_[i % kRing]; }

    void fetch_ahead(const LH_TABLE *t, const LineReader &reader, const char *section);
    void restart(const LH_TABLE *t, const char *begin, const char *end, const char *section);
    void push(const LH_TABLE *t, const Guess &g);
    bool next_guess(Guess *g);

    Guess ring_[kRing] = {};
    unsigned pushed_ = 0;  // guesses made since the last restart
    unsigned taken_ = 0;   // guesses before this one are not offered again
    const char *cursor_ = nullptr;
    const char *end_ = nullptr;
    unsigned refills_ = ~0u;
    uint32_t section_hash_ = 0;
    bool section_known_ = false;
};

}  // namespace nivra::conf

#endif  // NIVRA_CONF_READER_H
