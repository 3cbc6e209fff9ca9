// A save that no other local user can redirect, read or block, and that
// keeps every property of the file it replaces.  The tests of what another
// user can do need root: they give up root in a child process (uid and gid
// 65534, with supplementary groups as a case needs) and are skipped, with
// the reason, elsewhere.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "conf_doc.h"
#include "scratch_files.h"
#include "conf_file.h"

namespace {

constexpr uid_t kOther = 65534;   // an unprivileged user
constexpr gid_t kShared = 65533;  // a group that user is made a member of

struct stat Stat(const std::string &path) {
    struct stat st {};
    lstat(path.c_str(), &st);
    return st;
}

// Gives up root for the unprivileged user (member of kShared when asked).
bool BecomeOther(bool in_shared_group = false) {
    const gid_t groups[] = {kShared};
    return setgroups(in_shared_group ? 1 : 0, groups) == 0 &&
           setresgid(kOther, kOther, kOther) == 0 && setresuid(kOther, kOther, kOther) == 0;
}

#define NEED_ROOT()                                                                       \
    do {                                                                                  \
        if (geteuid() != 0) GTEST_SKIP() << "skipped: needs root to act as another user"; \
    } while (0)

// A document holding text, read from path first when given.
struct Doc {
    CONF_DOC *doc = CONF_doc_new();
    ~Doc() { CONF_doc_free(doc); }
    int Read(const std::string &path) { return CONF_doc_read_file(doc, path.c_str()); }
    int Set(const char *name, const std::string &value) {
        return CONF_doc_set(doc, "s", name, value.c_str());
    }
    int Save(const std::string &path, unsigned flags = 0, int wait_ms = 2000) {
        return CONF_doc_save_with(doc, path.c_str(), flags, wait_ms);
    }
    std::string Error() const { return CONF_doc_last_error(doc, nullptr); }
};

// Saves "[s]\nk = <value>\n" over path, reading it first.
int SaveValue(const std::string &path, const std::string &value, unsigned flags = 0) {
    Doc d;
    if (const int rc = d.Read(path); rc != 0) return rc;
    if (const int rc = d.Set("k", value); rc != 0) return rc;
    return d.Save(path, flags);
}

bool IsSaveLeftover(const std::string &name) { return name.rfind(".nivra-", 0) == 0; }

// Steps of a save, as the seam names them.
struct Steps {
    std::vector<std::string> seen;
    static void Record(const char *step, void *arg) {
        static_cast<Steps *>(arg)->seen.emplace_back(step);
    }
    Steps() {
        nivra::conf::g_sys_fault.trace = Record;
        nivra::conf::g_sys_fault.arg = this;
    }
    ~Steps() { nivra::conf::g_sys_fault.trace = nullptr; }
};

// --- Redirection ------------------------------------------------------------

// A directory on the path that another user owns is swapped for a link to a
// root-only directory just before each step of a save in turn: the save
// lands where it was found or nowhere, never in the other directory.
TEST(ConfFileSecurity, ADirectorySwappedAtAnyStepRedirectsNothing) {
    ScratchDir base;
    ASSERT_EQ(chown(base.path.c_str(), kOther, kOther), 0);  // the other user's
    const std::string dir = base / "conf", moved = base / "conf.real";
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    ScratchDir victim(0700);
    Spit(victim / "app.conf", "secret = 1\n");
    const std::set<std::string> victim_names = Names(victim.path);
    Spit(dir + "/app.conf", "[s]\nk = 0\n");
    struct Swap {
        long at = 0, count = 0;
        std::string dir, moved, target;
        static void On(const char *, void *arg) {
            auto *s = static_cast<Swap *>(arg);
            if (++s->count != s->at) return;
            rename(s->dir.c_str(), s->moved.c_str());
            symlink(s->target.c_str(), s->dir.c_str());
        }
    } swap{0, 0, dir, moved, victim.path};
    int saves = 0, written = 0;
    for (long step = 1; saves < 200; ++step) {
        Doc d;
        const std::string path = dir + "/app.conf";
        ASSERT_EQ(d.Read(path), 0);
        ASSERT_EQ(d.Set("k", std::to_string(step)), 0);
        swap.at = step;
        swap.count = 0;
        nivra::conf::g_sys_fault.trace = Swap::On;
        nivra::conf::g_sys_fault.arg = &swap;
        const int rc = d.Save(path);
        nivra::conf::g_sys_fault.trace = nullptr;
        ++saves;
        if (swap.count < swap.at) step = 0;  // past the last step: around again
        if (unlink(dir.c_str()) == 0) rename(moved.c_str(), dir.c_str());
        written += rc == 0;
        ASSERT_EQ(Slurp(victim / "app.conf"), "secret = 1\n") << "step " << step;
        ASSERT_EQ(Names(victim.path), victim_names) << "step " << step;
        ASSERT_EQ(Stat(dir + "/app.conf").st_uid, 0u) << "the file was given away";
        for (const std::string &n : Names(dir)) ASSERT_FALSE(IsSaveLeftover(n)) << n;
    }
    EXPECT_GT(written, 0);
}

// A dangling link planted in a world-writable sticky directory is never
// followed: the save creates nothing where it points.
TEST(ConfFileSecurity, ADanglingLinkIsNeverFollowed) {
    ScratchDir shared(01777), elsewhere(0700);
    const std::string link = shared / "app.conf", target = elsewhere / "created";
    ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
    Doc d;
    ASSERT_EQ(d.Set("k", "1"), 0);
    errno = 0;
    EXPECT_EQ(d.Save(link), -101);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_TRUE(Names(elsewhere.path).empty());
    EXPECT_EQ(Names(shared.path), std::set<std::string>{"app.conf"});
}

// --- Exposure and leftovers -------------------------------------------------

// Another user polling the directory during 200 saves of a root 0600 file,
// at umask 022 and 000, opens nothing.
TEST(ConfFileSecurity, NoOtherUserOpensANewFile) {
    NEED_ROOT();
    ScratchDir dir(0777);
    const std::string path = dir / "secret.conf";
    Spit(path, "[s]\nk = 0\n");
    chmod(path.c_str(), 0600);
    int ready[2], done[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(done), 0);
    const pid_t poller = fork();
    if (poller == 0) {
        if (!BecomeOther()) _exit(2);
        fcntl(done[0], F_SETFL, O_NONBLOCK);
        (void)!write(ready[1], "", 1);
        int opened = 0;
        char byte;
        while (read(done[0], &byte, 1) != 1) {
            for (const std::string &n : Names(dir.path)) {
                for (const int mode : {O_RDONLY, O_WRONLY}) {
                    const int fd = open((dir / n).c_str(), mode | O_NONBLOCK);
                    if (fd >= 0) ++opened, close(fd);
                }
            }
        }
        _exit(opened == 0 ? 0 : 1);
    }
    char byte;
    ASSERT_EQ(read(ready[0], &byte, 1), 1);
    for (const mode_t mask : {022, 0}) {
        const mode_t old = umask(mask);
        for (int i = 0; i < 100; ++i)
            ASSERT_EQ(SaveValue(path, std::to_string(i) + "-" + std::to_string(mask)), 0);
        umask(old);
    }
    (void)!write(done[1], "", 1);
    int status = 0;
    waitpid(poller, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the other user opened a file";
    EXPECT_EQ(Stat(path).st_mode & 07777, 0600u);
    for (int fd : {ready[0], ready[1], done[0], done[1]}) close(fd);
}

// A save killed at the moment its temporary file has a name leaves it; the
// next save of the file removes it (and only it: another file's stays).
TEST(ConfFileSecurity, AKilledSavesLeftoverGoesWithTheNextSave) {
    ScratchDir dir;
    const std::string path = dir / "app.conf", other = dir / "other.conf";
    Spit(path, "[s]\nk = 0\n");
    Spit(other, "[s]\nk = 0\n");
    const auto killed_save = [](const std::string &file) {
        const pid_t pid = fork();
        if (pid == 0) {
            nivra::conf::g_sys_fault.trace = [](const char *step, void *) {
                if (std::strcmp(step, "renameat") == 0) raise(SIGKILL);
            };
            (void)SaveValue(file, "killed");
            _exit(0);
        }
        int status = 0;
        waitpid(pid, &status, 0);
        return WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
    };
    ASSERT_TRUE(killed_save(path));
    ASSERT_TRUE(killed_save(other));
    int leftovers = 0;
    for (const std::string &n : Names(dir.path)) leftovers += n.size() == 45 && IsSaveLeftover(n);
    ASSERT_EQ(leftovers, 2);
    EXPECT_EQ(Slurp(path), "[s]\nk = 0\n");
    ASSERT_EQ(SaveValue(path, "1"), 0);
    leftovers = 0;
    for (const std::string &n : Names(dir.path)) leftovers += n.size() == 45 && IsSaveLeftover(n);
    EXPECT_EQ(leftovers, 1) << "only other.conf's leftover stays";
    ASSERT_EQ(SaveValue(other, "1"), 0);
    EXPECT_EQ(Names(dir.path), (std::set<std::string>{"app.conf", "other.conf"}));
}

// --- Properties -------------------------------------------------------------

// A POSIX ACL with a named user and a mask, as the kernel stores it.
std::string AclWithMask(uid_t user) {
    struct Entry {
        uint16_t tag, perm;
        uint32_t id;
    };
    const Entry entries[] = {{0x01, 6, 0xFFFFFFFF},
                             {0x02, 4, user},
                             {0x04, 4, 0xFFFFFFFF},
                             {0x10, 4, 0xFFFFFFFF},
                             {0x20, 0, 0xFFFFFFFF}};
    std::string out("\x02\x00\x00\x00", 4);
    out.append(reinterpret_cast<const char *>(entries), sizeof entries);
    return out;
}

std::string Xattr(const std::string &path, const char *name) {
    char buf[1024];
    const ssize_t n = lgetxattr(path.c_str(), name, buf, sizeof buf);
    return n < 0 ? std::string("<none>") : std::string(buf, static_cast<size_t>(n));
}

// Owner, group and every mode bit stay, for files of root and of others,
// with an ACL and attributes of the user and trusted namespaces.
TEST(ConfFileProperties, EveryPropertyStays) {
    NEED_ROOT();
    ScratchDir dir;
    struct Case {
        uid_t uid;
        gid_t gid;
        mode_t mode;
    };
    const Case cases[] = {{0, 0, 0600},       {0, kOther, 02640},       {kOther, kOther, 04755},
                          {kOther, 0, 01777}, {kOther, kShared, 06750}, {0, 0, 0444}};
    for (const Case &c : cases) {
        SCOPED_TRACE(std::to_string(c.uid) + ":" + std::to_string(c.gid) + " " +
                     std::to_string(c.mode));
        const std::string path = dir / "app.conf";
        Spit(path, "[s]\nk = 0\n");
        ASSERT_EQ(chown(path.c_str(), c.uid, c.gid), 0);
        ASSERT_EQ(chmod(path.c_str(), c.mode), 0);
        ASSERT_EQ(SaveValue(path, "1"), 0);
        const struct stat st = Stat(path);
        EXPECT_EQ(st.st_uid, c.uid);
        EXPECT_EQ(st.st_gid, c.gid);
        EXPECT_EQ(st.st_mode & 07777, c.mode);
        EXPECT_EQ(Slurp(path), "[s]\nk = 1\n");
        unlink(path.c_str());
    }
    const std::string path = dir / "acl.conf";
    Spit(path, "[s]\nk = 0\n");
    const std::string acl = AclWithMask(kOther);
    if (setxattr(path.c_str(), "system.posix_acl_access", acl.data(), acl.size(), 0) != 0 ||
        setxattr(path.c_str(), "user.origin", "vendor", 6, 0) != 0 ||
        setxattr(path.c_str(), "trusted.tag", "t", 1, 0) != 0)
        GTEST_SKIP() << "skipped: this filesystem keeps no ACL or extended attributes";
    const struct stat before = Stat(path);
    const std::string acl_before = Xattr(path, "system.posix_acl_access");
    ASSERT_EQ(SaveValue(path, "1"), 0);
    EXPECT_EQ(Stat(path).st_mode, before.st_mode);  // the mask shows as the group bits
    EXPECT_EQ(Xattr(path, "system.posix_acl_access"), acl_before);
    EXPECT_EQ(acl_before.size(), acl.size());
    EXPECT_EQ(Xattr(path, "user.origin"), "vendor");
    EXPECT_EQ(Xattr(path, "trusted.tag"), "t");
    // Inode flags a new file can be given.
    int flags = 0;
    const int fd = open(path.c_str(), O_RDONLY);
    if (ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0) {
        flags |= FS_NODUMP_FL | FS_NOATIME_FL;
        ASSERT_EQ(ioctl(fd, FS_IOC_SETFLAGS, &flags), 0);
        ASSERT_EQ(SaveValue(path, "2"), 0);
        const int fresh = open(path.c_str(), O_RDONLY);
        int now = 0;
        ASSERT_EQ(ioctl(fresh, FS_IOC_GETFLAGS, &now), 0);
        EXPECT_EQ(now & (FS_NODUMP_FL | FS_NOATIME_FL), FS_NODUMP_FL | FS_NOATIME_FL);
        close(fresh);
    }
    close(fd);
}

// What this process cannot give a new file refuses the save: the file byte
// for byte and its directory as they were; the in-place mode keeps them all.
TEST(ConfFileProperties, AnUnkeepablePropertyRefusesTheSave) {
    NEED_ROOT();
    ScratchDir dir(0777);
    const std::string path = dir / "shared.conf";
    Spit(path, "[s]\nk = 0\n");
    ASSERT_EQ(chown(path.c_str(), 0, kShared), 0);
    ASSERT_EQ(chmod(path.c_str(), 0660), 0);
    EXPECT_EQ(InChild([&]() -> std::string {
                  if (!BecomeOther(true)) return "cannot become the other user";
                  const std::set<std::string> names = Names(dir.path);
                  Doc d;
                  if (d.Read(path) != 0 || d.Set("k", "1") != 0) return "no edit";
                  if (const int rc = d.Save(path); rc != -115)
                      return "result " + std::to_string(rc);
                  if (d.Error() != "file property cannot be kept: owner") return d.Error();
                  if (Slurp(path) != "[s]\nk = 0\n") return "file changed";
                  if (Names(dir.path) != names) return "directory changed";
                  if (const int rc = d.Save(path, CONF_DOC_IN_PLACE); rc != 0)
                      return "in place: " + std::to_string(rc);
                  return "";
              }),
              "");
    const struct stat st = Stat(path);
    EXPECT_EQ(Slurp(path), "[s]\nk = 1\n");
    EXPECT_EQ(st.st_uid, 0u);
    EXPECT_EQ(st.st_gid, kShared);
    EXPECT_EQ(st.st_mode & 07777, 0660u);
}

// A file the process may not open for writing is refused even where its
// directory is writable (a user's 0444 file, as the shell's ">>" refuses
// it); a setgid file of the user's own keeps its bit.
TEST(ConfFileProperties, AUsersOwnFiles) {
    NEED_ROOT();
    ScratchDir dir;
    ASSERT_EQ(chown(dir.path.c_str(), kOther, kOther), 0);
    const std::string ro = dir / "ro.conf", sg = dir / "sg.conf";
    for (const std::string &p : {ro, sg}) {
        Spit(p, "[s]\nk = 0\n");
        ASSERT_EQ(chown(p.c_str(), kOther, kOther), 0);
    }
    ASSERT_EQ(chmod(ro.c_str(), 0444), 0);
    ASSERT_EQ(chmod(sg.c_str(), 02640), 0);
    EXPECT_EQ(InChild([&]() -> std::string {
                  if (!BecomeOther()) return "cannot become the other user";
                  errno = 0;
                  if (const int rc = SaveValue(ro, "1"); rc != -114 || errno != EACCES)
                      return "read-only: " + std::to_string(rc);
                  if (const int rc = SaveValue(sg, "1"); rc != 0)
                      return "setgid: " + std::to_string(rc);
                  return "";
              }),
              "");
    EXPECT_EQ(Slurp(ro), "[s]\nk = 0\n");
    EXPECT_EQ(Stat(sg).st_mode & 07777, 02640u);
    EXPECT_EQ(Slurp(sg), "[s]\nk = 1\n");
}

// --- Kinds of file ----------------------------------------------------------

// Devices, FIFOs and sockets are refused before a byte is read or written;
// hard links are refused unless the save is in place, which writes through
// every name.
TEST(ConfFileKinds, OnlyRegularFilesWithOneLink) {
    ScratchDir dir;
    const std::string fifo = dir / "fifo.conf";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    for (const std::string &p : {std::string("/dev/null"), std::string("/dev/zero"), fifo}) {
        SCOPED_TRACE(p);
        Doc d;
        EXPECT_EQ(d.Read(p), -117);
        ASSERT_EQ(d.Set("k", "1"), 0);
        EXPECT_EQ(d.Save(p), -117);
        EXPECT_EQ(d.Error(), "not a regular file");
    }
    EXPECT_TRUE(S_ISCHR(Stat("/dev/null").st_mode));
    EXPECT_TRUE(S_ISFIFO(Stat(fifo).st_mode));
    const std::string a = dir / "a.conf", b = dir / "b.conf";
    Spit(a, "[s]\nk = 0\n");
    ASSERT_EQ(link(a.c_str(), b.c_str()), 0);
    EXPECT_EQ(SaveValue(a, "1"), -118);
    EXPECT_EQ(Slurp(b), "[s]\nk = 0\n");
    EXPECT_EQ(SaveValue(a, "1", CONF_DOC_IN_PLACE), 0);
    EXPECT_EQ(Slurp(b), "[s]\nk = 1\n");
    EXPECT_EQ(Stat(a).st_ino, Stat(b).st_ino);
}

// Every name the filesystem takes can be saved: temporary names are short.
TEST(ConfFileKinds, ALongNameSaves) {
    ScratchDir dir;
    const std::string path = dir / std::string(255, 'n');
    Spit(path, "[s]\nk = 0\n");
    EXPECT_EQ(SaveValue(path, "1"), 0);
    EXPECT_EQ(Slurp(path), "[s]\nk = 1\n");
}

// --- The lock and other writers ----------------------------------------------

// A reader holding every lock it can take delays no save; a writer holding
// the lock makes a second save give up after its wait with -116.
TEST(ConfFileLock, ReadersCannotBlockAndWritersWaitABoundedTime) {
    ScratchDir dir;
    const std::string path = dir / "app.conf";
    Spit(path, "[s]\nk = 0\n");
    const int reader = open(path.c_str(), O_RDONLY);
    struct flock fl {};
    fl.l_type = F_RDLCK;
    fl.l_whence = SEEK_SET;
    ASSERT_EQ(fcntl(reader, F_OFD_SETLK, &fl), 0);
    const int other = open(path.c_str(), O_RDONLY);
    ASSERT_EQ(flock(other, LOCK_EX), 0);
    auto begin = std::chrono::steady_clock::now();
    EXPECT_EQ(SaveValue(path, "1"), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(1));
    close(reader);
    close(other);
    // A writer stopped in the middle of its save, holding the lock.
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const pid_t writer = fork();
    if (writer == 0) {
        nivra::conf::g_sys_fault.arg = &fds[1];
        nivra::conf::g_sys_fault.trace = [](const char *step, void *arg) {
            if (std::strcmp(step, "write") != 0) return;
            (void)!write(*static_cast<int *>(arg), "", 1);
            pause();
        };
        (void)SaveValue(path, "held");
        _exit(0);
    }
    char byte;
    ASSERT_EQ(read(fds[0], &byte, 1), 1);
    Doc d;
    ASSERT_EQ(d.Read(path), 0);
    ASSERT_EQ(d.Set("k", "2"), 0);
    begin = std::chrono::steady_clock::now();
    EXPECT_EQ(d.Save(path, 0, 300), -116);
    EXPECT_GE(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(300));
    EXPECT_EQ(d.Error(), "file is locked by another process");
    kill(writer, SIGKILL);
    waitpid(writer, nullptr, 0);
    close(fds[0]);
    close(fds[1]);
    EXPECT_EQ(Slurp(path), "[s]\nk = 1\n");
    EXPECT_EQ(d.Save(path), 0);  // the lock died with its holder
}

// Another writer is found by the file, whatever the spelling of the path;
// a change that keeps the length is a change.
TEST(ConfFileLock, AnotherWriterIsFoundByTheFileNotItsSpelling) {
    ScratchDir dir;
    ASSERT_EQ(mkdir((dir / "rs").c_str(), 0755), 0);
    const std::string path = dir / "rs/a.conf";
    Spit(path, "[s]\nk = 0\n");
    Doc d;
    ASSERT_EQ(d.Read(path), 0);
    ASSERT_EQ(d.Set("k", "1"), 0);
    ASSERT_EQ(SaveValue(path, "9"), 0);  // another writer, same length
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(chdir(dir.path.c_str()), 0);
    EXPECT_EQ(d.Save("./rs/a.conf"), -112);
    EXPECT_EQ(d.Save("rs/../rs/a.conf"), -112);
    EXPECT_EQ(Slurp(path), "[s]\nk = 9\n");
    ASSERT_EQ(chdir(cwd), 0);
}

// --- Every step failing in turn ---------------------------------------------

// Each system call of a save fails in turn: before the rename the result is
// an error with the file as it was, the document unchanged and nothing
// left; the directory's sync after it gives -119 with the text in place,
// and the next save does not take its own text for another writer's.
TEST(ConfFileFaults, EveryStepFailingInTurn) {
    ScratchDir dir;
    const std::string path = dir / "app.conf";
    std::set<std::string> covered;
    for (const unsigned flags : {0u, static_cast<unsigned>(CONF_DOC_IN_PLACE)}) {
        for (long k = 1;; ++k) {
            SCOPED_TRACE("flags " + std::to_string(flags) + ", step " + std::to_string(k));
            Spit(path, "[s]\nk = 0\n");
            // As root, another owner and an attribute make the steps that
            // give them run too.
            if (geteuid() == 0) {
                ASSERT_EQ(chown(path.c_str(), kOther, kOther), 0);
                ASSERT_EQ(setxattr(path.c_str(), "user.tag", "t", 1, 0), 0);
            }
            Doc d;
            ASSERT_EQ(d.Read(path), 0);
            ASSERT_EQ(d.Set("k", "1"), 0);
            Steps steps;
            nivra::conf::g_sys_fault.err = EIO;
            nivra::conf::g_sys_fault.countdown = k;
            const int rc = d.Save(path, flags);
            const bool fired = nivra::conf::g_sys_fault.countdown == 0;
            nivra::conf::g_sys_fault.countdown = 0;
            if (!fired) {
                ASSERT_EQ(rc, 0);
                EXPECT_GT(k, 8);
                break;
            }
            const std::string step = steps.seen.back();
            EXPECT_EQ(Names(dir.path), std::set<std::string>{"app.conf"}) << step;
            if (step == "fsync directory") {
                EXPECT_EQ(rc, -119);
                EXPECT_EQ(Slurp(path), "[s]\nk = 1\n");
                ASSERT_EQ(d.Set("k", "2"), 0);
                EXPECT_EQ(d.Save(path, flags), 0) << "the document blamed its own save";
                continue;
            }
            EXPECT_EQ(rc, -113) << step;
            EXPECT_EQ(errno, EIO) << step;
            covered.insert(step);
            if (flags == 0) {
                EXPECT_EQ(Slurp(path), "[s]\nk = 0\n") << step;
            }
        }
    }
    for (const char *step : {"open file", "open directory", "openat file", "openat lock", "lock",
                             "read", "open O_TMPFILE", "fchmod", "flistxattr", "write",
                             "fsync file", "linkat", "renameat", "ftruncate"})
        EXPECT_EQ(covered.count(step), 1u) << step;
    if (geteuid() == 0) {
        EXPECT_EQ(covered.count("fchown"), 1u);
        EXPECT_EQ(covered.count("fsetxattr"), 1u);
    }
}

// The directory is synced after the rename, and only then is the save done.
TEST(ConfFileFaults, TheDirectoryIsSyncedAfterTheRename) {
    ScratchDir dir;
    const std::string path = dir / "app.conf";
    Spit(path, "[s]\nk = 0\n");
    Steps steps;
    ASSERT_EQ(SaveValue(path, "1"), 0);
    const auto at = [&](const char *name) {
        for (size_t i = 0; i < steps.seen.size(); ++i) {
            if (steps.seen[i] == name) return static_cast<long>(i);
        }
        return -1L;
    };
    ASSERT_GE(at("renameat"), 0);
    EXPECT_GT(at("fsync directory"), at("renameat"));
    EXPECT_LT(at("fchmod"), at("write"));
    EXPECT_LT(at("fchmod"), at("fsync file"));
}

// Permission refusals of the other steps: owner, mode and attributes.
TEST(ConfFileFaults, RefusedPropertiesGiveTheirError) {
    NEED_ROOT();
    ScratchDir dir;
    const std::string path = dir / "app.conf";
    struct Case {
        const char *step;
        const char *text;
    };
    const Case cases[] = {{"fchown", "file property cannot be kept: owner"},
                          {"fchmod", "file property cannot be kept: mode"}};
    for (const Case &c : cases) {
        Spit(path, "[s]\nk = 0\n");
        ASSERT_EQ(chown(path.c_str(), kOther, kOther), 0);
        Doc d;
        ASSERT_EQ(d.Read(path), 0);
        ASSERT_EQ(d.Set("k", "1"), 0);
        struct Fail {
            const char *step;
            static void On(const char *step, void *arg) {
                if (std::strcmp(step, static_cast<Fail *>(arg)->step) == 0)
                    nivra::conf::g_sys_fault.countdown = 1;
            }
        } fail{c.step};
        nivra::conf::g_sys_fault.err = EPERM;
        nivra::conf::g_sys_fault.trace = Fail::On;
        nivra::conf::g_sys_fault.arg = &fail;
        EXPECT_EQ(d.Save(path), -115) << c.step;
        nivra::conf::g_sys_fault.trace = nullptr;
        nivra::conf::g_sys_fault.countdown = 0;
        EXPECT_EQ(d.Error(), c.text);
        EXPECT_EQ(Slurp(path), "[s]\nk = 0\n");
        EXPECT_EQ(Names(dir.path), std::set<std::string>{"app.conf"});
    }
}

}  // namespace
