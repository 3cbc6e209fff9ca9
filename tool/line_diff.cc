// line_diff.cc - a shortest edit script by Myers' O(ND) algorithm in its
// linear-space form (the forward and reverse searches meet in the middle,
// and each half is solved again), then printed as unified hunks.
//
// Edits change few lines of a long file, so common leading and trailing
// lines are set aside first, and D, the number of changed lines, stays
// small: time O((N + M) D), memory O(N + M).
#include "line_diff.h"

#include <algorithm>
#include <vector>

namespace line_diff {
namespace {

using Lines = std::vector<std::string_view>;
using Index = std::ptrdiff_t;

// The lines of text, each with its LF when it has one.
Lines split_lines(std::string_view text) {
    Lines lines;
    size_t start = 0;
    while (start < text.size()) {
        const size_t lf = text.find('\n', start);
        const size_t end = lf == std::string_view::npos ? text.size() : lf + 1;
        lines.push_back(text.substr(start, end - start));
        start = end;
    }
    return lines;
}

// Marks the lines of a that go and the lines of b that come, so that the
// lines left unmarked are a longest common subsequence of the two.
class Marker {
  public:
    Marker(const Lines &a, const Lines &b)
        : a_(a), b_(b), removed(a.size(), false), added(b.size(), false) {}

    // Compares a[a0, a1) with b[b0, b1).
    void compare(size_t a0, size_t a1, size_t b0, size_t b1) {
        while (a0 < a1 && b0 < b1 && a_[a0] == b_[b0]) ++a0, ++b0;
        while (a0 < a1 && b0 < b1 && a_[a1 - 1] == b_[b1 - 1]) --a1, --b1;
        if (a0 < a1 && b0 < b1 && bisect(a0, a1, b0, b1)) return;
        std::fill(removed.begin() + static_cast<Index>(a0),
                  removed.begin() + static_cast<Index>(a1), true);
        std::fill(added.begin() + static_cast<Index>(b0), added.begin() + static_cast<Index>(b1),
                  true);
    }

  private:
    const Lines &a_;
    const Lines &b_;

  public:
    std::vector<bool> removed;
    std::vector<bool> added;

  private:
    // Searches from both ends of a[a0, a1) and b[b0, b1) at once for the
    // point where the two paths meet, and compares the two halves on
    // either side of it.  False when the ranges share no line.
    bool bisect(size_t a0, size_t a1, size_t b0, size_t b1);
    // One step d of the search from one end: extends every furthest path on
    // the diagonals it may reach (v, indexed by diagonal plus offset) by one
    // change and the equal lines after it.  Returns where a path met one of
    // the other search (other, for diagonals delta minus its own), or -1.
    struct Search;
    Index step(Search &s, const Search &other, Index d, bool check) const;

    struct Search {
        size_t a0, b0, a1, b1;  // the ranges; the reverse search reads them from the end
        bool reverse;
        std::vector<Index> v;      // furthest x per diagonal k (x - y), at offset + k; -1 unknown
        Index start = 0, end = 0;  // diagonals to skip at each side: their paths left the grid
        Index met_y = 0;           // on a meeting: y of the forward path's point
    };
};

Index Marker::step(Search &s, const Search &other, Index d, bool check) const {
    const auto n = static_cast<Index>(s.a1 - s.a0), m = static_cast<Index>(s.b1 - s.b0);
    const Index offset = (static_cast<Index>(s.v.size()) - 2) / 2, delta = n - m;
    for (Index k = -d + s.start; k <= d - s.end; k += 2) {
        const Index i = offset + k;
        Index x = (k == -d ||
                   (k != d && s.v[static_cast<size_t>(i - 1)] < s.v[static_cast<size_t>(i + 1)]))
                      ? s.v[static_cast<size_t>(i + 1)]
                      : s.v[static_cast<size_t>(i - 1)] + 1;
        Index y = x - k;
        auto same = [&](Index px, Index py) {
            const auto ux = static_cast<size_t>(px), uy = static_cast<size_t>(py);
            return s.reverse ? a_[s.a1 - 1 - ux] == b_[s.b1 - 1 - uy]
                             : a_[s.a0 + ux] == b_[s.b0 + uy];
        };
        while (x < n && y < m && same(x, y)) ++x, ++y;
        s.v[static_cast<size_t>(i)] = x;
        if (x > n) {
            s.end += 2;
        } else if (y > m) {
            s.start += 2;
        } else if (check) {
            const Index j = offset + delta - k;
            if (j < 0 || j >= static_cast<Index>(other.v.size())) continue;
            const Index ox = other.v[static_cast<size_t>(j)];
            if (ox == -1 || x + ox < n) continue;
            // The meeting point, as the forward search sees it.
            s.met_y = s.reverse ? ox - (j - offset) : y;
            return s.reverse ? ox : x;
        }
    }
    return -1;
}

bool Marker::bisect(size_t a0, size_t a1, size_t b0, size_t b1) {
    const auto n = static_cast<Index>(a1 - a0), m = static_cast<Index>(b1 - b0);
    const Index max_d = (n + m + 1) / 2;
    const bool odd = (n - m) % 2 != 0;
    std::vector<Index> seed(static_cast<size_t>(2 * max_d + 2), -1);
    seed[static_cast<size_t>(max_d + 1)] = 0;
    Search forward{a0, b0, a1, b1, false, seed};
    Search reverse{a0, b0, a1, b1, true, std::move(seed)};
    for (Index d = 0; d < max_d; ++d) {
        // The paths can first meet on the forward step when the difference
        // of the lengths is odd, else on the reverse step.
        Index x = step(forward, reverse, d, odd);
        Index y = forward.met_y;
        if (x < 0) {
            x = step(reverse, forward, d, !odd);
            y = reverse.met_y;
        }
        if (x < 0) continue;
        // A meeting at either corner would split nothing off.
        if ((x == 0 && y == 0) || (x == n && y == m)) return false;
        const auto ux = static_cast<size_t>(x), uy = static_cast<size_t>(y);
        compare(a0, a0 + ux, b0, b0 + uy);
        compare(a0 + ux, a1, b0 + uy, b1);
        return true;
    }
    return false;
}

struct Edit {
    char kind;  // ' ', '-' or '+'
    std::string_view line;
    size_t old_before, new_before;  // lines of each text before this one
};

std::vector<Edit> edit_script(const Lines &a, const Lines &b) {
    Marker marker(a, b);
    marker.compare(0, a.size(), 0, b.size());
    std::vector<Edit> edits;
    size_t i = 0, j = 0;
    while (i < a.size() || j < b.size()) {
        if (i < a.size() && marker.removed[i]) {
            edits.push_back({'-', a[i], i, j});
            ++i;
        } else if (j < b.size() && marker.added[j]) {
            edits.push_back({'+', b[j], i, j});
            ++j;
        } else {
            edits.push_back({' ', a[i], i, j});
            ++i, ++j;
        }
    }
    return edits;
}

// "start,count" of a hunk's range as diff -u writes it: the first line's
// number, or for an empty range the number of the line before it; the
// count only when it is not 1.
void put_range(std::FILE *out, size_t before, size_t count) {
    if (count == 1) {
        std::fprintf(out, "%zu", before + 1);
    } else {
        std::fprintf(out, "%zu,%zu", count == 0 ? before : before + 1, count);
    }
}

void put_hunk(const std::vector<Edit> &edits, size_t begin, size_t end, std::FILE *out) {
    size_t old_count = 0, new_count = 0;
    for (size_t i = begin; i < end; ++i) {
        old_count += edits[i].kind != '+' ? 1 : 0;
        new_count += edits[i].kind != '-' ? 1 : 0;
    }
    std::fputs("@@ -", out);
    put_range(out, edits[begin].old_before, old_count);
    std::fputs(" +", out);
    put_range(out, edits[begin].new_before, new_count);
    std::fputs(" @@\n", out);
    for (size_t i = begin; i < end; ++i) {
        std::fputc(edits[i].kind, out);
        std::fwrite(edits[i].line.data(), 1, edits[i].line.size(), out);
        if (edits[i].line.back() != '\n') std::fputs("\n\\ No newline at end of file\n", out);
    }
}

}  // namespace

void unified(std::string_view old_text, std::string_view new_text, const char *old_name,
             const char *new_name, std::FILE *out, size_t context) {
    if (old_text == new_text) return;
    const std::vector<Edit> edits = edit_script(split_lines(old_text), split_lines(new_text));
    std::fprintf(out, "--- %s\n+++ %s\n", old_name, new_name);
    const size_t n = edits.size();
    size_t i = 0;
    while (i < n) {
        if (edits[i].kind == ' ') {
            ++i;
            continue;
        }
        const size_t begin = i >= context ? i - context : 0;
        // Take in every later change that fewer than 2 * context + 1
        // unchanged lines part from the last one.
        size_t end = i + 1;
        for (size_t k = end; k < n; ++k) {
            if (edits[k].kind == ' ') {
                if (k - end >= 2 * context) break;
            } else {
                end = k + 1;
            }
        }
        const size_t stop = std::min(n, end + context);
        put_hunk(edits, begin, stop, out);
        i = stop;
    }
}

}  // namespace line_diff
