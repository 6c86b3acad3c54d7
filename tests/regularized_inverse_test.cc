// The numeric core's regularised inverse against computations that do not
// go through an SVD: the Tikhonov inverse against the normal equations
// solved by LU, truncation against svd_inverse, filter factors and
// condition numbers of diagonal matrices by hand; and its refusals.
#include <gtest/gtest.h>

#include <armadillo>
#include <cfloat>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "matrix_data.h"
#include "zub_feedback/core.h"

namespace {

using zub_feedback::error_code;
using zub_feedback::matrix;
using zub_feedback::regularization_options;
using zub_feedback::regularized_inverse;
using zub_test::to_arma;
using zub_test::to_core;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

regularization_options tikhonov(double alpha) {
  regularization_options o;
  o.tikhonov = alpha;
  return o;
}

// diag(d) in an m x n matrix.
matrix diagonal(std::size_t m, std::size_t n, const std::vector<double>& d) {
  matrix a(m, n, 0.0);
  for (std::size_t i = 0; i < d.size(); ++i) a(i, i) = d[i];
  return a;
}

TEST(RegularizedInverse, TikhonovIsTheSolutionOfTheDampedNormalEquations) {
  arma::arma_rng::set_seed(7);
  for (const arma::mat& a :
       {arma::mat(arma::randn<arma::mat>(9, 5)),
        arma::mat(arma::randn<arma::mat>(5, 9)),
        arma::mat(arma::diagmat(arma::vec{1e3, 1, 1e-3, 1e-6}) *
                  arma::randn<arma::mat>(4, 4))}) {
    for (const double alpha : {0.3, 2.0, 1e-2}) {
      SCOPED_TRACE(std::to_string(a.n_rows) + " x " + std::to_string(a.n_cols) +
                   ", alpha " + std::to_string(alpha));
      const auto r = regularized_inverse(to_core(a), tikhonov(alpha));
      ASSERT_TRUE(r);
      const arma::mat normal =
          a.t() * a + alpha * alpha * arma::eye(a.n_cols, a.n_cols);
      // LU with partial pivoting: no singular value decomposition.
      const arma::mat ref =
          arma::solve(normal, a.t(), arma::solve_opts::no_approx);
      const arma::mat x = to_arma(r.value().inverse);
      ASSERT_EQ(x.n_rows, a.n_cols);
      ASSERT_EQ(x.n_cols, a.n_rows);
      // The normal equations lose the accuracy of their own condition,
      // at most |R|_F^2 / alpha^2 + 1.
      const double bound = std::pow(arma::norm(a, "fro") / alpha, 2) + 1.0;
      EXPECT_LE(arma::abs(x - ref).max(),
                10 * bound * DBL_EPSILON * arma::abs(ref).max());
      EXPECT_DOUBLE_EQ(r.value().tikhonov, alpha);
    }
  }
}

TEST(RegularizedInverse, WithoutDampingIsTheTruncatedPseudoInverse) {
  arma::arma_rng::set_seed(3);
  const matrix a = to_core(arma::randn<arma::mat>(8, 6));
  for (const int keep : {0, 1, 4, 6, 9}) {
    SCOPED_TRACE(keep);
    regularization_options o;
    o.keep = keep;
    const auto r = regularized_inverse(a, o);
    const auto ref = zub_feedback::svd_inverse(a, {-1.0, keep});
    ASSERT_TRUE(r);
    ASSERT_TRUE(ref);
    EXPECT_EQ(r.value().kept, ref.value().kept);
    EXPECT_LE(
        arma::abs(to_arma(r.value().inverse) - to_arma(ref.value().inverse))
            .max(),
        1e-13 * std::max(1.0, arma::abs(to_arma(ref.value().inverse)).max()));
  }
  regularization_options o;
  o.rcond = 0.3;
  const auto r = regularized_inverse(a, o);
  const auto ref = zub_feedback::svd_inverse(a, {0.3, -1});
  ASSERT_TRUE(r);
  EXPECT_EQ(r.value().kept, ref.value().kept);
  EXPECT_LE(arma::abs(to_arma(r.value().inverse) - to_arma(ref.value().inverse))
                .max(),
            1e-13);
}

// diag(4, 2, 1, 0.5) with alpha = 1, the second mode at half gain and three
// modes kept: d = 4/17, 0.5 x 2/5, 1/2 and f = 16/17, 0.5 x 4/5, 1/2, 0.
TEST(RegularizedInverse, FilterFactorsGainsAndConditionsByHand) {
  regularization_options o = tikhonov(1.0);
  o.keep = 3;
  o.mode_gains = {1.0, 0.5, 1.0, 1.0};
  const auto r = regularized_inverse(diagonal(4, 5, {4, 2, 1, 0.5}), o);
  ASSERT_TRUE(r);
  const auto& v = r.value();
  EXPECT_EQ(v.kept, 3);
  const std::vector<double> f = {16.0 / 17, 0.4, 0.5, 0.0};
  for (std::size_t i = 0; i < 4; ++i) {
    EXPECT_NEAR(v.filter_factors[i], f[i], 1e-15) << i;
  }
  ASSERT_EQ(v.inverse.rows(), 5u);
  ASSERT_EQ(v.inverse.cols(), 4u);
  const std::vector<double> d = {4.0 / 17, 0.2, 0.5, 0.0};
  for (std::size_t i = 0; i < 5; ++i) {
    for (std::size_t j = 0; j < 4; ++j) {
      EXPECT_NEAR(v.inverse(i, j), i == j ? d[i] : 0.0, 1e-15) << i << j;
    }
  }
  EXPECT_NEAR(v.condition, 4.0, 1e-14);            // 4 / 1
  EXPECT_NEAR(v.effective_condition, 2.5, 1e-14);  // 0.5 / 0.2

  // Without damping and gains, the effective condition is the condition.
  regularization_options cut;
  cut.rcond = 0.005;
  const auto plain = regularized_inverse(diagonal(3, 3, {10, 0.1, 5}), cut);
  ASSERT_TRUE(plain);
  EXPECT_EQ(plain.value().kept, 3);
  EXPECT_NEAR(plain.value().condition, 100.0, 1e-12);
  EXPECT_NEAR(plain.value().effective_condition, 100.0, 1e-12);
  cut.rcond = 0.02;
  const auto two = regularized_inverse(diagonal(3, 3, {10, 0.1, 5}), cut);
  ASSERT_TRUE(two);
  EXPECT_EQ(two.value().kept, 2);
  EXPECT_NEAR(two.value().condition, 2.0, 1e-14);
  EXPECT_EQ(two.value().filter_factors, (std::vector<double>{1.0, 1.0, 0.0}));
}

TEST(RegularizedInverse, TikhonovModeIsThatModesSingularValue) {
  arma::arma_rng::set_seed(11);
  const matrix a = to_core(arma::randn<arma::mat>(7, 5));
  regularization_options by_mode;
  by_mode.tikhonov_mode = 3;
  const auto r = regularized_inverse(a, by_mode);
  ASSERT_TRUE(r);
  const double s3 = r.value().singular_values[3];
  EXPECT_EQ(r.value().tikhonov, s3);
  EXPECT_NEAR(r.value().filter_factors[3], 0.5, 1e-15);
  const auto ref = regularized_inverse(a, tikhonov(s3));
  ASSERT_TRUE(ref);
  EXPECT_TRUE(arma::approx_equal(to_arma(r.value().inverse),
                                 to_arma(ref.value().inverse), "absdiff", 0.0));
}

// A zero singular value never enters, damped or not, and tiny or huge
// values divide by no zero and overflow nothing.
TEST(RegularizedInverse, ZeroAndExtremeSingularValues) {
  for (const double alpha : {0.0, 1.0}) {
    const auto r = regularized_inverse(diagonal(2, 2, {3, 0}), tikhonov(alpha));
    ASSERT_TRUE(r);
    EXPECT_EQ(r.value().kept, 1);
    EXPECT_EQ(r.value().filter_factors[1], 0.0);
    EXPECT_EQ(r.value().inverse(1, 1), 0.0);
    EXPECT_NEAR(r.value().inverse(0, 0), 3.0 / (9.0 + alpha * alpha), 1e-15);
  }
  const auto tiny =
      regularized_inverse(diagonal(2, 2, {1e-200, 1e-201}), tikhonov(1e-200));
  ASSERT_TRUE(tiny);
  EXPECT_EQ(tiny.value().kept, 2);
  EXPECT_NEAR(tiny.value().inverse(0, 0), 0.5e200, 1e186);
  EXPECT_NEAR(tiny.value().filter_factors[1], 1.0 / 101, 1e-15);
  const auto huge =
      regularized_inverse(diagonal(1, 1, {1e300}), tikhonov(1e300));
  ASSERT_TRUE(huge);
  EXPECT_NEAR(huge.value().inverse(0, 0), 0.5e-300, 1e-314);
  // A mode whose gain s / (s^2 + alpha^2) is below the doubles enters
  // with nothing, so it is not counted as kept.
  const auto underflow =
      regularized_inverse(diagonal(2, 2, {1, 1e-300}), tikhonov(1e20));
  ASSERT_TRUE(underflow);
  EXPECT_EQ(underflow.value().kept, 1);
  EXPECT_EQ(underflow.value().filter_factors[1], 0.0);
  EXPECT_EQ(underflow.value().effective_condition, 1.0);
  // Nothing kept: a zero inverse and no condition.
  regularization_options none;
  none.keep = 0;
  const auto zero = regularized_inverse(diagonal(2, 3, {2, 1}), none);
  ASSERT_TRUE(zero);
  EXPECT_EQ(zero.value().kept, 0);
  EXPECT_EQ(zero.value().condition, 0.0);
  EXPECT_EQ(to_arma(zero.value().inverse).max(), 0.0);
  const auto empty = regularized_inverse(matrix(0, 3));
  ASSERT_TRUE(empty);
  EXPECT_EQ(empty.value().inverse.rows(), 3u);
}

TEST(RegularizedInverse, RefusesWhatMakesNoSense) {
  const matrix a = diagonal(3, 2, {2, 1});
  struct Case {
    regularization_options o;
    std::string message;
  };
  auto with = [](auto set) {
    regularization_options o;
    set(o);
    return o;
  };
  const Case cases[] = {
      {with([](auto& o) { o.rcond = kNaN; }), "ERROR: rcond is NaN !\n"},
      {tikhonov(kNaN),
       "ERROR: Tikhonov parameter nan is not a finite number >= 0 !\n"},
      {tikhonov(-1),
       "ERROR: Tikhonov parameter -1 is not a finite number >= 0 !\n"},
      {tikhonov(kInf),
       "ERROR: Tikhonov parameter inf is not a finite number >= 0 !\n"},
      {with([](auto& o) {
         o.tikhonov = 0.5;
         o.tikhonov_mode = 0;
       }),
       "ERROR: Tikhonov parameter given both as 0.5 and as mode 0 !\n"},
      {with([](auto& o) { o.tikhonov_mode = 2; }),
       "ERROR: Tikhonov mode 2 beyond the 2 singular values !\n"},
      {with([](auto& o) { o.mode_gains = {1}; }),
       "ERROR: 1 mode gains for 2 singular values !\n"},
      {with([](auto& o) {
         o.mode_gains = {1, 1, 1};
       }),
       "ERROR: 3 mode gains for 2 singular values !\n"},
      {with([](auto& o) {
         o.mode_gains = {1, kNaN};
       }),
       "ERROR: gain nan of mode 1 is not a finite number >= 0 !\n"},
      {with([](auto& o) {
         o.mode_gains = {-0.5, 1};
       }),
       "ERROR: gain -0.5 of mode 0 is not a finite number >= 0 !\n"},
      {with([](auto& o) {
         o.mode_gains = {kInf, 1};
       }),
       "ERROR: gain inf of mode 0 is not a finite number >= 0 !\n"},
  };
  for (const Case& c : cases) {
    const auto r = regularized_inverse(a, c.o);
    ASSERT_FALSE(r) << c.message;
    EXPECT_EQ(r.error().code, error_code::bad_argument);
    EXPECT_EQ(r.error().message, c.message);
  }
  matrix bad = a;
  bad(2, 1) = kNaN;
  const auto r = regularized_inverse(bad, tikhonov(1));
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().code, error_code::not_finite);
  EXPECT_EQ(r.error().message,
            "ERROR: element (2, 1) is not a finite number !\n");
  // Gain 0 leaves a mode out, and is no refusal.
  regularization_options off;
  off.mode_gains = {0, 1};
  const auto g = regularized_inverse(a, off);
  ASSERT_TRUE(g);
  EXPECT_EQ(g.value().kept, 1);
  EXPECT_EQ(g.value().inverse(0, 0), 0.0);
  EXPECT_EQ(g.value().inverse(1, 1), 1.0);
}

}  // namespace
