// The numeric core's regularised inverse of a response matrix (m monitors x
// n correctors) in double precision: truncation by a relative cut-off or a
// count of modes, Tikhonov damping and a gain per mode, on LAPACK's
// divide-and-conquer SVD (dgesdd). Framework-free.
//
// From R = U diag(s) V^T, the inverse is
//
//   K = V diag(d) U^T,  d_i = g_i s_i / (s_i^2 + alpha^2)
//
// for the modes kept and d_i = 0 for the others. With alpha = 0 and every
// g_i = 1 it is svd_inverse's truncated pseudo-inverse; with alpha > 0, no
// cut and every g_i = 1 it is (R^T R + alpha^2 I)^-1 R^T.
#ifndef ZUB_FEEDBACK_REGULARIZED_INVERSE_H
#define ZUB_FEEDBACK_REGULARIZED_INVERSE_H

#include <vector>

#include "matrix.h"
#include "result.h"
#include "zub_feedback_export.h"

namespace zub_feedback {

struct regularization_options {
  // Mode i enters only when s_i > rcond x s_max; negative: no relative
  // cut-off.
  double rcond = -1.0;
  // At most this many modes, largest first; negative: no limit.
  int keep = -1;
  // The Tikhonov parameter alpha, in the units of the singular values;
  // 0: plain truncation.
  double tikhonov = 0.0;
  // alpha = s[tikhonov_mode], the singular value of that mode (counted from
  // 0), instead of `tikhonov`; negative: not used.
  int tikhonov_mode = -1;
  // A gain g_i >= 0 per mode, one for each of the min(m, n) singular values;
  // empty: all 1. A mode with gain 0 is left out.
  std::vector<double> mode_gains;
};

struct regularized_inverse_result {
  matrix inverse;                       // n x m, in double precision
  std::vector<double> singular_values;  // min(m, n), largest first
  // Per mode, d_i relative to 1/s_i: g_i s_i^2 / (s_i^2 + alpha^2) for a
  // mode kept, 0 for one left out.
  std::vector<double> filter_factors;
  int kept = 0;           // modes in the inverse
  double tikhonov = 0.0;  // the alpha used
  // s_max / s_min over the modes kept; 0 when none is.
  double condition = 0.0;
  // The largest over the smallest effective gain d_i of the modes kept:
  // `condition` itself with alpha = 0 and every g_i = 1; 0 when none is.
  double effective_condition = 0.0;
};

// Mode i is kept when s_i > 0, s_i > rcond x s_max (rcond >= 0), i < keep
// (keep >= 0), g_i > 0 and d_i is a finite double: a zero singular value
// never enters, whatever alpha. Refuses (bad_argument) a NaN rcond, a
// tikhonov that is NaN, negative or infinite, a tikhonov above 0 together
// with a tikhonov_mode, a tikhonov_mode beyond the singular values, gains of
// another count than the singular values or one that is NaN, negative or
// infinite, and a matrix too large for LAPACK's integers; a NaN or an
// infinity in the matrix (not_finite, naming the first in row-major order)
// and a failed decomposition (svd_failed). An empty matrix gives an empty
// inverse.
ZUB_FEEDBACK_API result<regularized_inverse_result> regularized_inverse(
    const_matrix_view a, const regularization_options& options = {});

}  // namespace zub_feedback

#endif  // ZUB_FEEDBACK_REGULARIZED_INVERSE_H
