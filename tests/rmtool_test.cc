// rmtool, run as a program: its refusals, and its results against the same
// computations done here in memory with the library.
#include <gtest/gtest.h>

#include <armadillo>
#include <cfloat>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "log_capture.h"
#include "matrix_data.h"
#include "run_program.h"
#include "support/matrix_text.h"
#include "temp_file.h"
#include "zub_feedback.h"
#include "zub_feedback/matrix_io.h"

namespace {

using zub_test::expect_refused;
using zub_test::LogCapture;
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
  return "# random test matrix\n" +
         zub_cli::matrix_text(rows, cols, [&](int, int) { return value(rng); });
}

// ---------------------------------------- usage errors

TEST(RmtoolUsage, HelpDescribesEveryCommand) {
  const program_result r = rmtool({"--help"});
  ASSERT_TRUE(r.exited);
  EXPECT_EQ(r.status, 0);
  for (const char* word :
       {"info FILE", "svd FILE", "invert FILE", "--pinv",
        "apply INVERSE DEVIATIONS", "--tol", "--exclude-monitors",
        "--exclude-correctors", "--keep", "--tikhonov", "--version"}) {
    EXPECT_NE(r.out.find(word), std::string::npos) << word;
  }
  const program_result v = rmtool({"--version"});
  EXPECT_EQ(v.status, 0);
  EXPECT_EQ(v.out, "rmtool (zub_feedback) " ZUB_PROJECT_VERSION "\n");
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
  // Each option for what it does: --pinv's input filter is --zero-below.
  expect_refused(rmtool({"invert", m, "--pinv", "--tol", "0.1", "-o", "x"}), 2,
                 "--tol is the truncated SVD's tolerance; with --pinv, the "
                 "input filter is --zero-below");
  expect_refused(rmtool({"invert", m, "--zero-below", "0.1", "-o", "x"}), 2,
                 "--zero-below is the input filter of --pinv");
  // An item that starts with neither a digit nor '-' is a name.
  expect_refused(rmtool({"svd", m, "--exclude-monitors", "a"}), 2,
                 "m.txt: the matrix names no monitors");
  for (const char* bad : {"", "1,,2", "3-1", "-1", "1.5", "a,1.5"}) {
    expect_refused(rmtool({"svd", m, "--exclude-monitors", bad}), 2,
                   "--exclude-monitors wants indices from 0");
  }
  expect_refused(rmtool({"svd", m, "--exclude-correctors", "0,2"}), 2,
                 "there is no corrector 2");
  expect_refused(
      rmtool({"svd", m, "--exclude-monitors", "30", "--exclude-monitors", "1"}),
      2, "there is no monitor 30");
}

TEST(RmtoolUsage, ToleranceMustBeMinusOneOrNotNegative) {
  const TempDir dir;
  const std::string m = dir.write("m.txt", "1 2\n3 4\n");
  for (const char* bad : {"abc", "-2", "-0.5", "nan", "inf", "1e999", ""}) {
    expect_refused(rmtool({"svd", m, "--tol", bad}), 2, "--tol wants");
  }
  // The range is the float's, and what a float holds as 0 is not taken for
  // a tolerance that is not.
  expect_refused(rmtool({"svd", m, "--tol", "1e40"}), 2,
                 "--tol wants -1 (the internal tolerance) or a number from 0 "
                 "to 3.4e38, not '1e40'");
  expect_refused(rmtool({"svd", m, "--tol", "1e-300"}), 2,
                 "--tol 1e-300 would be 0 as a float");
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
  expect_refused(r, 1, "does not load: 1 offending line");
  EXPECT_NE(r.out.find("shape     3 x 2"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("line 3 is blank: a blank line after the last row "
                       "counts as a row"),
            std::string::npos)
      << r.out;
}

TEST(RmtoolFiles, ValueBeyondFloatRangeIsNamedAndNotInverted) {
  const TempDir dir;
  const std::string f = dir.write("m.txt", "1 2\n3 1e39\n");
  const program_result info = rmtool({"info", f});
  expect_refused(info, 1, "does not load");
  EXPECT_NE(
      info.out.find("line 2: value 2, \"1e39\", is beyond the float range"),
      std::string::npos)
      << info.out;
  // No output file appears.
  const std::string out = (dir.path() / "inv.txt").string();
  const program_result inv = rmtool({"invert", f, "-o", out});
  expect_refused(inv, 1, "does not load");
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
  expect_refused(r, 1, "does not load");
  EXPECT_NE(r.out.find("shape     4 x 3"), std::string::npos) << r.out;
  // The matrix would not hold its values: none are counted.
  EXPECT_EQ(r.out.find("\nvalues "), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("line 1: the \",\" in \"1,2,3\" is not a number: "
                       "blanks separate the values, and \".\" is the decimal "
                       "point; it holds 1 value, not 3"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("line 3 holds 2 values, not 3"), std::string::npos)
      << r.out;
  // A comment after the values is no fault.
  EXPECT_EQ(r.out.find("line 2"), std::string::npos) << r.out;
}

// Each way in which a file loads with elements that it does not hold:
// info names the line (counted from 1, rows from 0, comments counted as
// lines) and exits 1; svd, invert and apply refuse the file.
TEST(RmtoolFiles, EveryLineThatWouldNotLoadAsItReadsIsNamed) {
  const TempDir dir;
  const struct {
    const char* text;
    const char* named;
  } cases[] = {
      {"# c\n1 2 3\n4 nan 6\n7 8 9\n",
       "line 3: \"nan\" is not a number; it holds 1 value, not 3"},
      {"1 2 3\n4 5 inf\n7 8 9\n", "line 2: \"inf\" is not a number"},
      {"1 2\n-1e309 4\n5 6\n",
       "line 2: \"-1e309\" is beyond the range of a double; it holds 0 "
       "values, not 2"},
      {"1 2 3\n4 5o 6\n7 8 9\n",
       "line 2: \"o\" in \"5o\" is not a number; it holds 2 values, not 3"},
      {"1 2 3\n4 5\n7 8 9\n", "line 2 holds 2 values, not 3"},
      {"1 2 3 4\n5 6 7\n", "line 1 holds 4 values, not 3"},
      {"1 2 3\n4 5 6\n7 8 x9\n",
       "line 3: \"x9\" is not a number; it holds 2 values, not 3"},
      {"\xEF\xBB\xBF# a comment\n1 2\n3 4\n",
       "line 1 starts with a byte-order mark"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const std::string f = dir.write("m.txt", c.text);
    const program_result info = rmtool({"info", f});
    expect_refused(info, 1, "does not load");
    EXPECT_NE(info.out.find(c.named), std::string::npos) << info.out;
    EXPECT_NE(info.out.find("line numbers count from 1, rows and columns "
                            "from 0"),
              std::string::npos);
    const program_result svd = rmtool({"svd", f});
    expect_refused(svd, 1, "does not load");
    EXPECT_NE(svd.err.find(c.named), std::string::npos) << svd.err;
    EXPECT_EQ(svd.out, "");
  }
  // Past the first 20, the offending lines are listed as ranges.
  std::string many;
  for (int i = 1; i <= 60; ++i) {
    many += (i <= 25 || i == 28) ? "1 nan\n" : "1 2\n";
  }
  const program_result listed = rmtool({"info", dir.write("many.txt", many)});
  EXPECT_EQ(listed.status, 1);
  EXPECT_NE(listed.out.find("  line 20: "), std::string::npos);
  EXPECT_EQ(listed.out.find("  line 21: "), std::string::npos);
  EXPECT_NE(listed.out.find("  ... and 6 more: lines 21-25, 28\n"),
            std::string::npos)
      << listed.out;
  // CR-LF line ends, tabs, trailing comments and names after a row's
  // values are no fault, on the last line too: the loader ignores them.
  for (const char* text : {"1\t2 # x\r\n3 4\r\n", "1 2 BPM1\n3 4 BPM2\n"}) {
    const program_result r = rmtool({"info", dir.write("good.txt", text)});
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.out.find("offending"), std::string::npos) << r.out;
  }
  // Decimal commas load as one value a line: info says so.
  const program_result commas =
      rmtool({"info", dir.write("commas.txt", "1,5 2,0\n3,1 4,2\n")});
  EXPECT_EQ(commas.status, 0) << commas.err;
  EXPECT_NE(commas.out.find("shape     2 x 1"), std::string::npos);
  EXPECT_NE(commas.out.find("(every data line holds one value; on line 1 it "
                            "ends at a comma (\"1,5\"): decimal commas? The "
                            "loader reads \"1,5\" as 1, as \".\" is the "
                            "decimal point)"),
            std::string::npos)
      << commas.out;
}

TEST(RmtoolFiles, ApplyRefusesDeviationsThatAreNotNumbers) {
  const TempDir dir;
  const std::string k = dir.write("k.txt", "1 0 0\n0 1 0\n");  // 2 x 3
  expect_refused(rmtool({"apply", k, dir.write("d.txt", "1\nnan\n2\n")}), 1,
                 "line 2: \"nan\" is not a number");
  expect_refused(rmtool({"apply", k, dir.write("d.txt", "1\n\n2\n")}), 1,
                 "line 2 is blank: a blank line counts as a row");
  expect_refused(rmtool({"apply", k, dir.write("d.txt", "1\n2\n1e39\n")}), 1,
                 "line 3: value 1, \"1e39\", is beyond the float range");
  expect_refused(rmtool({"apply", k, dir.write("d.txt", "1 2 3 4\n")}), 1,
                 "wants a column of 3 monitor deviations");
  // Finite factors, a product beyond the float range.
  const std::string big = dir.write("big.txt", "3e38 3e38\n1 1\n");
  expect_refused(rmtool({"apply", big, dir.write("d.txt", "1\n1\n")}), 1,
                 "the corrector setting (0, 0) = inf is not finite");
}

// The core refuses a singular value beyond the float range (6e38 here):
// said once with the core's message, nothing written.
TEST(RmtoolFiles, RefusalOfTheInversionIsShownWithTheCoresMessage) {
  const TempDir dir;
  const std::string f = dir.write("big.txt", "3e38 3e38\n3e38 3e38\n");
  const std::string out = (dir.path() / "inv.txt").string();
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"svd", f},
        std::vector<std::string>{"invert", f, "-o", out}}) {
    const program_result r = rmtool(args);
    expect_refused(r, 1,
                   "rmtool: the matrix was not inverted: ERROR: singular "
                   "value 6.000000e+38 beyond float range !");
    EXPECT_EQ(r.out, "");
  }
  EXPECT_FALSE(std::ifstream(out).good());
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

  // The input filter zeroes the elements below it first.
  r = rmtool({"invert", path_, "--pinv", "--zero-below=0.5", "-o", out});
  ASSERT_EQ(r.status, 0) << r.err;
  MDFA_ResponseMatrix unfiltered("UNFILTERED", 4, 7, &loc_);
  unfiltered = expected;
  float half = 0.5f;
  R_.pinv(expected, &half);
  ASSERT_FALSE(expected == unfiltered);
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

TEST_F(RmtoolRoundTrip, ExcludedMonitorsAndCorrectorsGetZerosInTheInverse) {
  const std::string out = (dir_.path() / "inv.txt").string();
  const program_result r =
      rmtool({"invert", path_, "--exclude-monitors", "1,4-5",
              "--exclude-correctors=2", "-o", out});
  ASSERT_TRUE(r.exited);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_NE(r.out.find("3 of 4 singular values kept; excluded monitors 1, "
                       "4-5, correctors 2"),
            std::string::npos)
      << r.out;
  MDFA_ResponseMatrix loaded("LOADED", 4, 7, &loc_);
  load_output(out, loaded);
  // The reduced matrix (monitors 0, 2, 3, 6; correctors 0, 1, 3), inverted
  // by Armadillo in double, in the places that the tool keeps.
  const arma::uvec monitors = {0, 2, 3, 6};
  const arma::uvec correctors = {0, 1, 3};
  const arma::mat expected =
      arma::pinv(zub_test::to_arma(R_).submat(monitors, correctors));
  const arma::mat got = zub_test::to_arma(loaded);
  arma::mat zeros = got;
  zeros.submat(correctors, monitors).zeros();
  EXPECT_EQ(arma::abs(zeros).max(), 0.0) << got;
  EXPECT_LT(arma::abs(got.submat(correctors, monitors) - expected).max(),
            64 * FLT_EPSILON * arma::abs(expected).max())
      << got << expected;
}

// The count is invert's: diag(2, 1e-39) with tolerance 0 keeps 1, as the
// reciprocal of 1e-39 is beyond the float range.
TEST(RmtoolSvd, KeptValuesAreTheOnesThatEnteredTheInverse) {
  const TempDir dir;
  const std::string f = dir.write("d.txt", "2 0\n0 1e-39\n");
  const program_result r = rmtool({"svd", f, "--tol", "0"});
  ASSERT_TRUE(r.exited);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("     1  1.000000e-39  cut   monitors 1 0; correctors "
                       "1 0\n"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("kept       1 of 2\n"), std::string::npos) << r.out;
  const program_result inv =
      rmtool({"invert", f, "--tol", "0", "-o", (dir.path() / "i").string()});
  EXPECT_NE(inv.out.find("1 of 2 singular values kept"), std::string::npos)
      << inv.out;
}

// Column 3 is column 0 plus column 1: the fourth singular value is the
// float rounding of the elements, and the default tolerance keeps it.
TEST(RmtoolSvd, KeptValueAtFloatRoundingIsNamedWithTheToleranceThatCutsIt) {
  const TempDir dir;
  const std::string f = dir.write("r.txt",
                                  "0.3 0.7 1.1 1.0\n"
                                  "1.3 0.2 0.5 1.5\n"
                                  "0.9 1.7 0.4 2.6\n"
                                  "0.1 0.6 1.9 0.7\n"
                                  "1.1 0.3 0.8 1.4\n"
                                  "0.7 1.1 0.2 1.8\n");
  const program_result r = rmtool({"svd", f});
  ASSERT_TRUE(r.exited);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("kept       4 of 4"), std::string::npos) << r.out;
  const std::string named = "rmtool: warning: singular value 3 (";
  ASSERT_EQ(r.err.rfind(named, 0), 0u) << r.err;
  const double s = std::strtod(r.err.c_str() + named.size(), nullptr);
  EXPECT_GT(s, 0.0);
  EXPECT_LT(s, 1e-6);
  const size_t at = r.err.find("1/s = ");
  ASSERT_NE(at, std::string::npos) << r.err;
  EXPECT_NEAR(std::strtod(r.err.c_str() + at + 6, nullptr), 1.0 / s, 0.01 / s);
  // invert warns the same; the tolerance it names cuts the value, and
  // nothing more.
  const program_result inv =
      rmtool({"invert", f, "-o", (dir.path() / "inv.txt").string()});
  EXPECT_EQ(inv.status, 0);
  EXPECT_EQ(inv.err, r.err);
  const std::string tol = zub_test::named_tolerance(r.err);
  ASSERT_NE(tol, "") << r.err;
  const program_result cut = rmtool({"svd", f, "--tol", tol});
  ASSERT_EQ(cut.status, 0) << cut.err;
  EXPECT_EQ(cut.err, "");
  EXPECT_NE(cut.out.find("kept       3 of 4"), std::string::npos) << cut.out;
}

// In large units the internal tolerance, which grows with s_max squared,
// cuts a singular value that lies well above the float rounding level.
TEST(RmtoolSvd, ValueAboveFloatRoundingCutByTheInternalToleranceIsNamed) {
  const TempDir dir;
  const std::string f = dir.write("big.txt", "1e9 0\n0 300\n");
  const program_result r = rmtool({"svd", f});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("kept       1 of 2"), std::string::npos) << r.out;
  EXPECT_EQ(r.err.rfind("rmtool: warning: singular value 1 (300) is cut by "
                        "the internal tolerance, but above the float rounding "
                        "level of the matrix",
                        0),
            0u)
      << r.err;
  const std::string tol = zub_test::named_tolerance(r.err);
  ASSERT_NE(tol, "") << r.err;
  const program_result kept = rmtool({"svd", f, "--tol", tol});
  ASSERT_EQ(kept.status, 0) << kept.err;
  // Kept, the value is no longer cut, but 3.3e6 x below its neighbour.
  EXPECT_EQ(kept.err.rfind("rmtool: warning: singular values 0 (1e+09) and 1 "
                           "(300) are both kept but 3333333 x apart",
                           0),
            0u)
      << kept.err;
  EXPECT_EQ(kept.err.find('\n'), kept.err.size() - 1) << kept.err;
  EXPECT_NE(kept.out.find("kept       2 of 2"), std::string::npos) << kept.out;
}

// The shipped matrix in smaller units inverts as it does in its own: the
// element filter takes no part of a kept mode, and nothing is said.
TEST(RmtoolSvd, MatrixInSmallerUnitsInvertsWithoutWarning) {
  const TempDir dir;
  MDFA_ResponseMatrix R("R", 24, 12, nullptr);
  {
    LogCapture log;
    ASSERT_TRUE(R.load_file(ZUB_SHIPPED_MATRIX));
  }
  auto scaled = [&](double factor) {
    return dir.write("scaled.txt",
                     zub_cli::matrix_text(24, 12, [&](int i, int j) {
                       return R.value(i, j, -1, -1, -1, -1) * factor;
                     }));
  };
  for (const double factor : {1e6, 3e5, 1e3}) {
    SCOPED_TRACE(factor);
    const program_result r = rmtool({"svd", scaled(factor)});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("kept       11 of 12"), std::string::npos);
    EXPECT_EQ(r.err, "");
  }
}

// An inverse without a single mode corrects nothing: said, whatever made it.
TEST(RmtoolSvd, InverseWithoutAnyKeptValueIsReported) {
  const TempDir dir;
  const std::string zeros = dir.write("zeros.txt", "0 0\n0 0\n");
  const std::vector<std::vector<std::string>> cases = {
      {"invert", ZUB_SHIPPED_MATRIX, "--tol", "1"},
      {"invert", ZUB_SHIPPED_MATRIX, "--exclude-correctors", "0-11"},
      {"invert", zeros},
      {"svd", zeros}};
  for (std::vector<std::string> args : cases) {
    SCOPED_TRACE(args[1] + " " + (args.size() > 2 ? args[2] : ""));
    if (args[0] == "invert") {
      args.push_back("-o");
      args.push_back((dir.path() / "inv.txt").string());
    }
    const program_result r = rmtool(args);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("rmtool: warning: no singular value was kept"),
              std::string::npos)
        << r.err;
  }
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

// ---------------------------------------- named files

// A named file: info shows its names and metadata, svd the names that
// weigh most in each mode, the exclusions take names, and invert writes
// the inverse with the names swapped, the metadata kept and its unit
// inverted.
TEST(RmtoolNamed, NamesAreShownTakenAndSwapped) {
  const TempDir dir;
  zub_feedback::named_matrix m;
  m.values = zub_feedback::matrix(4, 3);
  for (size_t i = 0; i < 4; ++i)
    m.values(i, i % 3) = 1.0 + static_cast<double>(i);
  m.monitors = {"BPM.A", "BPM.B", "BPM.C", "BPM.D"};
  m.correctors = {"HC.1", "HC.2", "HC.3"};
  m.metadata = {{"unit", "mm/mrad"}, {"plane", "x"}};
  const std::string f = (dir.path() / "n.txt").string();
  ASSERT_TRUE(zub_feedback::write_named_matrix_file(f, m));

  const program_result info = rmtool({"info", f});
  ASSERT_EQ(info.status, 0) << info.err;
  for (const char* line :
       {"\nmonitors  BPM.A BPM.B BPM.C BPM.D (4)\n",
        "\ncorrectors HC.1 HC.2 HC.3 (3)\n", "\nmetadata  unit: mm/mrad\n",
        "\n          plane: x\n"}) {
    EXPECT_NE(info.out.find(line), std::string::npos) << line << info.out;
  }

  // Mode 0 is BPM.D (4) on HC.1 with BPM.A (1) beside it.
  const program_result svd = rmtool({"svd", f});
  ASSERT_EQ(svd.status, 0) << svd.err;
  EXPECT_NE(svd.out.find("kept  monitors BPM.D BPM.A BPM.B; correctors HC.1 "
                         "HC.2 HC.3\n"),
            std::string::npos)
      << svd.out;

  const std::string out = (dir.path() / "inv.txt").string();
  const program_result inv =
      rmtool({"invert", f, "--exclude-monitors", "BPM.B,3",
              "--exclude-correctors=HC.3", "-o", out});
  ASSERT_EQ(inv.status, 0) << inv.err;
  EXPECT_NE(inv.out.find("excluded monitors 1, 3, correctors 2"),
            std::string::npos)
      << inv.out;
  const auto back = zub_feedback::read_named_matrix_file(out);
  ASSERT_TRUE(back) << back.error().detail;
  EXPECT_EQ(back.value().monitors, m.correctors);
  EXPECT_EQ(back.value().correctors, m.monitors);
  // The inverse's unit is the matrix's upside down.
  EXPECT_EQ(back.value().metadata,
            (std::vector<std::pair<std::string, std::string>>{
                {"unit", "mrad/mm"}, {"plane", "x"}}));
  EXPECT_EQ(back.value().values(0, 0), 1.0);  // 1 / BPM.A's 1 on HC.1

  expect_refused(rmtool({"svd", f, "--exclude-correctors", "HC.9"}), 2,
                 "n.txt: none of its 3 correctors is named \"HC.9\"");
  // Names that do not fit refuse the file, naming the line.
  const std::string bad =
      dir.write("bad.txt", "# monitors: A B\n# correctors: X\n1\n");
  expect_refused(rmtool({"info", bad}), 1,
                 "line 1 names 2 monitors; the file holds 1 data line (rows)");
}

// ---------------------------------------- the regularised inverse

// An 8 x 5 matrix with the singular values 180, 25, 1.2, 0.0118, 0.0058:
// a gap of 102 x between modes 2 and 3.
std::string gapped_matrix_text() {
  arma::arma_rng::set_seed(5);
  arma::mat u, v;
  arma::vec ignored;
  arma::svd_econ(u, ignored, v, arma::randn<arma::mat>(8, 5));
  const arma::mat a =
      u * arma::diagmat(arma::vec{180, 25, 1.2, 0.0118, 0.0058}) * v.t();
  return zub_cli::matrix_text(8, 5, [&](int i, int j) {
    return static_cast<float>(
        a(static_cast<arma::uword>(i), static_cast<arma::uword>(j)));
  });
}

// A matrix file as the tool reads it, in double precision.
arma::mat read_back(const std::string& path) {
  const auto f = zub_feedback::read_matrix_file(path);
  EXPECT_TRUE(f) << path;
  return f ? zub_test::to_arma(f.value().values) : arma::mat();
}

TEST(RmtoolRegularized, GapInTheKeptSpectrumIsNamedWithWhatDampsIt) {
  const TempDir dir;
  const std::string f = dir.write("gap.txt", gapped_matrix_text());
  const program_result r = rmtool({"svd", f});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("kept       5 of 5"), std::string::npos) << r.out;
  EXPECT_EQ(r.err.rfind("rmtool: warning: singular values 2 (1.2) and 3 "
                        "(0.0118) are both kept but 102 x apart",
                        0),
            0u)
      << r.err;
  EXPECT_NE(r.err.find("--keep 3 cuts mode 3"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("--tikhonov 0.12 (the geometric mean"),
            std::string::npos)
      << r.err;
  // What it names silences it: the gap is cut, or its gains brought
  // together. Modes 3 and 4, 2 x apart, are no gap.
  const program_result kept = rmtool({"svd", f, "--keep", "3"});
  ASSERT_EQ(kept.status, 0) << kept.err;
  EXPECT_EQ(kept.err, "");
  EXPECT_NE(kept.out.find("0.000000       cut"), std::string::npos) << kept.out;
  EXPECT_NE(kept.out.find("kept       3 of 5"), std::string::npos) << kept.out;
  EXPECT_NE(kept.out.find("condition  150 "), std::string::npos) << kept.out;
  const program_result damped = rmtool({"svd", f, "--tikhonov", "0.12"});
  ASSERT_EQ(damped.status, 0) << damped.err;
  EXPECT_EQ(damped.err, "");
  EXPECT_NE(damped.out.find("kept       5 of 5"), std::string::npos);
  // Mode 2's filter factor 1.2^2 / (1.2^2 + 0.12^2) = 100/101.
  EXPECT_NE(damped.out.find("0.990099       kept"), std::string::npos)
      << damped.out;
  EXPECT_NE(damped.out.find("effective  148."), std::string::npos)
      << damped.out;
}

TEST(RmtoolRegularized, InverseIsTheDampedOrTruncatedOne) {
  const TempDir dir;
  const std::string f = dir.write("gap.txt", gapped_matrix_text());
  const arma::mat a = read_back(f);
  const std::string out = (dir.path() / "inv.txt").string();

  // Tikhonov: the damped normal equations, solved without an SVD.
  program_result r = rmtool({"invert", f, "--tikhonov", "0.5", "-o", out});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("regularised SVD in double precision, Tikhonov 0.5, "
                       "cut-off max(m, n) x 2^-52 x s_max, 5 of 5 singular "
                       "values kept"),
            std::string::npos)
      << r.out;
  arma::mat want = arma::solve(a.t() * a + 0.25 * arma::eye(5, 5), a.t());
  arma::mat got = read_back(out);
  ASSERT_EQ(got.n_rows, 5u);
  EXPECT_LE(arma::abs(got - want).max(), 1e-7 * arma::abs(want).max());

  // --keep 3: Armadillo's pseudo-inverse with its cut between s_2 and s_3.
  r = rmtool({"invert", f, "--keep", "3", "-o", out});
  ASSERT_EQ(r.status, 0) << r.err;
  want = arma::pinv(a, 0.1);
  got = read_back(out);
  EXPECT_LE(arma::abs(got - want).max(), 1e-7 * arma::abs(want).max());

  // An excluded monitor gets a zero column, damped or not.
  r = rmtool(
      {"invert", f, "--tikhonov", "0.5", "--exclude-monitors", "2", "-o", out});
  ASSERT_EQ(r.status, 0) << r.err;
  arma::mat without = a;
  without.row(2).zeros();
  want =
      arma::solve(without.t() * without + 0.25 * arma::eye(5, 5), without.t());
  got = read_back(out);
  EXPECT_EQ(arma::abs(got.col(2)).max(), 0.0);
  EXPECT_LE(arma::abs(got - want).max(), 1e-7 * arma::abs(want).max());
}

TEST(RmtoolRegularized, CombinationsThatMakeNoSenseAreRefused) {
  const TempDir dir;
  const std::string m = dir.write("m.txt", "1 2\n3 4\n");
  const std::string out = (dir.path() / "x").string();
  expect_refused(rmtool({"invert", m, "--pinv", "--keep", "1", "-o", out}), 2,
                 "--keep and --tikhonov regularise the SVD inverse; --pinv "
                 "takes neither");
  expect_refused(rmtool({"invert", m, "--tikhonov", "1", "--pinv", "-o", out}),
                 2, "--pinv takes neither");
  expect_refused(rmtool({"svd", m, "--tikhonov", "1", "--tol", "-1"}), 2,
                 "--tol -1 (the internal tolerance) is the truncated SVD's");
  expect_refused(rmtool({"svd", m, "--tikhonov", "-0.5"}), 2,
                 "--tikhonov wants a number from 0 up, not '-0.5'");
  expect_refused(rmtool({"svd", m, "--tikhonov", "nan"}), 2,
                 "--tikhonov wants a number");
  expect_refused(rmtool({"svd", m, "--keep", "-1"}), 2,
                 "--keep wants a whole number from 0");
  expect_refused(rmtool({"info", m, "--keep", "1"}), 2, "");
  // A given --tol is the relative cut-off of the regularised inverse.
  const program_result r =
      rmtool({"svd", m, "--tikhonov", "0", "--tol", "0.5"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("kept       1 of 2"), std::string::npos) << r.out;
}

}  // namespace
