// The inverse of a response matrix with monitors and correctors weighted or
// left out, at the matrix's full shape. Framework-free.
//
// With w_m the monitor weights (m values), w_a the corrector weights (n
// values) and W = w_m w_a^T,
//
//   K = W_a pinv(W_m R W_a) W_m = pinv(R o W) o W^T
//
// (o: the element-wise product; W_m, W_a: the diagonal matrices of the
// weights): the correction x that minimises |W_m (R x - d)| and, among
// those, has the least |W_a^-1 x|. A weight of 0 leaves a monitor or
// corrector out: its column or row of K is 0, and K is the inverse of the
// smaller matrix without it, in its place. pinv is truncated_svd_inverse,
// and every product is rounded to float as a property stores it, so that
// with all weights 1 K is the property's invert of R, bit for bit, and a
// server that follows the recipe on its properties gets the same numbers.
//
// A loop whose correctors stay saturated (orbit_loop::saturated()) gets the
// inverse without them from here, for orbit_loop::set_inverse.
#ifndef ZUB_FEEDBACK_WEIGHTED_INVERSE_H
#define ZUB_FEEDBACK_WEIGHTED_INVERSE_H

#include <string>
#include <vector>

#include "inversion.h"
#include "matrix.h"
#include "matrix_io.h"
#include "result.h"
#include "zub_feedback_export.h"

namespace zub_feedback {

// One weight per monitor (rows) and per corrector (columns), each finite and
// >= 0, as floats hold them: 1 keeps, 0 leaves out. An empty vector: all 1.
struct inverse_weights {
  std::vector<double> monitors;
  std::vector<double> correctors;
};

// truncated_svd_inverse of R o W under `tolerance`, its inverse multiplied
// by W^T: the result's singular values, count and tolerance are those of
// the weighted matrix. Refuses weights of another count than R's monitors
// or correctors (shape_mismatch), a weight that is negative, not finite or
// beyond the float range (bad_argument, naming it), and whatever
// truncated_svd_inverse refuses.
ZUB_FEEDBACK_API result<truncated_svd_result> weighted_inverse(
    const_matrix_view r, const inverse_weights& weights,
    float tolerance = kInternalTolerance);

// The weights that leave out the monitors and correctors listed (indices
// from 0) and keep the others at 1. Refuses an index beyond the matrix
// (bad_argument, naming it).
ZUB_FEEDBACK_API result<inverse_weights> exclusion_weights(
    const_matrix_view r, const std::vector<std::size_t>& monitors,
    const std::vector<std::size_t>& correctors);

// The same by name, for a named matrix: refuses a name that the matrix does
// not hold (bad_argument, as named_matrix's lookups say it).
ZUB_FEEDBACK_API result<inverse_weights> exclusion_weights(
    const named_matrix& r, const std::vector<std::string>& monitors,
    const std::vector<std::string>& correctors);

}  // namespace zub_feedback

#endif  // ZUB_FEEDBACK_WEIGHTED_INVERSE_H
