#include "message_text.h"

#include <cstdarg>
#include <cstdio>

namespace zub_internal {

std::string message_text(const char* format, ...) {
  char emsg[kMessageBufferSize];
  va_list args;
  va_start(args, format);
  std::vsnprintf(emsg, sizeof emsg, format, args);
  va_end(args);
  return emsg;
}

}  // namespace zub_internal
