#include "support/matrix_summary.h"

#include <algorithm>
#include <cmath>

#include "support/format.h"

namespace zub_cli {

namespace {

std::string element_text(size_t i, size_t j, double v) {
  return format("(%zu, %zu) = %g", i, j, v);
}

}  // namespace

matrix_summary summarize(zub_feedback::const_matrix_view m) {
  matrix_summary s;
  s.values = static_cast<long long>(m.rows() * m.cols());
  s.lo = INFINITY;
  s.hi = -INFINITY;
  std::vector<bool> row_zero(m.rows(), true);
  std::vector<bool> col_zero(m.cols(), true);
  for (size_t i = 0; i < m.rows(); ++i) {
    for (size_t j = 0; j < m.cols(); ++j) {
      const double v = m(i, j);
      s.lo = std::min(s.lo, v);
      s.hi = std::max(s.hi, v);
      if (v == 0.0) {
        ++s.zeros;
      } else {
        row_zero[i] = false;
        col_zero[j] = false;
      }
    }
  }
  for (size_t k = 0; k < row_zero.size(); ++k) {
    if (row_zero[k]) s.zero_rows.push_back(static_cast<long long>(k));
  }
  for (size_t k = 0; k < col_zero.size(); ++k) {
    if (col_zero[k]) s.zero_cols.push_back(static_cast<long long>(k));
  }
  return s;
}

std::string first_non_finite(zub_feedback::const_matrix_view m) {
  for (size_t i = 0; i < m.rows(); ++i) {
    for (size_t j = 0; j < m.cols(); ++j) {
      const double v = m(i, j);
      if (!std::isfinite(v)) return element_text(i, j, v);
    }
  }
  return "";
}

}  // namespace zub_cli
