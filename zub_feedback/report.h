// Internal: the one way the library's operations log a message. Not
// installed.
#ifndef ZUB_FEEDBACK_REPORT_H
#define ZUB_FEEDBACK_REPORT_H

#include <cstddef>
#include <string>

namespace zub_internal {

// Message levels: single-bit masks fixed per kind of message.
constexpr unsigned kLevelError = 0x80000000u;
constexpr unsigned kLevelInfo = 0x80u;
constexpr unsigned kLevelTiming = 0x8u;

// Every message is cut to what fits this buffer (99 characters).
constexpr std::size_t kMessageBufferSize = 100;

// Formats one message into the fixed buffer and hands it to the framework's
// logger under `name`, the reporting operation.
__attribute__((format(printf, 3, 4))) void report(const std::string& name,
                                                  unsigned level,
                                                  const char* format, ...);

}  // namespace zub_internal

#endif  // ZUB_FEEDBACK_REPORT_H
