// The response-matrix object: shape, filling, comparison, assignment and the
// conversions to and from double-precision matrices.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "log_capture.h"
#include "report.h"
#include "zub_feedback.h"

namespace {

using zub_internal::kLevelError;

// Element (i, j) = 10 i + j + 0.25, so that every position is distinct.
void fill_pattern(MDFA_ResponseMatrix& m, float offset = 0.0f) {
  for (int i = 0; i < m.rows; ++i) {
    for (int j = 0; j < m.cols; ++j) {
      m.set_value(10.0f * i + j + 0.25f + offset, i, j, -1, -1, -1, -1);
    }
  }
}

// ---------------------------------------------------------------- construction

TEST(ResponseMatrix, ConstructionSetsShapeNameAndOwner) {
  EqFct loc;
  MDFA_ResponseMatrix m("RM", 3, 5, &loc);
  EXPECT_EQ(m.rows, 3);
  EXPECT_EQ(m.cols, 5);
  EXPECT_EQ(m.name(), "RM");
  EXPECT_EQ(m.owner(), &loc);
  EXPECT_EQ(m.data_type(), 109);
  // The base received rows first: the last element is addressable as (2, 4).
  m.set_value(1.5f, 2, 4, -1, -1, -1, -1);
  EXPECT_EQ(m.value(2, 4, -1, -1, -1, -1), 1.5f);
  m.set_value(1.5f, 4, 2, -1, -1, -1, -1);
  EXPECT_EQ(m.value(4, 2, -1, -1, -1, -1), 0.0f);
}

TEST(ResponseMatrix, NullNameThrowsLogicError) {
  EXPECT_THROW(MDFA_ResponseMatrix(nullptr, 2, 2, nullptr), std::logic_error);
}

TEST(ResponseMatrix, InitFillsEveryElement) {
  MDFA_ResponseMatrix m("RM", 3, 4, nullptr);
  m.init(2.5f);
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 4; ++j) EXPECT_EQ(m.value(i, j, -1, -1, -1, -1), 2.5f);
  }
}

// init and == keep to rows x cols, also where the property behind the
// matrix is larger (its shape fields are public).
TEST(ResponseMatrix, InitAndEqualityKeepToRowsAndCols) {
  MDFA_ResponseMatrix a("A", 3, 3, nullptr);
  MDFA_ResponseMatrix b("B", 3, 3, nullptr);
  a.init(1.0f);
  b.init(1.0f);
  a.set_value(7.0f, 2, 0, -1, -1, -1, -1);
  a.set_value(7.0f, 0, 2, -1, -1, -1, -1);
  a.rows = b.rows = 2;
  a.cols = b.cols = 2;
  a.init(4.0f);
  EXPECT_EQ(a.value(0, 2, -1, -1, -1, -1), 7.0f);
  EXPECT_EQ(a.value(2, 0, -1, -1, -1, -1), 7.0f);
  b.init(4.0f);
  EXPECT_TRUE(a == b);
}

// ---------------------------------------------------------------- comparison

TEST(ResponseMatrix, EqualityIsShapeThenExactElements) {
  MDFA_ResponseMatrix a("A", 2, 3, nullptr);
  MDFA_ResponseMatrix b("B", 2, 3, nullptr);
  fill_pattern(a);
  fill_pattern(b);
  EXPECT_TRUE(a == b);
  EXPECT_FALSE(a != b);

  b.set_value(std::nextafter(a.value(1, 2, -1, -1, -1, -1), 100.0f), 1, 2, -1,
              -1, -1, -1);
  EXPECT_FALSE(a == b);
  EXPECT_TRUE(a != b);

  // +0 equals -0.
  a.set_value(0.0f, 0, 0, -1, -1, -1, -1);
  b = a;
  b.set_value(-0.0f, 0, 0, -1, -1, -1, -1);
  EXPECT_TRUE(a == b);
}

TEST(ResponseMatrix, NanMakesAMatrixUnequalToItself) {
  MDFA_ResponseMatrix a("A", 2, 2, nullptr);
  a.init(1.0f);
  EXPECT_TRUE(a == a);
  a.set_value(std::numeric_limits<float>::quiet_NaN(), 1, 1, -1, -1, -1, -1);
  EXPECT_FALSE(a == a);
  EXPECT_TRUE(a != a);
}

TEST(ResponseMatrix, TransposedShapesAreUnequalAndEmptyShapesEqual) {
  MDFA_ResponseMatrix a("A", 3, 4, nullptr);
  MDFA_ResponseMatrix b("B", 4, 3, nullptr);
  a.init(1.0f);
  b.init(1.0f);
  EXPECT_FALSE(a == b);

  MDFA_ResponseMatrix e1("E1", 0, 5, nullptr);
  MDFA_ResponseMatrix e2("E2", 0, 5, nullptr);
  MDFA_ResponseMatrix e3("E3", 0, 4, nullptr);
  EXPECT_TRUE(e1 == e2);
  EXPECT_FALSE(e1 == e3);
}

// ---------------------------------------------------------------- assignment

TEST(ResponseMatrix, SelfAssignmentChangesNothing) {
  MDFA_ResponseMatrix a("A", 2, 3, nullptr);
  fill_pattern(a);
  MDFA_ResponseMatrix before("B", 2, 3, nullptr);
  before = a;
  MDFA_ResponseMatrix& r = (a = a);
  EXPECT_EQ(&r, &a);
  EXPECT_TRUE(a == before);
}

TEST(ResponseMatrix, AssignmentCopiesValuesAndShapeButKeepsPropertyState) {
  EqFct loc;
  MDFA_ResponseMatrix src("SRC", 3, 2, &loc);
  fill_pattern(src, 100.0f);
  src.error(11);
  src.permission(1);
  MDFA_ResponseMatrix dst("DST", 2, 4, nullptr);
  dst.init(-1.0f);
  dst.error(22);
  dst.permission(7);

  dst = src;
  EXPECT_EQ(dst.rows, 3);
  EXPECT_EQ(dst.cols, 2);
  EXPECT_TRUE(dst == src);
  EXPECT_EQ(dst.value(2, 1, -1, -1, -1, -1), src.value(2, 1, -1, -1, -1, -1));
  EXPECT_EQ(dst.error(), 22);
  EXPECT_EQ(dst.permission(), 7);
  EXPECT_EQ(dst.name(), "DST");
  EXPECT_EQ(dst.owner(), nullptr);

  // The copy is independent of its source.
  src.set_value(0.0f, 0, 0, -1, -1, -1, -1);
  EXPECT_EQ(dst.value(0, 0, -1, -1, -1, -1), 100.25f);
}

// ---------------------------------------------------------------- Armadillo

TEST(ResponseMatrix, ArmadilloRoundTripIsExact) {
  MDFA_ResponseMatrix a("A", 3, 4, nullptr);
  fill_pattern(a);
  a.set_value(0.1f, 1, 1, -1, -1, -1, -1);
  MDFA_ResponseMatrix other("O", 1, 1, nullptr);
  const arma::mat m = other.MDFA2arma_mat(a);  // the callee plays no part
  ASSERT_EQ(m.n_rows, 3u);
  ASSERT_EQ(m.n_cols, 4u);
  EXPECT_EQ(m(1, 1), static_cast<double>(0.1f));
  EXPECT_EQ(m(2, 3), 23.25);

  MDFA_ResponseMatrix b("B", 3, 4, nullptr);
  EXPECT_EQ(b.arma_mat2MDFA(m), &b);
  EXPECT_TRUE(a == b);
}

TEST(ResponseMatrix, ArmadilloCopyOfEmptyMatrixKeepsItsShape) {
  MDFA_ResponseMatrix a("A", 0, 4, nullptr);
  const arma::mat m = a.MDFA2arma_mat(a);
  EXPECT_EQ(m.n_rows, 0u);
  EXPECT_EQ(m.n_cols, 4u);
}

TEST(ResponseMatrix, ArmadilloNarrowingRoundsToNearestFloat) {
  MDFA_ResponseMatrix a("A", 1, 2, nullptr);
  arma::mat m(1, 2);
  m(0, 0) = 0.1;
  m(0, 1) = 1e300;
  a.arma_mat2MDFA(m);
  EXPECT_EQ(a.value(0, 0, -1, -1, -1, -1), 0.1f);
  EXPECT_EQ(a.value(0, 1, -1, -1, -1, -1),
            std::numeric_limits<float>::infinity());
}

TEST(ResponseMatrix, LargerArmadilloMatrixContributesItsLeadingBlock) {
  arma::mat big(5, 6);
  for (arma::uword i = 0; i < 5; ++i) {
    for (arma::uword j = 0; j < 6; ++j) big(i, j) = 10.0 * i + j;
  }
  MDFA_ResponseMatrix a("A", 3, 4, nullptr);
  a.init(-1.0f);
  a.arma_mat2MDFA(big);
  EXPECT_EQ(a.rows, 3);
  EXPECT_EQ(a.cols, 4);
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 4; ++j) {
      EXPECT_EQ(a.value(i, j, -1, -1, -1, -1), 10.0f * i + j);
    }
  }
}

TEST(ResponseMatrix, SmallerArmadilloMatrixIsReportedAndWritesNothing) {
  MDFA_ResponseMatrix a("A", 3, 4, nullptr);
  a.init(7.0f);
  for (const arma::mat& small :
       {arma::mat(2, 4, arma::fill::ones), arma::mat(3, 3, arma::fill::ones),
        arma::mat()}) {
    zub_test::LogCapture log;
    EXPECT_EQ(a.arma_mat2MDFA(small), &a);
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].where, "MDFA_ResponseMatrix::arma_mat2MDFA");
    EXPECT_EQ(log[0].level, kLevelError);
    EXPECT_EQ(log[0].message.rfind("ERROR: ", 0), 0u) << log[0].message;
  }
  MDFA_ResponseMatrix sevens("S", 3, 4, nullptr);
  sevens.init(7.0f);
  EXPECT_TRUE(a == sevens);
}

}  // namespace
