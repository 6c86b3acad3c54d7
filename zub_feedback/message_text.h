// Internal: a message's text as the library logs it, cut to the framework's
// fixed buffer, for the core's refusals to carry the very text that the
// property logs. Framework-free. Not installed.
#ifndef ZUB_FEEDBACK_MESSAGE_TEXT_H
#define ZUB_FEEDBACK_MESSAGE_TEXT_H

#include <cstddef>
#include <string>

namespace zub_internal {

// Every message is cut to what fits this buffer (99 characters).
constexpr std::size_t kMessageBufferSize = 100;

// printf's formatting, cut as a logged message is.
__attribute__((format(printf, 1, 2))) std::string message_text(
    const char* format, ...);

}  // namespace zub_internal

#endif  // ZUB_FEEDBACK_MESSAGE_TEXT_H
