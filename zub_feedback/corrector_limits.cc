// The corrector-limit rule: one scale for the whole step, the largest that
// every corrector's limits and largest step allow.
#include "corrector_limits.h"

#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>
#include <utility>

#include "step_limits.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace zub_internal {

using zub_feedback::corrector_limits;
using zub_feedback::error_code;

namespace {

constexpr double kInfinity = std::numeric_limits<double>::infinity();
constexpr double kLargest = std::numeric_limits<double>::max();
// A corrector binds when its own limit allows no scale more than this
// fraction above the one chosen: near-ties are reported together.
constexpr double kBindingMargin = 1e-9;

limit_check refuse(error_code code, std::size_t corrector, char* why,
                   std::size_t why_size, const char* format, ...)
    __attribute__((format(printf, 5, 6)));

limit_check refuse(error_code code, std::size_t corrector, char* why,
                   std::size_t why_size, const char* format, ...) {
  if (why_size > 0) {
    va_list args;
    va_start(args, format);
    std::vsnprintf(why, why_size, format, args);
    va_end(args);
  }
  limit_check r;
  r.ok = false;
  r.code = code;
  r.corrector = corrector;
  return r;
}

// The limits of corrector j as the rule applies them: a corrector beyond
// a limit may not move further out, so its own setting widens the range.
struct range {
  double low;
  double high;
  double max_step;
};

// Comparisons rather than fmin/fmax, which are calls to libm where they
// must mind NaN; no NaN gets here.
inline range range_of(const limit_arrays& l, std::size_t j, double c) {
  range r{-kInfinity, kInfinity, kInfinity};
  if (l.lower != nullptr) r.low = l.lower[j] < c ? l.lower[j] : c;
  if (l.upper != nullptr) r.high = l.upper[j] > c ? l.upper[j] : c;
  if (l.max_step != nullptr) r.max_step = l.max_step[j];
  return r;
}

// The largest scale that corrector j alone allows, from the formula; +inf
// when nothing bounds it. d != 0.
double bound_of(const range& r, double c, double d) {
  const double to_limit = (d > 0 ? r.high - c : r.low - c) / d;
  const double to_max_step = r.max_step / std::fabs(d);
  const double bound = to_limit < to_max_step ? to_limit : to_max_step;
  return bound > 0 ? bound : 0.0;  // never -0.0
}

// Whether corrector j ends within its range after the step s·d, in the
// doubles the server will compute.
inline bool fits(const range& r, double c, double d, double s) {
  const double x = s * d;
  const double end = c + x;
  return (end >= r.low) & (end <= r.high) & (std::fabs(x) <= r.max_step);
}

std::uint64_t bits_of(double s) {
  std::uint64_t b;
  std::memcpy(&b, &s, sizeof b);
  return b;
}

double double_of(std::uint64_t b) {
  double s;
  std::memcpy(&s, &b, sizeof s);
  return s;
}

// The largest scale in [0, s] at which corrector j fits, for an s at which
// it does not: rounding may take c + s·d a few ulps of c past the limit,
// which may be many ulps of s. Non-negative doubles order as their bits, and
// fitting is monotone in s, so the search halves the bit range.
double largest_fitting(const range& r, double c, double d, double s) {
  std::uint64_t good = 0;  // s = 0 fits: c lies within its own range
  std::uint64_t bad = bits_of(s);
  while (bad - good > 1) {
    const std::uint64_t mid = good + (bad - good) / 2;
    if (fits(r, c, d, double_of(mid))) {
      good = mid;
    } else {
      bad = mid;
    }
  }
  return double_of(good);
}

// Whether the whole step fits (s = 1 allowed); `finite` whether every
// setting and step is a finite number.
bool whole_step_fits(const double* current, const double* step, std::size_t n,
                     const limit_arrays& l, bool& finite) {
  std::size_t j = 0;
  bool all_finite = true;
  bool whole = true;
#if defined(__SSE2__)
  // Two correctors at a time, as range_of and fits do it (minpd and maxpd
  // choose as their comparisons do, a NaN setting included): one cycle of
  // a loop runs this over every corrector.
  const __m128d magnitude =
      _mm_castsi128_pd(_mm_set1_epi64x(0x7fffffffffffffff));
  const __m128d largest = _mm_set1_pd(kLargest);
  __m128d finite_v = _mm_castsi128_pd(_mm_set1_epi64x(-1));
  __m128d fits_v = finite_v;
  for (; j + 2 <= n; j += 2) {
    const __m128d c = _mm_loadu_pd(current + j);
    const __m128d d = _mm_loadu_pd(step + j);
    const __m128d size = _mm_and_pd(d, magnitude);
    finite_v = _mm_and_pd(
        finite_v, _mm_and_pd(_mm_cmple_pd(_mm_and_pd(c, magnitude), largest),
                             _mm_cmple_pd(size, largest)));
    const __m128d end = _mm_add_pd(c, d);
    if (l.lower != nullptr) {
      const __m128d low = _mm_min_pd(_mm_loadu_pd(l.lower + j), c);
      fits_v = _mm_and_pd(fits_v, _mm_cmpge_pd(end, low));
    }
    if (l.upper != nullptr) {
      const __m128d high = _mm_max_pd(_mm_loadu_pd(l.upper + j), c);
      fits_v = _mm_and_pd(fits_v, _mm_cmple_pd(end, high));
    }
    if (l.max_step != nullptr) {
      fits_v =
          _mm_and_pd(fits_v, _mm_cmple_pd(size, _mm_loadu_pd(l.max_step + j)));
    }
  }
  all_finite = _mm_movemask_pd(finite_v) == 3;
  whole = _mm_movemask_pd(fits_v) == 3;
#endif
  for (; j < n; ++j) {
    const double c = current[j];
    const double d = step[j];
    all_finite &= (std::fabs(c) <= kLargest) & (std::fabs(d) <= kLargest);
    whole &= fits(range_of(l, j, c), c, d, 1.0);
  }
  finite = all_finite;
  return whole && all_finite;
}

}  // namespace

limit_arrays arrays_of(const corrector_limits& limits) noexcept {
  limit_arrays a;
  if (!limits.lower.empty()) a.lower = limits.lower.data();
  if (!limits.upper.empty()) a.upper = limits.upper.data();
  if (!limits.max_step.empty()) a.max_step = limits.max_step.data();
  return a;
}

limit_check check_limits(const corrector_limits& limits, std::size_t n,
                         char* why, std::size_t why_size) noexcept {
  const std::pair<const std::vector<double>*, const char*> given[] = {
      {&limits.lower, "lower limits"},
      {&limits.upper, "upper limits"},
      {&limits.max_step, "largest steps"}};
  for (const auto& g : given) {
    if (!g.first->empty() && g.first->size() != n) {
      return refuse(error_code::shape_mismatch, 0, why, why_size,
                    "%s: %zu values for %zu correctors", g.second,
                    g.first->size(), n);
    }
  }
  const limit_arrays a = arrays_of(limits);
  for (std::size_t j = 0; j < n; ++j) {
    const double low = a.lower != nullptr ? a.lower[j] : -kInfinity;
    const double high = a.upper != nullptr ? a.upper[j] : kInfinity;
    if (std::isnan(low) || std::isnan(high)) {
      return refuse(error_code::not_finite, j, why, why_size,
                    "corrector %zu: %s limit is NaN", j,
                    std::isnan(low) ? "lower" : "upper");
    }
    if (low > high || low == kInfinity || high == -kInfinity) {
      return refuse(error_code::bad_argument, j, why, why_size,
                    "corrector %zu: lower limit %g above upper limit %g "
                    "leaves no setting",
                    j, low, high);
    }
    if (a.max_step != nullptr && !(a.max_step[j] >= 0)) {
      return refuse(std::isnan(a.max_step[j]) ? error_code::not_finite
                                              : error_code::bad_argument,
                    j, why, why_size,
                    "corrector %zu: largest step %g is not a number >= 0", j,
                    a.max_step[j]);
    }
  }
  return limit_check{};
}

namespace {

limit_check refuse_setting(std::size_t j, double c, char* why,
                           std::size_t why_size) {
  return refuse(error_code::not_finite, j, why, why_size,
                "corrector %zu: setting %g is not finite", j, c);
}

}  // namespace

limit_check check_settings(const double* current, std::size_t n, char* why,
                           std::size_t why_size) noexcept {
  bool finite = true;
  for (std::size_t j = 0; j < n; ++j)
    finite &= std::fabs(current[j]) <= kLargest;
  for (std::size_t j = 0; !finite && j < n; ++j) {
    if (!std::isfinite(current[j])) {
      return refuse_setting(j, current[j], why, why_size);
    }
  }
  return limit_check{};
}

limit_check scale_step(const double* current, double* step, std::size_t n,
                       limit_arrays limits, std::size_t* binding, char* why,
                       std::size_t why_size) noexcept {
  limit_check r;
  // Most cycles: every number finite, the whole step fits, and no quotient
  // is needed; one pass without branches tells.
  bool finite = true;
  const bool whole = whole_step_fits(current, step, n, limits, finite);
  for (std::size_t j = 0; !finite && j < n; ++j) {
    if (!std::isfinite(current[j])) {
      return refuse_setting(j, current[j], why, why_size);
    }
    if (!std::isfinite(step[j])) {
      return refuse(error_code::not_finite, j, why, why_size,
                    "corrector %zu: step %g is not finite", j, step[j]);
    }
  }
  if (whole) return r;
  // The formula's scale: the smallest bound of any corrector.
  double s = 1.0;
  for (std::size_t j = 0; j < n; ++j) {
    const double d = step[j];
    if (d != 0) {
      const double b = bound_of(range_of(limits, j, current[j]), current[j], d);
      if (b < s) s = b;
    }
  }
  // The formula's quotients are rounded: where the server's own sum would
  // still pass a limit, the scale comes down to what that corrector allows.
  // Fitting is monotone in s, so correctors already passed stay within.
  for (std::size_t j = 0; j < n; ++j) {
    const double d = step[j];
    if (d == 0) continue;
    const range rj = range_of(limits, j, current[j]);
    if (!fits(rj, current[j], d, s)) {
      s = largest_fitting(rj, current[j], d, s);
    }
  }
  r.scale = s;
  // A search above lowers s by a few ulps only (the rounding of one sum),
  // well within the margin: its corrector is named too.
  for (std::size_t j = 0; j < n; ++j) {
    const double d = step[j];
    if (d == 0) continue;
    const range rj = range_of(limits, j, current[j]);
    if (bound_of(rj, current[j], d) <= s * (1 + kBindingMargin)) {
      binding[r.binding_count++] = j;
    }
    step[j] = s == 0 ? 0.0 : s * d;
  }
  return r;
}

}  // namespace zub_internal

namespace zub_feedback {

namespace {

constexpr std::size_t kWhySize = 160;

refusal refusal_of(const zub_internal::limit_check& c, const char* why) {
  refusal r;
  r.code = c.code;
  r.message = std::string("ERROR: ") + why;
  return r;
}

}  // namespace

result<double> limit_step(const double* current, double* step, std::size_t n,
                          const corrector_limits& limits,
                          std::vector<std::size_t>& binding) {
  char why[kWhySize] = "";
  binding.clear();
  zub_internal::limit_check c =
      zub_internal::check_limits(limits, n, why, sizeof why);
  if (!c.ok) return refusal_of(c, why);
  binding.resize(n);
  c = zub_internal::scale_step(current, step, n,
                               zub_internal::arrays_of(limits), binding.data(),
                               why, sizeof why);
  binding.resize(c.ok ? c.binding_count : 0);
  if (!c.ok) return refusal_of(c, why);
  return c.scale;
}

result<limited_step> limit_step(const std::vector<double>& current,
                                const std::vector<double>& step,
                                const corrector_limits& limits) {
  if (step.size() != current.size()) {
    refusal r;
    r.code = error_code::shape_mismatch;
    r.message = "ERROR: steps: " + std::to_string(step.size()) +
                " values for " + std::to_string(current.size()) + " correctors";
    return r;
  }
  limited_step out;
  out.step = step;
  out.binding.reserve(current.size());
  result<double> s = limit_step(current.data(), out.step.data(), current.size(),
                                limits, out.binding);
  if (!s) return s.error();
  out.scale = s.value();
  return out;
}

}  // namespace zub_feedback
