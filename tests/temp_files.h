// temp_files.h - files with given bytes in a scratch directory, removed with
// the directory when the owner goes out of scope.
#ifndef NIVRA_TESTS_TEMP_FILES_H
#define NIVRA_TESTS_TEMP_FILES_H

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

class TempFiles {
  public:
    TempFiles() {
        char pattern[] = "/tmp/nivra_test_XXXXXX";
        if (mkdtemp(pattern) == nullptr) std::abort();
        dir_ = pattern;
    }
    ~TempFiles() {
        for (const std::string &f : files_) std::remove(f.c_str());
        rmdir(dir_.c_str());
    }
    TempFiles(const TempFiles &) = delete;
    TempFiles &operator=(const TempFiles &) = delete;

    // A new file holding exactly bytes; returns its path.
    std::string Write(const std::string &bytes) {
        std::string path = dir_ + "/f" + std::to_string(files_.size()) + ".conf";
        std::FILE *f = std::fopen(path.c_str(), "wb");
        if (f == nullptr) std::abort();
        std::fwrite(bytes.data(), 1, bytes.size(), f);
        std::fclose(f);
        files_.push_back(path);
        return path;
    }
    // The scratch directory itself (a name that opens but cannot be read).
    const std::string &dir() const { return dir_; }

  private:
    std::string dir_;
    std::vector<std::string> files_;
};

#endif  // NIVRA_TESTS_TEMP_FILES_H
