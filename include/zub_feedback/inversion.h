// The numeric core's inverses of a response matrix (m monitors x n
// correctors) on plain doubles. Framework-free.
//
// - truncated_svd_inverse: the server's numbers, exactly as the property's
//   invert computes them (GSL's one-sided SVD, its tolerance rules, elements
//   as floats);
// - pseudo_inverse: exactly as the property's pinv (Armadillo's pinv);
// - svd_inverse: fast, in double precision, on LAPACK's divide-and-conquer
//   SVD (dgesdd), for callers who want speed rather than the server's
//   numbers.
#ifndef ZUB_FEEDBACK_INVERSION_H
#define ZUB_FEEDBACK_INVERSION_H

#include <vector>

#include "matrix.h"
#include "result.h"
#include "zub_feedback_export.h"

namespace zub_feedback {

// The tolerance that asks truncated_svd_inverse for its internal one.
constexpr float kInternalTolerance = -1.0f;

struct truncated_svd_result {
  // n x m; each element the value of a float, numerical noise written as 0.
  matrix inverse;
  // All min(m, n) singular values, largest first, the removed ones too.
  std::vector<double> singular_values;
  // How many singular values entered the inverse.
  int kept = 0;
  // The tolerance used: the caller's, or the internal one derived from the
  // matrix when kInternalTolerance was passed.
  float tolerance = 0.0f;
  bool internal_tolerance = false;
  // Singular values left out because they are zero or their reciprocal is
  // beyond the float range.
  int removed_infinite = 0;
  // The matrix was decomposed as its transpose (it has more rows than
  // columns).
  bool transposed = false;
};

// A singular value s enters when s > s_max x tolerance (a relative cut-off)
// and its reciprocal is a finite float. Refuses an empty matrix, a NaN
// tolerance, a NaN or infinite element, a singular value beyond the float
// range, and a decomposition that fails.
ZUB_FEEDBACK_API result<truncated_svd_result> truncated_svd_inverse(
    const_matrix_view a, float tolerance = kInternalTolerance);

struct pseudo_inverse_result {
  matrix inverse;  // n x m, in double precision
  // Input elements with 0 < |a| < tolerance set to 0 before the inversion.
  int removed_in_input = 0;
  // Elements of the inverse with 0 < |b| < 2^-52 set to 0 after it.
  int removed_in_inverse = 0;
};

// Armadillo's pseudo-inverse with its own tolerance, after the input filter
// that `tolerance` sets. Refuses a matrix that holds a NaN or an infinity
// after that filter (not_finite, naming the first in row-major order:
// Armadillo's shortcuts would return garbage as success), a failed SVD,
// and an element of the inverse beyond the float range.
ZUB_FEEDBACK_API result<pseudo_inverse_result> pseudo_inverse(
    const_matrix_view a, float tolerance);

struct svd_inverse_options {
  // Modes with s_i <= rcond x s_max are left out; negative: numpy's default
  // for pinv, 1e-15.
  double rcond = -1.0;
  // At most this many modes, largest first; negative: no limit.
  int keep = -1;
};

struct svd_inverse_result {
  matrix inverse;                       // n x m
  std::vector<double> singular_values;  // min(m, n), largest first
  int kept = 0;                         // modes in the inverse
};

// Refuses a NaN or an infinity in the matrix (not_finite, naming the first
// in row-major order), a NaN rcond, a matrix too large for LAPACK's
// integers (bad_argument) and a failed decomposition.
ZUB_FEEDBACK_API result<svd_inverse_result> svd_inverse(
    const_matrix_view a, const svd_inverse_options& options = {});

}  // namespace zub_feedback

#endif  // ZUB_FEEDBACK_INVERSION_H
