// Pseudo-inverse through Armadillo: the input and output filters, their
// messages, the refused shapes, Armadillo's failure, and the result against
// a double-precision pseudo-inverse.
#include <armadillo>
#include <array>
#include <cctype>
#include <cfloat>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "log_capture.h"
#include "matrix_data.h"
#include "report.h"
#include "zub_feedback.h"

namespace {

using zub_test::is_timing_message;

using zub_test::set_from;
using zub_test::set_rows;
using zub_test::to_arma;

using zub_internal::kLevelError;
using zub_internal::kLevelInfo;
using zub_internal::kLevelTiming;
const char* const kName = "MDFA_ResponseMatrix::pinv";

void expect_all(const MDFA_ResponseMatrix& m, float v) {
  for (int i = 0; i < m.rows; ++i) {
    for (int j = 0; j < m.cols; ++j) {
      EXPECT_EQ(m.value(i, j, -1, -1, -1, -1), v) << i << "," << j;
    }
  }
}

void expect_timing(const zub_test::LogEntry& e) {
  EXPECT_EQ(e.where, kName);
  EXPECT_EQ(e.level, kLevelTiming);
  EXPECT_TRUE(is_timing_message(e.message)) << e.message;
}

// No message of the input filter.
void expect_no_input_message(const zub_test::LogCapture& log) {
  for (const auto& e : log.entries()) {
    EXPECT_EQ(e.message.find("in input"), std::string::npos) << e.message;
  }
}

// Keeps the messages of tests that do not look at them off standard error.
class Pinv : public testing::Test {
  zub_test::LogCapture quiet_;
};

// ---------------------------------------- input filter

TEST_F(Pinv, RemovesSmallInputElementsAndSaysHowMany) {
  MDFA_ResponseMatrix a("A", 2, 2, nullptr);
  set_rows(a, {{1, 1e-6f}, {0, 2}});
  MDFA_ResponseMatrix inv("INV", 2, 2, nullptr);
  float tol = 1e-5f;
  zub_test::LogCapture log;
  a.pinv(inv, &tol);

  EXPECT_EQ(tol, 1e-5f);
  EXPECT_EQ(inv.value(0, 0, -1, -1, -1, -1), 1.0f);
  EXPECT_EQ(inv.value(0, 1, -1, -1, -1, -1), 0.0f);
  EXPECT_EQ(inv.value(1, 0, -1, -1, -1, -1), 0.0f);
  EXPECT_EQ(inv.value(1, 1, -1, -1, -1, -1), 0.5f);
  // The zero element is not counted.
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0].where, kName);
  EXPECT_EQ(log[0].level, kLevelInfo);
  EXPECT_EQ(log[0].message, "removed 1 values (< 1e-05) in input\n");
  expect_timing(log[1]);
  // The input itself is unchanged.
  EXPECT_EQ(a.value(0, 1, -1, -1, -1, -1), 1e-6f);
}

TEST_F(Pinv, ElementEqualToTheToleranceStays) {
  MDFA_ResponseMatrix a("A", 2, 2, nullptr);
  set_rows(a, {{1, 0.25f}, {0, 2}});
  MDFA_ResponseMatrix inv("INV", 2, 2, nullptr);
  float tol = 0.25f;
  zub_test::LogCapture log;
  a.pinv(inv, &tol);
  expect_no_input_message(log);
  expect_timing(log.last());
  EXPECT_FLOAT_EQ(inv.value(0, 1, -1, -1, -1, -1), -0.125f);
  EXPECT_FLOAT_EQ(inv.value(1, 1, -1, -1, -1, -1), 0.5f);
}

TEST_F(Pinv, ZeroNegativeOrNanToleranceRemovesNothing) {
  for (float tol : {0.0f, -1.0f, std::numeric_limits<float>::quiet_NaN()}) {
    MDFA_ResponseMatrix a("A", 2, 2, nullptr);
    set_rows(a, {{1, 1e-3f}, {-1e-3f, 2}});
    MDFA_ResponseMatrix inv("INV", 2, 2, nullptr);
    zub_test::LogCapture log;
    a.pinv(inv, &tol);
    expect_no_input_message(log);
    expect_timing(log.last());
    // 1e-3 stayed in: the inverse is not diagonal.
    EXPECT_NE(inv.value(0, 1, -1, -1, -1, -1), 0.0f) << tol;
  }
}

// ---------------------------------------- output filter

TEST_F(Pinv, RemovesInverseElementsBelowMachineEpsilon) {
  MDFA_ResponseMatrix a("A", 2, 2, nullptr);
  set_rows(a, {{1e10f, 0}, {0, 1e20f}});
  MDFA_ResponseMatrix inv("INV", 2, 2, nullptr);
  float tol = 0.0f;
  zub_test::LogCapture log;
  a.pinv(inv, &tol);
  EXPECT_FLOAT_EQ(inv.value(0, 0, -1, -1, -1, -1), 1e-10f);
  EXPECT_EQ(inv.value(1, 1, -1, -1, -1, -1), 0.0f);
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0].level, kLevelInfo);
  EXPECT_EQ(log[0].message, "removed 1 values (< 2e-16) in inverse\n");
  expect_timing(log[1]);
}

// ---------------------------------------- shapes

TEST_F(Pinv, TallMatrixGivesAWideInverse) {
  MDFA_ResponseMatrix a("A", 3, 2, nullptr);
  set_rows(a, {{1, 2}, {3, 4}, {5, 6}});
  MDFA_ResponseMatrix inv("INV", 2, 3, nullptr);
  float tol = 0.0f;
  a.pinv(inv, &tol);
  const arma::mat ref = arma::pinv(to_arma(a));
  EXPECT_LE(arma::abs(to_arma(inv) - ref).max(),
            FLT_EPSILON * arma::abs(ref).max());
}

TEST_F(Pinv, RefusesAnInverseOfTheWrongShape) {
  MDFA_ResponseMatrix a("A", 3, 2, nullptr);
  set_rows(a, {{1, 2}, {3, 4}, {5, 6}});
  // The same shape, and one more row than the inverse has.
  for (const auto& shape : {std::array<int, 2>{3, 2}, {3, 3}, {2, 2}}) {
    MDFA_ResponseMatrix inv("INV", shape[0], shape[1], nullptr);
    inv.init(7.0f);
    float tol = 0.0f;
    zub_test::LogCapture log;
    a.pinv(inv, &tol);
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].where, kName);
    EXPECT_EQ(log[0].level, kLevelError);
    char expected[100];
    std::snprintf(expected, sizeof expected,
                  "ERROR: inverse is %d x %d, it must be 2 x 3 !\n", shape[0],
                  shape[1]);
    EXPECT_EQ(log[0].message, expected);
    expect_all(inv, 7.0f);
  }
}

TEST_F(Pinv, RefusesANegativeShape) {
  MDFA_ResponseMatrix a("A", -1, 0, nullptr);
  MDFA_ResponseMatrix inv("INV", 0, -1, nullptr);
  float tol = 0.0f;
  zub_test::LogCapture log;
  a.pinv(inv, &tol);
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].level, kLevelError);
  EXPECT_EQ(log[0].message, "ERROR: cannot invert a -1 x 0 matrix !\n");
}

TEST_F(Pinv, RefusesAMissingTolerance) {
  MDFA_ResponseMatrix a("A", 2, 2, nullptr);
  set_rows(a, {{1, 0}, {0, 2}});
  MDFA_ResponseMatrix inv("INV", 2, 2, nullptr);
  inv.init(7.0f);
  zub_test::LogCapture log;
  a.pinv(inv, nullptr);
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].level, kLevelError);
  EXPECT_EQ(log[0].message, "ERROR: no tolerance given !\n");
  expect_all(inv, 7.0f);
}

// ---------------------------------------- failure of the SVD

TEST_F(Pinv, FailedSvdReachesTheCallerWithTheInverseUntouched) {
  MDFA_ResponseMatrix a("A", 2, 3, nullptr);
  set_rows(a, {{1, 1e-6f, 0}, {0, std::numeric_limits<float>::quiet_NaN(), 3}});
  MDFA_ResponseMatrix inv("INV", 3, 2, nullptr);
  inv.init(7.0f);
  float tol = 1e-3f;
  zub_test::LogCapture log;
  testing::internal::CaptureStderr();  // Armadillo's own report
  try {
    a.pinv(inv, &tol);
    ADD_FAILURE() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "pinv(): svd failed");
  }
  testing::internal::GetCapturedStderr();
  expect_all(inv, 7.0f);
  // The input message was logged before, then the element that no SVD can
  // take (M20); no timing message after.
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0].message, "removed 1 values (< 0.001) in input\n");
  EXPECT_EQ(log[1].message, "ERROR: element (1, 1) is not a finite number !\n");
  EXPECT_EQ(log[1].level, kLevelError);
}

// Armadillo's shortcuts around its SVD used to return these as success: the
// identity with a NaN as the identity, diag(inf, 2) as all zeros.
TEST_F(Pinv, NonFiniteElementIsRefusedBeforeArmadillo) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  struct Case {
    int n;
    std::vector<float> a;  // n x n, row by row
    const char* error;
  };
  const Case cases[] = {
      {4,
       {1, nan, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1},
       "ERROR: element (0, 1) is not a finite number !\n"},
      {2, {inf, 0, 0, 2}, "ERROR: element (0, 0) is not a finite number !\n"},
      {2, {1, 0, 0, -inf}, "ERROR: element (1, 1) is not a finite number !\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.error);
    MDFA_ResponseMatrix a("A", c.n, c.n, nullptr);
    for (int k = 0; k < c.n * c.n; ++k) {
      a.set_value(c.a[static_cast<size_t>(k)], k / c.n, k % c.n, -1, -1, -1,
                  -1);
    }
    MDFA_ResponseMatrix inv("INV", c.n, c.n, nullptr);
    inv.init(7.0f);
    float tol = 0.0f;
    zub_test::LogCapture log;
    EXPECT_THROW(a.pinv(inv, &tol), std::runtime_error);
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].where, kName);
    EXPECT_EQ(log[0].level, kLevelError);
    EXPECT_EQ(log[0].message, c.error);
    expect_all(inv, 7.0f);
  }
}

// ---------------------------------------- against a double pseudo-inverse

class PinvShapes : public testing::TestWithParam<std::array<int, 2>> {
  zub_test::LogCapture quiet_;
};

TEST_P(PinvShapes, MatchesDoublePseudoInverseAndItsInvariants) {
  const auto m = static_cast<arma::uword>(GetParam()[0]);
  const auto n = static_cast<arma::uword>(GetParam()[1]);
  const arma::fmat src =
      zub_test::well_conditioned(m, n, static_cast<int>(m * 100 + n));
  MDFA_ResponseMatrix a("A", GetParam()[0], GetParam()[1], nullptr);
  set_from(a, src);
  MDFA_ResponseMatrix inv("INV", GetParam()[1], GetParam()[0], nullptr);
  float tol = 1e-9f;
  a.pinv(inv, &tol);

  const arma::mat ad = arma::conv_to<arma::mat>::from(src);
  const arma::mat ref = arma::pinv(ad);
  const arma::mat x = to_arma(inv);
  EXPECT_LE(arma::abs(x - ref).max(), 2 * FLT_EPSILON * arma::abs(ref).max());
  EXPECT_LE(arma::abs(ad * x * ad - ad).max(), 64 * FLT_EPSILON);
  EXPECT_LE(arma::abs(x * ad * x - x).max(), 64 * FLT_EPSILON);
}

INSTANTIATE_TEST_SUITE_P(TallWideSquare, PinvShapes,
                         testing::Values(std::array<int, 2>{12, 5},
                                         std::array<int, 2>{5, 12},
                                         std::array<int, 2>{8, 8},
                                         std::array<int, 2>{60, 45}));

}  // namespace
