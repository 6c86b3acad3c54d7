// The numeric core's inverses on row-major doubles: the property's
// truncated-SVD inverse (GSL) and pseudo-inverse (Armadillo), and the fast
// inverse on LAPACK's dgesdd.
#include "zub_feedback/inversion.h"

#include <gsl/gsl_blas.h>
#include <gsl/gsl_cblas.h>
#include <gsl/gsl_errno.h>
#include <gsl/gsl_linalg.h>
#include <gsl/gsl_math.h>
#include <gsl/gsl_matrix.h>
#include <gsl/gsl_vector.h>

#include <algorithm>
#include <armadillo>
#include <cfloat>
#include <cmath>
#include <cstddef>
#include <utility>

#include "gsl_owners.h"
#include "inversion_steps.h"
#include "lapack_svd.h"
#include "refusals.h"
#include "svd_cutoff.h"

namespace zub_internal {

namespace {

using zub_feedback::error_code;
using zub_feedback::matrix;
using Vector = gsl_vector_owner;

gsl_matrix_view gsl_view(matrix& m) {
  return gsl_matrix_view_array(m.data(), m.rows(), m.cols());
}

// The diagonal of D+ into `dplus`: 1/s for each singular value above the
// cut-off, 0 for the others. A zero singular value, or one whose reciprocal
// no float holds, never enters, whatever the tolerance, and is counted in
// `infs`. Returns the number that entered.
int kept_values(const gsl_vector& S, double cutoff, std::vector<double>& dplus,
                int& infs) {
  infs = 0;
  int kept = 0;
  for (std::size_t i = 0; i < S.size; ++i) {
    const double s = gsl_vector_get(&S, i);
    const double o = 1.0 / s;
    if (gsl_isinf(o) || o > FLT_MAX) ++infs;
    const bool enters = enters_inverse(s, cutoff);
    if (enters) ++kept;
    dplus[i] = enters ? o : 0.0;
  }
  return kept;
}

// R+ = U (D+ V^T), with D+ V^T formed in V's place: element (i, j) is
// dplus(i) V(j, i). The + 0.0 gives a zero product the sign that a BLAS
// product gives it (its sums start at +0).
matrix truncated_inverse(matrix& U, matrix& V,
                         const std::vector<double>& dplus) {
  const std::size_t r = V.rows();
  double* const v = V.data();
  for (std::size_t i = 0; i < r; ++i) {
    const double di = dplus[i];
    v[i * r + i] = di * v[i * r + i] + 0.0;
    for (std::size_t j = i + 1; j < r; ++j) {
      const double vij = v[i * r + j];
      v[i * r + j] = di * v[j * r + i] + 0.0;
      v[j * r + i] = dplus[j] * vij + 0.0;
    }
  }
  matrix R_plus(U.rows(), r);
  gsl_matrix_view u = gsl_view(U);
  gsl_matrix_view vt = gsl_view(V);
  gsl_matrix_view rp = gsl_view(R_plus);
  gsl_blas_dgemm(CblasNoTrans, CblasNoTrans, 1.0, &u.matrix, &vt.matrix, 0.0,
                 &rp.matrix);
  return R_plus;
}

}  // namespace

// Truncated pseudo-inverse of the m x n matrix A through GSL's SVD.
//
// GSL decomposes a matrix with at least as many rows as columns, so the
// matrix decomposed is B, the c x r orientation of A with r = min(m, n) and
// c = max(m, n): B = A^T when m <= n, B = A when m > n.
//
//   B = U D V^T
//
// U is c x r with orthonormal columns (the left singular vectors), D =
// diag(s_0, ..., s_{r-1}) with s_0 >= s_1 >= ... >= 0 (the singular values)
// and V is r x r orthogonal (the right singular vectors). With D+ holding
// 1/s_i for each s_i above the cut-off and 0 elsewhere,
//
//   R+ = U D+ V^T
//
// is the truncated pseudo-inverse of B^T: pinv(A) itself when m <= n, its
// transpose when m > n.
//
// B is A's own memory when m > n, D+ V^T is a scaling of the rows of V^T
// formed in V's place, and R+ is read transposed rather than copied; each
// gives the doubles of the textbook sequence of transposed copies and full
// products.
zub_feedback::result<truncated_svd_outcome> truncated_svd(
    matrix a, float tolerance, bool keep_unfiltered) {
  if (a.empty()) {
    return empty_matrix_refusal(static_cast<long long>(a.rows()),
                                static_cast<long long>(a.cols()));
  }
  if (std::isnan(tolerance)) {
    return make_refusal(error_code::bad_argument,
                        "ERROR: SVD cut off tolerance is NaN !\n");
  }
  // GSL's SVD gives NaN singular values for these, which the count would
  // report as kept.
  const zub_feedback::status finite = check_finite(a);
  if (!finite) return finite.error();

  const std::size_t m = a.rows();
  const std::size_t n = a.cols();
  const bool transposed = m > n;
  const std::size_t r = std::min(m, n);
  const std::size_t c = std::max(m, n);
  matrix U;
  if (transposed) {
    U = std::move(a);  // B = A
  } else {
    U = matrix(n, m);  // B = A^T
    for (std::size_t i = 0; i < n; ++i) {
      for (std::size_t j = 0; j < m; ++j) U(i, j) = a(j, i);
    }
    a = matrix();  // not held through the decomposition
  }
  matrix V(r, r);
  const Vector S(gsl_vector_alloc(r));
  {
    const Vector work(gsl_vector_alloc(r));
    gsl_matrix_view u = gsl_view(U);
    gsl_matrix_view v = gsl_view(V);
    if (gsl_linalg_SV_decomp(&u.matrix, &v.matrix, S.get(), work.get()) !=
        GSL_SUCCESS) {
      return make_refusal(error_code::svd_failed, "ERROR: SVD failed !\n");
    }
  }
  const double largest = gsl_vector_max(S.get());
  // The spectrum holds floats: a larger singular value would be published
  // as an infinity.
  if (largest > FLT_MAX) {
    return make_refusal(error_code::beyond_float,
                        "ERROR: singular value %e beyond float range !\n",
                        largest);
  }

  truncated_svd_outcome out;
  zub_feedback::truncated_svd_result& res = out.result;
  const float internal = internal_tolerance(largest, static_cast<int>(c));
  res.internal_tolerance = tolerance == zub_feedback::kInternalTolerance;
  res.tolerance = res.internal_tolerance ? internal : tolerance;
  res.transposed = transposed;
  // The tolerance sets the cut-off, relative to the largest singular value.
  out.reciprocals.resize(r);
  res.kept = kept_values(*S, largest * static_cast<double>(res.tolerance),
                         out.reciprocals, res.removed_infinite);
  res.singular_values.assign(S->data, S->data + r);  // stride 1: allocated
  matrix R_plus = truncated_inverse(U, V, out.reciprocals);
  U = matrix();
  V = matrix();

  // The n x m inverse: R+ when the matrix was not transposed, R+ read
  // transposed when it was.
  if (transposed) {
    matrix inverse(n, m);
    for (std::size_t i = 0; i < n; ++i) {
      for (std::size_t j = 0; j < m; ++j) inverse(i, j) = R_plus(j, i);
    }
    R_plus = std::move(inverse);
  }
  if (keep_unfiltered) out.unfiltered = R_plus;

  // Numerical noise written as 0 (svd_cutoff.h), every other element
  // rounded to the float that the property stores.
  double largest_element = 0.0;
  double* const e = R_plus.data();
  const std::size_t count = R_plus.size();
  for (std::size_t k = 0; k < count; ++k) {
    largest_element = std::max(largest_element, std::fabs(e[k]));
  }
  const double noise =
      inverse_noise_bound(static_cast<double>(res.tolerance),
                          static_cast<double>(internal), largest_element);
  for (std::size_t k = 0; k < count; ++k) {
    e[k] = std::fabs(e[k]) > noise
               ? static_cast<double>(static_cast<float>(e[k]))
               : 0.0;
  }
  res.inverse = std::move(R_plus);
  return out;
}

int remove_small_elements(matrix& a, double tolerance) {
  // Without branches: a matrix that mixes kept and removed elements costs
  // no mispredictions.
  int removed = 0;
  double* const e = a.data();
  const std::size_t count = a.size();
  for (std::size_t k = 0; k < count; ++k) {
    const bool small = tolerance > std::fabs(e[k]) && e[k] != 0.0;
    removed += small;
    e[k] = small ? 0.0 : e[k];
  }
  return removed;
}

zub_feedback::result<zub_feedback::pseudo_inverse_result>
pseudo_inverse_of_filtered(const matrix& a) {
  // Armadillo takes shortcuts around its SVD (a diagonal matrix, a
  // symmetric positive definite one) that return garbage as success for a
  // NaN or an infinity: diag(inf, 2) comes back all zero.
  const zub_feedback::status finite = check_finite(a);
  if (!finite) return finite.error();

  const arma::uword m = a.rows();
  const arma::uword n = a.cols();
  arma::mat A(m, n, arma::fill::none);
  for (arma::uword j = 0; j < n; ++j) {
    for (arma::uword i = 0; i < m; ++i) A(i, j) = a(i, j);
  }
  // Armadillo's own tolerance and divide-and-conquer SVD; this form prints
  // nothing when the SVD fails.
  arma::mat B;
  if (!arma::pinv(B, A)) {
    return make_refusal(error_code::svd_failed, "ERROR: SVD failed !\n");
  }
  // One pass both filters B and notes whether an element lies beyond the
  // float range (from a singular value below 1/FLT_MAX that Armadillo
  // keeps), which the property would store as an infinity. Such a result
  // is refused with the first of those elements in Armadillo's order.
  zub_feedback::pseudo_inverse_result out;
  bool beyond_float = false;
  for (double& b : B) {
    const double magnitude = std::fabs(b);
    const bool removed = kDoubleEpsilon > magnitude && b != 0.0;
    out.removed_in_inverse += removed;
    beyond_float |= magnitude > FLT_MAX;
    b = removed ? 0.0 : b;
  }
  if (beyond_float) {
    const auto first = std::find_if(
        B.begin(), B.end(), [](double b) { return std::fabs(b) > FLT_MAX; });
    return make_refusal(
        error_code::beyond_float,
        "ERROR: pseudo-inverse element %e beyond float range !\n", *first);
  }
  out.inverse = matrix(n, m);
  for (arma::uword i = 0; i < n; ++i) {
    for (arma::uword j = 0; j < m; ++j) out.inverse(i, j) = B(i, j);
  }
  return out;
}

}  // namespace zub_internal

namespace zub_feedback {

result<truncated_svd_result> truncated_svd_inverse(const_matrix_view a,
                                                   float tolerance) {
  auto outcome = zub_internal::truncated_svd(matrix(a), tolerance, false);
  if (!outcome) return outcome.error();
  return std::move(outcome.value().result);
}

result<pseudo_inverse_result> pseudo_inverse(const_matrix_view a,
                                             float tolerance) {
  matrix filtered(a);
  const int removed = zub_internal::remove_small_elements(
      filtered, static_cast<double>(tolerance));
  auto outcome = zub_internal::pseudo_inverse_of_filtered(filtered);
  if (outcome) outcome.value().removed_in_input = removed;
  return outcome;
}

// A+ = V D+ U^T from A = U D Vt (lapack_svd.h), with D+ holding 1/s_i for
// the modes kept and 0 for the others: the rows of Vt are scaled in place,
// and one product forms (D+ Vt)^T U^T.
result<svd_inverse_result> svd_inverse(const_matrix_view a,
                                       const svd_inverse_options& options) {
  if (std::isnan(options.rcond)) {
    return zub_internal::make_refusal(error_code::bad_argument,
                                      "ERROR: rcond is NaN !\n");
  }
  auto factors = zub_internal::lapack_svd(a);
  if (!factors) return factors.error();
  zub_internal::svd_factors& f = factors.value();
  const std::size_t m = a.rows();
  const std::size_t n = a.cols();
  const std::size_t k = f.s.size();
  const double rcond = options.rcond < 0.0 ? 1e-15 : options.rcond;
  const double cutoff = k == 0 ? 0.0 : rcond * f.s[0];
  // The singular values come largest first, so the modes kept are the
  // leading ones.
  std::size_t kept = 0;
  while (kept < k &&
         (options.keep < 0 || kept < static_cast<std::size_t>(options.keep)) &&
         f.s[kept] > cutoff) {
    const double reciprocal = 1.0 / f.s[kept];
    double* row = f.vt.data() + kept * n;
    for (std::size_t j = 0; j < n; ++j) row[j] *= reciprocal;
    ++kept;
  }
  svd_inverse_result out;
  out.inverse = matrix(n, m);
  if (kept > 0) {
    cblas_dgemm(CblasRowMajor, CblasTrans, CblasTrans, static_cast<int>(n),
                static_cast<int>(m), static_cast<int>(kept), 1.0, f.vt.data(),
                static_cast<int>(n), f.u.data(), static_cast<int>(k), 0.0,
                out.inverse.data(), static_cast<int>(m));
  }
  out.singular_values = std::move(f.s);
  out.kept = static_cast<int>(kept);
  return out;
}

}  // namespace zub_feedback
