// Internal: the core's file unit, the one place that decides how a
// response-matrix file reads and how one is written. load_file, the core's
// matrix_io functions and through them the command-line tools run this one
// code, so that a tool never tells an operator something that the loader
// does not do. Framework-free. Not installed.
//
// A file is read whole, once, and both of the loader's passes run over that
// one copy. Its lines end at LF; a line whose first byte is '#' is a comment,
// every other line (an empty one too) is a data line. The values of a data
// line are read from its start as formatted extraction of a double reads
// them under the global locale, until the first thing that is not a number.
#ifndef ZUB_FEEDBACK_MATRIX_FILE_H
#define ZUB_FEEDBACK_MATRIX_FILE_H

#include <time.h>

#include <cstddef>
#include <istream>
#include <streambuf>
#include <string>
#include <vector>

#include "matrix.h"
#include "matrix_io.h"
#include "result.h"

namespace zub_internal {

// The time that read_file_once takes for now, and how it waits: the
// system's real-time clock and a sleep, or, in tests, fuzzers and
// benchmarks, a clock of their own that sees both paths without sleeping.
class file_clock {
 public:
  virtual ~file_clock() = default;
  virtual struct timespec now() const = 0;
  virtual void pause(long nanoseconds) const = 0;
};
const file_clock& system_file_clock();

enum class file_read_result {
  ok,
  cannot_read,  // missing, no permission, not a regular file, read error
  changed,      // the file changed while it was being read
};

// Reads the regular file `path` whole into `bytes`, to its end whatever
// size its status gives (files under /proc and /sys give none), through one
// descriptor. Its status is taken before and after: a file whose status
// moved is `changed`. A file that changed less than 2 s ago, by its
// modification time or by its status change time, each judged on its own
// against `clock`, may be in the middle of a rewrite that leaves the status
// as it is on a coarse clock: it is read a second time and compared, and
// once more after a pause of 50 ms. Any other file is read once. Memory:
// the file's length, plus a fixed buffer.
file_read_result read_file_once(const char* path, std::string& bytes,
                                const file_clock& clock = system_file_clock());

// One line of a file, without its line feed.
struct file_line {
  const char* begin = nullptr;
  const char* end = nullptr;
  long long number = 0;      // counted from 1
  long long end_offset = 0;  // bytes of the file up to and with its LF
  bool is_comment() const { return begin != end && *begin == '#'; }
};

// The lines of a text in memory, first to last. A text that ends with LF
// has no empty line after it; one that does not ends with its last line.
class line_cursor {
 public:
  explicit line_cursor(const std::string& text)
      : base_(text.data()),
        next_(text.data()),
        end_(text.data() + text.size()) {}
  bool next(file_line& line);

 private:
  const char* base_;
  const char* next_;
  const char* end_;
  long long number_ = 0;
};

// Reads the values of one data line after another. Formatted extraction is
// used as it is, except that a number longer than kLongNumber characters
// (under a locale with '.' and no digit grouping) is read from an exact
// shortened equivalent: the stream would otherwise collect the whole of it in
// memory, and one number may be as long as the file.
class value_reader {
 public:
  static constexpr std::ptrdiff_t kLongNumber = 1024;

  value_reader();
  value_reader(const value_reader&) = delete;
  value_reader& operator=(const value_reader&) = delete;

  // Starts on a line; next() then yields its values in order.
  void start(const file_line& line);
  bool next(double& val);
  // After next() returned false: where the first thing that did not read as
  // a number begins (blanks skipped), or the line's end when nothing did.
  const char* stop() const { return stop_; }

 private:
  // Shows a span of memory to the stream, without copying it.
  class span_buffer : public std::streambuf {
   public:
    void show(const char* begin, const char* end) {
      setg(const_cast<char*>(begin), const_cast<char*>(begin),
           const_cast<char*>(end));
    }
    const char* position() const { return gptr(); }
    const char* end() const { return egptr(); }
    void move_to(const char* p) {
      setg(eback(), const_cast<char*>(p), egptr());
    }
  };

  bool read_long_number(const char* run_end, double& val);

  span_buffer buffer_;
  std::istream in_;
  bool plain_locale_;
  const char* run_end_ = nullptr;  // end of the last run of number bytes
  const char* stop_ = nullptr;
};

// The shape that load_file compares with the matrix's: the number of data
// lines, and the number of values on the last of them. `bytes` is the length
// of the text up to the end of that last data line, its LF included when it
// has one.
struct text_shape {
  long long rows = 0;
  long long cols = 0;
  long long bytes = 0;
};
text_shape measure_text(const std::string& text);

// A data line read against a row of `cols` values.
struct line_reading {
  long long values = 0;        // every value the line holds
  long long first_beyond = 0;  // the first of the first `cols` that a float
                               // cannot hold, from 1; 0 for none
  const char* beyond_at = nullptr;  // where that value begins
  const char* extra_at = nullptr;   // where value cols + 1 begins, if any
  const char* stop = nullptr;       // where the values end
  // As load_file requires: exactly `cols` values, each within the float
  // range. Text after them (a comment, a monitor's name) is ignored.
  bool loads(long long cols) const {
    return values == cols && first_beyond == 0;
  }
};

// Reads the values of a data line as load_file does. The first `cols` of
// them are appended to `row`, narrowed to float, when `row` is given.
line_reading read_data_line(value_reader& values, const file_line& line,
                            long long cols, std::vector<double>* row = nullptr);

// Why a data line does not load as a row of `cols` values: load_file's
// message for it, and a detail that names the line and what was found.
// `after_last_row`: no data line after it holds anything but blanks.
zub_feedback::refusal line_refusal(const file_line& line,
                                   const line_reading& reading, long long cols,
                                   bool after_last_row);

// The core's parse, with the matrix's shape as load_file sees it (the
// property's dimensions are ints, and may be anything), and without one.
zub_feedback::result<zub_feedback::matrix_file> parse_text(
    const std::string& text, long long rows, long long cols);
zub_feedback::result<zub_feedback::matrix_file> parse_text(
    const std::string& text);
zub_feedback::matrix_text_diagnosis diagnose_text(const std::string& text);

// A named file: parse_text without a shape, then the names and metadata of
// its comment lines (matrix_io.h says which).
zub_feedback::result<zub_feedback::named_matrix> parse_named_text(
    const std::string& text);

// read_file_once, with load_file's message and an operator's reason when the
// file is not read.
zub_feedback::result<std::string> read_text(
    const char* path, const file_clock& clock = system_file_clock());

// ---------------------------------------------------------------- writing

// The matrix as text: one line per row, values separated by one blank, each
// with nine significant digits.
std::string format_matrix(zub_feedback::const_matrix_view m);

struct write_result {
  bool ok = true;
  std::string failed;  // the file that could not be written (PATH.part or PATH)
  int error = 0;       // errno of the failure, 0 where none is known
};
// "cannot write FILE", with the reason where it is known.
std::string write_failure_text(const write_result& w);

// Writes `text` to PATH.part, flushes it to the disk, renames it over `path`
// and flushes the directory. On a failure neither PATH.part is left nor
// PATH changed.
write_result write_file_atomically(const std::string& path,
                                   const std::string& text);

// The matrix's text, written atomically; refused before anything is written
// when load_file would not read it back.
zub_feedback::status write_matrix(const std::string& path,
                                  zub_feedback::const_matrix_view m);

// The metadata and name lines of a named matrix, refused (bad_argument)
// when they would not read back as they are.
zub_feedback::result<std::string> format_named_header(
    const zub_feedback::named_matrix& m);

// The header and the matrix's text, written as write_matrix writes.
zub_feedback::status write_named_matrix(const std::string& path,
                                        const zub_feedback::named_matrix& m);

}  // namespace zub_internal

#endif  // ZUB_FEEDBACK_MATRIX_FILE_H
