#include "options.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "support/format.h"
#include "support/options.h"
#include "support/program.h"

namespace demo {

using zub_cli::bad_usage;
using zub_cli::format;
using zub_cli::kMaxElements;
using zub_cli::parse_integer;
using zub_cli::parse_real;

namespace {

const char kUsage[] =
    "usage: feedback_demo [OPTIONS]\n"
    "Runs a small orbit-feedback server on a response-matrix file: loads\n"
    "and inverts the matrix (truncated SVD), shows its singular values,\n"
    "corrects the orbit of a simulated machine for a number of iterations,\n"
    "reads the server's message history back through the framework, prints\n"
    "the numbers of a sample bunch-compressor chicane and draws a picture.\n"
    "Monitors and correctors count from 0.\n"
    "\n"
    "  --file FILE       response matrix, one line per monitor, one value\n"
    "                    per corrector, in mm/mrad (default: the shipped\n"
    "                    24 x 12 beamline matrix)\n"
    "  --monitors M      rows of the file (default 24)\n"
    "  --actuators N     columns of the file (default 12)\n"
    "  --tol T           SVD tolerance: -1 (default) lets the library derive\n"
    "                    it; T from 0 to 3.4e38 keeps singular values\n"
    "                    s > T x s_max\n"
    "  --iterations K    feedback iterations, 0 ... 10000 (default 10)\n"
    "  --gain G          part of each computed correction applied,\n"
    "                    0 < G <= 1 (default 0.6)\n"
    "  --noise MM        rms noise of a monitor reading in mm (default 0.005)\n"
    "  --errors MRAD     rms of the initial corrector errors in mrad\n"
    "                    (default 0.05)\n"
    "  --seed S          seed of the simulation, 0 ... 2^64-1 (default 1)\n"
    "  --corrector-limit MRAD\n"
    "                    each corrector's setting stays within +-MRAD\n"
    "                    (default 1)\n"
    "  --max-step MRAD   the largest change of a corrector in one iteration\n"
    "                    (default 0.03); the loop shortens a change that\n"
    "                    would pass a limit, all correctors alike\n"
    "  --deadband MM     an orbit whose rms is below MM is left alone\n"
    "                    (default 0)\n"
    "  --flip-sign       the machine responds with the opposite sign of the\n"
    "                    matrix: the loop holds when the orbit keeps growing\n"
    "  --measure         before the feedback, measure the machine's response\n"
    "                    matrix (each corrector by +-0.05 mrad), compare it\n"
    "                    with the file's and correct with its inverse\n"
    "  --measure-out FILE\n"
    "                    with --measure, write the measured matrix to FILE\n"
    "  --exclude-monitor I\n"
    "                    leave monitor I out of the correction from the start\n"
    "                    (its weight 0); may be given more than once\n"
    "  --fail-monitor I@K\n"
    "                    from iteration K on, monitor I reads garbage (9999\n"
    "                    mm at odd iterations, NaN at even ones); the loop\n"
    "                    refuses a reading that is not a number or beyond\n"
    "                    +-100 mm, and the server leaves the monitor out and\n"
    "                    inverts the matrix again; may be given more than\n"
    "                    once (several at one iteration stop the feedback)\n"
    "  --svg FILE        where the picture goes (default: feedback_demo.svg\n"
    "                    in the current directory)\n"
    "  --quiet           show only the library's error messages\n"
    "  --version         the version of the demo and of the library\n"
    "  --help            this text\n"
    "Options take their value as the next argument or after '='.\n"
    "Each iteration shows what the library's loop did: applied, deadband,\n"
    "limited (with its scale), refused (with the reason) or holding.\n"
    "Warnings go to standard error: no singular value kept, kept singular\n"
    "values at the float rounding level of the matrix, singular values\n"
    "above it that the internal tolerance cuts (a matrix in large units),\n"
    "a loop that holds because the orbit kept growing.\n"
    "Exit status: 0 done, 1 a file refused or not written, or the picture\n"
    "not written, 2 bad usage, 3 the loop held (the orbit kept growing),\n"
    "the feedback corrected nothing (no singular value kept) or stopped\n"
    "(the orbit beyond the monitors' range, or no monitor left).\n";

// Where the picture goes without --svg.
constexpr const char* kDefaultSvg = "feedback_demo.svg";

// The monitors that options name, as given: their range is the matrix's,
// which the options may set after them.
struct monitor_texts {
  std::vector<std::string> excluded;
  std::vector<std::string> failing;
};

// A seed: every value of 64 bits, written in decimal digits only.
unsigned long long parse_seed(const std::string& text) {
  errno = 0;
  char* end = nullptr;
  const unsigned long long seed = std::strtoull(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || errno == ERANGE ||
      text.find_first_not_of("0123456789") != std::string::npos) {
    bad_usage("--seed wants a whole number from 0 to 2^64-1, not '" + text +
              "'");
  }
  return seed;
}

// The iteration of --fail-monitor I@K; I is kept as it is given.
int parse_failing_from(const std::string& text, std::string& monitor) {
  const size_t at = text.find('@');
  if (at == std::string::npos) {
    bad_usage(
        "--fail-monitor wants I@K (monitor I from iteration K), "
        "not '" +
        text + "'");
  }
  monitor = text.substr(0, at);
  return static_cast<int>(parse_integer("--fail-monitor's iteration",
                                        text.substr(at + 1), 0, 10000));
}

// The options against each other: the shape, and the monitors and
// iterations they name.
void check_together(options& o, const monitor_texts& monitors) {
  if (static_cast<long long>(o.monitors) * o.actuators > kMaxElements) {
    bad_usage(format("%d x %d is more than %lld elements", o.monitors,
                     o.actuators, kMaxElements));
  }
  auto monitor = [&](const char* option, const std::string& text) {
    return static_cast<int>(parse_integer(option, text, 0, o.monitors - 1));
  };
  for (const std::string& text : monitors.excluded) {
    o.exclude_monitors.push_back(monitor("--exclude-monitor", text));
  }
  for (size_t k = 0; k < monitors.failing.size(); ++k) {
    options::failing_monitor& f = o.fail_monitors[k];
    f.monitor = monitor("--fail-monitor's monitor", monitors.failing[k]);
    if (f.from > o.iterations) {
      bad_usage(format("--fail-monitor: iteration %d is beyond the last (%d)",
                       f.from, o.iterations));
    }
  }
}

}  // namespace

void print_usage() { std::fputs(kUsage, stdout); }

options parse(int argc, char** argv) {
  options o;
  o.file = ZUB_DEMO_MATRIX_FILE;
  o.svg = kDefaultSvg;
  monitor_texts monitors;
  zub_cli::argument_scanner args(argc, argv, 1);
  while (args.next()) {
    const std::string& arg = args.name();
    if (args.flag("--help", "-h")) {
      o.help = true;
    } else if (args.flag("--quiet", "-q")) {
      o.quiet = true;
    } else if (arg == "--file") {
      o.file = args.value();
      if (o.file.empty()) bad_usage("--file needs a file name");
    } else if (arg == "--monitors") {
      o.monitors =
          static_cast<int>(parse_integer(arg, args.value(), 1, 1000000));
    } else if (arg == "--actuators") {
      o.actuators =
          static_cast<int>(parse_integer(arg, args.value(), 1, 1000000));
    } else if (arg == "--tol") {
      o.tol = zub_cli::parse_tolerance(args.value());
    } else if (arg == "--iterations") {
      o.iterations =
          static_cast<int>(parse_integer(arg, args.value(), 0, 10000));
    } else if (arg == "--gain") {
      const std::string text = args.value();
      o.gain = parse_real(arg, text);
      if (!(o.gain > 0 && o.gain <= 1)) {
        bad_usage("--gain wants a number with 0 < G <= 1, not '" + text + "'");
      }
    } else if (arg == "--noise" || arg == "--errors") {
      const std::string text = args.value();
      const double v = parse_real(arg, text);
      if (v < 0 || v > 1e6) {
        bad_usage(arg + " wants a number from 0 to 1e6, not '" + text + "'");
      }
      (arg == "--noise" ? o.noise : o.errors) = v;
    } else if (arg == "--corrector-limit" || arg == "--max-step") {
      const std::string text = args.value();
      const double v = parse_real(arg, text);
      if (!(v > 0 && v <= 1e6)) {
        bad_usage(arg + " wants a number with 0 < MRAD <= 1e6, not '" + text +
                  "'");
      }
      (arg == "--max-step" ? o.max_step : o.corrector_limit) = v;
    } else if (arg == "--deadband") {
      const std::string text = args.value();
      o.deadband = parse_real(arg, text);
      if (!(o.deadband >= 0 && o.deadband <= 1e6)) {
        bad_usage(arg + " wants a number from 0 to 1e6, not '" + text + "'");
      }
    } else if (args.flag("--flip-sign")) {
      o.flip_sign = true;
    } else if (args.flag("--measure")) {
      o.measure = true;
    } else if (arg == "--measure-out") {
      o.measure_out = args.value();
      if (o.measure_out.empty()) bad_usage("--measure-out needs a file name");
    } else if (arg == "--seed") {
      o.seed = parse_seed(args.value());
    } else if (arg == "--svg") {
      o.svg = args.value();
      if (o.svg.empty()) bad_usage("--svg needs a file name");
    } else if (arg == "--exclude-monitor") {
      monitors.excluded.push_back(args.value());
    } else if (arg == "--fail-monitor") {
      monitors.failing.emplace_back();
      o.fail_monitors.push_back(
          {-1, parse_failing_from(args.value(), monitors.failing.back())});
    } else if (args.flag("--version")) {
      o.version = true;
    } else {
      bad_usage(std::string("unknown argument '") + args.raw() + "'");
    }
  }
  if (!o.measure_out.empty() && !o.measure) {
    bad_usage("--measure-out goes with --measure");
  }
  check_together(o, monitors);
  return o;
}

}  // namespace demo
