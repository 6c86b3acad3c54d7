// The chicane conversions: exact doubles of their formulas, known values,
// the zero-angle guards and the IEEE results outside the domain.
#include "chicane_physics.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <utility>

namespace {

constexpr double kRestEnergy = 8.187111168006824e-14;  // m_e c^2, J
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kEps = std::numeric_limits<double>::epsilon();
constexpr double kHalfPi = 1.5707963267948966;

// Angles (rad) on both sides of zero, tiny to large.
constexpr double kAngles[] = {1e-9, 0.003, 0.05, 0.3, 1.2, -0.05, -0.7};

// ---------------------------------------------------------------- chop

TEST(ChicanePhysics, ChopZeroesOnlyBelowThreshold) {
  EXPECT_EQ(chop(5e-5), 0.0);
  EXPECT_FALSE(std::signbit(chop(5e-5)));
  EXPECT_EQ(chop(-5e-5), 0.0);
  EXPECT_FALSE(std::signbit(chop(-5e-5)));
  EXPECT_FALSE(std::signbit(chop(-0.0)));
  EXPECT_EQ(chop(1e-4), 1e-4);
  EXPECT_EQ(chop(-1e-4), -1e-4);
  EXPECT_EQ(chop(-0.5), -0.5);
  EXPECT_EQ(chop(kInf), kInf);
  EXPECT_EQ(chop(-kInf), -kInf);
  EXPECT_TRUE(std::isnan(chop(kNaN)));
}

// ---------------------------------------------------------------- energy

TEST(ChicanePhysics, RestEnergyGivesGammaOneAndNoMotion) {
  EXPECT_EQ(E2gamma(kRestEnergy), 1.0);
  EXPECT_EQ(gamma2beta(1.0), 0.0);
  EXPECT_EQ(E2p(kRestEnergy), 0.0);
  EXPECT_NEAR(gamma2beta(2.0), 0.8660254037844386, kEps);
  EXPECT_EQ(gamma2beta(2.0), std::sqrt(1.0 - 1.0 / (2.0 * 2.0)));
}

TEST(ChicanePhysics, EnergyFunctionsAreTheirFormulas) {
  for (double E : {1e-13, 3.2e-11, 1.6e-9, -2.0e-12}) {
    const double gamma = E / kRestEnergy;
    const double beta = std::sqrt(1.0 - 1.0 / (gamma * gamma));
    EXPECT_EQ(E2gamma(E), gamma) << E;
    EXPECT_EQ(gamma2beta(gamma), beta) << E;
    EXPECT_EQ(E2p(E), ((beta * 299792458.0) * gamma) * 9.1093897e-31) << E;
  }
}

TEST(ChicanePhysics, MomentumObeysEnergyMomentumRelation) {
  // E^2 = (pc)^2 + (m_e c^2)^2 for a moving electron.
  for (double factor : {1.5, 10.0, 2000.0}) {
    const double E = factor * kRestEnergy;
    const double pc = E2p(E) * 299792458.0;
    EXPECT_NEAR(pc, std::sqrt(E * E - kRestEnergy * kRestEnergy), 1e-12 * E)
        << factor;
  }
}

TEST(ChicanePhysics, EnergyOutsideTheDomain) {
  // Below the rest energy: 0 < gamma < 1 and no real velocity.
  EXPECT_GT(E2gamma(0.5 * kRestEnergy), 0.0);
  EXPECT_LT(E2gamma(0.5 * kRestEnergy), 1.0);
  EXPECT_TRUE(std::isnan(gamma2beta(0.5)));
  EXPECT_TRUE(std::isnan(E2p(0.5 * kRestEnergy)));
  EXPECT_TRUE(std::isnan(gamma2beta(0.0)));
  EXPECT_TRUE(std::isnan(E2p(kNaN)));
  // A negative energy: negative gamma, positive beta, negative momentum.
  EXPECT_EQ(E2gamma(-2.0 * kRestEnergy), -2.0);
  EXPECT_GT(gamma2beta(-2.0), 0.0);
  EXPECT_LT(E2p(-2.0 * kRestEnergy), 0.0);
}

// ---------------------------------------------------------------- field and
// angle

TEST(ChicanePhysics, FieldAndAngleAreTheirFormulas) {
  EXPECT_EQ(B2I(0.5, 0.013), 0.5 / 0.013);
  for (double B : {0.01, 0.5, -0.3}) {
    for (double E : {130.0, 1000.0}) {
      const double leff = 0.5;
      EXPECT_EQ(B2alpha(B, E, leff), std::asin(299.7924 * ((leff * B) / E)));
    }
  }
  for (double alpha : kAngles) {
    EXPECT_EQ(alpha2B(alpha, 1000.0, 0.5),
              ((1000.0 * 0.003335641597318678) / 0.5) * std::sin(alpha));
  }
}

TEST(ChicanePhysics, FieldMultipliesByTheDoubleInverseOfK) {
  // At the double nearest pi/2 the sine is exactly 1, so with leff 1 m the
  // field is E x 0.003335641597318678 rounded once. The goldens are that
  // exact product rounded to the nearest double (shortest round-trip
  // digits); dividing by 299.7924 instead gives the next double up for
  // both energies (0.43363340765142816 and 2.334949118123075).
  ASSERT_EQ(std::sin(kHalfPi), 1.0);
  for (const auto& [E, field] : {std::pair{130.0, 0.4336334076514281},
                                 std::pair{700.0, 2.3349491181230744}}) {
    const double B = alpha2B(kHalfPi, E, 1.0);
    EXPECT_EQ(B, field) << E << " MeV: " << std::hexfloat << B;
  }
}

TEST(ChicanePhysics, AngleOfKnownDipole) {
  const double alpha = B2alpha(0.5, 1000.0, 0.5);
  EXPECT_NEAR(alpha, 0.07502, 1e-5);
  EXPECT_NEAR(alpha2B(alpha, 1000.0, 0.5), 0.5, 4 * kEps);
}

TEST(ChicanePhysics, FieldAngleRoundTrip) {
  for (double B : {0.001, 0.2, 0.5, 1.1, -0.8}) {
    for (double E : {450.0, 1000.0, 2400.0}) {
      for (double leff : {0.2, 0.5}) {
        const double alpha = B2alpha(B, E, leff);
        ASSERT_FALSE(std::isnan(alpha));
        EXPECT_NEAR(alpha2B(alpha, E, leff), B, 8 * kEps * std::fabs(B))
            << B << " T, " << E << " MeV, " << leff << " m";
      }
    }
  }
}

TEST(ChicanePhysics, FieldOutsideTheDomain) {
  EXPECT_TRUE(std::isnan(B2alpha(10.0, 100.0, 0.5)));  // too strong
  EXPECT_TRUE(std::isnan(B2alpha(0.0, 0.0, 0.5)));     // 0/0
  EXPECT_EQ(B2I(1.0, 0.0), kInf);
  EXPECT_EQ(alpha2B(0.1, 1000.0, 0.0), kInf);
}

// ---------------------------------------------------------------- chicane
// geometry

TEST(ChicanePhysics, GeometryIsItsFormulas) {
  const double leff = 0.5;
  const double d12 = 5.0;
  const double d23 = 1.5;
  for (double a : kAngles) {
    const double s = std::sin(a);
    const double c = std::cos(a);
    EXPECT_EQ(alpha2R56(a, leff, d12),
              (4.0 * leff * a) / s +
                  ((-4.0 * leff) / c - ((s * s + s * s) * d12) / (c * (c * c))))
        << a;
    EXPECT_EQ(alpha2x_bc(a, leff, d12),
              std::tan(a) * d12 + ((leff + leff) / s) * (1.0 - c))
        << a;
    EXPECT_EQ(alpha2r(a, leff), leff / s) << a;
    const double r = leff / s;
    EXPECT_EQ(alpha2l_bc(a, r, d12, d23), (4.0 * r * a + (d12 + d12) / c) + d23)
        << a;
  }
}

TEST(ChicanePhysics, GeometryOfKnownChicane) {
  EXPECT_NEAR(alpha2R56(0.05, 0.5, 5.0), -0.026742, 1e-6);
  EXPECT_NEAR(alpha2x_bc(0.05, 0.5, 5.0), 0.27521, 1e-5);
  EXPECT_NEAR(alpha2r(0.05, 0.5), 10.00417, 1e-5);
}

TEST(ChicanePhysics, SmallAngleCompaction) {
  // R56 ~ -2 alpha^2 (2/3 leff + d12), with a relative error of order
  // alpha^2.
  for (double a : {1e-3, 1e-2, -1e-2}) {
    const double estimate = -2.0 * a * a * (2.0 / 3.0 * 0.5 + 5.0);
    EXPECT_NEAR(alpha2R56(a, 0.5, 5.0), estimate,
                2.0 * a * a * std::fabs(estimate))
        << a;
  }
  // Even, as a chicane bending either way compresses alike.
  EXPECT_EQ(alpha2R56(-0.05, 0.5, 5.0), alpha2R56(0.05, 0.5, 5.0));
  EXPECT_EQ(alpha2x_bc(-0.05, 0.5, 5.0), -alpha2x_bc(0.05, 0.5, 5.0));
}

TEST(ChicanePhysics, ZeroAngleIsGuarded) {
  for (double zero : {0.0, -0.0}) {
    EXPECT_EQ(alpha2R56(zero, 0.5, 5.0), 0.0);
    EXPECT_EQ(alpha2x_bc(zero, 0.5, 5.0), 0.0);
    EXPECT_EQ(alpha2r(zero, 0.5), 0.0);
    EXPECT_FALSE(std::signbit(alpha2r(zero, 0.5)));
  }
  EXPECT_EQ(alpha2l_bc(0.0, 10.0, 5.0, 1.5), 11.5);
  EXPECT_EQ(alpha2l_bc(0.0, alpha2r(0.0, 0.5), 5.0, 1.5), 11.5);
}

TEST(ChicanePhysics, RightAngleIsNotGuarded) {
  const double a = kHalfPi;
  EXPECT_GT(std::fabs(alpha2R56(a, 0.5, 5.0)), 1e30);
  EXPECT_GT(alpha2x_bc(a, 0.5, 5.0), 1e15);
  EXPECT_GT(alpha2l_bc(a, alpha2r(a, 0.5), 5.0, 1.5), 1e15);
  EXPECT_TRUE(std::isfinite(alpha2R56(a, 0.5, 5.0)));
}

TEST(ChicanePhysics, NanAnglePropagates) {
  EXPECT_TRUE(std::isnan(alpha2R56(kNaN, 0.5, 5.0)));
  EXPECT_TRUE(std::isnan(alpha2x_bc(kNaN, 0.5, 5.0)));
  EXPECT_TRUE(std::isnan(alpha2r(kNaN, 0.5)));
  EXPECT_TRUE(std::isnan(alpha2l_bc(kNaN, 10.0, 5.0, 1.5)));
  EXPECT_TRUE(std::isnan(delta_t(kNaN, 1.0, 1.0, 1.0)));
}

// ---------------------------------------------------------------- arrival time

TEST(ChicanePhysics, ArrivalTimeShift) {
  // The straight axis: 2 z12 + z23 + leff = 5.5 m, leff counted once.
  EXPECT_EQ(delta_t(5.5, 1.25, 2.5, 0.5), 0.0);
  EXPECT_GT(delta_t(5.5 + 1e-9, 1.25, 2.5, 0.5), 0.0);
  EXPECT_LT(delta_t(5.4, 1.25, 2.5, 0.5), 0.0);
  EXPECT_EQ(delta_t(5.503, 1.25, 2.5, 0.5),
            (5.503 - (((1.25 + 1.25) + 2.5) + 0.5)) * 3.3356409519815204e-9);
  EXPECT_NEAR(delta_t(5.5 + 0.299792458, 1.25, 2.5, 0.5), 1e-9, 1e-20);
}

TEST(ChicanePhysics, PathLengtheningIsHalfTheCompaction) {
  // Through the chain a server uses: the extra path of a small-angle chicane
  // is about -R56 / 2, so c delta_t ~ -R56 / 2.
  const double leff = 0.5;
  const double d12 = 5.0;
  const double d23 = 1.5;
  const double z12 = leff + d12;
  const double z23 = leff + d23;
  for (double a : {0.005, 0.02}) {
    const double l_bc = alpha2l_bc(a, alpha2r(a, leff), d12, d23);
    const double extra = delta_t(l_bc, z12, z23, leff) * 299792458.0;
    const double half_compaction = -alpha2R56(a, leff, d12) / 2.0;
    EXPECT_GT(extra, 0.0);
    EXPECT_NEAR(extra, half_compaction, 2.0 * a * a * half_compaction) << a;
  }
}

}  // namespace
