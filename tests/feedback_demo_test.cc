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
  // The first corrections want more than 0.03 mrad of some corrector: the
  // loop shortens them to that, then applies the smaller ones whole.
  EXPECT_NE(r.out.find("0.03000        24  limited, scale 0."),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("        24  applied\n"), std::string::npos);
  EXPECT_EQ(r.out.find("refused"), std::string::npos);
  EXPECT_EQ(r.out.find("holding"), std::string::npos);
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
       {"--file",         "--monitors",   "--actuators",
        "--tol",          "--iterations", "--gain",
        "--noise",        "--errors",     "--seed",
        "--svg",          "--quiet",      "--exclude-monitor",
        "--fail-monitor", "--version",    "--corrector-limit",
        "--max-step",     "--deadband",   "--flip-sign",
        "--measure",      "--measure-out"}) {
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
      {{"--corrector-limit", "0"}, "--corrector-limit wants a number with 0 <"},
      {{"--max-step", "-0.1"}, "--max-step wants a number with 0 <"},
      {{"--max-step", "nan"}, "--max-step wants"},
      {{"--deadband", "-1"}, "--deadband wants a number from 0"},
      {{"--flip-sign=1"}, "--flip-sign takes no value"},
      {{"--measure-out", "m.txt"}, "--measure-out goes with --measure"},
      {{"--measure", "--measure-out="}, "--measure-out needs a file name"},
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

// The lines of the feedback's table, from iteration 0 on.
std::vector<std::string> table(const std::string& out) {
  std::vector<std::string> lines;
  std::istringstream in(out.substr(out.find("\n4. Feedback")));
  std::string line;
  while (std::getline(in, line) && line.rfind("5. ", 0) != 0) {
    if (line.size() > 14 && std::isdigit(static_cast<unsigned char>(line[13])))
      lines.push_back(line);
  }
  return lines;
}

// A kept singular value at the float rounding level: the demo warns before
// it iterates. Within the correctors' limits the loop shortens every step
// to next to nothing; without them one step throws the orbit beyond the
// monitors, and the feedback stops.
TEST(FeedbackDemoFailures, RoundingLevelSingularValue) {
  const TempDir dir;
  const std::string f = dir.write("r.txt", kRankDeficient);
  const program_result r =
      demo({"--file", f, "--monitors", "6", "--actuators", "4", "--quiet"});
  ASSERT_TRUE(r.exited);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err.rfind("feedback_demo: warning: singular value 3 (", 0), 0u)
      << r.err;
  // Each step wants some corrector moved by ten thousand times its largest
  // step or more.
  const std::vector<std::string> lines = table(r.out);
  ASSERT_EQ(lines.size(), 11u) << r.out;
  for (const std::string& line : lines) {
    EXPECT_LT(number_after(line, "limited, scale "), 1e-4) << line;
  }

  const std::vector<std::string> unlimited = {
      "--file", f,         "--monitors", "6",   "--actuators",
      "4",      "--quiet", "--max-step", "1e6", "--corrector-limit",
      "1e6"};
  const program_result lost_orbit = demo(unlimited);
  EXPECT_EQ(lost_orbit.status, 3) << lost_orbit.err;
  const char kLost[] =
      "feedback_demo: warning: at iteration 1, 6 monitors read no beam "
      "position (0, 1, 2, 3, 4, 5)";
  EXPECT_NE(lost_orbit.err.find(kLost), std::string::npos) << lost_orbit.err;
  EXPECT_NE(lost_orbit.out.find("refused: monitor 0: reading "),
            std::string::npos)
      << lost_orbit.out;
  EXPECT_NE(lost_orbit.out.find("picture written to"), std::string::npos);
  // With the tolerance that the warning names, the same feedback converges.
  const std::string tol = zub_test::named_tolerance(r.err);
  ASSERT_NE(tol, "") << r.err;
  std::vector<std::string> cut = unlimited;
  cut.insert(cut.end(), {"--tol", tol});
  const program_result converged = demo(cut);
  EXPECT_EQ(converged.status, 0) << converged.err;
  EXPECT_EQ(converged.err, "");
  EXPECT_NE(converged.out.find("times smaller"), std::string::npos)
      << converged.out;

  // The same loss with a picture that cannot be written: the warnings and
  // the status still say that the feedback stopped.
  std::vector<std::string> unwritable = unlimited;
  unwritable.insert(unwritable.end(),
                    {"--svg", (dir.path() / "no" / "x.svg").string()});
  const program_result lost = demo(unwritable);
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

// A machine that answers with the matrix's opposite sign: the orbit grows
// with each correction, the loop holds within a few steps and moves no
// corrector after it. Measured first, the matrix has the machine's sign and
// the same feedback converges.
TEST(FeedbackDemoFailures, SignErrorPutsTheLoopOnHold) {
  const program_result r = demo({"--flip-sign", "--quiet"});
  ASSERT_TRUE(r.exited);
  EXPECT_EQ(r.status, 3) << r.err;
  const std::vector<std::string> lines = table(r.out);
  ASSERT_EQ(lines.size(), 11u) << r.out;
  size_t held = lines.size();
  for (size_t k = 0; k < lines.size(); ++k) {
    if (lines[k].find("holding") != std::string::npos && held == lines.size())
      held = k;
  }
  ASSERT_GE(held, 2u) << r.out;
  ASSERT_LE(held, 6u) << r.out;
  // Until then the orbit grew; from then on no corrector moves.
  for (size_t k = 1; k < held; ++k) {
    EXPECT_GT(std::strtod(lines[k].c_str() + 14, nullptr),
              std::strtod(lines[k - 1].c_str() + 14, nullptr))
        << lines[k];
  }
  for (size_t k = held; k < lines.size(); ++k) {
    EXPECT_NE(lines[k].find(" 0.00000        24  holding"), std::string::npos)
        << lines[k];
  }
  EXPECT_NE(lines[held].find("holding: the rms grew from "), std::string::npos)
      << lines[held];
  const std::string at = "at iteration " + std::to_string(held);
  EXPECT_NE(r.err.find("feedback_demo: warning: " + at +
                       " the loop stopped the feedback (holding: the rms "
                       "grew from "),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.out.find("the loop held from iteration " + std::to_string(held) +
                       " on"),
            std::string::npos)
      << r.out;

  const program_result measured = demo({"--flip-sign", "--measure", "--quiet"});
  EXPECT_EQ(measured.status, 0) << measured.err;
  EXPECT_NE(measured.out.find("times smaller"), std::string::npos)
      << measured.out;
  EXPECT_EQ(measured.out.find("holding"), std::string::npos);

  // An orbit that starts at the monitors' noise and stays there is no
  // failure, though it may end a little higher: the loop's guard asks
  // each rise to stand out of the noise.
  const program_result calm =
      demo({"--errors", "0", "--seed", "3", "--iterations", "30", "--quiet"});
  EXPECT_EQ(calm.status, 0) << calm.err;
  EXPECT_NE(calm.out.find("no smaller, within the monitors' noise of 0.005 mm"),
            std::string::npos)
      << calm.out;
}

// A corrector at its limit stops the correction: the loop scales the whole
// step, keeping its shape, rather than clipping that corrector. Corrector 8
// takes 0.03 mrad, then the 0.02 mrad left to its limit of 0.05, then none.
TEST(FeedbackDemoFailures, CorrectorAtItsLimitStopsTheStep) {
  const program_result r = demo({"--corrector-limit", "0.05", "--quiet"});
  ASSERT_EQ(r.status, 0) << r.err;
  const std::vector<std::string> lines = table(r.out);
  ASSERT_EQ(lines.size(), 11u) << r.out;
  EXPECT_NE(lines[0].find(" 0.03000        24  limited"), std::string::npos)
      << lines[0];
  EXPECT_NE(lines[1].find(" 0.02000        24  limited"), std::string::npos)
      << lines[1];
  for (size_t k = 2; k < lines.size(); ++k) {
    EXPECT_NE(lines[k].find(" 0.00000        24  limited, scale 0 "
                            "(corrector 8)"),
              std::string::npos)
        << lines[k];
  }
  // A dead-band above the orbit leaves it alone from the start.
  const program_result still = demo({"--deadband", "5", "--quiet"});
  ASSERT_EQ(still.status, 0) << still.err;
  const std::vector<std::string> resting = table(still.out);
  ASSERT_EQ(resting.size(), 11u);
  for (const std::string& line : resting) {
    EXPECT_NE(line.find(" 0.00000        24  deadband"), std::string::npos)
        << line;
  }
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
    const std::string reads =
        std::string(failure) == "5@3"
            ? "monitor 5: reading 9999 is outside [-100, 100]"
            : "monitor 5: reading nan is not finite";
    EXPECT_NE(r.out.find(reads + ": monitor 5 left out, matrix inverted "
                                 "again, 11 of 12 singular values kept"),
              std::string::npos)
        << r.out;
    // The loop refused that iteration's reading: nothing moved.
    EXPECT_NE(r.out.find(" 0.00000        22  refused: " + reads),
              std::string::npos)
        << r.out;
    // The history, read back through the framework, shows both.
    const std::string history = r.out.substr(r.out.find("5. The message"));
    EXPECT_NE(history.find(reads + "; monitor 5 left out"), std::string::npos)
        << history;
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

// The rows of a matrix file, comments left out.
std::vector<std::vector<double>> matrix_rows(const std::string& path) {
  std::vector<std::vector<double>> rows;
  std::istringstream in(zub_test::read_whole_file(path));
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream values(line);
    rows.emplace_back();
    for (double v; values >> v;) rows.back().push_back(v);
  }
  return rows;
}

// --measure: the matrix measured on the simulated machine is the shipped
// one up to the machine's calibration errors (3 % and 5 % rms), with the
// machine's sign; the comparison printed is the file's; the feedback on
// its inverse converges.
TEST(FeedbackDemoMeasure, MeasuredMatrixIsTheMachines) {
  const TempDir dir;
  const std::vector<std::vector<double>> shipped =
      matrix_rows(ZUB_SHIPPED_MATRIX);
  ASSERT_EQ(shipped.size(), 24u);
  const struct {
    bool flip;
    double sign;
  } cases[] = {{false, 1.0}, {true, -1.0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.flip ? "sign flipped" : "same sign");
    const std::string out = (dir.path() / "measured.txt").string();
    std::vector<std::string> args = {"--measure", "--measure-out", out,
                                     "--quiet"};
    if (c.flip) args.push_back("--flip-sign");
    const program_result r = demo(args);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_NE(r.out.find("measured matrix written to " + out),
              std::string::npos);
    // 12 correctors, 2 settings each, 2 orbits skipped and 10 averaged.
    EXPECT_NE(r.out.find("288 orbits read"), std::string::npos) << r.out;
    const std::vector<std::vector<double>> measured = matrix_rows(out);
    ASSERT_EQ(measured.size(), 24u);
    double largest = 0, difference = 0;
    for (size_t i = 0; i < 24; ++i) {
      ASSERT_EQ(measured[i].size(), 12u);
      for (size_t j = 0; j < 12; ++j) {
        const double model = shipped[i][j], m = measured[i][j];
        largest = std::max(largest, std::fabs(model));
        difference = std::max(difference, std::fabs(m - model));
        // Upstream of its corrector a monitor sees only the noise; else
        // the machine's element is the model's within its calibration.
        if (model == 0) {
          EXPECT_LT(std::fabs(m), 0.15) << i << ", " << j;
        } else if (std::fabs(model) > 1) {
          EXPECT_NEAR(m / model, c.sign, 0.25) << i << ", " << j;
        }
      }
    }
    const double printed = number_after(r.out, "largest difference ");
    EXPECT_NEAR(printed, difference / largest, 6e-5) << r.out;
    if (c.flip) {
      EXPECT_GT(printed, 1.5);
    } else {
      EXPECT_GT(printed, 0.01);
      EXPECT_LT(printed, 0.3);
    }
    // The calibration errors stand out of the measurement's noise at many
    // of the 120 elements that are not 0, hardly ever at the 168 zeros.
    const size_t at = r.out.find(" of 288 elements beyond 3 standard errors");
    ASSERT_NE(at, std::string::npos) << r.out;
    const double count_beyond =
        std::strtod(r.out.c_str() + r.out.rfind(' ', at - 1) + 1, nullptr);
    EXPECT_GE(count_beyond, 50);
    EXPECT_LE(count_beyond, 125);
    // The noise's mode (the shipped matrix's zero column) is cut.
    EXPECT_NE(r.out.find("(the measurement's errors)"), std::string::npos);
    EXPECT_NE(r.out.find("\n     11 of 12 singular values kept\n"),
              std::string::npos);
    const std::string summary = r.out.substr(r.out.find("\nSummary\n"));
    EXPECT_GE(
        number_after(summary, "orbit rms ") / number_after(summary, " mm -> "),
        10.0)
        << summary;
  }
  expect_refused(demo({"--measure", "--measure-out",
                       (dir.path() / "no" / "m.txt").string(), "--quiet"}),
                 1, "m.txt");
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
