// The line reader: the same physical lines, offsets and marks from memory,
// a descriptor and a stream, wherever the lines fall in its buffers.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "alloc_seam.h"
#include "conf_reader.h"
#include "temp_files.h"

namespace {

using namespace std::string_literals;
using nivra::conf::kNoOffset;
using nivra::conf::LineMarks;
using nivra::conf::LineReader;

struct Line {
    std::string text;
    size_t begin;
    bool careful;
    size_t hash;
    bool operator==(const Line &o) const {
        return text == o.text && begin == o.begin && careful == o.careful && hash == o.hash;
    }
};

void PrintTo(const Line &l, std::ostream *os) {
    *os << ::testing::PrintToString(l.text) << " at " << l.begin << (l.careful ? " careful" : "")
        << " #" << static_cast<long>(l.hash);
}

// What the reader must hand out, written the plainest way.
std::vector<Line> Expected(const std::string &bytes) {
    std::vector<Line> out;
    size_t i = bytes.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    while (i < bytes.size()) {
        size_t lf = bytes.find('\n', i);
        if (lf == std::string::npos) lf = bytes.size();
        Line l{bytes.substr(i, lf - i), i, false, kNoOffset};
        l.careful = l.text.find_first_of("\"'`\\$"s + '\0') != std::string::npos;
        if (const size_t h = l.text.find('#'); h != std::string::npos) l.hash = h;
        out.push_back(l);
        i = lf + 1;
    }
    return out;
}

std::vector<Line> ReadAll(LineReader *r) {
    r->init();
    std::vector<Line> out;
    for (;;) {
        size_t length = 0, begin = 0;
        LineMarks marks;
        char *text = nullptr;
        const LineReader::Result res = r->read_line(0, &length, &begin, &marks, &text);
        if (res != LineReader::Result::kLine) {
            EXPECT_EQ(res, LineReader::Result::kEnd);
            return out;
        }
        text[length] = '\0';  // the byte after every line is the caller's
        out.push_back(Line{std::string(text, length), begin, marks.careful, marks.hash});
    }
}

// Lines of every length up to past the inline line buffer, of bytes that
// mark a line or not, in a text that outgrows the small and the big chunk.
std::string Scrambled(size_t total) {
    std::mt19937 rng(31);
    const std::string alphabet = "ab =#$\\\"'`\r"s + '\0';
    std::string s;
    while (s.size() < total) {
        const size_t n = rng() % 400;
        for (size_t i = 0; i < n; ++i)
            s += rng() % 4 == 0 ? alphabet[rng() % alphabet.size()]
                                : static_cast<char>('c' + i % 20);
        s += '\n';
    }
    return s;
}

TEST(LineReader, EverySourceHandsOutTheSameLines) {
    const std::string cases[] = {
        "",
        "a\n",
        "no line end",
        "\n\n\n",
        "\xEF\xBB\xBF",
        "\xEF\xBB\xBFk = v # c\n",
        "\xEF\xBB",
        "x = 1\r\ny = \"q\"\r\n",
        "a\0b # c\nd\n"s,
        std::string(5000, 'a') + "#\n" + std::string(300, 'b'),
        Scrambled(150000),
    };
    TempFiles files;
    for (const std::string &bytes : cases) {
        SCOPED_TRACE(bytes.substr(0, 40));
        const std::vector<Line> expected = Expected(bytes);
        LineReader memory(bytes.data(), bytes.size());
        EXPECT_EQ(ReadAll(&memory), expected);
        const std::string path = files.Write(bytes);
        const int fd = ::open(path.c_str(), O_RDONLY);
        ASSERT_GE(fd, 0);
        {
            LineReader descriptor(fd);
            EXPECT_EQ(ReadAll(&descriptor), expected);
        }
        ::close(fd);
        std::FILE *f = std::fopen(path.c_str(), "rb");
        ASSERT_NE(f, nullptr);
        {
            LineReader stream(f);
            EXPECT_EQ(ReadAll(&stream), expected);
        }
        std::fclose(f);
    }
}

// A continued line: each piece read at the end of the ones before it, the
// first adopted into the line buffer when it was handed out in place.
TEST(LineReader, PiecesJoinInTheLineBuffer) {
    const std::string first(300, 'f');
    const std::string bytes = "a\nk = " + first + "\n" + std::string(5000, 's') + "\nlast\n";
    TempFiles files;
    std::FILE *f = std::fopen(files.Write(bytes).c_str(), "rb");
    ASSERT_NE(f, nullptr);
    {
        LineReader r(f);
        r.init();
        size_t n = 0, begin = 0;
        LineMarks marks;
        char *text = nullptr;
        ASSERT_EQ(r.read_line(0, &n, &begin, &marks, &text), LineReader::Result::kLine);
        EXPECT_EQ(text, r.line());  // the first line comes with the first refill: copied
        ASSERT_EQ(r.read_line(0, &n, &begin, &marks, &text), LineReader::Result::kLine);
        EXPECT_NE(text, r.line());  // in place, in the read buffer
        ASSERT_TRUE(r.adopt(text, n));
        size_t more = 0;
        ASSERT_EQ(r.read_line(n, &more, &begin, &marks, &text), LineReader::Result::kLine);
        EXPECT_EQ(text, r.line() + n);
        EXPECT_EQ(begin, first.size() + 7);
        r.terminate(n + more);
        EXPECT_EQ(std::string(r.line()), "k = " + first + std::string(5000, 's'));
    }
    std::fclose(f);
}

// The window is what is read and not yet handed out; a refill changes its
// number, so that a pointer into the old bytes is known to be stale.
TEST(LineReader, TheWindowTellsOfEachRefill) {
    const std::string bytes = "a\n" + std::string(5000, 'x') + "\nb\n";
    LineReader r(bytes.data(), bytes.size());
    r.init();
    const char *begin = nullptr;
    const char *end = nullptr;
    const unsigned before = r.window(&begin, &end);
    EXPECT_EQ(begin, end);
    size_t n = 0, at = 0;
    LineMarks marks;
    char *text = nullptr;
    ASSERT_EQ(r.read_line(0, &n, &at, &marks, &text), LineReader::Result::kLine);
    EXPECT_NE(r.window(&begin, &end), before);
    EXPECT_EQ(std::string(begin, end), bytes.substr(2));
}

// A line that outgrows the inline buffer when no memory is left: reported,
// the bytes assembled before it kept, and the same read succeeds once
// memory is back.
TEST(LineReader, ALineBufferThatCannotGrowIsReported) {
    const std::string bytes = "head\n" + std::string(1000, 'l') + "\n";
    LineReader r(bytes.data(), bytes.size());
    r.init();
    size_t n = 0, begin = 0;
    LineMarks marks;
    char *text = nullptr;
    ASSERT_EQ(r.read_line(0, &n, &begin, &marks, &text), LineReader::Result::kLine);
    alloc_seam::FailFrom(1);
    size_t more = 0;
    EXPECT_EQ(r.read_line(n, &more, &begin, &marks, &text), LineReader::Result::kNoMemory);
    EXPECT_TRUE(alloc_seam::Fired());
    alloc_seam::FailNth(0);
    EXPECT_EQ(std::string(r.line(), n), "head");
    ASSERT_EQ(r.read_line(n, &more, &begin, &marks, &text), LineReader::Result::kLine);
    r.terminate(n + more);
    EXPECT_EQ(std::string(r.line()), "head" + std::string(1000, 'l'));
}

// The vector scan and the byte-by-byte one agree on every prefix of every
// offset of a text dense in the bytes they look for.
TEST(ScanLine, AgreesWithTheByteByByteScan) {
    const std::string text = Scrambled(3000);
    for (size_t from = 0; from < 64; ++from) {
        for (size_t n = 0; from + n <= text.size() && n < 300; ++n) {
            LineMarks fast, slow;
            fast.hash = slow.hash = from % 3 == 0 ? 7 : kNoOffset;  // a '#' met before
            const size_t a = nivra::conf::scan_line(text.data() + from, n, 5, &fast);
            const size_t b = nivra::conf::scan_line_tail(text.data() + from, n, 5, 0, &slow);
            ASSERT_EQ(a, b) << from << " " << n;
            ASSERT_EQ(fast.careful, slow.careful) << from << " " << n;
            ASSERT_EQ(fast.hash, slow.hash) << from << " " << n;
        }
    }
}

}  // namespace
