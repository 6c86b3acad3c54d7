// What the command-line programs on zub_feedback (rmtool, the feedback demo)
// share: their version, exit statuses and failures, printf-like formatting,
// warnings, a sink that shows the library's log messages for the program's
// lifetime, and the capture of what the library writes to std::cout.
// Header-only: each program is a single source file.
#ifndef ZUB_TOOLS_CLI_SUPPORT_H
#define ZUB_TOOLS_CLI_SUPPORT_H

#include <cstdarg>
#include <cstdio>
#include <iostream>
#include <sstream>
#include <string>
#include <utility>

#include "karst_runtime.h"
#include "zub_feedback_version.h"

namespace zub_cli {

constexpr const char* kVersion = ZUB_FEEDBACK_VERSION_STRING;

// The line that --version prints.
inline void print_version(const char* program) {
  std::printf("%s (zub_feedback) %s\n", program, kVersion);
}

constexpr unsigned kLevelError = 0x80000000u;
constexpr int kExitRefused = 1;
constexpr int kExitUsage = 2;

// A matrix beyond this many elements is refused rather than allocated.
constexpr long long kMaxElements = 20000000;

// The program's own failures: the message goes to standard error, the
// status becomes the exit status.
struct failure {
  int status;
  std::string message;
};

[[noreturn]] inline void refuse(const std::string& message) {
  throw failure{kExitRefused, message};
}
[[noreturn]] inline void bad_usage(const std::string& message) {
  throw failure{kExitUsage, message};
}

inline std::string format(const char* fmt, ...)
    __attribute__((format(printf, 1, 2)));
inline std::string format(const char* fmt, ...) {
  char buf[512];
  va_list args;
  va_start(args, fmt);
  std::vsnprintf(buf, sizeof buf, fmt, args);
  va_end(args);
  return buf;
}

// A warning on standard error, after what the program printed so far.
inline void warn(const char* program, const std::string& text) {
  std::fflush(stdout);
  std::fprintf(stderr, "%s: warning: %s\n", program, text.c_str());
}

// How a program shows the library's messages.
struct log_style {
  const char* program;  // prefix of the error lines on standard error
  // Shows one message that is not an error; `text` has no trailing newline.
  void (*show_detail)(const std::string& where, const std::string& text);
  // Flush standard output before an error line, for a program that shows
  // its details there and wants the error in its place among them.
  bool flush_before_error;
};

// Receives the library's log messages for its lifetime. Errors are always
// shown and counted (a refused operation reports one and returns); the
// other messages only when `show_details`.
class library_log {
 public:
  library_log(const log_style& style, bool show_details)
      : style_(style),
        show_details_(show_details),
        previous_(karst::set_log_sink(
            [this](const std::string& where, const std::string& message,
                   unsigned level) { receive(where, message, level); })) {}
  ~library_log() { karst::set_log_sink(std::move(previous_)); }
  library_log(const library_log&) = delete;
  library_log& operator=(const library_log&) = delete;

  int errors() const { return errors_; }
  bool shows_details() const { return show_details_; }

 private:
  void receive(const std::string& where, const std::string& message,
               unsigned level) {
    std::string text = message;
    while (!text.empty() && text.back() == '\n') text.pop_back();
    if (level == kLevelError) {
      ++errors_;
      if (style_.flush_before_error) std::fflush(stdout);
      std::fprintf(stderr, "%s: %s: %s\n", style_.program, where.c_str(),
                   text.c_str());
    } else if (show_details_) {
      style_.show_detail(where, text);
    }
  }

  const log_style style_;
  const bool show_details_;
  int errors_ = 0;
  karst::LogSink previous_;
};

// Runs f with std::cout redirected and returns what was written there:
// invert writes a line to it after transposing a tall matrix, which must
// not mix with the program's own output.
template <typename F>
std::string capture_cout(F&& f) {
  std::ostringstream captured;
  std::streambuf* const saved = std::cout.rdbuf(captured.rdbuf());
  try {
    f();
  } catch (...) {
    std::cout.rdbuf(saved);
    throw;
  }
  std::cout.rdbuf(saved);
  return captured.str();
}

}  // namespace zub_cli

#endif  // ZUB_TOOLS_CLI_SUPPORT_H
