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

#include <cstddef>
#include <istream>
#include <streambuf>
#include <string>

namespace zub_internal {

enum class file_read_result {
  ok,
  cannot_read,  // missing, no permission, not a regular file, read error
  changed,      // the file changed while it was being read
};

// Reads the regular file `path` whole into `bytes`. The file is read twice
// and its status taken before, between and after: only when both reads give
// the same bytes and the status did not move is the result `ok`, so that
// `bytes` is one version of the file even where time stamps are coarse.
// Memory: the file's size, plus a fixed buffer.
file_read_result read_file_once(const char* path, std::string& bytes);

// One line of a file, without its line feed.
struct file_line {
  const char* begin = nullptr;
  const char* end = nullptr;
  long long number = 0;       // counted from 1
  long long end_offset = 0;   // bytes of the file up to and with its LF
  bool is_comment() const { return begin != end && *begin == '#'; }
};

// The lines of a text in memory, first to last. A text that ends with LF
// has no empty line after it; one that does not ends with its last line.
class line_cursor {
 public:
  explicit line_cursor(const std::string& text)
      : base_(text.data()), next_(text.data()), end_(text.data() + text.size()) {}
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
    void move_to(const char* p) { setg(eback(), const_cast<char*>(p), egptr()); }
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

}  // namespace zub_internal

#endif  // ZUB_FEEDBACK_MATRIX_FILE_H
