// What rmtool info shows of a loaded matrix.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "matrix_data.h"
#include "support/matrix_summary.h"

namespace {

TEST(MatrixSummary, RangeOverFiniteValuesZeroLinesAndTheFirstNonFinite) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  MDFA_ResponseMatrix m("M", 3, 4, nullptr);
  zub_test::set_rows(m, {{0, 2, nan, 0}, {0, 0, 0, 0}, {0, -3, -inf, 0}});
  const zub_cli::matrix_summary s = zub_cli::summarize(m);
  EXPECT_EQ(s.values, 12);
  EXPECT_EQ(s.zeros, 8);
  EXPECT_EQ(s.lo, -3.0);
  EXPECT_EQ(s.hi, 2.0);
  EXPECT_EQ(s.non_finite, 2);
  EXPECT_EQ(s.first_non_finite,
            (std::vector<std::string>{"(0, 2) = nan", "(2, 2) = -inf"}));
  EXPECT_EQ(s.zero_rows, (std::vector<long long>{1}));
  EXPECT_EQ(s.zero_cols, (std::vector<long long>{0, 3}));
  EXPECT_EQ(zub_cli::first_non_finite(m), "(0, 2) = nan");
}

}  // namespace
