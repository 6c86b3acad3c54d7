// Runs a program with arguments and collects its exit status, standard
// output and standard error, for tests of the command-line programs.
#ifndef ZUB_TESTS_RUN_PROGRAM_H
#define ZUB_TESTS_RUN_PROGRAM_H

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "temp_file.h"

namespace zub_test {

struct program_result {
  bool exited = false;  // false: ended by a signal (a crash) or not run
  int status = -1;      // exit status when exited
  std::string out;
  std::string err;
};

// The argument quoted for the shell, whatever it holds.
inline std::string shell_quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) {
    if (c == '\'') {
      q += "'\\''";
    } else {
      q += c;
    }
  }
  return q + "'";
}

inline std::string read_whole_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// Runs `program` with `args`; in the directory `cwd` when one is given.
inline program_result run_program(const std::string& program,
                                  const std::vector<std::string>& args,
                                  const std::string& cwd = "") {
  const TempDir dir;
  const std::string out = (dir.path() / "stdout").string();
  const std::string err = (dir.path() / "stderr").string();
  std::string command = cwd.empty() ? "" : "cd " + shell_quote(cwd) + " && ";
  command += shell_quote(program);
  for (const std::string& a : args) command += " " + shell_quote(a);
  command += " </dev/null >" + shell_quote(out) + " 2>" + shell_quote(err);
  const int raw = std::system(command.c_str());
  program_result r;
  // The shell reports a child killed by a signal as 128 + the signal.
  if (raw != -1 && WIFEXITED(raw) && WEXITSTATUS(raw) < 128) {
    r.exited = true;
    r.status = WEXITSTATUS(raw);
  }
  r.out = read_whole_file(out);
  r.err = read_whole_file(err);
  return r;
}

// The tolerance that a warning names as "(--tol T)", or "" without one.
inline std::string named_tolerance(const std::string& err) {
  const size_t at = err.find("(--tol ");
  if (at == std::string::npos) return "";
  return err.substr(at + 7, err.find(')', at) - at - 7);
}

// A refusal: a clear message on standard error, the given status, no crash.
inline void expect_refused(const program_result& r, int status,
                           const std::string& message) {
  ASSERT_TRUE(r.exited) << "crashed; stderr: " << r.err;
  EXPECT_EQ(r.status, status) << r.err;
  EXPECT_NE(r.err.find(message), std::string::npos) << r.err;
}

}  // namespace zub_test

#endif  // ZUB_TESTS_RUN_PROGRAM_H
