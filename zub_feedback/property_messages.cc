#include "property_messages.h"

#include <cstdarg>
#include <cstdio>
#include <string>
#include <vector>

#include "message_text.h"
#include "svd_cutoff.h"  // kDoubleEpsilon
#include "zub_feedback.h"

namespace zub_internal {

namespace {

using zub_feedback::kLevelError;
using zub_feedback::kLevelInfo;
using zub_feedback::kLevelTiming;

// printf's formatting, not cut: standard output has no buffer to fit.
__attribute__((format(printf, 2, 3))) void append(std::string& out,
                                                  const char* format, ...) {
  char buf[64];
  va_list args;
  va_start(args, format);
  const int n = std::vsnprintf(buf, sizeof buf, format, args);
  va_end(args);
  if (n < 0) return;
  if (static_cast<size_t>(n) < sizeof buf) {
    out.append(buf, static_cast<size_t>(n));
    return;
  }
  std::vector<char> big(static_cast<size_t>(n) + 1);
  va_start(args, format);
  std::vsnprintf(big.data(), big.size(), format, args);
  va_end(args);
  out.append(big.data(), static_cast<size_t>(n));
}

std::string table(const char* title, const std::vector<double>& v) {
  std::string out = std::string(title) + "\n";
  for (double x : v) append(out, "%f  ", x);
  return out + "\n";
}

std::string inverse_table(const zub_feedback::matrix& inverse) {
  std::string out = "\npinv(A)\n----------------------------------------\n";
  for (size_t i = 0; i < inverse.rows(); ++i) {
    for (size_t j = 0; j < inverse.cols(); ++j) {
      append(out, "%.4f\t", inverse(i, j));
    }
    out += '\n';
  }
  return out;
}

// What invert logs as it starts the decomposition of an m x n matrix,
// which it turns when m > n.
void decomposition(property_messages& out, int m, int n) {
  out.push_back(
      {kLevelInfo, message_text("INFO: SVD on %d x %d matrix ...", m, n)});
  if (m > n) {
    out.push_back({kLevelInfo, "INFO: M < N transposing matrix ..."});
    out.push_back({kLevelInfo,
                   message_text("INFO: matrix dim changed to: %d x %d", n, m)});
  }
}

}  // namespace

property_messages invert_messages(
    int rows, int cols,
    const zub_feedback::result<zub_feedback::truncated_svd_result>& outcome,
    double took_ms, const invert_tables* tables) {
  property_messages out;
  if (!outcome) {
    const zub_feedback::refusal& e = outcome.error();
    // These two come from the decomposition, which invert announces first.
    if (e.code == zub_feedback::error_code::svd_failed ||
        e.code == zub_feedback::error_code::beyond_float) {
      decomposition(out, rows, cols);
    }
    out.push_back({kLevelError, e.message});
    return out;
  }
  const zub_feedback::truncated_svd_result& r = outcome.value();
  decomposition(out, rows, cols);
  const double tol = r.tolerance;
  out.push_back(
      {kLevelInfo,
       r.internal_tolerance
           ? message_text("INFO: Using internal tolerance for SVD cut off: %e",
                          tol)
           : message_text("INFO: Using user provided SVD cut off tolerance: %e",
                          tol)});
  if (tables != nullptr) {
    out.push_back({kLevelInfo,
                   table("S\n----------------------------------------",
                         r.singular_values),
                   true});
  }
  if (r.removed_infinite != 0) {
    out.push_back(
        {kLevelInfo, message_text("INFO: Removed %d infinite values from S",
                                  r.removed_infinite)});
  }
  out.push_back({kLevelInfo,
                 message_text("INFO: Using %d from %d singular values", r.kept,
                              static_cast<int>(r.singular_values.size()))});
  if (tables != nullptr) {
    out.push_back({kLevelInfo,
                   table("1/s\n----------------------------------------",
                         tables->reciprocals),
                   true});
  }
  if (r.transposed) {
    out.push_back({kLevelInfo,
                   "INFO: Matrix dim change back to: " +
                       std::to_string(r.inverse.rows()) + " x " +
                       std::to_string(r.inverse.cols()) + "\n",
                   true});
  }
  if (tables != nullptr) {
    out.push_back({kLevelInfo, inverse_table(tables->unfiltered), true});
  }
  out.push_back({kLevelTiming, message_text("took (ms): %.4f", took_ms)});
  return out;
}

property_messages pinv_messages(
    float tolerance, int removed_in_input,
    const zub_feedback::result<zub_feedback::pseudo_inverse_result>& outcome,
    double took_ms) {
  property_messages out;
  if (removed_in_input != 0) {
    out.push_back(
        {kLevelInfo,
         message_text("removed %d values (< %.g) in input\n", removed_in_input,
                      static_cast<double>(tolerance))});
  }
  if (!outcome) {
    if (outcome.error().code != zub_feedback::error_code::svd_failed) {
      out.push_back({kLevelError, outcome.error().message});
    }
    return out;
  }
  if (outcome.value().removed_in_inverse != 0) {
    out.push_back(
        {kLevelInfo,
         message_text("removed %d values (< %.g) in inverse\n",
                      outcome.value().removed_in_inverse, kDoubleEpsilon)});
  }
  out.push_back({kLevelTiming, message_text("took (ms): %.4f", took_ms)});
  return out;
}

const char* pinv_exception_text(const zub_feedback::refusal& e) {
  if (e.code == zub_feedback::error_code::svd_failed ||
      e.code == zub_feedback::error_code::not_finite) {
    return "pinv(): svd failed";
  }
  return nullptr;
}

property_messages load_messages(
    const std::string& fname, int rows, int cols,
    const zub_feedback::result<zub_feedback::matrix_file>& outcome) {
  property_messages out;
  out.push_back(
      {kLevelInfo, message_text("INFO: Loading file %s ...", fname.c_str())});
  if (!outcome) {
    out.push_back({kLevelError, outcome.error().message});
    return out;
  }
  out.push_back(
      {kLevelInfo,
       message_text("INFO: Read %lld bytes from: %s into %d x %d GSL array",
                    outcome.value().bytes, fname.c_str(), rows, cols)});
  return out;
}

}  // namespace zub_internal
