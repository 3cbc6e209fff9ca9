// Trace filtering and the hex conversions.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "nivra_utils.h"

namespace {

class TraceTest : public ::testing::Test {
  protected:
    void TearDown() override { g_lc_trace = 0; }

    // Runs lc_dtrace at the given level and returns what it printed; the
    // result code goes to *rc.
    static std::string Trace(int level, const char *fmt, int *rc) {
        g_lc_trace = level;
        ::testing::internal::CaptureStdout();
        *rc = lc_dtrace(fmt, 42);
        std::fflush(stdout);
        return ::testing::internal::GetCapturedStdout();
    }
};

struct TraceCase {
    int level;
    const char *fmt;
    bool printed;
};

TEST_F(TraceTest, FiltersByLeadingWordAgainstTheLevel) {
    const TraceCase cases[] = {
        {1, "error %d\n", true},     {1, "warn %d\n", false},   {1, "info %d\n", false},
        {1, "hello %d\n", true},     {2, "warning %d\n", true}, {2, "info %d\n", false},
        {3, "information %d", true}, {3, "errors %d", true},    {1, "Error %d", true},
        {1, "err %d", true},         {1, "war %d", true},       {0, "error %d", false},
        {0, "hello %d", false},      {-1, "hello %d", false},   {-1, "error %d", false},
        {100, "info %d", true},
    };
    for (const TraceCase &c : cases) {
        SCOPED_TRACE(std::string(c.fmt) + " at level " + std::to_string(c.level));
        int rc = -99;
        const std::string out = Trace(c.level, c.fmt, &rc);
        if (c.printed) {
            std::string expected(c.fmt);
            expected.replace(expected.find("%d"), 2, "42");
            EXPECT_EQ(out, expected);
            EXPECT_EQ(rc, static_cast<int>(expected.size()));
        } else {
            EXPECT_EQ(out, "");
            EXPECT_EQ(rc, 0);
        }
    }
}

TEST(SnprintfTest, PassesVsnprintfResultThrough) {
    char buf[8];
    EXPECT_EQ(lc_snprintf(buf, sizeof buf, "%08X", 0x1A2B3Cu), 8);
    EXPECT_STREQ(buf, "001A2B3");  // truncated, still terminated by vsnprintf
    EXPECT_EQ(lc_snprintf(buf, sizeof buf, "%s", "ab"), 2);
    EXPECT_STREQ(buf, "ab");
}

struct HexCase {
    const char *text;
    std::string bytes;
};

TEST(HexStr2BinTest, ConvertsPairsWithTheWholeAlphabetAndLowEightBits) {
    const HexCase cases[] = {
        {"", ""},
        {"00ff10", std::string("\x00\xff\x10", 3)},
        {"00FF10", std::string("\x00\xff\x10", 3)},
        {"ABC", std::string("\xab\xc0", 2)},
        {"g1", std::string("\x01", 1)},
        {"zz", std::string("\x53", 1)},
        {"-5", std::string("\x05", 1)},
        {"  \x80\xff", std::string("\x00\x00", 2)},
    };
    for (const HexCase &c : cases) {
        SCOPED_TRACE(c.text);
        unsigned char out[16];
        std::memset(out, 0xEE, sizeof out);
        lc_hexstr2bin(out, c.text);
        EXPECT_EQ(std::string(reinterpret_cast<char *>(out), c.bytes.size()), c.bytes);
        EXPECT_EQ(out[c.bytes.size()], 0xEE) << "wrote past its output";
    }
}

TEST(HexStr2BinTest, InPlaceStopsWhereTheTextIsCutByAZeroByte) {
    // Converting in place, the first pair writes 0x00 over the text, so the
    // text is now empty and the conversion ends after one byte.
    char text[] = "00ff";
    lc_hexstr2bin(reinterpret_cast<unsigned char *>(text), text);
    EXPECT_EQ(text[0], '\0');
    EXPECT_EQ(text[1], '0');  // untouched
    char other[] = "4142";    // "AB": no zero byte, converts whole
    lc_hexstr2bin(reinterpret_cast<unsigned char *>(other), other);
    EXPECT_EQ(other[0], 'A');
    EXPECT_EQ(other[1], 'B');
}

TEST(Bin2HexStrTest, WritesUpperCasePairsAndTerminator) {
    const unsigned char in[] = {0x00, 0x0F, 0xA5, 0xFF};
    char out[16];
    std::memset(out, 'x', sizeof out);
    lc_bin2hexstr(out, in, 4);
    EXPECT_STREQ(out, "000FA5FF");
    EXPECT_EQ(out[9], 'x');

    std::memset(out, 'x', sizeof out);
    lc_bin2hexstr(out, in, 0);
    EXPECT_EQ(out[0], '\0');
    EXPECT_EQ(out[1], 'x');
}

TEST(Bin2HexStrTest, NegativeCountWritesOnlyTheEmptyText) {
    const unsigned char in[] = {0xAB};
    char buf[8];
    std::memset(buf, 'x', sizeof buf);
    lc_bin2hexstr(buf + 4, in, -2);  // must not touch buf[0..3]
    EXPECT_EQ(std::string(buf, 4), "xxxx");
    EXPECT_EQ(buf[4], '\0');
    EXPECT_EQ(buf[5], 'x');
}

}  // namespace
