// The orbit loop: checks, law, limits and guard of one feedback cycle, on
// buffers sized once at creation.
#include "feedback_loop.h"

#include <gsl/gsl_cblas.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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
constexpr double kLargest = std::numeric_limits<double>::max();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
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

// What is wrong with the reading r of a monitor in use, if anything; `same`
// is the number of steps it has been the same, bit for bit.
loop_fault reading_fault(double r, double low, double high, double same,
                         int stale) {
  if (!std::isfinite(r)) return loop_fault::reading_not_finite;
  if (!(r >= low && r <= high)) return loop_fault::reading_out_of_range;
  if (stale > 0 && same >= stale) return loop_fault::reading_stale;
  return loop_fault::none;
}

// The per-cycle pass over the monitors: deviation_i = x_i - centre_i with
// x_i the reading, or +0.0 at a monitor left out (keep_i = 0, whose range
// admits 0, whose centre is 0 and whose previous reading is NaN), and the
// count of steps that x_i has stayed the same, bit for bit, capped at
// `stale`. Returns whether no monitor fails a check.
struct monitor_pass {
  const double* readings;
  const std::uint64_t* keep;
  const double* centre;
  const double* low;  // within the finite doubles: NaN and inf fail
  const double* high;
  const double* previous;
  const double* same_for;
  int stale;
  double* deviation;
  double* same_next;
};

inline bool one_monitor_fails(const monitor_pass& p, std::size_t i,
                              double stale_at) {
  std::uint64_t b;
  std::memcpy(&b, &p.readings[i], sizeof b);
  b &= p.keep[i];
  double x;
  std::memcpy(&x, &b, sizeof x);
  p.deviation[i] = x - p.centre[i];
  const double same = same_bits(x, p.previous[i])
                          ? std::min(p.same_for[i] + 1.0, double(p.stale))
                          : 0.0;
  p.same_next[i] = same;
  return !(x >= p.low[i]) | !(x <= p.high[i]) | (same >= stale_at);
}

bool check_monitors(const monitor_pass& p, std::size_t m) {
  const double stale_at = p.stale > 0 ? p.stale : kInfinity;
  std::size_t i = 0;
  bool fails = false;
#if defined(__SSE2__)
  // Two monitors at a time, as one_monitor_fails does it: the pass is most
  // of what a cycle adds to the product, and x86-64 always has SSE2.
  const __m128d one = _mm_set1_pd(1.0);
  const __m128d cap = _mm_set1_pd(p.stale);
  const __m128d at = _mm_set1_pd(stale_at);
  __m128d any = _mm_setzero_pd();
  for (; i + 2 <= m; i += 2) {
    const __m128d x = _mm_and_pd(
        _mm_loadu_pd(p.readings + i),
        _mm_castsi128_pd(
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(p.keep + i))));
    _mm_storeu_pd(p.deviation + i, _mm_sub_pd(x, _mm_loadu_pd(p.centre + i)));
    // 64-bit equality from two 32-bit ones.
    const __m128i halves = _mm_cmpeq_epi32(
        _mm_castpd_si128(x), _mm_castpd_si128(_mm_loadu_pd(p.previous + i)));
    const __m128i equal = _mm_and_si128(
        halves, _mm_shuffle_epi32(halves, _MM_SHUFFLE(2, 3, 0, 1)));
    const __m128d same = _mm_and_pd(
        _mm_castsi128_pd(equal),
        _mm_min_pd(_mm_add_pd(_mm_loadu_pd(p.same_for + i), one), cap));
    _mm_storeu_pd(p.same_next + i, same);
    any = _mm_or_pd(any, _mm_cmpnge_pd(x, _mm_loadu_pd(p.low + i)));
    any = _mm_or_pd(any, _mm_cmpnle_pd(x, _mm_loadu_pd(p.high + i)));
    any = _mm_or_pd(any, _mm_cmpge_pd(same, at));
  }
  fails = _mm_movemask_pd(any) != 0;
#endif
  for (; i < m; ++i) fails |= one_monitor_fails(p, i, stale_at);
  return !fails;
}

// The law's step d_j = a · u_j + b · I'_j (a = -ramp · gain, b = -ramp ·
// integral_gain), I'_j = I_j + u_j clamped to [-cap_j, cap_j], into both
// `step` and `delta`.
struct law_terms {
  const double* demand;  // u
  const double* integral;
  const double* cap;
  double a;
  double b;
  double* trial_integral;  // I'
  double* step;
  double* delta;
};

// Chosen as maxpd and minpd choose, so that a NaN goes on to the step's
// check rather than being clamped away.
inline double clamp_keeping_nan(double t, double cap) {
  const double above = -cap > t ? -cap : t;
  return cap < above ? cap : above;
}

void propose(const law_terms& l, std::size_t n, bool with_integral) {
  std::size_t j = 0;
#if defined(__SSE2__)
  const __m128d a = _mm_set1_pd(l.a);
  const __m128d b = _mm_set1_pd(l.b);
  const __m128d sign = _mm_set1_pd(-0.0);
  for (; j + 2 <= n; j += 2) {
    const __m128d u = _mm_loadu_pd(l.demand + j);
    __m128d d = _mm_mul_pd(a, u);
    if (with_integral) {
      const __m128d cap = _mm_loadu_pd(l.cap + j);
      const __m128d t = _mm_min_pd(
          cap, _mm_max_pd(_mm_xor_pd(cap, sign),
                          _mm_add_pd(_mm_loadu_pd(l.integral + j), u)));
      _mm_storeu_pd(l.trial_integral + j, t);
      d = _mm_add_pd(d, _mm_mul_pd(b, t));
    }
    _mm_storeu_pd(l.step + j, d);
    _mm_storeu_pd(l.delta + j, d);
  }
#endif
  for (; j < n; ++j) {
    double d = l.a * l.demand[j];
    if (with_integral) {
      const double t = clamp_keeping_nan(l.integral[j] + l.demand[j], l.cap[j]);
      l.trial_integral[j] = t;
      d += l.b * t;
    }
    l.step[j] = l.delta[j] = d;
  }
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
      keep_(m_, ~std::uint64_t{0}),
      integral_cap_(n_, kInfinity),
      accept_low_(m_),
      accept_high_(m_),
      centre_(m_),
      deviation_(m_),
      demand_(n_),
      trial_integral_(n_),
      step_(n_),
      bound_by_(n_),
      same_next_(m_),
      integral_(n_),
      previous_(m_, kNaN),
      same_for_(m_),
      saturated_for_(n_) {
  options_.reference.resize(m_, 0.0);
  options_.monitor_mask.resize(m_, false);
  options_.monitor_min.resize(m_, -kInfinity);
  options_.monitor_max.resize(m_, kInfinity);
  for (std::size_t i = 0; i < m_; ++i) {
    accept_low_[i] = std::max(options_.monitor_min[i], -kLargest);
    accept_high_[i] = std::min(options_.monitor_max[i], kLargest);
    centre_[i] = options_.reference[i];
    if (options_.monitor_mask[i]) {
      left_out_.push_back(i);
      accept_low_[i] = -kLargest;
      accept_high_[i] = kLargest;
      centre_[i] = 0.0;
    }
  }
  for (std::size_t i = 0; i < m_; ++i) {
    if (options_.monitor_mask[i]) keep_[i] = 0;
    monitors_in_use_ += keep_[i] != 0;
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
  std::fill(same_for_.begin(), same_for_.end(), 0.0);
  std::fill(saturated_for_.begin(), saturated_for_.end(), 0);
  saturation_counting_ = false;
  // No reading of a monitor in use is NaN: nothing is the same as this.
  std::fill(previous_.begin(), previous_.end(), kNaN);
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

result<std::vector<std::size_t>> orbit_loop::leave_out_saturated(
    const_matrix_view response, float tolerance) {
  if (response.rows() != m_ || response.cols() != n_) {
    return refused(error_code::shape_mismatch,
                   "the response matrix is %zu x %zu, not %zu x %zu",
                   response.rows(), response.cols(), m_, n_);
  }
  corrector_out_.resize(n_, false);
  std::vector<bool> out = corrector_out_;
  for (std::size_t j : saturated_) out[j] = true;
  inverse_weights weights;
  weights.monitors.assign(m_, 1.0);
  for (std::size_t i : left_out_) weights.monitors[i] = 0.0;
  weights.correctors.assign(n_, 1.0);
  std::vector<std::size_t> left_out;
  for (std::size_t j = 0; j < n_; ++j) {
    if (!out[j]) continue;
    weights.correctors[j] = 0.0;
    left_out.push_back(j);
  }
  result<truncated_svd_result> k =
      weighted_inverse(response, weights, tolerance);
  if (!k) return k.error();
  const status set = set_inverse(k.value().inverse);
  if (!set) return set.error();
  corrector_out_ = std::move(out);
  return left_out;
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
  for (std::size_t i = 0; i < m_; ++i) {
    centre_[i] = keep_[i] != 0 ? reference[i] : 0.0;
  }
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

  const int stale = options_.stale_cycles;
  const monitor_pass pass{readings,
                          keep_.data(),
                          centre_.data(),
                          accept_low_.data(),
                          accept_high_.data(),
                          previous_.data(),
                          same_for_.data(),
                          stale,
                          deviation_.data(),
                          same_next_.data()};
  const bool bad = !check_monitors(pass, m_);
  for (std::size_t i = 0; bad && i < m_; ++i) {
    if (keep_[i] == 0) continue;
    const double r = readings[i];
    const double* const range_low = options_.monitor_min.data();
    const double* const range_high = options_.monitor_max.data();
    const loop_fault fault =
        reading_fault(r, range_low[i], range_high[i], same_next_[i], stale);
    if (fault == loop_fault::reading_not_finite) {
      format(text, text_size, "monitor %zu: reading %g is not finite", i, r);
    } else if (fault == loop_fault::reading_out_of_range) {
      format(text, text_size, "monitor %zu: reading %g is outside [%g, %g]", i,
             r, range_low[i], range_high[i]);
    } else if (fault == loop_fault::reading_stale) {
      format(text, text_size,
             "monitor %zu: reading %g unchanged for %d steps (stale)", i, r,
             stale);
    } else {
      continue;
    }
    return refuse(out, delta, delta_size, fault, i);
  }
  const zub_internal::limit_check settings_check =
      zub_internal::check_settings(settings, n_, text, text_size);
  if (!settings_check.ok) {
    return refuse(out, delta, delta_size, loop_fault::setting_not_finite,
                  settings_check.corrector);
  }
  const double sum = cblas_ddot(static_cast<int>(m_), deviation_.data(), 1,
                                deviation_.data(), 1);
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
  const law_terms law{demand_.data(),        integral_.data(),
                      integral_cap_.data(),  -ramp * gain,
                      -ramp * integral_gain, trial_integral_.data(),
                      step_.data(),          delta};
  propose(law, n_, integral_gain > 0);

  // The limits, on delta: step_ keeps the direction proposed.
  const zub_internal::limit_check scaled = zub_internal::scale_step(
      settings, delta, n_, zub_internal::arrays_of(options_.limits),
      bound_by_.data(), text, text_size);
  if (!scaled.ok) {
    return refuse(out, delta, delta_size, loop_fault::step_not_finite,
                  scaled.corrector);
  }
  const bool limited = scaled.scale < 1.0;
  const bool moved =
      std::any_of(delta, delta + n_, [](double x) { return x != 0; });
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
  // Most steps: nothing bound this one, nothing was counting.
  if (binding_.empty() && !saturation_counting_) return;
  saturation_counting_ = false;
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
    saturation_counting_ = saturation_counting_ || pushed_out;
    if (saturated_for_[j] >= options_.saturation_cycles) {
      saturated_.push_back(j);
    }
  }
}

// What a step that was not refused leaves for the next: the readings for
// the stale check, the rms for the guard and the floor's estimate.
void orbit_loop::accept(const double* readings, double rms, bool moved,
                        int growth_steps, double growth_from) noexcept {
  std::copy(readings, readings + m_, previous_.begin());
  for (std::size_t i : left_out_) previous_[i] = kNaN;
  same_for_.swap(same_next_);
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
