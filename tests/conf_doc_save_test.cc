// Saving documents under stress: many processes editing one file, writers
// killed in the middle of a save, planted links, and saves the system
// refuses.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <new>
#include <random>
#include <set>
#include <string>

#include "conf_doc.h"
#include "scratch_files.h"
#include "temp_files.h"

namespace {

using Clock = std::chrono::steady_clock;

bool Loads(const std::string &path) {
    CONF_CTX *ctx = CONF_new();
    const bool ok = CONF_load(ctx, path.c_str()) == 0;
    CONF_free(ctx);
    return ok;
}

// Eight processes each run fifty read-set-save cycles on one file, each
// setting its own key; a ninth reads the file all the while.  No change is
// lost, every state of the file loads, and no key ever goes back.
TEST(ConfDocSave, ManyProcessesLoseNoChange) {
    constexpr int kWriters = 8, kCycles = 50;
    ScratchDir dir;
    const std::string path = dir.path + "/shared.conf";
    Spit(path, "# shared by the writers\n[procs]\n");
    struct Figures {
        std::atomic<long> saves, retries, reads, done;
    };
    auto *fig = static_cast<Figures *>(
        mmap(nullptr, sizeof(Figures), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(fig, MAP_FAILED);
    new (fig) Figures{};
    const auto start = Clock::now();
    pid_t writers[kWriters];
    for (int i = 0; i < kWriters; ++i) {
        writers[i] = fork();
        ASSERT_GE(writers[i], 0);
        if (writers[i] != 0) continue;
        CONF_DOC *doc = CONF_doc_new();
        const std::string key = "p" + std::to_string(i);
        int rc = 0;
        for (int cycle = 1; cycle <= kCycles && rc == 0; ++cycle) {
            for (;;) {
                rc = CONF_doc_read_file(doc, path.c_str());
                if (rc == 0)
                    rc = CONF_doc_set(doc, "procs", key.c_str(), std::to_string(cycle).c_str());
                if (rc == 0) rc = CONF_doc_save(doc, path.c_str());
                if (rc != -112) break;
                ++fig->retries;
            }
            if (rc == 0) ++fig->saves;
        }
        if (rc != 0) std::fprintf(stderr, "writer %d: %d, %s\n", i, rc, std::strerror(errno));
        CONF_doc_free(doc);
        ++fig->done;
        _exit(-rc);  // 0, or the error number without its sign
    }
    // The reader: every state loads, and every key only ever grows.
    const std::string problem = InChild([&]() -> std::string {
        long last[kWriters] = {};
        const auto deadline = Clock::now() + std::chrono::seconds(60);
        while (fig->done < kWriters) {
            if (Clock::now() > deadline) return "the writers did not finish";
            CONF_CTX *ctx = CONF_new();
            const int rc = CONF_load(ctx, path.c_str());
            for (int i = 0; i < kWriters && rc == 0; ++i) {
                const long v = CONF_get_number(ctx, "procs", ("p" + std::to_string(i)).c_str());
                if (v < last[i]) return "p" + std::to_string(i) + " went back";
                last[i] = v;
            }
            CONF_free(ctx);
            if (rc != 0) return "a state of the file does not load: " + std::to_string(rc);
            ++fig->reads;
        }
        return "";
    });
    for (pid_t w : writers) {
        int status = 0;
        waitpid(w, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
            << "a writer failed with -" << WEXITSTATUS(status);
    }
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    EXPECT_EQ(problem, "");
    CONF_CTX *ctx = CONF_new();
    ASSERT_EQ(CONF_load(ctx, path.c_str()), 0);
    for (int i = 0; i < kWriters; ++i)
        EXPECT_STREQ(CONF_get_string(ctx, "procs", ("p" + std::to_string(i)).c_str()), "50") << i;
    CONF_free(ctx);
    EXPECT_EQ(fig->saves, kWriters * kCycles);
    EXPECT_EQ(Names(dir.path), std::set<std::string>{"shared.conf"});
    std::printf("%d processes x %d cycles: %ld saves, %ld retries after -112, %ld reads, %lld ms\n",
                kWriters, kCycles, fig->saves.load(), fig->retries.load(), fig->reads.load(),
                static_cast<long long>(ms));
    munmap(fig, sizeof(Figures));
}

// A file of about 2.5 MB in long lines (so that a save's load check takes
// little of its time); the two variants differ in every value and in
// length, so a mix or a truncated file is neither.
std::string BigText(char fill, int lines) {
    std::string text = "# large\n[big]\n";
    for (int i = 0; i < lines; ++i)
        text += "key" + std::to_string(i) + " = " + std::string(4000, fill) + "\n";
    return text;
}

// Whether a file of the directory is a save's temporary file.
bool IsTemporary(const std::string &name) {
    return name.size() > 4 && name[0] == '.' && name.compare(name.size() - 4, 4, ".tmp") == 0;
}

// A writer killed at a random moment of a save leaves the old file or the
// new one, and the next save removes any temporary file it left.
TEST(ConfDocSave, AKilledWriterLeavesTheOldFileOrTheNew) {
    ScratchDir dir;
    const std::string path = dir.path + "/big.conf";
    const std::string a = BigText('a', 600), b = BigText('b', 640);
    Spit(path, a);
    ASSERT_TRUE(Loads(path));
    CONF_DOC *docs[2] = {CONF_doc_new(), CONF_doc_new()};
    ASSERT_EQ(CONF_doc_read_buffer(docs[0], a.data(), a.size()), 0);
    ASSERT_EQ(CONF_doc_read_buffer(docs[1], b.data(), b.size()), 0);
    // A writer tells when its save begins; one save timed from there bounds
    // the moments to kill at.
    const auto start_writer = [&path](CONF_DOC *doc) {
        int fds[2];
        if (pipe(fds) != 0) std::abort();
        const pid_t pid = fork();
        if (pid == 0) {
            (void)!write(fds[1], "", 1);
            _exit(CONF_doc_save(doc, path.c_str()) == 0 ? 0 : 1);
        }
        char byte;
        (void)!read(fds[0], &byte, 1);
        close(fds[0]);
        close(fds[1]);
        return pid;
    };
    int status = 0;
    const pid_t timed = start_writer(docs[1]);
    auto begin = Clock::now();
    waitpid(timed, &status, 0);
    const auto span = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - begin);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    ASSERT_EQ(Slurp(path), b);
    std::mt19937 rng(20240611);
    std::uniform_int_distribution<long> delay(0, span.count() * 5 / 4);
    int old_kept = 0, new_written = 0;
    std::set<std::string> leftovers;
    std::string current = b;
    begin = Clock::now();
    for (int round = 0; round < 200; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        const int which = current == a ? 1 : 0;  // always a text the file does not hold
        const std::string &next = which == 0 ? a : b;
        const pid_t pid = start_writer(docs[which]);
        usleep(static_cast<useconds_t>(delay(rng)));
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        const std::string now = Slurp(path);
        ASSERT_TRUE(now == current || now == next) << "a mixed or truncated file";
        (now == current ? old_kept : new_written) += 1;
        current = now;
        // Leftover temporary files stay until the test clears them, so the
        // next rounds save beside them.
        for (const std::string &n : Names(dir.path)) {
            if (!IsTemporary(n)) continue;
            leftovers.insert(n);
            if (round % 25 != 24) continue;
            // A fresh document saves beside a killed writer's temporary file.
            CONF_DOC *fresh = CONF_doc_new();
            ASSERT_EQ(CONF_doc_read_file(fresh, path.c_str()), 0);
            ASSERT_EQ(CONF_doc_set(fresh, "big", "round", std::to_string(round).c_str()), 0);
            ASSERT_EQ(CONF_doc_save(fresh, path.c_str()), 0) << CONF_doc_last_error(fresh, nullptr);
            current = Slurp(path);
            CONF_doc_free(fresh);
            ASSERT_TRUE(Loads(path));
            // That save removed what the killed writers left.
            for (const std::string &m : Names(dir.path)) EXPECT_FALSE(IsTemporary(m)) << m;
            break;
        }
    }
    CONF_doc_free(docs[0]);
    CONF_doc_free(docs[1]);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - begin);
    std::printf(
        "200 saves killed (one takes %lld us) in %lld ms: %d left the old file, %d the "
        "new, %d temporary files left behind\n",
        static_cast<long long>(span.count()), static_cast<long long>(ms.count()), old_kept,
        new_written, static_cast<int>(leftovers.size()));
}

// A save creates its temporary file exclusively: links planted under the
// names it might use, pointing outside the directory, are never followed.
TEST(ConfDocSave, PlantedLinksAreNotFollowed) {
    ScratchDir dir, outside;
    const std::string path = dir.path + "/app.conf";
    Spit(path, "a = 1\n");
    const std::string victim = outside.path + "/victim";
    Spit(victim, "untouched\n");
    std::set<std::string> planted;
    for (int i = 0; i < 400; ++i) {
        // Links to an existing file and dangling ones (which O_CREAT without
        // O_EXCL would create through).
        const std::string target = i % 2 == 0 ? victim : outside.path + "/d" + std::to_string(i);
        const std::string name = ".app.conf." + std::to_string(getpid()) + "." + std::to_string(i) +
                                 "." + std::to_string(i / 4) + ".tmp";
        ASSERT_EQ(symlink(target.c_str(), (dir.path + "/" + name).c_str()), 0);
        planted.insert(name);
    }
    CONF_DOC *doc = CONF_doc_new();
    ASSERT_EQ(CONF_doc_read_file(doc, path.c_str()), 0);
    for (int i = 0; i < 20; ++i) {
        ASSERT_EQ(CONF_doc_set(doc, nullptr, "a", std::to_string(i + 2).c_str()), 0);
        ASSERT_EQ(CONF_doc_save(doc, path.c_str()), 0) << CONF_doc_last_error(doc, nullptr);
    }
    CONF_doc_free(doc);
    EXPECT_EQ(Slurp(path), "a = 21\n");
    EXPECT_EQ(Slurp(victim), "untouched\n");
    EXPECT_EQ(Names(outside.path), std::set<std::string>{"victim"});
    planted.insert("app.conf");
    EXPECT_EQ(Names(dir.path), planted);
}

// A save the system refuses: -113 with errno, the error recorded, the file
// as it was, no temporary file left, and the document unchanged.
std::string ExpectRefusedSave(const std::string &dir, const std::string &path, int want_errno) {
    const std::string old = Slurp(path);
    const std::set<std::string> names = Names(dir);
    CONF_DOC *doc = CONF_doc_new();
    std::string text = "[s]\n";
    for (int i = 0; i < 5000; ++i) text += "k" + std::to_string(i) + " = value\n";
    CONF_doc_read_buffer(doc, text.data(), text.size());
    errno = 0;
    const int rc = CONF_doc_save(doc, path.c_str());
    const int err = errno;
    std::string problem;
    if (rc != -113) problem += "result " + std::to_string(rc) + "; ";
    if (err != want_errno) problem += std::string("errno ") + std::strerror(err) + "; ";
    if (std::strcmp(CONF_doc_last_error(doc, nullptr), "error writing configuration file") != 0)
        problem += "recorded error: " + std::string(CONF_doc_last_error(doc, nullptr)) + "; ";
    size_t len = 0;
    const char *now = CONF_doc_text(doc, &len);
    if (std::string(now, len) != text) problem += "document changed; ";
    if (Slurp(path) != old) problem += "file changed; ";
    if (Names(dir) != names) problem += "directory changed; ";
    CONF_doc_free(doc);
    return problem;
}

TEST(ConfDocSave, SavingOverADirectoryIsRefused) {
    ScratchDir dir;
    const std::string sub = dir.path + "/sub.conf";
    ASSERT_EQ(mkdir(sub.c_str(), 0755), 0);
    EXPECT_EQ(ExpectRefusedSave(dir.path, sub, EISDIR), "");
    EXPECT_EQ(Names(sub), std::set<std::string>{});
}

// Write permission is checked against an unprivileged user: as root, the
// save runs in a child that gives up root first.
TEST(ConfDocSave, SavingIntoAReadOnlyDirectoryIsRefused) {
    ScratchDir dir;
    const std::string path = dir.path + "/app.conf";
    Spit(path, "a = 1\n");
    chmod(path.c_str(), 0666);  // the file is writable, its directory not
    ASSERT_EQ(chmod(dir.path.c_str(), 0555), 0);
    EXPECT_EQ(InChild([&]() -> std::string {
                  if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0))
                      return "cannot give up root";
                  return ExpectRefusedSave(dir.path, path, EACCES);
              }),
              "");
}

// A full disk: a file size limit (write fails with EFBIG), and a small
// tmpfs in a private mount namespace where the process may make one
// (ENOSPC).
TEST(ConfDocSave, SavingOntoAFullDiskIsRefused) {
    ScratchDir dir;
    const std::string path = dir.path + "/app.conf";
    Spit(path, "a = 1\n");
    EXPECT_EQ(InChild([&]() -> std::string {
                  signal(SIGXFSZ, SIG_IGN);
                  const rlimit limit{16384, 16384};
                  if (setrlimit(RLIMIT_FSIZE, &limit) != 0) return "setrlimit failed";
                  return ExpectRefusedSave(dir.path, path, EFBIG);
              }),
              "");
    const std::string tmpfs = InChild([&]() -> std::string {
        if (unshare(CLONE_NEWNS) != 0 ||
            mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("tmpfs", dir.path.c_str(), "tmpfs", 0, "size=64k") != 0)
            return "skip";
        Spit(dir.path + "/app.conf", "a = 1\n");
        return ExpectRefusedSave(dir.path, dir.path + "/app.conf", ENOSPC);
    });
    if (tmpfs == "skip") {
        std::printf("no tmpfs can be mounted here: the ENOSPC case is skipped\n");
    } else {
        EXPECT_EQ(tmpfs, "");
    }
    EXPECT_EQ(Slurp(path), "a = 1\n");
}

}  // namespace
