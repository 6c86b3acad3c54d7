// What the programs do around invert: the weighted inverse, the tolerance
// they name in a warning, and the warnings themselves.
#include <gtest/gtest.h>

#include <armadillo>
#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "log_capture.h"
#include "matrix_data.h"
#include "stdout_capture.h"
#include "support/inversion.h"
#include "zub_feedback.h"

namespace {

TEST(WeightedInversion, LeftOutMonitorGetsAZeroColumnTheRestTheSmallerInverse) {
  const arma::fmat r = zub_test::well_conditioned(5, 3, 3);
  const zub_feedback::matrix R =
      zub_test::to_core(arma::conv_to<arma::mat>::from(r));
  zub_cli::weighted_inversion w(5, 3);
  w.set_monitor_weight(2, 0.0f);
  EXPECT_EQ(w.monitor_weight(2), 0.0f);
  EXPECT_EQ(w.monitor_weight(1), 1.0f);
  const zub_feedback::result<zub_cli::inversion_outcome> res =
      w.invert(R, -1.0f);
  ASSERT_TRUE(res.ok()) << res.error().message;
  const zub_cli::inversion_outcome& out = res.value();
  EXPECT_TRUE(out.internal);
  EXPECT_EQ(out.nosv, 3);
  EXPECT_TRUE(out.warnings.empty());
  const arma::mat k = zub_test::to_arma(out.inverse);
  EXPECT_EQ(arma::abs(k.col(2)).max(), 0.0);
  const arma::uvec rows = {0, 1, 3, 4};
  const arma::mat expected =
      arma::pinv(arma::conv_to<arma::mat>::from(r).rows(rows));
  EXPECT_LT(arma::abs(k.cols(rows) - expected).max(),
            64 * FLT_EPSILON * arma::abs(expected).max());
}

// With every weight 1 the inverse, spectrum, tolerance and count are the
// property's invert, bit for bit; a tall matrix is decomposed transposed,
// which the result says and nothing prints.
TEST(WeightedInversion, UnitWeightsGiveThePropertysInvertAndPrintNothing) {
  zub_test::LogCapture log;
  for (const float tol : {-1.0f, 1e-3f}) {
    MDFA_ResponseMatrix R("R", 6, 4, nullptr);
    zub_test::set_from(R, zub_test::well_conditioned(6, 4, 5));
    MDFA_ResponseMatrix K("K", 4, 6, nullptr);
    K_spectrum spectrum("S", 4, nullptr);
    float used = tol;
    int nosv = 0;
    {
      zub_test::StdoutCapture its_line;  // the property prints one
      R.invert(K, spectrum, &used, &nosv);
    }

    zub_test::StdoutCapture printed;
    const zub_feedback::result<zub_cli::inversion_outcome> res =
        zub_cli::weighted_inversion(6, 4).invert(
            zub_test::to_core(zub_test::to_arma(R)), tol);
    EXPECT_EQ(printed.text(), "");
    ASSERT_TRUE(res.ok()) << res.error().message;
    const zub_cli::inversion_outcome& out = res.value();
    EXPECT_TRUE(out.transposed);
    EXPECT_EQ(out.internal, tol == -1.0f);
    EXPECT_EQ(out.tol, used);
    EXPECT_EQ(out.nosv, nosv);
    EXPECT_EQ(out.singular, zub_test::spectrum_of(spectrum));
    EXPECT_TRUE(zub_test::to_core(zub_test::to_arma(K)) == out.inverse);
  }
}

// A refusal of the core comes back as a value, with its message.
TEST(WeightedInversion, NotFiniteElementIsRefusedAsAValue) {
  zub_feedback::matrix R(2, 2, 1.0);
  R(1, 0) = std::nan("");
  const zub_feedback::result<zub_cli::inversion_outcome> res =
      zub_cli::weighted_inversion(2, 2).invert(R, -1.0f);
  ASSERT_FALSE(res.ok());
  EXPECT_EQ(res.error().code, zub_feedback::error_code::not_finite);
  EXPECT_NE(res.error().message, "");
}

// As a property stores it: the nearest float, infinite beyond the range.
TEST(RoundToFloat, NearestFloatAndInfinityBeyondTheRange) {
  zub_feedback::matrix m(1, 3);
  m(0, 0) = 0.1;
  m(0, 1) = 6e38;
  m(0, 2) = -1.0 / 3;
  zub_cli::round_to_float(m);
  EXPECT_EQ(m(0, 0), static_cast<double>(0.1f));
  EXPECT_EQ(m(0, 1), HUGE_VAL);
  EXPECT_EQ(m(0, 2), static_cast<double>(-1.0f / 3));
}

TEST(InversionOutcome, CutoffInDoubleBeyondTheFloatRange) {
  zub_cli::inversion_outcome out;
  out.singular = {6.75f, 1.0f};
  out.tol = 3e38f;
  EXPECT_DOUBLE_EQ(out.cutoff(), 6.75 * static_cast<double>(3e38f));
}

// The tolerance named must cut s (or keep it) once read as --tol is read
// (a double, then a float), with a margin of 1e-6 of s for the float that
// s is shown as; one step in its second digit the other way must not.
TEST(ToleranceThatCuts, CutsOrKeepsTheValueAndOneStepLessDoesNot) {
  const double s_max = 3.2;
  for (const double ratio :
       {4.69e-8 / 3.2, 9.23e-9, 9.96e-9, 1.0e-8, 1.04e-8, 1.234e-3, 0.47}) {
    const double s = ratio * s_max;
    for (const bool cut : {true, false}) {
      const std::string t = cut ? zub_cli::tolerance_that_cuts(s, s_max)
                                : zub_cli::tolerance_that_keeps(s, s_max);
      SCOPED_TRACE(t + (cut ? " cuts " : " keeps ") + std::to_string(ratio));
      const double margin = cut ? 1 + 1e-6 : 1 - 1e-6;
      const double named = std::strtod(t.c_str(), nullptr);
      const double step = std::pow(10.0, std::floor(std::log10(named)) - 1);
      const float tol = static_cast<float>(named);
      const float next = static_cast<float>(cut ? named - step : named + step);
      EXPECT_EQ(s_max * tol >= s * margin, cut);
      EXPECT_EQ(s_max * next >= s * margin, !cut);
    }
  }
  EXPECT_EQ(zub_cli::tolerance_that_cuts(9.96e-9, 1.0), "1.0e-8");
  EXPECT_EQ(zub_cli::tolerance_that_keeps(1.04e-8, 1.0), "1.0e-8");
  EXPECT_EQ(zub_cli::tolerance_that_keeps(1.0e-8, 1.0), "9.9e-9");
}

// What the operator hears of an inversion.
TEST(InversionWarnings,
     NoneKeptRoundingLevelKeptAndValuesTheInternalToleranceCuts) {
  // 2 x 2, s_max 1e9: the float rounding level is 238.
  const std::vector<float> s = {1e9f, 300.0f};
  std::vector<std::string> w =
      zub_cli::inversion_warnings(s, 0, 1.0f, false, 2, 2);
  ASSERT_EQ(w.size(), 1u);
  EXPECT_EQ(w[0].rfind("no singular value was kept (the largest is 1e+09)", 0),
            0u);
  // The internal tolerance 4.4e-7 cuts 300 (cut-off 440): said, with the
  // tolerance that keeps it; a given tolerance is the caller's choice.
  w = zub_cli::inversion_warnings(s, 1, 4.4e-7f, true, 2, 2);
  ASSERT_EQ(w.size(), 1u);
  EXPECT_EQ(w[0].rfind("singular value 1 (300) is cut by the internal "
                       "tolerance, but above the float rounding level of the "
                       "matrix (s_max x max(m, n) x 2^-23 = 238)",
                       0),
            0u)
      << w[0];
  EXPECT_NE(w[0].find("(--tol 2.9e-7)."), std::string::npos) << w[0];
  EXPECT_TRUE(zub_cli::inversion_warnings(s, 1, 4.4e-7f, false, 2, 2).empty());
  // At the rounding level it is cut as it should be; kept there, it is named.
  const std::vector<float> r = {1e9f, 200.0f, 100.0f};
  EXPECT_TRUE(zub_cli::inversion_warnings(r, 1, 4.4e-7f, true, 3, 2).empty());
  w = zub_cli::inversion_warnings(r, 3, 0.0f, false, 3, 2);
  ASSERT_EQ(w.size(), 2u);
  EXPECT_EQ(w[1].rfind("singular value 2 (100) is kept, but it lies at the "
                       "float rounding level",
                       0),
            0u);
  // Several cut: named as a range, down to the smallest.
  // (4 x 4, s_max 1e10: the level is 4770, the cut-off 8.9e4.)
  const std::vector<float> m = {1e10f, 6e4f, 5e4f, 1.0f};
  w = zub_cli::inversion_warnings(m, 1, 8.9e-6f, true, 4, 4);
  ASSERT_EQ(w.size(), 1u);
  EXPECT_EQ(w[0].rfind("singular values 1 ... 2 (down to 5e+04) are cut", 0),
            0u)
      << w[0];
}

}  // namespace
