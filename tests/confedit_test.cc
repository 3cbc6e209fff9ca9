// confedit: each operation and several at once, written once or not at all;
// --diff, --dry-run and standard input; every exit status with its report;
// another writer between read and save; and the diff itself against a
// brute-force longest common subsequence on random texts.
#include <gtest/gtest.h>

#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "capture.h"
#include "confedit.h"
#include "line_diff.h"
#include "scratch_files.h"
#include "temp_files.h"

namespace {

std::string ReadFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

class ConfEdit : public ::testing::Test {
  protected:
    // Runs confedit with args, where "FILE" stands for a file holding text
    // and "-" reads stdin_text; fills out_ and err_ (with the file's path
    // shown as FILE) and file_ with the file's bytes afterwards.
    int Run(std::vector<std::string> args, const std::string &text = "",
            const std::string &stdin_text = "", const confedit::Hooks *hooks = nullptr) {
        path_ = files_.Write(text);
        std::vector<const char *> argv{"confedit"};
        for (std::string &a : args) {
            if (a == "FILE") a = path_;
            argv.push_back(a.c_str());
        }
        std::FILE *in = std::tmpfile();
        std::fwrite(stdin_text.data(), 1, stdin_text.size(), in);
        std::rewind(in);
        Capture out, err;
        const int rc = confedit::run(static_cast<int>(argv.size()), argv.data(), in, out.file(),
                                     err.file(), hooks);
        std::fclose(in);
        out_ = Shown(out.text());
        err_ = Shown(err.text());
        file_ = ReadFile(path_);
        return rc;
    }
    std::string Shown(std::string s) const {
        for (size_t at = s.find(path_); at != std::string::npos; at = s.find(path_, at + 4))
            s.replace(at, path_.size(), "FILE");
        return s;
    }
    TempFiles files_;
    std::string path_, out_, err_, file_;
};

TEST_F(ConfEdit, EachOperationAndSeveralAtOnce) {
    const struct {
        std::vector<std::string> args;
        const char *before, *after;
    } cases[] = {
        {{"--set", "net", "port", "8080"},
         "# c\n[net]\nport = 80  # http\nhost = a\n",
         "# c\n[net]\nport = 8080  # http\nhost = a\n"},
        {{"--set", "new", "k", "cost: $5"}, "a = 1\n", "a = 1\n\n[new]\nk = cost: \\$5\n"},
        {{"--set-raw", "default", "b", "${a}/x"}, "a = 1\n", "a = 1\nb = ${a}/x\n"},
        {{"--set", "odd ", "n", "v"}, "a = 1\n", "a = 1\n\n[odd\\ ]\nn = v\n"},
        {{"--unset", "s", "k"}, "[s]\nk = 1\nj = 2\nk = 3\n[t]\ns::k = 4\n", "[s]\nj = 2\n[t]\n"},
        {{"--remove-section", "old"},
         "a = 1\n[old]\n# c\nx = 1\n[keep]\ny = 2\n",
         "a = 1\n[keep]\ny = 2\n"},
        {{"--set", "s", "k", "1", "--set", "s", "k", "2", "--unset", "default", "a",
          "--remove-section", "t", "--set-raw", "s", "r", "$k"},
         "a = 0\n[s]\nk = 0\n[t]\nz = 1\n",
         "[s]\nk = 2\nr = $k\n"},
    };
    for (const auto &c : cases) {
        std::vector<std::string> args{"FILE"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        EXPECT_EQ(Run(args, c.before), 0) << c.args[0] << err_;
        EXPECT_EQ(file_, c.after) << c.args[0];
        EXPECT_EQ(out_ + err_, "") << c.args[0];
    }
}

// Another writer that changes the file before each of the first `left`
// saves.
struct OtherWriter {
    const std::string *path;
    int left;
    int calls = 0;
    static void Change(void *arg) {
        auto *w = static_cast<OtherWriter *>(arg);
        ++w->calls;
        if (w->left-- <= 0) return;
        std::ofstream(*w->path, std::ios::app) << "other" << w->calls << " = 1\n";
    }
};

TEST_F(ConfEdit, WritesOnceOrNotAtAll) {
    const std::string text = "[s]\nk = 0\n";
    // A later operation that fails leaves the file as it was.
    EXPECT_EQ(Run({"FILE", "--set", "s", "k", "1", "--set", "s", "a b", "2"}, text), 2);
    EXPECT_EQ(file_, text);
    EXPECT_EQ(err_, "confedit: --set: the name 'a b' cannot be written as an entry's name\n");
    // A result that does not load is refused with confcheck's report.
    EXPECT_EQ(Run({"FILE", "--set", "s", "k", "1", "--set-raw", "s", "r", "$nope"}, text), 1);
    EXPECT_EQ(file_, text);
    // The line is the operation's, which wrote it.
    EXPECT_EQ(err_,
              "FILE: --set-raw s r: variable has no value\n    r = $nope\nFILE: --set-raw s r: "
              "note: '$nope' has no value: no entry 'nope' is defined before this line in this "
              "section or in [default]\n");
    // A result equal to the file is not saved.
    OtherWriter none{&path_, 0};
    const confedit::Hooks hooks{OtherWriter::Change, &none};
    EXPECT_EQ(Run({"--verbose", "FILE", "--set", "s", "k", "0"}, text, "", &hooks), 0);
    EXPECT_EQ(none.calls, 0);
    EXPECT_EQ(err_, "unchanged\n");
    ASSERT_EQ(Run({"--verbose", "FILE", "--set", "s", "k", "1"}, text), 0);
    EXPECT_EQ(err_, "changed\n");
}

TEST_F(ConfEdit, ALineIsShownAsTheFilesOrAsTheOperationsThatWroteIt) {
    const struct {
        std::vector<std::string> ops;
        const char *text, *first_line;
    } cases[] = {
        {{"--unset", "p", "old", "--unset", "p", "home"},
         "[p]\nhome = /srv\nold = 1\nx = 2\ndata = $home/d\n",
         "FILE:5: variable has no value"},
        {{"--set", "p", "n", "1", "--unset", "default", "a"},
         "a = 1\n[p]\nb = 1 \\\n  2\nc = $a\n",
         "FILE:5: variable has no value"},
        {{"--unset", "p", "x", "--set-raw", "p", "x", "${nope"},
         "[p]\nx = 1\n",
         "FILE: --set-raw p x: no close brace"},
        {{"--set", "p\tq", "n", "1", "--set-raw", "p\tq", "m", "$n$n2"},
         "",
         "FILE: --set-raw p\\x09q m: variable has no value"},
    };
    for (const auto &c : cases) {
        std::vector<std::string> args{"FILE"};
        args.insert(args.end(), c.ops.begin(), c.ops.end());
        EXPECT_EQ(Run(args, c.text), 1) << c.first_line;
        EXPECT_EQ(err_.substr(0, err_.find('\n')), c.first_line) << err_;
        EXPECT_EQ(file_, c.text);
    }
}

TEST_F(ConfEdit, AReferenceThatHadNoValueBeforeTheEditIsAWarning) {
    ASSERT_EQ(unsetenv("NIVRA_EDIT_ROOT"), 0);
    const std::string text = "root = ${ENV::NIVRA_EDIT_ROOT}\n[paths]\nport = 1\n";
    EXPECT_EQ(Run({"FILE", "--set", "paths", "port", "2"}, text), 0) << err_;
    EXPECT_EQ(file_, "root = ${ENV::NIVRA_EDIT_ROOT}\n[paths]\nport = 2\n");
    EXPECT_EQ(err_,
              "FILE:1: warning: variable has no value\n    root = ${ENV::NIVRA_EDIT_ROOT}\n"
              "FILE:1: note: '${ENV::NIVRA_EDIT_ROOT}' has no value: the environment variable "
              "'NIVRA_EDIT_ROOT' is not set, and no entry 'NIVRA_EDIT_ROOT' is defined before this "
              "line in [ENV] or in [default]\nFILE:1: note: it did not expand before these edits "
              "either; written as it is\n");
    EXPECT_EQ(Run({"-", "--unset", "paths", "port"}, "", text), 0);
    EXPECT_EQ(out_, "root = ${ENV::NIVRA_EDIT_ROOT}\n[paths]\n");
    // What the edits break, or write, is refused all the same.
    EXPECT_EQ(Run({"FILE", "--set-raw", "paths", "p", "$root/$port2"}, text), 1);
    EXPECT_EQ(err_.substr(0, err_.find('\n')), "FILE: --set-raw paths p: variable has no value");
    EXPECT_EQ(Run({"FILE", "--set-raw", "default", "root", "${ENV::NIVRA_EDIT_ROOT}/x"}, text), 1);
    EXPECT_EQ(file_, text);
    // A definition whose first line an operation wrote is the operation's,
    // though the line that continues it was read.
    const std::string continued = "root = ${ENV::NIVRA_EDIT_ROOT} \\\n  # the service's\n";
    EXPECT_EQ(Run({"FILE", "--set-raw", "default", "root", "${ENV::NIVRA_EDIT_ROOT}/x"}, continued),
              1);
    EXPECT_EQ(err_.substr(0, err_.find('\n')),
              "FILE: --set-raw default root: variable has no value");
}

TEST_F(ConfEdit, DiffAndDryRunWriteNothing) {
    const std::string text = "# top\nlog = 1\n\n[net]\nport = 80  # http\nhost = a\nuser = u\n";
    EXPECT_EQ(Run({"--diff", "--verbose", "FILE", "--set", "net", "port", "8080"}, text), 0);
    EXPECT_EQ(out_,
              "--- FILE\n+++ FILE\n@@ -2,6 +2,6 @@\n log = 1\n \n [net]\n-port = 80  # http\n"
              "+port = 8080  # http\n host = a\n user = u\n");
    EXPECT_EQ(err_, "would change\n");
    EXPECT_EQ(file_, text);
    EXPECT_EQ(Run({"--diff", "FILE", "--unset", "net", "none"}, text), 0);
    EXPECT_EQ(out_, "");
    EXPECT_EQ(Run({"--dry-run", "--verbose", "FILE", "--remove-section", "net"}, text), 0);
    EXPECT_EQ(out_ + err_, "would change\n");
    EXPECT_EQ(file_, text);
    EXPECT_EQ(Run({"--dry-run", "FILE", "--set-raw", "net", "x", "$nope"}, text), 1);
    EXPECT_NE(err_.find("FILE: --set-raw net x: variable has no value"), std::string::npos) << err_;
}

TEST_F(ConfEdit, FiltersStandardInputToStandardOutput) {
    const std::string text = "a = 1\r\n[s]\r\nk = v\r\n";
    EXPECT_EQ(Run({"--verbose", "-", "--set", "s", "k", "w"}, "", text), 0);
    EXPECT_EQ(out_, "a = 1\r\n[s]\r\nk = w\r\n");
    EXPECT_EQ(err_, "changed\n");
    EXPECT_EQ(Run({"-", "--unset", "s", "none"}, "", text), 0);
    EXPECT_EQ(out_, text);
    EXPECT_EQ(Run({"--diff", "-", "--unset", "default", "a"}, "", text), 0);
    EXPECT_EQ(out_, "--- -\n+++ -\n@@ -1,3 +1,2 @@\n-a = 1\r\n [s]\r\n k = v\r\n");
    EXPECT_EQ(Run({"--dry-run", "-", "--set", "s", "k", "w"}, "", text), 0);
    EXPECT_EQ(out_, "");
    EXPECT_EQ(Run({"-", "--set", "s", "k", "w"}, "", "[s]\nk = $nope\nbad line\n"), 1);
    EXPECT_EQ(out_, "");
    EXPECT_EQ(err_,
              "<stdin>:3: missing equal sign\n    bad line\n<stdin>:3: note: a name cannot hold "
              "blanks; it ends before them (escape a blank with a backslash)\n");
}

TEST_F(ConfEdit, ExitStatusForUsageAndForWhatCannotBeRead) {
    const struct {
        std::vector<std::string> args;
        int status;
        const char *message;
    } cases[] = {
        {{}, 2, "no configuration file given"},
        {{"FILE"}, 2, "no operation given"},
        {{"FILE", "--set", "s", "k"}, 2, "--set needs a SECTION, a NAME and a VALUE"},
        {{"FILE", "--unset", "s", "k", "--bogus"}, 2, "unknown operation '--bogus'"},
        {{"--bogus", "FILE", "--unset", "s", "k"}, 2, "unknown option '--bogus'"},
        {{"--diff", "--dry-run", "FILE", "--unset", "s", "k"}, 2, "--diff and --dry-run go alone"},
        {{"FILE", "--set-raw", "s", "k", "a # b"}, 2, "the text 'a # b' does not read back"},
        {{"FILE", "--set", "s", "x\ny", "v"}, 2, "the name 'x\\x0Ay' cannot be written"},
        {{"/nonexistent/x.conf", "--unset", "s", "k"},
         3,
         "/nonexistent/x.conf: unable to open configuration file\n"
         "/nonexistent/x.conf: note: No such file or directory\n"},
        {{"/tmp", "--unset", "s", "k"},
         3,
         "/tmp: error reading configuration file\n/tmp: note: Is a directory\n"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(Run(c.args, "[s]\nk = 1\n"), c.status) << c.message;
        EXPECT_NE(err_.find(c.message), std::string::npos) << err_;
        EXPECT_EQ(file_, "[s]\nk = 1\n");
    }
    // Standard output that cannot take the result.
    std::FILE *in = std::tmpfile();
    std::FILE *full = std::fopen("/dev/full", "w");
    ASSERT_NE(full, nullptr);
    Capture err;
    const char *argv[] = {"confedit", "-", "--set", "s", "k", "v"};
    EXPECT_EQ(confedit::run(6, argv, in, full, err.file()), 3);
    EXPECT_EQ(err.text(),
              "<stdout>: error writing configuration file\n<stdout>: note: No space left on "
              "device\n");
    std::fclose(full);
    std::fclose(in);
    EXPECT_EQ(Run({"--help"}), 0);
    EXPECT_EQ(out_.rfind("Usage: confedit", 0), 0u);
    EXPECT_EQ(Run({"--version"}), 0);
    EXPECT_EQ(out_, "confedit (Nivra support kit) " NIVRA_VERSION_TEXT "\n");
}

TEST_F(ConfEdit, ADiffThatCannotBeWrittenFailsAndTheFileStays) {
    const std::string path = files_.Write("[s]\nk = 1\n");
    std::FILE *full = std::fopen("/dev/full", "w");
    ASSERT_NE(full, nullptr);
    for (const char *file : {path.c_str(), "-"}) {
        std::FILE *in = std::tmpfile();
        std::fputs("[s]\nk = 1\n", in);
        std::rewind(in);
        Capture err;
        const char *argv[] = {"confedit", "--diff", file, "--set", "s", "k", "2"};
        EXPECT_EQ(confedit::run(7, argv, in, full, err.file()), 3) << file;
        EXPECT_EQ(err.text(),
                  "<stdout>: error writing configuration file\n<stdout>: note: No space left on "
                  "device\n")
            << file;
        std::fclose(in);
    }
    std::fclose(full);
    EXPECT_EQ(ReadFile(path), "[s]\nk = 1\n");
}

TEST_F(ConfEdit, StartsAgainWhenAnotherWriterChangedTheFile) {
    OtherWriter writer{&path_, 2};
    const confedit::Hooks hooks{OtherWriter::Change, &writer};
    EXPECT_EQ(Run({"--verbose", "FILE", "--set", "default", "mine", "1"}, "a = 1\n", "", &hooks),
              0);
    EXPECT_EQ(writer.calls, 3);
    EXPECT_EQ(file_, "a = 1\nother1 = 1\nother2 = 1\nmine = 1\n");
    EXPECT_EQ(err_,
              "FILE: changed since it was read; reading it again\n"
              "FILE: changed since it was read; reading it again\nchanged\n");

    OtherWriter busy{&path_, 1000};
    const confedit::Hooks busy_hooks{OtherWriter::Change, &busy};
    EXPECT_EQ(Run({"FILE", "--set", "default", "mine", "1"}, "a = 1\n", "", &busy_hooks), 3);
    EXPECT_EQ(busy.calls, 10);
    EXPECT_EQ(file_.find("mine"), std::string::npos);
    EXPECT_EQ(err_,
              "FILE: file changed since it was read\n"
              "FILE: note: another program changed it during each of 10 attempts\n");

    // A save that cannot write: the file's place taken by a directory.
    struct Replace {
        static void WithDirectory(void *arg) {
            const std::string &path = *static_cast<std::string *>(arg);
            std::remove(path.c_str());
            mkdir(path.c_str(), 0700);
        }
    };
    const confedit::Hooks replace{Replace::WithDirectory, &path_};
    EXPECT_EQ(Run({"FILE", "--set", "default", "mine", "1"}, "a = 1\n", "", &replace), 3);
    EXPECT_EQ(err_, "FILE: error writing configuration file\nFILE: note: Is a directory\n");
    rmdir(path_.c_str());
}

// ---- Saving ------------------------------------------------------------------

// Runs confedit on path (not a file of the fixture's) and returns its status.
int RunOn(const std::vector<std::string> &args, std::string *err_text) {
    std::vector<const char *> argv{"confedit"};
    for (const std::string &a : args) argv.push_back(a.c_str());
    Capture out, err;
    const int rc =
        confedit::run(static_cast<int>(argv.size()), argv.data(), stdin, out.file(), err.file());
    *err_text = err.text() + out.text();
    return rc;
}

// A missing FILE is created complete (never empty), as any new file; never
// through a dangling link; and a name with a line end is shown escaped.
TEST_F(ConfEdit, CreatesAMissingFileButNotThroughALink) {
    const std::string dir = files_.dir(), path = dir + "/new\nname.conf";
    std::string err;
    const mode_t mask = umask(027);
    EXPECT_EQ(RunOn({"--verbose", path, "--set", "s", "k", "v"}, &err), 0);
    umask(mask);
    EXPECT_EQ(err, "created\n");
    EXPECT_EQ(ReadFile(path), "[s]\nk = v\n");
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    EXPECT_EQ(RunOn({"--diff", path, "--set", "s", "k", "w"}, &err), 0);
    EXPECT_NE(err.find("--- " + dir + "/new\\nname.conf\n"), std::string::npos) << err;
    std::remove(path.c_str());
    const std::string link = dir + "/link.conf";
    ASSERT_EQ(symlink((dir + "/target.conf").c_str(), link.c_str()), 0);
    EXPECT_EQ(RunOn({link, "--set", "s", "k", "v"}, &err), 3);
    EXPECT_EQ(err, link + ": unable to open configuration file\n" + link +
                       ": note: No such file or directory\n" + link +
                       ": note: a symbolic link to nothing: no file is created through a link\n");
    EXPECT_NE(access((dir + "/target.conf").c_str(), F_OK), 0);
    std::remove(link.c_str());
}

// Hard links are refused with the way out, which --in-place takes; --wait
// takes seconds.
TEST_F(ConfEdit, HardLinksNeedInPlace) {
    const std::string other = files_.dir() + "/other.conf";
    EXPECT_EQ(Run({"FILE", "--set", "s", "k", "2"}, "[s]\nk = 1\n"), 0);
    ASSERT_EQ(link(path_.c_str(), other.c_str()), 0);
    std::string err;
    EXPECT_EQ(RunOn({path_, "--set", "s", "k", "3"}, &err), 3);
    EXPECT_EQ(Shown(err),
              "FILE: file has more than one link\nFILE: note: replacing it would leave its other "
              "names with the old text; --in-place writes through every link\n");
    EXPECT_EQ(RunOn({"--in-place", "--wait", "0.5", path_, "--set", "s", "k", "3"}, &err), 0);
    EXPECT_EQ(ReadFile(other), "[s]\nk = 3\n");
    EXPECT_EQ(RunOn({"--wait", "x", path_, "--set", "s", "k", "3"}, &err), 2);
    EXPECT_NE(err.find("--wait needs a number of seconds"), std::string::npos);
    std::remove(other.c_str());
}

// A writable file in a directory this user may not write: the message says
// that the directory is what is missing.  (As root, in a child that gives
// root up.)
TEST_F(ConfEdit, SaysWhenTheDirectoryIsNotWritable) {
    if (geteuid() != 0) GTEST_SKIP() << "skipped: needs root to act as another user";
    ASSERT_EQ(Run({"FILE", "--set", "s", "k", "1"}, "[s]\nk = 0\n"), 0);
    ASSERT_EQ(chmod(path_.c_str(), 0666), 0);
    ASSERT_EQ(chmod(files_.dir().c_str(), 0555), 0);
    const std::string expected =
        path_ + ": error writing configuration file\n" + path_ + ": note: Permission denied\n" +
        path_ + ": note: its directory does not let this user create a file there\n";
    EXPECT_EQ(InChild([&]() -> std::string {
                  if (setgid(65534) != 0 || setuid(65534) != 0) return "cannot give up root";
                  std::string err;
                  const int rc = RunOn({path_, "--set", "s", "k", "2"}, &err);
                  return rc == 3 && err == expected ? "" : std::to_string(rc) + ": " + err;
              }),
              "");
    chmod(files_.dir().c_str(), 0700);
    EXPECT_EQ(ReadFile(path_), "[s]\nk = 1\n");
}

// confedit ended by SIGTERM or SIGINT at any moment leaves the old file or
// the new one, and after one more save no file of its own.
TEST_F(ConfEdit, EndedBySignalsLeavesNothingBehind) {
    std::string big = "[s]\n";
    for (int i = 0; i < 20000; ++i)
        big += "k" + std::to_string(i) + " = " + std::string(60, 'a') + "\n";
    Run({"FILE", "--set", "s", "x", "0"}, big);
    const std::string path = path_;
    std::string current = ReadFile(path);
    for (int round = 0; round < 60; ++round) {
        const pid_t pid = fork();
        if (pid == 0) {
            std::string err;
            _exit(RunOn({path, "--set", "s", "x", std::to_string(round + 1)}, &err));
        }
        usleep(static_cast<useconds_t>((round * 7919) % 40000));
        kill(pid, round % 2 == 0 ? SIGTERM : SIGINT);
        int status = 0;
        waitpid(pid, &status, 0);
        const std::string now = ReadFile(path);
        ASSERT_TRUE(now == current ||
                    now.find("x = " + std::to_string(round + 1) + "\n") != std::string::npos)
            << "round " << round;
        current = now;
    }
    std::string err;
    ASSERT_EQ(RunOn({path, "--set", "s", "x", "last"}, &err), 0) << err;
    std::vector<std::string> left;
    if (DIR *d = opendir(files_.dir().c_str())) {
        while (const dirent *e = readdir(d)) {
            if (std::string(e->d_name).rfind(".nivra-", 0) == 0) left.emplace_back(e->d_name);
        }
        closedir(d);
    }
    EXPECT_TRUE(left.empty()) << left.front();
}

// ---- The diff --------------------------------------------------------------

// "start[,count]" at *p (count 1 when not written); moves *p past it.
std::pair<size_t, size_t> Range(const char **p) {
    char *end = nullptr;
    const size_t start = std::strtoul(*p, &end, 10);
    size_t count = 1;
    if (*end == ',') count = std::strtoul(end + 1, &end, 10);
    *p = end;
    return {start, count};
}

// Applies a unified diff to old_text; fails the test where a context or
// removed line does not match or a hunk's counts are wrong.
std::string Patch(const std::string &old_text, const std::string &diff, size_t *changed) {
    std::vector<std::string> old_lines, out;
    for (size_t at = 0; at < old_text.size();) {
        const size_t end = std::min(old_text.find('\n', at), old_text.size() - 1) + 1;
        old_lines.push_back(old_text.substr(at, end - at));
        at = end;
    }
    std::vector<std::pair<char, std::string>> entries;  // every line of the diff
    std::istringstream in(diff);
    for (std::string line; std::getline(in, line);) {
        if (line[0] == '\\') {
            entries.back().second.pop_back();  // the line before has no line end
        } else {
            entries.emplace_back(line[0], line.substr(1) + "\n");
        }
    }
    size_t pos = 0;
    for (size_t i = 2; i < entries.size();) {
        const char *header = entries[i++].second.c_str() + 3;  // past "@ -"
        const auto [old_start, old_count] = Range(&header);
        header += 2;  // " +"
        const auto [new_start, new_count] = Range(&header);
        const size_t old_at = old_count == 0 ? old_start : old_start - 1;
        EXPECT_GE(old_at, pos) << diff;
        while (pos < old_at) out.push_back(old_lines.at(pos++));
        EXPECT_EQ(new_count == 0 ? new_start : new_start - 1, out.size()) << diff;
        size_t olds = 0, news = 0;
        for (; i < entries.size() && entries[i].first != '@'; ++i) {
            const auto &[kind, text] = entries[i];
            if (kind != '+') {
                EXPECT_EQ(old_lines.at(pos++), text) << diff;
                ++olds;
            }
            if (kind != '-') {
                out.push_back(text);
                ++news;
            }
            *changed += kind != ' ' ? 1 : 0;
        }
        EXPECT_EQ(olds, old_count) << diff;
        EXPECT_EQ(news, new_count) << diff;
    }
    while (pos < old_lines.size()) out.push_back(old_lines[pos++]);
    std::string text;
    for (const std::string &l : out) text += l;
    return text;
}

size_t LcsLength(const std::vector<std::string> &a, const std::vector<std::string> &b) {
    std::vector<std::vector<size_t>> t(a.size() + 1, std::vector<size_t>(b.size() + 1, 0));
    for (size_t i = 1; i <= a.size(); ++i)
        for (size_t j = 1; j <= b.size(); ++j)
            t[i][j] =
                a[i - 1] == b[j - 1] ? t[i - 1][j - 1] + 1 : std::max(t[i - 1][j], t[i][j - 1]);
    return t[a.size()][b.size()];
}

TEST(LineDiff, RandomTextsGiveShortestPatchesThatApply) {
    std::mt19937 random(20);
    for (int round = 0; round < 3000; ++round) {
        std::vector<std::string> lines[2];
        std::string text[2];
        for (int t = 0; t < 2; ++t) {
            const int n = static_cast<int>(random() % 14);
            for (int i = 0; i < n; ++i)
                lines[t].push_back(std::string(1, "abcd"[random() % 4]) + "\n");
            if (n > 0 && random() % 4 == 0) lines[t].back().pop_back();
            for (const std::string &l : lines[t]) text[t] += l;
        }
        Capture out;
        line_diff::unified(text[0], text[1], "x", "x", out.file(), 1 + round % 3);
        const std::string diff = out.text();
        SCOPED_TRACE(text[0] + "|\n" + text[1] + "|\n" + diff);
        if (text[0] == text[1]) {
            EXPECT_EQ(diff, "");
            continue;
        }
        ASSERT_EQ(diff.rfind("--- x\n+++ x\n@@ -", 0), 0u);
        size_t changed = 0;
        EXPECT_EQ(Patch(text[0], diff, &changed), text[1]);
        EXPECT_EQ(changed, lines[0].size() + lines[1].size() - 2 * LcsLength(lines[0], lines[1]));
    }
}

}  // namespace

namespace {

// --schema: an edit that makes a new error or unknown key is refused with
// the finding and nothing is written; what the file had already does not
// count; --force writes and warns.
TEST_F(ConfEdit, SchemaRefusesNewErrorsAndUnknownKeys) {
    const std::string schema =
        files_.Write("[server]\nport = int 1..65535 = 8080\nname = string required\n");
    const std::string text = "[server]\nname = web\nport = 80\n";
    struct Case {
        std::vector<std::string> args;
        const char *file;
        int status;
        const char *after;
        const char *err;
    } cases[] = {
        {{"--set", "server", "port", "70000"},
         text.c_str(),
         1,
         text.c_str(),
         "FILE:3: error: 70000 is out of range 1..65535 (server port)\nconfedit: FILE not written: "
         "the change makes a new error or unknown key (--force writes anyway)\n"},
        {{"--set", "server", "prot", "1"},
         text.c_str(),
         1,
         text.c_str(),
         "FILE:4: warning: unknown key 'prot' in [server]; did you mean 'port'?\nconfedit: FILE "
         "not "
         "written: the change makes a new error or unknown key (--force writes anyway)\n"},
        {{"--unset", "server", "name"},
         text.c_str(),
         1,
         text.c_str(),
         "FILE: error: [server] name is required\nconfedit: FILE not written: the change makes a "
         "new error or unknown key (--force writes anyway)\n"},
        {{"--force", "--set", "server", "port", "0"},
         text.c_str(),
         0,
         "[server]\nname = web\nport = 0\n",
         "FILE:3: warning: 0 is out of range 1..65535 (server port)\n"},
        // An error the file had already does not stop another edit.
        {{"--set", "server", "name", "w2"},
         "[server]\nname = web\nport = 0\n",
         0,
         "[server]\nname = w2\nport = 0\n",
         ""},
        {{"--set", "server", "port", "9"}, text.c_str(), 0, "[server]\nname = web\nport = 9\n", ""},
    };
    for (const Case &c : cases) {
        std::vector<std::string> args{"--schema", schema, "FILE"};
        if (c.args[0] == "--force") args.insert(args.begin(), "--force");
        for (const std::string &a : c.args)
            if (a != "--force") args.push_back(a);
        SCOPED_TRACE(args.back());
        EXPECT_EQ(Run(args, c.file), c.status);
        EXPECT_EQ(file_, c.after);
        EXPECT_EQ(err_, c.err);
    }
    EXPECT_EQ(Run({"--force", "FILE", "--set", "s", "k", "v"}, text), 2);
    EXPECT_EQ(Run({"--schema", schema + ".missing", "FILE", "--set", "s", "k", "v"}, text), 3);
    EXPECT_EQ(file_, text);
}

}  // namespace
