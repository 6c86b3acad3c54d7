// Monitors and correctors weighted or left out; see weighted_inverse.h.
#include "weighted_inverse.h"

#include <cmath>
#include <limits>

#include "arithmetic.h"
#include "refusals.h"

namespace zub_feedback {
namespace {

using zub_internal::make_refusal;

// Each element rounded to float, as a property stores it.
void round_to_float(matrix& m) {
  double* const v = m.data();
  for (std::size_t k = 0; k < m.size(); ++k) {
    v[k] = static_cast<double>(static_cast<float>(v[k]));
  }
}

// `given` as a column (monitors) or a row (correctors) of floats; all 1
// when empty.
result<matrix> weight_vector(const std::vector<double>& given,
                             std::size_t count, bool column, const char* what) {
  if (!given.empty() && given.size() != count) {
    return make_refusal(error_code::shape_mismatch,
                        "%zu %s weights for %zu %ss", given.size(), what, count,
                        what);
  }
  matrix w(column ? count : 1, column ? 1 : count, 1.0);
  for (std::size_t k = 0; k < given.size(); ++k) {
    const double x = given[k];
    if (!(x >= 0.0) || !(x <= std::numeric_limits<float>::max())) {
      return make_refusal(error_code::bad_argument,
                          "the weight of %s %zu is %g; a weight is a finite "
                          "number >= 0 within the float range",
                          what, k, x);
    }
    w.data()[k] = static_cast<double>(static_cast<float>(x));
  }
  return w;
}

}  // namespace

result<truncated_svd_result> weighted_inverse(const_matrix_view r,
                                              const inverse_weights& weights,
                                              float tolerance) {
  result<matrix> wm =
      weight_vector(weights.monitors, r.rows(), true, "monitor");
  if (!wm) return wm.error();
  result<matrix> wa =
      weight_vector(weights.correctors, r.cols(), false, "corrector");
  if (!wa) return wa.error();

  // W = w_m w_a^T, then R o W, each rounded as a property would hold it.
  result<matrix> w = multiply(wm.value(), wa.value());
  if (!w) return w.error();
  round_to_float(w.value());
  matrix weighted(r.rows(), r.cols());
  status done = entrywise_product(r, w.value(), weighted.view());
  if (!done) return done.error();
  round_to_float(weighted);

  result<truncated_svd_result> svd = truncated_svd_inverse(weighted, tolerance);
  if (!svd) return svd;
  // ... o W^T, in place: the operands of entrywise_product may alias.
  matrix& k = svd.value().inverse;
  done = entrywise_product(k, transpose(w.value()), k.view());
  if (!done) return done.error();
  round_to_float(k);
  return svd;
}

result<inverse_weights> exclusion_weights(
    const_matrix_view r, const std::vector<std::size_t>& monitors,
    const std::vector<std::size_t>& correctors) {
  inverse_weights w;
  w.monitors.assign(r.rows(), 1.0);
  w.correctors.assign(r.cols(), 1.0);
  for (std::size_t i : monitors) {
    if (i >= r.rows()) {
      return make_refusal(error_code::bad_argument,
                          "there is no monitor %zu: the matrix has %zu", i,
                          r.rows());
    }
    w.monitors[i] = 0.0;
  }
  for (std::size_t j : correctors) {
    if (j >= r.cols()) {
      return make_refusal(error_code::bad_argument,
                          "there is no corrector %zu: the matrix has %zu", j,
                          r.cols());
    }
    w.correctors[j] = 0.0;
  }
  return w;
}

result<inverse_weights> exclusion_weights(
    const named_matrix& r, const std::vector<std::string>& monitors,
    const std::vector<std::string>& correctors) {
  std::vector<std::size_t> rows, cols;
  for (const std::string& name : monitors) {
    result<std::size_t> i = r.monitor_index(name);
    if (!i) return i.error();
    rows.push_back(i.value());
  }
  for (const std::string& name : correctors) {
    result<std::size_t> j = r.corrector_index(name);
    if (!j) return j.error();
    cols.push_back(j.value());
  }
  return exclusion_weights(r.values, rows, cols);
}

}  // namespace zub_feedback
