#include "support/inversion.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <utility>

#include "support/format.h"
#include "zub_feedback/weighted_inverse.h"

namespace zub_cli {

weighted_inversion::weighted_inversion(int m, int n) {
  weights_.monitors.assign(static_cast<size_t>(m), 1.0);
  weights_.correctors.assign(static_cast<size_t>(n), 1.0);
}

void weighted_inversion::set_monitor_weight(int i, float w) {
  weights_.monitors[static_cast<size_t>(i)] = w;
}

void weighted_inversion::set_corrector_weight(int j, float w) {
  weights_.correctors[static_cast<size_t>(j)] = w;
}

float weighted_inversion::monitor_weight(int i) const {
  return static_cast<float>(weights_.monitors[static_cast<size_t>(i)]);
}

void round_to_float(zub_feedback::matrix& m) {
  double* const v = m.data();
  for (size_t k = 0; k < m.size(); ++k) {
    v[k] = static_cast<double>(static_cast<float>(v[k]));
  }
}

zub_feedback::result<inversion_outcome> weighted_inversion::invert(
    zub_feedback::const_matrix_view R, float tol) const {
  namespace zf = zub_feedback;
  zf::result<zf::truncated_svd_result> svd =
      zf::weighted_inverse(R, weights_, tol);
  if (!svd) return svd.error();
  zf::truncated_svd_result& r = svd.value();

  inversion_outcome out;
  out.inverse = std::move(r.inverse);
  for (double s : r.singular_values) {
    out.singular.push_back(static_cast<float>(s));
  }
  out.tol = r.tolerance;
  out.internal = r.internal_tolerance;
  out.nosv = r.kept;
  out.removed_infinite = r.removed_infinite;
  out.transposed = r.transposed;
  out.warnings = inversion_warnings(out.singular, out.nosv, out.tol,
                                    out.internal, static_cast<int>(R.rows()),
                                    static_cast<int>(R.cols()));
  return out;
}

double inversion_outcome::cutoff() const {
  return singular.empty() ? 0.0 : static_cast<double>(singular.front()) * tol;
}

namespace {

// 2^-23, the spacing of floats just above 1.
constexpr double kFloatEpsilon = 1.1920928955078125e-07;

// s / s_max as a tolerance of two digits, "9.3e-9", once read as the
// programs read --tol (a double, then the float that invert gets): rounded
// up so that it cuts s (`cut`), or down so that it keeps it. The singular
// values shown are floats rounded from the doubles that invert compares:
// each side keeps a margin of 1e-6 of s.
std::string two_digit_tolerance(double s, double s_max, bool cut) {
  const double margin = cut ? 1 + 1e-6 : 1 - 1e-6;
  const double aimed = s / s_max * margin;
  // The tolerance is tenths / 10 x 10^e, tenths from 10 to 99.
  int e = static_cast<int>(std::floor(std::log10(aimed)));
  const double scaled = aimed / std::pow(10.0, e) * 10.0;
  long tenths = static_cast<long>(cut ? std::ceil(scaled) : std::floor(scaled));
  for (;;) {
    if (tenths > 99) {
      tenths = 10;
      ++e;
    } else if (tenths < 10) {
      tenths = 99;
      --e;
    }
    const std::string text = format("%ld.%lde%d", tenths / 10, tenths % 10, e);
    const float tol = static_cast<float>(std::strtod(text.c_str(), nullptr));
    const double cutoff = s_max * static_cast<double>(tol);
    if (cut ? cutoff >= s * margin : cutoff <= s * margin) return text;
    tenths += cut ? 1 : -1;
  }
}

}  // namespace

double float_rounding_level(double s_max, int m, int n) {
  return s_max * std::max(m, n) * kFloatEpsilon;
}

std::string tolerance_that_cuts(double s, double s_max) {
  return two_digit_tolerance(s, s_max, true);
}

std::string tolerance_that_keeps(double s, double s_max) {
  return two_digit_tolerance(s, s_max, false);
}

std::vector<std::string> inversion_warnings(const std::vector<float>& singular,
                                            int nosv, float tol, bool internal,
                                            int m, int n) {
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
  const double level = float_rounding_level(s_max, m, n);
  const int count = static_cast<int>(singular.size());
  for (int i = 0; i < nosv && i < count; ++i) {
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

  // The internal tolerance is s_max x max(m, n) x 2^-52, so its cut-off
  // grows with s_max squared, and above s_max = 2^29 it passes the float
  // rounding level: a matrix in large units loses modes that it holds.
  if (!internal) return out;
  const double cutoff = s_max * static_cast<double>(tol);
  int last = nosv - 1;
  while (last + 1 < count) {
    const double s = singular[static_cast<size_t>(last + 1)];
    if (!(s > level && s <= cutoff)) break;
    ++last;
  }
  if (last < nosv) return out;
  const double s = singular[static_cast<size_t>(last)];
  const std::string which =
      last == nosv ? format("singular value %d (%.3g) is", nosv, s)
                   : format("singular values %d ... %d (down to %.3g) are",
                            nosv, last, s);
  out.push_back(format(
      "%s cut by the internal tolerance, but above the float rounding level "
      "of the matrix (s_max x max(m, n) x 2^-23 = %.3g): the internal "
      "tolerance's cut-off (%.3g here) grows with the square of the matrix's "
      "units. A tolerance below s / s_max = %.3g keeps %s (--tol %s).",
      which.c_str(), level, cutoff, s / s_max, last == nosv ? "it" : "them",
      tolerance_that_keeps(s, s_max).c_str()));
  return out;
}

}  // namespace zub_cli
