// Corrector limits: a proposed step of the correctors shortened as a whole,
// its direction kept, so that no corrector passes a limit or its largest
// step in one cycle. Framework-free.
//
// The step d becomes s·d with s the largest number in [0, 1] such that, for
// every corrector j with current setting c_j,
//
//   min(lower_j, c_j) <= c_j + s·d_j <= max(upper_j, c_j)
//   |s·d_j| <= max_step_j
//
// evaluated in doubles as a server adds the step to its settings. A
// corrector within its limits thus ends within them; one already at or
// beyond a limit blocks a step that would move it further out (s = 0) and
// lets through one that moves it back, as far as its other limit. Scaling
// every corrector alike, rather than clipping the offending ones, keeps the
// correction's shape: a clipped step is another correction, which the
// response matrix was never asked about.
#ifndef ZUB_FEEDBACK_CORRECTOR_LIMITS_H
#define ZUB_FEEDBACK_CORRECTOR_LIMITS_H

#include <cstddef>
#include <vector>

#include "result.h"
#include "zub_feedback_export.h"

namespace zub_feedback {

// In the settings' units, one value per corrector. An empty vector: no such
// limit for any corrector; -inf or +inf in one: none for that corrector.
struct corrector_limits {
  std::vector<double> lower;
  std::vector<double> upper;
  std::vector<double> max_step;  // the largest |change| in one step, >= 0
};

struct limited_step {
  std::vector<double> step;  // s·d
  double scale = 1.0;        // s
  // The correctors that bound s: those whose limit or largest step a scale
  // larger by a billionth would pass. Increasing; empty when s == 1.
  std::vector<std::size_t> binding;
};

// Refuses, naming the corrector: a NaN anywhere, an infinite setting or
// step, a lower limit above the upper one (or of +inf, or an upper one of
// -inf), a negative largest step (not_finite or bad_argument), and vectors
// of other lengths than current's (shape_mismatch).
ZUB_FEEDBACK_API result<limited_step> limit_step(
    const std::vector<double>& current, const std::vector<double>& step,
    const corrector_limits& limits);

// The same in place, for a server's cycle: step[0..n) is scaled, the
// binding correctors replace the contents of `binding` (nothing is
// allocated when its capacity is n), and s is returned. Only a refusal
// allocates (its message); the step is then left as it was.
ZUB_FEEDBACK_API result<double> limit_step(const double* current, double* step,
                                           std::size_t n,
                                           const corrector_limits& limits,
                                           std::vector<std::size_t>& binding);

}  // namespace zub_feedback

#endif  // ZUB_FEEDBACK_CORRECTOR_LIMITS_H
