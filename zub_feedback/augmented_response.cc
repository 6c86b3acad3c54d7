// The response matrix with the RF column and the sum row; see
// augmented_response.h.
#include "augmented_response.h"

#include <cmath>
#include <string>
#include <utility>

namespace zub_feedback {
namespace {

refusal refuse(error_code code, std::string message) {
  refusal r;
  r.code = code;
  r.message = std::move(message);
  return r;
}

std::string count(std::size_t n) { return std::to_string(n); }

// A weight given by the caller: finite and positive.
std::optional<refusal> check_weight(const std::optional<double>& w,
                                    const char* name) {
  if (!w) return std::nullopt;
  if (!std::isfinite(*w)) {
    return refuse(error_code::not_finite,
                  std::string("the ") + name + " weight is not finite");
  }
  if (*w <= 0.0) {
    return refuse(error_code::bad_argument,
                  std::string("the ") + name + " weight " + std::to_string(*w) +
                      " is not positive");
  }
  return std::nullopt;
}

double column_norm(const_matrix_view a, std::size_t j) {
  double sum = 0.0;
  for (std::size_t i = 0; i < a.rows(); ++i) sum += a(i, j) * a(i, j);
  return std::sqrt(sum);
}

}  // namespace

result<rf_augmented> augment_rf(const_matrix_view response,
                                const double* dispersion,
                                std::size_t dispersion_size,
                                const rf_weights& weights) {
  const std::size_t m = response.rows();
  const std::size_t n = response.cols();
  if (response.empty()) {
    return refuse(
        error_code::shape_mismatch,
        "the response matrix is empty (" + count(m) + " x " + count(n) + ")");
  }
  if (dispersion_size != m) {
    return refuse(error_code::shape_mismatch,
                  "the dispersion has " + count(dispersion_size) +
                      " values for " + count(m) + " monitors");
  }
  for (std::size_t i = 0; i < m; ++i) {
    for (std::size_t j = 0; j < n; ++j) {
      if (!std::isfinite(response(i, j))) {
        return refuse(error_code::not_finite,
                      "the response matrix is not finite at monitor " +
                          count(i) + ", corrector " + count(j));
      }
    }
    if (!std::isfinite(dispersion[i])) {
      return refuse(error_code::not_finite,
                    "the dispersion is not finite at monitor " + count(i));
    }
  }
  if (auto bad = check_weight(weights.rf, "RF")) return *bad;
  if (auto bad = check_weight(weights.sum, "sum")) return *bad;

  rf_layout layout;
  layout.monitors = m;
  layout.correctors = n;
  layout.sum_weight = weights.sum.value_or(0.0);
  if (weights.rf) {
    layout.rf_weight = *weights.rf;
  } else {
    double mean_norm = 0.0;
    for (std::size_t j = 0; j < n; ++j) mean_norm += column_norm(response, j);
    mean_norm /= static_cast<double>(n);
    const double eta_norm = column_norm(const_matrix_view(dispersion, m, 1), 0);
    if (eta_norm == 0.0) {
      return refuse(error_code::bad_argument,
                    "the dispersion is zero: no RF weight matches it");
    }
    layout.rf_weight = mean_norm / eta_norm;
    // A zero matrix, or norms beyond the double range.
    if (!std::isfinite(layout.rf_weight) || layout.rf_weight == 0.0) {
      return refuse(error_code::bad_argument,
                    "no RF weight matches a dispersion of norm " +
                        std::to_string(eta_norm) + " to columns of mean norm " +
                        std::to_string(mean_norm));
    }
    layout.automatic_rf_weight = true;
  }

  matrix a(layout.rows(), layout.cols());
  for (std::size_t i = 0; i < m; ++i) {
    for (std::size_t j = 0; j < n; ++j) a(i, j) = response(i, j);
    a(i, n) = layout.rf_weight * dispersion[i];
  }
  if (layout.sum_row()) {
    for (std::size_t j = 0; j < n; ++j) a(m, j) = layout.sum_weight;
  }
  return rf_augmented{std::move(a), layout};
}

status augment_deviation(const rf_layout& layout, const double* deviation,
                         std::size_t deviation_size, double* augmented,
                         std::size_t augmented_size) noexcept {
  if (deviation_size != layout.monitors || augmented_size != layout.rows()) {
    return refuse(error_code::shape_mismatch,
                  "a deviation of " + count(deviation_size) + " values into " +
                      count(augmented_size) + " for " + count(layout.monitors) +
                      " monitors and " + count(layout.rows()) + " rows");
  }
  for (std::size_t i = 0; i < deviation_size; ++i) augmented[i] = deviation[i];
  if (layout.sum_row()) augmented[layout.monitors] = 0.0;
  return {};
}

status split_rf(const rf_layout& layout, const double* solution,
                std::size_t solution_size, double* corrector_changes,
                std::size_t changes_size, double* rf_change) noexcept {
  if (solution_size != layout.cols() || changes_size != layout.correctors) {
    return refuse(error_code::shape_mismatch,
                  "a solution of " + count(solution_size) + " values into " +
                      count(changes_size) + " changes for " +
                      count(layout.correctors) + " correctors and the RF");
  }
  for (std::size_t j = 0; j < solution_size; ++j) {
    if (!std::isfinite(solution[j])) {
      return refuse(
          error_code::not_finite,
          j < layout.correctors
              ? "the solution is not finite at corrector " + count(j)
              : std::string("the solution's RF change is not finite"));
    }
  }
  for (std::size_t j = 0; j < changes_size; ++j) {
    corrector_changes[j] = solution[j];
  }
  // The column held w_rf η: its coefficient y moves the orbit by y w_rf η,
  // a change of y w_rf in η's units.
  *rf_change = solution[layout.correctors] * layout.rf_weight;
  return {};
}

}  // namespace zub_feedback
