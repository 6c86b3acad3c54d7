// Measuring a response matrix: each corrector in turn set to base + δ, then
// base − δ, then back to base; after each setting some orbits are skipped
// while the machine settles and the next ones are averaged. Element (i, j)
// is (mean orbit_i(+δ_j) − mean orbit_i(−δ_j)) / 2δ_j, with its standard
// error from the scatter of the averaged orbits. Framework-free.
//
// The procedure has no thread and no clock: the server drives it from its
// cycle. It reads each corrector's base before the first action, then each
// cycle, after reading the orbit:
//
//   if (m.wants_orbit()) m.add_orbit(orbit, monitors);  // a refusal: log it
//   while (!m.wants_orbit() && !m.done()) {
//     measurement_action a = m.next().value();
//     set corrector a.corrector to base + a.offset;
//   }
//
// Orbits count from the first one read after the setting was written. When
// done() every corrector has been told back to its base, and response()
// gives the matrix.
#ifndef ZUB_FEEDBACK_RESPONSE_MEASUREMENT_H
#define ZUB_FEEDBACK_RESPONSE_MEASUREMENT_H

#include <cstddef>
#include <vector>

#include "matrix.h"
#include "result.h"
#include "zub_feedback_export.h"

namespace zub_feedback {

struct measurement_settings {
  std::size_t monitors = 0;
  std::size_t correctors = 0;
  // δ in the correctors' units: one value for all, or one per corrector;
  // finite and not 0. The matrix is in orbit units per corrector unit.
  std::vector<double> kicks;
  // Orbits skipped after each setting while the machine settles.
  std::size_t settle_cycles = 0;
  // Orbits averaged per setting; at least 2, for an error bar.
  std::size_t orbits = 10;
};

// What the server does next.
struct measurement_action {
  // Nothing more: every corrector moved has been told back to its base.
  bool done = false;
  std::size_t corrector = 0;
  // Set the corrector to base + offset: +δ, −δ, or 0 to restore it.
  double offset = 0.0;
  // Orbits to feed after the setting: `skip` while it settles, then `take`
  // that are averaged. Both 0 for a restore.
  std::size_t skip = 0;
  std::size_t take = 0;
};

// What a file of the measurement holds: the matrix with its error bars and
// how it was taken. The file unit writes it; the procedure writes nothing.
struct measured_response {
  matrix response;                 // monitors x correctors
  matrix standard_error;           // of each element, same shape
  measurement_settings settings;   // kicks one per corrector
  std::size_t refused_orbits = 0;  // orbits that add_orbit refused
};

class ZUB_FEEDBACK_API response_measurement {
 public:
  // Refuses no monitors or correctors, a count of kicks that is neither 1
  // nor the correctors', a kick that is 0 or not finite, fewer than 2
  // orbits per setting.
  static result<response_measurement> create(measurement_settings settings);

  // The next action, once the previous one is carried out and its orbits
  // fed; refused while orbits are still wanted. After the last restore
  // (or abort), an action with `done` set.
  result<measurement_action> next();

  // One orbit, `size` = monitors values, read after the current setting.
  // Refuses an orbit of the wrong size, one holding a NaN or an infinity
  // (the refusal names the monitor and the corrector), and one that no
  // action asked for; a refused orbit is not counted and changes nothing
  // but refused_orbits.
  status add_orbit(const double* orbit, std::size_t size);

  // Ends the measurement early: the action that puts back the corrector
  // that is away from its base, or a `done` action when none is. No matrix
  // is given afterwards. A finished measurement keeps its matrix.
  measurement_action abort();

  bool wants_orbit() const { return skip_left_ + take_left_ > 0; }
  bool done() const;
  bool aborted() const { return aborted_; }

  // Refused until done(), and after abort().
  result<measured_response> response() const;

 private:
  explicit response_measurement(measurement_settings settings);
  std::size_t total_steps() const { return 3 * settings_.correctors; }
  void finish_setting();

  measurement_settings settings_;
  std::size_t step_ = 0;  // actions issued: corrector step/3, phase step%3
  std::size_t skip_left_ = 0;
  std::size_t take_left_ = 0;
  std::size_t taken_ = 0;
  bool aborted_ = false;
  std::size_t refused_ = 0;
  // Running mean and sum of squared deviations (Welford) of the current
  // setting, and those of the +δ setting kept for the −δ one.
  std::vector<double> mean_, m2_, plus_mean_, plus_m2_;
  matrix response_, error_;
};

}  // namespace zub_feedback

#endif  // ZUB_FEEDBACK_RESPONSE_MEASUREMENT_H
