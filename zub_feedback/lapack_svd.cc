#include "lapack_svd.h"

#include <algorithm>
#include <climits>
#include <cstddef>

#include "refusals.h"

extern "C" {
// LAPACK's Fortran interface; the trailing argument is the hidden length of
// the character argument that gfortran passes.
void dgesdd_(const char* jobz, const int* m, const int* n, double* a,
             const int* lda, double* s, double* u, const int* ldu, double* vt,
             const int* ldvt, double* work, const int* lwork, int* iwork,
             int* info, std::size_t jobz_length);
}

namespace zub_internal {

using zub_feedback::error_code;
using zub_feedback::matrix;

namespace {

// dgesdd on the column-major M x N matrix `a` (ld M), with its workspace
// query: U M x k (ld M), VT k x N (ld k). LAPACK's info, or 1 for a
// workspace beyond its integers.
int gesdd(int M, int N, double* a, double* s, double* u, double* vt) {
  const char jobz = 'S';
  const int k = std::min(M, N);
  std::vector<int> iwork(8 * static_cast<std::size_t>(k));
  int info = 0;
  double optimal = 0.0;  // the query's answer
  int lwork = -1;
  dgesdd_(&jobz, &M, &N, a, &M, s, u, &M, vt, &k, &optimal, &lwork,
          iwork.data(), &info, 1);
  if (info != 0) return info;
  if (!(optimal < static_cast<double>(INT_MAX))) return 1;
  lwork = std::max(1, static_cast<int>(optimal));
  std::vector<double> work(static_cast<std::size_t>(lwork));
  dgesdd_(&jobz, &M, &N, a, &M, s, u, &M, vt, &k, work.data(), &lwork,
          iwork.data(), &info, 1);
  return info;
}

// The rows x cols row-major matrix whose memory holds `from` column by
// column: to and from LAPACK's order.
matrix transposed(const matrix& from) {
  matrix to(from.cols(), from.rows());
  for (std::size_t i = 0; i < to.rows(); ++i) {
    for (std::size_t j = 0; j < to.cols(); ++j) to(i, j) = from(j, i);
  }
  return to;
}

}  // namespace

// LAPACK reads a row-major m x n matrix A as the column-major n x m matrix
// B = A^T. When m <= n, B is decomposed, B = U_B diag(s) VT_B, and A =
// VT_B^T diag(s) U_B^T: the column-major k x m VT_B is, in memory, A's
// row-major m x k U, and the column-major n x k U_B is A's row-major k x n
// Vt. A taller A is copied into column-major order and decomposed itself,
// as dgesdd runs faster on a matrix with at least as many rows as columns
// (1000 x 500: about 15 per cent), and its factors are copied back.
zub_feedback::result<svd_factors> lapack_svd(
    zub_feedback::const_matrix_view a) {
  const zub_feedback::status finite = check_finite(a);
  if (!finite) return finite.error();
  const std::size_t m = a.rows();
  const std::size_t n = a.cols();
  const std::size_t k = std::min(m, n);
  if (k == 0) return svd_factors{matrix(m, 0), {}, matrix(0, n)};
  // dgesdd needs 8k integers of work, and every count must be an int.
  if (std::max(m, n) > static_cast<std::size_t>(INT_MAX) / 8 ||
      m > static_cast<std::size_t>(INT_MAX) / n) {
    return make_refusal(error_code::bad_argument,
                        "ERROR: matrix of %zu x %zu too large for LAPACK !\n",
                        m, n);
  }

  svd_factors f;
  f.s.resize(k);
  int info = 0;
  if (m <= n) {
    matrix b(a);  // dgesdd destroys its input
    f.u = matrix(m, k);
    f.vt = matrix(k, n);
    info = gesdd(static_cast<int>(n), static_cast<int>(m), b.data(), f.s.data(),
                 f.vt.data(), f.u.data());
  } else {
    matrix b = transposed(matrix(a));
    matrix u(k, m);   // column-major m x k
    matrix vt(n, k);  // column-major k x n
    info = gesdd(static_cast<int>(m), static_cast<int>(n), b.data(), f.s.data(),
                 u.data(), vt.data());
    f.u = transposed(u);
    f.vt = transposed(vt);
  }
  if (info != 0) {
    return make_refusal(error_code::svd_failed, "ERROR: SVD failed !\n");
  }
  return f;
}

}  // namespace zub_internal
