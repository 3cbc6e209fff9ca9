// confcheck: one table of small files with what each option prints and its
// exit status; errors with their line, the line and a note; the exit status
// of every mode; the dump loading back; standard input; the command line.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "capture.h"
#include "conf_describe.h"
#include "confcheck.h"
#include "temp_files.h"

namespace {

class Confcheck : public ::testing::Test {
  protected:
    void SetUp() override {
        setenv("NIVRA_CC_VAR", "from-env", 1);
        unsetenv("NIVRA_CC_UNSET");
    }
    // Runs confcheck with args, where "FILE" stands for a file holding text
    // and "-" reads stdin_text; fills out_ and err_ (with that file's path
    // shown as FILE).
    int Run(std::vector<std::string> args, const std::string &text = "",
            const std::string &stdin_text = "") {
        const std::string path = files_.Write(text);
        std::vector<const char *> argv{"confcheck"};
        for (std::string &a : args) {
            if (a == "FILE") a = path;
            argv.push_back(a.c_str());
        }
        std::string in_bytes = stdin_text;
        std::FILE *in = fmemopen(in_bytes.data(), in_bytes.size() + 1, "r");
        Capture out, err;
        const int rc =
            confcheck::run(static_cast<int>(argv.size()), argv.data(), in, out.file(), err.file());
        std::fclose(in);
        out_ = Replace(out.text(), path, "FILE");
        err_ = Replace(err.text(), path, "FILE");
        return rc;
    }
    static std::string Replace(std::string s, const std::string &from, const std::string &to) {
        for (size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size()))
            s.replace(at, from.size(), to);
        return s;
    }
    TempFiles files_;
    std::string out_, err_;
};

struct Case {
    const char *what;
    std::vector<std::string> args;
    std::string text;
    int status;
    std::string out, err;
};

TEST_F(Confcheck, EachOptionOnSmallFiles) {
    const Case cases[] = {
        {"dump: a file; default without a header, sections in order of birth",
         {"FILE"},
         "z = 1\n[beta]\nb2 = x\nb1 = y\n[alpha]\nk = 'q' tab\\there \\\\ \xC3\xA9\n[beta]\nb2 = "
         "z\n",
         0,
         "z = 1\n[beta]\nb1 = y\nb2 = z\n[alpha]\nk = q tab\\there \\\\ \xC3\xA9\n",
         ""},
        {"get: own entry", {"--get", "s", "k", "FILE"}, "k = top\n[s]\nk = own\n", 0, "own\n", ""},
        {"get: falls back to default",
         {"--get", "s", "k", "FILE"},
         "k = top\n[s]\n",
         0,
         "top\n",
         ""},
        {"get: ENV", {"--get", "ENV", "NIVRA_CC_VAR", "FILE"}, "", 0, "from-env\n", ""},
        {"get: the empty section", {"--get", "", "e", "FILE"}, "[]\ne = empty\n", 0, "empty\n", ""},
        {"get: raw bytes", {"--get", "default", "t", "FILE"}, "t = a\\tb\n", 0, "a\tb\n", ""},
        {"get: nothing", {"--get", "s", "NIVRA_CC_UNSET", "FILE"}, "[s]\n", 1, "", ""},
        {"json",
         {"--json", "FILE"},
         "a = 1\n[s]\nq = \"x\\\"y\"\n[e]\n",
         0,
         "{\n  \"default\": {\n    \"a\": \"1\"\n  },\n  \"s\": {\n    \"q\": \"x\\\"y\"\n  },\n"
         "  \"e\": {}\n}\n",
         ""},
        {"json: bytes that are not UTF-8",
         {"--json", "FILE"},
         "k = \xC3\xA9\xFF\\t\n",
         0,
         "{\n  \"default\": {\n    \"k\": \"\xC3\xA9\\udcff\\t\"\n  }\n}\n",
         ""},
        {"lint: clean",
         {"--lint", "FILE"},
         "a = 1 # fine\n[s] # fine\nb = 'c:\\temp'\n",
         0,
         "",
         ""},
        {"lint: every warning",
         {"--lint", "FILE"},
         "[Unit] trailing\nAfter = a\nurl = http://h/#frag\npath = c:\\temp\n;x = 1\n"
         "q = 'open\nAfter = b\n",
         1,
         "FILE:1: warning: the text after ']' is ignored\n"
         "FILE:3: warning: '#' starts a comment inside this value and the rest of the line is "
         "ignored (write \\# for the character, or quote the value)\n"
         "FILE:4: warning: '\\t' in this unquoted value becomes a TAB (write \\\\ for a "
         "backslash, or quote the value)\n"
         "FILE:5: warning: this name begins with ';', which does not start a comment here "
         "(comments begin with '#')\n"
         "FILE:6: warning: a quote in this value is never closed; it runs to the end of the line\n"
         "FILE:7: warning: 'After' is defined again in section [Unit]; its value from line 2 is "
         "lost\n",
         ""},
        {"lint: a comment that ends in a backslash swallows the next line",
         {"--lint", "FILE"},
         "# files go to C:\\data\\\nport = 80\nhost = h\n",
         1,
         "FILE:1: warning: this comment ends in a backslash, which continues it onto line 2: "
         "that line is not read (end the comment with another character)\n",
         ""},
        {"lint: a value's comment swallows two lines",
         {"--lint", "FILE"},
         "a = 1 # c:\\\nb = \\\nc\nd = 2\n",
         1,
         "FILE:1: warning: this comment ends in a backslash, which continues it onto lines 2 to "
         "3: those lines are not read (end the comment with another character)\n",
         ""},
        {"lint: ';' after a blank in a value",
         {"--lint", "FILE"},
         "key = 30 ; seconds\nurl = a;b\nq = 'x ; y'\n",
         1,
         "FILE:1: warning: ';' does not start a comment here and is part of the value (comments "
         "begin with '#')\n",
         ""},
        {"error: the line and its text",
         {"FILE"},
         "# fine\n\n[s]\nbroken line\n",
         3,
         "",
         "FILE:4: missing equal sign\n    broken line\n"
         "FILE:4: note: a name cannot hold blanks; it ends before them (escape a blank with a "
         "backslash)\n"},
        {"error: a byte that ends a name",
         {"--lint", "FILE"},
         "Name[ca]=Vim\n",
         3,
         "",
         "FILE:1: missing equal sign\n    Name[ca]=Vim\n"
         "FILE:1: note: '[' cannot be part of a name, which ends before it (escape it with a "
         "backslash)\n"},
        {"error: a quote in a header",
         {"--json", "FILE"},
         "[credential \"https://x\"]\n",
         3,
         "",
         "FILE:1: missing close square bracket\n    [credential \"https://x\"]\n"
         "FILE:1: note: '\"' cannot be part of a section name (escape it with a backslash)\n"},
        {"error: a ';' comment line",
         {"FILE"},
         "; comment\n",
         3,
         "",
         "FILE:1: missing equal sign\n    ; comment\n"
         "FILE:1: note: a line that begins with ';' is not a comment here (comments begin with "
         "'#')\n"},
        {"error: no note where the text says it all",
         {"FILE"},
         "a = ${b\n",
         3,
         "",
         "FILE:1: no close brace\n    a = ${b\n"},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(Run(c.args, c.text), c.status) << c.what;
        EXPECT_EQ(out_, c.out) << c.what;
        EXPECT_EQ(err_, c.err) << c.what;
    }
}

TEST_F(Confcheck, NotesSayWhichVariableHasNoValueAndHowToWriteWhatWasMeant) {
    const std::string literal =
        "; for the character '$' itself, write \\$ or put the value in single quotes";
    const std::string no_entry = "' is defined before this line in this section or in [default]";
    const struct {
        const char *line;
        std::string note;
    } cases[] = {
        {"a = ${nope}/x", "'${nope}' has no value: no entry 'nope" + no_entry},
        {"a = $(s::n)",
         "'$(s::n)' has no value: no entry 'n' is defined before this line in [s] "
         "or in [default]"},
        {"a = $ENV::NIVRA_CC_UNSET",
         "'$ENV::NIVRA_CC_UNSET' has no value: the environment variable 'NIVRA_CC_UNSET' is not "
         "set, and no entry 'NIVRA_CC_UNSET' is defined before this line in [ENV] or in "
         "[default]"},
        {"price = $5", "'$5' has no value: no entry '5" + no_entry + literal},
        {"pass = pa$word", "'$word' has no value: no entry 'word" + no_entry + literal},
        {"a = 5 $", "no variable name follows this '$'" + literal},
        {"a = $$x", "no variable name follows this '$'" + literal},
        {"a = $ x", "no variable name follows this '$'" + literal},
        {"a :: b = 1",
         "a section qualifier is written with no blanks around '::' (section::name "
         "= value)"},
        {"a:: b = 1",
         "a section qualifier is written with no blanks around '::' (section::name "
         "= value)"},
        {"a ::b = 1",
         "a section qualifier is written with no blanks around '::' (section::name "
         "= value)"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(Run({"FILE"}, std::string(c.line) + "\n"), 3) << c.line;
        const size_t note = err_.find("FILE:1: note: ");
        ASSERT_NE(note, std::string::npos) << err_;
        EXPECT_EQ(err_.substr(note), "FILE:1: note: " + c.note + "\n") << c.line;
        EXPECT_EQ(err_.find(std::string("\n    ") + c.line + "\n"), err_.find('\n')) << err_;
    }
}

TEST_F(Confcheck, ExitStatusIsTheSameInEveryMode) {
    const std::vector<std::string> modes[] = {{}, {"--get", "s", "k"}, {"--json"}, {"--lint"}};
    for (const std::vector<std::string> &mode : modes) {
        const std::string what = mode.empty() ? "dump" : mode[0];
        auto with = [&mode](const std::string &file) {
            std::vector<std::string> args = mode;
            args.push_back(file);
            return args;
        };
        EXPECT_EQ(Run(with("FILE"), "k = 1\n[s]\nk = 2\n"), 0) << what;
        EXPECT_EQ(Run(with("FILE"), "[s]\nk = $nope\n"), 3) << what << ": does not load";
        EXPECT_EQ(out_, "") << what;
        EXPECT_EQ(Run(with("/nonexistent/x.conf")), 3) << what << ": cannot be opened";
        EXPECT_EQ(Run(with(files_.dir())), 3) << what << ": cannot be read";
    }
    EXPECT_EQ(Run({"--get", "s", "none", "FILE"}, "[s]\nk = 2\n"), 1);
    EXPECT_EQ(Run({"--lint", "FILE"}, "k = 1\nk = 2\n"), 1);
    EXPECT_EQ(Run({"--lint"}), 2);
}

TEST_F(Confcheck, TheDumpLoadsBackToTheSameContext) {
    const char *texts[] = {
        "q = '$x \\ \" # ; x' \"it's\" `$`\n",
        "t = \\ \\ lead\\ttab\\nlf\\rcr\\b end\\ \\ \n[s]\nbs = \\\\ x\\\\\n",
        "[s p\\ c]\nk = 1\n[empty]\n[]\n= e\n[x]\ndefault::late = 2\n",
        "h = caf\xC3\xA9 \xFF\x01 ;x\n;n = semicolon name\nv = ` q `\n",
        "x = 1\ny = $x${x}\nz = \"  two  \"\ne = ${ENV::NIVRA_CC_VAR}\n[ENV]\nPATH = own\n",
    };
    for (const char *text : texts) {
        ASSERT_EQ(Run({"FILE"}, text), 0) << text << err_;
        CONF_CTX *from_text = CONF_new();
        CONF_CTX *from_dump = CONF_new();
        EXPECT_EQ(CONF_load_buffer(from_text, text, std::strlen(text)), 0);
        EXPECT_EQ(CONF_load_buffer(from_dump, out_.data(), out_.size()), 0) << out_;
        EXPECT_EQ(Describe(from_dump), Describe(from_text)) << out_;
        CONF_free(from_text);
        CONF_free(from_dump);
    }
}

TEST_F(Confcheck, LongLinesAreCutAndOpenFailuresGiveTheSystemsReason) {
    EXPECT_EQ(Run({"FILE"}, std::string(300, 'x') + "\n"), 3);
    EXPECT_EQ(err_, "FILE:1: missing equal sign\n    " + std::string(160, 'x') + "...\n");
    EXPECT_EQ(Run({"/nonexistent/x.conf"}), 3);
    EXPECT_EQ(err_,
              "/nonexistent/x.conf: unable to open configuration file\n"
              "/nonexistent/x.conf: note: No such file or directory\n");
    EXPECT_EQ(Run({files_.dir()}), 3);
    EXPECT_EQ(Replace(err_, files_.dir(), "DIR"),
              "DIR: error reading configuration file\nDIR: note: is a directory\n");
}

TEST_F(Confcheck, LaterFilesOverrideWithoutWarningAndStopAtTheFirstFailure) {
    const std::string base = files_.Write("[s]\nk = 1\n");
    EXPECT_EQ(Run({"--lint", base, "-"}, "", "[s]\nk = 2\n"), 0);
    EXPECT_EQ(out_, "");
    EXPECT_EQ(Run({"--get", "s", "k", base, "-"}, "", "[s]\nk = 2\n"), 0);
    EXPECT_EQ(out_, "2\n");
    EXPECT_EQ(Run({"-", base}, "", "[s]\nbad\n"), 3);
    EXPECT_EQ(err_, "<stdin>:2: missing equal sign\n    bad\n");
}

TEST_F(Confcheck, AnswersHelpAndVersionAndRejectsMisuse) {
    EXPECT_EQ(Run({"--help"}), 0);
    EXPECT_EQ(out_.rfind("Usage: confcheck", 0), 0u);
    EXPECT_EQ(Run({"--version"}), 0);
    EXPECT_EQ(out_, "confcheck (Nivra support kit) " NIVRA_VERSION_TEXT "\n");
    const struct {
        std::vector<std::string> args;
        const char *message;
    } misuse[] = {{{}, "no configuration file"},
                  {{"--bogus", "FILE"}, "unknown option '--bogus'"},
                  {{"--get", "s"}, "--get needs a SECTION and a NAME"},
                  {{"--json", "--lint", "FILE"}, "go alone"},
                  {{"-", "-"}, "can be read only once"}};
    for (const auto &m : misuse) {
        EXPECT_EQ(Run(m.args), 2) << m.message;
        EXPECT_NE(err_.find(m.message), std::string::npos) << err_;
    }
    EXPECT_EQ(Run({"--", "FILE"}, "k = v\n"), 0);
    EXPECT_EQ(out_, "k = v\n");
}

TEST_F(Confcheck, TheFormatGuideExampleLoads) {
    // The example at the top of docs/config-format.md.
    setenv("HOME", "/home/op", 1);
    const std::string text =
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
        "paths::cache = $paths::data/cache  # an entry placed in another section\n";
    EXPECT_EQ(Run({"FILE"}, text), 0) << err_;
    EXPECT_EQ(out_,
              "log_level = 2\n"
              "[paths]\nhome = /home/op/service\ndata = /home/op/service/data\n"
              "banner = Welcome to  \\\"nivra\\\"\ncache = /home/op/service/data/cache\n"
              "[limits]\nmax_clients = 64\n");
    EXPECT_EQ(Run({"--lint", "FILE"}, text), 0) << out_;
}

}  // namespace
