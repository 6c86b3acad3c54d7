// Internal: what the property's invert, pinv and load_file say about a
// result of the core, as an ordered list, so that the property's adapters
// log it through the framework and the Python module hands the very same
// list to Python's logging. Framework-free. Not installed.
#ifndef ZUB_FEEDBACK_PROPERTY_MESSAGES_H
#define ZUB_FEEDBACK_PROPERTY_MESSAGES_H

#include <string>
#include <vector>

#include "zub_feedback/inversion.h"
#include "zub_feedback/matrix.h"
#include "zub_feedback/matrix_io.h"
#include "zub_feedback/result.h"

namespace zub_internal {

// The reporting operations, as the framework's logger names them.
inline constexpr char kInvertName[] = "MDFA_ResponseMatrix::invert";
inline constexpr char kPinvName[] = "MDFA_ResponseMatrix::pinv";
inline constexpr char kLoadFileName[] = "MDFA_ResponseMatrix::load_file";

struct property_message {
  unsigned level;
  // As logged: cut to the logger's buffer, a line end kept where the
  // property writes one.
  std::string text;
  // Written to standard output rather than logged (invert's line on the
  // transposed inverse and its debug tables).
  bool printed = false;
};
using property_messages = std::vector<property_message>;

// What invert's debug tables show besides the spectrum.
struct invert_tables {
  const std::vector<double>& reciprocals;  // the diagonal of D+
  const zub_feedback::matrix& unfiltered;  // the inverse before the filter
};

// invert on a rows x cols matrix that the core inverted in `took_ms`
// milliseconds, or refused; with the debug tables when given.
property_messages invert_messages(
    int rows, int cols,
    const zub_feedback::result<zub_feedback::truncated_svd_result>& outcome,
    double took_ms, const invert_tables* tables = nullptr);

// pinv with the caller's tolerance, whose input filter removed
// `removed_in_input` elements before the core's pseudo-inverse gave
// `outcome` in `took_ms` milliseconds. A failed SVD says nothing more: the
// property throws then.
property_messages pinv_messages(
    float tolerance, int removed_in_input,
    const zub_feedback::result<zub_feedback::pseudo_inverse_result>& outcome,
    double took_ms);

// What pinv throws for a refusal, as Armadillo's pinv reports a failed SVD
// (a matrix that it cannot decompose included), or nullptr when it only
// logs the refusal.
const char* pinv_exception_text(const zub_feedback::refusal& e);

// load_file of `fname` into a rows x cols matrix, read or refused.
property_messages load_messages(
    const std::string& fname, int rows, int cols,
    const zub_feedback::result<zub_feedback::matrix_file>& outcome);

}  // namespace zub_internal

#endif  // ZUB_FEEDBACK_PROPERTY_MESSAGES_H
