// Runs the samples of the pages that are classes rather than programs: a
// sample that compiles but does not do what its page says is still a wrong
// page. The samples are included whole, as the pages show them.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "measurement_server.cc"
#include "orbit_feedback.cc"
#include "weighted_orbit_feedback.cc"

namespace {

constexpr int kMonitors = 24;
constexpr int kCorrectors = 12;

// Quiet: the library's messages are not what these tests look at.
class DocsSamples : public ::testing::Test {
 protected:
  void SetUp() override {
    previous_ = karst::set_log_sink(
        [](const std::string&, const std::string&, unsigned) {});
  }
  void TearDown() override { karst::set_log_sink(previous_); }

  // The orbit that corrector 0 makes alone at 1 mrad: column 0 of the
  // shipped matrix. Corrector 0 lies in the kept modes (only corrector 11 is
  // downstream of every monitor), so a full correction at gain 1 is -1 mrad
  // at corrector 0 and 0 elsewhere.
  void orbit_of_corrector_0(float (&orbit)[kMonitors]) {
    EqFct loc("TEST");
    MDFA_ResponseMatrix response("R", kMonitors, kCorrectors, &loc);
    ASSERT_TRUE(response.load_file(ZUB_SHIPPED_MATRIX));
    for (int i = 0; i < kMonitors; ++i) {
      orbit[i] = response.value(i, 0, -1, -1, -1, -1);
    }
  }

  static void expect_corrector_0_back(const float (&change)[kCorrectors]) {
    for (int j = 0; j < kCorrectors; ++j) {
      EXPECT_NEAR(change[j], j == 0 ? -1.0f : 0.0f, 1e-4f) << "corrector " << j;
    }
  }

  EqFct location_{"FEEDBACK.SAMPLE"};

 private:
  karst::LogSink previous_;
};

TEST_F(DocsSamples, ServerUndoesAnOrbitItsCorrectorsMade) {
  orbit_feedback feedback(&location_);
  EXPECT_FALSE(feedback.load("/nonexistent/matrix.txt"));
  ASSERT_TRUE(feedback.load(ZUB_SHIPPED_MATRIX));
  float orbit[kMonitors];
  ASSERT_NO_FATAL_FAILURE(orbit_of_corrector_0(orbit));
  float change[kCorrectors];
  feedback.cycle(orbit, 1.0f, change);
  expect_corrector_0_back(change);
}

TEST_F(DocsSamples, WeightedServerLeavesABrokenMonitorOut) {
  weighted_orbit_feedback feedback(&location_);
  ASSERT_TRUE(feedback.load(ZUB_SHIPPED_MATRIX));
  EXPECT_EQ(feedback.invert(), 11);
  float orbit[kMonitors];
  ASSERT_NO_FATAL_FAILURE(orbit_of_corrector_0(orbit));
  orbit[5] = std::numeric_limits<float>::quiet_NaN();
  feedback.leave_out_monitor(5);
  // 23 monitors still see all 11 modes.
  EXPECT_EQ(feedback.invert(), 11);
  float change[kCorrectors];
  feedback.cycle(orbit, 1.0f, change);
  expect_corrector_0_back(change);
}

// A linear machine without noise: the sample measures its matrix and puts
// every corrector back.
TEST(DocsSamplesMeasurement, MeasuresTheMachineAndLeavesItAsItWas) {
  const double response[2][3] = {{0.5, -1.0, 0.25}, {2.0, 0.0, -0.75}};
  const std::vector<double> base = {1.0, -2.0, 0.5};
  std::vector<double> correctors = base;
  matrix_measurement measurement;
  ASSERT_TRUE(measurement.start(2, correctors, 0.25).ok());
  for (int cycle = 0; measurement.running(); ++cycle) {
    ASSERT_LT(cycle, 1000);
    double orbit[2] = {};
    for (int i = 0; i < 2; ++i) {
      for (int j = 0; j < 3; ++j) {
        orbit[i] += response[i][j] * (correctors[j] - base[j]);
      }
    }
    measurement.cycle(orbit, 2, correctors);
  }
  EXPECT_EQ(correctors, base);
  const auto measured = measurement.measured();
  ASSERT_TRUE(measured.ok());
  for (int i = 0; i < 2; ++i) {
    for (int j = 0; j < 3; ++j) {
      EXPECT_NEAR(measured.value().response(i, j), response[i][j], 1e-12);
    }
  }
}

}  // namespace
