#include "matrix_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <locale>
#include <map>
#include <sstream>
#include <vector>

#include "message_text.h"

namespace zub_internal {

// ---------------------------------------------------------------- reading a
// file

namespace {

// Owns an open file descriptor; -1 stands for none.
class file_descriptor {
 public:
  explicit file_descriptor(int fd) : fd_(fd) {}
  ~file_descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  file_descriptor(const file_descriptor&) = delete;
  file_descriptor& operator=(const file_descriptor&) = delete;
  int get() const { return fd_; }
  // Closes now, for a writer to learn of a failure that only the close
  // reports: 0, or -1 with errno set.
  int close() {
    const int fd = fd_;
    fd_ = -1;
    return ::close(fd);
  }

 private:
  int fd_;
};

// Opens a regular file for reading. A FIFO, a device or a directory is
// refused before it is read: opening or reading one may block or never end.
int open_regular_file(const char* path, struct stat& st) {
  int fd;
  do {
    fd = ::open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return -1;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// Reads up to n bytes at `offset`; fewer only at the end of the file. -1 on
// a read error.
long long read_at(int fd, char* p, size_t n, long long offset) {
  size_t got = 0;
  while (got < n) {
    const ssize_t k =
        ::pread(fd, p + got, n - got, static_cast<off_t>(offset + got));
    if (k < 0 && errno == EINTR) continue;
    if (k < 0) return -1;
    if (k == 0) break;
    got += static_cast<size_t>(k);
  }
  return static_cast<long long>(got);
}

bool same_status(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino &&
         a.st_size == b.st_size && a.st_mtim.tv_sec == b.st_mtim.tv_sec &&
         a.st_mtim.tv_nsec == b.st_mtim.tv_nsec &&
         a.st_ctim.tv_sec == b.st_ctim.tv_sec &&
         a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

// Whether the file holds `bytes` now: 1 yes, 0 no, -1 a read error.
int holds(int fd, const std::string& bytes) {
  std::vector<char> chunk(64 * 1024);
  const long long size = static_cast<long long>(bytes.size());
  for (long long offset = 0; offset < size;) {
    const size_t want =
        static_cast<size_t>(std::min<long long>(size - offset, chunk.size()));
    const long long k = read_at(fd, chunk.data(), want, offset);
    if (k < 0) return -1;
    if (k != static_cast<long long>(want) ||
        std::memcmp(chunk.data(), bytes.data() + offset, want) != 0) {
      return 0;
    }
    offset += k;
  }
  char extra;
  const long long more = read_at(fd, &extra, 1, size);
  if (more < 0) return -1;
  return more == 0 ? 1 : 0;
}

double seconds(const struct timespec& t) {
  return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

// A file changed this recently may be in the middle of a rewrite whose
// writer is paused (preempted, or held back by the kernel's write-back):
// two reads in a row then agree on a mix. Such a file is compared once more
// after kSettle. kRecent covers time stamps as coarse as a second. A time
// stamp in the future (clock skew, a network file system) is not taken for
// a file being written: it would cost the pause at every load. Each stamp
// counts on its own: a modification time set into the future (touch -d,
// an archive's time) must not hide a status change a moment ago.
constexpr double kRecent = 2.0;
constexpr long kSettleNanoseconds = 50 * 1000 * 1000;

bool recent(const struct timespec& stamp, double now) {
  const double age = now - seconds(stamp);
  return age >= 0.0 && age < kRecent;
}

bool changed_recently(const struct stat& st, const file_clock& clock) {
  const double now = seconds(clock.now());
  return recent(st.st_mtim, now) || recent(st.st_ctim, now);
}

// Reads the file from its start to its end into `bytes`. The size that its
// status gave is where the first read stops; files under /proc and /sys
// give a size that is not their length, so the reading goes on to the end.
bool read_to_end(int fd, long long size, std::string& bytes) {
  bytes.assign(static_cast<size_t>(size), '\0');
  const long long got = read_at(fd, &bytes[0], bytes.size(), 0);
  if (got < 0) return false;
  bytes.resize(static_cast<size_t>(got));
  char chunk[64 * 1024];
  for (;;) {
    const long long k =
        read_at(fd, chunk, sizeof chunk, static_cast<long long>(bytes.size()));
    if (k < 0) return false;
    if (k == 0) return true;
    bytes.append(chunk, static_cast<size_t>(k));
  }
}

class system_clock final : public file_clock {
 public:
  struct timespec now() const override {
    struct timespec t {};
    ::clock_gettime(CLOCK_REALTIME, &t);
    return t;
  }
  void pause(long nanoseconds) const override {
    struct timespec left {
      0, nanoseconds
    };
    while (::nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
  }
};

}  // namespace

const file_clock& system_file_clock() {
  static const system_clock clock;
  return clock;
}

file_read_result read_file_once(const char* path, std::string& bytes,
                                const file_clock& clock) {
  struct stat before {};
  const file_descriptor fd(open_regular_file(path, before));
  if (fd.get() < 0) return file_read_result::cannot_read;

  // A file that shrinks or grows meanwhile fails the comparisons below.
  if (!read_to_end(fd.get(), before.st_size, bytes)) {
    return file_read_result::cannot_read;
  }

  struct stat between {};
  if (::fstat(fd.get(), &between) != 0) return file_read_result::cannot_read;
  if (!same_status(before, between)) return file_read_result::changed;
  // A write during the read would have stamped the file with a time that is
  // recent now.
  if (!changed_recently(between, clock)) return file_read_result::ok;

  // The second read compares: a rewrite in place within one tick of a
  // coarse clock leaves the status as it was.
  int same = holds(fd.get(), bytes);
  if (same == 1) {
    clock.pause(kSettleNanoseconds);
    same = holds(fd.get(), bytes);
  }
  if (same < 0) return file_read_result::cannot_read;
  struct stat after {};
  if (::fstat(fd.get(), &after) != 0) return file_read_result::cannot_read;
  if (same == 0 || !same_status(before, after)) {
    return file_read_result::changed;
  }
  return file_read_result::ok;
}

// ---------------------------------------------------------------- lines

bool line_cursor::next(file_line& line) {
  if (next_ == end_) return false;
  const char* lf =
      static_cast<const char*>(std::memchr(next_, '\n', end_ - next_));
  line.begin = next_;
  line.end = lf != nullptr ? lf : end_;
  next_ = lf != nullptr ? lf + 1 : end_;
  line.number = ++number_;
  line.end_offset = next_ - base_;
  return true;
}

// ---------------------------------------------------------------- values

namespace {

// Bytes that formatted extraction of a double may take into a number under
// a locale with '.' and no digit grouping.
bool number_byte(char c) {
  return (c >= '0' && c <= '9') || c == '.' || c == 'e' || c == 'E' ||
         c == '+' || c == '-';
}

// Significant digits kept of a long number. A double's correct rounding
// depends on at most 767 of them and on whether any non-zero digit follows;
// the shortened form keeps 800 and one 1 for all that follow.
constexpr size_t kSignificantDigits = 800;

// An exponent's magnitude is saturated here: anything larger overflows or
// underflows whatever the digits before it, as it does unsaturated.
constexpr long long kExponentLimit = 1000000000000000LL;

}  // namespace

value_reader::value_reader() : in_(&buffer_) {
  const auto& punct = std::use_facet<std::numpunct<char>>(in_.getloc());
  plain_locale_ = punct.decimal_point() == '.' && punct.grouping().empty();
}

void value_reader::start(const file_line& line) {
  buffer_.show(line.begin, line.end);
  in_.clear();
  run_end_ = line.begin;
  stop_ = line.begin;
}

bool value_reader::next(double& val) {
  if (in_.fail()) return false;  // an earlier value ended the line
  in_ >> std::ws;
  const char* p = buffer_.position();
  stop_ = p;
  if (p == buffer_.end()) {
    in_.setstate(std::ios_base::failbit);
    return false;
  }
  if (plain_locale_) {
    // Within the run of number bytes measured last, the run ends where it
    // did: each byte of a line is measured once.
    if (run_end_ <= p) {
      run_end_ = p;
      while (run_end_ != buffer_.end() && number_byte(*run_end_)) ++run_end_;
    }
    if (run_end_ - p > kLongNumber) {
      if (read_long_number(run_end_, val)) return true;
      in_.setstate(std::ios_base::failbit);
      return false;
    }
  }
  return static_cast<bool>(in_ >> val);
}

// What formatted extraction takes of [position, run_end): an optional sign;
// digits with at most one '.', at least one digit; then, after a digit, an
// optional e or E with an optional sign and digits (none makes the number
// fail). A second '.', a sign or an 'e' after the exponent ends it. The
// value is that of the same decimal with its significant digits cut to
// kSignificantDigits and a sticky 1, read by the stream itself.
bool value_reader::read_long_number(const char* run_end, double& val) {
  const char* q = buffer_.position();
  bool negative = false;
  if (*q == '+' || *q == '-') {
    negative = *q == '-';
    ++q;
  }
  // value = 0.digits x 10^e10 (x 10^exponent)
  std::string digits;
  bool sticky = false;
  long long e10 = 0;
  bool started = false;
  bool mantissa = false;
  bool dec = false;
  for (; q != run_end; ++q) {
    const char c = *q;
    if (c >= '0' && c <= '9') {
      mantissa = true;
      if (!started && c == '0') {
        if (dec) --e10;
        continue;
      }
      started = true;
      if (!dec) ++e10;
      if (digits.size() < kSignificantDigits) {
        digits += c;
      } else if (c != '0') {
        sticky = true;
      }
    } else if (c == '.' && !dec) {
      dec = true;
    } else {
      break;
    }
  }
  if (!mantissa) return false;
  long long exponent = 0;
  if (q != run_end && (*q == 'e' || *q == 'E')) {
    ++q;
    bool exponent_negative = false;
    if (q != run_end && (*q == '+' || *q == '-')) {
      exponent_negative = *q == '-';
      ++q;
    }
    const char* first = q;
    for (; q != run_end && *q >= '0' && *q <= '9'; ++q) {
      exponent = std::min(exponent * 10 + (*q - '0'), kExponentLimit);
    }
    if (q == first) return false;
    if (exponent_negative) exponent = -exponent;
  }

  std::string shortened = negative ? "-" : "";
  if (digits.empty()) {
    shortened += '0';
  } else {
    shortened += "0." + digits;
    if (sticky) shortened += '1';
    shortened += 'e' + std::to_string(e10 + exponent);
  }
  std::istringstream s(shortened);
  s.imbue(std::locale::classic());
  if (!(s >> val)) return false;
  buffer_.move_to(q);
  return true;
}

// ---------------------------------------------------------------- shape

text_shape measure_text(const std::string& text) {
  text_shape shape;
  file_line line;
  file_line last;
  for (line_cursor lines(text); lines.next(line);) {
    if (line.is_comment()) continue;
    ++shape.rows;
    shape.bytes = line.end_offset;
    last = line;
  }
  if (shape.rows > 0) {
    value_reader values;
    double val;
    values.start(last);
    while (values.next(val)) ++shape.cols;
  }
  return shape;
}

// ---------------------------------------------------------------- a data
// line, and why it does not load

line_reading read_data_line(value_reader& values, const file_line& line,
                            long long cols, std::vector<double>* row) {
  line_reading r;
  values.start(line);
  double val;
  while (values.next(val)) {
    // stop() is where the value just read began.
    if (++r.values > cols) {
      // Under a negative count every value is one too many.
      if (r.values == std::max(cols + 1, 1LL)) r.extra_at = values.stop();
      continue;
    }
    const float f = static_cast<float>(val);
    if (std::isinf(f) && r.first_beyond == 0) {
      r.first_beyond = r.values;
      r.beyond_at = values.stop();
    }
    if (row != nullptr) row->push_back(f);
  }
  r.stop = values.stop();
  return r;
}

namespace {

using zub_feedback::error_code;
using zub_feedback::refusal;

// printf's formatting, whole: a detail is not cut as a logged message is.
__attribute__((format(printf, 1, 2))) std::string printed(const char* format,
                                                          ...) {
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  const int n = std::vsnprintf(nullptr, 0, format, args);
  va_end(args);
  std::string out(n > 0 ? static_cast<size_t>(n) : 0, '\0');
  std::vsnprintf(&out[0], out.size() + 1, format, again);
  va_end(again);
  return out;
}

bool blank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

const char* word_end(const char* p, const char* end) {
  while (p != end && !blank(*p)) ++p;
  return p;
}

// A word of a line as it may be shown: bytes that are not printable as
// \xNN, cut after 20 characters.
std::string shown_word(const char* p, const char* end) {
  std::string out;
  int n = 0;
  for (const char *q = p, *w = word_end(p, end); q != w; ++q) {
    if (++n > 20) {
      out += "...";
      break;
    }
    const unsigned char c = static_cast<unsigned char>(*q);
    if (c < 0x20 || c >= 0x7f) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    } else {
      out += *q;
    }
  }
  return out;
}

bool digit(char c) { return c >= '0' && c <= '9'; }

// Whether a word where formatted extraction stopped is written as a number
// ("-1.5e400"): then it was refused for lying beyond the range of a double.
// Read by its syntax, for a word may be as long as the file.
bool beyond_double(const char* p, const char* end) {
  const char* const w = word_end(p, end);
  if (p != w && (*p == '+' || *p == '-')) ++p;
  const char* const mantissa = p;
  while (p != w && digit(*p)) ++p;
  bool digits = p != mantissa;
  if (p != w && *p == '.') {
    const char* const fraction = ++p;
    while (p != w && digit(*p)) ++p;
    digits = digits || p != fraction;
  }
  if (!digits) return false;
  if (p != w && (*p == 'e' || *p == 'E')) {
    ++p;
    if (p != w && (*p == '+' || *p == '-')) ++p;
    const char* const exponent = p;
    while (p != w && digit(*p)) ++p;
    if (p == exponent) return false;
  }
  return p == w;
}

bool starts_with_bom(const file_line& line) {
  return line.number == 1 && line.end - line.begin >= 3 &&
         std::memcmp(line.begin, "\xEF\xBB\xBF", 3) == 0;
}

std::string count_of(long long n, long long cols) {
  return printed("%lld value%s, not %lld", n, n == 1 ? "" : "s", cols);
}

// Where and why the values of a line end before its end and its comment:
// the text after "line N" in a detail, empty when they do not.
struct values_end {
  long long position = 0;
  std::string text;
  std::string clause;
  bool counted = true;  // whether the line's count says more
};

values_end why_values_end(const file_line& line, const line_reading& r,
                          bool after_last_row) {
  values_end out;
  const char* stop = r.stop;
  if (starts_with_bom(line)) {
    out.position = 1;
    out.text = shown_word(line.begin, line.begin + 3);
    out.clause =
        " starts with a byte-order mark (bytes EF BB BF), so the loader reads "
        "no value from it";
    out.counted = false;
  } else if (r.values == 0 && stop == line.end) {
    out.clause = after_last_row
                     ? " is blank: a blank line after the last row counts "
                       "as a row"
                     : " is blank: a blank line counts as a row";
    out.counted = false;
  } else if (r.values == 0 && *stop == '#') {
    out.position = 1;
    out.text = "#";
    out.clause =
        ": \"#\" after blanks is not a comment: the \"#\" must be the line's "
        "first character";
    out.counted = false;
  } else if (stop != line.end && *stop != '#') {
    const char* word = stop;
    while (word != line.begin && !blank(word[-1])) --word;
    out.position = r.values + 1;
    out.text = shown_word(stop, line.end);
    const std::string whole = shown_word(word, line.end);
    if (beyond_double(stop, line.end)) {
      out.clause = ": \"" + out.text + "\" is beyond the range of a double";
    } else if (*stop == ',' && word != stop) {
      out.clause = ": the \",\" in \"" + whole +
                   "\" is not a number: blanks separate the values, and "
                   "\".\" is the decimal point";
    } else if (word != stop) {
      out.clause =
          ": \"" + out.text + "\" in \"" + whole + "\" is not a number";
    } else {
      out.clause = ": \"" + out.text + "\" is not a number";
    }
  }
  return out;
}

}  // namespace

refusal line_refusal(const file_line& line, const line_reading& r,
                     long long cols, bool after_last_row) {
  refusal out;
  out.line = line.number;
  const std::string where = printed("line %lld", line.number);
  if (r.values == cols) {
    out.code = error_code::beyond_float;
    out.message = message_text(
        "ERROR: value %lld of line %lld is beyond the float range!",
        r.first_beyond, line.number);
    out.position = r.first_beyond;
    out.text = shown_word(r.beyond_at, line.end);
    out.detail = where + printed(": value %lld, \"", r.first_beyond) +
                 out.text + "\", is beyond the float range";
    return out;
  }
  out.code = error_code::bad_line;
  out.message = message_text("ERROR: line %lld has %lld values, not %lld!",
                             line.number, r.values, cols);
  if (r.values > cols) {
    // Under a negative count a line without any value holds too many too,
    // and has none to show.
    if (r.extra_at != nullptr) {
      out.position = std::max(cols + 1, 1LL);
      out.text = shown_word(r.extra_at, line.end);
    }
    out.detail = where + " holds " + count_of(r.values, cols);
    return out;
  }
  const values_end why = why_values_end(line, r, after_last_row);
  out.position = why.position;
  out.text = why.text;
  out.detail = where + why.clause;
  if (why.counted) {
    out.detail += (why.clause.empty() ? " holds " : "; it holds ") +
                  count_of(r.values, cols);
  }
  return out;
}

// ---------------------------------------------------------------- parsing

namespace {

using zub_feedback::matrix_file;
using zub_feedback::result;

// Whether a data line after `line` holds anything but blanks.
bool filled_line_after(const std::string& text, const file_line& line) {
  const char* const end = text.data() + text.size();
  bool comment = false;
  for (const char* p = line.end; p != end; ++p) {
    if (*p == '\n') {
      comment = p + 1 != end && p[1] == '#';
    } else if (!comment && !blank(*p)) {
      return true;
    }
  }
  return false;
}

// The first data line that does not load as a row of `cols` values and
// passes `wanted`, as its refusal; a refusal with line 0 when there is none.
template <class Wanted>
refusal first_fault(const std::string& text, long long cols, Wanted wanted) {
  value_reader values;
  file_line line;
  for (line_cursor lines(text); lines.next(line);) {
    if (line.is_comment()) continue;
    const line_reading r = read_data_line(values, line, cols);
    if (!r.loads(cols) && wanted(r)) {
      return line_refusal(line, r, cols, !filled_line_after(text, line));
    }
  }
  return refusal{};
}

// The file line of data line n (from 1); 0 when there is none.
long long data_line(const std::string& text, long long n) {
  file_line line;
  long long row = 0;
  for (line_cursor lines(text); lines.next(line);) {
    if (!line.is_comment() && ++row == n) return line.number;
  }
  return 0;
}

// The refusal of a shape check, with the first line at fault as its detail.
refusal shape_refusal(error_code code, std::string message,
                      const refusal& fault) {
  refusal out = fault;
  out.code = code;
  out.message = std::move(message);
  return out;
}

refusal rows_refusal(const std::string& text, const text_shape& shape,
                     long long rows, long long cols) {
  std::string message = message_text(
      "ERROR: No. rows (%lld) do not match no. of monitors (%lld)!", shape.rows,
      rows);
  // Too many: a blank line, a row split in two, a line of text. Too few:
  // rows joined on one line.
  const refusal fault =
      shape.rows > rows
          ? first_fault(text, cols, [](const line_reading&) { return true; })
          : first_fault(text, cols, [cols](const line_reading& r) {
              return r.values > cols;
            });
  if (fault.line != 0) {
    return shape_refusal(error_code::bad_rows, std::move(message), fault);
  }
  refusal out;
  out.code = error_code::bad_rows;
  out.message = std::move(message);
  out.line = data_line(text, rows + 1);  // 0 when the file has fewer
  const std::string held =
      printed("the file holds %lld data line%s, not %lld", shape.rows,
              shape.rows == 1 ? "" : "s", rows);
  out.detail =
      out.line != 0
          ? printed("line %lld is data line %lld: ", out.line, rows + 1) + held
          : held;
  return out;
}

refusal cols_refusal(const std::string& text, const text_shape& shape,
                     long long cols) {
  std::string message = message_text(
      "ERROR: No. columns (%lld) do not match no. of actuators (%lld)!",
      shape.cols, cols);
  const refusal fault =
      first_fault(text, cols, [](const line_reading&) { return true; });
  if (fault.line != 0) {
    return shape_refusal(error_code::bad_cols, std::move(message), fault);
  }
  refusal out;
  out.code = error_code::bad_cols;
  out.message = std::move(message);
  out.detail = "the file holds no data line";
  return out;
}

}  // namespace

result<matrix_file> parse_text(const std::string& text, long long rows,
                               long long cols) {
  // load_file's order: the number of data lines, the values on the last of
  // them, then each data line in turn.
  const text_shape shape = measure_text(text);
  if (shape.rows != rows) return rows_refusal(text, shape, rows, cols);
  if (shape.cols != cols) return cols_refusal(text, shape, cols);

  // The staging grows with what the file holds, not with what the shape
  // promises: each value takes at least two bytes but the last.
  const long long cap = static_cast<long long>(text.size() / 2 + 1);
  std::vector<double> staged;
  staged.reserve(
      static_cast<size_t>(cols == 0 || rows <= cap / cols ? rows * cols : cap));
  value_reader values;
  file_line line;
  for (line_cursor lines(text); lines.next(line);) {
    if (line.is_comment()) continue;
    const line_reading r = read_data_line(values, line, cols, &staged);
    if (!r.loads(cols)) {
      return line_refusal(line, r, cols, !filled_line_after(text, line));
    }
  }
  matrix_file out;
  out.values = zub_feedback::matrix(static_cast<size_t>(rows),
                                    static_cast<size_t>(cols));
  std::copy(staged.begin(), staged.end(), out.values.data());
  out.bytes = shape.bytes;
  return out;
}

namespace {

// What one pass over a text's data lines finds, for the shape without one.
struct line_counts {
  long long rows = 0;
  long long cols = 0;  // the count most lines hold; 0 when none holds one
  long long last_filled = 0;  // file line of the last data line not blank
  file_line first_filled;     // the first data line not blank
  file_line first_comma;      // the first whose values end at a comma
};

line_counts count_lines(const std::string& text) {
  // A tie goes to the count met last, so that where the lines cannot
  // decide, the last one decides, as for load_file.
  struct tally {
    long long lines = 0;
    long long last = 0;  // the data line that held it last
  };
  std::map<long long, tally> counts;
  line_counts out;
  value_reader values;
  file_line line;
  for (line_cursor lines(text); lines.next(line);) {
    if (line.is_comment()) continue;
    ++out.rows;
    const line_reading r = read_data_line(values, line, LLONG_MAX);
    if (r.stop != line.end || r.values != 0) {
      out.last_filled = line.number;
      if (out.first_filled.number == 0) out.first_filled = line;
    }
    if (r.values == 0) continue;
    tally& t = counts[r.values];
    ++t.lines;
    t.last = out.rows;
    if (out.first_comma.number == 0 && r.stop != line.end && *r.stop == ',') {
      out.first_comma = line;
    }
  }
  tally best;
  for (const auto& c : counts) {
    if (c.second.lines > best.lines ||
        (c.second.lines == best.lines && c.second.last > best.last)) {
      out.cols = c.first;
      best = c.second;
    }
  }
  return out;
}

// The data lines that do not load as rows of c.cols values: the first
// `listed` of them as refusals, the others counted.
void find_faults(const std::string& text, const line_counts& c, size_t listed,
                 zub_feedback::matrix_text_diagnosis& out) {
  value_reader values;
  file_line line;
  for (line_cursor lines(text); lines.next(line);) {
    if (line.is_comment()) continue;
    const line_reading r = read_data_line(values, line, c.cols);
    if (r.loads(c.cols)) continue;
    if (out.lines.size() < listed) {
      out.lines.push_back(
          line_refusal(line, r, c.cols, line.number > c.last_filled));
    } else {
      ++out.more_lines;
    }
  }
}

// So many lines at fault are listed; a text of a million blank lines must
// not cost a refusal each.
constexpr size_t kListedLines = 1000;

}  // namespace

zub_feedback::matrix_text_diagnosis diagnose_text(const std::string& text) {
  const line_counts c = count_lines(text);
  zub_feedback::matrix_text_diagnosis out;
  out.shape.rows = static_cast<size_t>(c.rows);
  out.shape.cols = static_cast<size_t>(c.cols);
  find_faults(text, c, kListedLines, out);

  value_reader values;
  if (c.rows > 0 && c.cols == 0) {
    out.note = "no data line holds a value";
    if (c.first_filled.number != 0) {
      const file_line& line = c.first_filled;
      const values_end why =
          why_values_end(line, read_data_line(values, line, 0), false);
      out.note += printed(" (line %lld", line.number) + why.clause + ")";
    }
  } else if (c.cols == 1 && out.lines.empty() && c.first_comma.number != 0) {
    // One value a line, ended by a comma: "1,5 2,0" reads as 1.
    const file_line& line = c.first_comma;
    const char* const stop = read_data_line(values, line, 1).stop;
    const char* word = stop;
    while (word != line.begin && !blank(word[-1])) --word;
    const std::string whole = shown_word(word, line.end);
    out.note = printed(
        "every data line holds one value; on line %lld it ends at a comma "
        "(\"%s\"): decimal commas? The loader reads \"%s\" as %.*s, as "
        "\".\" is the decimal point",
        line.number, whole.c_str(), whole.c_str(),
        static_cast<int>(stop - word), word);
  }
  return out;
}

result<matrix_file> parse_text(const std::string& text) {
  const line_counts c = count_lines(text);
  zub_feedback::matrix_text_diagnosis d;
  find_faults(text, c, 1, d);
  if (d.lines.empty()) return parse_text(text, c.rows, c.cols);
  refusal first = std::move(d.lines.front());
  if (d.more_lines > 0) {
    first.detail +=
        printed("; %lld more line%s do%s not load", d.more_lines,
                d.more_lines == 1 ? "" : "s", d.more_lines == 1 ? "es" : "");
  }
  return first;
}

// ---------------------------------------------------------------- named
// files

namespace {

// A comment line's "KEY: VALUE": the key a run without blanks or colon
// after the '#' and any blanks, directly followed by ':' and then a blank
// or the line's end; the value without the blanks around it.
bool key_value_line(const file_line& line, std::string& key,
                    std::string& value) {
  const char* p = line.begin + 1;
  while (p != line.end && blank(*p)) ++p;
  const char* const key_begin = p;
  while (p != line.end && !blank(*p) && *p != ':') ++p;
  if (p == key_begin || p == line.end || *p != ':') return false;
  const char* const key_end = p++;
  if (p != line.end && !blank(*p)) return false;
  while (p != line.end && blank(*p)) ++p;
  const char* end = line.end;
  while (end != p && blank(end[-1])) --end;
  key.assign(key_begin, key_end);
  value.assign(p, end);
  return true;
}

std::vector<std::string> split_names(const std::string& value) {
  std::vector<std::string> out;
  const char* p = value.data();
  const char* const end = p + value.size();
  while (p != end) {
    while (p != end && blank(*p)) ++p;
    const char* const w = word_end(p, end);
    if (w != p) out.emplace_back(p, w);
    p = w;
  }
  return out;
}

// The first name that repeats: its places, from 0, or {0, 0} for none.
std::pair<size_t, size_t> repeated_name(const std::vector<std::string>& names) {
  std::map<std::string, size_t> seen;
  for (size_t k = 0; k < names.size(); ++k) {
    const auto placed = seen.emplace(names[k], k);
    if (!placed.second) return {placed.first->second, k};
  }
  return {0, 0};
}

refusal names_refusal(long long line, std::string message, std::string detail) {
  refusal out;
  out.code = error_code::bad_names;
  out.line = line;
  out.message = std::move(message);
  out.detail = printed("line %lld", line) + detail;
  return out;
}

// A list of names and the line that gave it.
struct name_line {
  long long line = 0;
  std::vector<std::string> names;
};

// `one`, `many`: what the file holds `count` of.
refusal count_refusal(const name_line& n, const char* what, size_t count,
                      const char* one, const char* many) {
  return names_refusal(
      n.line,
      message_text("ERROR: line %lld has %zu %s names, not %zu!", n.line,
                   n.names.size(), what, count),
      printed(" names %zu %s%s; the file holds %zu ", n.names.size(), what,
              n.names.size() == 1 ? "" : "s", count) +
          (count == 1 ? one : many));
}

}  // namespace

zub_feedback::result<zub_feedback::named_matrix> parse_named_text(
    const std::string& text) {
  // The numbers exactly as the plain parse reads them.
  result<matrix_file> parsed = parse_text(text);
  if (!parsed) return parsed.error();
  zub_feedback::named_matrix out;
  out.values = std::move(parsed.value().values);

  name_line names[2];  // monitors, correctors
  static const char* const kNameKeys[2] = {"monitors", "correctors"};
  std::map<std::string, long long> keys;  // each key's line
  long long first_data = 0;
  std::string key, value;
  file_line line;
  for (line_cursor lines(text); lines.next(line);) {
    if (!line.is_comment()) {
      if (first_data == 0) first_data = line.number;
      continue;
    }
    if (!key_value_line(line, key, value)) continue;
    int which = -1;
    for (int k = 0; k < 2; ++k) {
      if (key == kNameKeys[k]) which = k;
    }
    // A note after the data is a comment, as it was before files had names;
    // names there would name nothing the reader has seen yet.
    if (first_data != 0 && which < 0) continue;
    if (first_data != 0) {
      return names_refusal(
          line.number,
          message_text("ERROR: line %lld: \"%s:\" after the data!", line.number,
                       key.c_str()),
          printed(": \"%s:\" stands after the first data line (line %lld); "
                  "names go before the data",
                  key.c_str(), first_data));
    }
    const auto placed = keys.emplace(key, line.number);
    if (!placed.second) {
      return names_refusal(line.number,
                           message_text("ERROR: line %lld repeats \"%s:\"!",
                                        line.number, key.c_str()),
                           printed(": \"%s:\" is given on line %lld already",
                                   key.c_str(), placed.first->second));
    }
    if (which < 0) {
      out.metadata.emplace_back(key, value);
      continue;
    }
    name_line& n = names[which];
    n.line = line.number;
    n.names = split_names(value);
    const std::pair<size_t, size_t> twice = repeated_name(n.names);
    if (twice.second != 0) {
      const std::string& name = n.names[twice.second];
      return names_refusal(
          line.number,
          message_text("ERROR: line %lld names %s twice!", line.number,
                       name.c_str()),
          printed(": \"%s\" names %s %zu and %zu (from 0)", name.c_str(),
                  kNameKeys[which], twice.first, twice.second));
    }
  }
  const size_t rows = out.values.rows(), cols = out.values.cols();
  if (names[0].line != 0 && names[0].names.size() != rows) {
    return count_refusal(names[0], "monitor", rows, "data line (rows)",
                         "data lines (rows)");
  }
  if (names[1].line != 0 && names[1].names.size() != cols) {
    return count_refusal(names[1], "corrector", cols, "value a row (column)",
                         "values a row (columns)");
  }
  out.monitors = std::move(names[0].names);
  out.correctors = std::move(names[1].names);
  return out;
}

// ---------------------------------------------------------------- reading a
// file as the core

namespace {

// Why a file could not be read, as an operator can act on it.
std::string unreadable(const char* path) {
  struct stat st {};
  if (::stat(path, &st) != 0) {
    return std::string("cannot read ") + path + ": " + std::strerror(errno);
  }
  if (!S_ISREG(st.st_mode)) return std::string(path) + " is not a regular file";
  if (::access(path, R_OK) != 0) {
    return std::string("cannot read ") + path + ": " + std::strerror(errno);
  }
  return std::string("cannot read ") + path + ": read error";
}

}  // namespace

result<std::string> read_text(const char* path, const file_clock& clock) {
  std::string bytes;
  refusal out;
  switch (read_file_once(path, bytes, clock)) {
    case file_read_result::ok:
      return bytes;
    case file_read_result::cannot_read:
      out.code = error_code::cannot_read;
      out.message = message_text("ERROR: file %s not found!", path);
      out.detail = unreadable(path);
      break;
    case file_read_result::changed:
      out.code = error_code::file_changed;
      out.message = message_text("ERROR: file %s changed while loading!", path);
      out.detail = std::string(path) + " changed while it was read";
      break;
  }
  return out;
}

// ---------------------------------------------------------------- writing

std::string format_matrix(zub_feedback::const_matrix_view m) {
  std::string out;
  char buf[32];
  for (size_t i = 0; i < m.rows(); ++i) {
    for (size_t j = 0; j < m.cols(); ++j) {
      std::snprintf(buf, sizeof buf, "%s%.9g", j == 0 ? "" : " ", m(i, j));
      out += buf;
    }
    out += '\n';
  }
  return out;
}

std::string write_failure_text(const write_result& w) {
  std::string out = "cannot write " + w.failed;
  if (w.error != 0) out += std::string(": ") + std::strerror(w.error);
  return out;
}

namespace {

// 0, or the errno of the failure.
int write_all(int fd, const std::string& text) {
  for (size_t done = 0; done < text.size();) {
    const ssize_t k = ::write(fd, text.data() + done, text.size() - done);
    if (k < 0 && errno == EINTR) continue;
    if (k < 0) return errno;
    done += static_cast<size_t>(k);
  }
  return 0;
}

// The rename reaches the disk with its directory. A failure here leaves the
// new file in place, and is not one of the write.
void sync_directory(const std::string& path) {
  const size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? "."
                          : slash == 0               ? "/"
                                                     : path.substr(0, slash);
  const file_descriptor fd(
      ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd.get() >= 0) ::fsync(fd.get());
}

}  // namespace

write_result write_file_atomically(const std::string& path,
                                   const std::string& text) {
  const std::string part = path + ".part";
  int error = 0;
  {
    file_descriptor fd(
        ::open(part.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    if (fd.get() < 0) return {false, part, errno};
    error = write_all(fd.get(), text);
    if (error == 0 && ::fsync(fd.get()) != 0) error = errno;
    if (fd.close() != 0 && error == 0) error = errno;
  }
  if (error != 0) {
    ::unlink(part.c_str());
    return {false, part, error};
  }
  if (std::rename(part.c_str(), path.c_str()) != 0) {
    error = errno;
    ::unlink(part.c_str());
    return {false, path, error};
  }
  sync_directory(path);
  return {};
}

namespace {

// A matrix that load_file would not read back is refused before anything
// is written.
zub_feedback::status check_loadable(const std::string& path,
                                    zub_feedback::const_matrix_view m) {
  for (size_t i = 0; i < m.rows(); ++i) {
    for (size_t j = 0; j < m.cols(); ++j) {
      const double v = m(i, j);
      if (std::isfinite(v) && !std::isinf(static_cast<float>(v))) continue;
      refusal out;
      out.code =
          std::isfinite(v) ? error_code::beyond_float : error_code::not_finite;
      out.message = message_text(
          "ERROR: element (%zu, %zu) of %s is %s!", i, j, path.c_str(),
          std::isfinite(v) ? "beyond the float range" : "not finite");
      out.detail = printed(
          "element (%zu, %zu) is %g, which load_file would not read back: "
          "nothing was written",
          i, j, v);
      return out;
    }
  }
  return {};
}

zub_feedback::status write_text(const std::string& path,
                                const std::string& text) {
  const write_result w = write_file_atomically(path, text);
  if (w.ok) return {};
  refusal out;
  out.code = error_code::cannot_write;
  out.message = message_text("ERROR: file %s cannot be written!", path.c_str());
  out.text = w.failed;
  out.detail = write_failure_text(w);
  return out;
}

refusal header_refusal(const std::string& what) {
  refusal out;
  out.code = error_code::bad_argument;
  out.message = message_text("ERROR: %s!", what.c_str());
  out.detail = what + ": it would not read back as it is";
  return out;
}

bool has_blank(const std::string& s) {
  return std::any_of(s.begin(), s.end(),
                     [](char c) { return blank(c) || c == '\n'; });
}

// Refused unless the names read back as they are: one a row or column,
// each without blanks, none twice.
zub_feedback::status check_names(const std::vector<std::string>& names,
                                 size_t count, const char* what) {
  if (names.empty()) return {};
  if (names.size() != count) {
    return header_refusal(
        printed("%zu %s names for %zu %ss", names.size(), what, count, what));
  }
  for (size_t k = 0; k < names.size(); ++k) {
    if (names[k].empty() || has_blank(names[k])) {
      return header_refusal(
          printed("%s name %zu (from 0), \"%s\", is empty or holds a blank",
                  what, k, names[k].c_str()));
    }
  }
  const std::pair<size_t, size_t> twice = repeated_name(names);
  if (twice.second != 0) {
    return header_refusal(printed("%ss %zu and %zu are both named \"%s\"", what,
                                  twice.first, twice.second,
                                  names[twice.second].c_str()));
  }
  return {};
}

}  // namespace

zub_feedback::status write_matrix(const std::string& path,
                                  zub_feedback::const_matrix_view m) {
  const zub_feedback::status loadable = check_loadable(path, m);
  if (!loadable) return loadable;
  return write_text(path, format_matrix(m));
}

zub_feedback::result<std::string> format_named_header(
    const zub_feedback::named_matrix& m) {
  zub_feedback::status s = check_names(m.monitors, m.values.rows(), "monitor");
  if (s) s = check_names(m.correctors, m.values.cols(), "corrector");
  if (!s) return s.error();
  std::map<std::string, int> keys{{"monitors", 0}, {"correctors", 0}};
  std::string out;
  for (const auto& kv : m.metadata) {
    const std::string& key = kv.first;
    if (key.empty() || has_blank(key) || key.find(':') != std::string::npos) {
      return header_refusal("the key \"" + key +
                            "\" is empty or holds a blank or a colon");
    }
    if (!keys.emplace(key, 0).second) {
      return header_refusal("the key \"" + key + "\" is given twice");
    }
    // A line ends at LF only; a CR within it is the value's.
    if (kv.second.find('\n') != std::string::npos) {
      return header_refusal("the value of \"" + key + "\" holds a line break");
    }
    out += "# " + key + ": " + kv.second + "\n";
  }
  const std::vector<std::string>* lists[2] = {&m.monitors, &m.correctors};
  const char* const labels[2] = {"# monitors:", "# correctors:"};
  for (int k = 0; k < 2; ++k) {
    if (lists[k]->empty()) continue;
    out += labels[k];
    for (const std::string& name : *lists[k]) out += " " + name;
    out += '\n';
  }
  return out;
}

zub_feedback::status write_named_matrix(const std::string& path,
                                        const zub_feedback::named_matrix& m) {
  const zub_feedback::result<std::string> header = format_named_header(m);
  if (!header) return header.error();
  const zub_feedback::status loadable = check_loadable(path, m.values);
  if (!loadable) return loadable;
  return write_text(path, header.value() + format_matrix(m.values));
}

}  // namespace zub_internal
