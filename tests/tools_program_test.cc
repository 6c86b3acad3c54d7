// main()'s handling of the programs' failures, the ranges of line numbers
// and indices, and formatting without a length limit.
#include <gtest/gtest.h>

#include <new>
#include <stdexcept>
#include <string>

#include "stdout_capture.h"
#include "support/format.h"
#include "support/program.h"

namespace {

struct ended {
  int status;
  std::string err;
};

template <typename F>
ended run(F&& body) {
  zub_test::StderrCapture err;
  const int status = zub_cli::run_main("prog", body);
  return {status, err.text()};
}

TEST(RunMain, EachFailureGetsItsMessageAndStatus) {
  ended e = run([] { return 3; });
  EXPECT_EQ(e.status, 3);
  EXPECT_EQ(e.err, "");
  e = run([]() -> int { zub_cli::bad_usage("no command given"); });
  EXPECT_EQ(e.status, 2);
  EXPECT_EQ(e.err, "prog: no command given\nTry 'prog --help'.\n");
  e = run([]() -> int { zub_cli::refuse("m.txt holds no matrix"); });
  EXPECT_EQ(e.status, 1);
  EXPECT_EQ(e.err, "prog: m.txt holds no matrix\n");
  e = run([]() -> int { throw std::bad_alloc(); });
  EXPECT_EQ(e.status, 1);
  EXPECT_EQ(e.err, "prog: out of memory\n");
  e = run([]() -> int { throw std::runtime_error("broken"); });
  EXPECT_EQ(e.status, 1);
  EXPECT_EQ(e.err, "prog: broken\n");
}

TEST(Ranges, RunsOfConsecutiveNumbers) {
  EXPECT_EQ(zub_cli::ranges({}), "");
  EXPECT_EQ(zub_cli::ranges({7}), "7");
  EXPECT_EQ(zub_cli::ranges({1, 2}), "1-2");
  EXPECT_EQ(zub_cli::ranges({3, 5, 6, 7, 9, 21, 22}), "3, 5-7, 9, 21-22");
}

TEST(Format, LongTextIsNotCut) {
  const std::string path(3000, 'p');
  EXPECT_EQ(zub_cli::format("cannot read %s: %d", path.c_str(), 7),
            "cannot read " + path + ": 7");
}

}  // namespace
