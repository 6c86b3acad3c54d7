#include "chicane_physics.h"

#include <cmath>

namespace {

constexpr double kElectronMass = 9.1093897e-31;  // m_e, kg
constexpr double kSpeedOfLight = 299792458.0;    // c, m/s
// m_e c^2, J: the double product, 8.187111168006824e-14.
constexpr double kElectronRestEnergy =
    kElectronMass * kSpeedOfLight * kSpeedOfLight;
// Bending constant k, 1e6 m/s (the speed of light in MeV / (T m)): relates
// tesla, metres and MeV. Cut to four decimals, not 299.792458, so that
// angles and fields stay the doubles that servers have always computed.
constexpr double kBendingConstant = 299.7924;
// 1/k, 1e-6 s/m. alpha2B multiplies by it, which is not always the same
// double as dividing by k.
constexpr double kInverseBendingConstant = 1.0 / kBendingConstant;
// 1/c, s/m.
constexpr double kInverseSpeedOfLight = 1.0 / kSpeedOfLight;
// Magnitude below which chop gives zero, in the unit of its argument.
constexpr double kChopThreshold = 1e-4;

static_assert(kElectronRestEnergy == 8.187111168006824e-14,
              "m_e c^2 must be the double product of m_e, c and c");
static_assert(kInverseBendingConstant == 0.003335641597318678,
              "1/k must be the double quotient 1.0 / 299.7924");
static_assert(kInverseSpeedOfLight == 3.3356409519815204e-9,
              "1/c must be the double quotient 1.0 / 299792458.0");

}  // namespace

// Each formula below is evaluated in the order written (left to right, as
// parenthesised): callers compare results with exact doubles.

double chop(double val) {
  if (std::fabs(val) < kChopThreshold) return 0.0;
  return val;
}

double E2gamma(double E) { return E / kElectronRestEnergy; }

double gamma2beta(double gamma) {
  const double t = 1.0 - 1.0 / (gamma * gamma);
  return std::sqrt(t);
}

double E2p(double E) {
  const double gamma = E2gamma(E);
  const double beta = gamma2beta(gamma);
  return ((beta * kSpeedOfLight) * gamma) * kElectronMass;
}

double B2I(double B, double a1) { return B / a1; }

double B2alpha(double B, double E, double leff) {
  return std::asin(kBendingConstant * ((leff * B) / E));
}

double alpha2B(double alpha, double E, double leff) {
  return ((E * kInverseBendingConstant) / leff) * std::sin(alpha);
}

double alpha2R56(double alpha, double leff, double d12) {
  if (alpha == 0.0) return 0.0;
  const double s = std::sin(alpha);
  const double c = std::cos(alpha);
  const double two_sin2 = s * s + s * s;
  const double cos3 = c * (c * c);
  return (4.0 * leff * alpha) / s +
         ((-4.0 * leff) / c - (two_sin2 * d12) / cos3);
}

double alpha2x_bc(double alpha, double leff, double d12) {
  if (alpha == 0.0) return 0.0;
  const double s = std::sin(alpha);
  const double c = std::cos(alpha);
  return std::tan(alpha) * d12 + ((leff + leff) / s) * (1.0 - c);
}

double alpha2r(double alpha, double leff) {
  if (alpha == 0.0) return 0.0;
  return leff / std::sin(alpha);
}

double alpha2l_bc(double alpha, double r, double d12, double d23) {
  return (4.0 * r * alpha + (d12 + d12) / std::cos(alpha)) + d23;
}

double delta_t(double l_bc, double z12, double z23, double leff) {
  return (l_bc - (((z12 + z12) + z23) + leff)) * kInverseSpeedOfLight;
}
