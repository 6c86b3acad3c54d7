// Products and transposition of response matrices, and the road of a
// feedback: a matrix from a file times a column of monitor deviations.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <string>

#include "log_capture.h"
#include "matrix_bits.h"
#include "report.h"
#include "temp_file.h"
#include "zub_feedback.h"

namespace {

using zub_test::element_bits;
using zub_test::fill_sentinels;
using zub_test::LogCapture;

using zub_internal::kLevelError;
const float kNaN = std::numeric_limits<float>::quiet_NaN();

void set_rows(MDFA_ResponseMatrix& m,
              std::initializer_list<std::initializer_list<float>> values) {
  int i = 0;
  for (const auto& row : values) {
    int j = 0;
    for (float v : row) m.set_value(v, i, j++, -1, -1, -1, -1);
    ++i;
  }
}

float at(const MDFA_ResponseMatrix& m, int i, int j) {
  return m.value(i, j, -1, -1, -1, -1);
}

void expect_one_error(const LogCapture& log, const std::string& where,
                      const std::string& message) {
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].where, where);
  EXPECT_EQ(log[0].message, message);
  EXPECT_EQ(log[0].level, kLevelError);
}

// ---------------------------------------------------------------- multiply

TEST(Multiply, ProductIsSummedInDoublePrecision) {
  MDFA_ResponseMatrix R("R", 2, 3, nullptr);
  MDFA_ResponseMatrix A("A", 3, 1, nullptr);
  MDFA_ResponseMatrix B("B", 2, 1, nullptr);
  // 2^24 + 1 + 1 is 16777218 in double; summed in float it stays 2^24.
  set_rows(R, {{16777216.0f, 1.0f, 1.0f}, {1.5f, -2.0f, 0.25f}});
  set_rows(A, {{1.0f}, {1.0f}, {1.0f}});
  B.init(kNaN);  // former values take no part
  LogCapture log;
  R.multiply(A, B);
  EXPECT_EQ(log.size(), 0u);
  EXPECT_EQ(at(B, 0, 0), 16777218.0f);
  EXPECT_EQ(at(B, 1, 0), -0.25f);
}

TEST(Multiply, ResultMayBeAnOperand) {
  MDFA_ResponseMatrix R("R", 2, 2, nullptr);
  MDFA_ResponseMatrix A("A", 2, 2, nullptr);
  set_rows(R, {{1, 2}, {3, 4}});
  set_rows(A, {{0, 1}, {1, 0}});
  R.multiply(A, R);  // this x A swaps the columns of this
  EXPECT_EQ(at(R, 0, 0), 2.0f);
  EXPECT_EQ(at(R, 1, 1), 3.0f);
  R.multiply(A, A);  // A = this x A
  EXPECT_EQ(at(A, 0, 0), 1.0f);
  EXPECT_EQ(at(A, 0, 1), 2.0f);
  EXPECT_EQ(at(A, 1, 0), 3.0f);
}

TEST(Multiply, ShapeMismatchLeavesResultUnchanged) {
  struct Case {
    int r_rows, r_cols, a_rows, a_cols;
    std::string message;
  };
  const std::string huge = "-2147483648 x -2147483648";
  const Case cases[] = {
      {2, 3, 3, 4,
       "ERROR: Dimension mismatch: dim(this): 2 x 3 dim(A): 3 x 4 dim(B): "
       "2 x 3 "},
      // this x A has no inner dimension in common: BLAS must not see it.
      {2, 3, 2, 3,
       "ERROR: Dimension mismatch: dim(this): 2 x 3 dim(A): 2 x 3 dim(B): "
       "2 x 3 "},
      {INT_MIN, INT_MIN, INT_MIN, INT_MIN,
       ("ERROR: Dimension mismatch: dim(this): " + huge + " dim(A): " + huge +
        " dim(B): 2 x 3 ")
           .substr(0, 99)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    MDFA_ResponseMatrix R("R", c.r_rows, c.r_cols, nullptr);
    MDFA_ResponseMatrix A("A", c.a_rows, c.a_cols, nullptr);
    MDFA_ResponseMatrix B("B", 2, 3, nullptr);
    fill_sentinels(B);
    const auto before = element_bits(B);
    LogCapture log;
    R.multiply(A, B);
    expect_one_error(log, "MDFA_ResponseMatrix::multiply", c.message);
    EXPECT_EQ(element_bits(B), before);
  }
}

TEST(Multiply, EmptyShapes) {
  LogCapture log;
  // No inner dimension: every element is a sum of no terms.
  MDFA_ResponseMatrix R("R", 2, 0, nullptr);
  MDFA_ResponseMatrix A("A", 0, 3, nullptr);
  MDFA_ResponseMatrix B("B", 2, 3, nullptr);
  B.init(kNaN);
  R.multiply(A, B);
  for (auto b : element_bits(B)) EXPECT_EQ(b, 0u);
  // An empty result: nothing to write, nothing to report.
  MDFA_ResponseMatrix R0("R", 0, 3, nullptr);
  MDFA_ResponseMatrix A0("A", 3, 0, nullptr);
  MDFA_ResponseMatrix B0("B", 0, 0, nullptr);
  R0.multiply(A0, B0);
  EXPECT_EQ(log.size(), 0u);
}

TEST(Multiply, OperandThatIsNotAMatrixStopsBeforeWriting) {
  MDFA_ResponseMatrix R("R", 2, 2, nullptr);
  MDFA_ResponseMatrix A("A", 2, 2, nullptr);
  MDFA_ResponseMatrix B("B", 2, 2, nullptr);
  fill_sentinels(B);
  const auto before = element_bits(B);
  A.set_dimension_count(3);
  LogCapture log;
  R.multiply(A, B);
  expect_one_error(log, "MDFA_ResponseMatrix::create_gsl_matrix",
                   "ERROR: allocating GSL matrix num(dim)=3 !\n");
  EXPECT_EQ(element_bits(B), before);
}

TEST(Multiply, OperandOfNegativeShapeStopsBeforeWriting) {
  // The shapes agree, so only the refusal of the working copy keeps GSL
  // from an allocation whose failure would end the process.
  MDFA_ResponseMatrix R("R", 2, -1, nullptr);
  MDFA_ResponseMatrix A("A", -1, 2, nullptr);
  MDFA_ResponseMatrix B("B", 2, 2, nullptr);
  fill_sentinels(B);
  const auto before = element_bits(B);
  LogCapture log;
  R.multiply(A, B);
  expect_one_error(log, "MDFA_ResponseMatrix::create_gsl_matrix",
                   "ERROR: allocating GSL matrix of -1 x 2 elements !\n");
  EXPECT_EQ(element_bits(B), before);
}

// An inverse response matrix (actuators x monitors) read from its file,
// times a column of monitor deviations, gives one setting per actuator.
TEST(Multiply, FileMatrixTimesDeviationsGivesOneValuePerActuator) {
  zub_test::TempDir dir;
  const std::string path = dir.write("inverse.txt",
                                     "# 2 actuators x 3 monitors\n0.5 -1 0\n"
                                     "0.25 0.25 2\n");
  MDFA_ResponseMatrix inverse("INV", 2, 3, nullptr);
  ASSERT_TRUE(inverse.load_file(path.c_str()));
  MDFA_ResponseMatrix deviations("DEV", 3, 1, nullptr);
  set_rows(deviations, {{2.0f}, {-1.0f}, {0.5f}});
  MDFA_ResponseMatrix settings("SET", 2, 1, nullptr);
  LogCapture log;
  inverse.multiply(deviations, settings);
  EXPECT_EQ(log.size(), 0u);
  EXPECT_EQ(at(settings, 0, 0), 2.0f);
  EXPECT_EQ(at(settings, 1, 0), 1.25f);
}

// ----------------------------------------------------------------
// entrywise_product

TEST(EntrywiseProduct, MultipliesElementsAlsoInPlace) {
  MDFA_ResponseMatrix R("R", 2, 2, nullptr);
  MDFA_ResponseMatrix A("A", 2, 2, nullptr);
  MDFA_ResponseMatrix B("B", 2, 2, nullptr);
  set_rows(R, {{1.5f, -2.0f}, {0.1f, 3.0f}});
  set_rows(A, {{4.0f, 0.5f}, {0.3f, -0.0f}});
  LogCapture log;
  R.entrywise_product(A, B);
  EXPECT_EQ(log.size(), 0u);
  EXPECT_EQ(at(B, 0, 0), 6.0f);
  EXPECT_EQ(at(B, 0, 1), -1.0f);
  EXPECT_EQ(at(B, 1, 0), 0.1f * 0.3f);
  EXPECT_TRUE(std::signbit(at(B, 1, 1)));
  R.entrywise_product(R, R);
  EXPECT_EQ(at(R, 0, 1), 4.0f);
  EXPECT_EQ(at(R, 1, 1), 9.0f);
}

TEST(EntrywiseProduct, EachShapeMismatchLeavesResultUnchanged) {
  struct Case {
    int a_rows, a_cols, b_rows, b_cols;
    const char* message;
  };
  const Case cases[] = {
      {3, 3, 2, 3,
       "ERROR: Dimension mismatch: dim(this): 2 x 3 dim(A): 3 x 3 dim(B): "
       "2 x 3 "},
      {2, 3, 1, 3,
       "ERROR: Dimension mismatch: dim(this): 2 x 3 dim(A): 2 x 3 dim(B): "
       "1 x 3 "},
      {2, 4, 2, 3,
       "ERROR: Dimension mismatch: dim(this): 2 x 3 dim(A): 2 x 4 dim(B): "
       "2 x 3 "},
      {2, 3, 2, 2,
       "ERROR: Dimension mismatch: dim(this): 2 x 3 dim(A): 2 x 3 dim(B): "
       "2 x 2 "},
  };
  MDFA_ResponseMatrix R("R", 2, 3, nullptr);
  R.init(2.0f);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    MDFA_ResponseMatrix A("A", c.a_rows, c.a_cols, nullptr);
    MDFA_ResponseMatrix B("B", c.b_rows, c.b_cols, nullptr);
    A.init(3.0f);
    fill_sentinels(B);
    const auto before = element_bits(B);
    LogCapture log;
    R.entrywise_product(A, B);
    expect_one_error(log, "MDFA_ResponseMatrix::entrywise_product", c.message);
    EXPECT_EQ(element_bits(B), before);
  }
}

// ---------------------------------------------------------------- transpose

TEST(Transpose, CopiesEveryElementBitForBit) {
  MDFA_ResponseMatrix R("R", 2, 3, nullptr);
  MDFA_ResponseMatrix T("T", 3, 2, nullptr);
  const float tiny = std::numeric_limits<float>::denorm_min();
  set_rows(R, {{1.0f, -0.0f, kNaN}, {tiny, 3.4e38f, -7.25f}});
  LogCapture log;
  R.transpose(T);
  EXPECT_EQ(log.size(), 0u);
  for (int i = 0; i < 2; ++i) {
    for (int j = 0; j < 3; ++j) {
      const float a = at(R, i, j);
      const float b = at(T, j, i);
      EXPECT_EQ(std::memcmp(&a, &b, sizeof a), 0) << i << ", " << j;
    }
  }
}

TEST(Transpose, SquareMatrixInPlace) {
  MDFA_ResponseMatrix R("R", 2, 2, nullptr);
  set_rows(R, {{1, 2}, {3, 4}});
  R.transpose(R);
  EXPECT_EQ(at(R, 0, 1), 3.0f);
  EXPECT_EQ(at(R, 1, 0), 2.0f);
}

TEST(Transpose, ShapeMismatchLeavesResultUnchanged) {
  MDFA_ResponseMatrix R("R", 2, 3, nullptr);
  MDFA_ResponseMatrix T("T", 2, 3, nullptr);
  fill_sentinels(T);
  const auto before = element_bits(T);
  LogCapture log;
  R.transpose(T);
  expect_one_error(log, "MDFA_ResponseMatrix::transpose",
                   "ERROR: Dimension mismatch: dim(transR) (2 x 3) must be "
                   "inverse of dim(this) (2 x 3)");
  EXPECT_EQ(element_bits(T), before);
}

TEST(Transpose, NegativeShapeStopsBeforeWriting) {
  // The refused copy keeps GSL from an allocation whose failure would end
  // the process.
  struct Case {
    int rows, cols;
    const char* message;
  };
  for (const Case& c :
       {Case{-1, 2, "ERROR: allocating GSL matrix of -1 x 2 elements !\n"},
        Case{2, -1, "ERROR: allocating GSL matrix of 2 x -1 elements !\n"}}) {
    MDFA_ResponseMatrix R("R", c.rows, c.cols, nullptr);
    MDFA_ResponseMatrix T("T", 2, 2, nullptr);
    fill_sentinels(T);
    const auto before = element_bits(T);
    LogCapture log;
    R.transpose(T);
    expect_one_error(log, "MDFA_ResponseMatrix::create_gsl_matrix", c.message);
    EXPECT_EQ(element_bits(T), before);
  }
}

TEST(Transpose, EmptyOrNotAMatrix) {
  LogCapture log;
  MDFA_ResponseMatrix R0("R", 0, 3, nullptr);
  MDFA_ResponseMatrix T0("T", 3, 0, nullptr);
  R0.transpose(T0);
  T0.transpose(R0);
  EXPECT_EQ(log.size(), 0u);

  MDFA_ResponseMatrix R("R", 2, 2, nullptr);
  MDFA_ResponseMatrix T("T", 2, 2, nullptr);
  fill_sentinels(T);
  const auto before = element_bits(T);
  T.set_dimension_count(1);
  R.transpose(T);
  expect_one_error(log, "MDFA_ResponseMatrix::create_gsl_matrix",
                   "ERROR: allocating GSL matrix num(dim)=1 !\n");
  EXPECT_EQ(element_bits(T), before);
}

}  // namespace
