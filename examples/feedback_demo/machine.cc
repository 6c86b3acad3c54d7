#include "machine.h"

#include <algorithm>
#include <cmath>

#include "orbit.h"

namespace demo {

simulated_machine::simulated_machine(const options& o,
                                     MDFA_ResponseMatrix& model, EqFct* loc)
    : o_(o),
      rng_(o.seed),
      calibration_("CALIBRATION", o.monitors, o.actuators, loc),
      response_("MACHINE", o.monitors, o.actuators, loc),
      kicks_("KICKS", o.actuators, 1, loc),
      orbit_("ORBIT", o.monitors, 1, loc),
      theta_(static_cast<size_t>(o.actuators)),
      settings_(static_cast<size_t>(o.actuators), 0.0) {
  std::vector<double> g(static_cast<size_t>(o.monitors));
  std::vector<double> c(static_cast<size_t>(o.actuators));
  for (double& x : g) x = 1.0 + kMonitorGainError * unit_(rng_);
  for (double& x : c) x = 1.0 + kCorrectorGainError * unit_(rng_);
  // A sign error between the matrix and the machine is a calibration
  // error of -1 on every corrector.
  const double sign = o.flip_sign ? -1.0 : 1.0;
  for (int i = 0; i < o.monitors; ++i) {
    for (int j = 0; j < o.actuators; ++j) {
      calibration_.set_value(
          static_cast<float>(sign * g[static_cast<size_t>(i)] *
                             c[static_cast<size_t>(j)]),
          i, j, -1, -1, -1, -1);
    }
  }
  model.entrywise_product(calibration_, response_);
  for (double& x : theta_) x = o.errors * unit_(rng_);
}

std::vector<double> simulated_machine::read(int iteration) {
  std::vector<double> kicks = theta_;
  for (size_t j = 0; j < kicks.size(); ++j) kicks[j] += settings_[j];
  set_column(kicks_, kicks);
  response_.multiply(kicks_, orbit_);
  std::vector<double> x = column_values(orbit_);
  for (double& v : x) v += o_.noise * unit_(rng_);
  for (const auto& f : o_.fail_monitors) {
    if (iteration < f.from) continue;
    x[static_cast<size_t>(f.monitor)] =
        iteration % 2 == 0 ? std::nan("") : kGarbageReading;
  }
  return x;
}

void simulated_machine::set(std::size_t corrector, double value) {
  settings_[corrector] = value;
}

double simulated_machine::change(const std::vector<double>& delta) {
  double largest = 0.0;
  for (size_t j = 0; j < settings_.size(); ++j) {
    settings_[j] += delta[j];
    largest = std::max(largest, std::fabs(delta[j]));
  }
  return largest;
}

}  // namespace demo
