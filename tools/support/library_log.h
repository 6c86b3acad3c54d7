// How a program that hosts properties (the feedback demo) shows the
// library's log messages: a sink installed for the sink object's lifetime.
#ifndef ZUB_TOOLS_LIBRARY_LOG_H
#define ZUB_TOOLS_LIBRARY_LOG_H

#include <string>

#include "karst_runtime.h"

namespace zub_cli {

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
  library_log(const log_style& style, bool show_details);
  ~library_log();
  library_log(const library_log&) = delete;
  library_log& operator=(const library_log&) = delete;

  int errors() const { return errors_; }
  bool shows_details() const { return show_details_; }

 private:
  void receive(const std::string& where, const std::string& message,
               unsigned level);

  const log_style style_;
  const bool show_details_;
  int errors_ = 0;
  karst::LogSink previous_;
};

}  // namespace zub_cli

#endif  // ZUB_TOOLS_LIBRARY_LOG_H
