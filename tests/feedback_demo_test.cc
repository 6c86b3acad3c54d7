// The feedback demo, run as a program: it corrects the orbit, repeats itself
// for a seed, writes its picture, and refuses bad options and files with a
// message and a status, never a crash.
#include <gtest/gtest.h>

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "run_program.h"
#include "temp_file.h"

namespace {

using zub_test::expect_refused;
using zub_test::program_result;
using zub_test::TempDir;

program_result demo(const std::vector<std::string>& args) {
  return zub_test::run_program(ZUB_PROGRAM, args);
}

// The number after `label` in the text, or NaN when it is missing.
double number_after(const std::string& text, const std::string& label) {
  const size_t at = text.find(label);
  if (at == std::string::npos) return std::nan("");
  return std::strtod(text.c_str() + at + label.size(), nullptr);
}

// ---------------------------------------- the default run

TEST(FeedbackDemo, DefaultRunCorrectsTheOrbitTenfoldAndMore) {
  const program_result r = demo({});
  ASSERT_TRUE(r.exited);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  const std::string summary = r.out.substr(r.out.find("\nSummary\n"));
  const double before = number_after(summary, "orbit rms ");
  const double after = number_after(summary, " mm -> ");
  ASSERT_GT(before, 0.0) << r.out;
  ASSERT_GT(after, 0.0) << r.out;
  EXPECT_GE(before / after, 10.0) << r.out;
  // The singular zero column of the shipped matrix is cut, the rest kept.
  EXPECT_NE(r.out.find("\n     11 of 12 singular values kept\n"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find(" cut\n"), std::string::npos);
  // Read back through get: the newest entry is the last iteration's.
  EXPECT_NE(r.out.find("entry 0 alone: iteration 10: orbit rms"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("R56"), std::string::npos);
}

TEST(FeedbackDemo, SameSeedRepeatsOtherSeedDiffers) {
  // The history's clock times aside, the output follows from the seed.
  auto without_times = [](const program_result& r) {
    return r.out.substr(0, r.out.find("5. The message history"));
  };
  const program_result a = demo({"--seed", "7", "--quiet"});
  const program_result b = demo({"--seed=7", "--quiet"});
  const program_result c = demo({"--seed", "8", "--quiet"});
  ASSERT_EQ(a.status, 0);
  ASSERT_EQ(c.status, 0);
  EXPECT_EQ(without_times(a), without_times(b));
  EXPECT_NE(without_times(a), without_times(c));
}

TEST(FeedbackDemo, QuietLeavesOutTheLibrarysInformation) {
  const program_result loud = demo({"--iterations", "1"});
  const program_result quiet = demo({"--iterations", "1", "--quiet"});
  ASSERT_EQ(loud.status, 0);
  ASSERT_EQ(quiet.status, 0);
  EXPECT_NE(loud.out.find("INFO: Using 11 from 12 singular values"),
            std::string::npos);
  EXPECT_EQ(quiet.out.find("INFO:"), std::string::npos) << quiet.out;
}

TEST(FeedbackDemo, SvgHoldsTheSpectrumAndBothOrbits) {
  const TempDir dir;
  const std::string svg = (dir.path() / "demo.svg").string();
  const program_result r = demo({"--svg", svg, "--quiet"});
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string text = zub_test::read_whole_file(svg);
  ASSERT_EQ(text.rfind("<svg xmlns=\"http://www.w3.org/2000/svg\"", 0), 0u);
  EXPECT_EQ(text.substr(text.size() - 7), "</svg>\n");
  // Eleven kept bars in one colour, one polyline each for before and after;
  // the zero singular value has a marker instead of a bar.
  size_t kept_bars = 0, polylines = 0;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.rfind("<rect", 0) == 0 &&
        line.find("fill=\"#2a6fdb\"") != std::string::npos) {
      ++kept_bars;
    }
    if (line.rfind("<polyline", 0) == 0) ++polylines;
  }
  EXPECT_EQ(kept_bars, 11u);
  EXPECT_EQ(polylines, 2u);
  // No coordinate or label is a NaN or an infinity.
  std::string token;
  for (const char c : text + " ") {
    if (std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.') {
      token += c;
      continue;
    }
    EXPECT_TRUE(token != "nan" && token != "-nan" && token != "inf" &&
                token != "-inf")
        << token;
    token.clear();
  }
}

TEST(FeedbackDemo, OtherShapesRunToo) {
  const TempDir dir;
  // More correctors than monitors: nothing is transposed.
  const std::string wide = dir.write("wide.txt",
                                     "# 3 monitors x 5 correctors\n"
                                     "1 0.5 0.2 0.1 0\n"
                                     "0.3 1 0.4 0.2 0.1\n"
                                     "0.1 0.2 1 0.3 0.5\n");
  const program_result r =
      demo({"--file", wide, "--monitors", "3", "--actuators", "5", "--quiet"});
  ASSERT_TRUE(r.exited);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("\n     3 of 3 singular values kept\n"),
            std::string::npos)
      << r.out;
}

// ---------------------------------------- refusals

TEST(FeedbackDemoUsage, HelpNamesEveryOption) {
  const program_result r = demo({"--help"});
  ASSERT_EQ(r.status, 0);
  for (const char* option :
       {"--file", "--monitors", "--actuators", "--tol", "--iterations",
        "--gain", "--noise", "--errors", "--seed", "--svg", "--quiet"}) {
    EXPECT_NE(r.out.find(option), std::string::npos) << option;
  }
}

TEST(FeedbackDemoUsage, BadOptionsExitWithStatusTwo) {
  const struct {
    std::vector<std::string> args;
    const char* message;
  } cases[] = {
      {{"--bogus"}, "unknown argument '--bogus'"},
      {{"extra"}, "unknown argument 'extra'"},
      {{"--gain"}, "--gain needs a value"},
      {{"--gain", "0"}, "--gain wants a number with 0 < G <= 1"},
      {{"--gain", "1.5"}, "--gain wants"},
      {{"--gain", "nan"}, "--gain wants a number"},
      {{"--iterations", "-1"}, "--iterations wants a whole number from 0"},
      {{"--iterations", "2.5"}, "--iterations wants"},
      {{"--monitors", "0"}, "--monitors wants"},
      {{"--monitors", "99999999999999999999"}, "--monitors wants"},
      {{"--tol", "-2"}, "--tol wants -1"},
      {{"--noise", "-1"}, "--noise wants"},
      {{"--errors", "inf"}, "--errors wants a number"},
      {{"--seed", "-1"}, "--seed wants"},
      {{"--seed", "18446744073709551616"}, "--seed wants"},
      {{"--quiet=yes"}, "--quiet takes no value"},
      {{"--file="}, "--file needs a file name"},
      {{"--monitors", "100000", "--actuators", "100000"}, "more than"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args[0]);
    expect_refused(demo(c.args), 2, c.message);
  }
}

TEST(FeedbackDemoFiles, BadFilesExitWithStatusOne) {
  const TempDir dir;
  expect_refused(demo({"--file", (dir.path() / "absent.txt").string()}), 1,
                 "is not a 24 x 12 response matrix");
  expect_refused(demo({"--file", dir.path().string()}), 1,
                 "is not a 24 x 12 response matrix");
  // The shipped file with a wrong shape: the loader says which count is off.
  const program_result r = demo({"--monitors", "23"});
  expect_refused(r, 1,
                 "ERROR: No. rows (24) do not match no. of monitors (23)!");
  // A value beyond float range loads as an infinity; the inversion refuses it.
  const std::string inf = dir.write("inf.txt", "1 2\n3 1e39\n");
  expect_refused(demo({"--file", inf, "--monitors", "2", "--actuators", "2"}),
                 1, "the response matrix was not inverted");
}

TEST(FeedbackDemoFiles, UnwritablePictureIsRefused) {
  const TempDir dir;
  expect_refused(
      demo({"--svg", (dir.path() / "no" / "such" / "dir.svg").string()}), 1,
      "cannot write");
}

}  // namespace
