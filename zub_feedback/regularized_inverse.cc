// The numeric core's regularised inverse on LAPACK's dgesdd: truncation,
// Tikhonov damping and gains per mode.
#include "zub_feedback/regularized_inverse.h"

#include <gsl/gsl_cblas.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <utility>

#include "lapack_svd.h"
#include "refusals.h"

namespace zub_internal {

namespace {

using zub_feedback::error_code;
using zub_feedback::regularization_options;

// The refusals of options that no matrix can make sense of, given the count
// k of singular values that the matrix has.
zub_feedback::status check_options(const regularization_options& o,
                                   std::size_t k) {
  if (std::isnan(o.rcond)) {
    return make_refusal(error_code::bad_argument, "ERROR: rcond is NaN !\n");
  }
  if (!(o.tikhonov >= 0.0) || std::isinf(o.tikhonov)) {
    return make_refusal(error_code::bad_argument,
                        "ERROR: Tikhonov parameter %g is not a finite number "
                        ">= 0 !\n",
                        o.tikhonov);
  }
  if (o.tikhonov_mode >= 0 && o.tikhonov > 0.0) {
    return make_refusal(error_code::bad_argument,
                        "ERROR: Tikhonov parameter given both as %g and as "
                        "mode %d !\n",
                        o.tikhonov, o.tikhonov_mode);
  }
  if (o.tikhonov_mode >= 0 && static_cast<std::size_t>(o.tikhonov_mode) >= k) {
    return make_refusal(error_code::bad_argument,
                        "ERROR: Tikhonov mode %d beyond the %zu singular "
                        "values !\n",
                        o.tikhonov_mode, k);
  }
  if (!o.mode_gains.empty() && o.mode_gains.size() != k) {
    return make_refusal(error_code::bad_argument,
                        "ERROR: %zu mode gains for %zu singular values !\n",
                        o.mode_gains.size(), k);
  }
  for (std::size_t i = 0; i < o.mode_gains.size(); ++i) {
    const double g = o.mode_gains[i];
    if (!(g >= 0.0) || std::isinf(g)) {
      return make_refusal(error_code::bad_argument,
                          "ERROR: gain %g of mode %zu is not a finite number "
                          ">= 0 !\n",
                          g, i);
    }
  }
  return {};
}

// d = g s / (s^2 + alpha^2) and f = g s^2 / (s^2 + alpha^2) for s > 0,
// formed on s and alpha scaled by the larger of them, so that neither
// squares overflow nor underflow to a division by zero.
struct mode_factors {
  double gain;    // d
  double filter;  // f = d x s
};

mode_factors factors_of(double s, double alpha, double g) {
  if (alpha == 0.0) return {g / s, g};
  const double t = std::max(s, alpha);
  const double x = s / t;
  const double y = alpha / t;
  const double q = x * x + y * y;  // from 1 to 2
  return {g * x / q / t, g * x * x / q};
}

}  // namespace

}  // namespace zub_internal

namespace zub_feedback {

// K = V diag(d) U^T from A = U diag(s) Vt (lapack_svd.h): the rows of Vt
// are scaled by d in place, and one product forms (diag(d) Vt)^T U^T over
// the leading modes up to the last one kept.
result<regularized_inverse_result> regularized_inverse(
    const_matrix_view a, const regularization_options& options) {
  const std::size_t m = a.rows();
  const std::size_t n = a.cols();
  const status valid = zub_internal::check_options(options, std::min(m, n));
  if (!valid) return valid.error();
  auto factors = zub_internal::lapack_svd(a);
  if (!factors) return factors.error();
  zub_internal::svd_factors& f = factors.value();
  const std::size_t k = f.s.size();

  regularized_inverse_result out;
  out.tikhonov = options.tikhonov_mode >= 0
                     ? f.s[static_cast<std::size_t>(options.tikhonov_mode)]
                     : options.tikhonov;
  const double cutoff =
      options.rcond < 0.0 || k == 0 ? 0.0 : options.rcond * f.s[0];
  out.filter_factors.assign(k, 0.0);
  std::size_t span = 0;  // the modes up to the last one kept
  double s_largest = 0.0, s_smallest = 0.0;
  double d_largest = 0.0, d_smallest = 0.0;
  for (std::size_t i = 0; i < k; ++i) {
    const double s = f.s[i];
    const double g = options.mode_gains.empty() ? 1.0 : options.mode_gains[i];
    const bool within =
        s > 0.0 && s > cutoff &&
        (options.keep < 0 || i < static_cast<std::size_t>(options.keep)) &&
        g > 0.0;
    const zub_internal::mode_factors mf =
        within ? zub_internal::factors_of(s, out.tikhonov, g)
               : zub_internal::mode_factors{0.0, 0.0};
    const bool kept = within && std::isfinite(mf.gain) && mf.gain > 0.0;
    double* row = f.vt.data() + i * n;
    const double d = kept ? mf.gain : 0.0;
    for (std::size_t j = 0; j < n; ++j) row[j] *= d;
    if (!kept) continue;
    out.filter_factors[i] = mf.filter;
    if (out.kept == 0) {
      s_largest = s;
      d_largest = d_smallest = d;
    }
    s_smallest = s;  // largest first
    d_largest = std::max(d_largest, d);
    d_smallest = std::min(d_smallest, d);
    ++out.kept;
    span = i + 1;
  }
  out.inverse = matrix(n, m);
  if (span > 0) {
    cblas_dgemm(CblasRowMajor, CblasTrans, CblasTrans, static_cast<int>(n),
                static_cast<int>(m), static_cast<int>(span), 1.0, f.vt.data(),
                static_cast<int>(n), f.u.data(), static_cast<int>(k), 0.0,
                out.inverse.data(), static_cast<int>(m));
  }
  if (out.kept > 0) {
    out.condition = s_largest / s_smallest;
    out.effective_condition = d_largest / d_smallest;
  }
  out.singular_values = std::move(f.s);
  return out;
}

}  // namespace zub_feedback
