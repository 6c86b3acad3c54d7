// rmtool, run as a program: its refusals, and its results against the same
// computations done here in memory with the library.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "log_capture.h"
#include "run_program.h"
#include "temp_file.h"
#include "zub_feedback.h"

namespace {

using zub_test::LogCapture;
using zub_test::expect_refused;
using zub_test::program_result;
using zub_test::TempDir;

program_result rmtool(const std::vector<std::string>& args) {
  return zub_test::run_program(ZUB_PROGRAM, args);
}

// A rows x cols matrix file of random values, nine digits each, so that the
// floats the loader stores are exactly the ones drawn.
std::string random_matrix_text(int rows, int cols, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> value(-2.0f, 2.0f);
  std::string text = "# random test matrix\n";
  char buf[32];
  for (int i = 0; i < rows; ++i) {
    for (int j = 0; j < cols; ++j) {
      std::snprintf(buf, sizeof buf, "%s%.9g", j ? " " : "", value(rng));
      text += buf;
    }
    text += '\n';
  }
  return text;
}

// ---------------------------------------- usage errors

TEST(RmtoolUsage, HelpDescribesEveryCommand) {
  const program_result r = rmtool({"--help"});
  ASSERT_TRUE(r.exited);
  EXPECT_EQ(r.status, 0);
  for (const char* word : {"info FILE", "svd FILE", "invert FILE", "--pinv",
                           "apply INVERSE DEVIATIONS", "--tol"}) {
    EXPECT_NE(r.out.find(word), std::string::npos) << word;
  }
}

TEST(RmtoolUsage, BadCommandLinesExitWithStatusTwo) {
  const TempDir dir;
  const std::string m = dir.write("m.txt", "1 2\n3 4\n");
  expect_refused(rmtool({}), 2, "no command given");
  expect_refused(rmtool({"frobnicate", m}), 2, "unknown command 'frobnicate'");
  expect_refused(rmtool({"info"}), 2, "info wants one FILE");
  expect_refused(rmtool({"info", m, m}), 2, "info wants one FILE");
  expect_refused(rmtool({"info", m, "--bogus"}), 2, "unknown option '--bogus'");
  expect_refused(rmtool({"svd", m, "--tol"}), 2, "--tol needs a value");
  expect_refused(rmtool({"invert", m}), 2, "invert needs -o OUT");
  expect_refused(rmtool({"apply", m}), 2, "apply wants INVERSE and DEVIATIONS");
  expect_refused(rmtool({"svd", m, "--verbose=yes"}), 2,
                 "--verbose takes no value");
  expect_refused(rmtool({"invert", m, "--pinv", "--tol", "-1", "-o", "x"}), 2,
                 "with --pinv, --tol is the input filter");
}

TEST(RmtoolUsage, ToleranceMustBeMinusOneOrNotNegative) {
  const TempDir dir;
  const std::string m = dir.write("m.txt", "1 2\n3 4\n");
  for (const char* bad : {"abc", "-2", "-0.5", "nan", "inf", "1e999", ""}) {
    expect_refused(rmtool({"svd", m, "--tol", bad}), 2, "--tol wants");
  }
  const program_result r = rmtool({"svd", m, "--tol=0"});
  ASSERT_TRUE(r.exited);
  EXPECT_EQ(r.status, 0) << r.err;
}

// ---------------------------------------- files refused

TEST(RmtoolFiles, MissingDirectoryAndEmptyFilesAreRefused) {
  const TempDir dir;
  expect_refused(rmtool({"info", (dir.path() / "absent.txt").string()}), 1,
                 "cannot read");
  expect_refused(rmtool({"svd", dir.path().string()}), 1,
                 "is not a regular file");
  const std::string empty = dir.write("empty.txt", "# only a comment\n");
  expect_refused(rmtool({"info", empty}), 1, "holds no matrix");
}

TEST(RmtoolFiles, AnEmptyLastLineIsNamedAsTheLoaderCountsIt) {
  const TempDir dir;
  // The loader counts the empty last line as a row of no values.
  const std::string f = dir.write("m.txt", "1 2\n3 4\n\n");
  const program_result r = rmtool({"info", f});
  expect_refused(r, 1, "holds no matrix: 3 data lines, 0 values");
  EXPECT_NE(r.out.find("shape     3 x 0"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("has no values"), std::string::npos) << r.out;
}

TEST(RmtoolFiles, InfinityFromBeyondFloatRangeIsReportedAndNotInverted) {
  const TempDir dir;
  const std::string f = dir.write("m.txt", "1 2\n3 1e39\n");
  const program_result info = rmtool({"info", f});
  ASSERT_TRUE(info.exited);
  EXPECT_EQ(info.status, 1);
  EXPECT_NE(info.out.find("non-finite 1: (1, 1) = inf"), std::string::npos)
      << info.out;
  // The library refuses the inversion with an error message, which the tool
  // shows and turns into its exit status; no output file appears.
  const std::string out = (dir.path() / "inv.txt").string();
  const program_result inv = rmtool({"invert", f, "-o", out});
  expect_refused(inv, 1, "ERROR: ");
  EXPECT_NE(inv.err.find("the matrix was not inverted"), std::string::npos);
  EXPECT_FALSE(std::ifstream(out).good());
  EXPECT_FALSE(std::ifstream(out + ".part").good());
}

TEST(RmtoolFiles, ApplyRefusesDeviationsOfTheWrongLength) {
  const TempDir dir;
  const std::string k = dir.write("k.txt", "1 0 0\n0 1 0\n");  // 2 x 3
  const std::string d = dir.write("d.txt", "1\n2\n");          // 2 values
  expect_refused(rmtool({"apply", k, d}), 1,
                 "wants a column of 3 monitor deviations");
}

TEST(RmtoolFiles, InfoShowsWhatTheLoaderIgnores) {
  const TempDir dir;
  const std::string f =
      dir.write("m.txt", "1,2,3\n4 5 6 # trailing\n7 8\n1 2 3\n");
  const program_result r = rmtool({"info", f});
  ASSERT_TRUE(r.exited);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("shape     4 x 3"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("line 1 (row 0): values end at ',2,3' after 1 number"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("values end at '#'"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("line 3 (row 2): 2 values where the last data line "
                       "has 3"),
            std::string::npos)
      << r.out;
}

// ---------------------------------------- results against the library

// The same file loaded here; the tool's file must give back the very floats.
class RmtoolRoundTrip : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = dir_.write("r.txt", random_matrix_text(7, 4, 11));
    ASSERT_TRUE(R_.load_file(path_.c_str()));
  }

  // The inverse that the tool wrote, loaded as a server would load it.
  void load_output(const std::string& out, MDFA_ResponseMatrix& into) {
    ASSERT_TRUE(into.load_file(out.c_str()));
  }

  LogCapture log_;  // keeps the library's messages out of the test output
  TempDir dir_;
  EqFct loc_;
  std::string path_;
  MDFA_ResponseMatrix R_{"R", 7, 4, &loc_};
};

TEST_F(RmtoolRoundTrip, InvertOutputLoadsBackAsTheInverseInMemory) {
  const std::string out = (dir_.path() / "inv.txt").string();
  const program_result r = rmtool({"invert", path_, "-o", out});
  ASSERT_TRUE(r.exited);
  ASSERT_EQ(r.status, 0) << r.err;

  MDFA_ResponseMatrix expected("EXPECTED", 4, 7, &loc_);
  K_spectrum spectrum("S", 4, &loc_);
  float tol = -1.0f;
  int nosv = 0;
  R_.invert(expected, spectrum, &tol, &nosv);
  MDFA_ResponseMatrix loaded("LOADED", 4, 7, &loc_);
  load_output(out, loaded);
  EXPECT_TRUE(loaded == expected);
  EXPECT_NE(loaded.value(0, 0, -1, -1, -1, -1), 0.0f);
}

TEST_F(RmtoolRoundTrip, GivenToleranceAndPseudoInverseRoundTripToo) {
  const std::string out = (dir_.path() / "inv.txt").string();
  K_spectrum spectrum("S", 4, &loc_);
  MDFA_ResponseMatrix full("FULL", 4, 7, &loc_);
  float internal = -1.0f;
  int nosv = 0;
  R_.invert(full, spectrum, &internal, &nosv);
  // A tolerance just above the smallest singular value relative to the
  // largest, so that the inverse leaves that value out.
  const float s0 = spectrum.spectrum_value(0);
  const float s3 = spectrum.spectrum_value(3);
  char tol_text[32];
  std::snprintf(tol_text, sizeof tol_text, "%.9g", (s3 / s0) * 1.01f);
  float tol = std::strtof(tol_text, nullptr);
  MDFA_ResponseMatrix expected("EXPECTED", 4, 7, &loc_);
  R_.invert(expected, spectrum, &tol, &nosv);
  ASSERT_FALSE(expected == full);

  program_result r = rmtool({"invert", path_, "--tol", tol_text, "-o", out});
  ASSERT_TRUE(r.exited);
  ASSERT_EQ(r.status, 0) << r.err;
  MDFA_ResponseMatrix loaded("LOADED", 4, 7, &loc_);
  load_output(out, loaded);
  EXPECT_TRUE(loaded == expected);

  r = rmtool({"invert", path_, "--pinv", "-o", out});
  ASSERT_TRUE(r.exited);
  ASSERT_EQ(r.status, 0) << r.err;
  float zero = 0.0f;
  R_.pinv(expected, &zero);
  load_output(out, loaded);
  EXPECT_TRUE(loaded == expected);
}

TEST_F(RmtoolRoundTrip, ApplyPrintsTheProductOfInverseAndDeviations) {
  const std::string inv = (dir_.path() / "inv.txt").string();
  ASSERT_EQ(rmtool({"invert", path_, "-o", inv}).status, 0);
  // Deviations given as one line; the tool makes the column of them.
  const std::string dev =
      dir_.write("d.txt", "0.5 -1.25 2 0.125 -0.75 1 0.25\n");

  MDFA_ResponseMatrix K("K", 4, 7, &loc_);
  load_output(inv, K);
  MDFA_ResponseMatrix d("D", 7, 1, &loc_);
  const float values[] = {0.5f, -1.25f, 2.0f, 0.125f, -0.75f, 1.0f, 0.25f};
  for (int i = 0; i < 7; ++i) d.set_value(values[i], i, 0, -1, -1, -1, -1);
  MDFA_ResponseMatrix expected("EXPECTED", 4, 1, &loc_);
  K.multiply(d, expected);

  const program_result r = rmtool({"apply", inv, dev});
  ASSERT_TRUE(r.exited);
  ASSERT_EQ(r.status, 0) << r.err;
  // The output is itself a loadable 4 x 1 file.
  const std::string printed = dir_.write("settings.txt", r.out);
  MDFA_ResponseMatrix got("GOT", 4, 1, &loc_);
  load_output(printed, got);
  EXPECT_TRUE(got == expected);
}

TEST_F(RmtoolRoundTrip, SvdListsTheSpectrumThatInvertPublishes) {
  const program_result r = rmtool({"svd", path_});
  ASSERT_TRUE(r.exited);
  ASSERT_EQ(r.status, 0) << r.err;
  MDFA_ResponseMatrix inverse("I", 4, 7, &loc_);
  K_spectrum spectrum("S", 4, &loc_);
  float tol = -1.0f;
  int nosv = 0;
  R_.invert(inverse, spectrum, &tol, &nosv);
  for (int i = 0; i < 4; ++i) {
    char line[64];
    std::snprintf(line, sizeof line, "  %4d  %.6e  kept", i,
                  static_cast<double>(spectrum.spectrum_value(i)));
    EXPECT_NE(r.out.find(line), std::string::npos) << line << "\n" << r.out;
  }
  EXPECT_NE(r.out.find("kept       4 of 4"), std::string::npos) << r.out;
}

TEST(RmtoolSvd, SingularShippedMatrixShowsTheCutValue) {
  const program_result r = rmtool({"svd", ZUB_SHIPPED_MATRIX});
  ASSERT_TRUE(r.exited);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("kept       11 of 12"), std::string::npos) << r.out;
  // The zero column of the last corrector gives the one value cut.
  const size_t at = r.out.find("\n    11  ");
  ASSERT_NE(at, std::string::npos) << r.out;
  const std::string line =
      r.out.substr(at + 1, r.out.find('\n', at + 1) - at - 1);
  EXPECT_NE(line.find(" cut"), std::string::npos) << line;
  EXPECT_NE(r.out.find("    10  "), std::string::npos);
  EXPECT_NE(r.out.find("condition  infinite"), std::string::npos) << r.out;
  // invert's line about transposing the tall matrix stays out of the output.
  EXPECT_EQ(r.out.find("Matrix dim change back"), std::string::npos);
}

}  // namespace
