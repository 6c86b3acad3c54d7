// The numeric core's products and transposition on plain doubles, and
// `apply`, the per-cycle product of an inverse and a deviation through the
// BLAS's dgemv with nothing allocated. Framework-free.
//
// A refusal's message is the one the framework property logs for the same
// shapes, with `a` in the place of the property itself, `b` of its operand
// and the output of its result matrix.
#ifndef ZUB_FEEDBACK_ARITHMETIC_H
#define ZUB_FEEDBACK_ARITHMETIC_H

#include <cstddef>

#include "matrix.h"
#include "result.h"
#include "zub_feedback_export.h"

namespace zub_feedback {

// product = a x b, sums formed in double precision (dgemm). The output must
// be a.rows() x b.cols(), and a.cols() must equal b.rows(); it may share
// memory with a or b. A view of several rows whose stride is less than its
// columns is refused (bad_argument): no BLAS takes it.
ZUB_FEEDBACK_API status multiply(const_matrix_view a, const_matrix_view b,
                                 matrix_view product);
ZUB_FEEDBACK_API result<matrix> multiply(const_matrix_view a,
                                         const_matrix_view b);

// product(i, j) = a(i, j) x b(i, j); all three of one shape. The output may
// share memory with a or b. For elements that are floats, the product
// rounded to float is the float product, bit for bit.
ZUB_FEEDBACK_API status entrywise_product(const_matrix_view a,
                                          const_matrix_view b,
                                          matrix_view product);

// transposed = a transposed, a.cols() x a.rows(); exact. The output may
// share memory with a.
ZUB_FEEDBACK_API status transpose(const_matrix_view a, matrix_view transposed);
ZUB_FEEDBACK_API matrix transpose(const_matrix_view a);

// y = inverse x x: x holds inverse.cols() values, y inverse.rows(). Through
// the BLAS's dgemv, allocating nothing, so that a server may call it every
// cycle. y must not overlap x or the inverse. Refuses other sizes
// (shape_mismatch) and an inverse whose rows overlap (bad_argument), with
// y untouched.
ZUB_FEEDBACK_API status apply(const_matrix_view inverse, const double* x,
                              std::size_t x_size, double* y,
                              std::size_t y_size) noexcept;

}  // namespace zub_feedback

#endif  // ZUB_FEEDBACK_ARITHMETIC_H
