// capture.h - collects what a function writes to a FILE*.
#ifndef NIVRA_TESTS_CAPTURE_H
#define NIVRA_TESTS_CAPTURE_H

#include <cstdio>
#include <cstdlib>
#include <string>

class Capture {
  public:
    Capture() : f_(open_memstream(&buf_, &len_)) {}
    ~Capture() {
        if (f_ != nullptr) std::fclose(f_);
        std::free(buf_);
    }
    Capture(const Capture &) = delete;
    Capture &operator=(const Capture &) = delete;

    std::FILE *file() { return f_; }
    // Everything written so far.
    std::string text() {
        std::fflush(f_);
        return std::string(buf_, len_);
    }

  private:
    char *buf_ = nullptr;
    size_t len_ = 0;
    std::FILE *f_;
};

#endif  // NIVRA_TESTS_CAPTURE_H
