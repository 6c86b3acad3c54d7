// Captures what the process writes to standard output (C stdio and
// std::cout alike) between construction and text().
#ifndef ZUB_TESTS_STDOUT_CAPTURE_H
#define ZUB_TESTS_STDOUT_CAPTURE_H

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>

namespace zub_test {

class StdoutCapture {
 public:
  StdoutCapture() {
    std::cout.flush();
    std::fflush(stdout);
    file_ = std::tmpfile();
    saved_fd_ = dup(fileno(stdout));
    if (file_ == nullptr || saved_fd_ < 0 ||
        dup2(fileno(file_), fileno(stdout)) < 0) {
      throw std::runtime_error("cannot redirect standard output");
    }
  }
  ~StdoutCapture() {
    restore();
    if (file_ != nullptr) std::fclose(file_);
  }
  StdoutCapture(const StdoutCapture&) = delete;
  StdoutCapture& operator=(const StdoutCapture&) = delete;

  // Ends the capture (if still running) and returns everything written.
  std::string text() {
    restore();
    std::string out;
    std::rewind(file_);
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, file_)) > 0) out.append(buf, n);
    return out;
  }

 private:
  void restore() {
    if (saved_fd_ < 0) return;
    std::cout.flush();
    std::fflush(stdout);
    dup2(saved_fd_, fileno(stdout));
    close(saved_fd_);
    saved_fd_ = -1;
  }

  std::FILE* file_ = nullptr;
  int saved_fd_ = -1;
};

}  // namespace zub_test

#endif  // ZUB_TESTS_STDOUT_CAPTURE_H
