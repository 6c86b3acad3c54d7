// Internal: owners of GSL objects, so that each is freed on every path,
// exceptions included. Not installed.
#ifndef ZUB_FEEDBACK_GSL_OWNERS_H
#define ZUB_FEEDBACK_GSL_OWNERS_H

#include <gsl/gsl_matrix.h>
#include <gsl/gsl_vector.h>

#include <memory>

namespace zub_internal {

struct gsl_matrix_free_t {
  void operator()(gsl_matrix* m) const noexcept { gsl_matrix_free(m); }
};
struct gsl_vector_free_t {
  void operator()(gsl_vector* v) const noexcept { gsl_vector_free(v); }
};

using gsl_matrix_owner = std::unique_ptr<gsl_matrix, gsl_matrix_free_t>;
using gsl_vector_owner = std::unique_ptr<gsl_vector, gsl_vector_free_t>;

}  // namespace zub_internal

#endif  // ZUB_FEEDBACK_GSL_OWNERS_H
