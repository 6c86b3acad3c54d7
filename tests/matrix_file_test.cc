// How a line of a matrix file reads: the values of a data line are those
// that formatted extraction of a double reads, also where a number is too
// long for the stream to be given whole.
#include "matrix_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <locale>
#include <sstream>
#include <string>
#include <vector>

#include "memory_probe.h"
#include "temp_file.h"

namespace {

using zub_internal::file_line;
using zub_internal::file_read_result;
using zub_internal::line_cursor;
using zub_internal::read_file_once;
using zub_internal::value_reader;

struct reading {
  std::vector<double> values;
  size_t stop = 0;  // offset of the first thing that is not a number
};

reading read_line(const std::string& text) {
  line_cursor lines(text);
  file_line line;
  reading r;
  if (!lines.next(line)) return r;
  value_reader values;
  values.start(line);
  double val;
  while (values.next(val)) r.values.push_back(val);
  r.stop = static_cast<size_t>(values.stop() - line.begin);
  return r;
}

// What a stream reads from the same line: the reference.
std::vector<double> stream_values(const std::string& line) {
  std::istringstream s(line);
  std::vector<double> out;
  double val;
  while (s >> val) out.push_back(val);
  return out;
}

void expect_same_doubles(const std::vector<double>& got,
                         const std::vector<double>& want) {
  ASSERT_EQ(got.size(), want.size());
  for (size_t k = 0; k < got.size(); ++k) {
    EXPECT_EQ(std::memcmp(&got[k], &want[k], sizeof(double)), 0)
        << "value " << k << ": " << got[k] << " vs " << want[k];
  }
}

// Numbers longer than the reader hands to the stream whole, each followed by
// more text, against the stream reading the whole line. The midpoint between
// 1 and the next double decides by its digits far beyond the cut: followed
// by zeros it rounds to even (1), followed by a 1 it rounds up.
TEST(ValueReader, LongNumbersReadAsTheStreamReadsThem) {
  const std::string zeros(2000, '0');
  const std::string midpoint =
      "1.00000000000000011102230246251565404236316680908203125";
  const std::vector<std::string> lines = {
      midpoint + zeros + " 7",
      midpoint + zeros + "1 7",
      "-" + midpoint + zeros + "1e-3 7",
      "1" + zeros + " 7",     // beyond double range: none
      "0." + zeros + "15 7",  // below it: 0
      "-0" + zeros + " 7",    // a negative zero
      std::string(1500, '3') + "e-1490 7",
      std::string(1500, '3') + "." + std::string(1500, '3') + "e-1500 7",
      "1e" + zeros + "5 7",  // a long exponent
      "1e-" + zeros + "400 7",
      "1e+" + std::string(2000, '-'),  // exponent without digits
      "+." + std::string(2000, '5') + " 7",
      "." + std::string(2000, '-'),            // no digit at all
      "1" + zeros + "e-2000e5 7",              // a second e ends the number
      "1.5" + std::string(1200, '.') + "5 7",  // a second point ends it
      [] {                                     // many short numbers in a run
        std::string s = "1.5";
        for (int k = 0; k < 700; ++k) s += ".5";
        return s;
      }(),
      "1" + zeros + "-2 7",       // a sign ends the mantissa
      "0." + zeros + "1e1995 7",  // an exponent without a sign
  };
  for (const std::string& line : lines) {
    SCOPED_TRACE(line.substr(0, 60));
    expect_same_doubles(read_line(line).values, stream_values(line));
  }
  // The shortcut is taken only beyond kLongNumber characters; just below
  // it the stream reads the number itself, and agrees.
  const std::string near(value_reader::kLongNumber - 2, '9');
  expect_same_doubles(read_line("1." + near + " 2").values,
                      stream_values("1." + near + " 2"));
}

// Under a global locale whose decimal point is a comma, a long number is
// the stream's to read, comma and all.
TEST(ValueReader, LongNumbersUnderAnotherDecimalPoint) {
  struct comma_point : std::numpunct<char> {
    char do_decimal_point() const override { return ','; }
  };
  const std::locale saved =
      std::locale::global(std::locale(std::locale::classic(), new comma_point));
  const std::string line = std::string(1500, '0') + ",5 7,25";
  std::vector<double> got = read_line(line).values;
  std::istringstream s(line);  // imbued with the global locale too
  std::vector<double> want;
  for (double val; s >> val;) want.push_back(val);
  std::locale::global(saved);
  EXPECT_EQ(want, (std::vector<double>{0.5, 7.25}));
  expect_same_doubles(got, want);
}

// A number of 16 MiB of digits, at the start of a line or after another, is
// read without the stream collecting it whole: the peak of the resident
// memory hardly moves.
TEST(ValueReader, LongNumberIsNotCollectedWhole) {
  if (zub_test::memory_is_instrumented()) {
    GTEST_SKIP() << "resident memory means nothing under a sanitizer or "
                    "valgrind";
  }
  const std::string digits(16 << 20, '7');
  for (const std::string& line :
       {digits + "e-16777200 1", "2 " + digits + "e-16777200"}) {
    line_cursor lines(line);
    file_line l;
    ASSERT_TRUE(lines.next(l));
    value_reader values;
    values.start(l);
    if (!zub_test::reset_peak_resident()) GTEST_SKIP() << "no VmHWM reset";
    const long before = zub_test::resident_bytes();
    double val;
    int count = 0;
    while (values.next(val)) ++count;
    EXPECT_EQ(count, 2) << line.substr(0, 20);
    EXPECT_LT(zub_test::peak_resident_bytes() - before, 4L << 20);
  }
}

TEST(ValueReader, StopsAtTheFirstThingThatIsNotANumber) {
  EXPECT_EQ(read_line("1 2 # note").stop, 4u);
  EXPECT_EQ(read_line("1 2  \r").stop, 6u);  // blanks to the end: the end
  EXPECT_EQ(read_line("1,2").stop, 1u);
  EXPECT_EQ(read_line(" nan 1").stop, 1u);
  EXPECT_EQ(read_line("1 1e400 2").stop, 2u);  // where the number began
}

TEST(LineCursor, NumbersLinesAndCountsBytesToTheirEnds) {
  const std::string text = "# c\n1 2\n\n3";
  line_cursor lines(text);
  file_line line;
  std::vector<std::string> seen;
  std::vector<long long> ends;
  while (lines.next(line)) {
    seen.push_back(std::to_string(line.number) +
                   (line.is_comment() ? "c:" : ":") +
                   std::string(line.begin, line.end));
    ends.push_back(line.end_offset);
  }
  EXPECT_EQ(seen, (std::vector<std::string>{"1c:# c", "2:1 2", "3:", "4:3"}));
  EXPECT_EQ(ends, (std::vector<long long>{4, 8, 9, 10}));
}

// ---------------------------------------------------------------- reading a
// file whole

// A clock that stands `age` seconds after the file's last change and counts
// the pauses; `during_pause` runs in each.
class test_clock : public zub_internal::file_clock {
 public:
  test_clock(const std::string& path, double age) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) throw std::runtime_error(path);
    const struct timespec& last =
        st.st_ctim.tv_sec > st.st_mtim.tv_sec ||
                (st.st_ctim.tv_sec == st.st_mtim.tv_sec &&
                 st.st_ctim.tv_nsec > st.st_mtim.tv_nsec)
            ? st.st_ctim
            : st.st_mtim;
    const long long ns = last.tv_sec * 1000000000LL + last.tv_nsec +
                         static_cast<long long>(age * 1e9);
    now_ = {static_cast<time_t>(ns / 1000000000LL),
            static_cast<long>(ns % 1000000000LL)};
  }
  struct timespec now() const override {
    return now_;
  }
  void pause(long) const override {
    ++pauses;
    if (during_pause) during_pause();
  }
  mutable int pauses = 0;
  std::function<void()> during_pause;

 private:
  struct timespec now_;
};

// Only a file changed within the last 2 s is looked at again after a pause;
// one whose time stamp lies ahead of the clock is not being written.
TEST(ReadFileOnce, LooksAgainOnlyAtAFileChangedMomentsAgo) {
  const zub_test::TempDir dir;
  const std::string path = dir.write("m.txt", "1 2\n");
  for (const auto& [age, pauses] :
       std::vector<std::pair<double, int>>{{-3600.0, 0},
                                           {-0.001, 0},
                                           {0.0, 1},
                                           {1.9, 1},
                                           {2.1, 0},
                                           {10.0, 0}}) {
    SCOPED_TRACE(age);
    const test_clock clock(path, age);
    std::string bytes;
    EXPECT_EQ(read_file_once(path.c_str(), bytes, clock), file_read_result::ok);
    EXPECT_EQ(bytes, "1 2\n");
    EXPECT_EQ(clock.pauses, pauses);
  }
}

// A rewrite that the pause reveals, same length and in place, is a change.
TEST(ReadFileOnce, RewriteDuringThePauseIsAChange) {
  const zub_test::TempDir dir;
  const std::string path = dir.write("m.txt", "1 2\n");
  test_clock clock(path, 0.5);
  clock.during_pause = [&] {
    std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
    f << "3";
  };
  std::string bytes;
  EXPECT_EQ(read_file_once(path.c_str(), bytes, clock),
            file_read_result::changed);
}

// A clock at a time given in seconds after the file's status change.
class clock_after_ctime : public zub_internal::file_clock {
 public:
  clock_after_ctime(const struct timespec& ctime, double after) {
    const long long ns = ctime.tv_sec * 1000000000LL + ctime.tv_nsec +
                         static_cast<long long>(after * 1e9);
    now_ = {static_cast<time_t>(ns / 1000000000LL),
            static_cast<long>(ns % 1000000000LL)};
  }
  struct timespec now() const override {
    return now_;
  }
  void pause(long) const override { ++pauses; }
  mutable int pauses = 0;

 private:
  struct timespec now_;
};

// Each time stamp counts on its own (M19): a modification time set ahead
// of the clock (touch -d, an unpacked archive) does not hide a status
// change a moment ago, nor an old status change a fresh modification time.
TEST(ReadFileOnce, EachTimeStampCountsOnItsOwn) {
  const zub_test::TempDir dir;
  const struct {
    double mtime;  // seconds after the status change
    double now;    // seconds after the status change
    int pauses;
  } cases[] = {{3600, 0.5, 1}, {3600, 10, 0},   {-3600, 0.5, 1}, {-3600, 10, 0},
               {1.0, 2.5, 1},  {3600, -0.5, 0}, {-1.0, 1.5, 1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.mtime << " " << c.now);
    const std::string path = dir.write("m.txt", "1 2\n");
    // Setting the modification time is itself the status change.
    struct timespec t {};
    ::clock_gettime(CLOCK_REALTIME, &t);
    const long long ns = t.tv_sec * 1000000000LL + t.tv_nsec +
                         static_cast<long long>(c.mtime * 1e9);
    const struct timespec times[2] = {{0, UTIME_OMIT},
                                      {static_cast<time_t>(ns / 1000000000LL),
                                       static_cast<long>(ns % 1000000000LL)}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    const clock_after_ctime clock(st.st_ctim, c.now);
    std::string bytes;
    EXPECT_EQ(read_file_once(path.c_str(), bytes, clock), file_read_result::ok);
    EXPECT_EQ(bytes, "1 2\n");
    EXPECT_EQ(clock.pauses, c.pauses);
  }
}

// The core's reading says it in load_file's words.
TEST(ReadFileOnce, ChangeIsRefusedInLoadFilesWords) {
  const zub_test::TempDir dir;
  const std::string path = dir.write("m.txt", "1 2\n");
  test_clock clock(path, 0.5);
  clock.during_pause = [&] { dir.write("m.txt", "3 4\n"); };
  const auto r = zub_internal::read_text(path.c_str(), clock);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().code, zub_feedback::error_code::file_changed);
  EXPECT_EQ(r.error().message,
            "ERROR: file " + path + " changed while loading!");
  EXPECT_EQ(r.error().detail, path + " changed while it was read");
}

// Files under /proc and /sys give a size that is not their length.
TEST(ReadFileOnce, ReadsToTheEndWhateverTheSizeSays) {
  for (const char* path :
       {"/proc/sys/kernel/ostype", "/sys/devices/system/cpu/online"}) {
    std::ifstream in(path, std::ios::binary);
    if (!in) continue;
    const std::string want((std::istreambuf_iterator<char>(in)),
                           std::istreambuf_iterator<char>());
    std::string bytes;
    EXPECT_EQ(read_file_once(path, bytes), file_read_result::ok) << path;
    EXPECT_EQ(bytes, want) << path;
    EXPECT_FALSE(bytes.empty()) << path;
  }
}

}  // namespace
