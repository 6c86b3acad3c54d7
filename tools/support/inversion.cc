#include "support/inversion.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "support/format.h"

namespace zub_cli {

weighted_inversion::weighted_inversion(EqFct* loc, int m, int n)
    : loc_(loc),
      monitor_weights_("MONITOR_WEIGHTS", m, 1, loc),
      corrector_weights_("CORRECTOR_WEIGHTS", 1, n, loc),
      weights_("WEIGHTS", m, n, loc),
      weights_t_("WEIGHTS_T", n, m, loc),
      weighted_("WEIGHTED_RESPONSE", m, n, loc),
      inverted_("WEIGHTED_INVERSE", n, m, loc) {
  monitor_weights_.init(1.0f);
  corrector_weights_.init(1.0f);
}

void weighted_inversion::set_monitor_weight(int i, float w) {
  monitor_weights_.set_value(w, i, 0, -1, -1, -1, -1);
}

void weighted_inversion::set_corrector_weight(int j, float w) {
  corrector_weights_.set_value(w, 0, j, -1, -1, -1, -1);
}

float weighted_inversion::monitor_weight(int i) const {
  return monitor_weights_.value(i, 0, -1, -1, -1, -1);
}

inversion_outcome weighted_inversion::invert(MDFA_ResponseMatrix& R,
                                             MDFA_ResponseMatrix& inverse,
                                             K_spectrum& spectrum, float tol,
                                             const library_log& log) {
  inversion_outcome out;
  const int errors_before = log.errors();
  out.tol = tol;
  out.internal = tol == -1.0f;
  monitor_weights_.multiply(corrector_weights_, weights_);
  R.entrywise_product(weights_, weighted_);
  out.said = capture_cout(
      [&] { weighted_.invert(inverted_, spectrum, &out.tol, &out.nosv); });
  weights_.transpose(weights_t_);
  inverted_.entrywise_product(weights_t_, inverse);
  out.refused = log.errors() != errors_before;
  if (out.refused) return out;
  for (int i = 0; i < spectrum.spectrum_length(); ++i) {
    out.singular.push_back(spectrum.spectrum_value(i));
  }
  out.warnings =
      inversion_warnings(weighted_, inverted_, out.singular, out.nosv, loc_);
  return out;
}

double inversion_outcome::cutoff() const {
  return singular.empty() ? 0.0 : static_cast<double>(singular.front()) * tol;
}

namespace {

// 2^-23, the spacing of floats just above 1.
constexpr double kFloatEpsilon = 1.1920928955078125e-07;

double frobenius(const MDFA_ResponseMatrix& a) {
  double sum = 0.0;
  for (int i = 0; i < a.rows; ++i) {
    for (int j = 0; j < a.cols; ++j) {
      const double v = a.value(i, j, -1, -1, -1, -1);
      sum += v * v;
    }
  }
  return std::sqrt(sum);
}

// How far K A is from the symmetric projector of trace nosv that it is for
// an intact truncated inverse (P = K A = V_k V_k^T): the largest of the
// trace's distance from nosv, |P - P^T| and |P P - P| (Frobenius); the
// trace is stored in `trace`.
double projector_defect(MDFA_ResponseMatrix& A, MDFA_ResponseMatrix& K,
                        int nosv, EqFct* loc, double& trace) {
  const int n = A.cols;
  MDFA_ResponseMatrix P("PROJECTOR", n, n, loc);
  MDFA_ResponseMatrix P2("PROJECTOR_SQUARED", n, n, loc);
  K.multiply(A, P);
  P.multiply(P, P2);
  double asymmetry = 0.0, idempotency = 0.0;
  trace = 0.0;
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
  return std::max(
      {std::fabs(trace - nosv), std::sqrt(asymmetry), std::sqrt(idempotency)});
}

}  // namespace

double float_rounding_level(double s_max, int m, int n) {
  return s_max * std::max(m, n) * kFloatEpsilon;
}

std::string tolerance_that_cuts(double s, double s_max) {
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

std::vector<std::string> inversion_warnings(MDFA_ResponseMatrix& A,
                                            MDFA_ResponseMatrix& K,
                                            const std::vector<float>& singular,
                                            int nosv, EqFct* loc) {
  std::vector<std::string> out;
  if (singular.empty()) return out;
  if (nosv <= 0) {
    out.push_back(format(
        "no singular value was kept (the largest is %.3g): the inverse is all "
        "zero, and a feedback with it corrects nothing.",
        static_cast<double>(singular.front())));
    return out;
  }
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

  // The float rounding of K and of the products keeps K A within `rounding`
  // of the projector; a kept mode missing from K moves it by 1 in the trace.
  const double k_norm = frobenius(K);
  if (k_norm == 0.0) {
    out.push_back(
        format("the inverse is all zero although %d singular value%s "
               "kept.",
               nosv, nosv == 1 ? " was" : "s were"));
    return out;
  }
  double trace = 0.0;
  const double off = projector_defect(A, K, nosv, loc, trace);
  const double rounding = 8 * kFloatEpsilon * k_norm * frobenius(A);
  if (off > 0.1 && off > 10 * rounding) {
    out.push_back(format(
        "invert's element filter removed part of the kept modes from the "
        "inverse: inverse x matrix, for an intact inverse the projector on "
        "the %d kept modes, is off from it by %.2g (its trace is %.3g).",
        nosv, off, trace));
  }
  return out;
}

}  // namespace zub_cli
