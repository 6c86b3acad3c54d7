// The corrector-limit rule on plain arrays, allocating nothing: what
// limit_step (corrector_limits.h) and the orbit loop's step both call. Its
// reasons go into the caller's fixed buffer, so that a server's cycle never
// reaches the heap, not even for a refusal. Internal to the library.
#ifndef ZUB_FEEDBACK_STEP_LIMITS_H
#define ZUB_FEEDBACK_STEP_LIMITS_H

#include <cstddef>

#include "corrector_limits.h"
#include "result.h"

namespace zub_internal {

// A corrector_limits seen as arrays; nullptr for a limit not given.
struct limit_arrays {
  const double* lower = nullptr;
  const double* upper = nullptr;
  const double* max_step = nullptr;
};

limit_arrays arrays_of(const zub_feedback::corrector_limits& limits) noexcept;

// What a check or a scaling found. When !ok, `why` holds the reason
// ("corrector 3: ..."), `corrector` the corrector it names.
struct limit_check {
  bool ok = true;
  zub_feedback::error_code code = zub_feedback::error_code::bad_argument;
  std::size_t corrector = 0;
  double scale = 1.0;
  std::size_t binding_count = 0;
};

// The limits alone: one per corrector or none, no NaN, lower <= upper, no
// lower limit of +inf nor upper of -inf, largest steps >= 0.
limit_check check_limits(const zub_feedback::corrector_limits& limits,
                         std::size_t n, char* why,
                         std::size_t why_size) noexcept;

// Settings that are numbers: finite.
limit_check check_settings(const double* current, std::size_t n, char* why,
                           std::size_t why_size) noexcept;

// Scales step[0..n) in place by the largest s in [0, 1] that the limits
// allow (corrector_limits.h says how), and writes the correctors that bound
// s, in increasing order, to binding[0..binding_count) (room for n). The
// limits must have passed check_limits; settings and steps are checked here.
// On a refusal the step is left as it was.
limit_check scale_step(const double* current, double* step, std::size_t n,
                       limit_arrays limits, std::size_t* binding, char* why,
                       std::size_t why_size) noexcept;

}  // namespace zub_internal

#endif  // ZUB_FEEDBACK_STEP_LIMITS_H
