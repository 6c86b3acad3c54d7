// Inverses and spectra at the edges of the float range. Singular values are
// formed in double precision and results narrowed to float: a singular value
// below 1/FLT_MAX has a reciprocal that no float holds, and one above
// FLT_MAX cannot be published. Neither may reach a result as an infinity.
// Each case is an input the fuzzer found (fuzz/corpus/matrix_ops/).
#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <vector>

#include "gtest/gtest.h"
#include "log_capture.h"
#include "matrix_bits.h"
#include "matrix_data.h"
#include "report.h"
#include "zub_feedback.h"

namespace {

using zub_test::element_bits;
using zub_test::fill_sentinels;
using zub_test::set_rows;
using zub_test::spectrum_of;

using zub_internal::kLevelError;
using zub_internal::kLevelInfo;
constexpr float kDenormMin = std::numeric_limits<float>::denorm_min();

bool all_finite(const MDFA_ResponseMatrix& m) {
  for (int i = 0; i < m.rows; ++i) {
    for (int j = 0; j < m.cols; ++j) {
      if (!std::isfinite(m.value(i, j, -1, -1, -1, -1))) return false;
    }
  }
  return true;
}

std::vector<std::string> errors(const zub_test::LogCapture& log) {
  return log.messages_at(kLevelError);
}

// ---------------------------------------------------------------- invert

TEST(InvertFloatRange, DenormalMatrixGivesAFiniteInverse) {
  // The smallest denormal, with the internal tolerance (which is 0 here)
  // and with a user tolerance of 0: 1/s is 7e44.
  for (float t : {-1.0f, 0.0f}) {
    SCOPED_TRACE(t);
    MDFA_ResponseMatrix a("A", 1, 3, nullptr);
    set_rows(a, {{-kDenormMin, kDenormMin, -kDenormMin}});
    MDFA_ResponseMatrix inverse("PINV", 3, 1, nullptr);
    fill_sentinels(inverse);
    K_spectrum spectrum("SV", 3, nullptr);
    float tol = t;
    int nosv = -1;
    zub_test::LogCapture log;
    a.invert(inverse, spectrum, &tol, &nosv);
    EXPECT_TRUE(errors(log).empty());
    EXPECT_TRUE(all_finite(inverse));
    EXPECT_EQ(nosv, 0);
    EXPECT_EQ(tol, 0.0f);
  }
}

TEST(InvertFloatRange, ReciprocalBeyondFloatRangeIsLeftOut) {
  // diag(2, 1e-39) with tolerance 0: 1/2 enters, 1/1e-39 = 1e39 does not.
  MDFA_ResponseMatrix a("A", 2, 2, nullptr);
  set_rows(a, {{2.0f, 0.0f}, {0.0f, 1e-39f}});
  MDFA_ResponseMatrix inverse("PINV", 2, 2, nullptr);
  K_spectrum spectrum("SV", 2, nullptr);
  float tol = 0.0f;
  int nosv = -1;
  zub_test::LogCapture log;
  a.invert(inverse, spectrum, &tol, &nosv);
  EXPECT_TRUE(errors(log).empty());
  EXPECT_EQ(inverse.value(0, 0, -1, -1, -1, -1), 0.5f);
  EXPECT_EQ(inverse.value(1, 1, -1, -1, -1, -1), 0.0f);
  EXPECT_EQ(inverse.value(0, 1, -1, -1, -1, -1), 0.0f);
  EXPECT_EQ(inverse.value(1, 0, -1, -1, -1, -1), 0.0f);
  EXPECT_EQ(nosv, 1);
  EXPECT_EQ(spectrum_of(spectrum), (std::vector<float>{2.0f, 1e-39f}));
  // It is counted with the infinite ones.
  const auto info = log.messages_at(kLevelInfo);
  EXPECT_NE(std::find(info.begin(), info.end(),
                      "INFO: Removed 1 infinite values from S"),
            info.end());
}

TEST(InvertFloatRange, SingularValueOfFloatMaxIsKept) {
  // s = FLT_MAX exactly, 1/s = 2.9e-39: both in range.
  MDFA_ResponseMatrix a("A", 1, 1, nullptr);
  set_rows(a, {{FLT_MAX}});
  MDFA_ResponseMatrix inverse("PINV", 1, 1, nullptr);
  K_spectrum spectrum("SV", 1, nullptr);
  float tol = 0.0f;
  int nosv = -1;
  zub_test::LogCapture log;
  a.invert(inverse, spectrum, &tol, &nosv);
  EXPECT_TRUE(errors(log).empty());
  EXPECT_EQ(spectrum_of(spectrum), std::vector<float>{FLT_MAX});
  EXPECT_EQ(inverse.value(0, 0, -1, -1, -1, -1),
            static_cast<float>(1.0 / FLT_MAX));
  EXPECT_EQ(nosv, 1);
}

TEST(InvertFloatRange, SingularValueBeyondFloatRangeIsRefused) {
  // Two elements of FLT_MAX: the singular value is sqrt(2) FLT_MAX and
  // would be published as an infinity. (The fuzzer's case was a 3 x 3
  // matrix with one FLT_MAX among values of 3e35.)
  MDFA_ResponseMatrix a("A", 2, 1, nullptr);
  set_rows(a, {{FLT_MAX}, {FLT_MAX}});
  MDFA_ResponseMatrix inverse("PINV", 1, 2, nullptr);
  fill_sentinels(inverse);
  const auto inverse_before = element_bits(inverse);
  K_spectrum spectrum("SV", 3, nullptr);
  spectrum.set_spectrum_length(2);
  spectrum.fill_spectrum(0, 7.0f);
  float tol = -1.0f;
  int nosv = -5;
  zub_test::LogCapture log;
  a.invert(inverse, spectrum, &tol, &nosv);
  ASSERT_EQ(errors(log).size(), 1u);
  EXPECT_EQ(errors(log)[0],
            "ERROR: singular value 4.812319e+38 beyond float range !\n");
  EXPECT_EQ(log.last().level, kLevelError);
  EXPECT_EQ(element_bits(inverse), inverse_before);
  EXPECT_EQ(spectrum_of(spectrum), (std::vector<float>{7.0f, 0.0f}));
  EXPECT_EQ(tol, -1.0f);
  EXPECT_EQ(nosv, -5);
}

// ---------------------------------------------------------------- pinv

TEST(PinvFloatRange, PseudoInverseBeyondFloatRangeIsRefused) {
  for (float v : {kDenormMin, -1e-39f}) {
    SCOPED_TRACE(v);
    MDFA_ResponseMatrix a("A", 1, 1, nullptr);
    set_rows(a, {{v}});
    MDFA_ResponseMatrix inverse("PINV", 1, 1, nullptr);
    fill_sentinels(inverse);
    const auto before = element_bits(inverse);
    float tol = 0.0f;
    zub_test::LogCapture log;
    a.pinv(inverse, &tol);
    ASSERT_EQ(errors(log).size(), 1u);
    EXPECT_EQ(errors(log)[0].rfind("ERROR: pseudo-inverse element ", 0), 0u)
        << errors(log)[0];
    EXPECT_EQ(log.last().level, kLevelError);
    EXPECT_EQ(element_bits(inverse), before);
  }
}

TEST(PinvFloatRange, PseudoInverseJustInsideFloatRangeIsWritten) {
  MDFA_ResponseMatrix a("A", 1, 1, nullptr);
  set_rows(a, {{1e-38f}});
  MDFA_ResponseMatrix inverse("PINV", 1, 1, nullptr);
  float tol = 0.0f;
  zub_test::LogCapture log;
  a.pinv(inverse, &tol);
  EXPECT_TRUE(errors(log).empty());
  EXPECT_EQ(inverse.value(0, 0, -1, -1, -1, -1),
            static_cast<float>(1.0 / static_cast<double>(1e-38f)));
}

}  // namespace
