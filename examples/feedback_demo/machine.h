// The simulated machine, which differs from the model as a real one does:
// its monitors and correctors have calibration errors, the correctors start
// with random errors, and every reading has noise. All of it comes from one
// generator seeded with --seed, so a run is repeated exactly.
#ifndef ZUB_DEMO_MACHINE_H
#define ZUB_DEMO_MACHINE_H

#include <cstddef>
#include <random>
#include <vector>

#include "options.h"
#include "zub_feedback.h"

namespace demo {

// Calibration errors of the machine against the model, relative rms:
// monitor gains and corrector strengths.
constexpr double kMonitorGainError = 0.03;
constexpr double kCorrectorGainError = 0.05;

// What a broken monitor reads at odd iterations (mm); at even ones, NaN.
constexpr double kGarbageReading = 9999.0;

class simulated_machine {
 public:
  // The machine whose response is `model` (monitors x correctors, mm/mrad)
  // with calibration errors: R_true(i, j) = R(i, j) g_i c_j, times -1 with
  // --flip-sign.
  simulated_machine(const options& o, MDFA_ResponseMatrix& model, EqFct* loc);

  // The monitors' readings at `iteration` of the feedback (mm); before it
  // (the measurement) pass 0: no monitor is broken yet.
  std::vector<double> read(int iteration);

  // The correctors' settings (mrad), 0 at the start; the kicks are these
  // plus the correctors' unknown errors.
  const std::vector<double>& settings() const { return settings_; }
  void set(std::size_t corrector, double value);
  // Adds delta to the settings; returns the largest |change|.
  double change(const std::vector<double>& delta);

 private:
  const options& o_;
  std::mt19937_64 rng_;
  std::normal_distribution<double> unit_{0.0, 1.0};
  MDFA_ResponseMatrix calibration_;
  MDFA_ResponseMatrix response_;
  MDFA_ResponseMatrix kicks_;  // mrad
  MDFA_ResponseMatrix orbit_;  // mm
  std::vector<double> theta_;  // the correctors' errors, mrad
  std::vector<double> settings_;
};

}  // namespace demo

#endif  // ZUB_DEMO_MACHINE_H
