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
#include <utility>
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

// ---------------------------------------------------------------- named
// files
//
// A named file is a matrix file whose leading comment lines name its
// monitors and correctors and carry metadata; load_file skips them all:
//
//   # unit: mm/mrad
//   # monitors: BPM.01 BPM.02 BPM.03
//   # correctors: HC.01 HC.02
//   1.5 0.25
//   ...
//
// A comment line "# KEY: VALUE" (KEY without blanks or colon, directly
// followed by ':' and then a blank or the line's end) is metadata, kept in
// file order; "monitors" and "correctors" hold the names, separated by
// blanks. Any other comment line is ignored, as load_file ignores it.

struct named_matrix {
  matrix values;
  // One name per row and per column, or none.
  std::vector<std::string> monitors;
  std::vector<std::string> correctors;
  // KEY: VALUE pairs but the names, in file order.
  std::vector<std::pair<std::string, std::string>> metadata;

  // The index of a name, or a refusal (bad_argument) that says that there
  // is none: the matrix has no names, or not this one.
  ZUB_FEEDBACK_API result<std::size_t> monitor_index(
      const std::string& name) const;
  ZUB_FEEDBACK_API result<std::size_t> corrector_index(
      const std::string& name) const;
};

// parse_matrix_text without a shape, then the names and metadata. Refused
// with the parse's refusal, or with bad_names naming the line when a list
// of names does not hold one name per row (monitors) or column
// (correctors), a name repeats, a key repeats, or names stand after the
// first data line (a "# key: value" line there is a comment, as before).
// A file without names reads with empty lists.
ZUB_FEEDBACK_API result<named_matrix> parse_named_matrix_text(
    const std::string& text);
// read_text_file, then parse_named_matrix_text.
ZUB_FEEDBACK_API result<named_matrix> read_named_matrix_file(
    const std::string& path);

// The metadata lines, the names and then matrix_text(m.values); refused
// (bad_argument) for an empty name or one with blanks, a repeated name,
// another count of names than of rows or columns, a key that is empty,
// holds a blank or a colon, or repeats (the names' keys included), or a
// value with a line break. Blanks around a value are not kept.
ZUB_FEEDBACK_API result<std::string> named_matrix_text(const named_matrix& m);

// write_matrix_file for a named matrix: refused as named_matrix_text is and
// as write_matrix_file is, before anything is written.
ZUB_FEEDBACK_API status write_named_matrix_file(const std::string& path,
                                                const named_matrix& m);

}  // namespace zub_feedback

#endif  // ZUB_FEEDBACK_MATRIX_IO_H
