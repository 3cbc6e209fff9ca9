// Hostile inputs: huge lines, endless continuations, runaway expansion,
// binary files and files that are not files.  Each must give a clear result
// without a crash, a hang or a leak.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <string>

#include "conf.h"
#include "temp_files.h"

namespace {

class Hostile : public ::testing::Test {
  protected:
    void SetUp() override { ctx_ = CONF_new(); }
    void TearDown() override { CONF_free(ctx_); }
    int LoadBytes(const std::string &bytes) { return CONF_load(ctx_, files_.Write(bytes).c_str()); }
    TempFiles files_;
    CONF_CTX *ctx_ = nullptr;
};

TEST_F(Hostile, TenMegabyteSingleLine) {
    const std::string value(10 * 1024 * 1024, 'x');
    ASSERT_EQ(LoadBytes("big = " + value), 0);
    EXPECT_EQ(std::strlen(CONF_get_string(ctx_, nullptr, "big")), value.size());
}

TEST_F(Hostile, HundredThousandContinuationLines) {
    std::string text = "v = ";
    for (int i = 0; i < 100000; ++i) text += "ab\\\n";
    text += "end\nbad line\n";
    EXPECT_EQ(LoadBytes(text), -105);
    EXPECT_STREQ(CONF_get_last_error_str(ctx_), "missing equal sign, line 100002");
}

TEST_F(Hostile, ValueDoublingOnEveryLineHitsTheExpansionLimit) {
    std::string text = "a0 = xx\n";
    for (int i = 1; i < 40; ++i) {
        text += "a" + std::to_string(i) + " = $a" + std::to_string(i - 1) + "$a" +
                std::to_string(i - 1) + "\n";
    }
    EXPECT_EQ(LoadBytes(text), -109);
    // a15 is 2^16 bytes long (two of 2^15); a16 would insert 2^17.
    EXPECT_STREQ(CONF_get_last_error_str(ctx_), "variable expansion too long, line 17");
    EXPECT_EQ(ctx_->table, nullptr);
}

TEST_F(Hostile, FileOfNulBytesIsEmpty) {
    ASSERT_EQ(LoadBytes(std::string(100000, '\0')), 0);
    EXPECT_EQ(lh_num_items(ctx_->table), 1u);  // the "default" section alone
}

TEST_F(Hostile, BinaryFilesEndInAResultNotACrash) {
    std::mt19937 gen(12345);
    for (int round = 0; round < 50; ++round) {
        std::string bytes(4096, '\0');
        for (char &c : bytes) c = static_cast<char>(gen());
        const int rc = LoadBytes(bytes);
        EXPECT_TRUE(rc == 0 || (rc <= -104 && rc >= -109)) << rc;
        EXPECT_EQ(rc == 0 || ctx_->last_errnum != 0, true);
        CONF_free(ctx_);
        ctx_ = CONF_new();
    }
}

TEST_F(Hostile, NamesThatAreNotReadableFiles) {
    EXPECT_EQ(CONF_load(ctx_, files_.dir().c_str()), -108);
    EXPECT_STREQ(CONF_get_last_error_str(ctx_), "error reading configuration file, line 0");
    EXPECT_EQ(CONF_load(ctx_, "/nonexistent/nivra.conf"), -101);
    EXPECT_STREQ(CONF_get_last_error_str(ctx_), "unable to open configuration file");
    EXPECT_EQ(CONF_load(ctx_, ""), -101);
}

}  // namespace
