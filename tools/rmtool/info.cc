// rmtool info: what a file holds, as the loader measures and loads it.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "commands.h"
#include "support/file_check.h"
#include "support/format.h"
#include "support/matrix_summary.h"
#include "support/program.h"

namespace rmtool {

using zub_cli::bad_usage;
using zub_cli::format;
using zub_cli::refuse;

namespace {

// "zero rows    2: monitors 3 7": the count, then the first twelve.
void print_zero_lines(const char* label, const char* what,
                      const std::vector<long long>& zero) {
  std::string list;
  for (size_t k = 0; k < zero.size() && k < 12; ++k) {
    list += (list.empty() ? "" : " ") + std::to_string(zero[k]);
  }
  if (zero.size() > 12) list += " ...";
  std::printf("%s %zu%s%s\n", label, zero.size(),
              zero.empty() ? "" : format(": %s ", what).c_str(), list.c_str());
}

}  // namespace

int run_info(const arguments& a) {
  expect_positional(a, 1, "info", "one FILE");
  if (a.inversion_options()) bad_usage("info takes no options but --verbose");
  const std::string& path = a.positional[0];
  zub_cli::measured_file shape = zub_cli::measure(path);
  std::printf("file      %s\n", path.c_str());
  std::printf(
      "shape     %lld x %lld (data lines x the values most data lines "
      "hold)\n",
      shape.rows, shape.cols);
  zub_cli::print_problems(stdout, shape);
  // The note explains the shape as a whole: "1,5" is 1 value followed by
  // text.
  if (!shape.note.empty()) std::printf("          (%s)\n", shape.note.c_str());
  // A file that does not load has no values to show: the matrix would not
  // hold them.
  if (!shape.problems.empty()) zub_cli::refuse_offending(path, shape);
  const loaded_matrix lm = load(path, std::move(shape), a);

  const zub_feedback::named_matrix& f = lm.file;
  if (!f.monitors.empty()) {
    std::printf("monitors  %s\n", name_list(f.monitors, 5).c_str());
  }
  if (!f.correctors.empty()) {
    std::printf("correctors %s\n", name_list(f.correctors, 5).c_str());
  }
  for (size_t k = 0; k < f.metadata.size(); ++k) {
    std::printf("%s %s: %s\n", k == 0 ? "metadata " : "         ",
                f.metadata[k].first.c_str(), f.metadata[k].second.c_str());
  }

  const zub_cli::matrix_summary sum = zub_cli::summarize(lm.values());
  std::printf("values    %lld, %lld of them zero\n", sum.values, sum.zeros);
  if (sum.lo <= sum.hi) {
    std::printf("range     %.7g ... %.7g (largest magnitude %.7g)\n", sum.lo,
                sum.hi, std::max(std::fabs(sum.lo), std::fabs(sum.hi)));
  }
  print_zero_lines("zero rows   ", "monitors", sum.zero_rows);
  print_zero_lines("zero columns", "correctors", sum.zero_cols);
  return 0;
}

}  // namespace rmtool
