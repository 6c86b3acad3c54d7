// Loads arbitrary bytes as a response-matrix file into a matrix of arbitrary
// shape. The input's last two bytes choose the shape (rows, then columns,
// each byte % 18 - 1); the rest is the file. The result, every element
// (guard band included) and the messages are checked against a plain
// line-by-line reading of the same bytes: a false result leaves the matrix
// bit for bit as it was, a true one fills exactly the matrix's elements and
// nothing else. The core's parse of the same bytes with the same shape must
// give the same outcome: its refusal the message logged, its values the
// floats stored. The load runs with a clock that sees every file as long
// settled: a fresh file would otherwise cost a pause of 50 ms per input.
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "data_provider.h"
#include "fuzz_check.h"
#include "load_file.h"
#include "matrix_io.h"
#include "report.h"
#include "shifted_clock.h"

namespace {

using zub_fuzz::GuardedMatrix;

using zub_internal::kLevelError;
using zub_internal::kLevelInfo;

// The file every input is written to, in a directory of this process's own.
class ScratchFile {
 public:
  ScratchFile() {
    std::string dir =
        (std::filesystem::temp_directory_path() / "zub_fuzz_XXXXXX").string();
    if (mkdtemp(dir.data()) == nullptr) std::abort();
    dir_ = dir;
    path_ = dir + "/matrix.txt";
  }
  ~ScratchFile() {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }

  const std::string& write(const std::string& bytes) const {
    // A fresh file each time: rewriting a truncated one makes ext4 flush it
    // to disk on close, which would cost more than the load itself.
    std::remove(path_.c_str());
    std::FILE* f = std::fopen(path_.c_str(), "wb");
    ZUB_FUZZ_CHECK(f != nullptr, "cannot write %s", path_.c_str());
    if (!bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
    return path_;
  }

 private:
  std::string dir_;
  std::string path_;
};

// What the file holds, read as the loader documents it.
struct Reading {
  std::vector<std::vector<double>> lines;  // values of each data line
  std::vector<long long> numbers;          // each one's line in the file
  long long len = 0;  // bytes up to the end of the last data line
};

Reading read_reference(const std::string& text) {
  Reading r;
  size_t pos = 0;
  long long number = 0;
  while (pos < text.size()) {
    ++number;
    const size_t lf = text.find('\n', pos);
    const size_t end = lf == std::string::npos ? text.size() : lf;
    const size_t next = lf == std::string::npos ? text.size() : lf + 1;
    const std::string line = text.substr(pos, end - pos);
    pos = next;
    if (!line.empty() && line[0] == '#') continue;
    std::istringstream s(line);
    std::vector<double> values;
    double val;
    while (s >> val) values.push_back(val);
    r.lines.push_back(std::move(values));
    r.numbers.push_back(number);
    r.len = static_cast<long long>(next);
  }
  return r;
}

template <typename... Args>
std::string message(const char* format, Args... args) {
  char emsg[100];
  std::snprintf(emsg, sizeof emsg, format, args...);
  return emsg;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
  static const ScratchFile scratch;
  zub_fuzz::data_provider in(data, size);
  const int rows = in.ConsumeIntegralInRange<int>(0, 17) - 1;
  const int cols = in.ConsumeIntegralInRange<int>(0, 17) - 1;
  const std::string text = in.ConsumeRemainingBytesAsString();
  const std::string& path = scratch.write(text);

  GuardedMatrix g("FUZZ.RM", rows, cols);
  // A NaN with a payload and a negative zero must survive bit for bit too.
  if (rows > 0 && cols > 0) g.set(0, 0, zub_fuzz::float_of(0x7fc01234u));
  if (rows > 1 && cols > 1) g.set(1, 1, -0.0f);
  const std::vector<std::uint32_t> before = g.snapshot();

  zub_test::LogCapture log;
  // A day ahead: every file looks settled, and no pause is due.
  static const zub_test::shifted_clock clock(86400);
  const bool loaded =
      zub_internal::load_matrix_file(g.matrix(), path.c_str(), clock);
  ZUB_FUZZ_CHECK(clock.pauses() == 0, "a settled file was paused for");

  const Reading ref = read_reference(text);
  const long long M = static_cast<long long>(ref.lines.size());
  const long long N =
      M > 0 ? static_cast<long long>(ref.lines.back().size()) : 0;
  // With the shape right, the first data line that does not hold exactly
  // `cols` values, or holds one that a float cannot, refuses the load.
  std::string line_error;
  if (M == rows && N == cols) {
    for (size_t r = 0; r < ref.lines.size() && line_error.empty(); ++r) {
      const auto& values = ref.lines[r];
      if (static_cast<long long>(values.size()) != cols) {
        line_error =
            message("ERROR: line %lld has %lld values, not %d!", ref.numbers[r],
                    static_cast<long long>(values.size()), cols);
        break;
      }
      for (size_t c = 0; c < values.size(); ++c) {
        if (std::isinf(static_cast<float>(values[c]))) {
          line_error = message(
              "ERROR: value %lld of line %lld is beyond the float range!",
              static_cast<long long>(c + 1), ref.numbers[r]);
          break;
        }
      }
    }
  }
  const bool fits = M == rows && N == cols && line_error.empty();
  ZUB_FUZZ_CHECK(loaded == fits,
                 "load_file gave %d for %lld x %lld into %d x %d", loaded, M, N,
                 rows, cols);
  ZUB_FUZZ_CHECK(log.size() == 2, "%zu messages", log.size());
  ZUB_FUZZ_CHECK(
      log[0].message == message("INFO: Loading file %s ...", path.c_str()) &&
          log[0].level == kLevelInfo,
      "first message: %s", log[0].message.c_str());

  // The property's dimensions may be negative; the public parse takes
  // sizes.
  const zub_feedback::result<zub_feedback::matrix_file> core =
      rows >= 0 && cols >= 0
          ? zub_feedback::parse_matrix_text(
                text, {static_cast<size_t>(rows), static_cast<size_t>(cols)})
          : zub_internal::parse_text(text, rows, cols);
  ZUB_FUZZ_CHECK(core.ok() == loaded, "the core's parse gave %d, load_file %d",
                 core.ok(), loaded);
  ZUB_FUZZ_CHECK(loaded || core.error().message == log[1].message,
                 "the core refused with \"%s\", load_file logged \"%s\"",
                 loaded ? "" : core.error().message.c_str(),
                 log[1].message.c_str());

  if (!loaded) {
    const std::string expected =
        M != rows ? message(
                        "ERROR: No. rows (%lld) do not match no. of "
                        "monitors (%d)!",
                        M, rows)
        : N != cols ? message(
                          "ERROR: No. columns (%lld) do not match no. of "
                          "actuators (%d)!",
                          N, cols)
                    : line_error;
    ZUB_FUZZ_CHECK(log[1].message == expected && log[1].level == kLevelError,
                   "got \"%s\", expected \"%s\"", log[1].message.c_str(),
                   expected.c_str());
    ZUB_FUZZ_CHECK(g.snapshot() == before, "a failed load changed the matrix");
    return 0;
  }

  const std::string expected =
      message("INFO: Read %lld bytes from: %s into %lld x %lld GSL array",
              ref.len, path.c_str(), M, N);
  ZUB_FUZZ_CHECK(log[1].message == expected && log[1].level == kLevelInfo,
                 "got \"%s\", expected \"%s\"", log[1].message.c_str(),
                 expected.c_str());
  // Every element of the matrix, and nothing beyond it, holds its value.
  std::vector<std::uint32_t> expected_bits = before;
  const int stride = std::max(cols, 0) + GuardedMatrix::kGuard;
  for (int r = 0; r < rows; ++r) {
    const auto& values = ref.lines[static_cast<size_t>(r)];
    for (int c = 0; c < cols; ++c) {
      expected_bits[static_cast<size_t>(r * stride + c)] =
          zub_fuzz::bits_of(static_cast<float>(values[static_cast<size_t>(c)]));
    }
  }
  // The core holds the stored floats, as doubles.
  const zub_feedback::matrix& values = core.value().values;
  ZUB_FUZZ_CHECK(core.value().bytes == ref.len, "the core counts %lld bytes",
                 core.value().bytes);
  for (int r = 0; r < rows; ++r) {
    for (int c = 0; c < cols; ++c) {
      const double v = values(static_cast<size_t>(r), static_cast<size_t>(c));
      ZUB_FUZZ_CHECK(
          zub_fuzz::bits_of(static_cast<float>(v)) ==
                  expected_bits[static_cast<size_t>(r * stride + c)] &&
              static_cast<double>(static_cast<float>(v)) == v,
          "the core's element (%d, %d) is %.17g", r, c, v);
    }
  }
  const std::vector<std::uint32_t> after = g.snapshot();
  for (size_t k = 0; k < after.size(); ++k) {
    ZUB_FUZZ_CHECK(after[k] == expected_bits[k],
                   "element %zu (row %zu, column %zu of the property): %08x, "
                   "expected %08x",
                   k, k / static_cast<size_t>(stride),
                   k % static_cast<size_t>(stride), after[k], expected_bits[k]);
  }
  return 0;
}
