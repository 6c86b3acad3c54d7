#include "support/library_log.h"

#include <cstdio>
#include <utility>

#include "report.h"

namespace zub_cli {

library_log::library_log(const log_style& style, bool show_details)
    : style_(style),
      show_details_(show_details),
      previous_(karst::set_log_sink(
          [this](const std::string& where, const std::string& message,
                 unsigned level) { receive(where, message, level); })) {}

library_log::~library_log() { karst::set_log_sink(std::move(previous_)); }

void library_log::receive(const std::string& where, const std::string& message,
                          unsigned level) {
  std::string text = message;
  while (!text.empty() && text.back() == '\n') text.pop_back();
  if (level == zub_internal::kLevelError) {
    ++errors_;
    if (style_.flush_before_error) std::fflush(stdout);
    std::fprintf(stderr, "%s: %s: %s\n", style_.program, where.c_str(),
                 text.c_str());
  } else if (show_details_) {
    style_.show_detail(where, text);
  }
}

}  // namespace zub_cli
