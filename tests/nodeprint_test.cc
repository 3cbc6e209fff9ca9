// nodeprint's command line, report, adapter choice and failure path, driven
// through its functions with given records and in-memory streams.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "capture.h"
#include "nivra_utils.h"
#include "nodeprint.h"

namespace {

struct ArgsCase {
    std::vector<const char *> args;  // without the program name
    int level;
};

TEST(TraceLevelFromArgs, ReadsTheOptionLikePercentD) {
    const ArgsCase cases[] = {
        {{}, 1},
        {{"-d3"}, 3},
        {{"-d", "3"}, 3},
        {{"-d", "3", "x"}, 1},
        {{"-d5", "7"}, 5},
        {{"-dx", "4"}, 4},
        {{"-d", "abc"}, 1},
        {{"-dabc"}, 1},
        {{"-d"}, 1},
        {{"-d12abc"}, 12},
        {{"-d-2"}, -2},
        {{"-d+7"}, 7},
        {{"-d0"}, 0},
        {{"-d", "0"}, 0},
        {{"-D3"}, 1},
        {{"-x"}, 1},
        {{"3"}, 1},
        {{"foo", "-d3"}, 1},
        {{"-debug"}, 1},
        {{"-debug", "9"}, 9},
        {{"-d  "}, 1},  // blanks alone: no number, default
        {{"-d", ""}, 1},
        {{"-d", "   "}, 1},
        {{"-d  ", "6"}, 6},
        {{"-d 8"}, 8},
        {{"-d99999999999"}, 2147483647},
        {{"-d-99999999999"}, -2147483647 - 1},
        {{"-d", "2147483648"}, 2147483647},
        {{"-d-"}, 1},
    };
    for (const ArgsCase &c : cases) {
        std::vector<const char *> argv{"nodeprint"};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        std::string shown;
        for (const char *a : c.args) shown += std::string("[") + a + "]";
        SCOPED_TRACE(shown);
        EXPECT_EQ(nodeprint::trace_level_from_args(static_cast<int>(argv.size()), argv.data()),
                  c.level);
    }
}

// A readable stream over a fixed text.
class Input {
  public:
    explicit Input(const std::string &text) : text_(text) {
        f_ = text_.empty() ? std::fopen("/dev/null", "r")
                           : fmemopen(text_.data(), text_.size(), "r");
    }
    ~Input() { std::fclose(f_); }
    std::FILE *file() { return f_; }

  private:
    std::string text_;
    std::FILE *f_;
};

SYSID_INFO HostForm(const char *id) {
    SYSID_INFO info;
    std::memset(&info, 0, sizeof info);
    info.count = 1;
    std::strcpy(info.id[0], id);
    return info;
}

SYSID_INFO AdapterForm(int count) {
    SYSID_INFO info;
    std::memset(&info, 0, sizeof info);
    info.adapter_mode = 1;
    info.count = count;
    for (int k = 0; k < count && k < SYSID_MAX_ENTRIES; ++k) {
        std::snprintf(info.name[k], SYSID_FIELD_LEN, "eth%d", k);
        std::snprintf(info.id[k], SYSID_FIELD_LEN, "0800200000%02X", k);
        std::snprintf(info.desc[k], SYSID_FIELD_LEN, "adapter %d", k);
    }
    return info;
}

std::string Entry(int k, const char *name, const char *mac, const char *desc) {
    char buf[512];
    std::snprintf(buf, sizeof buf,
                  " [%d]  name       : %s\n      MAC address: %s\n      description: %s\n\n", k,
                  name, mac, desc);
    return buf;
}

const char kHeader[] = "network adapters\n----------------\n";

std::string Report(const SYSID_INFO &info, const std::string &answer, int *status,
                   int32_t result = 0) {
    Capture out;
    Input in(answer);
    *status = nodeprint::print_report(result, info, in.file(), out.file());
    return out.text();
}

TEST(Report, HostFormPrintsTheIdAndAnEmptyLine) {
    int status = -1;
    EXPECT_EQ(Report(HostForm("0A1B2C3D"), "", &status), " your system ID is \"0A1B2C3D\"\n\n");
    EXPECT_EQ(status, 0);
}

TEST(Report, FailurePrintsTheMessageAndExitsOne) {
    int status = -1;
    EXPECT_EQ(Report(HostForm("0A1B2C3D"), "", &status, -5),
              "  ERROR: failed to obtain system identification\n"
              "         please, see your network settings\n\n");
    EXPECT_EQ(status, 1);
}

TEST(Report, AdapterFormWithOneEntryAsksNothing) {
    int status = -1;
    const std::string out = Report(AdapterForm(1), "", &status);
    EXPECT_EQ(out, kHeader + Entry(1, "eth0", "08:00:20:00:00:00", "adapter 0") +
                       " your system ID is \"080020000000\"\n\n");
    EXPECT_EQ(status, 0);
}

TEST(Report, AdapterFormChoiceIsValidatedAgainstTheCount) {
    const std::string listing = kHeader + Entry(1, "eth0", "08:00:20:00:00:00", "adapter 0") +
                                Entry(2, "eth1", "08:00:20:00:00:01", "adapter 1") +
                                Entry(3, "eth2", "08:00:20:00:00:02", "adapter 2") +
                                " choose [1-3] : ";
    const std::string invalid = " you typed an invalid number!\n\n";
    const struct {
        const char *answer;
        std::string tail;
    } cases[] = {
        {"3\n", " your system ID is \"080020000002\"\n\n"},
        {"\n\n   2abc\n", " your system ID is \"080020000001\"\n\n"},
        {"+1", " your system ID is \"080020000000\"\n\n"},
        {"0\n", invalid},
        {"4\n", invalid},
        {"-1\n", invalid},
        {"abc\n", invalid},
        {"", invalid},  // end of input
        {"99999999999\n", invalid},
        {"-", invalid},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.answer);
        int status = -1;
        EXPECT_EQ(Report(AdapterForm(3), c.answer, &status), listing + c.tail);
        EXPECT_EQ(status, 0);
    }
}

TEST(Report, AdapterFormWithNoEntriesRejectsEveryAnswer) {
    for (int count : {0, -4}) {
        int status = -1;
        EXPECT_EQ(Report(AdapterForm(count), "1\n", &status),
                  std::string(kHeader) + " choose [1-0] :  you typed an invalid number!\n\n");
        EXPECT_EQ(status, 0);
    }
}

TEST(Report, ShortAdapterIdShowsEmptyPairs) {
    SYSID_INFO info = AdapterForm(1);
    std::strcpy(info.id[0], "0A1B2C3D");
    int status = -1;
    EXPECT_EQ(Report(info, "", &status), kHeader + Entry(1, "eth0", "0A:1B:2C:3D::", "adapter 0") +
                                             " your system ID is \"0A1B2C3D\"\n\n");
}

TEST(Report, CountAboveTheRecordIsListedOnlyUpToItsEntries) {
    SYSID_INFO info = AdapterForm(SYSID_MAX_ENTRIES);
    info.count = 1000;
    int status = -1;
    const std::string out = Report(info, "11\n", &status);
    EXPECT_NE(out.find(" [10]  name"), std::string::npos);
    EXPECT_EQ(out.find(" [11]"), std::string::npos);
    EXPECT_NE(out.find(" choose [1-10] :  you typed an invalid number!\n\n"), std::string::npos);
}

int32_t FakeSysId(SYSID_INFO *info) {
    *info = HostForm("001A2B3C");
    return 0;
}

TEST(Run, SetsTheTraceLevelThenPrintsBannerAndReport) {
    Capture out;
    Input in("");
    const char *argv[] = {"nodeprint", "-d4"};
    EXPECT_EQ(nodeprint::run(2, argv, in.file(), out.file(), FakeSysId), 0);
    EXPECT_EQ(g_lc_trace, 4);
    const std::string text = out.text();
    const std::string tail =
        "\nmodule version: " NIVRA_VERSION_TEXT "\n\n your system ID is \"001A2B3C\"\n\n";
    ASSERT_GT(text.size(), tail.size());
    EXPECT_EQ(text.rfind("nodeprint", 0), 0u);
    EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
    EXPECT_EQ(text.find('\n'), text.size() - tail.size());  // the first line is the banner line
    g_lc_trace = 0;
}

}  // namespace
