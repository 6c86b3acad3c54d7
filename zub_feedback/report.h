// Internal: the one way the library's operations log a message. Not
// installed.
#ifndef ZUB_FEEDBACK_REPORT_H
#define ZUB_FEEDBACK_REPORT_H

#include <cstddef>
#include <string>

#include "message_text.h"  // kMessageBufferSize
#include "zub_feedback.h"

namespace zub_internal {

// Message levels, as the public header names them for hosts.
using zub_feedback::kLevelError;
using zub_feedback::kLevelInfo;
using zub_feedback::kLevelTiming;

// Formats one message into the fixed buffer and hands it to the framework's
// logger under `name`, the reporting operation.
__attribute__((format(printf, 3, 4))) void report(const std::string& name,
                                                  unsigned level,
                                                  const char* format, ...);

}  // namespace zub_internal

#endif  // ZUB_FEEDBACK_REPORT_H
