// Loading a response matrix from its text file: shape checks, placement,
// messages, and files that must not be read at all.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <limits>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "log_capture.h"
#include "matrix_bits.h"
#include "report.h"
#include "temp_file.h"
#include "zub_feedback.h"

namespace {

using zub_test::element_bits;
using zub_test::fill_sentinels;
using zub_test::LogCapture;
using zub_test::LogEntry;

using zub_internal::kLevelError;
using zub_internal::kLevelInfo;
const char kWhere[] = "MDFA_ResponseMatrix::load_file";

float at(const MDFA_ResponseMatrix& m, int i, int j) {
  return m.value(i, j, -1, -1, -1, -1);
}

LogEntry loading(const std::string& path) {
  return {kWhere, "INFO: Loading file " + path + " ...", kLevelInfo};
}
LogEntry not_found(const std::string& path) {
  return {kWhere, "ERROR: file " + path + " not found!", kLevelError};
}
LogEntry read_into(size_t bytes, const std::string& path, int r, int c) {
  return {kWhere,
          "INFO: Read " + std::to_string(bytes) + " bytes from: " + path +
              " into " + std::to_string(r) + " x " + std::to_string(c) +
              " GSL array",
          kLevelInfo};
}

void expect_log(const LogCapture& log, const std::vector<LogEntry>& want) {
  ASSERT_EQ(log.size(), want.size());
  for (size_t k = 0; k < want.size(); ++k) {
    SCOPED_TRACE(k);
    EXPECT_EQ(log[k].where, want[k].where);
    EXPECT_EQ(log[k].message, want[k].message);
    EXPECT_EQ(log[k].level, want[k].level);
  }
}

class LoadFile : public ::testing::Test {
 protected:
  // Loads `path` into a rows x cols matrix of sentinels and expects false,
  // the loading message, `error`, and the matrix as it was.
  void expect_refused_path(const std::string& path, int rows, int cols,
                           const LogEntry& error) {
    SCOPED_TRACE(error.message);
    MDFA_ResponseMatrix m("RM", rows, cols, nullptr);
    fill_sentinels(m);
    const auto before = element_bits(m);
    LogCapture log;
    EXPECT_FALSE(m.load_file(path.c_str()));
    expect_log(log, {loading(path), error});
    EXPECT_EQ(element_bits(m), before);
  }
  void expect_refused(const std::string& content, int rows, int cols,
                      const std::string& error) {
    expect_refused_path(dir.write("refused.txt", content), rows, cols,
                        {kWhere, error, kLevelError});
  }

  zub_test::TempDir dir;
};

// ---------------------------------------------------------------- shape and
// placement

TEST_F(LoadFile, ByteCountEndsWithTheLastDataLine) {
  struct Case {
    const char* content;
    size_t bytes;
  };
  const Case cases[] = {
      {"# a\n1 2\n# b\n3 4\n# tail\n# more\n", 16},  // comments around
      {"1 2\n3 4", 7},                               // no final line feed
      {"1\t2\r\n3 \t 4\r\n", 12},                    // tabs and CR LF
      {"1 2 # note\n3.0e0 4#x\n", 21},               // comments after numbers
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.content);
    const std::string path = dir.write("rm.txt", c.content);
    MDFA_ResponseMatrix m("RM", 2, 2, nullptr);
    LogCapture log;
    ASSERT_TRUE(m.load_file(path.c_str()));
    expect_log(log, {loading(path), read_into(c.bytes, path, 2, 2)});
    EXPECT_EQ(at(m, 0, 0), 1.0f);
    EXPECT_EQ(at(m, 0, 1), 2.0f);
    EXPECT_EQ(at(m, 1, 0), 3.0f);
    EXPECT_EQ(at(m, 1, 1), 4.0f);
  }
}

// Text after a row's values is ignored: a comment, a monitor's name.
TEST_F(LoadFile, TextAfterARowsValuesIsIgnored) {
  const std::string path =
      dir.write("rm.txt", "1 2 BPM.01\n3 4 # x\n5 6 nan 7\n");
  MDFA_ResponseMatrix m("RM", 3, 2, nullptr);
  LogCapture log;
  ASSERT_TRUE(m.load_file(path.c_str()));
  EXPECT_EQ(at(m, 0, 1), 2.0f);
  EXPECT_EQ(at(m, 1, 0), 3.0f);
  EXPECT_EQ(at(m, 2, 1), 6.0f);
}

// A load fills the whole matrix or nothing: the first data line that does
// not hold exactly `cols` values, or holds one beyond the float range, is
// named and the matrix keeps every element, also over an earlier load.
TEST_F(LoadFile, LineThatDoesNotFillItsRowRefusesTheLoad) {
  struct Case {
    const char* content;
    const char* error;
  };
  const Case cases[] = {
      {"1 2 3\n4 5\n6 7 8\n", "ERROR: line 2 has 2 values, not 3!"},
      {"# c\n1 nan 3\n4 5 6\n6 7 8\n", "ERROR: line 2 has 1 values, not 3!"},
      {"1 2 3\n1,5 7 8\n4 5 6\n", "ERROR: line 2 has 1 values, not 3!"},
      {"1 2 3 4\n4 5 6\n6 7 8\n", "ERROR: line 1 has 4 values, not 3!"},
      {"1 2 3\n #x\n6 7 8\n", "ERROR: line 2 has 0 values, not 3!"},
      {"1 2 3\n4 1e39 6\n6 7 8\n",
       "ERROR: value 2 of line 2 is beyond the float range!"},
      {"1 2 3\n4 5 6\n6 7 -3.4028236e38\n",
       "ERROR: value 3 of line 3 is beyond the float range!"},
      // The count is looked at before the range.
      {"1 2 1e39 4\n4 5 6\n6 7 8\n", "ERROR: line 1 has 4 values, not 3!"},
  };
  const std::string good = dir.write("good.txt", "1 2 3\n4 5 6\n7 8 9\n");
  for (const Case& c : cases) {
    expect_refused(c.content, 3, 3, c.error);
    // Over a matrix that a good file filled.
    MDFA_ResponseMatrix m("RM", 3, 3, nullptr);
    LogCapture log;
    ASSERT_TRUE(m.load_file(good.c_str()));
    const auto loaded = element_bits(m);
    EXPECT_FALSE(m.load_file(dir.write("bad.txt", c.content).c_str()));
    EXPECT_EQ(element_bits(m), loaded);
  }
}

TEST_F(LoadFile, NothingReachesTheArrayBeyondTheMatrix) {
  // The array is three columns wide, the matrix uses two of them: a longer
  // line is refused, and a load never writes past the matrix's width.
  MDFA_ResponseMatrix m("RM", 2, 3, nullptr);
  m.init(9.0f);
  m.cols = 2;
  LogCapture log;
  EXPECT_FALSE(m.load_file(dir.write("long.txt", "1 2 3\n5 6\n").c_str()));
  EXPECT_EQ(at(m, 0, 0), 9.0f);
  ASSERT_TRUE(m.load_file(dir.write("rm.txt", "1 2\n5 6\n").c_str()));
  EXPECT_EQ(at(m, 0, 1), 2.0f);
  EXPECT_EQ(at(m, 0, 2), 9.0f);
  EXPECT_EQ(at(m, 1, 2), 9.0f);
}

TEST_F(LoadFile, NarrowsToFloat) {
  // 3.4028235e38 rounds to the largest float; 1e-50 to zero.
  const std::string path =
      dir.write("rm.txt", "3.4028235e38 -3.4028235e38 1e-50 0.1\n");
  MDFA_ResponseMatrix m("RM", 1, 4, nullptr);
  LogCapture log;
  ASSERT_TRUE(m.load_file(path.c_str()));
  EXPECT_EQ(at(m, 0, 0), std::numeric_limits<float>::max());
  EXPECT_EQ(at(m, 0, 1), -std::numeric_limits<float>::max());
  EXPECT_EQ(at(m, 0, 2), 0.0f);
  EXPECT_EQ(at(m, 0, 3), 0.1f);
}

TEST_F(LoadFile, NothingToReadFitsAnEmptyMatrix) {
  for (const char* content : {"", "# only\n# comments\n"}) {
    const std::string path = dir.write("rm.txt", content);
    MDFA_ResponseMatrix m("RM", 0, 0, nullptr);
    LogCapture log;
    ASSERT_TRUE(m.load_file(path.c_str()));
    expect_log(log, {loading(path), read_into(0, path, 0, 0)});
  }
}

TEST_F(LoadFile, LargeMatrixIsStoredExactly) {
  // Large enough that lines and numbers straddle the reader's buffer.
  const int rows = 300;
  const int cols = 100;
  std::string content;
  for (int k = 0; k < rows * cols; ++k) {
    content += std::to_string(k) + (k % cols == cols - 1 ? ".5\n" : ".5 ");
  }
  const std::string path = dir.write("big.txt", content);
  MDFA_ResponseMatrix m("RM", rows, cols, nullptr);
  LogCapture log;
  ASSERT_TRUE(m.load_file(path.c_str()));
  expect_log(log, {loading(path), read_into(content.size(), path, rows, cols)});
  int wrong = 0;
  for (int k = 0; k < rows * cols; ++k) {
    wrong += at(m, k / cols, k % cols) != static_cast<float>(k) + 0.5f;
  }
  EXPECT_EQ(wrong, 0);
}

// The matrix's own store is used even when a subclass overrides it.
TEST_F(LoadFile, StoresThroughTheBaseStore) {
  struct Counting : MDFA_ResponseMatrix {
    using MDFA_ResponseMatrix::MDFA_ResponseMatrix;
    void set_value(float, int, int, int, int, int, int) override { ++calls; }
    int calls = 0;
  };
  const std::string path = dir.write("rm.txt", "1 2\n");
  Counting m("RM", 1, 2, nullptr);
  LogCapture log;
  ASSERT_TRUE(m.load_file(path.c_str()));
  EXPECT_EQ(m.calls, 0);
  EXPECT_EQ(at(m, 0, 1), 2.0f);
}

// An exception that ends a load after the values were stored (here from the
// logger, at the closing message) puts every former value back.
TEST_F(LoadFile, ExceptionAfterStoringLeavesTheMatrixAsItWas) {
  const std::string path = dir.write("rm.txt", "1 2 3\n4 8 9\n5 6 7\n");
  MDFA_ResponseMatrix m("RM", 3, 3, nullptr);
  fill_sentinels(m);
  const auto before = element_bits(m);
  struct refusing_log {
    refusing_log()
        : previous(karst::set_log_sink(
              [](const std::string&, const std::string& message, unsigned) {
                if (message.rfind("INFO: Read", 0) == 0) {
                  throw std::runtime_error("log full");
                }
              })) {}
    ~refusing_log() { karst::set_log_sink(std::move(previous)); }
    karst::LogSink previous;
  } log;
  EXPECT_THROW(m.load_file(path.c_str()), std::runtime_error);
  EXPECT_EQ(element_bits(m), before);
}

// ---------------------------------------------------------------- shape
// mismatches

TEST_F(LoadFile, RowMismatches) {
  expect_refused("1 2\n3 4\n\n", 2, 2,
                 "ERROR: No. rows (3) do not match no. of monitors (2)!");
  // Both counts wrong: only the rows are reported.
  expect_refused("1 2 3\n", 2, 2,
                 "ERROR: No. rows (1) do not match no. of monitors (2)!");
  expect_refused("", 1, 1,
                 "ERROR: No. rows (0) do not match no. of monitors (1)!");
  expect_refused("# nothing\n", 1, 1,
                 "ERROR: No. rows (0) do not match no. of monitors (1)!");
}

TEST_F(LoadFile, ColumnMismatches) {
  expect_refused("1,2,3\n4,5,6\n", 2, 3,
                 "ERROR: No. columns (1) do not match no. of actuators (3)!");
  expect_refused("1 2\n #3 4\n", 2, 2,
                 "ERROR: No. columns (0) do not match no. of actuators (2)!");
  expect_refused("1 2 3\n4 5\n", 2, 3,
                 "ERROR: No. columns (2) do not match no. of actuators (3)!");
  // Beyond double range, and the words nan and inf, end a line's values.
  expect_refused("1 1e400 2\n", 1, 3,
                 "ERROR: No. columns (1) do not match no. of actuators (3)!");
  expect_refused("1 nan 2\n", 1, 3,
                 "ERROR: No. columns (1) do not match no. of actuators (3)!");
  expect_refused("inf 1\n", 1, 2,
                 "ERROR: No. columns (0) do not match no. of actuators (2)!");
}

// ---------------------------------------------------------------- files that
// are not read

// A missing path, a directory, a FIFO without a writer and an endless device
// are refused at once: opening or reading the last three would block or
// never end.
TEST_F(LoadFile, OnlyRegularFilesAreRead) {
  const std::string fifo = (dir.path() / "fifo").string();
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  for (const std::string& path :
       {(dir.path() / "absent.txt").string(), dir.path().string(), fifo,
        std::string("/dev/zero")}) {
    expect_refused_path(path, 1, 1, not_found(path));
  }
}

TEST_F(LoadFile, UnreadableFile) {
  const std::string path = dir.write("locked.txt", "1\n");
  ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
  ASSERT_EQ(chmod(path.c_str(), 0), 0);
  // Root reads any file: the load runs in a child that is an ordinary user.
  // The BLAS library has started a thread, so the child starts afresh.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) {
          _exit(2);
        }
        MDFA_ResponseMatrix m("RM", 1, 1, nullptr);
        m.init(5.0f);
        LogCapture log;
        const bool loaded = m.load_file(path.c_str());
        const bool reported = log.size() == 2 &&
                              log[1].message == not_found(path).message &&
                              log[1].level == kLevelError;
        _exit(!loaded && reported && at(m, 0, 0) == 5.0f ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST_F(LoadFile, LongPathIsCutTo99Characters) {
  const std::string path = dir.write(std::string(120, 'p') + ".txt", "1\n");
  MDFA_ResponseMatrix m("RM", 1, 1, nullptr);
  LogCapture log;
  ASSERT_TRUE(m.load_file(path.c_str()));
  LogEntry first = loading(path);
  LogEntry last = read_into(2, path, 1, 1);
  first.message.resize(99);
  last.message.resize(99);
  expect_log(log, {first, last});
}

// ---------------------------------------------------------------- enormous
// lines

TEST_F(LoadFile, EnormousLastLineIsRefused) {
  // 32 MB of digits: one number far beyond double range, so no value.
  expect_refused("1 2\n" + std::string(32 << 20, '7') + "\n", 2, 2,
                 "ERROR: No. columns (0) do not match no. of actuators (2)!");
  std::string many = "1 2\n";
  for (int k = 0; k < (1 << 21); ++k) many += "0.5 ";
  expect_refused(many, 2, 2,
                 "ERROR: No. columns (2097152) do not match no. of actuators "
                 "(2)!");
}

TEST_F(LoadFile, EnormousInnerLineIsCountedWhole) {
  std::string content = "1 2\n";
  for (int k = 0; k < (1 << 21); ++k) content += std::to_string(k % 10) + " ";
  content += "\n3 4\n";
  expect_refused(content, 3, 2, "ERROR: line 2 has 2097152 values, not 2!");
}

// ---------------------------------------------------------------- a file
// rewritten while it is loaded

// Another thread rewrites the file in place, over and over with pauses of 0
// to 90 ms, between two versions of the same shape: every element 1.5, or
// every element 2.5. A
// load that succeeds must hold one of them whole; one that fails must leave
// the matrix as it was. Two writers: truncate and write (as cp does), and
// write over the bytes in place.
TEST_F(LoadFile, FileRewrittenWhileLoadingLoadsWholeOrNotAtAll) {
  const int rows = 200;
  const int cols = 100;
  const auto version = [&](const char* v) {
    std::string text;
    for (int k = 0; k < rows * cols; ++k) {
      text += v;
      text += k % cols == cols - 1 ? '\n' : ' ';
    }
    return text;
  };
  const std::string versions[2] = {version("1.5"), version("2.5")};
  const size_t size = versions[0].size();
  enum class writer { truncate, overwrite };

  for (const writer how : {writer::truncate, writer::overwrite}) {
    SCOPED_TRACE(static_cast<int>(how));
    const std::string path = dir.write("rm.txt", versions[0]);
    std::atomic<bool> done{false};
    std::thread rewriter([&] {
      const int fd = ::open(path.c_str(), O_RDWR);
      if (fd < 0) return;
      for (int k = 1; !done; ++k) {
        const std::string& text = versions[k % 2];
        if (how == writer::truncate && ::ftruncate(fd, 0) != 0) break;
        for (size_t off = 0; off < size;) {
          const ssize_t n = ::pwrite(fd, text.data() + off, size - off,
                                     static_cast<off_t>(off));
          if (n <= 0) break;
          off += static_cast<size_t>(n);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(k * 37 % 91));
      }
      ::close(fd);
    });

    MDFA_ResponseMatrix m("RM", rows, cols, nullptr);
    int loaded = 0;
    int refused = 0;
    int mixed = 0;
    int changed = 0;
    for (int k = 0; k < 60; ++k) {
      m.init(-7.0f);
      LogCapture log;
      const bool ok = m.load_file(path.c_str());
      const float first = ok ? 1.5f : -7.0f;
      const float second = ok ? 2.5f : -7.0f;
      int at_first = 0;
      int at_second = 0;
      for (int i = 0; i < rows; ++i) {
        for (int j = 0; j < cols; ++j) {
          at_first += at(m, i, j) == first;
          at_second += at(m, i, j) == second;
        }
      }
      const bool whole = at_first == rows * cols || at_second == rows * cols;
      ok ? ++loaded : ++refused;
      if (!whole) ok ? ++mixed : ++changed;
    }
    done = true;
    rewriter.join();
    std::printf("  writer %d: %d loads succeeded, %d refused\n",
                static_cast<int>(how), loaded, refused);
    EXPECT_EQ(mixed, 0) << "of " << loaded << " successful loads";
    EXPECT_EQ(changed, 0) << "of " << refused << " refused loads";
    // Without a writer the same file loads.
    LogCapture log;
    EXPECT_TRUE(m.load_file(path.c_str()));
  }
}

// A writer that stops for a moment half-way through a rewrite leaves a mix
// that two reads in a row agree on; the file was changed moments ago, so the
// loader looks again after a pause and sees the rewrite go on.
TEST_F(LoadFile, WriterPausedHalfWayIsNotTakenForAVersion) {
  const std::string a = "1.5 1.5\n1.5 1.5\n";
  const std::string b = "2.5 2.5\n2.5 2.5\n";
  const std::string path = dir.write("rm.txt", a);
  MDFA_ResponseMatrix m("RM", 2, 2, nullptr);
  m.init(-7.0f);
  std::atomic<bool> half{false};
  std::thread writer([&] {
    const int fd = ::open(path.c_str(), O_WRONLY);
    if (fd < 0) return;
    const size_t first = b.size() / 2;
    bool ok = ::pwrite(fd, b.data(), first, 0) == static_cast<ssize_t>(first);
    half = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
    ok = ok && ::pwrite(fd, b.data() + first, b.size() - first,
                        static_cast<off_t>(first)) ==
                   static_cast<ssize_t>(b.size() - first);
    ::close(fd);
  });
  while (!half) std::this_thread::yield();
  LogCapture log;
  const bool loaded = m.load_file(path.c_str());
  writer.join();
  // Only a load that came after the writer finished may succeed, with b.
  if (loaded) {
    for (int k = 0; k < 4; ++k) EXPECT_EQ(at(m, k / 2, k % 2), 2.5f) << k;
  } else {
    expect_log(log, {loading(path),
                     {kWhere, "ERROR: file " + path + " changed while loading!",
                      kLevelError}});
    for (int k = 0; k < 4; ++k) EXPECT_EQ(at(m, k / 2, k % 2), -7.0f) << k;
  }
}

}  // namespace
