// The feedback demo, run as a program: it corrects the orbit, repeats itself
// for a seed, writes its picture, and refuses bad options and files with a
// message and a status, never a crash.
#include <gtest/gtest.h>

#include <algorithm>
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

// The demo with its picture in a directory of its own, unless the
// arguments say where.
program_result demo(std::vector<std::string> args) {
  const TempDir dir;
  if (std::find(args.begin(), args.end(), "--svg") == args.end()) {
    args.insert(args.begin(), {"--svg", (dir.path() / "demo.svg").string()});
  }
  return zub_test::run_program(ZUB_PROGRAM, args);
}

// Column 3 is column 0 plus column 1: the default tolerance keeps a
// singular value that is only the float rounding of the elements.
constexpr char kRankDeficient[] =
    "0.3 0.7 1.1 1.0\n"
    "1.3 0.2 0.5 1.5\n"
    "0.9 1.7 0.4 2.6\n"
    "0.1 0.6 1.9 0.7\n"
    "1.1 0.3 0.8 1.4\n"
    "0.7 1.1 0.2 1.8\n";

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

// Occurrences of `what` in `text`.
size_t count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos;
       at = text.find(what, at + 1)) {
    ++n;
  }
  return n;
}

// No coordinate or label of a picture is a NaN or an infinity.
void expect_finite_numbers(const std::string& svg_text) {
  std::string token;
  for (const char c : svg_text + " ") {
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

// The picture's parts, at 24 monitors and at 300, where tick labels are
// thinned out rather than dropped.
TEST(FeedbackDemo, SvgHoldsTheSpectrumTheRmsAndBothOrbits) {
  const TempDir dir;
  const std::string svg = (dir.path() / "demo.svg").string();
  const program_result r = demo({"--svg", svg, "--quiet"});
  ASSERT_EQ(r.status, 0) << r.err;
  std::string text = zub_test::read_whole_file(svg);
  ASSERT_EQ(text.rfind("<svg xmlns=\"http://www.w3.org/2000/svg\"", 0), 0u);
  EXPECT_EQ(text.substr(text.size() - 7), "</svg>\n");
  // Eleven kept bars, the zero singular value cut; one rms line over the
  // iterations; each orbit drawn.
  EXPECT_EQ(count(text, "class=\"sv kept\""), 11u);
  EXPECT_EQ(count(text, "class=\"sv cut\""), 1u);
  EXPECT_EQ(count(text, "class=\"rms\""), 1u);
  EXPECT_EQ(count(text, "class=\"orbit-before\""), 1u);
  EXPECT_EQ(count(text, "class=\"orbit-after\""), 1u);
  EXPECT_EQ(count(text, "class=\"noise\""), 1u);
  for (const char* title :
       {"singular value (mm/mrad)", "rms orbit (mm)", ">iteration<",
        ">monitor<", "orbit (mm)", "kept (11)", "cut (1)", "cut-off 5.3e-11",
        "on its own scale", "monitor noise 0.005 mm"}) {
    EXPECT_NE(text.find(title), std::string::npos) << title;
  }
  expect_finite_numbers(text);

  // Without noise there is no level to mark on the log scale.
  ASSERT_EQ(demo({"--svg", svg, "--quiet", "--noise", "0"}).status, 0);
  text = zub_test::read_whole_file(svg);
  EXPECT_EQ(count(text, "class=\"noise\""), 0u);
  expect_finite_numbers(text);

  // 300 monitors: a few labels along each axis, the last monitors among
  // them.
  std::string big;
  for (int i = 0; i < 300; ++i) {
    for (int j = 0; j < 150; ++j) {
      big += (j ? " " : "") + std::to_string((i * 7 + j * 13) % 17 + (i == j));
    }
    big += "\n";
  }
  const std::string file = dir.write("big.txt", big);
  const program_result b =
      demo({"--file", file, "--monitors", "300", "--actuators", "150",
            "--iterations", "1", "--svg", svg, "--quiet"});
  ASSERT_TRUE(b.exited);
  text = zub_test::read_whole_file(svg);
  const size_t ticks = count(text, "text-anchor=\"middle\" font-size=\"12\">");
  EXPECT_GE(ticks, 4u * 4);
  EXPECT_LE(ticks, 4u * 14);
  EXPECT_NE(text.find("font-size=\"12\">250</text>"), std::string::npos);
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
  // The count is invert's: with tolerance 0, 1e-39 stays out all the same,
  // its reciprocal being beyond the float range.
  const std::string diag = dir.write("diag.txt", "2 0\n0 1e-39\n");
  const program_result d = demo({"--file", diag, "--monitors", "2",
                                 "--actuators", "2", "--tol", "0", "--quiet"});
  ASSERT_TRUE(d.exited);
  EXPECT_NE(d.out.find("\n     1 of 2 singular values kept\n"),
            std::string::npos)
      << d.out;
  EXPECT_NE(d.out.find("1e-39  .  "), std::string::npos) << d.out;
}

// ---------------------------------------- refusals

TEST(FeedbackDemoUsage, HelpNamesEveryOption) {
  const program_result r = demo({"--help"});
  ASSERT_EQ(r.status, 0);
  for (const char* option :
       {"--file", "--monitors", "--actuators", "--tol", "--iterations",
        "--gain", "--noise", "--errors", "--seed", "--svg", "--quiet",
        "--exclude-monitor", "--fail-monitor", "--version"}) {
    EXPECT_NE(r.out.find(option), std::string::npos) << option;
  }
  const program_result v = demo({"--version"});
  EXPECT_EQ(v.status, 0);
  EXPECT_EQ(v.out, "feedback_demo (zub_feedback) " ZUB_PROJECT_VERSION "\n");
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
      // A monitor's index is checked against the matrix's monitors.
      {{"--exclude-monitor", "24"},
       "--exclude-monitor wants a whole number from 0 to 23, not '24'"},
      {{"--exclude-monitor", "-1", "--monitors", "6"},
       "--exclude-monitor wants a whole number from 0 to 5, not '-1'"},
      {{"--fail-monitor", "-1@2"},
       "--fail-monitor's monitor wants a whole number from 0 to 23"},
      {{"--fail-monitor", "5"}, "--fail-monitor wants I@K"},
      {{"--fail-monitor", "5@11"}, "iteration 11 is beyond the last (10)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args[0]);
    expect_refused(demo(c.args), 2, c.message);
  }
}

TEST(FeedbackDemoFiles, BadFilesExitWithStatusOne) {
  const TempDir dir;
  // A file that cannot be read is named as such, without advice on shapes.
  expect_refused(demo({"--file", (dir.path() / "absent.txt").string()}), 1,
                 "absent.txt: No such file or directory");
  expect_refused(demo({"--file", dir.path().string()}), 1,
                 "is not a regular file");
  // The shipped file with a wrong shape: the loader says which count is off.
  const program_result r = demo({"--monitors", "23"});
  expect_refused(r, 1,
                 "ERROR: No. rows (24) do not match no. of monitors (23)!");
  // A line that does not load: named, as rmtool names it, and the feedback
  // does not start.
  const std::string short_line = dir.write("short.txt", "1\n3 4\n");
  const program_result s =
      demo({"--file", short_line, "--monitors", "2", "--actuators", "2"});
  expect_refused(s, 1, "does not load: 1 offending line");
  EXPECT_NE(s.err.find("line 1 holds 1 value, not 2"), std::string::npos)
      << s.err;
  const std::string inf = dir.write("inf.txt", "1 2\n3 1e39\n");
  expect_refused(demo({"--file", inf, "--monitors", "2", "--actuators", "2"}),
                 1, "line 2: value 2, \"1e39\", is beyond the float range");
}

// ---------------------------------------- failures a server must notice

// A kept singular value at the float rounding level makes the orbit grow:
// the demo warns before it iterates and ends with a failure.
TEST(FeedbackDemoFailures, GrowingOrbitIsAFailure) {
  const TempDir dir;
  const std::string f = dir.write("r.txt", kRankDeficient);
  const program_result r =
      demo({"--file", f, "--monitors", "6", "--actuators", "4", "--quiet"});
  ASSERT_TRUE(r.exited);
  EXPECT_EQ(r.status, 3) << r.err;
  EXPECT_EQ(r.err.rfind("feedback_demo: warning: singular value 3 (", 0), 0u)
      << r.err;
  // In one iteration the orbit leaves the monitors' range altogether.
  const char kLost[] =
      "feedback_demo: warning: at iteration 1, 6 monitors read no beam "
      "position";
  EXPECT_NE(r.err.find(kLost), std::string::npos) << r.err;
  EXPECT_NE(r.out.find("picture written to"), std::string::npos);
  // With the tolerance that the warning names, the same feedback converges.
  const std::string tol = zub_test::named_tolerance(r.err);
  ASSERT_NE(tol, "") << r.err;
  const program_result cut =
      demo({"--file", f, "--monitors", "6", "--actuators", "4", "--tol", tol,
            "--quiet"});
  EXPECT_EQ(cut.status, 0) << cut.err;
  EXPECT_EQ(cut.err, "");
  EXPECT_NE(cut.out.find("times smaller"), std::string::npos) << cut.out;

  // The same divergence with a picture that cannot be written: the
  // warnings and the status still say that the feedback diverged.
  const program_result lost =
      demo({"--file", f, "--monitors", "6", "--actuators", "4", "--quiet",
            "--svg", (dir.path() / "no" / "x.svg").string()});
  EXPECT_EQ(lost.status, 3) << lost.err;
  EXPECT_NE(lost.err.find(kLost), std::string::npos) << lost.err;
  EXPECT_NE(lost.err.find("warning: cannot write "), std::string::npos)
      << lost.err;
}

// An inverse without a singular value corrects nothing: a failure, whatever
// the orbit did by chance.
TEST(FeedbackDemoFailures, FeedbackThatCorrectsNothingFails) {
  const program_result r = demo({"--tol", "1", "--quiet"});
  ASSERT_TRUE(r.exited);
  EXPECT_EQ(r.status, 3) << r.err;
  EXPECT_NE(r.out.find("in 10 iterations: the feedback corrected nothing"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.err.find("feedback_demo: warning: the inverse keeps no singular "
                       "value: in 10 iterations the feedback corrected "
                       "nothing"),
            std::string::npos)
      << r.err;
}

// A nearly singular matrix (last column the sum of the first two, off by
// 0.003): the feedback amplifies the monitors' noise along its weakest
// mode, and the orbit rises above its start before it happens to end below
// it. Growing at any iteration is a failure, not only at the end.
TEST(FeedbackDemoFailures, OrbitThatGrowsOnTheWayIsAFailure) {
  const TempDir dir;
  const std::string f = dir.write("near.txt",
                                  "0.3 0.7 1.1 1.003\n"
                                  "1.3 0.2 0.5 1.497\n"
                                  "0.9 1.7 0.4 2.603\n"
                                  "0.1 0.6 1.9 0.703\n"
                                  "1.1 0.3 0.8 1.397\n"
                                  "0.7 1.1 0.2 1.797\n");
  const program_result r = demo({"--file", f, "--monitors", "6", "--actuators",
                                 "4", "--exclude-monitor", "0", "--quiet"});
  ASSERT_TRUE(r.exited);
  EXPECT_EQ(r.status, 3) << r.out << r.err;
  EXPECT_NE(r.out.find("             1       0.1476       0.1910           "
                       "0.59352         5\n"),
            std::string::npos)
      << r.out;
  const std::string summary = r.out.substr(r.out.find("\nSummary\n"));
  const double before = number_after(summary, "orbit rms ");
  const double after = number_after(summary, " mm -> ");
  EXPECT_LT(after, before) << summary;
  EXPECT_NE(summary.find("the feedback made it grow (first above its start "
                         "at iteration 1: 0.1476 mm)"),
            std::string::npos)
      << summary;
  EXPECT_NE(r.err.find("warning: the orbit grew from 0.1052 mm to 0.1476 mm "
                       "rms in 1 iteration (the 5 monitors in use): the "
                       "feedback diverges"),
            std::string::npos)
      << r.err;

  // An orbit that starts at the monitors' noise and stays there is no
  // failure, though it may end a little higher.
  const program_result calm =
      demo({"--errors", "0", "--seed", "3", "--iterations", "30", "--quiet"});
  EXPECT_EQ(calm.status, 0) << calm.err;
  EXPECT_NE(calm.out.find("no smaller, within the monitors' noise of 0.005 mm"),
            std::string::npos)
      << calm.out;
}

// A monitor that reads garbage from some iteration on is left out as a
// server does it, and the feedback goes on converging without it; one left
// out by the operator stays out.
TEST(FeedbackDemoFailures, BrokenMonitorIsLeftOutAndTheOrbitStillComesDown) {
  // From iteration 3 the monitor reads 9999 mm first, from 4 NaN first.
  for (const char* failure : {"5@3", "5@4"}) {
    SCOPED_TRACE(failure);
    const program_result r =
        demo({"--fail-monitor", failure, "--exclude-monitor", "20", "--quiet"});
    ASSERT_TRUE(r.exited);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    const std::string reads = std::string(failure) == "5@3"
                                  ? "monitor 5 reads 9999 mm (beyond +-100 mm)"
                                  : "monitor 5 reads nan (not a number)";
    EXPECT_NE(r.out.find(reads + ": left out, matrix inverted again, 11 of 12 "
                                 "singular values kept"),
              std::string::npos)
        << r.out;
    // The history, read back through the framework, shows both.
    const std::string history = r.out.substr(r.out.find("5. The message"));
    EXPECT_NE(history.find(reads + "; left out"), std::string::npos) << history;
    EXPECT_NE(history.find("monitor 20 left out by the operator"),
              std::string::npos);
    const std::string summary = r.out.substr(r.out.find("\nSummary\n"));
    EXPECT_NE(summary.find("(the 22 monitors in use)"), std::string::npos)
        << summary;
    const double before = number_after(summary, "orbit rms ");
    const double after = number_after(summary, " mm -> ");
    EXPECT_GE(before / after, 10.0) << summary;
  }

  // Two monitors that break at once: the server cannot tell broken
  // monitors from a lost orbit and stops. Their garbage is no orbit, so
  // nothing is said about one growing.
  const program_result two =
      demo({"--fail-monitor", "5@3", "--fail-monitor", "6@3", "--quiet"});
  ASSERT_TRUE(two.exited);
  EXPECT_EQ(two.status, 3) << two.err;
  EXPECT_NE(two.err.find("at iteration 3, 2 monitors read no beam position "
                         "(5, 6)"),
            std::string::npos)
      << two.err;
  EXPECT_EQ(two.err.find("grew"), std::string::npos) << two.err;
  // The history says it to a client too.
  const std::string history = two.out.substr(two.out.find("5. The message"));
  EXPECT_NE(history.find("2 monitors read no beam position"), std::string::npos)
      << history;
  EXPECT_NE(two.out.find("the feedback stopped at iteration 3\n"),
            std::string::npos)
      << two.out;
}

TEST(FeedbackDemoFiles, UnwritablePictureIsRefused) {
  const TempDir dir;
  const std::string svg = (dir.path() / "no" / "such" / "dir.svg").string();
  expect_refused(demo({"--svg", svg}), 1,
                 "cannot write " + svg + ".part: No such file or directory");
}

// Whatever the other options, the picture is written: by default into the
// current directory.
TEST(FeedbackDemoFiles, PictureIsWrittenWithoutSvgOption) {
  const TempDir dir;
  const program_result r = zub_test::run_program(
      ZUB_PROGRAM, {"--gain", "0.3", "--quiet"}, dir.path().string());
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("picture written to feedback_demo.svg\n"),
            std::string::npos)
      << r.out;
  const std::string text =
      zub_test::read_whole_file((dir.path() / "feedback_demo.svg").string());
  EXPECT_NE(text.find("gain 0.3"), std::string::npos);
  EXPECT_EQ(text.substr(text.size() - 7), "</svg>\n");
}

}  // namespace
