// conf_load.cc - reading configuration files into a context.
//
// Owns: the line reader and the loader's steps (header, entry, store).  The
// records themselves are made and stored through conf_store.h, values are
// expanded by conf_expand.h, lines are scanned by conf_syntax.h.
//
// The file is read once, through one read buffer.  A line that lies whole in
// that buffer is parsed where it lies; one that crosses a refill, a
// continued line, and every line of memory the loader may not write, are
// assembled in one line buffer that is reused for every logical line.
// Physical lines are taken whole, with their true length, so no line is
// limited, cut or joined by accident:
//   - a physical line ends at LF; its trailing CR and LF bytes are removed;
//   - a NUL byte ends its physical line's text (the rest of that line is
//     ignored, and the line is not continued);
//   - a line whose text ends in a backslash continues on the next physical
//     line (the backslash is removed), unless the byte before that backslash
//     is a backslash too: the test looks one byte back only, so a line ending
//     in two or in three backslashes stands alone;
//   - a logical line still open at end of file is processed as it stands;
//   - a UTF-8 byte-order mark at the very start of the file is skipped.
//
// Error protocol: every step returns 0 or the error number; run() passes the
// first non-zero number up, and fail() is the one place that records it and
// appends the line.  Expansion records its own errors, and the step hands on
// the number it recorded (recording it again gives the same text).
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "conf_expand.h"
#include "conf_load.h"
#include "conf_store.h"
#include "conf_syntax.h"
#include "lhash_internal.h"

namespace nivra::conf {
namespace {

// A stream is read first into a small buffer inside the reader, then, when
// the file goes on past it, in chunks of kReadChunk: a small file (what most
// services load) costs no allocation for its bytes.  Lines are assembled in
// a small inline buffer too until one outgrows it.
constexpr size_t kSmallChunk = 4096;
constexpr size_t kReadChunk = size_t{64} * 1024;
constexpr size_t kSmallLine = 256;
// Largest line buffer that can still double without overflowing size_t.
constexpr size_t kMaxDoublableLine = SIZE_MAX / 2;
constexpr unsigned char kBom[3] = {0xEF, 0xBB, 0xBF};

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
constexpr char kCarefulBytes[] = "\"'`\\$";
static_assert(stop_set_is(kCarefulBytes, CC_QUOTE, "\\$"));

bool is_careful(char c) { return c == '\0' || c == '\\' || c == '$' || is_class(c, CC_QUOTE); }

// Marks what the n bytes at p hold before the first LF, from offset i on,
// p being offset base of the physical line; returns that LF's offset in p,
// or n when there is none.
size_t scan_line_tail(const char *p, size_t n, size_t base, size_t i, LineMarks *m) {
    for (; i < n && p[i] != '\n'; ++i) {
        if (is_careful(p[i])) m->careful = true;
        if (p[i] == '#' && m->hash == kNoOffset) m->hash = base + i;
    }
    return i;
}

// scan_line_tail from the start, sixteen bytes at a time where SSE2 is
// there: every byte is compared with the LF, the '#' and the careful bytes
// at once, and the masks of a block that holds one of them say where.
// Reads nothing past p + n (the last bytes, fewer than sixteen, are scanned
// one by one).
size_t scan_line(const char *p, size_t n, size_t base, LineMarks *m) {
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
class LineReader {
  public:
    explicit LineReader(std::FILE *in) : in_(in) {}
    explicit LineReader(int fd) : fd_(fd) {}
    LineReader(const char *data, size_t length)
        : chunk_(const_cast<char *>(data)), mem_len_(length), owns_chunk_(false) {}
    ~LineReader() {
        if (owns_chunk_ && chunk_ != small_chunk_) std::free(chunk_);
        if (line_ != small_line_) std::free(line_);
    }
    LineReader(const LineReader &) = delete;
    LineReader &operator=(const LineReader &) = delete;

    void init() {
        if (owns_chunk_) chunk_ = small_chunk_;
        line_ = small_line_;
        line_cap_ = kSmallLine;
    }

    enum class Result { kLine, kEnd, kReadError, kNoMemory };

    // Appends the next physical line, without its LF, at offset at of the
    // line buffer; *length receives its byte count, *begin its input offset,
    // *marks what it holds and *text where its bytes are, followed by one
    // byte that is free for a terminator.  That is the line buffer at at,
    // except for a line that starts a logical one (at 0) and lies whole in
    // a read buffer of the reader's own: it is handed out in place, its LF
    // to be overwritten (a copy would cost more than anything done with
    // most lines).  kEnd when the file has no more bytes.
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
        size_t n = 0;
        bool any = false;
        for (;;) {
            if (pos_ == len_) {
                if (!refill()) {
                    if (no_memory_) return Result::kNoMemory;
                    if (read_failed()) return Result::kReadError;
                    if (!any) return Result::kEnd;
                    break;
                }
            }
            // The line starts where its first byte is, past a byte-order
            // mark that the first refill skipped.
            if (!any) *begin = offset();
            any = true;
            const char *start = chunk_ + pos_;
            const size_t avail = len_ - pos_;
            const size_t take = scan_line(start, avail, n, marks);
            if (!append(at + n, start, take)) return Result::kNoMemory;
            n += take;
            pos_ += take;
            if (take < avail) {
                ++pos_;  // the LF itself
                break;
            }
        }
        *length = n;
        *text = line_ + at;
        return Result::kLine;
    }

    char *line() { return line_; }

    // Makes the n bytes at text, a line handed out in place, the start of
    // the line buffer (a continued line is joined there).
    bool adopt(const char *text, size_t n) {
        if (!ensure(n + 1)) return false;
        std::memcpy(line_, text, n);
        return true;
    }

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

    // Room for one terminator after at bytes.
    bool terminate(size_t at) {
        if (!ensure(at + 1)) return false;
        line_[at] = '\0';
        return true;
    }

  private:
    bool refill() {
        ++refills_;
        return in_ != nullptr || fd_ >= 0 ? refill_from_stream() : refill_from_memory();
    }

    // Reads up to n bytes into buf, fewer only at the end of the input or
    // after a read error (as fread does).
    size_t read_some(char *buf, size_t n) {
        if (in_ != nullptr) return std::fread(buf, 1, n, in_);
        size_t got = 0;
        while (got < n && !fd_done_) {
            const ssize_t r = ::read(fd_, buf + got, n - got);
            if (r > 0) {
                got += static_cast<size_t>(r);
            } else if (r == 0 || errno != EINTR) {
                fd_done_ = true;
                fd_error_ = r < 0;
            }
        }
        return got;
    }

    bool read_failed() const {
        if (in_ != nullptr) return std::ferror(in_) != 0;
        return fd_error_;
    }

    // The memory is one chunk, handed out once.
    bool refill_from_memory() {
        if (!first_) return false;
        first_ = false;
        pos_ = 0;
        len_ = mem_len_;
        if (len_ >= sizeof kBom && std::memcmp(chunk_, kBom, sizeof kBom) == 0) pos_ = sizeof kBom;
        return pos_ < len_;
    }

    bool refill_from_stream() {
        if (chunk_ == small_chunk_ && len_ == kSmallChunk) {
            // The file filled the small buffer and may go on: read on in big
            // chunks.  (A shorter read met the end of the file.)
            auto *big = static_cast<char *>(std::malloc(kReadChunk));
            if (big == nullptr) {
                no_memory_ = true;
                return false;
            }
            chunk_ = big;
        }
        base_ += len_;
        pos_ = 0;
        len_ = read_some(chunk_, chunk_ == small_chunk_ ? kSmallChunk : kReadChunk);
        if (first_ && len_ > 0) {
            first_ = false;
            // A short first read could split the mark; read on until three
            // bytes are here or the file ends.
            while (len_ < sizeof kBom) {
                const size_t more = read_some(chunk_ + len_, sizeof kBom - len_);
                if (more == 0) break;
                len_ += more;
            }
            if (len_ >= sizeof kBom && std::memcmp(chunk_, kBom, sizeof kBom) == 0) {
                pos_ = sizeof kBom;
                if (pos_ == len_) return refill_from_stream();
            }
        }
        return len_ > 0;
    }

    bool ensure(size_t need) {
        if (need <= line_cap_) return true;
        size_t cap = line_cap_;
        while (cap < need) {
            if (cap > kMaxDoublableLine) return false;
            cap *= 2;
        }
        const bool small = line_ == small_line_;
        void *p = small ? std::malloc(cap) : std::realloc(line_, cap);
        if (p == nullptr) return false;
        if (small) std::memcpy(p, small_line_, line_cap_);
        line_ = static_cast<char *>(p);
        line_cap_ = cap;
        return true;
    }

    bool append(size_t at, const char *src, size_t n) {
        if (!ensure(at + n + 1)) return false;
        std::memcpy(line_ + at, src, n);
        return true;
    }

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
    char *line_ = nullptr;
    size_t line_cap_ = 0;
    char small_chunk_[kSmallChunk];
    char small_line_[kSmallLine];
};

bool is_blank(char c) { return is_class(c, CC_SPACE); }

// The end of a value that starts at start and whose line ends at end:
// trailing blanks are dropped, except one escaped by an odd run of
// backslashes, which belongs to the value.
char *trim_value_end(const char *start, char *end) {
    while (end > start && is_blank(end[-1])) {
        size_t slashes = 0;
        for (const char *q = end - 1; q > start && q[-1] == '\\'; --q) ++slashes;
        if (slashes % 2 == 1) break;
        --end;
    }
    return end;
}

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
        const char *begin = nullptr;
        const char *end = nullptr;
        const unsigned refills = reader.window(&begin, &end);
        if (refills != refills_ || cursor_ < begin || cursor_ > end) {
            refills_ = refills;
            restart(t, begin, end, section);
        }
        if (Guess g{}; next_guess(&g)) push(t, g);
        if (pushed_ > kStride) lh_prefetch(t, at(pushed_ - 1 - kStride).hash, 1);
        if (pushed_ > 2 * kStride) lh_prefetch(t, at(pushed_ - 1 - 2 * kStride).hash, 2);
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

    void restart(const LH_TABLE *t, const char *begin, const char *end, const char *section) {
        cursor_ = begin;
        end_ = end;
        section_hash_ = lh_strhash(section);
        section_known_ = true;
        pushed_ = 0;
        taken_ = 0;
        Guess g{};
        for (unsigned i = 0; i < 3 * kStride && next_guess(&g); ++i) push(t, g);
    }

    void push(const LH_TABLE *t, const Guess &g) {
        at(pushed_++) = g;
        lh_prefetch(t, g.hash, 0);
    }

    static const char *skip_blanks(const char *p, const char *end) {
        while (p < end && (*p == ' ' || *p == '\t')) ++p;
        return p;
    }
    // A name that expands to itself: name and punctuation bytes only.
    static const char *skip_plain_name(const char *p, const char *end) {
        while (p < end && is_class(*p, CC_NAME_PUNCT)) ++p;
        return p;
    }
    static uint32_t hash_of(const char *begin, const char *end) {
        return lh_strhash_n(begin, static_cast<size_t>(end - begin));
    }

    // The next entry line whose key it can tell; false at the end of the
    // complete lines held.
    bool next_guess(Guess *g) {
        while (cursor_ < end_) {
            const char *line = cursor_;
            const auto *lf = static_cast<const char *>(
                std::memchr(line, '\n', static_cast<size_t>(end_ - line)));
            if (lf == nullptr) {
                cursor_ = end_;
                return false;
            }
            cursor_ = lf + 1;
            const char *p = skip_blanks(line, lf);
            if (p < lf && *p == '[') {
                const char *name = skip_blanks(p + 1, lf);
                const char *name_end = skip_plain_name(name, lf);
                const char *close = skip_blanks(name_end, lf);
                section_known_ = close < lf && *close == ']';
                if (section_known_) section_hash_ = hash_of(name, name_end);
                continue;
            }
            const char *name = p;
            const char *name_end = skip_plain_name(p, lf);
            if (name_end == name) continue;
            uint32_t section_hash = section_hash_;
            bool known = section_known_;
            if (lf - name_end > 2 && name_end[0] == ':' && name_end[1] == ':') {
                section_hash = hash_of(name, name_end);
                known = true;
                name = name_end + 2;
                name_end = skip_plain_name(name, lf);
            }
            const char *eq = skip_blanks(name_end, lf);
            if (!known || name_end == name || eq == lf || *eq != '=') continue;
            g->name = name;
            g->name_len = static_cast<size_t>(name_end - name);
            g->name_hash = hash_of(name, name_end);
            g->hash = key_hash(section_hash, g->name_hash);
            return true;
        }
        return false;
    }

    Guess ring_[kRing] = {};
    unsigned pushed_ = 0;  // guesses made since the last restart
    unsigned taken_ = 0;   // guesses before this one are not offered again
    const char *cursor_ = nullptr;
    const char *end_ = nullptr;
    unsigned refills_ = ~0u;
    uint32_t section_hash_ = 0;
    bool section_known_ = false;
};

// An entry line as scanned, before its value is expanded.
struct EntryLine {
    char *qualifier = nullptr;  // NUL-terminated, or null
    char *name = nullptr;       // NUL-terminated
    size_t name_len = 0;
    char *value = nullptr;  // NUL-terminated, trimmed
    char *value_end = nullptr;
};

// One load's working state and the steps of processing a logical line.
// Every step returns 0 or the error number that ends the load.
class Loader {
  public:
    Loader(CONF_CTX *ctx, std::FILE *in, const LoadObserver *observer = nullptr)
        : ctx_(ctx), reader_(in), observer_(observer) {}
    Loader(CONF_CTX *ctx, int fd) : ctx_(ctx), reader_(fd) {}
    Loader(CONF_CTX *ctx, const char *data, size_t length, const LoadObserver *observer = nullptr,
           bool tolerant = false)
        : ctx_(ctx), reader_(data, length), observer_(observer), tolerant_(tolerant) {}
    ~Loader() {
        std::free(raw_);
        std::free(pieces_);
    }
    Loader(const Loader &) = delete;
    Loader &operator=(const Loader &) = delete;

    // The table on success; null after recording the error with its line.
    LH_TABLE *load();
    // The file (interned in the context) that entries record as their origin.
    void set_file(const char *file) { file_ = file; }

  private:
    int setup();
    int read_all();
    // Processes the logical line of length bytes (NUL-terminated).
    int process(char *line, size_t length);
    int header(char *p);
    // Makes section_name_ the current section (its record and hash).
    int enter_section();
    int entry(char *p);
    int scan_entry(char *p, EntryLine *e);
    // Expands e's value into value_; a tolerant scan takes the text as
    // written where a reference has no value.
    int expand_value(const char *section, const EntryLine &e);
    int store(const EntryLine &e, const char *section, const char *value, size_t value_len);
    int expansion_error() const { return ctx_->last_errnum; }
    LH_TABLE *fail(int number);

    // With an observer only: where each logical line came from, the line
    // as read (kept before processing writes into it), and what was met.
    int add_piece(size_t logical, size_t source, size_t length);
    int keep_raw(const char *line, size_t n);
    size_t offset(const char *p) const { return static_cast<size_t>(p - line_); }
    void notify(LoadEvent event, size_t at, const CONF_VALUE *entry = nullptr,
                const CONF_VALUE *replaced = nullptr, int error = 0, char escape = '\0') const;
    void check_value(const char *value, const char *value_end, const ExpandNotes &notes) const;
    void check_comment();

    CONF_CTX *ctx_;
    LineReader reader_;
    long line_no_ = 0;
    // The current section's name: the default one, or the last header's,
    // expanded into header_ (one buffer for every header of the file).
    const char *section_name_ = kDefaultSection;
    ExpandBuffer header_;
    uint32_t section_hash_ = 0;  // lh_strhash(section_name_)
    CONF_VALUE *section_ = nullptr;
    ExpandBuffer value_;  // every value is expanded here, then copied

    Prefetcher prefetcher_;
    const LoadObserver *observer_ = nullptr;
    bool tolerant_ = false;
    const char *file_ = nullptr;
    const char *line_ = nullptr;  // the logical line being processed
    char *line_end_ = nullptr;    // its terminator, once comments are cut
    bool plain_line_ = false;     // what is left holds no quote, backslash or '$'
    bool careful_ = false;        // the logical line needs the careful scanners
    size_t hash_at_ = kNoOffset;  // its first '#', when it needs no care
    char *raw_ = nullptr;         // the same line as read (observer only)
    size_t raw_len_ = 0;
    size_t raw_cap_ = 0;
    size_t comment_at_ = kNoOffset;  // where the comment cut the current line
    size_t error_at_ = kNoOffset;    // where the scan that failed stopped
    long first_line_ = 0;            // of the logical line being assembled
    SourcePiece *pieces_ = nullptr;  // its physical lines (observer only)
    size_t piece_count_ = 0;
    size_t piece_cap_ = 0;
    LineSource source_{};
    LineParts parts_{};
    long related_line_ = 0;  // for the note being told
};

int Loader::add_piece(size_t logical, size_t source, size_t length) {
    if (piece_count_ == piece_cap_) {
        const size_t cap = piece_cap_ == 0 ? 4 : 2 * piece_cap_;
        void *p = std::realloc(pieces_, cap * sizeof *pieces_);
        if (p == nullptr) return kErrMemory;
        pieces_ = static_cast<SourcePiece *>(p);
        piece_cap_ = cap;
    }
    pieces_[piece_count_++] = SourcePiece{logical, source, length};
    return 0;
}

int Loader::keep_raw(const char *line, size_t n) {
    if (n + 1 > raw_cap_) {
        void *p = std::realloc(raw_, n + 1);
        if (p == nullptr) return kErrMemory;
        raw_ = static_cast<char *>(p);
        raw_cap_ = n + 1;
    }
    std::memcpy(raw_, line, n + 1);
    raw_len_ = n;
    return 0;
}

void Loader::notify(LoadEvent event, size_t at, const CONF_VALUE *entry, const CONF_VALUE *replaced,
                    int error, char escape) const {
    if (observer_ == nullptr) return;
    const bool has_parts = event == LoadEvent::kStored || event == LoadEvent::kReplacing ||
                           event == LoadEvent::kUnresolved || event == LoadEvent::kHeader;
    const LoadNote note{event,
                        line_no_,
                        raw_ != nullptr ? raw_ : "",
                        raw_len_,
                        at,
                        entry,
                        replaced,
                        error,
                        escape,
                        first_line_,
                        related_line_,
                        event == LoadEvent::kHeader ? section_name_ : nullptr,
                        source_.count > 0 ? &source_ : nullptr,
                        has_parts ? &parts_ : nullptr};
    observer_->notify(observer_->arg, &note);
}

// Whether an unquoted ';' follows a blank in the value: a comment in other
// formats, part of the value here.
size_t semicolon_after_blank(const char *value, const char *value_end) {
    char quote = '\0';
    for (const char *p = value; p < value_end; ++p) {
        if (*p == '\\' && p + 1 < value_end) {
            ++p;
        } else if (quote != '\0') {
            quote = *p == quote ? '\0' : quote;
        } else if (is_class(*p, CC_QUOTE)) {
            quote = *p;
        } else if (*p == ';' && p > value && is_class(p[-1], CC_SPACE)) {
            return static_cast<size_t>(p - value);
        }
    }
    return kNoOffset;
}

// What a value that loads may not mean what it says.
void Loader::check_value(const char *value, const char *value_end, const ExpandNotes &notes) const {
    if (observer_ == nullptr) return;
    // A '#' glued to the value ("http://host/#part") cut it short.
    if (comment_at_ != kNoOffset && comment_at_ > offset(value) &&
        !is_class(raw_[comment_at_ - 1], CC_SPACE)) {
        notify(LoadEvent::kCommentInValue, comment_at_);
    }
    if (notes.unclosed_quote) notify(LoadEvent::kUnclosedQuote, offset(value));
    if (const size_t semi = semicolon_after_blank(value, value_end); semi != kNoOffset)
        notify(LoadEvent::kSemicolonInValue, offset(value) + semi);
    if (notes.control_escape != '\0') {
        // Path-like: a drive or scheme colon, or backslashes as separators.
        size_t backslashes = 0;
        bool colon = false;
        for (const char *p = value; p < value_end; ++p) {
            backslashes += *p == '\\' ? 1 : 0;
            colon = colon || *p == ':';
        }
        if (colon || backslashes >= 2) {
            notify(LoadEvent::kControlEscape, offset(value), nullptr, nullptr, 0,
                   notes.control_escape);
        }
    }
}

// A comment whose physical line ended in one backslash took the following
// physical lines into itself: they are never read.  Told once, when one of
// them holds more than blanks.
void Loader::check_comment() {
    if (observer_ == nullptr || comment_at_ == kNoOffset) return;
    size_t i = 0;
    while (i + 1 < piece_count_ && pieces_[i + 1].logical <= comment_at_) ++i;
    for (size_t j = i + 1; j < piece_count_; ++j) {
        const SourcePiece &piece = pieces_[j];
        for (size_t k = piece.logical; k < piece.logical + piece.length; ++k) {
            if (!is_class(raw_[k], CC_SPACE)) {
                related_line_ = first_line_ + static_cast<long>(i) + 1;
                notify(LoadEvent::kCommentContinued, comment_at_);
                related_line_ = 0;
                return;
            }
        }
    }
}

int Loader::setup() {
    reader_.init();
    // Stored in the context at once, so that expansion sees entries as they
    // are stored.
    if (table_for(ctx_) == nullptr) return kErrMemory;
    return enter_section();
}

int Loader::enter_section() {
    section_hash_ = lh_strhash(section_name_);
    section_ = find_or_add_section(ctx_, section_name_, section_hash_);
    return section_ != nullptr ? 0 : kErrSection;
}

LH_TABLE *Loader::load() {
    int err = setup();
    if (err == 0) err = read_all();
    return err == 0 ? ctx_->table : fail(err);
}

int Loader::read_all() {
    size_t n = 0;       // logical line assembled so far
    bool open = false;  // a continuation is waiting for its next line
    for (;;) {
        if (!open) {
            first_line_ = line_no_ + 1;
            piece_count_ = 0;
            careful_ = false;
            hash_at_ = kNoOffset;
        }
        size_t got = 0;
        size_t source = reader_.offset();
        LineMarks marks;
        char *text = nullptr;
        const auto r = reader_.read_line(n, &got, &source, &marks, &text);
        if (!open) source_.begin = source;
        if (r == LineReader::Result::kReadError) return kErrRead;
        if (r == LineReader::Result::kNoMemory) return kErrMemory;
        if (r == LineReader::Result::kEnd) {
            if (!open) return 0;
            if (!reader_.terminate(n)) return kErrMemory;
            return process(reader_.line(), n);
        }
        ++line_no_;
        char *const line = text - n;  // the logical line: its first piece is at n == 0
        // Only a line that needs care can hold a NUL.
        const void *nul = marks.careful ? std::memchr(text, '\0', got) : nullptr;
        if (nul != nullptr) got = static_cast<size_t>(static_cast<const char *>(nul) - text);
        careful_ = careful_ || marks.careful;
        if (hash_at_ == kNoOffset && marks.hash != kNoOffset) hash_at_ = n + marks.hash;
        while (got > 0 && (text[got - 1] == '\r' || text[got - 1] == '\n')) --got;
        const size_t start = n;
        n += got;
        open = nul == nullptr && n >= 1 && line[n - 1] == '\\' && (n == 1 || line[n - 2] != '\\');
        if (open) --n;
        if (observer_ != nullptr) {
            source_.end = reader_.offset();
            if (const int err = add_piece(start, source, n - start); err != 0) return err;
        }
        if (open) {
            // The next piece is joined to this one in the line buffer.
            if (line != reader_.line() && !reader_.adopt(line, n)) return kErrMemory;
            continue;
        }
        line[n] = '\0';  // read_line always leaves room for it
        if (const int err = process(line, n); err != 0) return err;
        n = 0;
    }
}

int Loader::process(char *line, size_t length) {
    line_ = line;
    if (observer_ != nullptr) {
        if (const int err = keep_raw(line, length); err != 0) return err;
        source_.pieces = pieces_;
        source_.count = piece_count_;
        parts_ =
            LineParts{kNoOffset, kNoOffset, kNoOffset, kNoOffset, kNoOffset, kNoOffset, kNoOffset};
    }
    if (careful_) {
        line_end_ = clear_comments(line, &plain_line_);
    } else {
        // No quote, backslash or '$': the first '#' starts the comment.
        plain_line_ = true;
        line_end_ = line + (hash_at_ != kNoOffset ? hash_at_ : length);
        *line_end_ = '\0';
    }
    if (observer_ != nullptr) {
        const auto kept = static_cast<size_t>(line_end_ - line);
        comment_at_ = kept < raw_len_ ? kept : kNoOffset;
        parts_.comment = comment_at_;
        error_at_ = kNoOffset;
        check_comment();
    }
    char *p = eat_ws(line);
    if (*p == '\0') return 0;
    return *p == '[' ? header(p) : entry(p);
}

int Loader::header(char *p) {
    char *start = eat_ws(p + 1);
    char *run = start;
    char *name_end = start;
    for (;;) {
        name_end = eat_alpha_numeric(run);
        char *q = eat_ws(name_end);
        if (*q == ']') {
            const char *after = eat_ws(q + 1);
            if (*after != '\0') notify(LoadEvent::kTextAfterHeader, offset(after));
            break;
        }
        // The end of the line, or a byte that can neither be part of a name
        // nor a blank: the scan cannot go on.
        if (*q == '\0' || q == run) {
            error_at_ = offset(q);
            return kErrBracket;
        }
        run = q;
    }
    parts_.name = offset(start);
    parts_.name_end = offset(name_end);
    *name_end = '\0';
    const auto name_len = static_cast<size_t>(name_end - start);
    if (plain_line_) {
        // No quote, backslash or '$': the name is its own expansion.
        if (!header_.start(name_len + 1)) return kErrMemory;
        header_.append(start, name_len);
        header_.terminate();
    } else if (!expand_into(ctx_, nullptr, start, name_len, &header_)) {
        return expansion_error();
    }
    section_name_ = header_.data();
    if (const int err = enter_section(); err != 0) return err;
    notify(LoadEvent::kHeader, kNoOffset);
    return 0;
}

// Splits an entry line into qualifier, name and trimmed value, writing
// terminators after each.
int Loader::scan_entry(char *p, EntryLine *e) {
    const QualifiedName q = split_qualified(p, eat_alpha_numeric);
    if (q.section_end != nullptr) {
        e->qualifier = p;
        *q.section_end = '\0';
    }
    char *eq = eat_ws(q.name_end);
    if (*eq != '=') {
        error_at_ = offset(eq);
        return kErrEqual;
    }
    e->name = q.name;
    e->name_len = static_cast<size_t>(q.name_end - q.name);
    e->value = eat_ws(eq + 1);
    // The logical line holds no NUL before its end (the reader cut it at
    // the first), and the cuts above all lie before the value.
    e->value_end = trim_value_end(e->value, line_end_);
    if (observer_ != nullptr) {
        parts_.qualifier = e->qualifier != nullptr ? offset(p) : kNoOffset;
        parts_.name = offset(q.name);
        parts_.name_end = offset(q.name_end);
        parts_.equals = offset(eq);
        parts_.value = offset(e->value);
        parts_.value_end = offset(e->value_end);
    }
    *q.name_end = '\0';
    *e->value_end = '\0';
    return 0;
}

int Loader::expand_value(const char *section, const EntryLine &e) {
    ExpandNotes notes;
    const auto value_len = static_cast<size_t>(e.value_end - e.value);
    if (expand_into(ctx_, section, e.value, value_len, &value_, &notes)) {
        check_value(e.value, e.value_end, notes);
        return 0;
    }
    const int err = expansion_error();
    if (notes.failed_reference != nullptr) error_at_ = offset(notes.failed_reference);
    if (!tolerant_ || (err != kErrBrace && err != kErrNoValue && err != kErrTooLong)) return err;
    notify(LoadEvent::kUnresolved, error_at_, nullptr, nullptr, err);
    CONF_clear_error(ctx_);
    error_at_ = kNoOffset;
    if (!value_.start(value_len + 1)) return kErrMemory;
    value_.append(e.value, value_len);
    value_.terminate();
    return 0;
}

int Loader::entry(char *p) {
    EntryLine e;
    if (const int err = scan_entry(p, &e); err != 0) return err;
    if (e.name[0] == ';') notify(LoadEvent::kSemicolonName, offset(e.name));
    prefetcher_.step(ctx_->table, reader_, section_name_);
    const char *section = e.qualifier != nullptr ? e.qualifier : section_name_;
    if (plain_line_) {
        // Nothing to expand: the value is stored as it stands in the line,
        // without a pass through the expansion buffer.
        check_value(e.value, e.value_end, ExpandNotes{});
        return store(e, section, e.value, static_cast<size_t>(e.value_end - e.value));
    }
    if (const int err = expand_value(section, e); err != 0) return err;
    return store(e, section, value_.data(), value_.size());
}

// Stores the entry e of section with its expanded value.  An entry that
// cannot be stored goes back to the table's arena at once.
int Loader::store(const EntryLine &e, const char *section, const char *value, size_t value_len) {
    LH_TABLE *table = ctx_->table;
    CONF_VALUE *entry = make_entry_in(table, e.name, e.name_len, value, value_len);
    if (entry == nullptr) return kErrMemory;
    *origin_of(entry) = EntryOrigin{file_, static_cast<int32_t>(first_line_)};
    const uint32_t section_hash = e.qualifier != nullptr ? lh_strhash(e.qualifier) : section_hash_;
    CONF_VALUE *target = section_;
    if (e.qualifier != nullptr && std::strcmp(section, section_name_) != 0) {
        target = find_or_add_section(ctx_, section, section_hash);
        if (target == nullptr) {
            discard_entry(table, entry);
            return kErrSection;
        }
    }
    if (observer_ != nullptr) {
        // Told while the earlier entry still exists: storing frees it.
        entry->section = target->section;
        const CONF_VALUE *earlier = find_entry(ctx_, target->section, entry->name);
        if (earlier != nullptr) notify(LoadEvent::kReplacing, kNoOffset, entry, earlier);
    }
    uint32_t name_hash = 0;
    if (!prefetcher_.name_hash(e.name, e.name_len, &name_hash))
        name_hash = lh_strhash_n(e.name, e.name_len);
    const uint32_t hash = key_hash(section_hash, name_hash);
    if (const int err = store_entry(ctx_, target, entry, hash); err != 0) {
        discard_entry(table, entry);
        return err;
    }
    notify(LoadEvent::kStored, kNoOffset, entry);
    return 0;
}

LH_TABLE *Loader::fail(int number) {
    notify(LoadEvent::kError, error_at_, nullptr, nullptr, number);
    CONFerr(ctx_, number);
    const size_t used = std::strlen(ctx_->last_error_str);
    std::snprintf(ctx_->last_error_str + used, sizeof ctx_->last_error_str - used, ", line %ld",
                  line_no_);
    return nullptr;
}

}  // namespace

namespace {

// What a load leaves: the table on success; after a failure, none (a failed
// load drops the whole table, earlier loads' entries too) and file (null
// for a stream or memory) as the error's file.  Returns the context's last
// error number.
int finish_load(CONF_CTX *ctx, LH_TABLE *loaded, const char *file = nullptr) {
    if (loaded == nullptr) {
        CONF_lhash_free(ctx->table);
        ctx->table = nullptr;
        set_error_file(ctx, file);
    }
    return ctx->last_errnum;
}

int open_failure(CONF_CTX *ctx, const char *file = nullptr) {
    CONFerr(ctx, kErrOpen);
    set_error_file(ctx, file);
    return ctx->last_errnum;
}

// The context's copy of path for origins.  When memory runs out for it, the
// load fails as one that fails before its first line: -102 at line 0, the
// table dropped; null then.
const char *file_for(CONF_CTX *ctx, const char *path) {
    const char *file = intern_file(ctx, path);
    if (file == nullptr) {
        CONFerr(ctx, kErrMemory);
        const size_t used = std::strlen(ctx->last_error_str);
        std::snprintf(ctx->last_error_str + used, sizeof ctx->last_error_str - used, ", line 0");
        finish_load(ctx, nullptr);
    }
    return file;
}

// Loads a stream that is the file path (interned), or no file.
int load_stream_of(CONF_CTX *ctx, std::FILE *in, const char *file,
                   const LoadObserver *observer = nullptr) {
    Loader loader(ctx, in, observer);
    loader.set_file(file);
    return finish_load(ctx, loader.load(), file);
}

}  // namespace

LH_TABLE *CONF_load_file(CONF_CTX *ctx, std::FILE *in) {
    Loader loader(ctx, in);
    return loader.load();
}

int CONF_load_stream(CONF_CTX *ctx, std::FILE *in) { return load_stream_of(ctx, in, nullptr); }

int load_observed(CONF_CTX *ctx, std::FILE *in, const LoadObserver *observer, const char *path) {
    if (ctx == nullptr || in == nullptr) return CONF_load_fp(ctx, in);
    const char *file = path != nullptr ? file_for(ctx, path) : nullptr;
    if (path != nullptr && file == nullptr) return ctx->last_errnum;
    return load_stream_of(ctx, in, file, observer);
}

int scan_buffer(CONF_CTX *ctx, const char *data, size_t length, const LoadObserver *observer,
                bool tolerant) {
    if (ctx == nullptr || (data == nullptr && length > 0))
        return CONF_load_buffer(ctx, data, length);
    Loader loader(ctx, data, length, observer, tolerant);
    return finish_load(ctx, loader.load());
}

int load_path(CONF_CTX *ctx, const char *path, bool *ok) {
    *ok = false;
    if (path == nullptr) return open_failure(ctx);
    const char *file = file_for(ctx, path);
    if (file == nullptr) return ctx->last_errnum;
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return open_failure(ctx, file);
    LH_TABLE *loaded = nullptr;
    {
        Loader loader(ctx, fd);
        loader.set_file(file);
        loaded = loader.load();
    }
    ::close(fd);
    *ok = loaded != nullptr;
    return finish_load(ctx, loaded, file);
}

}  // namespace nivra::conf

using namespace nivra::conf;

extern "C" {

int CONF_load(CONF_CTX *ctx, const char *file) {
    if (ctx == nullptr) return kErrNullContext;
    bool ok = false;
    return load_path(ctx, file, &ok);
}

int CONF_load_fp(CONF_CTX *ctx, FILE *fp) {
    if (ctx == nullptr) return kErrNullContext;
    if (fp == nullptr) return open_failure(ctx);
    return CONF_load_stream(ctx, fp);
}

int CONF_load_buffer(CONF_CTX *ctx, const void *data, size_t length) {
    if (ctx == nullptr) return kErrNullContext;
    if (data == nullptr && length > 0) return open_failure(ctx);
    Loader loader(ctx, static_cast<const char *>(data), length);
    return finish_load(ctx, loader.load());
}

}  // extern "C"
