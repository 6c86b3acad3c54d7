// Internal: MDFA_ResponseMatrix::load_file, the property's adapter over the
// core's file unit, with the clock that decides whether a recently changed
// file is looked at again. Not installed.
#ifndef ZUB_FEEDBACK_LOAD_FILE_H
#define ZUB_FEEDBACK_LOAD_FILE_H

#include "matrix_file.h"

class MDFA_ResponseMatrix;

namespace zub_internal {

// The file read once and parsed with the property's shape, as load_file
// reads it.
zub_feedback::result<zub_feedback::matrix_file> read_matrix(
    const char* fname, int rows, int cols,
    const file_clock& clock = system_file_clock());

bool load_matrix_file(MDFA_ResponseMatrix& m, const char* fname,
                      const file_clock& clock);

}  // namespace zub_internal

#endif  // ZUB_FEEDBACK_LOAD_FILE_H
