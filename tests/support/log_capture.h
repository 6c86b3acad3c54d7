// Captures the framework's log messages for the lifetime of the object.
#ifndef ZUB_TESTS_LOG_CAPTURE_H
#define ZUB_TESTS_LOG_CAPTURE_H

#include <cctype>
#include <string>
#include <utility>
#include <vector>

#include "karst.h"

namespace zub_test {

struct LogEntry {
  std::string where;
  std::string message;
  unsigned level;
};

class LogCapture {
 public:
  LogCapture()
      : previous_(karst::set_log_sink([this](const std::string& where,
                                             const std::string& message,
                                             unsigned level) {
          entries_.push_back({where, message, level});
        })) {}
  ~LogCapture() { karst::set_log_sink(std::move(previous_)); }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  const std::vector<LogEntry>& entries() const { return entries_; }
  size_t size() const { return entries_.size(); }
  const LogEntry& operator[](size_t i) const { return entries_.at(i); }
  const LogEntry& last() const { return entries_.back(); }
  void clear() { entries_.clear(); }

  // Messages logged at `level`, in order.
  std::vector<std::string> messages_at(unsigned level) const {
    std::vector<std::string> out;
    for (const auto& e : entries_) {
      if (e.level == level) out.push_back(e.message);
    }
    return out;
  }

 private:
  std::vector<LogEntry> entries_;
  karst::LogSink previous_;
};

// "took (ms): " followed by a "%.4f" number.
inline bool is_timing_message(const std::string& m) {
  const std::string prefix = "took (ms): ";
  if (m.rfind(prefix, 0) != 0) return false;
  const std::string number = m.substr(prefix.size());
  const size_t dot = number.find('.');
  if (dot == 0 || dot == std::string::npos || number.size() != dot + 5) {
    return false;
  }
  for (size_t i = 0; i < number.size(); ++i) {
    if (i != dot && !std::isdigit(static_cast<unsigned char>(number[i]))) {
      return false;
    }
  }
  return true;
}

}  // namespace zub_test

#endif  // ZUB_TESTS_LOG_CAPTURE_H
