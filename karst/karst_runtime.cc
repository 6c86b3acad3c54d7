#include "karst_runtime.h"

#include <cstdio>
#include <utility>

int KARST_debug = 0;

namespace karst {
namespace {

// The framework's own process-wide settings, replaceable by the host.
LogSink& current_sink() {
  static LogSink sink;
  return sink;
}

std::function<time_t()>& current_time_source() {
  static std::function<time_t()> source;
  return source;
}

void write_to_stderr(const std::string& where, const std::string& message,
                     unsigned level) {
  // One line per message: a message that ends in its own newline gets none.
  const bool has_newline = !message.empty() && message.back() == '\n';
  std::fprintf(stderr, "[%08x] %s: %s%s", level, where.c_str(), message.c_str(),
               has_newline ? "" : "\n");
}

}  // namespace

void printtostderr(const std::string& where, const std::string& message,
                   unsigned level) {
  const LogSink& sink = current_sink();
  if (sink) {
    sink(where, message, level);
  } else {
    write_to_stderr(where, message, level);
  }
}

LogSink set_log_sink(LogSink sink) {
  return std::exchange(current_sink(), std::move(sink));
}

std::function<time_t()> set_time_source(std::function<time_t()> f) {
  return std::exchange(current_time_source(), std::move(f));
}

}  // namespace karst

time_t KARSTtime() {
  const auto& source = karst::current_time_source();
  return source ? source() : std::time(nullptr);
}
