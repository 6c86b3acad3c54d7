// The road of a response matrix through a feedback: loaded from its file,
// inverted, and multiplied with a column of monitor deviations to give one
// correction per actuator; monitors and correctors left out or weighted with
// the library's own blocks.
#include <armadillo>
#include <cfloat>
#include <set>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "log_capture.h"
#include "matrix_data.h"
#include "report.h"
#include "stdout_capture.h"
#include "support/matrix_text.h"
#include "temp_file.h"
#include "zub_feedback.h"

namespace {

using zub_internal::kLevelError;

// The file a server reads: a comment, then one line per monitor.
std::string file_text(const arma::fmat& r) {
  return "# response of the orbit to each corrector, mm/mrad\n" +
         zub_cli::matrix_text(static_cast<int>(r.n_rows),
                              static_cast<int>(r.n_cols), [&](int i, int j) {
                                return r(static_cast<arma::uword>(i),
                                         static_cast<arma::uword>(j));
                              });
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
  EXPECT_TRUE(log.messages_at(kLevelError).empty());
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
  ASSERT_FALSE(log.messages_at(kLevelError).empty());

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

// ---------------------------------------- excluding and weighting

// The recipe that docs/weighting.md gives a server: with monitor weights w_m (a
// column) and corrector weights w_a (a row), W = w_m w_a, and the inverse is
// pinv(R o W) o W^T, that is W_a pinv(W_m R W_a) W_m. Returns the count of
// kept singular values; `spectrum` receives them.
int weighted_inverse(MDFA_ResponseMatrix& R, const std::vector<float>& w_m,
                     const std::vector<float>& w_a,
                     MDFA_ResponseMatrix& inverse, K_spectrum& spectrum,
                     float tol) {
  const int m = R.rows;
  const int n = R.cols;
  MDFA_ResponseMatrix monitor_weights("MONITOR_WEIGHTS", m, 1, nullptr);
  MDFA_ResponseMatrix corrector_weights("CORRECTOR_WEIGHTS", 1, n, nullptr);
  for (int i = 0; i < m; ++i) {
    monitor_weights.set_value(w_m[static_cast<size_t>(i)], i, 0, -1, -1, -1,
                              -1);
  }
  for (int j = 0; j < n; ++j) {
    corrector_weights.set_value(w_a[static_cast<size_t>(j)], 0, j, -1, -1, -1,
                                -1);
  }
  MDFA_ResponseMatrix W("WEIGHTS", m, n, nullptr);
  MDFA_ResponseMatrix W_t("WEIGHTS_T", n, m, nullptr);
  MDFA_ResponseMatrix weighted("WEIGHTED", m, n, nullptr);
  monitor_weights.multiply(corrector_weights, W);  // the outer product
  R.entrywise_product(W, weighted);
  int kept = 0;
  zub_test::StdoutCapture out;
  weighted.invert(inverse, spectrum, &tol, &kept);
  W.transpose(W_t);
  inverse.entrywise_product(W_t, inverse);
  return kept;
}

arma::vec column(const MDFA_ResponseMatrix& m) {
  return arma::vectorise(zub_test::to_arma(m));
}

TEST(FeedbackRoad, LeftOutMonitorsAndCorrectorsGetZerosInTheReducedInverse) {
  const int m = 12;
  const int n = 6;
  const arma::fmat r = zub_test::well_conditioned(m, n, 21, 5.0);
  MDFA_ResponseMatrix R("RM", m, n, nullptr);
  zub_test::set_from(R, r);
  const std::set<int> monitors_out = {2, 7};
  const std::set<int> correctors_out = {3};
  std::vector<float> w_m(m, 1.0f), w_a(n, 1.0f);
  for (int i : monitors_out) w_m[static_cast<size_t>(i)] = 0.0f;
  for (int j : correctors_out) w_a[static_cast<size_t>(j)] = 0.0f;

  zub_test::LogCapture log;
  // The internal tolerance, and one of a caller's.
  for (const float tol : {-1.0f, 1e-6f}) {
    SCOPED_TRACE(tol);
    MDFA_ResponseMatrix inverse("RM_INV", n, m, nullptr);
    K_spectrum spectrum("RM_SV", n, nullptr);
    const int kept = weighted_inverse(R, w_m, w_a, inverse, spectrum, tol);
    // The zero column leaves one singular value at the rounding level of
    // double (not always an exact 0), which the cut-off leaves out.
    EXPECT_EQ(kept, n - 1);
    EXPECT_LT(spectrum.spectrum_value(n - 1),
              1e-12 * spectrum.spectrum_value(0));

    // The reduced matrix, inverted by Armadillo in double.
    std::vector<arma::uword> rows, cols;
    for (int i = 0; i < m; ++i) {
      if (!monitors_out.count(i)) rows.push_back(static_cast<arma::uword>(i));
    }
    for (int j = 0; j < n; ++j) {
      if (!correctors_out.count(j)) cols.push_back(static_cast<arma::uword>(j));
    }
    const arma::mat reduced = arma::conv_to<arma::mat>::from(r).submat(
        arma::uvec(rows), arma::uvec(cols));
    const arma::mat expected = arma::pinv(reduced);
    const arma::mat got = zub_test::to_arma(inverse);
    const double scale = arma::abs(expected).max();
    for (int j = 0; j < n; ++j) {
      for (int i = 0; i < m; ++i) {
        const double v =
            got(static_cast<arma::uword>(j), static_cast<arma::uword>(i));
        if (correctors_out.count(j) || monitors_out.count(i)) {
          EXPECT_EQ(v, 0.0) << "(" << j << ", " << i << ")";
        }
      }
    }
    const arma::mat got_reduced =
        got.submat(arma::uvec(cols), arma::uvec(rows));
    EXPECT_LT(arma::abs(got_reduced - expected).max(),
              64 * FLT_EPSILON * scale);
  }
  EXPECT_TRUE(log.messages_at(kLevelError).empty());
}

TEST(FeedbackRoad, WeightedRecipeGivesTheWeightedLeastSquaresCorrection) {
  arma::arma_rng::set_seed(5);
  zub_test::LogCapture log;
  // More monitors than correctors: x minimises |W_m (R x - d)|, whatever
  // the corrector weights. More correctors than monitors: R x = d, with the
  // least |W_a^-1 x|.
  for (const auto& shape : {std::make_pair(12, 5), std::make_pair(5, 12)}) {
    const int m = shape.first;
    const int n = shape.second;
    SCOPED_TRACE(m);
    const arma::fmat r = zub_test::well_conditioned(
        static_cast<arma::uword>(m), static_cast<arma::uword>(n), 31, 4.0);
    MDFA_ResponseMatrix R("RM", m, n, nullptr);
    zub_test::set_from(R, r);
    const arma::fvec wm = 0.5f + 1.5f * arma::randu<arma::fvec>(m);
    const arma::fvec wa = 0.5f + 1.5f * arma::randu<arma::fvec>(n);
    const arma::fvec d = arma::randn<arma::fvec>(m);

    MDFA_ResponseMatrix inverse("RM_INV", n, m, nullptr);
    K_spectrum spectrum("RM_SV", std::min(m, n), nullptr);
    const int kept = weighted_inverse(
        R, arma::conv_to<std::vector<float>>::from(wm),
        arma::conv_to<std::vector<float>>::from(wa), inverse, spectrum, -1.0f);
    EXPECT_EQ(kept, std::min(m, n));
    MDFA_ResponseMatrix deviations("DEV", m, 1, nullptr);
    zub_test::set_from(deviations, d);
    MDFA_ResponseMatrix x("X", n, 1, nullptr);
    inverse.multiply(deviations, x);

    const arma::mat rd = arma::conv_to<arma::mat>::from(r);
    const arma::vec Wm = arma::conv_to<arma::vec>::from(wm);
    const arma::vec Wa = arma::conv_to<arma::vec>::from(wa);
    const arma::vec dd = arma::conv_to<arma::vec>::from(d);
    arma::vec expected;
    if (m > n) {
      expected = arma::solve(arma::diagmat(Wm) * rd, Wm % dd);
    } else {
      const arma::mat Wa2 = arma::diagmat(Wa % Wa);
      expected = Wa2 * rd.t() * arma::solve(rd * Wa2 * rd.t(), dd);
    }
    const arma::vec got = column(x);
    EXPECT_LT(arma::abs(got - expected).max(),
              256 * FLT_EPSILON * arma::abs(expected).max())
        << got << expected;
  }
  EXPECT_TRUE(log.messages_at(kLevelError).empty());
}

}  // namespace
