// confcheck: the dump of good files, the first error with its line, and the
// command line.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "capture.h"
#include "confcheck.h"
#include "temp_files.h"

namespace {

class Confcheck : public ::testing::Test {
  protected:
    std::string File(const std::string &text) { return files_.Write(text); }
    // Runs confcheck with args; fills out_ and err_.
    int Run(std::vector<std::string> args) {
        std::vector<const char *> argv{"confcheck"};
        for (const std::string &a : args) argv.push_back(a.c_str());
        Capture out, err;
        const int rc =
            confcheck::run(static_cast<int>(argv.size()), argv.data(), out.file(), err.file());
        out_ = out.text();
        err_ = err.text();
        return rc;
    }
    TempFiles files_;
    std::string out_, err_;
};

TEST_F(Confcheck, DumpsSectionsSortedWithEntriesInStoredOrder) {
    const std::string a =
        File("z = 1\n[beta]\nb2 = x\nb1 = y\n[alpha]\nk = 'q' tab\\there \\\\ \xC3\xA9\n");
    const std::string b = File("[beta]\nb2 = again\n[]\ne = $beta::b1\n");
    EXPECT_EQ(Run({a, b}), 0) << err_;
    EXPECT_EQ(out_,
              "[]\n"
              "e = y\n"
              "[alpha]\n"
              "k = q tab\\x09here \\x5C \\xC3\\xA9\n"
              "[beta]\n"
              "b1 = y\n"
              "b2 = again\n"
              "[default]\n"
              "z = 1\n");
    EXPECT_EQ(err_, "");
}

TEST_F(Confcheck, ReportsTheFirstBrokenFileWithItsLine) {
    const std::string good = File("a = 1\n");
    const std::string bad = File("# fine\n\n[s]\nbroken line\n");
    const std::string never = File("[unclosed\n");
    EXPECT_EQ(Run({good, bad, never}), 1);
    EXPECT_EQ(out_, "");
    EXPECT_EQ(err_, "confcheck: " + bad + ": missing equal sign, line 4\n");
    EXPECT_EQ(Run({"/nonexistent/x.conf"}), 1);
    EXPECT_EQ(err_, "confcheck: /nonexistent/x.conf: unable to open configuration file\n");
}

TEST_F(Confcheck, AnswersHelpAndVersionAndRejectsMisuse) {
    EXPECT_EQ(Run({"--help"}), 0);
    EXPECT_EQ(out_.rfind("Usage: confcheck", 0), 0u);
    EXPECT_EQ(Run({"--version"}), 0);
    EXPECT_EQ(out_, "confcheck (Nivra support kit) " NIVRA_VERSION_TEXT "\n");
    EXPECT_EQ(Run({}), 2);
    EXPECT_NE(err_.find("no configuration file"), std::string::npos);
    EXPECT_EQ(Run({"--bogus"}), 2);
    EXPECT_NE(err_.find("unknown option '--bogus'"), std::string::npos);
    const std::string dashed = File("k = v\n");
    EXPECT_EQ(Run({"--", dashed}), 0);
    EXPECT_EQ(out_, "[default]\nk = v\n");
}

TEST_F(Confcheck, TheFormatGuideExampleLoads) {
    // The example at the top of docs/config-format.md.
    setenv("HOME", "/home/op", 1);
    const std::string f = File(
        "# Where the service keeps its data.\n"
        "log_level = 2\n"
        "\n"
        "[paths]\n"
        "home    = ${ENV::HOME}/service     # from the environment\n"
        "data    = $home/data               # an earlier entry of this section\n"
        "banner  = \"Welcome to  \\\"nivra\\\"\"  # quotes keep blanks and special characters\n"
        "\n"
        "[limits]\n"
        "max_clients = 64\n"
        "paths::cache = $paths::data/cache  # an entry placed in another section\n");
    EXPECT_EQ(Run({f}), 0) << err_;
    EXPECT_EQ(out_,
              "[default]\nlog_level = 2\n"
              "[limits]\nmax_clients = 64\n"
              "[paths]\nhome = /home/op/service\ndata = /home/op/service/data\n"
              "banner = Welcome to  \"nivra\"\ncache = /home/op/service/data/cache\n");
}

}  // namespace
