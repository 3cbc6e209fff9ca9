// scratch_dir.h - a scratch directory for tests that edit files the way
// editors and administrators do, removed with everything in it.
#ifndef NIVRA_TESTS_SCRATCH_DIR_H
#define NIVRA_TESTS_SCRATCH_DIR_H

#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

class Scratch {
  public:
    Scratch() {
        char pattern[] = "/tmp/nivra_scratch_XXXXXX";
        if (mkdtemp(pattern) == nullptr) std::abort();
        dir_ = pattern;
    }
    ~Scratch() { std::filesystem::remove_all(dir_); }
    Scratch(const Scratch &) = delete;
    Scratch &operator=(const Scratch &) = delete;

    std::string Path(const std::string &rel) const { return dir_ + "/" + rel; }
    // Writes text to rel in place (the same inode when it exists), making
    // its directories; returns its path.
    std::string Write(const std::string &rel, const std::string &text) const {
        const std::string p = Path(rel);
        std::filesystem::create_directories(std::filesystem::path(p).parent_path());
        std::ofstream(p, std::ios::binary | std::ios::trunc) << text;
        return p;
    }
    // Replaces rel by a new file holding text, as an editor's save does.
    std::string Replace(const std::string &rel, const std::string &text) const {
        const std::string p = Path(rel);
        Write(rel + ".tmp~", text);
        std::filesystem::rename(p + ".tmp~", p);
        return p;
    }

  private:
    std::string dir_;
};

#endif  // NIVRA_TESTS_SCRATCH_DIR_H
