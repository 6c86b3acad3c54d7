// The orbit loop: checks, law, limits and guard of one feedback cycle, on
// buffers sized once at creation.
#include "feedback_loop.h"

#include <gsl/gsl_cblas.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>
#include <utility>

#include "step_limits.h"

namespace zub_feedback {

namespace {

constexpr double kInfinity = std::numeric_limits<double>::infinity();
// A rise of the rms is growth only beyond this many noise floors: the rms
// of m noisy monitors varies from cycle to cycle by about floor / sqrt(2m),
// so that a run of such rises does not come from noise, even for one
// monitor.
constexpr double kSignificance = 2.0;
// The estimate of the floor follows the rms with this weight per cycle (an
// average over ~8 cycles), and keeps its lowest value: a converged loop
// shows its noise there, a transient or a divergence only raises it. The
// average keeps a lucky low reading of a few monitors out of the floor.
constexpr double kSmoothing = 1.0 / 8;
// And never below this fraction of the highest smoothed rms: a loop without
// noise converges to the rounding of its sums, which must not count as a
// floor of 0.
constexpr double kRounding = 1e-12;

void format(char* text, std::size_t size, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

void format(char* text, std::size_t size, const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, size, format, args);
  va_end(args);
}

refusal refused(error_code code, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

refusal refused(error_code code, const char* format, ...) {
  char text[192];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  refusal r;
  r.code = code;
  r.message = std::string("ERROR: orbit_loop: ") + text;
  return r;
}

bool same_bits(double a, double b) {
  return std::memcmp(&a, &b, sizeof a) == 0;
}

bool finite_number_at_least_0(double x) { return std::isfinite(x) && x >= 0; }

// A per-element option: empty, or one value per monitor or corrector.
bool fits_count(std::size_t size, std::size_t count) {
  return size == 0 || size == count;
}

}  // namespace

const char* status_name(loop_status status) noexcept {
  switch (status) {
    case loop_status::applied:
      return "applied";
    case loop_status::deadband:
      return "deadband";
    case loop_status::limited:
      return "limited";
    case loop_status::refused:
      return "refused";
    case loop_status::holding:
      return "holding";
  }
  return "unknown";
}

// ---------------------------------------------------------------- creation

result<orbit_loop> orbit_loop::create(matrix inverse, loop_options o) {
  const std::size_t n = inverse.rows();
  const std::size_t m = inverse.cols();
  if (inverse.empty()) {
    return refused(error_code::shape_mismatch, "the inverse is empty");
  }
  if (n > INT_MAX || m > INT_MAX) {
    return refused(error_code::shape_mismatch,
                   "the inverse is %zu x %zu, more than the BLAS takes", n, m);
  }
  for (std::size_t j = 0; j < n; ++j) {
    for (std::size_t i = 0; i < m; ++i) {
      if (!std::isfinite(inverse(j, i))) {
        return refused(error_code::not_finite,
                       "inverse element (%zu, %zu) is %g", j, i, inverse(j, i));
      }
    }
  }
  if (!(o.gain > 0 && o.gain < 2)) {
    return refused(error_code::bad_argument, "gain %g is not within (0, 2)",
                   o.gain);
  }
  const std::pair<double, const char*> amounts[] = {
      {o.integral_gain, "integral gain"},
      {o.deadband, "dead-band"},
      {o.noise_floor, "noise floor"}};
  for (const auto& a : amounts) {
    if (!finite_number_at_least_0(a.first)) {
      return refused(error_code::bad_argument,
                     "%s %g is not a finite number >= 0", a.second, a.first);
    }
  }
  const std::pair<int, const char*> counts[] = {
      {o.soft_start, "soft start"},
      {o.stale_cycles, "stale cycles"},
      {o.diverge_cycles, "diverge cycles"},
      {o.saturation_cycles, "saturation cycles"}};
  for (const auto& c : counts) {
    if (c.first < 0) {
      return refused(error_code::bad_argument, "%s %d is negative", c.second,
                     c.first);
    }
  }
  const std::pair<std::size_t, const char*> monitor_sized[] = {
      {o.reference.size(), "reference"},
      {o.monitor_mask.size(), "monitor mask"},
      {o.monitor_min.size(), "monitor minima"},
      {o.monitor_max.size(), "monitor maxima"}};
  for (const auto& s : monitor_sized) {
    if (!fits_count(s.first, m)) {
      return refused(error_code::shape_mismatch,
                     "%s: %zu values for %zu monitors", s.second, s.first, m);
    }
  }
  if (!fits_count(o.integral_limit.size(), n)) {
    return refused(error_code::shape_mismatch,
                   "integral limits: %zu values for %zu correctors",
                   o.integral_limit.size(), n);
  }
  for (std::size_t i = 0; i < o.reference.size(); ++i) {
    if (!std::isfinite(o.reference[i])) {
      return refused(error_code::not_finite,
                     "monitor %zu: reference %g is not finite", i,
                     o.reference[i]);
    }
  }
  for (std::size_t j = 0; j < o.integral_limit.size(); ++j) {
    if (!(o.integral_limit[j] >= 0)) {
      return refused(error_code::bad_argument,
                     "corrector %zu: integral limit %g is not a number >= 0", j,
                     o.integral_limit[j]);
    }
  }
  for (std::size_t i = 0; i < m; ++i) {
    const double low = o.monitor_min.empty() ? -kInfinity : o.monitor_min[i];
    const double high = o.monitor_max.empty() ? kInfinity : o.monitor_max[i];
    if (!(low <= high)) {
      return refused(error_code::bad_argument,
                     "monitor %zu: range [%g, %g] holds no reading", i, low,
                     high);
    }
  }
  if (!o.monitor_mask.empty() &&
      std::find(o.monitor_mask.begin(), o.monitor_mask.end(), false) ==
          o.monitor_mask.end()) {
    return refused(error_code::bad_argument, "every monitor is left out");
  }
  char why[160] = "";
  const zub_internal::limit_check limits =
      zub_internal::check_limits(o.limits, n, why, sizeof why);
  if (!limits.ok) return refused(limits.code, "%s", why);
  return orbit_loop(std::move(inverse), std::move(o));
}

orbit_loop::orbit_loop(matrix inverse, loop_options options)
    : m_(inverse.cols()),
      n_(inverse.rows()),
      inverse_(std::move(inverse)),
      options_(std::move(options)),
      in_use_(m_, 1),
      integral_cap_(n_, kInfinity),
      deviation_(m_),
      demand_(n_),
      trial_integral_(n_),
      step_(n_),
      bound_by_(n_),
      integral_(n_),
      previous_(m_),
      same_for_(m_),
      saturated_for_(n_) {
  options_.reference.resize(m_, 0.0);
  options_.monitor_mask.resize(m_, false);
  for (std::size_t i = 0; i < m_; ++i) {
    in_use_[i] = options_.monitor_mask[i] ? 0 : 1;
    monitors_in_use_ += in_use_[i];
  }
  if (options_.integral_gain > 0) {
    for (std::size_t j = 0; j < options_.integral_limit.size(); ++j) {
      integral_cap_[j] = options_.integral_limit[j] / options_.integral_gain;
    }
  }
  binding_.reserve(n_);
  saturated_.reserve(n_);
}

void orbit_loop::reset() noexcept {
  std::fill(integral_.begin(), integral_.end(), 0.0);
  std::fill(same_for_.begin(), same_for_.end(), 0);
  std::fill(saturated_for_.begin(), saturated_for_.end(), 0);
  have_previous_ = false;
  corrections_ = 0;
  moved_last_ = false;
  last_rms_ = 0.0;
  growth_steps_ = 0;
  growth_from_ = 0.0;
  smoothed_rms_ = 0.0;
  lowest_smoothed_ = 0.0;
  highest_smoothed_ = 0.0;
  have_estimate_ = false;
  holding_ = false;
  hold_from_ = 0.0;
  hold_to_ = 0.0;
  binding_.clear();
  saturated_.clear();
}

status orbit_loop::set_inverse(const_matrix_view inverse) {
  if (inverse.rows() != n_ || inverse.cols() != m_) {
    return refused(error_code::shape_mismatch,
                   "the new inverse is %zu x %zu, not %zu x %zu",
                   inverse.rows(), inverse.cols(), n_, m_);
  }
  for (std::size_t j = 0; j < n_; ++j) {
    for (std::size_t i = 0; i < m_; ++i) {
      if (!std::isfinite(inverse(j, i))) {
        return refused(error_code::not_finite,
                       "new inverse element (%zu, %zu) is %g", j, i,
                       inverse(j, i));
      }
    }
  }
  for (std::size_t j = 0; j < n_; ++j) {
    const double* row = inverse.row(j);
    std::copy(row, row + m_, inverse_.data() + j * m_);
    // A corrector left out: its integral would push it on for ever.
    if (std::all_of(row, row + m_, [](double x) { return x == 0; })) {
      integral_[j] = 0.0;
      saturated_for_[j] = 0;
    }
  }
  saturated_.erase(
      std::remove_if(saturated_.begin(), saturated_.end(),
                     [this](std::size_t j) { return saturated_for_[j] == 0; }),
      saturated_.end());
  return status();
}

status orbit_loop::set_reference(const std::vector<double>& reference) {
  if (reference.size() != m_) {
    return refused(error_code::shape_mismatch,
                   "reference: %zu values for %zu monitors", reference.size(),
                   m_);
  }
  for (std::size_t i = 0; i < m_; ++i) {
    if (!std::isfinite(reference[i])) {
      return refused(error_code::not_finite,
                     "monitor %zu: reference %g is not finite", i,
                     reference[i]);
    }
  }
  std::copy(reference.begin(), reference.end(), options_.reference.begin());
  return status();
}

double orbit_loop::noise_floor() const {
  if (options_.noise_floor > 0) return options_.noise_floor;
  if (!have_estimate_) return kInfinity;
  return std::max(lowest_smoothed_, kRounding * highest_smoothed_);
}

// ---------------------------------------------------------------- the step

step_outcome orbit_loop::refuse(step_outcome out, double* delta,
                                std::size_t delta_size, loop_fault fault,
                                std::size_t index) noexcept {
  if (delta != nullptr) std::fill(delta, delta + delta_size, 0.0);
  binding_.clear();
  out.status = loop_status::refused;
  out.fault = fault;
  out.index = index;
  out.scale = 0.0;
  out.rms = 0.0;
  return out;
}

step_outcome orbit_loop::hold(step_outcome out, double* delta,
                              std::size_t delta_size) noexcept {
  if (delta != nullptr) std::fill(delta, delta + delta_size, 0.0);
  binding_.clear();
  out.status = loop_status::holding;
  out.fault = loop_fault::diverging;
  out.scale = 0.0;
  format(out.text_.data(), out.text_.size(),
         "holding: the rms grew from %g to %g in %d steps in a row; "
         "reset() resumes",
         hold_from_, hold_to_, options_.diverge_cycles);
  return out;
}

step_outcome orbit_loop::step(const std::vector<double>& readings,
                              const std::vector<double>& settings,
                              std::vector<double>& delta) {
  delta.resize(n_);
  return step(readings.data(), readings.size(), settings.data(),
              settings.size(), delta.data(), delta.size());
}

step_outcome orbit_loop::step(const double* readings, std::size_t readings_size,
                              const double* settings, std::size_t settings_size,
                              double* delta, std::size_t delta_size) noexcept {
  step_outcome out;
  char* const text = out.text_.data();
  const std::size_t text_size = out.text_.size();
  if (holding_) return hold(out, delta, delta_size);
  if (readings_size != m_ || settings_size != n_ || delta_size != n_) {
    format(text, text_size,
           "%zu readings, %zu settings and room for %zu changes, for %zu "
           "monitors and %zu correctors",
           readings_size, settings_size, delta_size, m_, n_);
    return refuse(out, delta, delta_size, loop_fault::wrong_size, 0);
  }

  // The readings of the monitors in use, by index.
  const int stale = options_.stale_cycles;
  const double* low =
      options_.monitor_min.empty() ? nullptr : options_.monitor_min.data();
  const double* high =
      options_.monitor_max.empty() ? nullptr : options_.monitor_max.data();
  for (std::size_t i = 0; i < m_; ++i) {
    if (!in_use_[i]) continue;
    const double r = readings[i];
    if (!std::isfinite(r)) {
      format(text, text_size, "monitor %zu: reading %g is not finite", i, r);
      return refuse(out, delta, delta_size, loop_fault::reading_not_finite, i);
    }
    if ((low != nullptr && r < low[i]) || (high != nullptr && r > high[i])) {
      format(text, text_size, "monitor %zu: reading %g is outside [%g, %g]", i,
             r, low != nullptr ? low[i] : -kInfinity,
             high != nullptr ? high[i] : kInfinity);
      return refuse(out, delta, delta_size, loop_fault::reading_out_of_range,
                    i);
    }
    if (stale > 0 && have_previous_ && same_bits(r, previous_[i]) &&
        same_for_[i] + 1 >= stale) {
      format(text, text_size,
             "monitor %zu: reading %g unchanged for %d steps (stale)", i, r,
             stale);
      return refuse(out, delta, delta_size, loop_fault::reading_stale, i);
    }
  }
  const zub_internal::limit_check settings_check =
      zub_internal::check_settings(settings, n_, text, text_size);
  if (!settings_check.ok) {
    return refuse(out, delta, delta_size, loop_fault::setting_not_finite,
                  settings_check.corrector);
  }

  const double* reference = options_.reference.data();
  double sum = 0.0;
  for (std::size_t i = 0; i < m_; ++i) {
    const double e = in_use_[i] ? readings[i] - reference[i] : 0.0;
    deviation_[i] = e;
    sum += e * e;
  }
  const double rms = std::sqrt(sum / static_cast<double>(monitors_in_use_));

  // The divergence guard, on the rise since a step that moved correctors.
  const bool growth =
      moved_last_ && rms - last_rms_ > kSignificance * noise_floor();
  const int growth_steps =
      growth ? std::min(growth_steps_ + 1, INT_MAX - 1) : 0;
  const double growth_from =
      growth ? (growth_steps_ == 0 ? last_rms_ : growth_from_) : rms;
  if (options_.diverge_cycles > 0 && growth_steps >= options_.diverge_cycles) {
    holding_ = true;
    hold_from_ = growth_from;
    hold_to_ = rms;
    out.rms = rms;
    return hold(out, delta, delta_size);
  }

  out.rms = rms;
  if (rms < options_.deadband) {
    std::fill(delta, delta + delta_size, 0.0);
    binding_.clear();
    out.status = loop_status::deadband;
    out.scale = 0.0;
    accept(readings, rms, false, growth_steps, growth_from);
    return out;
  }

  // The law.
  cblas_dgemv(CblasRowMajor, CblasNoTrans, static_cast<int>(n_),
              static_cast<int>(m_), 1.0, inverse_.data(), static_cast<int>(m_),
              deviation_.data(), 1, 0.0, demand_.data(), 1);
  const double ramp =
      corrections_ < options_.soft_start
          ? static_cast<double>(corrections_ + 1) / options_.soft_start
          : 1.0;
  const double gain = options_.gain;
  const double integral_gain = options_.integral_gain;
  for (std::size_t j = 0; j < n_; ++j) {
    double term = gain * demand_[j];
    if (integral_gain > 0) {
      // Comparisons, not fmin/fmax: a NaN must reach the step's check.
      double t = integral_[j] + demand_[j];
      if (t > integral_cap_[j]) {
        t = integral_cap_[j];
      } else if (t < -integral_cap_[j]) {
        t = -integral_cap_[j];
      }
      trial_integral_[j] = t;
      term += integral_gain * t;
    }
    step_[j] = -ramp * term;
    delta[j] = step_[j];
  }

  // The limits, on delta: step_ keeps the direction proposed.
  const zub_internal::limit_check scaled = zub_internal::scale_step(
      settings, delta, n_, zub_internal::arrays_of(options_.limits),
      bound_by_.data(), text, text_size);
  if (!scaled.ok) {
    return refuse(out, delta, delta_size, loop_fault::step_not_finite,
                  scaled.corrector);
  }
  const bool limited = scaled.scale < 1.0;
  bool moved = false;
  for (std::size_t j = 0; j < n_; ++j) moved = moved || delta[j] != 0;
  binding_.assign(
      bound_by_.begin(),
      bound_by_.begin() + static_cast<std::ptrdiff_t>(scaled.binding_count));
  if (integral_gain > 0 && moved && !limited) {
    integral_.swap(trial_integral_);
  }
  if (moved && corrections_ < options_.soft_start) ++corrections_;
  if (options_.saturation_cycles > 0) track_saturation(settings);
  accept(readings, rms, moved, growth_steps, growth_from);
  out.status = limited ? loop_status::limited : loop_status::applied;
  out.scale = scaled.scale;
  return out;
}

// A corrector at a limit that the proposed step pushes further out.
void orbit_loop::track_saturation(const double* settings) noexcept {
  const double* lower =
      options_.limits.lower.empty() ? nullptr : options_.limits.lower.data();
  const double* upper =
      options_.limits.upper.empty() ? nullptr : options_.limits.upper.data();
  saturated_.clear();
  std::size_t b = 0;
  for (std::size_t j = 0; j < n_; ++j) {
    const bool bound = b < binding_.size() && binding_[b] == j;
    if (bound) ++b;
    const bool pushed_out =
        bound &&
        ((step_[j] > 0 && upper != nullptr && settings[j] >= upper[j]) ||
         (step_[j] < 0 && lower != nullptr && settings[j] <= lower[j]));
    saturated_for_[j] =
        pushed_out ? std::min(saturated_for_[j] + 1, options_.saturation_cycles)
                   : 0;
    if (saturated_for_[j] >= options_.saturation_cycles)
      saturated_.push_back(j);
  }
}

// What a step that was not refused leaves for the next: the readings for
// the stale check, the rms for the guard and the floor's estimate.
void orbit_loop::accept(const double* readings, double rms, bool moved,
                        int growth_steps, double growth_from) noexcept {
  const int stale = options_.stale_cycles;
  for (std::size_t i = 0; i < m_; ++i) {
    if (!in_use_[i]) continue;
    const bool same = have_previous_ && same_bits(readings[i], previous_[i]);
    same_for_[i] = same && stale > 0 ? std::min(same_for_[i] + 1, stale) : 0;
    previous_[i] = readings[i];
  }
  have_previous_ = true;
  moved_last_ = moved;
  last_rms_ = rms;
  growth_steps_ = growth_steps;
  growth_from_ = growth_from;
  if (!have_estimate_) {
    smoothed_rms_ = rms;
    lowest_smoothed_ = rms;
    highest_smoothed_ = rms;
    have_estimate_ = true;
  } else {
    smoothed_rms_ += (rms - smoothed_rms_) * kSmoothing;
    lowest_smoothed_ = std::min(lowest_smoothed_, smoothed_rms_);
    highest_smoothed_ = std::max(highest_smoothed_, smoothed_rms_);
  }
}

}  // namespace zub_feedback
