#include "svd_cutoff.h"

#include <algorithm>
#include <cfloat>
#include <cmath>

namespace zub_internal {

float internal_tolerance(double largest_sv, int size) {
  float tol = static_cast<float>(largest_sv * size * kDoubleEpsilon);
  // An all-zero matrix (or a product below the float range) has no decimal
  // exponent to round at; its tolerance is 0.
  if (tol == 0.0f) return 0.0f;
  const double exp = std::floor(std::log10(std::fabs(tol)));
  tol = static_cast<float>(std::round(tol / std::pow(10.0, exp - 1.0)) / 10);
  return static_cast<float>(tol * std::pow(10.0, exp));
}

bool enters_inverse(double s, double cutoff) {
  return s > cutoff && s != 0.0 && 1.0 / s <= FLT_MAX;
}

double inverse_noise_bound(double tol, double internal, double largest) {
  constexpr double kFloatResolution = 5.9604644775390625e-08;  // 2^-24
  return std::min({tol, internal, largest * kFloatResolution});
}

}  // namespace zub_internal
