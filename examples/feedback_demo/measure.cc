#include "measure.h"

#include <algorithm>
#include <cmath>

#include "support/program.h"

namespace demo {

measurement_run measure(const options& o, simulated_machine& machine) {
  zub_feedback::measurement_settings settings;
  settings.monitors = static_cast<std::size_t>(o.monitors);
  settings.correctors = static_cast<std::size_t>(o.actuators);
  settings.kicks = {kMeasureKick};
  settings.settle_cycles = kSettleCycles;
  settings.orbits = kMeasureOrbits;
  zub_feedback::result<zub_feedback::response_measurement> created =
      zub_feedback::response_measurement::create(settings);
  if (!created) {
    zub_cli::refuse("the measurement was refused: " + created.error().message);
  }
  zub_feedback::response_measurement& m = created.value();
  const std::vector<double> base = machine.settings();
  measurement_run run;
  for (;;) {
    while (!m.wants_orbit() && !m.done()) {
      const zub_feedback::result<zub_feedback::measurement_action> a = m.next();
      if (!a) zub_cli::refuse("the measurement failed: " + a.error().message);
      if (a.value().done) break;
      const std::size_t j = a.value().corrector;
      machine.set(j, base[j] + a.value().offset);
    }
    if (m.done()) break;
    // Before the feedback: no monitor is broken yet.
    const std::vector<double> orbit = machine.read(-1);
    ++run.orbits_read;
    const zub_feedback::status added = m.add_orbit(orbit.data(), orbit.size());
    if (!added)
      zub_cli::refuse("the measurement failed: " + added.error().message);
  }
  const zub_feedback::result<zub_feedback::measured_response> response =
      m.response();
  if (!response) {
    zub_cli::refuse("the measurement failed: " + response.error().message);
  }
  run.measured = response.value();
  return run;
}

comparison compare(const zub_feedback::measured_response& measured,
                   const zub_feedback::matrix& other) {
  comparison c;
  const zub_feedback::matrix& r = measured.response;
  const zub_feedback::matrix& e = measured.standard_error;
  for (std::size_t i = 0; i < r.rows(); ++i) {
    for (std::size_t j = 0; j < r.cols(); ++j) {
      const double d = std::fabs(r(i, j) - other(i, j));
      c.largest_element = std::max(c.largest_element, std::fabs(other(i, j)));
      c.largest_difference = std::max(c.largest_difference, d);
      c.largest_error = std::max(c.largest_error, e(i, j));
      if (d > 3 * e(i, j)) ++c.beyond;
    }
  }
  return c;
}

}  // namespace demo
