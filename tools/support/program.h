// What every command-line program on zub_feedback shares: its exit
// statuses, its failures (a message and a status, thrown and turned into
// both by run_main), warnings on standard error and the --version line.
#ifndef ZUB_TOOLS_PROGRAM_H
#define ZUB_TOOLS_PROGRAM_H

#include <functional>
#include <string>

namespace zub_cli {

constexpr int kExitRefused = 1;
constexpr int kExitUsage = 2;

// A matrix beyond this many elements is refused rather than allocated.
constexpr long long kMaxElements = 20000000;

// The program's own failures: the message goes to standard error, the
// status becomes the exit status.
struct failure {
  int status;
  std::string message;
};

[[noreturn]] void refuse(const std::string& message);
[[noreturn]] void bad_usage(const std::string& message);

// A warning on standard error, after what the program printed so far.
void warn(const char* program, const std::string& text);

// The line that --version prints.
void print_version(const char* program);

// The body of main(): what `body` returns is the exit status; a failure it
// throws is shown as "PROGRAM: MESSAGE" (a usage error with "Try 'PROGRAM
// --help'." under it) and exits with its status, any other exception with
// kExitRefused.
int run_main(const char* program, const std::function<int()>& body);

}  // namespace zub_cli

#endif  // ZUB_TOOLS_PROGRAM_H
