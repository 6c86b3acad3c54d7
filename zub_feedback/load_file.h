// Internal: MDFA_ResponseMatrix::load_file, the property's adapter over the
// core's file unit, with the clock that decides whether a recently changed
// file is looked at again. Not installed.
#ifndef ZUB_FEEDBACK_LOAD_FILE_H
#define ZUB_FEEDBACK_LOAD_FILE_H

#include "matrix_file.h"

class MDFA_ResponseMatrix;

namespace zub_internal {

bool load_matrix_file(MDFA_ResponseMatrix& m, const char* fname,
                      const file_clock& clock);

}  // namespace zub_internal

#endif  // ZUB_FEEDBACK_LOAD_FILE_H
