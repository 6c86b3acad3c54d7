// The numeric core's inverses: svd_inverse against Armadillo's pinv and
// the Moore-Penrose conditions, its modes and cut-off; the refusals of the
// inverses as values, in the property's words. The fuzzer compares
// truncated_svd_inverse and pseudo_inverse with the property's members.
#include <gtest/gtest.h>

#include <armadillo>
#include <cfloat>
#include <cmath>
#include <limits>
#include <string>

#include "matrix_data.h"
#include "zub_feedback/inversion.h"

namespace {

using zub_feedback::error_code;
using zub_feedback::matrix;
using zub_test::to_arma;
using zub_test::to_core;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// m x n with the given singular values (largest first) and random singular
// vectors fixed by `seed`.
arma::mat with_spectrum(arma::uword m, arma::uword n, const arma::vec& s,
                        int seed) {
  arma::arma_rng::set_seed(static_cast<arma::arma_rng::seed_type>(seed));
  arma::mat u, v;
  arma::vec ignored;
  arma::svd_econ(u, ignored, v, arma::randn<arma::mat>(m, n));
  return u * arma::diagmat(s) * v.t();
}

// ---------------------------------------------------------------- svd_inverse

TEST(SvdInverse, IsTheMoorePenroseInverse) {
  struct Case {
    const char* name;
    arma::mat a;
    int rank;
  };
  const Case cases[] = {
      {"tall random", arma::randn<arma::mat>(40, 17), 17},
      {"wide random", arma::randn<arma::mat>(17, 40), 17},
      {"rank 3 of 8", with_spectrum(12, 8, {5, 2, 1, 0, 0, 0, 0, 0}, 1), 3},
      {"condition 1e12",
       with_spectrum(9, 6, arma::logspace<arma::vec>(3, -9, 6), 2), 6},
      {"rows in units 1e8 apart",
       arma::diagmat(arma::logspace<arma::vec>(-4, 4, 7)) *
           arma::randn<arma::mat>(7, 5),
       5},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto r = zub_feedback::svd_inverse(to_core(c.a));
    ASSERT_TRUE(r);
    EXPECT_EQ(r.value().kept, c.rank);
    const arma::mat x = to_arma(r.value().inverse);
    ASSERT_EQ(x.n_rows, c.a.n_cols);
    ASSERT_EQ(x.n_cols, c.a.n_rows);
    const arma::mat ref = arma::pinv(c.a);
    const double size = std::max(c.a.n_rows, c.a.n_cols);
    const double cond = arma::max(arma::svd(c.a)) /
                        arma::svd(c.a)(static_cast<arma::uword>(c.rank - 1));
    EXPECT_LE(arma::abs(x - ref).max(),
              size * cond * DBL_EPSILON * arma::abs(ref).max());
    EXPECT_LE(arma::abs(c.a * x * c.a - c.a).max(),
              size * DBL_EPSILON * cond * arma::abs(c.a).max());
    EXPECT_LE(arma::abs(x * c.a * x - x).max(),
              size * DBL_EPSILON * cond * arma::abs(x).max());
    // A A+ and A+ A are symmetric projections.
    const arma::mat p = c.a * x;
    EXPECT_LE(arma::abs(p - p.t()).max(), size * cond * DBL_EPSILON);
    const arma::vec s = arma::svd(c.a);
    for (arma::uword i = 0; i < s.n_elem; ++i) {
      EXPECT_NEAR(r.value().singular_values[i], s(i),
                  size * DBL_EPSILON * s(0));
    }
  }
}

// The modes kept, against the truncation formed from Armadillo's SVD.
TEST(SvdInverse, HonoursKeepAndRcond) {
  const arma::vec s = {8, 4, 2, 1, 1e-3, 1e-16};
  const arma::mat a = with_spectrum(10, 6, s, 3);
  arma::mat u, v;
  arma::vec sv;
  arma::svd_econ(u, sv, v, a);
  struct Case {
    double rcond;
    int keep;
    int kept;
  };
  // Default rcond (numpy's 1e-15) leaves 1e-16 out.
  for (const Case& c :
       {Case{-1, -1, 5}, Case{0.2, -1, 3}, Case{0.2, 2, 2}, Case{0, -1, 6},
        Case{1e-4, 0, 0}, Case{1.0, -1, 0}, Case{0.125, -1, 3}}) {
    SCOPED_TRACE(testing::Message() << c.rcond << " keep " << c.keep);
    const auto r = zub_feedback::svd_inverse(to_core(a), {c.rcond, c.keep});
    ASSERT_TRUE(r);
    EXPECT_EQ(r.value().kept, c.kept);
    if (c.kept == 6) continue;
    arma::mat ref(a.n_cols, a.n_rows, arma::fill::zeros);
    for (int i = 0; i < c.kept; ++i) {
      const auto k = static_cast<arma::uword>(i);
      ref += v.col(k) * u.col(k).t() / sv(k);
    }
    EXPECT_LE(arma::abs(to_arma(r.value().inverse) - ref).max(),
              1e-9 * std::max(1.0, arma::abs(ref).max()));
  }
}

TEST(SvdInverse, EmptyAndRefused) {
  const auto empty = zub_feedback::svd_inverse(matrix(0, 3));
  ASSERT_TRUE(empty);
  EXPECT_EQ(empty.value().inverse.rows(), 3u);
  EXPECT_EQ(empty.value().inverse.cols(), 0u);

  matrix a(2, 3, 1.0);
  a(1, 2) = kInf;
  auto r = zub_feedback::svd_inverse(a);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().code, error_code::not_finite);
  EXPECT_EQ(r.error().message,
            "ERROR: element (1, 2) is not a finite number !\n");
  r = zub_feedback::svd_inverse(matrix(2, 2, 1.0), {kNaN, -1});
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().code, error_code::bad_argument);
}

// ---------------------------------------------------------------- the
// property's inverses

TEST(TruncatedSvdInverse, RefusesAsValuesInThePropertysWords) {
  matrix inf_at_1_0(2, 3, 1.0);
  inf_at_1_0(1, 0) = -kInf;
  const matrix beyond_float(2, 1, static_cast<double>(FLT_MAX));
  struct Case {
    matrix a;
    float tol;
    error_code code;
    std::string message;
  };
  const Case cases[] = {
      {matrix(0, 3), -1.0f, error_code::shape_mismatch,
       "ERROR: cannot invert a 0 x 3 matrix !\n"},
      {matrix(2, 2, 1.0), std::numeric_limits<float>::quiet_NaN(),
       error_code::bad_argument, "ERROR: SVD cut off tolerance is NaN !\n"},
      {inf_at_1_0, -1.0f, error_code::not_finite,
       "ERROR: element (1, 0) is not a finite number !\n"},
      // sqrt(2) FLT_MAX, which the spectrum's floats cannot hold.
      {beyond_float, -1.0f, error_code::beyond_float,
       "ERROR: singular value 4.812319e+38 beyond float range !\n"},
  };
  for (const Case& c : cases) {
    const auto r = zub_feedback::truncated_svd_inverse(c.a, c.tol);
    ASSERT_FALSE(r) << c.message;
    EXPECT_EQ(r.error().code, c.code) << c.message;
    EXPECT_EQ(r.error().message, c.message);
  }
}

}  // namespace
