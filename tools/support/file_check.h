// How a response-matrix file reads, line by line, for the programs that
// show it to an operator (rmtool, the feedback demo): its shape and each
// data line from which the matrix would not get what the line shows, found
// by the same code that load_file runs.
#ifndef ZUB_TOOLS_FILE_CHECK_H
#define ZUB_TOOLS_FILE_CHECK_H

#include <cstdio>
#include <string>
#include <vector>

namespace zub_cli {

// A data line that does not load as what it shows.
struct line_problem {
  long long file_line;  // from 1
  std::string text;
};

struct measured_file {
  long long rows = 0;  // as load_file measures them
  long long cols = 0;
  long long last_line = 0;  // file line of the last data line
  std::string last_stop;    // where its values ended, if at no comment
  // The data lines that load_file refuses, each with why.
  std::vector<line_problem> problems;
  // When the last data line's values end early (at a name, or at a comma
  // in "1,5"): that it sets the number of columns the others are measured
  // against. Not a fault: the loader ignores what follows a row's values.
  std::string note;
  std::string bytes;  // the copy that was measured
};

// Reads a file as load_file does (one consistent copy, the same lines and
// values, the same shape) and finds each data line that load_file refuses,
// by the library's own check of a line: one that does not hold as many
// values as the last data line, or holds one beyond the float range. The
// reason says where its values ended, when they ended at anything but a
// comment or the line's end, and names a byte-order mark. A file that
// cannot be read or changes meanwhile is refused.
measured_file measure(const std::string& path);

// The offending lines, each named: the first ones in full, the others by
// their numbers; then the note, which explains them.
void print_problems(FILE* to, const measured_file& m);

[[noreturn]] void refuse_offending(const std::string& path,
                                   const measured_file& m);

// After load_file, which reads the file on its own: a rewrite between the
// measuring and the load would show one version's lines and shape beside
// the other's values. The measured copy is released.
void confirm_unchanged(const std::string& path, measured_file& m);

// A file that must load as it reads, measured: every offending line is
// named on standard error, and the file refused.
measured_file measure_checked(const std::string& path);

}  // namespace zub_cli

#endif  // ZUB_TOOLS_FILE_CHECK_H
