// What the programs do around invert: the weighted inverse, the tolerance
// they name in a warning, and the warnings themselves.
#include <gtest/gtest.h>

#include <armadillo>
#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <string>

#include "log_capture.h"
#include "matrix_data.h"
#include "support/inversion.h"
#include "support/library_log.h"

namespace {

void ignore(const std::string&, const std::string&) {}
constexpr zub_cli::log_style kQuiet{"test", ignore, false};

TEST(WeightedInversion, LeftOutMonitorGetsAZeroColumnTheRestTheSmallerInverse) {
  zub_test::LogCapture capture;
  const zub_cli::library_log log(kQuiet, false);
  EqFct loc("T");
  MDFA_ResponseMatrix R("R", 5, 3, &loc);
  const arma::fmat r = zub_test::well_conditioned(5, 3, 3);
  zub_test::set_from(R, r);
  MDFA_ResponseMatrix K("K", 3, 5, &loc);
  K_spectrum spectrum("S", 3, &loc);
  zub_cli::weighted_inversion w(&loc, 5, 3);
  w.set_monitor_weight(2, 0.0f);
  const zub_cli::inversion_outcome out = w.invert(R, K, spectrum, -1.0f, log);
  ASSERT_FALSE(out.refused);
  EXPECT_TRUE(out.internal);
  EXPECT_EQ(out.nosv, 3);
  EXPECT_TRUE(out.warnings.empty());
  const arma::mat k = zub_test::to_arma(K);
  EXPECT_EQ(arma::abs(k.col(2)).max(), 0.0);
  const arma::uvec rows = {0, 1, 3, 4};
  const arma::mat expected =
      arma::pinv(arma::conv_to<arma::mat>::from(r).rows(rows));
  EXPECT_LT(arma::abs(k.cols(rows) - expected).max(),
            64 * FLT_EPSILON * arma::abs(expected).max());
}

TEST(InversionOutcome, CutoffInDoubleBeyondTheFloatRange) {
  zub_cli::inversion_outcome out;
  out.singular = {6.75f, 1.0f};
  out.tol = 3e38f;
  EXPECT_DOUBLE_EQ(out.cutoff(), 6.75 * static_cast<double>(3e38f));
}

// The tolerance named must cut s once read as --tol is read (a double, then
// a float), and with one in the second digit less it must not.
TEST(ToleranceThatCuts, CutsTheValueAndNoLessDoes) {
  for (const double ratio : {4.69e-8 / 3.2, 9.23e-9, 9.96e-9, 1.234e-3, 0.47}) {
    const double s_max = 3.2;
    const double s = ratio * s_max;
    const std::string t = zub_cli::tolerance_that_cuts(s, s_max);
    SCOPED_TRACE(t);
    const float tol = static_cast<float>(std::strtod(t.c_str(), nullptr));
    EXPECT_GE(s_max * tol, s);
    const double digits = std::strtod(t.c_str(), nullptr) /
                          std::pow(10.0, std::floor(std::log10(tol)));
    const float less = static_cast<float>(
        (digits - 0.1) * std::pow(10.0, std::floor(std::log10(tol))));
    EXPECT_LT(s_max * less, s);
  }
  EXPECT_EQ(zub_cli::tolerance_that_cuts(9.96e-9, 1.0), "1.0e-8");
}

}  // namespace
