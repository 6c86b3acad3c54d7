// The numeric core's products, transposition and apply on plain doubles:
// against naive loops and float arithmetic, on views with strides, with
// outputs that share memory with inputs, and their refusals.
#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "zub_feedback/arithmetic.h"

namespace {

using zub_feedback::const_matrix_view;
using zub_feedback::error_code;
using zub_feedback::matrix;
using zub_feedback::matrix_view;

matrix random_matrix(std::size_t rows, std::size_t cols, unsigned seed) {
  std::mt19937 gen(seed);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  matrix m(rows, cols);
  for (std::size_t k = 0; k < m.size(); ++k) m.data()[k] = u(gen);
  return m;
}

// The product summed term by term, and its rounding bound.
void expect_product(const_matrix_view a, const_matrix_view b,
                    const_matrix_view p) {
  for (std::size_t i = 0; i < p.rows(); ++i) {
    for (std::size_t j = 0; j < p.cols(); ++j) {
      double sum = 0.0;
      double scale = 0.0;
      for (std::size_t l = 0; l < a.cols(); ++l) {
        sum += a(i, l) * b(l, j);
        scale += std::fabs(a(i, l) * b(l, j));
      }
      EXPECT_NEAR(p(i, j), sum, 4 * a.cols() * DBL_EPSILON * scale)
          << i << ", " << j;
    }
  }
}

// ---------------------------------------------------------------- apply

TEST(Apply, IsTheProductWithEveryFormerValueOverwritten) {
  struct Case {
    std::size_t rows, cols, stride;
  };
  for (const Case& c : {Case{12, 24, 24}, Case{5, 3, 7}, Case{1, 4, 1},
                        Case{3, 0, 0}, Case{0, 4, 4}}) {
    SCOPED_TRACE(testing::Message()
                 << c.rows << " x " << c.cols << " / " << c.stride);
    const matrix storage = random_matrix(c.rows, std::max(c.stride, c.cols), 1);
    const const_matrix_view inverse(storage.data(), c.rows, c.cols, c.stride);
    const matrix x = random_matrix(c.cols, 1, 2);
    std::vector<double> y(c.rows, std::numeric_limits<double>::quiet_NaN());
    ASSERT_TRUE(
        zub_feedback::apply(inverse, x.data(), c.cols, y.data(), y.size()));
    expect_product(inverse, x, const_matrix_view(y.data(), c.rows, 1));
  }
}

TEST(Apply, RefusesWhatDoesNotFit) {
  const matrix inverse = random_matrix(3, 4, 3);
  std::vector<double> x(4), y(3, 7.0);
  struct Case {
    const_matrix_view inverse;
    std::size_t x_size, y_size;
    error_code code;
  };
  const Case cases[] = {
      {inverse, 3, 3, error_code::shape_mismatch},
      {inverse, 4, 4, error_code::shape_mismatch},
      // Rows that overlap: no BLAS takes them.
      {const_matrix_view(inverse.data(), 3, 4, 2), 4, 3,
       error_code::bad_argument},
  };
  for (const Case& c : cases) {
    const auto s =
        zub_feedback::apply(c.inverse, x.data(), c.x_size, y.data(), c.y_size);
    ASSERT_FALSE(s);
    EXPECT_EQ(s.error().code, c.code) << s.error().message;
    EXPECT_EQ(y, std::vector<double>(3, 7.0));
  }
}

// ---------------------------------------------------------------- multiply

TEST(CoreMultiply, ProductOnViewsAndIntoItsOwnOperands) {
  const matrix a = random_matrix(4, 4, 4);
  const matrix b = random_matrix(4, 4, 5);
  matrix p(4, 4);
  ASSERT_TRUE(zub_feedback::multiply(a, b, p.view()));
  expect_product(a, b, p);

  // A 2 x 3 block of a times a 3 x 2 block of b, into a block of a larger
  // matrix whose other elements stay.
  matrix big(3, 5, 9.0);
  ASSERT_TRUE(zub_feedback::multiply(const_matrix_view(a.data() + 1, 2, 3, 4),
                                     const_matrix_view(b.data(), 3, 2, 4),
                                     matrix_view(big.data() + 6, 2, 2, 5)));
  expect_product(const_matrix_view(a.data() + 1, 2, 3, 4),
                 const_matrix_view(b.data(), 3, 2, 4),
                 const_matrix_view(big.data() + 6, 2, 2, 5));
  EXPECT_EQ(big(0, 4), 9.0);
  EXPECT_EQ(big(1, 0), 9.0);
  EXPECT_EQ(big(2, 3), 9.0);

  // Into a and into b: the same numbers as into a matrix of its own.
  for (const bool into_a : {true, false}) {
    matrix x = a;
    matrix y = b;
    ASSERT_TRUE(zub_feedback::multiply(x, y, into_a ? x.view() : y.view()));
    EXPECT_EQ(into_a ? x : y, p);
  }
}

// The allocating form; the three-argument form's refusals are the
// property's (arithmetic_test.cc).
TEST(CoreMultiply, AllocatingForm) {
  EXPECT_FALSE(zub_feedback::multiply(matrix(2, 3), matrix(2, 3)));
  // No inner dimension: sums of no terms.
  EXPECT_EQ(zub_feedback::multiply(matrix(2, 0), matrix(0, 3)).value(),
            matrix(2, 3, 0.0));
}

// ---------------------------------------------------------------- entrywise

// The product of two floats formed in double and rounded once gives what
// float arithmetic gives, at the edges of the float range too.
TEST(CoreEntrywiseProduct, RoundsToTheFloatProduct) {
  const float tiny = std::numeric_limits<float>::denorm_min();
  const std::vector<float> x = {0.1f,   -3.3f, FLT_MAX,     tiny,     FLT_MIN,
                                1e-30f, -0.0f, 16777217.0f, 3.14159f, 1.0f / 3};
  const std::vector<float> y = {0.3f,   7.7f, 2.0f,  0.5f,  0.75f,
                                1e-20f, 5.0f, 1.25f, 2.71f, 3.0f};
  matrix a(1, x.size());
  matrix b(1, y.size());
  for (std::size_t j = 0; j < x.size(); ++j) {
    a(0, j) = x[j];
    b(0, j) = y[j];
  }
  ASSERT_TRUE(zub_feedback::entrywise_product(a, b, a.view()));  // in place
  for (std::size_t j = 0; j < x.size(); ++j) {
    const float want = x[j] * y[j];
    const float got = static_cast<float>(a(0, j));
    std::uint32_t w, g;
    std::memcpy(&w, &want, sizeof w);
    std::memcpy(&g, &got, sizeof g);
    EXPECT_EQ(g, w) << x[j] << " x " << y[j];
  }
  matrix p(2, 1, 7.0);
  EXPECT_FALSE(zub_feedback::entrywise_product(b, b, p.view()));
  EXPECT_EQ(p, matrix(2, 1, 7.0));
}

// ---------------------------------------------------------------- transpose

TEST(CoreTranspose, ExactOnViewsAndInPlace) {
  const matrix original = random_matrix(3, 3, 6);
  const matrix t = zub_feedback::transpose(original);
  for (std::size_t i = 0; i < 3; ++i) {
    for (std::size_t j = 0; j < 3; ++j) EXPECT_EQ(t(i, j), original(j, i));
  }
  matrix a = original;
  ASSERT_TRUE(zub_feedback::transpose(a, a.view()));
  EXPECT_EQ(a, t);

  const matrix wide = random_matrix(2, 4, 7);
  matrix out(3, 2, 7.0);
  ASSERT_TRUE(zub_feedback::transpose(const_matrix_view(wide.data(), 2, 3, 4),
                                      out.view()));
  for (std::size_t i = 0; i < 3; ++i) {
    for (std::size_t j = 0; j < 2; ++j) EXPECT_EQ(out(i, j), wide(j, i));
  }
  EXPECT_FALSE(zub_feedback::transpose(wide, out.view()));
}

}  // namespace
