// The SVD of a row-major matrix through LAPACK: the factors rebuild the
// matrix, are orthonormal, and give Armadillo's singular values.
#include "lapack_svd.h"

#include <gtest/gtest.h>

#include <armadillo>
#include <cfloat>
#include <limits>

#include "matrix_data.h"

namespace {

using zub_test::to_arma;
using zub_test::to_core;

TEST(LapackSvd, FactorsRebuildTheMatrix) {
  arma::arma_rng::set_seed(11);
  arma::mat rank_two =
      arma::randn<arma::mat>(7, 2) * arma::randn<arma::mat>(2, 5);
  for (const arma::mat& a :
       {arma::mat(arma::randn<arma::mat>(9, 4)),
        arma::mat(arma::randn<arma::mat>(4, 9)),
        arma::mat(arma::randn<arma::mat>(1, 6)), rank_two}) {
    SCOPED_TRACE(testing::Message() << a.n_rows << " x " << a.n_cols);
    const auto r = zub_internal::lapack_svd(to_core(a));
    ASSERT_TRUE(r);
    const arma::mat u = to_arma(r.value().u);
    const arma::mat vt = to_arma(r.value().vt);
    const arma::vec s(r.value().s);
    const arma::uword k = std::min(a.n_rows, a.n_cols);
    ASSERT_EQ(u.n_rows, a.n_rows);
    ASSERT_EQ(u.n_cols, k);
    ASSERT_EQ(vt.n_rows, k);
    ASSERT_EQ(vt.n_cols, a.n_cols);
    const double tol = 16 * a.n_elem * DBL_EPSILON;
    EXPECT_LE(arma::abs(u * arma::diagmat(s) * vt - a).max(),
              tol * arma::abs(a).max());
    EXPECT_LE(arma::abs(u.t() * u - arma::eye(k, k)).max(), tol);
    EXPECT_LE(arma::abs(vt * vt.t() - arma::eye(k, k)).max(), tol);
    EXPECT_LE(arma::abs(s - arma::svd(a)).max(), tol * s(0));
  }
}

TEST(LapackSvd, EmptyAndNotFinite) {
  const auto empty = zub_internal::lapack_svd(zub_feedback::matrix(0, 4));
  ASSERT_TRUE(empty);
  EXPECT_TRUE(empty.value().s.empty());
  EXPECT_EQ(empty.value().vt.cols(), 4u);

  zub_feedback::matrix a(3, 3, 1.0);
  a(2, 1) = std::numeric_limits<double>::quiet_NaN();
  const auto r = zub_internal::lapack_svd(a);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().code, zub_feedback::error_code::not_finite);
}

}  // namespace
