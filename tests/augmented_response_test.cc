// The response matrix with the RF column and the sum row: the memory each
// function touches, every refusal, and outputs left as they were. That the
// split solution is the least-squares one is tested against numpy
// (tests/python/).
#include "augmented_response.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

namespace {

using zub_feedback::augment_deviation;
using zub_feedback::augment_rf;
using zub_feedback::const_matrix_view;
using zub_feedback::error_code;
using zub_feedback::rf_layout;
using zub_feedback::rf_weights;
using zub_feedback::split_rf;

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

const double kR[] = {3, 0,  //
                     4, 0,  //
                     0, 1};
const double kEta[] = {0, 0, 6};

// Each input followed by a NaN and each output by a sentinel: a loop that
// runs one element too far reads the NaN or overwrites the sentinel.
TEST(AugmentRf, ReadsAndWritesOnlyItsOwn) {
  const double r[] = {3, 0, 4, 0, 0, 1, kNaN};
  const double eta[] = {0, 0, 6, kNaN};
  // Columns of norm 5 and 1, a dispersion of norm 6: w_rf = 3 / 6.
  const auto a = augment_rf(const_matrix_view(r, 3, 2), eta, 3);
  ASSERT_TRUE(a.ok()) << a.error().message;
  const rf_layout& l = a.value().layout;
  EXPECT_EQ(l.rf_weight, 0.5);
  EXPECT_EQ(a.value().response(2, 2), 3.0);

  const double deviation[] = {1, 2, 3, kNaN};
  double augmented[] = {0, 0, 0, 7};
  ASSERT_TRUE(augment_deviation(l, deviation, 3, augmented, 3).ok());
  EXPECT_EQ(augmented[2], 3);
  EXPECT_EQ(augmented[3], 7);
  const double solution[] = {1, 2, 4, kNaN};
  double changes[] = {0, 0, 7};
  double rf = 0;
  ASSERT_TRUE(split_rf(l, solution, 3, changes, 2, &rf).ok());
  EXPECT_EQ(changes[1], 2);
  EXPECT_EQ(changes[2], 7);
  EXPECT_EQ(rf, 2);  // the coefficient 4 of 0.5 η
}

TEST(AugmentRf, Refusals) {
  const double zero[] = {0, 0, 0, 0, 0, 0};
  const double eta_nan[] = {0, kNaN, 1};
  const double r_inf[] = {3, 0, 4, kInf, 0, 1};
  struct bad {
    const double* r;
    std::size_t rows, cols;
    const double* eta;
    std::size_t eta_size;
    rf_weights weights;
    error_code code;
  };
  for (const bad& b : {
           bad{kR, 0, 2, kEta, 0, {}, error_code::shape_mismatch},
           bad{kR, 3, 0, kEta, 3, {}, error_code::shape_mismatch},
           bad{kR, 3, 2, kEta, 2, {}, error_code::shape_mismatch},
           bad{kR, 3, 2, eta_nan, 3, {1.0, {}}, error_code::not_finite},
           bad{r_inf, 3, 2, kEta, 3, {1.0, {}}, error_code::not_finite},
           bad{kR, 3, 2, kEta, 3, {kNaN, {}}, error_code::not_finite},
           bad{kR, 3, 2, kEta, 3, {{}, kInf}, error_code::not_finite},
           bad{kR, 3, 2, kEta, 3, {0.0, {}}, error_code::bad_argument},
           bad{kR, 3, 2, kEta, 3, {-1.0, {}}, error_code::bad_argument},
           bad{kR, 3, 2, kEta, 3, {{}, 0.0}, error_code::bad_argument},
           bad{kR, 3, 2, zero, 3, {}, error_code::bad_argument},
           bad{zero, 3, 2, kEta, 3, {}, error_code::bad_argument},
       }) {
    const auto a = augment_rf(const_matrix_view(b.r, b.rows, b.cols), b.eta,
                              b.eta_size, b.weights);
    ASSERT_FALSE(a.ok());
    EXPECT_EQ(a.error().code, b.code) << a.error().message;
  }
  // A zero dispersion with the caller's weight is the caller's choice.
  EXPECT_TRUE(augment_rf(const_matrix_view(kR, 3, 2), zero, 3, {1.0, {}}).ok());
}

TEST(SplitRf, RefusesShapesAndNonFiniteLeavingItsOutputs) {
  rf_layout l;
  l.monitors = 3;
  l.correctors = 2;
  l.rf_weight = 0.5;
  l.sum_weight = 1.0;
  const double deviation[] = {1, 2, 3};
  double augmented[4] = {};
  EXPECT_FALSE(augment_deviation(l, deviation, 3, augmented, 3).ok());
  EXPECT_FALSE(augment_deviation(l, deviation, 2, augmented, 4).ok());

  double changes[] = {7, 7};
  double rf = 7;
  for (const std::vector<double>& solution :
       {std::vector<double>{1, 2}, std::vector<double>{1, 2, 3, 4},
        std::vector<double>{1, kNaN, 3}, std::vector<double>{1, 2, -kInf}}) {
    const auto s =
        split_rf(l, solution.data(), solution.size(), changes, 2, &rf);
    ASSERT_FALSE(s.ok());
    EXPECT_EQ(s.error().code, solution.size() == 3
                                  ? error_code::not_finite
                                  : error_code::shape_mismatch);
    if (solution.size() == 3) {  // names the corrector, or the RF
      EXPECT_NE(s.error().message.find(std::isnan(solution[1]) ? "corrector 1"
                                                               : "RF"),
                std::string::npos);
    }
  }
  const double solution[] = {1, 2, 3};
  EXPECT_FALSE(split_rf(l, solution, 3, changes, 1, &rf).ok());
  EXPECT_EQ(changes[0], 7);
  EXPECT_EQ(changes[1], 7);
  EXPECT_EQ(rf, 7);
}

}  // namespace
