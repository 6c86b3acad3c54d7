#include "support/matrix_summary.h"

#include <algorithm>
#include <cmath>

#include "support/format.h"

namespace zub_cli {

namespace {

std::string element_text(int i, int j, float v) {
  return format("(%d, %d) = %g", i, j, static_cast<double>(v));
}

}  // namespace

matrix_summary summarize(const MDFA_ResponseMatrix& m) {
  matrix_summary s;
  s.values = static_cast<long long>(m.rows) * m.cols;
  s.lo = INFINITY;
  s.hi = -INFINITY;
  std::vector<bool> row_zero(static_cast<size_t>(m.rows), true);
  std::vector<bool> col_zero(static_cast<size_t>(m.cols), true);
  for (int i = 0; i < m.rows; ++i) {
    for (int j = 0; j < m.cols; ++j) {
      const float v = m.value(i, j, -1, -1, -1, -1);
      s.lo = std::min<double>(s.lo, v);
      s.hi = std::max<double>(s.hi, v);
      if (v == 0.0f) {
        ++s.zeros;
      } else {
        row_zero[static_cast<size_t>(i)] = false;
        col_zero[static_cast<size_t>(j)] = false;
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

std::string first_non_finite(const MDFA_ResponseMatrix& m) {
  for (int i = 0; i < m.rows; ++i) {
    for (int j = 0; j < m.cols; ++j) {
      const float v = m.value(i, j, -1, -1, -1, -1);
      if (!std::isfinite(v)) return element_text(i, j, v);
    }
  }
  return "";
}

}  // namespace zub_cli
