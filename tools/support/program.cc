#include "support/program.h"

#include <cstdio>
#include <exception>
#include <new>

#include "zub_feedback_version.h"

namespace zub_cli {

void refuse(const std::string& message) {
  throw failure{kExitRefused, message};
}

void bad_usage(const std::string& message) {
  throw failure{kExitUsage, message};
}

void warn(const char* program, const std::string& text) {
  std::fflush(stdout);
  std::fprintf(stderr, "%s: warning: %s\n", program, text.c_str());
}

void print_version(const char* program) {
  std::printf("%s (zub_feedback) %s\n", program, ZUB_FEEDBACK_VERSION_STRING);
}

int run_main(const char* program, const std::function<int()>& body) {
  // What the program printed comes before its last word.
  try {
    return body();
  } catch (const failure& f) {
    std::fflush(stdout);
    std::fprintf(stderr, "%s: %s\n", program, f.message.c_str());
    if (f.status == kExitUsage) {
      std::fprintf(stderr, "Try '%s --help'.\n", program);
    }
    return f.status;
  } catch (const std::bad_alloc&) {
    std::fflush(stdout);
    std::fprintf(stderr, "%s: out of memory\n", program);
    return kExitRefused;
  } catch (const std::exception& e) {
    std::fflush(stdout);
    std::fprintf(stderr, "%s: %s\n", program, e.what());
    return kExitRefused;
  }
}

}  // namespace zub_cli
