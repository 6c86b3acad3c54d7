#include "matrix_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <locale>
#include <sstream>
#include <vector>

#include "report.h"
#include "zub_feedback.h"

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
// a file being written: it would cost the pause at every load.
constexpr double kRecent = 2.0;
constexpr long kSettleNanoseconds = 50 * 1000 * 1000;

bool changed_recently(const struct stat& st, const file_clock& clock) {
  const double changed_at = std::max(seconds(st.st_mtim), seconds(st.st_ctim));
  const double age = seconds(clock.now()) - changed_at;
  return age >= 0.0 && age < kRecent;
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

  // The second read compares: a rewrite in place within one tick of a
  // coarse clock leaves the status as it was.
  int same = holds(fd.get(), bytes);
  if (same == 1 && changed_recently(between, clock)) {
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

// ---------------------------------------------------------------- checking and
// loading

line_check check_data_line(value_reader& values, const file_line& line,
                           long long cols, std::vector<float>* row) {
  line_check check;
  values.start(line);
  double val;
  while (values.next(val)) {
    if (++check.values > cols) continue;
    const float f = static_cast<float>(val);
    if (std::isinf(f) && check.first_beyond == 0) {
      check.first_beyond = check.values;
    }
    if (row != nullptr) row->push_back(f);
  }
  if (check.values != cols) {
    check.fault = line_fault::value_count;
  } else if (check.first_beyond != 0) {
    check.fault = line_fault::beyond_float;
  }
  return check;
}

std::string line_fault_message(const file_line& line, const line_check& check,
                               long long cols) {
  char emsg[kMessageBufferSize] = "";
  switch (check.fault) {
    case line_fault::none:
      break;
    case line_fault::value_count:
      std::snprintf(emsg, sizeof emsg,
                    "ERROR: line %lld has %lld values, not %lld!", line.number,
                    check.values, cols);
      break;
    case line_fault::beyond_float:
      std::snprintf(emsg, sizeof emsg,
                    "ERROR: value %lld of line %lld is beyond the float range!",
                    check.first_beyond, line.number);
      break;
  }
  return emsg;
}

// A load fills the whole matrix from one version of one file, or nothing:
// the file is read once into memory, both passes run over that copy, and
// every value is read and checked before the first is stored.
bool load_matrix_file(MDFA_ResponseMatrix& m, const char* fname,
                      const file_clock& clock) {
  const std::string name = "MDFA_ResponseMatrix::load_file";
  report(name, kLevelInfo, "INFO: Loading file %s ...", fname);

  std::string text;
  switch (read_file_once(fname, text, clock)) {
    case file_read_result::ok:
      break;
    case file_read_result::cannot_read:
      report(name, kLevelError, "ERROR: file %s not found!", fname);
      return false;
    case file_read_result::changed:
      report(name, kLevelError, "ERROR: file %s changed while loading!", fname);
      return false;
  }
  // First pass: M data lines, N values on the last of them, len bytes up to
  // the end of that line (the file's length when no line feed ends it).
  const text_shape shape = measure_text(text);
  if (m.rows != shape.rows) {
    report(name, kLevelError,
           "ERROR: No. rows (%lld) do not match no. of monitors (%d)!",
           shape.rows, m.rows);
    return false;
  }
  if (m.cols != shape.cols) {
    report(name, kLevelError,
           "ERROR: No. columns (%lld) do not match no. of actuators (%d)!",
           shape.cols, m.cols);
    return false;
  }

  // Second pass: data line i fills row i. The first line that does not
  // load ends the load with its reason. The staging grows with what the
  // file holds, not with what the matrix's shape promises.
  const int M = m.rows;
  const int N = m.cols;
  std::vector<float> staged;
  staged.reserve(static_cast<size_t>(
      std::min<long long>(static_cast<long long>(M) * N,
                          static_cast<long long>(text.size() / 2 + 1))));
  value_reader values;
  file_line line;
  for (line_cursor lines(text); lines.next(line);) {
    if (line.is_comment()) continue;
    const line_check check = check_data_line(values, line, N, &staged);
    if (check.fault != line_fault::none) {
      report(name, kLevelError, "%s",
             line_fault_message(line, check, N).c_str());
      return false;
    }
  }

  // The base's own store is used, whatever a subclass does. Each stored
  // element's former value takes its place in `staged`, to be put back if
  // an exception (from the store or the logger) ends the load.
  size_t stored = 0;
  try {
    for (int i = 0; i < M; ++i) {
      for (int j = 0; j < N; ++j, ++stored) {
        const float former = m.K_mdfloat_array::value(i, j, -1, -1, -1, -1);
        m.K_mdfloat_array::set_value(staged[stored], i, j, -1, -1, -1, -1);
        staged[stored] = former;
      }
    }
    report(name, kLevelInfo,
           "INFO: Read %lld bytes from: %s into %d x %d GSL array", shape.bytes,
           fname, M, N);
  } catch (...) {
    for (size_t k = 0; k < stored; ++k) {
      m.K_mdfloat_array::set_value(staged[k], static_cast<int>(k / N),
                                   static_cast<int>(k % N), -1, -1, -1, -1);
    }
    throw;
  }
  return true;
}

}  // namespace zub_internal
