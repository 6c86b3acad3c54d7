// What an operator looks at first in a loaded matrix: its range, its
// zeros, its zero rows and columns.
#ifndef ZUB_TOOLS_MATRIX_SUMMARY_H
#define ZUB_TOOLS_MATRIX_SUMMARY_H

#include <string>
#include <vector>

#include "zub_feedback/matrix.h"

namespace zub_cli {

struct matrix_summary {
  long long values = 0;  // rows x cols
  long long zeros = 0;
  // lo > hi for a matrix without elements.
  double lo = 0.0;
  double hi = -1.0;
  std::vector<long long> zero_rows;
  std::vector<long long> zero_cols;
};

matrix_summary summarize(zub_feedback::const_matrix_view m);

// The first element that is not a finite number, as "(i, j) = v", or "":
// what loads is finite, but a product can leave the float range.
std::string first_non_finite(zub_feedback::const_matrix_view m);

}  // namespace zub_cli

#endif  // ZUB_TOOLS_MATRIX_SUMMARY_H
