// The numeric core of zub_feedback: response matrices as plain doubles,
// their products, inverses and files, the corrector limits and the feedback
// loop, the RF column and the measurement of a matrix, with refusals as
// values. It includes neither the framework, GSL nor Armadillo, so a host
// that includes only this compiles in a moment.
#ifndef ZUB_FEEDBACK_CORE_H
#define ZUB_FEEDBACK_CORE_H

#include "arithmetic.h"
#include "augmented_response.h"
#include "corrector_limits.h"
#include "feedback_loop.h"
#include "inversion.h"
#include "matrix.h"
#include "matrix_io.h"
#include "regularized_inverse.h"
#include "response_measurement.h"
#include "result.h"
#include "weighted_inverse.h"

#endif  // ZUB_FEEDBACK_CORE_H
