// Captures what the process writes to standard output (C stdio and
// std::cout alike), or to standard error, between construction and text().
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

class StreamCapture {
 public:
  explicit StreamCapture(std::FILE* stream) : stream_(stream) {
    std::cout.flush();
    std::fflush(stream_);
    file_ = std::tmpfile();
    saved_fd_ = dup(fileno(stream_));
    if (file_ == nullptr || saved_fd_ < 0 ||
        dup2(fileno(file_), fileno(stream_)) < 0) {
      throw std::runtime_error("cannot redirect an output stream");
    }
  }
  ~StreamCapture() {
    restore();
    if (file_ != nullptr) std::fclose(file_);
  }
  StreamCapture(const StreamCapture&) = delete;
  StreamCapture& operator=(const StreamCapture&) = delete;

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
    std::fflush(stream_);
    dup2(saved_fd_, fileno(stream_));
    close(saved_fd_);
    saved_fd_ = -1;
  }

  std::FILE* const stream_;
  std::FILE* file_ = nullptr;
  int saved_fd_ = -1;
};

class StdoutCapture : public StreamCapture {
 public:
  StdoutCapture() : StreamCapture(stdout) {}
};

class StderrCapture : public StreamCapture {
 public:
  StderrCapture() : StreamCapture(stderr) {}
};

}  // namespace zub_test

#endif  // ZUB_TESTS_STDOUT_CAPTURE_H
