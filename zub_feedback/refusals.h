// Internal: the refusals that the numeric core shares with the property's
// adapters, in the property's words and cut as the property cuts its
// messages. The shape checks take signed dimensions, so that an adapter can
// ask them about shapes that no view can hold (a property of -1 rows) and
// keep the order of its checks. Framework-free. Not installed.
#ifndef ZUB_FEEDBACK_REFUSALS_H
#define ZUB_FEEDBACK_REFUSALS_H

#include <cstddef>
#include <string>

#include "message_text.h"  // kMessageBufferSize
#include "zub_feedback/matrix.h"
#include "zub_feedback/result.h"

namespace zub_internal {

// A refusal whose message is formatted as the property's logger formats it.
__attribute__((format(printf, 2, 3))) zub_feedback::refusal make_refusal(
    zub_feedback::error_code code, const char* format, ...);

// product = a x b: product a_rows x b_cols, and a_cols == b_rows.
zub_feedback::status check_product_shapes(long long a_rows, long long a_cols,
                                          long long b_rows, long long b_cols,
                                          long long p_rows, long long p_cols);

// All three of one shape.
zub_feedback::status check_entrywise_shapes(long long a_rows, long long a_cols,
                                            long long b_rows, long long b_cols,
                                            long long p_rows, long long p_cols);

// t is a transposed.
zub_feedback::status check_transpose_shapes(long long a_rows, long long a_cols,
                                            long long t_rows, long long t_cols);

// The refusal to invert a matrix without rows or columns, or of a negative
// shape (which only a property can have).
zub_feedback::refusal empty_matrix_refusal(long long rows, long long cols);

// The first element, in row-major order, that is a NaN or an infinity.
zub_feedback::status check_finite(zub_feedback::const_matrix_view a);

// Whether the memory that two views span overlaps.
bool overlap(zub_feedback::const_matrix_view a,
             zub_feedback::const_matrix_view b);

}  // namespace zub_internal

#endif  // ZUB_FEEDBACK_REFUSALS_H
