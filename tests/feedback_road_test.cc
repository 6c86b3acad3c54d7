// The road of a response matrix through a feedback: loaded from its file,
// inverted, and multiplied with a column of monitor deviations to give one
// correction per actuator.
#include <armadillo>
#include <cfloat>
#include <cstdio>
#include <string>

#include "gtest/gtest.h"
#include "log_capture.h"
#include "matrix_data.h"
#include "stdout_capture.h"
#include "temp_file.h"
#include "zub_feedback.h"

namespace {

constexpr unsigned kError = 0x80000000u;

// The file a server reads: a comment, then one line per monitor.
std::string file_text(const arma::fmat& r) {
  std::string text = "# response of the orbit to each corrector, mm/mrad\n";
  char number[32];
  for (arma::uword i = 0; i < r.n_rows; ++i) {
    for (arma::uword j = 0; j < r.n_cols; ++j) {
      std::snprintf(number, sizeof number, "%s%.9g", j == 0 ? "" : " ",
                    static_cast<double>(r(i, j)));
      text += number;
    }
    text += "\n";
  }
  return text;
}

TEST(FeedbackRoad, CorrectionUndoesTheKicksThatMadeTheDeviations) {
  const int monitors = 12;
  const int actuators = 5;
  const arma::fmat r = zub_test::well_conditioned(monitors, actuators, 7, 3.0);
  zub_test::TempDir dir;
  const std::string path = dir.write("orbit.rm", file_text(r));

  zub_test::LogCapture log;
  zub_test::StdoutCapture out;

  MDFA_ResponseMatrix rm("RM", monitors, actuators, nullptr);
  ASSERT_TRUE(rm.load_file(path.c_str()));
  for (int i = 0; i < monitors; ++i) {
    for (int j = 0; j < actuators; ++j) {
      ASSERT_EQ(rm.value(i, j, -1, -1, -1, -1),
                r(static_cast<arma::uword>(i), static_cast<arma::uword>(j)));
    }
  }

  MDFA_ResponseMatrix inverse("RM_INV", actuators, monitors, nullptr);
  K_spectrum spectrum("RM_SV", 100, nullptr);
  float tol = -1.0f;
  int nosv = 0;
  rm.invert(inverse, spectrum, &tol, &nosv);
  EXPECT_EQ(nosv, actuators);
  EXPECT_EQ(spectrum.spectrum_length(), actuators);

  // The deviations that known kicks of the correctors leave at the monitors.
  const arma::fvec kicks = {0.5f, -1.25f, 2.0f, 0.0f, -0.75f};
  const arma::fvec deviations = r * kicks;
  MDFA_ResponseMatrix dev("DEV", monitors, 1, nullptr);
  for (int i = 0; i < monitors; ++i) {
    dev.set_value(deviations(static_cast<arma::uword>(i)), i, 0, -1, -1, -1,
                  -1);
  }
  MDFA_ResponseMatrix correction("CORR", actuators, 1, nullptr);
  inverse.multiply(dev, correction);

  for (int j = 0; j < actuators; ++j) {
    EXPECT_NEAR(correction.value(j, 0, -1, -1, -1, -1),
                kicks(static_cast<arma::uword>(j)), 32 * FLT_EPSILON)
        << "actuator " << j;
  }
  EXPECT_EQ(out.text(), "INFO: Matrix dim change back to: 5 x 12\n");
  EXPECT_TRUE(log.messages_at(kError).empty());
  // Each station of the road reported under its own name, in order.
  std::vector<std::string> stations;
  for (const auto& e : log.entries()) {
    if (stations.empty() || stations.back() != e.where) {
      stations.push_back(e.where);
    }
  }
  EXPECT_EQ(stations,
            (std::vector<std::string>{"MDFA_ResponseMatrix::load_file",
                                      "MDFA_ResponseMatrix::invert"}));
}

TEST(FeedbackRoad, AfterAFileOfTheWrongShapeTheCorrectionIsZero) {
  const arma::fmat r = zub_test::well_conditioned(6, 4, 8, 3.0);
  zub_test::TempDir dir;
  const std::string path = dir.write("orbit.rm", file_text(r));
  zub_test::LogCapture log;

  // The server expects one monitor more than the file has.
  MDFA_ResponseMatrix rm("RM", 7, 4, nullptr);
  rm.init(0.0f);
  EXPECT_FALSE(rm.load_file(path.c_str()));
  ASSERT_FALSE(log.messages_at(kError).empty());

  // Inverting what is left (all zeros) yields a zero correction, not a
  // failure: nothing is kept and the inverse is all 0.
  MDFA_ResponseMatrix inverse("RM_INV", 4, 7, nullptr);
  K_spectrum spectrum("RM_SV", 100, nullptr);
  float tol = -1.0f;
  int nosv = -1;
  zub_test::StdoutCapture out;
  rm.invert(inverse, spectrum, &tol, &nosv);
  EXPECT_EQ(nosv, 0);
  EXPECT_EQ(tol, 0.0f);
  MDFA_ResponseMatrix dev("DEV", 7, 1, nullptr);
  dev.init(1.0f);
  MDFA_ResponseMatrix correction("CORR", 4, 1, nullptr);
  correction.init(9.0f);
  inverse.multiply(dev, correction);
  for (int j = 0; j < 4; ++j) {
    EXPECT_EQ(correction.value(j, 0, -1, -1, -1, -1), 0.0f);
  }
}

}  // namespace
