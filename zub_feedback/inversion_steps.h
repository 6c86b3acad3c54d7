// Internal: the inverses of inversion.h in the steps that the property's
// invert and pinv log between, and with what invert's debug tables show.
// Defined in the shared library with hidden visibility, for its adapters
// (MDFA_ResponseMatrix.cc) only: a program cannot link them. Not installed.
#ifndef ZUB_FEEDBACK_INVERSION_STEPS_H
#define ZUB_FEEDBACK_INVERSION_STEPS_H

#include <vector>

#include "zub_feedback/inversion.h"
#include "zub_feedback/matrix.h"
#include "zub_feedback/result.h"

namespace zub_internal {

struct truncated_svd_outcome {
  zub_feedback::truncated_svd_result result;
  // The diagonal of D+: 1/s for each singular value that entered, 0 for
  // the others.
  std::vector<double> reciprocals;
  // n x m, the inverse before the noise filter and the rounding to float;
  // empty unless asked for.
  zub_feedback::matrix unfiltered;
};

// truncated_svd_inverse on a matrix that it may take apart (the property
// copies its elements out once, and that copy becomes the working copy).
zub_feedback::result<truncated_svd_outcome> truncated_svd(
    zub_feedback::matrix a, float tolerance, bool keep_unfiltered);

// pseudo_inverse's input filter: elements with 0 < |a| < tolerance become
// 0. Returns how many did.
int remove_small_elements(zub_feedback::matrix& a, double tolerance);

// pseudo_inverse after its input filter; removed_in_input is left 0.
zub_feedback::result<zub_feedback::pseudo_inverse_result>
pseudo_inverse_of_filtered(const zub_feedback::matrix& a);

}  // namespace zub_internal

#endif  // ZUB_FEEDBACK_INVERSION_STEPS_H
