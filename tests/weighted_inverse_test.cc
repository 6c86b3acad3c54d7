// Monitors and correctors weighted or left out: the inverse of the smaller
// matrix in its place, the weighted least-squares solution computed by
// Armadillo, the plain inverse when nothing is weighted, and the refusals.
#include "zub_feedback/weighted_inverse.h"

#include <gtest/gtest.h>

#include <armadillo>
#include <cmath>
#include <limits>

#include "matrix_data.h"

namespace {

using zub_feedback::error_code;
using zub_feedback::exclusion_weights;
using zub_feedback::inverse_weights;
using zub_feedback::weighted_inverse;
using zub_test::to_arma;
using zub_test::to_core;

// A well-conditioned m x n matrix whose elements are floats.
arma::mat float_matrix(arma::uword m, arma::uword n, int seed) {
  arma::arma_rng::set_seed(static_cast<arma::arma_rng::seed_type>(seed));
  arma::mat a = arma::randn<arma::mat>(m, n) + 3.0 * arma::eye(m, n);
  a.transform(
      [](double x) { return static_cast<double>(static_cast<float>(x)); });
  return a;
}

TEST(WeightedInverse, AllOnesIsThePlainInverseBitForBit) {
  const zub_feedback::matrix r = to_core(float_matrix(9, 5, 1));
  const auto plain = zub_feedback::truncated_svd_inverse(r);
  for (const inverse_weights& w :
       {inverse_weights{}, inverse_weights{std::vector<double>(9, 1.0),
                                           std::vector<double>(5, 1.0)}}) {
    const auto got = weighted_inverse(r, w);
    ASSERT_TRUE(got && plain);
    EXPECT_EQ(got.value().kept, plain.value().kept);
    EXPECT_EQ(got.value().singular_values, plain.value().singular_values);
    EXPECT_TRUE(std::equal(got.value().inverse.data(),
                           got.value().inverse.data() + 45,
                           plain.value().inverse.data()));
  }
}

TEST(WeightedInverse, LeavingOutIsTheSmallerMatricesInverseInItsPlace) {
  const arma::mat a = float_matrix(10, 6, 2);
  const auto w = exclusion_weights(to_core(a), {3, 7}, {0, 4});
  ASSERT_TRUE(w);
  const auto got = weighted_inverse(to_core(a), w.value(), 1e-6f);
  ASSERT_TRUE(got);
  EXPECT_EQ(got.value().kept, 4);

  const arma::uvec rows = {0, 1, 2, 4, 5, 6, 8, 9};
  const arma::uvec cols = {1, 2, 3, 5};
  const arma::mat small = arma::pinv(arma::mat(a.submat(rows, cols)));
  arma::mat expected(6, 10, arma::fill::zeros);
  expected.submat(cols, rows) = small;
  const arma::mat k = to_arma(got.value().inverse);
  EXPECT_LT(arma::abs(k - expected).max(), 1e-5 * arma::abs(expected).max());
  // Exactly 0 where left out, not merely small.
  EXPECT_EQ(arma::accu(k.cols(arma::uvec{3, 7}) != 0.0), 0u);
  EXPECT_EQ(arma::accu(k.rows(arma::uvec{0, 4}) != 0.0), 0u);
}

TEST(WeightedInverse, MinimisesTheWeightedResidual) {
  // Tall and full rank: K d is the one x of least |W_m (R x - d)|, so
  // corrector weights that are not 0 change nothing.
  const arma::mat a = float_matrix(12, 4, 3);
  const inverse_weights w{{1, 2, 0.5, 1, 4, 1, 1, 0.25, 1, 3, 1, 1},
                          {2, 0.5, 1, 3}};
  const auto got = weighted_inverse(to_core(a), w, 1e-6f);
  ASSERT_TRUE(got);
  const arma::vec wm(w.monitors);
  const arma::mat expected =
      arma::solve(arma::diagmat(wm) * a, arma::diagmat(wm));
  const arma::mat k = to_arma(got.value().inverse);
  EXPECT_LT(arma::abs(k - expected).max(), 1e-5 * arma::abs(expected).max());
}

TEST(WeightedInverse, RefusesWeightsThatDoNotFitOrAreNoWeights) {
  const zub_feedback::matrix r = to_core(float_matrix(4, 3, 4));
  const double nan = std::numeric_limits<double>::quiet_NaN();
  struct Case {
    inverse_weights w;
    error_code code;
    const char* message;
  };
  const Case cases[] = {
      {{{1, 1, 1}, {}},
       error_code::shape_mismatch,
       "3 monitor weights for 4 monitors"},
      {{{}, {1, 1, 1, 1}},
       error_code::shape_mismatch,
       "4 corrector weights for 3 correctors"},
      {{{1, -0.5, 1, 1}, {}},
       error_code::bad_argument,
       "the weight of monitor 1 is -0.5"},
      {{{}, {1, nan, 1}},
       error_code::bad_argument,
       "the weight of corrector 1 is nan"},
      {{{}, {1, 1, 1e39}},
       error_code::bad_argument,
       "the weight of corrector 2 is 1e+39"},
  };
  for (const Case& c : cases) {
    const auto got = weighted_inverse(r, c.w);
    ASSERT_FALSE(got) << c.message;
    EXPECT_EQ(got.error().code, c.code);
    EXPECT_EQ(got.error().message.rfind(c.message, 0), 0u)
        << got.error().message;
  }
  zub_feedback::named_matrix named{
      r, {"A", "B", "C", "D"}, {"X", "Y", "Z"}, {}};
  const auto by_name = exclusion_weights(named, {"D"}, {"X", "Z"});
  ASSERT_TRUE(by_name);
  EXPECT_EQ(by_name.value().monitors, (std::vector<double>{1, 1, 1, 0}));
  EXPECT_EQ(by_name.value().correctors, (std::vector<double>{0, 1, 0}));
  const auto unknown = exclusion_weights(named, {"A", "E"}, {});
  ASSERT_FALSE(unknown);
  EXPECT_EQ(unknown.error().code, error_code::bad_argument);
  EXPECT_EQ(unknown.error().text, "E");
  const auto beyond = exclusion_weights(r, {}, {3});
  ASSERT_FALSE(beyond);
  EXPECT_EQ(beyond.error().message,
            "there is no corrector 3: the matrix has 3");
  EXPECT_FALSE(exclusion_weights(r, {4}, {}));
}

}  // namespace
