// The feedback loop between an inverse and the correctors: the law, its
// gain, soft start and integrator, the dead-band, the corrector limits, and
// the checks of each cycle's readings, in one object that a server keeps.
// Framework-free; docs/feedback-loop.md explains the choices.
//
// One step, for readings r (m monitors) and settings c (n correctors):
//
//   e   = r - reference, 0 at a monitor left out (the mask)
//   rms = sqrt(sum of e_i^2 / monitors in use)
//   u   = inverse · e                          (n values, the BLAS's dgemv)
//   I'  = I + u, each |integral_gain · I'_j| clamped to integral_limit_j
//   d   = -ramp · (gain · u + integral_gain · I')
//   Δc  = s · d, s from the corrector limits (corrector_limits.h)
//
// With integral_gain = 0 this is the classic law Δc = -gain · inverse · e,
// itself an integrator of the deviation in the settings. The integral term
// I adds a second one: it takes out the lag that a steady drift of the orbit
// leaves behind the classic law (drift / gain). Its anti-windup is twofold:
// the clamp above, the most that it adds to one corrector's step, and I is
// not advanced in a cycle whose step the limits shortened (s < 1) or that
// moved nothing. For a loop without calibration error both terms are stable
// for 0 < gain < 2 and 0 < integral_gain < 4 - 2 · gain; keep
// integral_gain well below gain.
//
// Soft start: ramp = k / soft_start for the k-th correction (k = 1, 2, ...)
// after construction or reset(), 1 from the soft_start-th on; cycles that
// move nothing do not count.
//
// Dead-band: a cycle whose rms is below `deadband` moves nothing.
//
// Checks, in this order; the first that fails refuses the step:
//   - the sizes of readings, settings and delta;
//   - each monitor in use, by index: a reading that is NaN or infinite,
//     outside [monitor_min_i, monitor_max_i], or bit for bit the same as in
//     the previous stale_cycles steps (the monitor stopped updating);
//   - each setting: finite; each step: finite (an overflowing product).
// Then the divergence guard: a step counts as growth when the previous step
// moved correctors and the rms rose by more than twice the noise floor
// since; diverge_cycles such steps in a row put the loop on hold until
// reset(). The noise floor is the server's (noise_floor) or, when that is
// 0, the loop's estimate: the lowest rms averaged over the last ~8 cycles
// since the start. Requiring each rise to stand out of the noise, rather
// than any rise, keeps a loop converged to its monitors' noise from holding
// by chance, however long it runs.
//
// A refused or holding step returns a delta of zeros and leaves the loop as
// it was (a holding loop stays holding). Nothing is allocated after
// create(): every buffer is sized there. The loop takes no lock: one thread
// at a time.
#ifndef ZUB_FEEDBACK_FEEDBACK_LOOP_H
#define ZUB_FEEDBACK_FEEDBACK_LOOP_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "corrector_limits.h"
#include "matrix.h"
#include "result.h"
#include "weighted_inverse.h"
#include "zub_feedback_export.h"

namespace zub_feedback {

enum class loop_status {
  applied,   // the step of the law, whole
  deadband,  // rms below the dead-band: nothing moves
  limited,   // the step shortened by the limits (scale < 1, 0 included)
  refused,   // a check failed: nothing moves, the loop is unchanged
  holding,   // diverging: nothing moves until reset()
};

// "applied", "deadband", "limited", "refused", "holding".
ZUB_FEEDBACK_API const char* status_name(loop_status status) noexcept;

enum class loop_fault {
  none,
  wrong_size,            // readings, settings or delta of another length
  reading_not_finite,    // index: the monitor
  reading_out_of_range,  // index: the monitor
  reading_stale,         // index: the monitor
  setting_not_finite,    // index: the corrector
  step_not_finite,       // index: the corrector
  diverging,             // the rms grew over diverge_cycles steps
};

struct loop_options {
  double gain = 0.5;  // 0 < gain < 2
  // m values; empty: all 0.
  std::vector<double> reference;
  double integral_gain = 0.0;  // >= 0; 0: no integral term
  // n values or empty (no clamp): the most that the integral term adds to
  // one corrector's step, in the settings' units, >= 0.
  std::vector<double> integral_limit;
  // rms of the deviation (the readings' units) below which nothing moves.
  double deadband = 0.0;
  int soft_start = 0;  // corrections over which the gain ramps up; 0: none
  corrector_limits limits;
  // m values or empty: true where a monitor is left out; its deviation
  // counts as 0 and its reading is not checked.
  std::vector<bool> monitor_mask;
  // m values each or empty: the readings a monitor can give; outside them
  // the step is refused. -inf / +inf: no bound.
  std::vector<double> monitor_min;
  std::vector<double> monitor_max;
  // A monitor whose reading stays the same, bit for bit, over this many
  // steps is stale; 0: not checked. Monitors whose readings are coarsely
  // quantized against their noise need more, or the check off.
  int stale_cycles = 10;
  // Steps of significant growth in a row that put the loop on hold; 0: off.
  int diverge_cycles = 5;
  // The rms that the monitors' noise alone gives (the readings' units);
  // 0: estimated by the loop.
  double noise_floor = 0.0;
  // A corrector at a limit that the step pushes further out, this many
  // steps in a row, is reported by saturated(); 0: not tracked.
  int saturation_cycles = 0;
};

// What one step did. `reason` is empty for applied, deadband and limited.
struct step_outcome {
  loop_status status = loop_status::applied;
  loop_fault fault = loop_fault::none;
  std::size_t index = 0;  // the monitor or corrector the fault names
  double scale = 1.0;     // s of the limits; 0 when nothing moved
  double rms = 0.0;       // of the deviation; 0 when refused, or held before
  std::string_view reason() const { return std::string_view(text_.data()); }

 private:
  friend class orbit_loop;
  std::array<char, 192> text_{};
};

class ZUB_FEEDBACK_API orbit_loop {
 public:
  // inverse: n correctors x m monitors (the inverse of the response
  // matrix). Refuses, naming the value: an empty or non-finite inverse, a
  // gain outside (0, 2), any option of another length or outside its range,
  // limits that corrector_limits.h refuses, every monitor left out.
  static result<orbit_loop> create(matrix inverse, loop_options options);

  // readings: m values, settings: n, delta: n (the change to apply; zeros
  // unless the status is applied or limited), overlapping neither.
  step_outcome step(const double* readings, std::size_t readings_size,
                    const double* settings, std::size_t settings_size,
                    double* delta, std::size_t delta_size) noexcept;
  // The same; delta is resized to n (allocating only when it was smaller).
  step_outcome step(const std::vector<double>& readings,
                    const std::vector<double>& settings,
                    std::vector<double>& delta);

  // As created: no integral, soft start from its beginning, no history for
  // the checks and the guard, not holding. The options and inverse stay.
  void reset() noexcept;

  // A new inverse of the same shape (e.g. without the saturated correctors,
  // whose rows are then 0); the loop's state stays, except the integral of
  // a corrector whose row is all 0, which is cleared. Refuses another shape
  // or a non-finite element, and then keeps the old inverse.
  status set_inverse(const_matrix_view inverse);
  // Leaves out for good the correctors that saturated() names, with those
  // left out before: the inverse becomes weighted_inverse of `response` (m
  // x n, the matrix the inverse came from) under `tolerance`, with weight 0
  // for those correctors and for the monitors the mask leaves out, then as
  // set_inverse. It decomposes the matrix, which no step does: a server
  // calls it between steps when saturated() is not empty. Gives the
  // correctors now left out, increasing; refuses a response of another
  // shape and what weighted_inverse refuses, keeping the inverse.
  result<std::vector<std::size_t>> leave_out_saturated(
      const_matrix_view response, float tolerance = kInternalTolerance);
  // A new reference orbit, m finite values; the state stays.
  status set_reference(const std::vector<double>& reference);

  std::size_t monitors() const { return m_; }
  std::size_t correctors() const { return n_; }
  bool holding() const { return holding_; }
  const matrix& inverse() const { return inverse_; }
  // As given, the per-monitor vectors filled in (reference 0, no mask, no
  // range) and the reference as set_reference last set it.
  const loop_options& options() const { return options_; }
  // The correctors that bound the last step's scale (limited), increasing.
  const std::vector<std::size_t>& binding() const { return binding_; }
  // The correctors that have been at a limit, pushed further out, for
  // saturation_cycles steps in a row: candidates to leave out of the
  // inverse (then set_inverse). Empty when not tracked.
  const std::vector<std::size_t>& saturated() const { return saturated_; }
  // I, per corrector (the settings' units before integral_gain).
  const std::vector<double>& integral() const { return integral_; }
  // The noise floor the guard uses now; +inf before any estimate.
  double noise_floor() const;

 private:
  orbit_loop(matrix inverse, loop_options options);
  step_outcome refuse(step_outcome out, double* delta, std::size_t delta_size,
                      loop_fault fault, std::size_t index) noexcept;
  step_outcome hold(step_outcome out, double* delta,
                    std::size_t delta_size) noexcept;
  void track_saturation(const double* settings) noexcept;
  void accept(const double* readings, double rms, bool moved, int growth_steps,
              double growth_from) noexcept;

  std::size_t m_ = 0;
  std::size_t n_ = 0;
  matrix inverse_;
  loop_options options_;
  // m: all ones where a monitor is in use, 0 where it is left out (a mask
  // of the reading's bits).
  std::vector<std::uint64_t> keep_;
  std::size_t monitors_in_use_ = 0;
  std::vector<double> integral_cap_;  // n: bound on |I_j|
  // m: [monitor_min, monitor_max] within the finite doubles, so that two
  // comparisons refuse NaN, infinities and readings out of range at once;
  // all the finite doubles where a monitor is left out.
  std::vector<double> accept_low_;
  std::vector<double> accept_high_;
  std::vector<double> centre_;         // m: the reference, 0 where left out
  std::vector<std::size_t> left_out_;  // the monitors left out

  // Scratch, sized at creation.
  std::vector<double> deviation_;       // m
  std::vector<double> demand_;          // n: u
  std::vector<double> trial_integral_;  // n: I'
  std::vector<double> step_;            // n: d, as proposed
  std::vector<std::size_t> bound_by_;   // n
  std::vector<double> same_next_;       // m: same_for_ after this step

  // State.
  std::vector<double> integral_;  // n
  std::vector<double> previous_;  // m: last accepted readings, or NaN
  std::vector<double> same_for_;  // m: steps unchanged (a count)
  int corrections_ = 0;
  bool moved_last_ = false;
  double last_rms_ = 0.0;
  int growth_steps_ = 0;
  double growth_from_ = 0.0;  // rms before the run of growth
  double smoothed_rms_ = 0.0;
  double lowest_smoothed_ = 0.0;
  double highest_smoothed_ = 0.0;
  bool have_estimate_ = false;
  bool holding_ = false;
  double hold_from_ = 0.0;  // the run of growth that put the loop on hold
  double hold_to_ = 0.0;
  std::vector<int> saturated_for_;      // n
  bool saturation_counting_ = false;    // some saturated_for_ > 0
  std::vector<std::size_t> binding_;    // capacity n
  std::vector<std::size_t> saturated_;  // capacity n
  std::vector<bool> corrector_out_;     // n: left out by leave_out_saturated
};

}  // namespace zub_feedback

#endif  // ZUB_FEEDBACK_FEEDBACK_LOOP_H
