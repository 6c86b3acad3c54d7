// What rmtool info shows of a loaded matrix.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "matrix_data.h"
#include "support/matrix_summary.h"

namespace {

TEST(MatrixSummary, RangeZerosAndZeroLines) {
  const zub_feedback::matrix m =
      zub_test::to_core(arma::mat{{0, 2, 5, 0}, {0, 0, 0, 0}, {0, -3, 1, 0}});
  const zub_cli::matrix_summary s = zub_cli::summarize(m);
  EXPECT_EQ(s.values, 12);
  EXPECT_EQ(s.zeros, 8);
  EXPECT_EQ(s.lo, -3.0);
  EXPECT_EQ(s.hi, 5.0);
  EXPECT_EQ(s.zero_rows, (std::vector<long long>{1}));
  EXPECT_EQ(s.zero_cols, (std::vector<long long>{0, 3}));
}

// What loads is finite; a product need not be.
TEST(MatrixSummary, FirstNonFiniteElementIsNamed) {
  const double inf = std::numeric_limits<double>::infinity();
  zub_feedback::matrix m =
      zub_test::to_core(arma::mat{{1, 2}, {-inf, std::nan("")}});
  EXPECT_EQ(zub_cli::first_non_finite(m), "(1, 0) = -inf");
  m(1, 0) = 0.0;
  EXPECT_EQ(zub_cli::first_non_finite(m), "(1, 1) = nan");
  m(1, 1) = 0.0;
  EXPECT_EQ(zub_cli::first_non_finite(m), "");
}

}  // namespace
