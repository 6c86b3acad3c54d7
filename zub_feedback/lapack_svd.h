// Internal: the singular value decomposition of a row-major matrix through
// LAPACK's divide-and-conquer dgesdd, the base of the fast inverses (the
// plain pseudo-inverse now, a regularised one later). Not installed.
#ifndef ZUB_FEEDBACK_LAPACK_SVD_H
#define ZUB_FEEDBACK_LAPACK_SVD_H

#include <vector>

#include "zub_feedback/matrix.h"
#include "zub_feedback/result.h"

namespace zub_internal {

// A = U diag(s) Vt, economy size: for an m x n matrix A and k = min(m, n),
// U is m x k with orthonormal columns, s holds k singular values, largest
// first, and Vt is k x n with orthonormal rows.
struct svd_factors {
  zub_feedback::matrix u;
  std::vector<double> s;
  zub_feedback::matrix vt;
};

// Refuses a NaN or an infinity (named as invert names it), a shape beyond
// LAPACK's integers, and a decomposition that fails. An empty matrix gives
// empty factors.
zub_feedback::result<svd_factors> lapack_svd(zub_feedback::const_matrix_view a);

}  // namespace zub_internal

#endif  // ZUB_FEEDBACK_LAPACK_SVD_H
