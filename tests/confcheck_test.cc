// confcheck: one table of small files with what each option prints and its
// exit status; errors with their line, the line and a note; the exit status
// of every mode; the dump loading back; standard input; the command line.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
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
         "z = 1\n[beta]\nb1 = y\nb2 = z\n[alpha]\nk = \"q tab\"\\t\"here \\\\ \xC3\xA9\"\n",
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
        {"origin: a comment line before each entry",
         {"--origin", "FILE"},
         "a = 1\n\n[s]\nb = \\\n  2\n",
         0,
         "# FILE:1\na = 1\n[s]\n# FILE:4\nb = 2\n",
         ""},
        {"origin: get, own entry",
         {"--origin", "--get", "s", "k", "FILE"},
         "k = top\n[s]\nk = own\n",
         0,
         "own\nFILE:3\n",
         ""},
        {"origin: get, from the environment",
         {"--origin", "--get", "ENV", "NIVRA_CC_VAR", "FILE"},
         "NIVRA_CC_VAR = own\n",
         0,
         "from-env\n<environment>\n",
         ""},
        {"lint: clean",
         {"--lint", "FILE"},
         "a = 1 # fine\n[s] # fine\nb = 'c:\\temp'\n"
         // Escapes that stand apart from the text after them are meant.
         "c = \"c:\\\\x\"\\t\"y\"\\n\nd = a:b\\t\\n\ne = x \\; y\n",
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
        {"lint: every control escape, each with its own words",
         {"--lint", "FILE"},
         "n = c:\\ntmp\nr = c:\\rtmp\nb = c:\\btmp\nt = c:\\temp\n",
         1,
         "FILE:1: warning: '\\n' in this unquoted value becomes a line feed (write \\\\ for a "
         "backslash, or quote the value)\n"
         "FILE:2: warning: '\\r' in this unquoted value becomes a carriage return (write \\\\ "
         "for a backslash, or quote the value)\n"
         "FILE:3: warning: '\\b' in this unquoted value becomes a backspace (write \\\\ for a "
         "backslash, or quote the value)\n"
         "FILE:4: warning: '\\t' in this unquoted value becomes a TAB (write \\\\ for a "
         "backslash, or quote the value)\n",
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
    // With --origin, each entry's FILE:LINE is a comment: the same context.
    const std::vector<std::string> commands[] = {{"FILE"}, {"--origin", "FILE"}};
    for (const char *text : texts) {
        for (const std::vector<std::string> &args : commands) {
            ASSERT_EQ(Run(args, text), 0) << text << err_;
            CONF_CTX *from_text = CONF_new();
            CONF_CTX *from_dump = CONF_new();
            EXPECT_EQ(CONF_load_buffer(from_text, text, std::strlen(text)), 0);
            EXPECT_EQ(CONF_load_buffer(from_dump, out_.data(), out_.size()), 0) << out_;
            EXPECT_EQ(Describe(from_dump), Describe(from_text)) << out_;
            CONF_free(from_text);
            CONF_free(from_dump);
        }
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
    // Outside layers, even the value an entry already had is an override.
    EXPECT_EQ(Run({"--lint", base, "-"}, "", "[s]\nk = 1\n"), 0);
    EXPECT_EQ(out_, "");
    // Standard input has no path: <stdin>:LINE, and null in JSON.
    EXPECT_EQ(Run({"--origin", "--get", "s", "k", base, "-"}, "", "[s]\n\nk = 2\n"), 0);
    EXPECT_EQ(out_, "2\n<stdin>:3\n");
    EXPECT_EQ(Run({"--origin", "--json", "-"}, "", "k = 2\n"), 0);
    EXPECT_EQ(out_,
              "{\n  \"default\": {\n    \"k\": {\"value\": \"2\", \"file\": null, \"line\": 1}\n  "
              "}\n}\n");
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
                  {{"-", "-"}, "can be read only once"},
                  {{"--layers"}, "--layers needs a list of directories"},
                  {{"--layers", "a::b", "x"}, "none of them empty"},
                  {{"--layers", "", "x"}, "none of them empty"},
                  {{"--layers", "a", "--layers", "b", "x"}, "only once"}};
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

// A tree like /etc/app over /run/app (missing) over /usr/lib/app with
// drop-ins, in a scratch directory shown as ROOT.
class ConfcheckLayers : public Confcheck {
  protected:
    void SetUp() override {
        Confcheck::SetUp();
        char pattern[] = "/tmp/nivra_cc_layers_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root_ = pattern;
        layers_ = root_ + "/etc/app:" + root_ + "/run/app:" + root_ + "/usr/lib/app";
        Put("usr/lib/app/app.conf",
            "# vendor\nname = app\n[server]\nport = 8080\nworkers = 4\nlog = /var/log/app.log\n");
        Put("usr/lib/app/app.conf.d/10-defaults.conf", "[server]\nworkers = 8\n");
        Put("usr/lib/app/app.conf.d/60-telemetry.conf", "[telemetry]\nenabled = yes\n");
        Put("etc/app/app.conf.d/50-local.conf", "[server]\nport = 9090\n");
        ASSERT_EQ(symlink("/dev/null", (root_ + "/etc/app/app.conf.d/60-telemetry.conf").c_str()),
                  0);
    }
    void TearDown() override { std::filesystem::remove_all(root_); }
    void Put(const std::string &rel, const std::string &bytes) {
        const std::filesystem::path path = root_ + "/" + rel;
        std::filesystem::create_directories(path.parent_path());
        std::FILE *f = std::fopen(path.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        std::fwrite(bytes.data(), 1, bytes.size(), f);
        std::fclose(f);
    }
    // Runs confcheck --layers over the tree with args.
    int RunLayers(std::vector<std::string> args) {
        args.insert(args.begin(), {"--layers", layers_});
        const int rc = Run(args);
        out_ = Replace(out_, root_, "ROOT");
        err_ = Replace(err_, root_, "ROOT");
        return rc;
    }
    std::string root_, layers_;
};

TEST_F(ConfcheckLayers, EveryModeShowsTheMergedFilesWithTheirOrigins) {
    Put("run/app/empty.conf.d/.keep", "");
    const Case cases[] = {
        {"dump: masked drop-in gone; a replaced entry moves to the end",
         {"app.conf"},
         "",
         0,
         "name = app\n[server]\nlog = /var/log/app.log\nworkers = 8\nport = 9090\n",
         ""},
        {"dump with origins",
         {"--origin", "app.conf"},
         "",
         0,
         "# ROOT/usr/lib/app/app.conf:2\nname = app\n[server]\n"
         "# ROOT/usr/lib/app/app.conf:6\nlog = /var/log/app.log\n"
         "# ROOT/usr/lib/app/app.conf.d/10-defaults.conf:2\nworkers = 8\n"
         "# ROOT/etc/app/app.conf.d/50-local.conf:2\nport = 9090\n",
         ""},
        {"get: from a drop-in",
         {"--origin", "--get", "server", "port", "app.conf"},
         "",
         0,
         "9090\nROOT/etc/app/app.conf.d/50-local.conf:2\n",
         ""},
        {"get: falls back to [default] of the main file",
         {"--origin", "--get", "server", "name", "app.conf"},
         "",
         0,
         "app\nROOT/usr/lib/app/app.conf:2\n",
         ""},
        {"json",
         {"--json", "--origin", "app.conf"},
         "",
         0,
         "{\n  \"default\": {\n    \"name\": {\"value\": \"app\", \"file\": "
         "\"ROOT/usr/lib/app/app.conf\", \"line\": 2}\n  },\n  \"server\": {\n"
         "    \"log\": {\"value\": \"/var/log/app.log\", \"file\": \"ROOT/usr/lib/app/app.conf\", "
         "\"line\": 6},\n"
         "    \"workers\": {\"value\": \"8\", \"file\": "
         "\"ROOT/usr/lib/app/app.conf.d/10-defaults.conf\", \"line\": 2},\n"
         "    \"port\": {\"value\": \"9090\", \"file\": \"ROOT/etc/app/app.conf.d/50-local.conf\", "
         "\"line\": 2}\n  }\n}\n",
         ""},
        {"a name with an empty drop-in directory alone", {"empty.conf"}, "", 0, "", ""},
        {"a name that no directory has",
         {"other.conf"},
         "",
         3,
         "",
         "confcheck: no directory has 'other.conf': none of ROOT/etc/app, ROOT/run/app, "
         "ROOT/usr/lib/app holds other.conf or other.conf.d\n"},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(RunLayers(c.args), c.status) << c.what;
        EXPECT_EQ(out_, c.out) << c.what;
        EXPECT_EQ(err_, c.err) << c.what;
    }
    // The same files as the library's layered load.
    ASSERT_EQ(RunLayers({"app.conf"}), 0);
    const std::string dirs[] = {root_ + "/etc/app", root_ + "/run/app", root_ + "/usr/lib/app"};
    const char *const dir_list[] = {dirs[0].c_str(), dirs[1].c_str(), dirs[2].c_str()};
    CONF_CTX *layered = CONF_new();
    CONF_CTX *from_dump = CONF_new();
    EXPECT_EQ(CONF_load_layered(layered, dir_list, 3, "app.conf"), 0);
    EXPECT_EQ(CONF_load_buffer(from_dump, out_.data(), out_.size()), 0);
    EXPECT_EQ(Describe(from_dump), Describe(layered));
    CONF_free(layered);
    CONF_free(from_dump);
}

TEST_F(ConfcheckLayers, LintWarnsOfOverridesWithNoEffectAndIgnoredFiles) {
    Put("etc/app/app.conf.d/20-same.conf",
        "[server]\nport = 9999\n\nlog = /var/log/app.log\nworkers = 6\nport = 8080\n");
    Put("etc/app/app.conf.d/50-local.conf.orig", "[server]\nport = 1\n");
    Put("etc/app/app.conf.d/.50-local.conf.swp", "x\n");  // hidden: not a drop-in
    std::filesystem::create_directories(root_ + "/usr/lib/app/app.conf.d/sub");
    EXPECT_EQ(RunLayers({"--lint", "app.conf"}), 1);
    EXPECT_EQ(out_,
              "ROOT/etc/app/app.conf.d/50-local.conf.orig: warning: this file is ignored: a "
              "drop-in directory's files are read only when their names end in '.conf'\n"
              "ROOT/etc/app/app.conf.d/20-same.conf:4: warning: 'log' in section [server] is set "
              "to the value it already had (from ROOT/usr/lib/app/app.conf:6); this override has "
              "no effect\n"
              "ROOT/etc/app/app.conf.d/20-same.conf:6: warning: 'port' is defined again in "
              "section [server]; its value from line 2 is lost\n");
    EXPECT_EQ(err_, "");
}

TEST_F(ConfcheckLayers, LintNamesWhatALinkToNothingOrADirectoryMasks) {
    ASSERT_EQ(symlink("missing.conf", (root_ + "/etc/app/app.conf").c_str()), 0);
    ASSERT_EQ(symlink("gone", (root_ + "/etc/app/app.conf.d/10-defaults.conf").c_str()), 0);
    Put("run/app/app.conf.d/10-defaults.conf", "[server]\nworkers = 2\n");
    std::filesystem::create_directories(root_ + "/run/app/app.conf.d/70-dir.conf");
    const std::string why =
        " (only a regular file loads; to mask a name on purpose, link it to /dev/null)\n";
    EXPECT_EQ(RunLayers({"--lint", "app.conf"}), 1);
    EXPECT_EQ(out_,
              "ROOT/etc/app/app.conf: warning: this dangling link masks ROOT/usr/lib/app/app.conf, "
              "which is not read" +
                  why +
                  "ROOT/etc/app/app.conf.d/10-defaults.conf: warning: this dangling link masks "
                  "ROOT/run/app/app.conf.d/10-defaults.conf and "
                  "ROOT/usr/lib/app/app.conf.d/10-defaults.conf, which are not read" +
                  why + "ROOT/run/app/app.conf.d/70-dir.conf: warning: this directory is not read" +
                  why);
    EXPECT_EQ(err_, "");
    // A link to /dev/null masks the main file on purpose: no warning.
    std::filesystem::remove(root_ + "/etc/app/app.conf");
    std::filesystem::remove(root_ + "/etc/app/app.conf.d/10-defaults.conf");
    std::filesystem::remove(root_ + "/run/app/app.conf.d/70-dir.conf");
    ASSERT_EQ(symlink("/dev/null", (root_ + "/etc/app/app.conf").c_str()), 0);
    EXPECT_EQ(RunLayers({"--lint", "app.conf"}), 0);
    EXPECT_EQ(out_ + err_, "");
    EXPECT_EQ(RunLayers({"app.conf"}), 0);
    EXPECT_EQ(out_, "[server]\nworkers = 2\nport = 9090\n");
}

TEST_F(ConfcheckLayers, OriginsOfAPathWithALineEndAndABackslashStayOnOneLine) {
    Put("odd\nname\\x/app.conf", "k = 1\n");
    layers_ = root_ + "/odd\nname\\x";
    EXPECT_EQ(RunLayers({"--origin", "app.conf"}), 0) << err_;
    EXPECT_EQ(out_, "# ROOT/odd\\x0Aname\\x5Cx/app.conf:1\nk = 1\n");
    CONF_CTX *ctx = CONF_new();
    EXPECT_EQ(CONF_load_buffer(ctx, out_.data(), out_.size()), 0);
    EXPECT_STREQ(CONF_get_string(ctx, nullptr, "k"), "1");
    CONF_free(ctx);
    EXPECT_EQ(RunLayers({"--origin", "--get", "default", "k", "app.conf"}), 0);
    EXPECT_EQ(out_, "1\nROOT/odd\\x0Aname\\x5Cx/app.conf:1\n");
}

TEST_F(ConfcheckLayers, FailuresNameTheFileOrTheName) {
    Put("run/app/app.conf.d/30-bad.conf", "[server]\n\nbroken line\n");
    EXPECT_EQ(RunLayers({"--origin", "app.conf"}), 3);
    EXPECT_EQ(out_, "");
    EXPECT_EQ(err_,
              "ROOT/run/app/app.conf.d/30-bad.conf:3: missing equal sign\n    broken line\n"
              "ROOT/run/app/app.conf.d/30-bad.conf:3: note: a name cannot hold blanks; it ends "
              "before them (escape a blank with a backslash)\n");
    std::filesystem::remove(root_ + "/run/app/app.conf.d/30-bad.conf");
    std::filesystem::remove(root_ + "/run/app/app.conf.d");
    std::filesystem::create_symlink("app.conf.d", root_ + "/run/app/app.conf.d");  // a loop
    EXPECT_EQ(RunLayers({"app.conf"}), 3);
    EXPECT_EQ(err_.rfind("ROOT/run/app/app.conf.d: unable to open configuration file\n", 0), 0u)
        << err_;
    for (const char *name : {"app.conf/x", "/etc/app.conf", "", ".", ".."}) {
        EXPECT_EQ(RunLayers({"other.conf", name}), 3) << name;
        EXPECT_EQ(out_, "") << name;
        EXPECT_EQ(err_, "confcheck: '" + std::string(name) +
                            "' is not a file name: with --layers, each FILE is the name of a file "
                            "to look up in the directories (not empty, '.' or '..', and without "
                            "'/')\n")
            << name;
    }
}

TEST_F(ConfcheckLayers, CompareTakesTwoNamesInTheLayers) {
    Put("etc/app/next.conf", "name = app\n[server]\nport = 9090\nworkers = 8\n");
    Put("usr/lib/app/next.conf.d/70-new.conf", "[server]\nlog = /var/log/next.log\n");
    EXPECT_EQ(RunLayers({"--compare", "app.conf", "next.conf"}), 1);
    EXPECT_EQ(out_,
              "~ [server] log: /var/log/app.log -> /var/log/next.log  "
              "(ROOT/usr/lib/app/next.conf.d/70-new.conf:2)\n");
    EXPECT_EQ(RunLayers({"--compare", "app.conf", "app.conf"}), 0);
    EXPECT_EQ(out_, "");
}

TEST_F(Confcheck, CompareTellsWhatChangedAsTheLiveConfigurationDoes) {
    const std::string old_text = "a = 1\n[s]\nk = same\nx = gone\nv = old\n";
    const Case cases[] = {
        {"equal", {"--compare", "FILE", "-"}, old_text, 0, "", ""},
        {"the same value from another place is no change",
         {"--compare", "FILE", "-"},
         old_text,
         0,
         "",
         ""},
        {"every kind, by section and name",
         {"--compare", "FILE", "-"},
         old_text,
         1,
         "- [default] a\n+ [s] n = new  (<stdin>:4)\n~ [s] v: old -> 2  (<stdin>:3)\n- [s] x\n",
         ""},
        {"one side only",
         {"--compare", "FILE"},
         old_text,
         2,
         "",
         "confcheck: --compare takes an OLD and a NEW file and no other mode\n"
         "Try 'confcheck --help'.\n"},
        {"with another mode",
         {"--compare", "--json", "FILE", "-"},
         old_text,
         2,
         "",
         "confcheck: --compare takes an OLD and a NEW file and no other mode\n"
         "Try 'confcheck --help'.\n"},
        {"a side that does not load",
         {"--compare", "FILE", "-"},
         old_text,
         3,
         "",
         "<stdin>:1: missing close square bracket\n"},
    };
    const std::string new_texts[] = {old_text,
                                     "[s]\n\nk = same\nv = old\nx = gone\n[default]\na = 1\n",
                                     "[s]\nk = same\nv = 2\nn = new\n",
                                     "",
                                     "",
                                     "[s\n"};
    for (size_t i = 0; i < std::size(cases); ++i) {
        const Case &c = cases[i];
        SCOPED_TRACE(c.what);
        EXPECT_EQ(Run(c.args, c.text, new_texts[i]), c.status);
        EXPECT_EQ(out_, c.out);
        // A load's report goes on with a note; its first line is what counts.
        EXPECT_EQ(err_.substr(0, c.err.size()), c.err);
    }
}

}  // namespace

namespace {

// confcheck with a schema: "SCHEMA" in args stands for a file holding the
// schema text, shown as SCHEMA.
class ConfcheckSchema : public Confcheck {
  protected:
    int RunSchema(std::vector<std::string> args, const std::string &schema,
                  const std::string &text = "") {
        const std::string path = files_.Write(schema);
        for (std::string &a : args) {
            if (a == "SCHEMA") a = path;
        }
        const int rc = Run(args, text);
        out_ = Replace(out_, path, "SCHEMA");
        err_ = Replace(err_, path, "SCHEMA");
        return rc;
    }
};

constexpr char kSchema[] =
    "[server]\n# The port.\nport = int 1..65535 = 8080\nname = string required\n"
    "mode = enum fast safe = safe\n";

TEST_F(ConfcheckSchema, FindingsAsLinesJsonAndWithLint) {
    const Case cases[] = {
        {"clean", {"--schema", "SCHEMA", "FILE"}, "[server]\nname = x\n", 0, "", ""},
        {"findings, the missing key without a line",
         {"--schema", "SCHEMA", "FILE"},
         "[server]\nprot = 1\nport = 0\n",
         1,
         "FILE:2: warning: unknown key 'prot' in [server]; did you mean 'port'?\n"
         "FILE:3: error: 0 is out of range 1..65535 (server port)\n"
         "FILE: error: [server] name is required\n",
         ""},
        {"json",
         {"--json", "--schema", "SCHEMA", "FILE"},
         "[server]\nname = x\nmode = fsat\n",
         1,
         "[\n  {\"file\": \"FILE\", \"line\": 3, \"section\": \"server\", \"name\": \"mode\", "
         "\"value\": \"fsat\", \"kind\": \"not a choice\", \"severity\": \"error\", \"message\": "
         "\"'fsat' is not one of fast, safe; did you mean 'fast'?\", \"suggestion\": "
         "\"fast\"}\n]\n",
         ""},
        {"json, none",
         {"--schema", "SCHEMA", "--json", "FILE"},
         "[server]\nname = x\n",
         0,
         "[]\n",
         ""},
        {"lint and schema",
         {"--lint", "--schema", "SCHEMA", "FILE"},
         "[server]\nname = x\nname = y\n",
         1,
         "FILE:3: warning: 'name' is defined again in section [server]; its value from line 2 is "
         "lost\n",
         ""},
        {"the file does not load",
         {"--schema", "SCHEMA", "FILE"},
         "[server\n",
         3,
         "",
         "FILE:1: missing close square bracket\n"},
        {"--get does not go with it",
         {"--schema", "SCHEMA", "--get", "s", "n", "FILE"},
         "",
         2,
         "",
         "confcheck: --schema does not go with --get or --origin\nTry 'confcheck --help'.\n"},
        {"--sample needs --schema",
         {"--sample"},
         "",
         2,
         "",
         "confcheck: --sample needs --schema\nTry 'confcheck --help'.\n"},
        {"--sample takes no file",
         {"--schema", "SCHEMA", "--sample", "FILE"},
         "",
         2,
         "",
         "confcheck: --sample goes with --schema alone\nTry 'confcheck --help'.\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(RunSchema(c.args, kSchema, c.text), c.status);
        EXPECT_EQ(out_, c.out);
        // A load's report goes on with the line and a note: its start is enough.
        EXPECT_EQ(c.status == 3 ? err_.substr(0, c.err.size()) : err_, c.err);
    }
}

TEST_F(ConfcheckSchema, SchemaThatDoesNotLoadAndTheSample) {
    EXPECT_EQ(RunSchema({"--schema", "SCHEMA", "FILE"}, "[s]\nport = integer\n", ""), 3);
    EXPECT_EQ(err_, "SCHEMA:2: error: [s] port: unknown type 'integer'\n");
    EXPECT_EQ(RunSchema({"--schema", "SCHEMA", "FILE"}, "[s\n", ""), 3);
    EXPECT_EQ(err_, "SCHEMA:1: error: missing close square bracket\n");
    EXPECT_EQ(Run({"--schema", "/nonexistent/schema", "--sample"}), 3);
    EXPECT_EQ(err_.rfind("/nonexistent/schema: unable to open configuration file\n", 0), 0U);

    ASSERT_EQ(RunSchema({"--schema", "SCHEMA", "--sample"}, kSchema), 0);
    EXPECT_EQ(out_,
              "[server]\n\n# The port.\n# int 1..65535; default 8080\n# port = 8080\n\n"
              "# string; required\nname =\n\n# enum fast, safe; default safe\n# mode = safe\n");
    const std::string sample = out_;
    EXPECT_EQ(RunSchema({"--schema", "SCHEMA", "FILE"}, kSchema, sample), 0) << out_;
}

}  // namespace

namespace {

// --schema with --layers: each finding names the layer that set the value,
// a missing key the file loaded last.
TEST_F(ConfcheckLayers, SchemaFindingsNameTheirLayer) {
    Put("schema",
        "name = string\n[server]\nport = int 1..9000\nworkers = int 1..4\nlog = string\n"
        "user = string required\n");
    const std::string schema = root_ + "/schema";
    EXPECT_EQ(RunLayers({"--schema", schema, "app.conf"}), 1);
    EXPECT_EQ(out_,
              "ROOT/usr/lib/app/app.conf.d/10-defaults.conf:2: error: 8 is out of range 1..4 "
              "(server workers)\n"
              "ROOT/etc/app/app.conf.d/50-local.conf:2: error: 9090 is out of range 1..9000 "
              "(server port)\n"
              "ROOT/etc/app/app.conf.d/50-local.conf: error: [server] user is required\n");
}

}  // namespace
