// A response matrix augmented for a correction that steers the RF frequency
// too: the dispersion orbit as one more column, so that the correctors do
// not fight an energy error, and optionally one more row that keeps the sum
// of the kicks near 0. Framework-free.
//
//   [ R              w_rf η ]   m rows, one per monitor
//   [ w_s ... w_s    0      ]   the sum row, when asked for
//
// The caller inverts that matrix as it likes (any inverse, (n+1) x rows),
// and each cycle applies it to the deviation augmented to match; split_rf
// then gives the n corrector changes and the RF change, scaled back by w_rf
// into the dispersion's units (η in mm per unit of relative frequency gives
// the change in that unit).
#ifndef ZUB_FEEDBACK_AUGMENTED_RESPONSE_H
#define ZUB_FEEDBACK_AUGMENTED_RESPONSE_H

#include <cstddef>
#include <optional>

#include "matrix.h"
#include "result.h"
#include "zub_feedback_export.h"

namespace zub_feedback {

struct rf_weights {
  // The RF column's weight; none: chosen so that the RF column's norm is
  // the mean norm of R's columns, which keeps the RF mode among the
  // correctors' in a truncated inverse.
  std::optional<double> rf;
  // The sum row's weight; none: no sum row. Larger: the sum of the kicks
  // held nearer 0 at the cost of the orbit.
  std::optional<double> sum;
};

// Where the augmented system's parts are, and the weights it was built
// with: what augment_deviation and split_rf need each cycle.
struct rf_layout {
  std::size_t monitors = 0;
  std::size_t correctors = 0;
  double rf_weight = 0.0;
  bool automatic_rf_weight = false;
  double sum_weight = 0.0;  // 0: no sum row

  bool sum_row() const { return sum_weight != 0.0; }
  std::size_t rows() const { return monitors + (sum_row() ? 1 : 0); }
  std::size_t cols() const { return correctors + 1; }
};

struct rf_augmented {
  matrix response;  // layout.rows() x layout.cols()
  rf_layout layout;
};

// response: m x n, m >= 1, n >= 1; dispersion: m values. Refuses shapes that
// do not fit, a NaN or an infinity in the matrix, the dispersion or a
// weight, a weight that is not positive, and an automatic weight that does
// not exist (a zero dispersion or a zero matrix).
ZUB_FEEDBACK_API result<rf_augmented> augment_rf(
    const_matrix_view response, const double* dispersion,
    std::size_t dispersion_size, const rf_weights& weights = {});

// augmented = the deviation (layout.monitors values) and, for the sum row,
// its target 0 (layout.rows() values in all). Allocates nothing.
ZUB_FEEDBACK_API status augment_deviation(const rf_layout& layout,
                                          const double* deviation,
                                          std::size_t deviation_size,
                                          double* augmented,
                                          std::size_t augmented_size) noexcept;

// From the solution of the augmented system (its inverse times the
// augmented deviation, layout.cols() values): the layout.correctors
// corrector changes and the RF change in the dispersion's units. Refuses a
// NaN or an infinity in the solution, so that none reaches a magnet or the
// RF; the outputs are then left as they were. Allocates nothing.
ZUB_FEEDBACK_API status split_rf(const rf_layout& layout,
                                 const double* solution,
                                 std::size_t solution_size,
                                 double* corrector_changes,
                                 std::size_t changes_size,
                                 double* rf_change) noexcept;

}  // namespace zub_feedback

#endif  // ZUB_FEEDBACK_AUGMENTED_RESPONSE_H
