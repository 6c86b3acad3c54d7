#include "report.h"

#include <cstdarg>
#include <cstdio>

#include "karst.h"

namespace zub_internal {

void report(const std::string& name, unsigned level, const char* format, ...) {
  char emsg[kMessageBufferSize];
  va_list args;
  va_start(args, format);
  std::vsnprintf(emsg, sizeof emsg, format, args);
  va_end(args);
  karst::printtostderr(name, emsg, level);
}

}  // namespace zub_internal
