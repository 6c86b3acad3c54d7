// How a response-matrix file reads, line by line, for the programs that
// show it to an operator (rmtool, the feedback demo): the core's diagnosis
// of the file, read once, presented. Nothing here decides how a file reads.
#ifndef ZUB_TOOLS_FILE_CHECK_H
#define ZUB_TOOLS_FILE_CHECK_H

#include <cstdio>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "zub_feedback.h"
#include "zub_feedback/matrix.h"
#include "zub_feedback/result.h"

namespace zub_cli {

// A data line that does not load as a row.
struct line_problem {
  long long file_line;  // from 1
  std::string text;     // the core's detail: "line 3: ..."
};

struct measured_file {
  long long rows = 0;  // data lines
  long long cols = 0;  // the count of values most data lines hold
  // The data lines that do not load as a row of `cols` values, each with
  // why, in file order, as many as the core lists; the others counted.
  std::vector<line_problem> problems;
  long long more_problems = 0;
  // What explains the shape of a file without offending lines as a whole
  // (decimal commas, no value at all).
  std::string note;
  // Without problems: the matrix that load_file must give, float for float.
  zub_feedback::matrix values;
  // Without problems: the names and metadata of a named file (empty lists
  // for a plain one), or why they do not fit (the values are then read).
  std::vector<std::string> monitors;
  std::vector<std::string> correctors;
  std::vector<std::pair<std::string, std::string>> metadata;
  std::optional<zub_feedback::refusal> names_refused;
};

// Reads a file once and diagnoses it with the core. A file that cannot be
// read or changes meanwhile is refused, saying why.
measured_file measure(const std::string& path);

// The offending lines, each named: the first ones in full, the others by
// their numbers.
void print_problems(FILE* to, const measured_file& m);

[[noreturn]] void refuse_offending(const std::string& path,
                                   const measured_file& m);

// After load_file, which reads the file on its own: a rewrite between the
// measuring and the load would show one version's lines and shape beside
// the other's values. The load must have given the measured floats, bit for
// bit; the measured values are then released.
void confirm_unchanged(const std::string& path, measured_file& m,
                       const MDFA_ResponseMatrix& loaded);

// A file that must load as it reads, measured: every offending line is
// named on standard error, and the file refused.
measured_file measure_checked(const std::string& path);

}  // namespace zub_cli

#endif  // ZUB_TOOLS_FILE_CHECK_H
