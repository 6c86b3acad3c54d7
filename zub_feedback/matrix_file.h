// Internal: how a response-matrix file reads. load_file and the command-line
// tools share this one code, so that a tool never tells an operator
// something that the loader does not do. Not installed.
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

class MDFA_ResponseMatrix;

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
// size its status gives (files under /proc and /sys give none). The file is
// read twice and its status taken before, between and after: only when both
// reads give the same bytes and the status did not move is the result `ok`,
// so that `bytes` is one version of the file even where time stamps are
// coarse. A file changed less than 2 s ago (by `clock`) is compared once
// more after a pause of 50 ms. Memory: the file's length, plus a fixed
// buffer.
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

// Why a data line does not load into a row of `cols` elements.
enum class line_fault {
  none,
  value_count,   // it does not hold exactly `cols` values
  beyond_float,  // one of them would be stored as a float infinity
};

struct line_check {
  line_fault fault = line_fault::none;
  long long values = 0;        // every value the line holds
  long long first_beyond = 0;  // beyond_float: that value's place, from 1
};

// Reads the values of a data line and checks them as load_file does: it
// loads when it holds exactly `cols` values (text after them, a comment or
// a monitor's name, is ignored) and none of them lies beyond the float
// range. The first `cols` of them are appended to `row`, narrowed to float,
// when `row` is given. `values` is left at the line's end, so that its
// stop() tells where the values ended.
line_check check_data_line(value_reader& values, const file_line& line,
                           long long cols, std::vector<float>* row = nullptr);

// The error message that load_file logs for a line that does not load.
std::string line_fault_message(const file_line& line, const line_check& check,
                               long long cols);

// The whole of MDFA_ResponseMatrix::load_file, with the clock that decides
// whether a recently changed file is looked at again.
bool load_matrix_file(MDFA_ResponseMatrix& m, const char* fname,
                      const file_clock& clock);

}  // namespace zub_internal

#endif  // ZUB_FEEDBACK_MATRIX_FILE_H
