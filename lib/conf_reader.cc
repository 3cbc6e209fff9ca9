// conf_reader.cc - physical lines from a stream, a descriptor or memory, and
// the look-ahead that prefetches a big table's chains.
//
// Invariants of LineReader, between any two calls:
//   - chunk_[pos_, len_) are the bytes read and not yet handed out, and
//     base_ + pos_ is the input offset of the first of them (the input
//     counted from its very first byte, a byte-order mark included);
//   - chunk_ is the caller's memory (never written), or the reader's own
//     read buffer: small_chunk_ until a stream fills it, then one heap
//     chunk of kReadChunk bytes for the rest of the input;
//   - refills_ changes whenever chunk_'s bytes are replaced, so that a
//     pointer into the window taken before a refill is known to be stale;
//   - line_ holds the pieces of the logical line assembled so far, in
//     small_line_ until a line outgrows it, then in a heap block that only
//     grows; its bytes are kept across a growth, so a logical line can be
//     assembled piece by piece;
//   - every line handed out is followed by one byte the caller may write
//     (the LF of a line in place, room in line_ for one that was copied).
// Physical lines are taken whole, with their true length: none is limited,
// cut or joined by the reader.  A physical line ends at LF or at the end of
// the input; the LF is not part of it.  A UTF-8 byte-order mark at the very
// start of the input is skipped.
#include "conf_reader.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "conf_store.h"
#include "conf_syntax.h"
#include "lhash_internal.h"

namespace nivra::conf {
namespace {

constexpr unsigned char kBom[3] = {0xEF, 0xBB, 0xBF};

}  // namespace

// ---- LineReader -------------------------------------------------------------

LineReader::~LineReader() {
    if (owns_chunk_ && chunk_ != small_chunk_) std::free(chunk_);
}

LineReader::Result LineReader::assemble_line(size_t at, size_t *length, size_t *begin,
                                             LineMarks *marks, char **text) {
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
        // The line starts where its first byte is, past a byte-order mark
        // that the first refill skipped.
        if (!any) *begin = offset();
        any = true;
        const char *start = chunk_ + pos_;
        const size_t avail = len_ - pos_;
        const size_t take = scan_line(start, avail, n, marks);
        line_.truncate(at + n);
        if (!line_.append(start, take)) return Result::kNoMemory;
        n += take;
        pos_ += take;
        if (take < avail) {
            ++pos_;  // the LF itself
            break;
        }
    }
    *length = n;
    *text = line_.bytes() + at;
    return Result::kLine;
}

bool LineReader::adopt(const char *text, size_t n) {
    if (!line_.reserve(n + 1)) return false;
    line_.clear();
    line_.append(text, n);  // cannot fail: the room is there
    return true;
}

bool LineReader::refill() {
    ++refills_;
    return in_ != nullptr || fd_ >= 0 ? refill_from_stream() : refill_from_memory();
}

// Reads up to n bytes into buf, fewer only at the end of the input or after
// a read error (as fread does).  A read interrupted by a signal is retried.
size_t LineReader::read_some(char *buf, size_t n) {
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

bool LineReader::read_failed() const {
    if (in_ != nullptr) return std::ferror(in_) != 0;
    return fd_error_;
}

// The memory is one chunk, handed out once.
bool LineReader::refill_from_memory() {
    if (!first_) return false;
    first_ = false;
    pos_ = 0;
    len_ = mem_len_;
    if (len_ >= sizeof kBom && std::memcmp(chunk_, kBom, sizeof kBom) == 0) pos_ = sizeof kBom;
    return pos_ < len_;
}

bool LineReader::refill_from_stream() {
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

// ---- Prefetcher -------------------------------------------------------------

namespace {

const char *skip_blanks(const char *p, const char *end) {
    while (p < end && (*p == ' ' || *p == '\t')) ++p;
    return p;
}

// A name that expands to itself: name and punctuation bytes only.
const char *skip_plain_name(const char *p, const char *end) {
    while (p < end && is_class(*p, CC_NAME_PUNCT)) ++p;
    return p;
}

uint32_t hash_of(const char *begin, const char *end) {
    return lh_strhash_n(begin, static_cast<size_t>(end - begin));
}

}  // namespace

void Prefetcher::fetch_ahead(const LH_TABLE *t, const LineReader &reader, const char *section) {
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

void Prefetcher::restart(const LH_TABLE *t, const char *begin, const char *end,
                         const char *section) {
    cursor_ = begin;
    end_ = end;
    section_hash_ = lh_strhash(section);
    section_known_ = true;
    pushed_ = 0;
    taken_ = 0;
    Guess g{};
    for (unsigned i = 0; i < 3 * kStride && next_guess(&g); ++i) push(t, g);
}

void Prefetcher::push(const LH_TABLE *t, const Guess &g) {
    at(pushed_++) = g;
    lh_prefetch(t, g.hash, 0);
}

// The next entry line whose key it can tell; false at the end of the
// complete lines held.
bool Prefetcher::next_guess(Guess *g) {
    while (cursor_ < end_) {
        const char *line = cursor_;
        const auto *lf =
            static_cast<const char *>(std::memchr(line, '\n', static_cast<size_t>(end_ - line)));
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

}  // namespace nivra::conf
