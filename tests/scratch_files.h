// scratch_files.h - what the tests of saving share: a scratch directory
// removed with all it holds, a file's bytes read and written whole, the
// names in a directory, and a body run in a child process.
#ifndef NIVRA_TESTS_SCRATCH_FILES_H
#define NIVRA_TESTS_SCRATCH_FILES_H

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <set>
#include <string>

// The file's bytes; "" when it cannot be read (a directory included).
inline std::string Slurp(const std::string &path) {
    std::string out;
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK);
    char buf[65536];
    for (ssize_t n; fd >= 0 && (n = read(fd, buf, sizeof buf)) > 0;)
        out.append(buf, static_cast<size_t>(n));
    if (fd >= 0) close(fd);
    return out;
}

inline void Spit(const std::string &path, const std::string &bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// The names in dir, "." and ".." aside.
inline std::set<std::string> Names(const std::string &dir) {
    std::set<std::string> names;
    if (DIR *d = opendir(dir.c_str())) {
        while (const dirent *e = readdir(d)) {
            if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
                names.insert(e->d_name);
        }
        closedir(d);
    }
    return names;
}

// Removes path and, for a directory, everything below it.
inline void RemoveTree(const std::string &path) {
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) return;
    if (!S_ISDIR(st.st_mode)) {
        unlink(path.c_str());
        return;
    }
    chmod(path.c_str(), 0700);
    for (const std::string &n : Names(path)) RemoveTree(path + "/" + n);
    rmdir(path.c_str());
}

// A scratch directory with the given mode, removed with what it holds.
struct ScratchDir {
    std::string path;
    explicit ScratchDir(mode_t mode = 0700) {
        char pattern[] = "/tmp/nivra_save_XXXXXX";
        if (mkdtemp(pattern) == nullptr) std::abort();
        path = pattern;
        chmod(path.c_str(), mode);
    }
    ~ScratchDir() { RemoveTree(path); }
    ScratchDir(const ScratchDir &) = delete;
    ScratchDir &operator=(const ScratchDir &) = delete;
    std::string operator/(const std::string &name) const { return path + "/" + name; }
};

// Runs body in a child process; its result ("" for success, else what went
// wrong) comes back through a pipe.
inline std::string InChild(const std::function<std::string()> &body) {
    int fds[2];
    if (pipe(fds) != 0) return "pipe failed";
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        const std::string r = body();
        (void)!write(fds[1], r.data(), r.size());
        _exit(0);
    }
    close(fds[1]);
    std::string out;
    char buf[256];
    for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;)
        out.append(buf, static_cast<size_t>(n));
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) out += " (child ended abnormally)";
    return out;
}

#endif  // NIVRA_TESTS_SCRATCH_FILES_H
