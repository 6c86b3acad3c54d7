// The numeric core's response-matrix files, both ways: reading a file once
// into memory, parsing it with a diagnosis that names the line, and writing
// it atomically. The format is the one the property's load_file reads:
// one line of numbers per monitor, "#" at the very start of a line for a
// comment. Framework-free.
#ifndef ZUB_FEEDBACK_MATRIX_IO_H
#define ZUB_FEEDBACK_MATRIX_IO_H

#include <cstddef>
#include <string>

#include "matrix.h"
#include "result.h"
#include "zub_feedback_export.h"

namespace zub_feedback {

// The shape a caller expects: rows = monitors, cols = correctors.
struct matrix_shape {
  std::size_t rows = 0;
  std::size_t cols = 0;
};

struct matrix_file {
  matrix values;
  // The bytes up to the end of the last data line, as load_file counts
  // them in its closing message.
  long long bytes = 0;
};

// Parses a file's text. With an expected shape, the file must have exactly
// that many data lines and each must hold exactly that many values, as
// load_file requires: the refusal carries load_file's message and a detail
// that names the first line at fault, the last line included. Without one,
// the shape is what the file holds.
ZUB_FEEDBACK_API result<matrix_file> parse_matrix_text(const std::string& text);
ZUB_FEEDBACK_API result<matrix_file> parse_matrix_text(const std::string& text,
                                                       matrix_shape expected);

// Reads the file once (a file that changes while it is read is refused)
// and parses it as above.
ZUB_FEEDBACK_API result<matrix_file> read_matrix_file(const std::string& path);
ZUB_FEEDBACK_API result<matrix_file> read_matrix_file(const std::string& path,
                                                      matrix_shape expected);

// The text of a matrix: one line per row, values separated by one blank,
// nine significant digits, which give every float back exactly.
ZUB_FEEDBACK_API std::string matrix_text(const_matrix_view m);

// Writes the text beside `path` and renames it into place, so that a reader
// sees the old file or the new one, never a part.
ZUB_FEEDBACK_API status write_matrix_file(const std::string& path,
                                          const_matrix_view m);

}  // namespace zub_feedback

#endif  // ZUB_FEEDBACK_MATRIX_IO_H
