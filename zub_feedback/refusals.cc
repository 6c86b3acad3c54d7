#include "refusals.h"

#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>

namespace zub_internal {

using zub_feedback::error_code;
using zub_feedback::refusal;
using zub_feedback::status;

refusal make_refusal(error_code code, const char* format, ...) {
  char text[kMessageBufferSize];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  refusal r;
  r.code = code;
  r.message = text;
  return r;
}

// The products' message names the operands as the property does: `this`
// (a), its operand A (b) and the result B (the product).
status check_product_shapes(long long a_rows, long long a_cols,
                            long long b_rows, long long b_cols,
                            long long p_rows, long long p_cols) {
  if (a_rows == p_rows && b_cols == p_cols && a_cols == b_rows) return {};
  return make_refusal(error_code::shape_mismatch,
                      "ERROR: Dimension mismatch: dim(this): %lld x %lld "
                      "dim(A): %lld x %lld dim(B): %lld x %lld ",
                      a_rows, a_cols, b_rows, b_cols, p_rows, p_cols);
}

status check_entrywise_shapes(long long a_rows, long long a_cols,
                              long long b_rows, long long b_cols,
                              long long p_rows, long long p_cols) {
  if (a_rows == b_rows && a_rows == p_rows && a_cols == b_cols &&
      a_cols == p_cols) {
    return {};
  }
  return make_refusal(error_code::shape_mismatch,
                      "ERROR: Dimension mismatch: dim(this): %lld x %lld "
                      "dim(A): %lld x %lld dim(B): %lld x %lld ",
                      a_rows, a_cols, b_rows, b_cols, p_rows, p_cols);
}

status check_transpose_shapes(long long a_rows, long long a_cols,
                              long long t_rows, long long t_cols) {
  if (a_rows == t_cols && a_cols == t_rows) return {};
  return make_refusal(error_code::shape_mismatch,
                      "ERROR: Dimension mismatch: dim(transR) (%lld x %lld) "
                      "must be inverse of dim(this) (%lld x %lld)",
                      t_rows, t_cols, a_rows, a_cols);
}

refusal empty_matrix_refusal(long long rows, long long cols) {
  return make_refusal(error_code::shape_mismatch,
                      "ERROR: cannot invert a %lld x %lld matrix !\n", rows,
                      cols);
}

status check_finite(zub_feedback::const_matrix_view a) {
  for (std::size_t i = 0; i < a.rows(); ++i) {
    const double* row = a.row(i);
    for (std::size_t j = 0; j < a.cols(); ++j) {
      if (!std::isfinite(row[j])) {
        return make_refusal(error_code::not_finite,
                            "ERROR: element (%lld, %lld) is not a finite "
                            "number !\n",
                            static_cast<long long>(i),
                            static_cast<long long>(j));
      }
    }
  }
  return {};
}

namespace {

// The addresses [first, last) that a view's elements lie in; empty for an
// empty view.
struct span {
  std::uintptr_t first = 0;
  std::uintptr_t last = 0;
};

span span_of(zub_feedback::const_matrix_view v) {
  if (v.empty()) return {};
  const auto first = reinterpret_cast<std::uintptr_t>(v.data());
  const std::size_t count = (v.rows() - 1) * v.stride() + v.cols();
  return {first, first + count * sizeof(double)};
}

}  // namespace

bool overlap(zub_feedback::const_matrix_view a,
             zub_feedback::const_matrix_view b) {
  const span x = span_of(a);
  const span y = span_of(b);
  return x.first < y.last && y.first < x.last;
}

}  // namespace zub_internal
