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

// LAPACK sees the row-major m x n matrix A as the column-major n x m matrix
// B = A^T, and decomposes B = U_B diag(s) VT_B. Then A = VT_B^T diag(s)
// U_B^T: the column-major k x m VT_B is, in memory, A's row-major m x k U,
// and the column-major n x k U_B is A's row-major k x n Vt. Nothing is
// transposed.
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

  matrix b(a);  // dgesdd destroys its input
  svd_factors f{matrix(m, k), std::vector<double>(k), matrix(k, n)};
  const char jobz = 'S';
  const int rows_b = static_cast<int>(n);
  const int cols_b = static_cast<int>(m);
  const int lda = rows_b;
  const int ld_u_b = rows_b;
  const int ld_vt_b = static_cast<int>(k);
  std::vector<int> iwork(8 * k);
  int info = 0;
  // The workspace query: the optimal size comes back in work[0].
  double optimal = 0.0;
  int lwork = -1;
  dgesdd_(&jobz, &rows_b, &cols_b, b.data(), &lda, f.s.data(), f.vt.data(),
          &ld_u_b, f.u.data(), &ld_vt_b, &optimal, &lwork, iwork.data(), &info,
          1);
  if (info == 0) {
    if (!(optimal < static_cast<double>(INT_MAX))) {
      return make_refusal(error_code::bad_argument,
                          "ERROR: matrix of %zu x %zu too large for LAPACK "
                          "!\n",
                          m, n);
    }
    lwork = std::max(1, static_cast<int>(optimal));
    std::vector<double> work(static_cast<std::size_t>(lwork));
    dgesdd_(&jobz, &rows_b, &cols_b, b.data(), &lda, f.s.data(), f.vt.data(),
            &ld_u_b, f.u.data(), &ld_vt_b, work.data(), &lwork, iwork.data(),
            &info, 1);
  }
  if (info != 0) {
    return make_refusal(error_code::svd_failed, "ERROR: SVD failed !\n");
  }
  return f;
}

}  // namespace zub_internal
