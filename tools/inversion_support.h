// What rmtool and the feedback demo do around the library's truncated-SVD
// inversion: leaving monitors and correctors out, or weighting them, with
// the library's own blocks, and the warnings an operator needs about the
// result. Header-only, like cli_support.h.
#ifndef ZUB_TOOLS_INVERSION_SUPPORT_H
#define ZUB_TOOLS_INVERSION_SUPPORT_H

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "cli_support.h"
#include "svd_cutoff.h"
#include "zub_feedback.h"

namespace zub_cli {

// A response matrix R (m x n) inverted with a weight for each monitor (w_m,
// m x 1) and each corrector (w_a, 1 x n); weight 0 leaves one out, 1 keeps
// it as it is. With W = w_m w_a (their outer product, m x n),
//
//   K = W_a pinv(W_m R W_a) W_m = pinv(R o W) o W^T
//
// where o is the element-wise product and W_m, W_a are the diagonal
// matrices of the weights: the minimiser of |W_m (R x - d)| with the least
// |W_a^-1 x|. A zero row or column of R o W adds a zero singular value,
// which invert counts with the infinite ones and leaves out, so a monitor
// or corrector with weight 0 gets a zero column or row in K.
class weighted_inversion {
 public:
  weighted_inversion(EqFct* loc, int m, int n)
      : monitor_weights_("MONITOR_WEIGHTS", m, 1, loc),
        corrector_weights_("CORRECTOR_WEIGHTS", 1, n, loc),
        weights_("WEIGHTS", m, n, loc),
        weights_t_("WEIGHTS_T", n, m, loc),
        weighted_("WEIGHTED_RESPONSE", m, n, loc),
        inverted_("WEIGHTED_INVERSE", n, m, loc) {
    monitor_weights_.init(1.0f);
    corrector_weights_.init(1.0f);
  }

  void set_monitor_weight(int i, float w) {
    monitor_weights_.set_value(w, i, 0, -1, -1, -1, -1);
  }
  void set_corrector_weight(int j, float w) {
    corrector_weights_.set_value(w, 0, j, -1, -1, -1, -1);
  }
  float monitor_weight(int i) const {
    return monitor_weights_.value(i, 0, -1, -1, -1, -1);
  }

  // After invert(): the matrix that invert decomposed, R o W, and the
  // inverse that it wrote, pinv(R o W).
  MDFA_ResponseMatrix& weighted() { return weighted_; }
  MDFA_ResponseMatrix& inverted() { return inverted_; }

  // Inverts R into `inverse` (n x m) with the current weights; what invert
  // writes to standard output is returned. `tol` and `nosv` as for invert.
  std::string invert(MDFA_ResponseMatrix& R, MDFA_ResponseMatrix& inverse,
                     K_spectrum& spectrum, float* tol, int* nosv) {
    monitor_weights_.multiply(corrector_weights_, weights_);
    R.entrywise_product(weights_, weighted_);
    const std::string said =
        capture_cout([&] { weighted_.invert(inverted_, spectrum, tol, nosv); });
    weights_.transpose(weights_t_);
    inverted_.entrywise_product(weights_t_, inverse);
    return said;
  }

 private:
  MDFA_ResponseMatrix monitor_weights_;
  MDFA_ResponseMatrix corrector_weights_;
  MDFA_ResponseMatrix weights_;
  MDFA_ResponseMatrix weights_t_;
  MDFA_ResponseMatrix weighted_;
  MDFA_ResponseMatrix inverted_;
};

// ---------------------------------------- warnings about an inversion

// 2^-23, the spacing of floats just above 1.
constexpr double kFloatEpsilon = 1.1920928955078125e-07;

// The matrix's elements are floats: a singular value at or below
// s_max x max(m, n) x 2^-23 may be nothing but their rounding.
inline double float_rounding_level(double s_max, int m, int n) {
  return s_max * std::max(m, n) * kFloatEpsilon;
}

// The least tolerance that cuts singular value s (s > s_max x tol keeps it),
// printed with two digits and rounded up so that it does cut it.
inline std::string tolerance_that_cuts(double s, double s_max) {
  const double t = s / s_max;
  int e = static_cast<int>(std::floor(std::log10(t)));
  double digits = std::ceil(t / std::pow(10.0, e) * 10.0 * (1 + 1e-6)) / 10.0;
  for (;;) {
    if (digits >= 10.0) {
      digits /= 10.0;
      ++e;
    }
    const std::string text = format("%.1fe%d", digits, e);
    // As the programs read --tol: a double, then the float that invert gets.
    const float tol = static_cast<float>(std::strtod(text.c_str(), nullptr));
    if (s_max * static_cast<double>(tol) >= s * (1 + 1e-6)) return text;
    digits += 0.1;
  }
}

inline double frobenius(const MDFA_ResponseMatrix& a) {
  double sum = 0.0;
  for (int i = 0; i < a.rows; ++i) {
    for (int j = 0; j < a.cols; ++j) {
      const double v = a.value(i, j, -1, -1, -1, -1);
      sum += v * v;
    }
  }
  return std::sqrt(sum);
}

// What an operator must hear about an inversion of A (m x n, the matrix that
// invert decomposed) into K (n x m, the inverse that it wrote), which kept
// `nosv` of the `singular` values (largest first) under the tolerance `tol`
// (the internal one when `internal`):
// - no singular value kept at all: the inverse is all zero;
// - kept singular values at the float rounding level of the matrix: the
//   inverse multiplies the noise along them by 1/s;
// - an inverse from which invert's element filter removed part of the kept
//   modes: it writes 0 for each element at or below a bound that is
//   absolute, so an inverse whose elements are all that small (a matrix in
//   small units) loses them, up to every element.
inline std::vector<std::string> inversion_warnings(
    MDFA_ResponseMatrix& A, MDFA_ResponseMatrix& K,
    const std::vector<float>& singular, float tol, bool internal, int nosv,
    EqFct* loc) {
  std::vector<std::string> out;
  if (singular.empty()) return out;
  if (nosv <= 0) {
    out.push_back(format(
        "no singular value was kept (the largest is %.3g): the inverse is all "
        "zero, and a feedback with it corrects nothing.",
        static_cast<double>(singular.front())));
    return out;
  }
  const int n = A.cols;
  const int size = std::max(A.rows, A.cols);
  const double s_max = singular.front();
  const double level = float_rounding_level(s_max, A.rows, A.cols);
  for (int i = 0; i < nosv && i < static_cast<int>(singular.size()); ++i) {
    const double s = singular[static_cast<size_t>(i)];
    if (s > level) continue;
    out.push_back(format(
        "singular value %d (%.3g) is kept, but it lies at the float rounding "
        "level of the matrix (s_max x max(m, n) x 2^-23 = %.3g): the inverse "
        "multiplies deviations along it by 1/s = %.3g. A tolerance above "
        "s / s_max = %.3g cuts it (--tol %s).",
        i, s, level, 1.0 / s, s / s_max,
        tolerance_that_cuts(s, s_max).c_str()));
  }

  // An intact truncated inverse gives P = K A = V_k V_k^T, the symmetric
  // projector on the kept right singular vectors, of trace nosv. The float
  // rounding of K and of the products keeps P within `rounding` of that;
  // elements of K that the filter removed move it further, a whole mode by
  // 1 in the trace.
  const double k_norm = frobenius(K);
  if (k_norm == 0.0) {
    out.push_back(
        format("the inverse is all zero although %d singular "
               "value%s kept. ",
               nosv, nosv == 1 ? " was" : "s were"));
  } else {
    MDFA_ResponseMatrix P("PROJECTOR", n, n, loc);
    MDFA_ResponseMatrix P2("PROJECTOR_SQUARED", n, n, loc);
    K.multiply(A, P);
    P.multiply(P, P2);
    double trace = 0.0, asymmetry = 0.0, idempotency = 0.0;
    for (int a = 0; a < n; ++a) {
      trace += P.value(a, a, -1, -1, -1, -1);
      for (int b = 0; b < n; ++b) {
        const double p = P.value(a, b, -1, -1, -1, -1);
        const double d = p - P.value(b, a, -1, -1, -1, -1);
        const double e = P2.value(a, b, -1, -1, -1, -1) - p;
        asymmetry += d * d;
        idempotency += e * e;
      }
    }
    const double off = std::max({std::fabs(trace - nosv), std::sqrt(asymmetry),
                                 std::sqrt(idempotency)});
    const double rounding = 8 * kFloatEpsilon * k_norm * frobenius(A);
    if (!(off > 0.1 && off > 10 * rounding)) return out;
    out.push_back(format(
        "invert's element filter removed part of the kept modes from the "
        "inverse: inverse x matrix, for an intact inverse the projector on "
        "the %d kept modes, is off from it by %.2g (its trace is %.3g). ",
        nosv, off, trace));
  }
  const double internal_tol = zub_internal::internal_tolerance(s_max, size);
  const double noise =
      internal ? internal_tol : std::min<double>(tol, internal_tol);
  out.back() += format(
      "invert writes 0 for every element at or below %.2g (%s), an absolute "
      "bound that grows with the largest singular value (%.3g here); beyond "
      "about %.2g (1/sqrt(max(m, n) x 2^-52)) it exceeds 1/s_max and takes "
      "whole modes, below that only the inverse's smallest elements. Give the "
      "matrix in larger units (mm rather than nm), or a "
      "tolerance below the inverse's elements (--tol; it cuts s <= s_max x "
      "tol).",
      noise,
      internal ? "the internal tolerance"
               : "the smaller of the tolerance and the internal one",
      s_max, 1.0 / std::sqrt(size * zub_internal::kDoubleEpsilon));
  return out;
}

}  // namespace zub_cli

#endif  // ZUB_TOOLS_INVERSION_SUPPORT_H
