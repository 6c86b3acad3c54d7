// The numeric core's response-matrix files, both ways: reading a file once
// into memory, parsing it with a diagnosis that names the line, and writing
// it atomically. The format is the one the property's load_file reads:
// one line of numbers per monitor, "#" at the very start of a line for a
// comment. Framework-free.
//
// The values are read exactly as load_file reads them (formatted extraction
// of a double under the global locale) and narrowed to float, as the
// property stores them: the matrix holds those floats as doubles, so that a
// value copied back into the property has the very bits that load_file
// would have stored.
#ifndef ZUB_FEEDBACK_MATRIX_IO_H
#define ZUB_FEEDBACK_MATRIX_IO_H

#include <cstddef>
#include <string>
#include <vector>

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

// What a text holds when no shape is expected: rows = its data lines, cols =
// the count of values that most of its data lines hold (among the lines
// that hold any; on a tie, the count met last in the file), 0 when no line
// holds a value.
struct matrix_text_diagnosis {
  matrix_shape shape;
  // The data lines that do not load as a row of shape.cols values, in file
  // order, each as the refusal that load_file would give for it: code
  // bad_line or beyond_float, load_file's message, the line, the value's
  // place, the text found, and a detail that says why. The first 1000 of
  // them; more_lines counts the others.
  std::vector<refusal> lines;
  long long more_lines = 0;
  // What explains the shape as a whole, or empty: every data line holding
  // one value before a comma (decimal commas), or no line holding a value.
  std::string note;
};

// Parses a file's text. With an expected shape, the file must have exactly
// that many data lines and each must hold exactly that many values, as
// load_file requires: the refusal carries load_file's message, in its order
// of checks, and a detail that names the first line at fault, the last line
// included (`line 40: "NaN" is not a number; it holds 7 values, not 20`).
// Without one, the shape is the diagnosis' shape and the refusal names the
// first of its lines.
ZUB_FEEDBACK_API result<matrix_file> parse_matrix_text(const std::string& text);
ZUB_FEEDBACK_API result<matrix_file> parse_matrix_text(const std::string& text,
                                                       matrix_shape expected);

// Every line of a text that keeps it from loading, and its shape.
ZUB_FEEDBACK_API matrix_text_diagnosis
diagnose_matrix_text(const std::string& text);

// Reads a regular file whole into memory, once, as load_file reads it: a
// file that changes while it is read is refused (file_changed), one that is
// missing, unreadable or not a regular file too (cannot_read), each with
// load_file's message and a detail that says why.
ZUB_FEEDBACK_API result<std::string> read_text_file(const std::string& path);

// read_text_file, then parse_matrix_text.
ZUB_FEEDBACK_API result<matrix_file> read_matrix_file(const std::string& path);
ZUB_FEEDBACK_API result<matrix_file> read_matrix_file(const std::string& path,
                                                      matrix_shape expected);

// The text of a matrix: one line per row, values separated by one blank,
// nine significant digits, which give every float back exactly.
ZUB_FEEDBACK_API std::string matrix_text(const_matrix_view m);

// Writes matrix_text(m) to PATH.part beside `path`, flushed to the disk, and
// renames it over `path`, so that a reader sees the old file or the new one,
// never a part. A matrix that load_file would not read back is refused
// before anything is written: an element that is not finite (not_finite)
// or beyond the float range (beyond_float). A failed write (cannot_write)
// leaves `path` as it was and no PATH.part.
ZUB_FEEDBACK_API status write_matrix_file(const std::string& path,
                                          const_matrix_view m);

}  // namespace zub_feedback

#endif  // ZUB_FEEDBACK_MATRIX_IO_H
