// Truncated-SVD inversion: tolerance, cut-off, count, spectrum, messages,
// standard output, refused inputs, and the inverse against an independent
// double-precision pseudo-inverse.
#include <gsl/gsl_blas.h>
#include <gsl/gsl_linalg.h>
#include <gsl/gsl_matrix.h>
#include <gsl/gsl_vector.h>

#include <algorithm>
#include <armadillo>
#include <array>
#include <cctype>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "log_capture.h"
#include "matrix_data.h"
#include "report.h"
#include "stdout_capture.h"
#include "zub_feedback.h"

namespace {

using zub_test::is_timing_message;

using zub_test::set_from;
using zub_test::set_rows;
using zub_test::spectrum_of;
using zub_test::to_arma;
using zub_test::well_conditioned;

using zub_internal::kLevelError;
using zub_internal::kLevelInfo;
using zub_internal::kLevelTiming;
const char* const kName = "MDFA_ResponseMatrix::invert";

// Sets KARST_debug for the lifetime of the object.
class ScopedDebug {
 public:
  explicit ScopedDebug(int bits) : saved_(KARST_debug) { KARST_debug = bits; }
  ~ScopedDebug() { KARST_debug = saved_; }
  ScopedDebug(const ScopedDebug&) = delete;
  ScopedDebug& operator=(const ScopedDebug&) = delete;

 private:
  int saved_;
};

std::vector<std::string> messages(const zub_test::LogCapture& log) {
  std::vector<std::string> out;
  for (const auto& e : log.entries()) out.push_back(e.message);
  return out;
}

// Every message under invert's name at the level its kind fixes, and the
// timing message last.
void expect_levels_and_timing_last(const zub_test::LogCapture& log) {
  ASSERT_GT(log.size(), 0u);
  for (const auto& e : log.entries()) {
    EXPECT_EQ(e.where, kName);
    if (e.message.rfind("INFO: ", 0) == 0) {
      EXPECT_EQ(e.level, kLevelInfo);
    }
  }
  EXPECT_EQ(log.last().level, kLevelTiming);
  EXPECT_TRUE(is_timing_message(log.last().message)) << log.last().message;
}

// A matrix that records the order of the writes into it.
class RecordingMatrix : public MDFA_ResponseMatrix {
 public:
  using MDFA_ResponseMatrix::MDFA_ResponseMatrix;
  void set_value(float v, int i, int j, int k, int l, int m, int n) override {
    writes.push_back({i, j, k, l, m, n});
    MDFA_ResponseMatrix::set_value(v, i, j, k, l, m, n);
  }
  std::vector<std::array<int, 6>> writes;
};

// Keeps the messages of tests that do not look at them off standard error.
class Invert : public testing::Test {
  zub_test::LogCapture quiet_;
};

// ---------------------------------------- internal tolerance

TEST_F(Invert, IdentityWithInternalTolerance) {
  MDFA_ResponseMatrix a("A", 3, 3, nullptr);
  set_rows(a, {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}});
  MDFA_ResponseMatrix inv("INV", 3, 3, nullptr);
  inv.init(7.0f);
  K_spectrum sv("SV", 10, nullptr);
  float tol = -1.0f;
  int nosv = -5;

  zub_test::LogCapture log;
  a.invert(inv, sv, &tol, &nosv);

  // 1 x 3 x 2^-52 = 6.661338e-16, rounded to two digits in float steps.
  EXPECT_FLOAT_EQ(tol, 6.7e-16f);
  EXPECT_EQ(nosv, 3);
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) {
      EXPECT_EQ(inv.value(i, j, -1, -1, -1, -1), i == j ? 1.0f : 0.0f);
    }
  }
  EXPECT_EQ(spectrum_of(sv), (std::vector<float>{1, 1, 1}));

  ASSERT_EQ(log.size(), 4u);
  EXPECT_EQ(log[0].message, "INFO: SVD on 3 x 3 matrix ...");
  EXPECT_EQ(log[1].message,
            "INFO: Using internal tolerance for SVD cut off: 6.700000e-16");
  EXPECT_EQ(log[2].message, "INFO: Using 3 from 3 singular values");
  expect_levels_and_timing_last(log);
}

TEST_F(Invert, InternalToleranceIsRoundedToTwoSignificantDigits) {
  // Largest singular value 123: 123 x 2 x 2^-52 = 5.46229728e-14.
  MDFA_ResponseMatrix a("A", 2, 2, nullptr);
  set_rows(a, {{123, 0}, {0, 1}});
  MDFA_ResponseMatrix inv("INV", 2, 2, nullptr);
  K_spectrum sv("SV", 10, nullptr);
  float tol = -1.0f;
  int nosv = 0;
  zub_test::LogCapture log;
  a.invert(inv, sv, &tol, &nosv);
  EXPECT_FLOAT_EQ(tol, 5.5e-14f);
  EXPECT_EQ(log[1].message,
            "INFO: Using internal tolerance for SVD cut off: 5.500000e-14");
}

TEST_F(Invert, InternalToleranceScalesWithTheLargerDimensionToTheFloat) {
  // 20 x max(2, 3) x 2^-52 = 1.33e-14, rounded to 1.3e-14; the float steps
  // give exactly the float nearest 1.3e-14 (the smaller dimension would
  // give 8.9e-15, and narrowing the power of ten before the last product
  // the float below).
  for (const auto& shape : {std::array<int, 2>{2, 3}, {3, 2}}) {
    MDFA_ResponseMatrix a("A", shape[0], shape[1], nullptr);
    a.init(0.0f);
    a.set_value(20.0f, 0, 0, -1, -1, -1, -1);
    a.set_value(1.0f, 1, 1, -1, -1, -1, -1);
    MDFA_ResponseMatrix inv("INV", shape[1], shape[0], nullptr);
    K_spectrum sv("SV", 10, nullptr);
    float tol = -1.0f;
    int nosv = 0;
    zub_test::StdoutCapture out;
    a.invert(inv, sv, &tol, &nosv);
    out.text();
    ASSERT_EQ(spectrum_of(sv), (std::vector<float>{20, 1}));
    EXPECT_EQ(tol, 1.3e-14f)
        << shape[0] << " x " << shape[1] << ": " << std::hexfloat << tol;
  }
}

TEST_F(Invert, SecondCallUsesTheStoredToleranceAsTheUsers) {
  MDFA_ResponseMatrix a("A", 2, 3, nullptr);
  set_rows(a, {{1, 2, 0}, {0, 1, 3}});
  MDFA_ResponseMatrix inv("INV", 3, 2, nullptr);
  K_spectrum sv("SV", 10, nullptr);
  float tol = -1.0f;
  int nosv = 0;
  a.invert(inv, sv, &tol, &nosv);
  const float stored = tol;
  ASSERT_GT(stored, 0.0f);

  zub_test::LogCapture log;
  a.invert(inv, sv, &tol, &nosv);
  EXPECT_EQ(tol, stored);
  char expected[100];
  std::snprintf(expected, sizeof expected,
                "INFO: Using user provided SVD cut off tolerance: %e",
                static_cast<double>(stored));
  EXPECT_EQ(log[1].message, expected);
}

TEST_F(Invert, AllZeroMatrixGetsToleranceZeroAndAnAllZeroInverse) {
  MDFA_ResponseMatrix a("A", 3, 2, nullptr);
  a.init(0.0f);
  MDFA_ResponseMatrix inv("INV", 2, 3, nullptr);
  inv.init(7.0f);
  K_spectrum sv("SV", 10, nullptr);
  float tol = -1.0f;
  int nosv = -5;
  zub_test::StdoutCapture out;
  zub_test::LogCapture log;
  a.invert(inv, sv, &tol, &nosv);
  out.text();

  EXPECT_EQ(tol, 0.0f);  // not NaN
  EXPECT_EQ(nosv, 0);
  EXPECT_EQ(spectrum_of(sv), (std::vector<float>{0, 0}));
  for (int i = 0; i < 2; ++i) {
    for (int j = 0; j < 3; ++j)
      EXPECT_EQ(inv.value(i, j, -1, -1, -1, -1), 0.0f);
  }
  const auto m = messages(log);
  ASSERT_EQ(m.size(), 7u);
  EXPECT_EQ(m[3],
            "INFO: Using internal tolerance for SVD cut off: 0.000000e+00");
  EXPECT_EQ(m[4], "INFO: Removed 2 infinite values from S");
  EXPECT_EQ(m[5], "INFO: Using 0 from 2 singular values");
}

TEST_F(Invert, ToleranceBelowTheFloatRangeBecomesZero) {
  // 1e-30 x 2 x 2^-52 is below the smallest float: the tolerance is 0 and
  // both singular values are kept.
  MDFA_ResponseMatrix a("A", 2, 2, nullptr);
  set_rows(a, {{1e-30f, 0}, {0, 1e-30f}});
  MDFA_ResponseMatrix inv("INV", 2, 2, nullptr);
  K_spectrum sv("SV", 10, nullptr);
  float tol = -1.0f;
  int nosv = 0;
  a.invert(inv, sv, &tol, &nosv);
  EXPECT_EQ(tol, 0.0f);
  EXPECT_EQ(nosv, 2);
  EXPECT_FLOAT_EQ(inv.value(0, 0, -1, -1, -1, -1), 1e30f);
  EXPECT_FLOAT_EQ(inv.value(1, 1, -1, -1, -1, -1), 1e30f);
  EXPECT_EQ(inv.value(0, 1, -1, -1, -1, -1), 0.0f);
}

// ---------------------------------------- user tolerance and cut-off

TEST_F(Invert, ZeroToleranceKeepsEveryNonZeroSingularValue) {
  MDFA_ResponseMatrix a("A", 3, 3, nullptr);
  set_rows(a, {{2, 0, 0}, {0, 0, 0}, {0, 0, 1e-6f}});
  MDFA_ResponseMatrix inv("INV", 3, 3, nullptr);
  K_spectrum sv("SV", 10, nullptr);
  float tol = 0.0f;
  int nosv = 0;
  zub_test::LogCapture log;
  a.invert(inv, sv, &tol, &nosv);

  EXPECT_EQ(tol, 0.0f);
  EXPECT_EQ(nosv, 2);
  EXPECT_EQ(spectrum_of(sv), (std::vector<float>{2, 1e-6f, 0}));
  EXPECT_EQ(inv.value(0, 0, -1, -1, -1, -1), 0.5f);
  EXPECT_FLOAT_EQ(inv.value(2, 2, -1, -1, -1, -1), 1e6f);
  EXPECT_EQ(inv.value(1, 1, -1, -1, -1, -1), 0.0f);
  EXPECT_EQ(messages(log)[1],
            "INFO: Using user provided SVD cut off tolerance: 0.000000e+00");
  EXPECT_EQ(messages(log)[2], "INFO: Removed 1 infinite values from S");
  EXPECT_EQ(messages(log)[3], "INFO: Using 2 from 3 singular values");
}

TEST_F(Invert, ZeroSingularValueNeverEntersUnderANegativeTolerance) {
  MDFA_ResponseMatrix a("A", 3, 3, nullptr);
  set_rows(a, {{2, 0, 0}, {0, 1, 0}, {0, 0, 0}});
  MDFA_ResponseMatrix inv("INV", 3, 3, nullptr);
  K_spectrum sv("SV", 10, nullptr);
  float tol = -0.5f;
  int nosv = 0;
  a.invert(inv, sv, &tol, &nosv);

  EXPECT_EQ(tol, -0.5f);
  EXPECT_EQ(nosv, 2);
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) {
      const float v = inv.value(i, j, -1, -1, -1, -1);
      EXPECT_TRUE(std::isfinite(v)) << i << "," << j;
    }
  }
  EXPECT_EQ(inv.value(0, 0, -1, -1, -1, -1), 0.5f);
  EXPECT_EQ(inv.value(1, 1, -1, -1, -1, -1), 1.0f);
  EXPECT_EQ(inv.value(2, 2, -1, -1, -1, -1), 0.0f);
}

TEST_F(Invert, SingularValueExactlyAtTheCutOffIsLeftOut) {
  MDFA_ResponseMatrix a("A", 2, 2, nullptr);
  set_rows(a, {{1, 0}, {0, 0.5f}});
  MDFA_ResponseMatrix inv("INV", 2, 2, nullptr);
  K_spectrum sv("SV", 10, nullptr);
  int nosv = 0;

  float tol = 0.5f;  // cut-off 1 x 0.5 = 0.5
  a.invert(inv, sv, &tol, &nosv);
  ASSERT_EQ(spectrum_of(sv), (std::vector<float>{1, 0.5f}));
  EXPECT_EQ(inv.value(0, 0, -1, -1, -1, -1), 1.0f);
  EXPECT_EQ(inv.value(1, 1, -1, -1, -1, -1), 0.0f);
  EXPECT_EQ(nosv, 1);

  tol = 0.49f;  // cut-off just below 0.5
  a.invert(inv, sv, &tol, &nosv);
  EXPECT_EQ(inv.value(1, 1, -1, -1, -1, -1), 2.0f);
}

// A caller's tolerance is relative to the largest singular value and cuts
// singular values only: the count is of those that entered the inverse, and
// the inverse keeps every element of the modes kept, whatever its size.
TEST_F(Invert, CallersToleranceCutsSingularValuesOnly) {
  struct Case {
    int m;
    int n;
    std::vector<float> a;  // row by row
    float tol;
    std::vector<float> inverse;  // row by row, worked out by hand
    int nosv;
  };
  const Case cases[] = {
      // Cut-off 4 x 0.25 = 1 leaves 1 out; 1/4 is not filtered at 0.25.
      {2, 2, {4, 0, 0, 1}, 0.25f, {0.25f, 0, 0, 0}, 1},
      // Cut-off 4 x 0.3 = 1.2 leaves 1 out.
      {3,
       3,
       {1, 0, 0, 0, 2, 0, 0, 0, 4},
       0.3f,
       {0, 0, 0, 0, 0.5f, 0, 0, 0, 0.25f},
       2},
      // Cut-off 10 x 0.15 keeps both; 0.1 and 0.2 are well above the noise.
      {2, 2, {10, 0, 0, 5}, 0.15f, {0.1f, 0, 0, 0.2f}, 2},
      // Largest below 1: the cut-off 0.5 x 0.3 = 0.15 is below the tolerance,
      // and 0.2, below the tolerance itself, enters and is counted.
      {2, 2, {0.5f, 0, 0, 0.2f}, 0.3f, {2, 0, 0, 5}, 2},
      // Both enter (cut-off 2^26 x 2^-26 = 1); the noise bound is the
      // caller's 2^-26, below the internal 3.0e-8, and the element 2^-26,
      // exactly at it, is written as 0.
      {2, 2, {67108864.0f, 0, 0, 2}, 1.0f / 67108864.0f, {0, 0, 0, 0.5f}, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.m << " x " << c.n << " at " << c.tol);
    MDFA_ResponseMatrix a("A", c.m, c.n, nullptr);
    for (int k = 0; k < c.m * c.n; ++k) {
      a.set_value(c.a[static_cast<size_t>(k)], k / c.n, k % c.n, -1, -1, -1,
                  -1);
    }
    MDFA_ResponseMatrix inv("INV", c.n, c.m, nullptr);
    inv.init(7.0f);
    K_spectrum sv("SV", 10, nullptr);
    float tol = c.tol;
    int nosv = -1;
    zub_test::LogCapture log;
    a.invert(inv, sv, &tol, &nosv);
    EXPECT_EQ(tol, c.tol);
    EXPECT_EQ(nosv, c.nosv);
    EXPECT_EQ(messages(log).at(log.size() - 2),
              "INFO: Using " + std::to_string(c.nosv) + " from " +
                  std::to_string(std::min(c.m, c.n)) + " singular values");
    for (int k = 0; k < c.m * c.n; ++k) {
      EXPECT_FLOAT_EQ(inv.value(k / c.m, k % c.m, -1, -1, -1, -1),
                      c.inverse[static_cast<size_t>(k)])
          << "element " << k / c.m << ", " << k % c.m;
    }
  }
}

// The debug table of 1/s shows 0 for each value left out; the table of the
// inverse shows it before the noise filter.
TEST_F(Invert, DebugTablesShowWhatEnteredTheInverse) {
  MDFA_ResponseMatrix a("A", 2, 2, nullptr);
  set_rows(a, {{4, 0}, {0, 1}});
  MDFA_ResponseMatrix inv("INV", 2, 2, nullptr);
  K_spectrum sv("SV", 10, nullptr);
  float tol = 0.25f;
  int nosv = 0;
  ScopedDebug debug(0x80);
  zub_test::StdoutCapture out;
  a.invert(inv, sv, &tol, &nosv);
  EXPECT_NE(out.text().find("1/s\n----------------------------------------\n"
                            "0.250000  0.000000  \n"),
            std::string::npos)
      << out.text();
}

// [[30, 40], [0, 0.001]] is nearly of rank one: s = 50.0000..., 0.0006. At
// 0.06 the second is cut, and the inverse is the rank-one truncation
// v1 u1^T / s1, about [[0.012, 0.0000004], [0.016, 0.0000005]], not zeros.
// The shipped beamline matrix at 0.06 keeps 8 of its 12 modes. Both against
// the truncated pseudo-inverse from Armadillo's SVD in double.
// The truncated pseudo-inverse of `ad` in double precision, from
// Armadillo's SVD: the singular values s > s_max x tol enter.
arma::mat truncated(const arma::mat& ad, double tol, int* kept) {
  arma::mat u;
  arma::vec s;
  arma::mat v;
  EXPECT_TRUE(arma::svd_econ(u, s, v, ad));
  arma::mat x(ad.n_cols, ad.n_rows, arma::fill::zeros);
  *kept = 0;
  for (arma::uword i = 0; i < s.n_elem; ++i) {
    if (s(i) > s(0) * tol) {
      x += v.col(i) * u.col(i).t() / s(i);
      ++*kept;
    }
  }
  return x;
}

TEST_F(Invert, TruncatedInverseMatchesArmadillosTruncation) {
  MDFA_ResponseMatrix small("A", 2, 2, nullptr);
  set_rows(small, {{30, 40}, {0, 0.001f}});
  MDFA_ResponseMatrix small_inv("INV", 2, 2, nullptr);
  MDFA_ResponseMatrix beamline("RM", 24, 12, nullptr);
  ASSERT_TRUE(beamline.load_file(ZUB_SHIPPED_MATRIX));
  MDFA_ResponseMatrix beamline_inv("INV", 12, 24, nullptr);
  const struct {
    MDFA_ResponseMatrix* a;
    MDFA_ResponseMatrix* inv;
    int nosv;
  } cases[] = {{&small, &small_inv, 1}, {&beamline, &beamline_inv, 8}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.a->rows);
    K_spectrum sv("SV", 20, nullptr);
    float tol = 0.06f;
    int nosv = 0;
    zub_test::StdoutCapture out;
    c.a->invert(*c.inv, sv, &tol, &nosv);
    int kept = 0;
    const arma::mat ref = truncated(to_arma(*c.a), 0.06f, &kept);
    EXPECT_EQ(nosv, c.nosv);
    EXPECT_EQ(kept, c.nosv);
    const arma::mat x = to_arma(*c.inv);
    EXPECT_LE(arma::abs(x - ref).max(), 4 * FLT_EPSILON * arma::abs(ref).max());
  }
  EXPECT_NEAR(small_inv.value(0, 0, -1, -1, -1, -1), 0.012, 1e-6);
  EXPECT_NEAR(small_inv.value(1, 0, -1, -1, -1, -1), 0.016, 1e-6);
}

// The element filter removes noise in the inverse's own units: a matrix in
// small units (nm rather than mm) keeps every kept mode, and its inverse
// is the truncated pseudo-inverse within float precision.
TEST_F(Invert, MatrixInSmallUnitsKeepsItsInverse) {
  MDFA_ResponseMatrix beamline("RM", 24, 12, nullptr);
  ASSERT_TRUE(beamline.load_file(ZUB_SHIPPED_MATRIX));
  for (const double scale : {1e5, 1e6}) {
    SCOPED_TRACE(scale);
    MDFA_ResponseMatrix a("A", 24, 12, nullptr);
    for (int i = 0; i < 24; ++i) {
      for (int j = 0; j < 12; ++j) {
        a.set_value(
            static_cast<float>(beamline.value(i, j, -1, -1, -1, -1) * scale), i,
            j, -1, -1, -1, -1);
      }
    }
    MDFA_ResponseMatrix inv("INV", 12, 24, nullptr);
    K_spectrum sv("SV", 12, nullptr);
    float tol = -1.0f;
    int nosv = 0;
    zub_test::StdoutCapture out;
    a.invert(inv, sv, &tol, &nosv);
    int kept = 0;
    const arma::mat ref = truncated(to_arma(a), tol, &kept);
    EXPECT_EQ(nosv, 11);
    EXPECT_EQ(kept, 11);
    EXPECT_LE(arma::abs(to_arma(inv) - ref).max(),
              4 * FLT_EPSILON * arma::abs(ref).max());
  }
  MDFA_ResponseMatrix d("D", 2, 2, nullptr);
  set_rows(d, {{1e8f, 0}, {0, 1e8f}});
  MDFA_ResponseMatrix d_inv("INV", 2, 2, nullptr);
  K_spectrum sv("SV", 2, nullptr);
  float tol = -1.0f;
  int nosv = 0;
  d.invert(d_inv, sv, &tol, &nosv);
  EXPECT_EQ(nosv, 2);
  EXPECT_FLOAT_EQ(d_inv.value(0, 0, -1, -1, -1, -1), 1e-8f);
  EXPECT_FLOAT_EQ(d_inv.value(1, 1, -1, -1, -1, -1), 1e-8f);
  EXPECT_EQ(d_inv.value(0, 1, -1, -1, -1, -1), 0.0f);
}

// ---------------------------------------- orientation and standard output

TEST_F(Invert, TallMatrixIsTransposedForTheSvdAndBack) {
  const arma::fmat src = well_conditioned(4, 2, 1);
  MDFA_ResponseMatrix a("A", 4, 2, nullptr);
  set_from(a, src);
  MDFA_ResponseMatrix inv("INV", 2, 4, nullptr);
  K_spectrum sv("SV", 10, nullptr);
  float tol = -1.0f;
  int nosv = 0;

  zub_test::StdoutCapture out;
  zub_test::LogCapture log;
  a.invert(inv, sv, &tol, &nosv);
  EXPECT_EQ(out.text(), "INFO: Matrix dim change back to: 2 x 4\n");

  const auto m = messages(log);
  ASSERT_EQ(m.size(), 6u);
  EXPECT_EQ(m[0], "INFO: SVD on 4 x 2 matrix ...");
  EXPECT_EQ(m[1], "INFO: M < N transposing matrix ...");
  EXPECT_EQ(m[2], "INFO: matrix dim changed to: 2 x 4");
  EXPECT_EQ(m[4], "INFO: Using 2 from 2 singular values");
  expect_levels_and_timing_last(log);
  EXPECT_EQ(nosv, 2);
  EXPECT_EQ(sv.spectrum_length(), 2);

  const arma::mat ref = arma::pinv(arma::conv_to<arma::mat>::from(src));
  EXPECT_LE(arma::abs(to_arma(inv) - ref).max(), 2 * FLT_EPSILON * 4);
}

TEST_F(Invert, WideMatrixWritesNothingToStandardOutput) {
  const arma::fmat src = well_conditioned(2, 4, 2);
  MDFA_ResponseMatrix a("A", 2, 4, nullptr);
  set_from(a, src);
  MDFA_ResponseMatrix inv("INV", 4, 2, nullptr);
  K_spectrum sv("SV", 10, nullptr);
  float tol = -1.0f;
  int nosv = 0;
  // Every debug bit but 0x80.
  ScopedDebug debug(~0x80);
  zub_test::StdoutCapture out;
  zub_test::LogCapture log;
  a.invert(inv, sv, &tol, &nosv);
  EXPECT_EQ(out.text(), "");
  EXPECT_EQ(log.size(), 4u);
  EXPECT_EQ(nosv, 2);
  EXPECT_EQ(sv.spectrum_length(), 2);
  const arma::mat ref = arma::pinv(arma::conv_to<arma::mat>::from(src));
  EXPECT_LE(arma::abs(to_arma(inv) - ref).max(), 2 * FLT_EPSILON * 4);
}

TEST_F(Invert, DebugBitPrintsTheTables) {
  MDFA_ResponseMatrix a("A", 2, 4, nullptr);
  set_rows(a, {{2, 0, 0, 0}, {0, 1, 0, 0}});
  MDFA_ResponseMatrix inv("INV", 4, 2, nullptr);
  K_spectrum sv("SV", 10, nullptr);
  float tol = 0.0f;
  int nosv = 0;
  ScopedDebug debug(0x80);
  zub_test::StdoutCapture out;
  a.invert(inv, sv, &tol, &nosv);
  const std::string rule = "----------------------------------------\n";
  EXPECT_EQ(out.text(), "S\n" + rule + "2.000000  1.000000  \n" + "1/s\n" +
                            rule + "0.500000  1.000000  \n" + "\npinv(A)\n" +
                            rule +
                            "0.5000\t0.0000\t\n"
                            "0.0000\t1.0000\t\n"
                            "0.0000\t0.0000\t\n"
                            "0.0000\t0.0000\t\n");
}

TEST_F(Invert, DebugTablesOfATallMatrixFrameTheTranspositionLine) {
  MDFA_ResponseMatrix a("A", 3, 2, nullptr);
  set_rows(a, {{0, 0}, {0, 4}, {0, 0}});
  MDFA_ResponseMatrix inv("INV", 2, 3, nullptr);
  K_spectrum sv("SV", 10, nullptr);
  float tol = -1.0f;
  int nosv = 0;
  ScopedDebug debug(0x80);
  zub_test::StdoutCapture out;
  a.invert(inv, sv, &tol, &nosv);
  const std::string rule = "----------------------------------------\n";
  // The zero singular value's reciprocal is shown as 0.
  EXPECT_EQ(out.text(), "S\n" + rule + "4.000000  0.000000  \n" + "1/s\n" +
                            rule + "0.250000  0.000000  \n" +
                            "INFO: Matrix dim change back to: 2 x 3\n" +
                            "\npinv(A)\n" + rule +
                            "0.0000\t0.0000\t0.0000\t\n"
                            "0.0000\t0.2500\t0.0000\t\n");
}

TEST_F(Invert, WritesEveryElementOnceRowByRow) {
  for (const auto& shape : {std::array<int, 2>{5, 3}, {3, 5}, {4, 4}}) {
    MDFA_ResponseMatrix a("A", shape[0], shape[1], nullptr);
    set_from(a, well_conditioned(static_cast<arma::uword>(shape[0]),
                                 static_cast<arma::uword>(shape[1]), 3));
    RecordingMatrix inv("INV", shape[1], shape[0], nullptr);
    K_spectrum sv("SV", 10, nullptr);
    float tol = -1.0f;
    int nosv = 0;
    zub_test::StdoutCapture out;
    a.invert(inv, sv, &tol, &nosv);
    std::vector<std::array<int, 6>> expected;
    for (int i = 0; i < shape[1]; ++i) {
      for (int j = 0; j < shape[0]; ++j)
        expected.push_back({i, j, -1, -1, -1, -1});
    }
    EXPECT_EQ(inv.writes, expected) << shape[0] << " x " << shape[1];
  }
}

TEST_F(Invert, InverseMayBeTheMatrixItself) {
  const arma::fmat src = well_conditioned(4, 4, 5);
  MDFA_ResponseMatrix a("A", 4, 4, nullptr);
  set_from(a, src);
  MDFA_ResponseMatrix separate("INV", 4, 4, nullptr);
  K_spectrum sv("SV", 10, nullptr);
  float tol = -1.0f;
  int nosv = 0;
  a.invert(separate, sv, &tol, &nosv);
  tol = -1.0f;
  a.invert(a, sv, &tol, &nosv);
  EXPECT_TRUE(a == separate);
}

// ---------------------------------------- spectrum

TEST_F(Invert, SpectrumHoldsEverySingularValueLargestFirst) {
  MDFA_ResponseMatrix a("A", 3, 4, nullptr);
  set_rows(a, {{0, 0, 0.5f, 0}, {0, 0, 0, 0}, {3, 0, 0, 0}});
  MDFA_ResponseMatrix inv("INV", 4, 3, nullptr);
  K_spectrum sv("SV", 10, nullptr);
  sv.set_spectrum_length(9);
  sv.fill_spectrum(8, 5.0f);
  float tol = 0.2f;  // cuts 0.5 (below 3 x 0.2) and the zero
  int nosv = 0;
  a.invert(inv, sv, &tol, &nosv);
  EXPECT_EQ(spectrum_of(sv), (std::vector<float>{3, 0.5f, 0}));
  EXPECT_EQ(nosv, 1);
  EXPECT_FLOAT_EQ(inv.value(0, 2, -1, -1, -1, -1), 1.0f / 3);
  EXPECT_EQ(inv.value(2, 0, -1, -1, -1, -1), 0.0f);
}

// ---------------------------------------- refused inputs

// What a refused call must leave alone.
struct Untouched {
  Untouched(int n, int m) : inv("INV", n, m, nullptr), sv("SV", 10, nullptr) {
    inv.init(7.0f);
    sv.set_spectrum_length(2);
    sv.fill_spectrum(0, 9.0f);
  }
  void expect_unchanged() const {
    for (int i = 0; i < inv.rows; ++i) {
      for (int j = 0; j < inv.cols; ++j) {
        EXPECT_EQ(inv.value(i, j, -1, -1, -1, -1), 7.0f);
      }
    }
    EXPECT_EQ(spectrum_of(sv), (std::vector<float>{9, 0}));
    EXPECT_EQ(nosv, -5);
  }
  MDFA_ResponseMatrix inv;
  K_spectrum sv;
  float tol = -1.0f;
  int nosv = -5;
};

// One error message under invert's name, nothing on standard output.
void expect_one_error(MDFA_ResponseMatrix& a, Untouched& u,
                      const std::string& text) {
  zub_test::StdoutCapture out;
  zub_test::LogCapture log;
  a.invert(u.inv, u.sv, &u.tol, &u.nosv);
  EXPECT_EQ(out.text(), "");
  ASSERT_EQ(log.size(), 1u) << text;
  EXPECT_EQ(log[0].where, kName);
  EXPECT_EQ(log[0].level, kLevelError);
  EXPECT_EQ(log[0].message, text);
  u.expect_unchanged();
}

TEST_F(Invert, RefusesAnInverseOfTheWrongShape) {
  MDFA_ResponseMatrix a("A", 3, 2, nullptr);
  a.init(1.0f);
  Untouched same(3, 2);
  expect_one_error(a, same, "ERROR: inverse is 3 x 2, it must be 2 x 3 !\n");
  EXPECT_EQ(same.tol, -1.0f);
  Untouched larger(2, 4);
  expect_one_error(a, larger, "ERROR: inverse is 2 x 4, it must be 2 x 3 !\n");
}

TEST_F(Invert, RefusesAnEmptyOrNegativeShape) {
  MDFA_ResponseMatrix no_rows("A", 0, 3, nullptr);
  Untouched u1(3, 0);
  expect_one_error(no_rows, u1, "ERROR: cannot invert a 0 x 3 matrix !\n");
  MDFA_ResponseMatrix no_cols("A", 2, 0, nullptr);
  Untouched u2(0, 2);
  expect_one_error(no_cols, u2, "ERROR: cannot invert a 2 x 0 matrix !\n");
  MDFA_ResponseMatrix negative("A", -1, 2, nullptr);
  Untouched u3(2, -1);
  expect_one_error(negative, u3, "ERROR: cannot invert a -1 x 2 matrix !\n");
}

TEST_F(Invert, RefusesAnArrayThatIsNotTwoDimensional) {
  MDFA_ResponseMatrix a("A", 2, 2, nullptr);
  a.init(1.0f);
  a.set_dimension_count(3);
  Untouched u(2, 2);
  expect_one_error(a, u, "ERROR: cannot invert an array of 3 dimensions !\n");
}

TEST_F(Invert, RefusesNanAndInfiniteElements) {
  for (float bad : {std::numeric_limits<float>::quiet_NaN(),
                    std::numeric_limits<float>::infinity(),
                    -std::numeric_limits<float>::infinity()}) {
    MDFA_ResponseMatrix a("A", 2, 3, nullptr);
    a.init(1.0f);
    // At the start of a row: a scan past the end of the row above would
    // name it as that row's fourth element.
    a.set_value(bad, 1, 0, -1, -1, -1, -1);
    Untouched u(3, 2);
    expect_one_error(a, u, "ERROR: element (1, 0) is not a finite number !\n");
    EXPECT_EQ(u.tol, -1.0f);
  }
}

TEST_F(Invert, RefusesANanTolerance) {
  MDFA_ResponseMatrix a("A", 2, 2, nullptr);
  set_rows(a, {{1, 0}, {0, 1}});
  Untouched u(2, 2);
  u.tol = std::numeric_limits<float>::quiet_NaN();
  expect_one_error(a, u, "ERROR: SVD cut off tolerance is NaN !\n");
  EXPECT_TRUE(std::isnan(u.tol));
}

TEST_F(Invert, RefusesMissingToleranceOrCount) {
  MDFA_ResponseMatrix a("A", 2, 2, nullptr);
  set_rows(a, {{1, 0}, {0, 1}});
  MDFA_ResponseMatrix inv("INV", 2, 2, nullptr);
  inv.init(7.0f);
  K_spectrum sv("SV", 10, nullptr);
  float tol = -1.0f;
  int nosv = -5;
  zub_test::LogCapture log;
  a.invert(inv, sv, nullptr, &nosv);
  a.invert(inv, sv, &tol, nullptr);
  ASSERT_EQ(log.size(), 2u);
  for (const auto& e : log.entries()) {
    EXPECT_EQ(e.level, kLevelError);
    EXPECT_EQ(e.message,
              "ERROR: no tolerance or no count of singular values given !\n");
  }
  EXPECT_EQ(nosv, -5);
  EXPECT_EQ(tol, -1.0f);
  EXPECT_EQ(inv.value(0, 0, -1, -1, -1, -1), 7.0f);
  EXPECT_EQ(sv.spectrum_length(), 0);
}

// ---------------------------------------- against an independent
// pseudo-inverse

class InvertShapes : public testing::TestWithParam<std::array<int, 2>> {
  zub_test::LogCapture quiet_;
};

TEST_P(InvertShapes, MatchesDoublePseudoInverseAndItsInvariants) {
  const auto m = static_cast<arma::uword>(GetParam()[0]);
  const auto n = static_cast<arma::uword>(GetParam()[1]);
  const arma::fmat src = well_conditioned(m, n, 10 + GetParam()[0]);
  MDFA_ResponseMatrix a("A", GetParam()[0], GetParam()[1], nullptr);
  set_from(a, src);
  MDFA_ResponseMatrix inv("INV", GetParam()[1], GetParam()[0], nullptr);
  K_spectrum sv("SV", 100, nullptr);
  float tol = -1.0f;
  int nosv = 0;
  zub_test::StdoutCapture out;
  a.invert(inv, sv, &tol, &nosv);

  const arma::mat ad = arma::conv_to<arma::mat>::from(src);
  const arma::mat ref = arma::pinv(ad);
  const arma::mat x = to_arma(inv);
  const double scale = arma::abs(ref).max();
  EXPECT_LE(arma::abs(x - ref).max(), 2 * FLT_EPSILON * scale);
  EXPECT_EQ(nosv, static_cast<int>(std::min(m, n)));

  // A X A = A and X A X = X, to float precision of a condition-4 matrix.
  EXPECT_LE(arma::abs(ad * x * ad - ad).max(), 64 * FLT_EPSILON);
  EXPECT_LE(arma::abs(x * ad * x - x).max(), 64 * FLT_EPSILON);

  // Singular values: all of them, non-negative, non-increasing, and those
  // of the double matrix to float precision.
  const std::vector<float> s = spectrum_of(sv);
  const arma::vec sref = arma::svd(ad);
  ASSERT_EQ(s.size(), sref.n_elem);
  for (size_t i = 0; i < s.size(); ++i) {
    EXPECT_GE(s[i], 0.0f);
    if (i > 0) {
      EXPECT_LE(s[i], s[i - 1]);
    }
    EXPECT_NEAR(s[i], sref(i), FLT_EPSILON * sref(0));
  }
}

INSTANTIATE_TEST_SUITE_P(
    TallWideSquare, InvertShapes,
    testing::Values(std::array<int, 2>{12, 5}, std::array<int, 2>{5, 12},
                    std::array<int, 2>{8, 8}, std::array<int, 2>{1, 1},
                    std::array<int, 2>{40, 17}, std::array<int, 2>{17, 40}));

// The truncated inverse formed as written out: transposed copies, the
// diagonal matrix of reciprocals and two full products.
std::vector<float> textbook_inverse(const arma::fmat& a, float tol,
                                    double noise) {
  const size_t m = a.n_rows;
  const size_t n = a.n_cols;
  const bool transposed = m > n;
  const size_t r = std::min(m, n);
  const size_t c = std::max(m, n);
  gsl_matrix* R = gsl_matrix_alloc(r, c);
  for (size_t i = 0; i < r; ++i) {
    for (size_t j = 0; j < c; ++j) {
      gsl_matrix_set(R, i, j, transposed ? a(j, i) : a(i, j));
    }
  }
  gsl_matrix* gA_t = gsl_matrix_alloc(c, r);
  gsl_matrix_transpose_memcpy(gA_t, R);
  gsl_matrix* V = gsl_matrix_alloc(r, r);
  gsl_vector* S = gsl_vector_alloc(r);
  gsl_vector* work = gsl_vector_alloc(r);
  gsl_linalg_SV_decomp(gA_t, V, S, work);
  gsl_matrix* SI = gsl_matrix_calloc(r, r);
  const double cutoff = gsl_vector_max(S) * tol;
  for (size_t i = 0; i < r; ++i) {
    const double s = gsl_vector_get(S, i);
    if (s > cutoff) gsl_matrix_set(SI, i, i, 1.0 / s);
  }
  gsl_matrix* VT = gsl_matrix_alloc(r, r);
  gsl_matrix_transpose_memcpy(VT, V);
  gsl_matrix* SIpVT = gsl_matrix_alloc(r, r);
  gsl_blas_dgemm(CblasNoTrans, CblasNoTrans, 1.0, SI, VT, 0.0, SIpVT);
  gsl_matrix* R_plus = gsl_matrix_alloc(c, r);
  gsl_blas_dgemm(CblasNoTrans, CblasNoTrans, 1.0, gA_t, SIpVT, 0.0, R_plus);
  gsl_matrix* result = R_plus;
  if (transposed) {
    result = gsl_matrix_alloc(r, c);
    gsl_matrix_transpose_memcpy(result, R_plus);
    gsl_matrix_free(R_plus);
  }
  std::vector<float> out;
  for (size_t i = 0; i < result->size1; ++i) {
    for (size_t j = 0; j < result->size2; ++j) {
      const double v = gsl_matrix_get(result, i, j);
      out.push_back(std::fabs(v) > noise ? static_cast<float>(v) : 0.0f);
    }
  }
  for (gsl_matrix* g : {R, gA_t, V, SI, VT, SIpVT, result}) gsl_matrix_free(g);
  gsl_vector_free(S);
  gsl_vector_free(work);
  return out;
}

TEST_P(InvertShapes, GivesTheTextbookSequenceToTheBit) {
  const auto m = static_cast<arma::uword>(GetParam()[0]);
  const auto n = static_cast<arma::uword>(GetParam()[1]);
  arma::fmat src = well_conditioned(m, n, 20 + GetParam()[1]);
  if (std::min(m, n) > 2) src.col(1).zeros();  // a zero singular value
  MDFA_ResponseMatrix a("A", GetParam()[0], GetParam()[1], nullptr);
  set_from(a, src);
  MDFA_ResponseMatrix inv("INV", GetParam()[1], GetParam()[0], nullptr);
  K_spectrum sv("SV", 100, nullptr);
  // The elements are filtered at the internal tolerance, or at the caller's
  // when it is smaller.
  float internal = -1.0f;
  int nosv = 0;
  zub_test::StdoutCapture out;
  zub_test::LogCapture log;
  a.invert(inv, sv, &internal, &nosv);
  for (float tol : {0.0f, 0.3f, 1e-20f}) {
    float t = tol;
    a.invert(inv, sv, &t, &nosv);
    const std::vector<float> expected =
        textbook_inverse(src, tol, std::min(tol, internal));
    size_t k = 0;
    for (int i = 0; i < inv.rows; ++i) {
      for (int j = 0; j < inv.cols; ++j, ++k) {
        const float got = inv.value(i, j, -1, -1, -1, -1);
        EXPECT_EQ(std::memcmp(&got, &expected[k], sizeof got), 0)
            << "(" << i << ", " << j << ") " << got << " vs " << expected[k]
            << " at tolerance " << tol;
      }
    }
  }
}

}  // namespace
