// A small orbit-feedback server in one process, hosted by the framework
// stand-in, on the shipped response matrix of a beamline.
//
// It does what a feedback server built on zub_feedback does: it constructs
// its properties on a location (the response matrix, its inverse, the
// singular-value spectrum and a ring buffer of messages), loads the matrix
// from its file, inverts it by truncated SVD and then corrects the orbit of a
// simulated machine: the monitors' deviations are multiplied with the
// inverse, and the result, scaled by a gain, changes the correctors. Every
// computation on the matrices is the library's.
//
// The simulated machine differs from the model as a real one does: its
// monitors and correctors have calibration errors, the correctors start with
// random errors, and every reading has noise. All of it comes from one
// seeded generator, so a run is repeated exactly with the same --seed.
//
// Monitors are left out of the correction as a server does it, with weights
// on the response matrix (inversion_support.h): by the operator
// (--exclude-monitor), or by the server itself when a monitor's reading is
// not a number or beyond the monitors' range (--fail-monitor makes one read
// garbage). A feedback that makes the orbit grow is reported as a failure.
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>
#include <fstream>
#include <functional>
#include <limits>
#include <memory>
#include <new>
#include <random>
#include <sstream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "chicane_physics.h"
#include "cli_support.h"
#include "inversion_support.h"
#include "matrix_file_check.h"
#include "zub_feedback.h"

namespace {

using zub_cli::bad_usage;
using zub_cli::capture_cout;
using zub_cli::failure;
using zub_cli::format;
using zub_cli::kExitRefused;
using zub_cli::kExitUsage;
using zub_cli::kMaxElements;
using zub_cli::library_log;
using zub_cli::refuse;

constexpr const char* kProgram = "feedback_demo";

// Exit status of a feedback that made the orbit grow.
constexpr int kExitDiverged = 3;

// Calibration errors of the simulated machine against the model, relative
// rms: monitor gains and corrector strengths.
constexpr double kMonitorGainError = 0.03;
constexpr double kCorrectorGainError = 0.05;

// Entries kept by the server's message history.
constexpr int kHistorySize = 16;

// A monitor reads at most this far from the axis (mm): a reading beyond it,
// or one that is not a number, is not a beam position.
constexpr double kMonitorRange = 100.0;

// What a broken monitor reads at odd iterations (mm); at even ones, NaN.
constexpr double kGarbageReading = 9999.0;

// ---------------------------------------- options

struct options {
  std::string file = ZUB_DEMO_MATRIX_FILE;
  int monitors = 24;
  int actuators = 12;
  float tol = -1.0f;  // -1: the library's internal tolerance
  int iterations = 10;
  double gain = 0.6;     // fraction of the computed correction applied
  double noise = 0.005;  // mm rms, monitor reading noise
  double errors = 0.05;  // mrad rms, initial corrector errors
  unsigned long long seed = 1;
  std::vector<int> exclude_monitors;
  struct failing_monitor {
    int monitor;
    int from;  // the iteration from which it reads garbage
  };
  std::vector<failing_monitor> fail_monitors;
  std::string svg = ZUB_DEMO_SVG_FILE;
  bool quiet = false;
  bool help = false;
  bool version = false;
};

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
    "                    it; T >= 0 keeps singular values s > T x s_max\n"
    "  --iterations K    feedback iterations, 0 ... 10000 (default 10)\n"
    "  --gain G          part of each computed correction applied,\n"
    "                    0 < G <= 1 (default 0.6)\n"
    "  --noise MM        rms noise of a monitor reading in mm (default 0.005)\n"
    "  --errors MRAD     rms of the initial corrector errors in mrad\n"
    "                    (default 0.05)\n"
    "  --seed S          seed of the simulation, 0 ... 2^64-1 (default 1)\n"
    "  --exclude-monitor I\n"
    "                    leave monitor I out of the correction from the start\n"
    "                    (its weight 0); may be given more than once\n"
    "  --fail-monitor I@K\n"
    "                    from iteration K on, monitor I reads garbage (9999\n"
    "                    mm at odd iterations, NaN at even ones); the server\n"
    "                    notices a reading that is not a number or beyond\n"
    "                    +-100 mm, leaves the monitor out and inverts the\n"
    "                    matrix again; may be given more than once (several\n"
    "                    at one iteration stop the feedback)\n"
    "  --svg FILE        where the picture goes (default:\n"
    "                    " ZUB_DEMO_SVG_FILE
    ")\n"
    "  --quiet           show only the library's error messages\n"
    "  --version         the version of the demo and of the library\n"
    "  --help            this text\n"
    "Options take their value as the next argument or after '='.\n"
    "Warnings go to standard error: kept singular values at the float\n"
    "rounding level of the matrix, an inverse whose kept modes the library's\n"
    "element filter removed, no singular value kept, an orbit that grows\n"
    "at any iteration by more than the monitor noise.\n"
    "Exit status: 0 done, 1 a file refused or the picture not written,\n"
    "2 bad usage, 3 the feedback made the orbit grow or stopped (the orbit\n"
    "beyond the monitors' range, or no monitor left).\n";

double parse_real(const std::string& option, const std::string& text) {
  errno = 0;
  char* end = nullptr;
  const double v = std::strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0' || errno == ERANGE || !std::isfinite(v)) {
    bad_usage(option + " wants a number, not '" + text + "'");
  }
  return v;
}

long long parse_integer(const std::string& option, const std::string& text,
                        long long lo, long long hi) {
  errno = 0;
  char* end = nullptr;
  const long long v = std::strtoll(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || errno == ERANGE || v < lo || v > hi) {
    bad_usage(format("%s wants a whole number from %lld to %lld, not '%s'",
                     option.c_str(), lo, hi, text.c_str()));
  }
  return v;
}

options parse(int argc, char** argv) {
  options o;
  for (int k = 1; k < argc; ++k) {
    std::string arg = argv[k];
    std::string value;
    bool has_value = false;
    const size_t eq = arg.find('=');
    if (arg.rfind("--", 0) == 0 && eq != std::string::npos) {
      value = arg.substr(eq + 1);
      arg.erase(eq);
      has_value = true;
    }
    auto next = [&]() -> std::string {
      if (has_value) return value;
      if (k + 1 >= argc) bad_usage(arg + " needs a value");
      return argv[++k];
    };
    auto no_value = [&]() {
      if (has_value) bad_usage(arg + " takes no value");
    };
    if (arg == "--help" || arg == "-h") {
      no_value();
      o.help = true;
    } else if (arg == "--quiet" || arg == "-q") {
      no_value();
      o.quiet = true;
    } else if (arg == "--file") {
      o.file = next();
      if (o.file.empty()) bad_usage("--file needs a file name");
    } else if (arg == "--monitors") {
      o.monitors = static_cast<int>(parse_integer(arg, next(), 1, 1000000));
    } else if (arg == "--actuators") {
      o.actuators = static_cast<int>(parse_integer(arg, next(), 1, 1000000));
    } else if (arg == "--tol") {
      const std::string text = next();
      const double v = parse_real(arg, text);
      if ((v < 0 && v != -1.0) || v > 3.4e38) {
        bad_usage(
            "--tol wants -1 (the internal tolerance) or a number >= 0, "
            "not '" +
            text + "'");
      }
      o.tol = static_cast<float>(v);
    } else if (arg == "--iterations") {
      o.iterations = static_cast<int>(parse_integer(arg, next(), 0, 10000));
    } else if (arg == "--gain") {
      const std::string text = next();
      o.gain = parse_real(arg, text);
      if (!(o.gain > 0 && o.gain <= 1)) {
        bad_usage("--gain wants a number with 0 < G <= 1, not '" + text + "'");
      }
    } else if (arg == "--noise" || arg == "--errors") {
      const std::string text = next();
      const double v = parse_real(arg, text);
      if (v < 0 || v > 1e6) {
        bad_usage(arg + " wants a number from 0 to 1e6, not '" + text + "'");
      }
      (arg == "--noise" ? o.noise : o.errors) = v;
    } else if (arg == "--seed") {
      const std::string text = next();
      errno = 0;
      char* end = nullptr;
      o.seed = std::strtoull(text.c_str(), &end, 10);
      if (text.empty() || *end != '\0' || errno == ERANGE ||
          text.find_first_not_of("0123456789") != std::string::npos) {
        bad_usage("--seed wants a whole number from 0 to 2^64-1, not '" + text +
                  "'");
      }
    } else if (arg == "--svg") {
      o.svg = next();
      if (o.svg.empty()) bad_usage("--svg needs a file name");
    } else if (arg == "--exclude-monitor") {
      o.exclude_monitors.push_back(
          static_cast<int>(parse_integer(arg, next(), 0, 999999)));
    } else if (arg == "--fail-monitor") {
      const std::string text = next();
      const size_t at = text.find('@');
      if (at == std::string::npos) {
        bad_usage(
            "--fail-monitor wants I@K (monitor I from iteration K), "
            "not '" +
            text + "'");
      }
      o.fail_monitors.push_back(
          {static_cast<int>(parse_integer("--fail-monitor's monitor",
                                          text.substr(0, at), 0, 999999)),
           static_cast<int>(parse_integer("--fail-monitor's iteration",
                                          text.substr(at + 1), 0, 10000))});
    } else if (arg == "--version") {
      no_value();
      o.version = true;
    } else {
      bad_usage(std::string("unknown argument '") + argv[k] + "'");
    }
  }
  if (static_cast<long long>(o.monitors) * o.actuators > kMaxElements) {
    bad_usage(format("%d x %d is more than %lld elements", o.monitors,
                     o.actuators, kMaxElements));
  }
  for (int i : o.exclude_monitors) {
    if (i >= o.monitors) {
      bad_usage(
          format("--exclude-monitor: there is no monitor %d of %d "
                 "(0 ... %d)",
                 i, o.monitors, o.monitors - 1));
    }
  }
  for (const auto& f : o.fail_monitors) {
    if (f.monitor >= o.monitors) {
      bad_usage(
          format("--fail-monitor: there is no monitor %d of %d (0 ... %d)",
                 f.monitor, o.monitors, o.monitors - 1));
    }
    if (f.from > o.iterations) {
      bad_usage(format("--fail-monitor: iteration %d is beyond the last (%d)",
                       f.from, o.iterations));
    }
  }
  return o;
}

// ---------------------------------------- the library's messages

// The library's messages are shown indented under the step that caused
// them, with --quiet only the errors.
void show_detail(const std::string& where, const std::string& text) {
  std::printf("     | %s: %s\n", where.c_str(), text.c_str());
}

constexpr zub_cli::log_style kLogStyle{kProgram, show_detail, true};

// A line that the library wrote to standard output, shown the same way.
void show_output(const library_log& log, const std::string& text) {
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    if (log.shows_details()) std::printf("     | (stdout) %s\n", line.c_str());
  }
}

// ---------------------------------------- orbits

std::vector<double> column_values(const MDFA_ResponseMatrix& m) {
  std::vector<double> v(static_cast<size_t>(m.rows));
  for (int i = 0; i < m.rows; ++i)
    v[static_cast<size_t>(i)] = m.value(i, 0, -1, -1, -1, -1);
  return v;
}

void set_column(MDFA_ResponseMatrix& m, const std::vector<double>& v) {
  for (int i = 0; i < m.rows; ++i) {
    m.set_value(static_cast<float>(v[static_cast<size_t>(i)]), i, 0, -1, -1, -1,
                -1);
  }
}

// The readings of the monitors in use (`used` true); a NaN among them
// makes the result NaN.
double rms(const std::vector<double>& v, const std::vector<bool>& used) {
  double sum = 0.0;
  size_t n = 0;
  for (size_t i = 0; i < v.size(); ++i) {
    if (!used[i]) continue;
    sum += v[i] * v[i];
    ++n;
  }
  return n == 0 ? 0.0 : std::sqrt(sum / static_cast<double>(n));
}

double max_abs(const std::vector<double>& v, const std::vector<bool>& used) {
  double m = 0.0;
  for (size_t i = 0; i < v.size(); ++i) {
    if (!used[i]) continue;
    if (std::isnan(v[i])) return v[i];
    m = std::max(m, std::fabs(v[i]));
  }
  return m;
}

// A number for a table: fixed with `decimals` while it is short, with an
// exponent when it is not (a diverging orbit).
std::string number(double v, int decimals) {
  return std::isfinite(v) && std::fabs(v) < 1e5 ? format("%.*f", decimals, v)
                                                : format("%.*g", decimals, v);
}

// ---------------------------------------- the spectrum as a text chart

struct spectrum_view {
  std::vector<double> values;  // all singular values, largest first
  int nosv = 0;         // invert's count: the first nosv entered the inverse
  double cutoff = 0.0;  // the tolerance times the largest singular value
  double rounding_level = 0.0;  // where the matrix's float rounding lies
  bool kept(size_t i) const { return static_cast<int>(i) < nosv; }
};

// Bars on a log scale from the smallest positive value to the largest.
void print_spectrum(const spectrum_view& sv) {
  constexpr int kWidth = 44;
  double lo = 0.0, hi = 0.0;
  for (double s : sv.values) {
    if (s > 0 && (lo == 0.0 || s < lo)) lo = s;
    hi = std::max(hi, s);
  }
  const double span = hi > lo ? std::log10(hi / lo) : 1.0;
  std::printf("     singular values, log scale (# kept, . cut):\n");
  auto row = [&](size_t i) {
    const double s = sv.values[i];
    int n = 0;
    if (s > 0) {
      n = 1 + static_cast<int>(
                  std::lround((kWidth - 1) * std::log10(s / lo) / span));
    }
    const std::string bar(static_cast<size_t>(n), sv.kept(i) ? '#' : '.');
    std::printf("     %4zu  %10.4g  %-*s  %s\n", i, s, kWidth, bar.c_str(),
                sv.kept(i) ? "kept" : "cut");
  };
  const size_t k = sv.values.size();
  if (k <= 24) {
    for (size_t i = 0; i < k; ++i) row(i);
  } else {
    for (size_t i = 0; i < 10; ++i) row(i);
    std::printf("     %4s  (%zu more)\n", "...", k - 20);
    for (size_t i = k - 10; i < k; ++i) row(i);
  }
}

// ---------------------------------------- the picture

std::string xml_escape(const std::string& s) {
  std::string out;
  for (char c : s) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        out += static_cast<unsigned char>(c) < 0x20 ? '?' : c;
    }
  }
  return out;
}

// A step of 1, 2 or 5 times a power of ten that cuts `span` into at most
// `most` parts.
double nice_step(double span, int most) {
  if (!(span > 0)) return 1.0;
  const double raw = span / most;
  const double p = std::pow(10.0, std::floor(std::log10(raw)));
  for (double m : {1.0, 2.0, 5.0}) {
    if (m * p >= raw) return m * p;
  }
  return 10 * p;
}

// A number as an axis shows it: short, no trailing zeros.
std::string tick_label(double v) {
  if (std::fabs(v) < 1e-12) return "0";
  return format("%g", v);
}

// What the picture shows of a run.
struct run_record {
  std::string title;
  std::string subtitle;
  spectrum_view spectrum;             // of the last inversion
  std::vector<double> before, after;  // readings, mm
  std::vector<bool> used_before;      // monitors in use at iteration 0
  std::vector<bool> used;             // monitors in use at the end
  std::vector<double> rms_history;    // mm, at iterations 0, 1, ...
  std::vector<std::pair<int, int>> exclusions;  // (iteration, monitor)
};

// One panel of the picture: a plot area in pixels and the text around it.
class svg_panel {
 public:
  svg_panel(std::ostringstream& o, double x0, double y0, double x1, double y1)
      : o_(o), x0_(x0), y0_(y0), x1_(x1), y1_(y1) {}

  // Title above, and a legend of (colour, kind, text) entries under it, in
  // as many rows as the panel's width needs; kind: 'b' a box, 'l' a line,
  // 'd' a dashed line, 'o' a dotted line, 'x' a cross.
  void heading(
      const std::string& title,
      const std::vector<std::tuple<std::string, char, std::string>>& legend) {
    // About 7 px per character at 12 px.
    auto width = [](const std::string& text) {
      return 20 + 7.0 * static_cast<double>(text.size()) + 18;
    };
    int rows = 1;
    double x = x0_;
    for (const auto& entry : legend) {
      const double w = width(std::get<2>(entry));
      if (x + w > x1_ + 18 && x > x0_) {
        ++rows;
        x = x0_;
      }
      x += w;
    }
    o_ << "<text x=\"" << x0_ << "\" y=\"" << y0_ - 10 - 16 * rows
       << "\" font-size=\"15\" font-weight=\"bold\">" << xml_escape(title)
       << "</text>\n";
    x = x0_;
    double y = y0_ - 10 - 16 * (rows - 1);
    for (const auto& entry : legend) {
      const std::string text = xml_escape(std::get<2>(entry));
      const double w = width(std::get<2>(entry));
      if (x + w > x1_ + 18 && x > x0_) {
        y += 16;
        x = x0_;
      }
      const std::string& colour = std::get<0>(entry);
      const char kind = std::get<1>(entry);
      if (kind == 'b') {
        o_ << "<rect x=\"" << x << "\" y=\"" << y - 9
           << "\" width=\"12\" height=\"10\" fill=\"" << colour << "\"/>\n";
      } else if (kind == 'x') {
        cross(x + 6, y - 4, colour);
      } else {
        o_ << "<line x1=\"" << x << "\" y1=\"" << y - 4 << "\" x2=\"" << x + 16
           << "\" y2=\"" << y - 4 << "\" stroke=\"" << colour
           << "\" stroke-width=\"2\"" << dashes(kind) << "/>\n";
      }
      o_ << "<text x=\"" << x + 20 << "\" y=\"" << y << "\" font-size=\"12\">"
         << text << "</text>\n";
      x += w;
    }
  }

  static const char* dashes(char kind) {
    return kind == 'd'   ? " stroke-dasharray=\"5,3\""
           : kind == 'o' ? " stroke-dasharray=\"2,2\""
                         : "";
  }

  // Axis titles: below the plot area, and turned along its left side.
  void axis_titles(const std::string& x_title, const std::string& y_title) {
    o_ << "<text x=\"" << (x0_ + x1_) / 2 << "\" y=\"" << y1_ + 36
       << "\" text-anchor=\"middle\">" << xml_escape(x_title) << "</text>\n";
    const double yc = (y0_ + y1_) / 2;
    o_ << "<text x=\"" << x0_ - 58 << "\" y=\"" << yc
       << "\" text-anchor=\"middle\" transform=\"rotate(-90 " << x0_ - 58 << " "
       << yc << ")\">" << xml_escape(y_title) << "</text>\n";
  }

  void frame() {
    o_ << "<rect x=\"" << x0_ << "\" y=\"" << y0_ << "\" width=\"" << x1_ - x0_
       << "\" height=\"" << y1_ - y0_ << "\" fill=\"none\" stroke=\"#444\"/>\n";
  }

  // A grid line and its label on the y axis.
  void y_tick(double y, const std::string& label, bool axis = false) {
    o_ << "<line x1=\"" << x0_ << "\" y1=\"" << y << "\" x2=\"" << x1_
       << "\" y2=\"" << y << "\" stroke=\"" << (axis ? "#888" : "#e4e4e4")
       << "\"/>\n<text x=\"" << x0_ - 6 << "\" y=\"" << y + 4
       << "\" text-anchor=\"end\" font-size=\"12\">" << label << "</text>\n";
  }

  // A tick and its label on the x axis.
  void x_tick(double x, const std::string& label) {
    o_ << "<line x1=\"" << x << "\" y1=\"" << y1_ << "\" x2=\"" << x
       << "\" y2=\"" << y1_ + 5 << "\" stroke=\"#444\"/>\n<text x=\"" << x
       << "\" y=\"" << y1_ + 18 << "\" text-anchor=\"middle\" font-size=\"12\">"
       << label << "</text>\n";
  }

  void cross(double x, double y, const std::string& colour) {
    o_ << "<path d=\"M" << x - 4 << "," << y - 4 << " L" << x + 4 << ","
       << y + 4 << " M" << x - 4 << "," << y + 4 << " L" << x + 4 << ","
       << y - 4 << "\" stroke=\"" << colour << "\" stroke-width=\"2\"/>\n";
  }

  double x0() const { return x0_; }
  double x1() const { return x1_; }
  double y0() const { return y0_; }
  double y1() const { return y1_; }

 private:
  std::ostringstream& o_;
  const double x0_, y0_, x1_, y1_;
};

// Labels of a log axis: 10 with the exponent raised.
std::string power_of_ten(int e) {
  return format("10<tspan dy=\"-6\" font-size=\"9\">%d</tspan>", e);
}

// Decades e0 ... e1 that cover the positive values of v.
std::pair<int, int> decades(const std::vector<double>& v) {
  double lo = 0.0, hi = 0.0;
  for (double x : v) {
    if (!(x > 0) || !std::isfinite(x)) continue;
    if (lo == 0.0 || x < lo) lo = x;
    hi = std::max(hi, x);
  }
  if (hi == 0.0) return {0, 1};
  const int e0 = static_cast<int>(std::floor(std::log10(lo)));
  int e1 = static_cast<int>(std::ceil(std::log10(hi)));
  if (e1 == e0) ++e1;
  return {e0, e1};
}

void log_axis(svg_panel& p, int e0, int e1) {
  const int step = std::max(1, (e1 - e0 + 5) / 6);
  for (int e = e0; e <= e1; e += step) {
    p.y_tick(p.y1() - (p.y1() - p.y0()) * (e - e0) / (e1 - e0),
             power_of_ten(e));
  }
}

// Integer ticks 0 ... last along the x axis, at most about 12 of them.
void index_axis(svg_panel& p, int last,
                const std::function<double(double)>& x) {
  const double step = std::max(1.0, nice_step(std::max(last, 1), 12));
  for (double t = 0; t <= last + 1e-9; t += step) {
    p.x_tick(x(t), tick_label(t));
  }
}

// The singular values of the last inversion, kept and cut, on a log scale.
void spectrum_panel(std::ostringstream& o, const spectrum_view& sv) {
  svg_panel p(o, 100, 110, 560, 320);
  const size_t k = sv.values.size();
  const auto [e0, e1] = decades(sv.values);
  const double lo = std::pow(10.0, e0), hi = std::pow(10.0, e1);
  const bool cutoff_shown = sv.cutoff >= lo && sv.cutoff <= hi;
  const std::string cutoff_text =
      format("cut-off %.2g%s", sv.cutoff,
             cutoff_shown || sv.cutoff <= 0 ? ""
             : sv.cutoff < lo               ? " (below the axis)"
                                            : " (above the axis)");
  // The float rounding level only where it meets the values.
  const bool rounding_shown =
      sv.rounding_level >= lo && sv.rounding_level <= hi;
  std::vector<std::tuple<std::string, char, std::string>> legend = {
      {"#2a6fdb", 'b', format("kept (%d)", sv.nosv)},
      {"#aaaaaa", 'b', format("cut (%zu)", k - sv.nosv)},
      {"#d33", 'd', cutoff_text}};
  if (rounding_shown) {
    legend.push_back({"#e08a00", 'o',
                      format("float rounding level %.2g", sv.rounding_level)});
  }
  p.heading("Singular values of the response matrix", legend);
  auto y = [&](double s) {
    return p.y1() - (p.y1() - p.y0()) * (std::log10(s) - e0) / (e1 - e0);
  };
  log_axis(p, e0, e1);
  const double slot =
      (p.x1() - p.x0()) / static_cast<double>(std::max<size_t>(k, 1));
  auto x = [&](double i) { return p.x0() + slot * (i + 0.5); };
  for (size_t i = 0; i < k; ++i) {
    const double s = sv.values[i];
    const double w = std::max(slot * 0.7, 1.0);
    const char* fill = sv.kept(i) ? "#2a6fdb" : "#aaaaaa";
    const char* kind = sv.kept(i) ? "sv kept" : "sv cut";
    if (s > 0) {
      o << "<rect class=\"" << kind << "\" x=\"" << x(i) - w / 2 << "\" y=\""
        << y(s) << "\" width=\"" << w << "\" height=\"" << p.y1() - y(s)
        << "\" fill=\"" << fill << "\"/>\n";
    } else {
      // A zero has no place on a log scale: a marker on the axis.
      o << "<text class=\"" << kind << "\" x=\"" << x(i) << "\" y=\""
        << p.y1() - 4 << "\" text-anchor=\"middle\" font-size=\"11\" fill=\""
        << fill << "\">0</text>\n";
    }
  }
  if (rounding_shown) {
    o << "<line x1=\"" << p.x0() << "\" y1=\"" << y(sv.rounding_level)
      << "\" x2=\"" << p.x1() << "\" y2=\"" << y(sv.rounding_level)
      << "\" stroke=\"#e08a00\" stroke-width=\"2\" "
         "stroke-dasharray=\"2,2\"/>\n";
  }
  if (cutoff_shown) {
    o << "<line x1=\"" << p.x0() << "\" y1=\"" << y(sv.cutoff) << "\" x2=\""
      << p.x1() << "\" y2=\"" << y(sv.cutoff)
      << "\" stroke=\"#d33\" stroke-width=\"2\" stroke-dasharray=\"5,3\"/>\n";
  }
  index_axis(p, static_cast<int>(k) - 1, x);
  p.frame();
  p.axis_titles("index of the singular value, largest first",
                "singular value (mm/mrad)");
}

// The rms orbit at every iteration on a log scale, with the iterations at
// which a monitor was left out.
void rms_panel(std::ostringstream& o, const run_record& r) {
  svg_panel p(o, 680, 110, 960, 320);
  std::vector<std::tuple<std::string, char, std::string>> legend = {
      {"#333", 'l', "rms, monitors in use"}};
  if (!r.exclusions.empty())
    legend.push_back({"#999", 'd', "monitor left out"});
  p.heading("Orbit rms against the iteration", legend);
  const auto [e0, e1] = decades(r.rms_history);
  const double lo = std::pow(10.0, e0);
  auto y = [&](double v) {
    const double c = std::isfinite(v) ? std::max(v, lo) : std::pow(10.0, e1);
    return p.y1() - (p.y1() - p.y0()) * (std::log10(c) - e0) / (e1 - e0);
  };
  log_axis(p, e0, e1);
  const int last = std::max<int>(static_cast<int>(r.rms_history.size()) - 1, 1);
  auto x = [&](double it) { return p.x0() + (p.x1() - p.x0()) * it / last; };
  for (const auto& [it, monitor] : r.exclusions) {
    o << "<line x1=\"" << x(it) << "\" y1=\"" << p.y0() << "\" x2=\"" << x(it)
      << "\" y2=\"" << p.y1()
      << "\" stroke=\"#999\" stroke-width=\"1.5\" stroke-dasharray=\"5,3\"/>\n"
      << "<text x=\"" << x(it) + 3 << "\" y=\"" << p.y0() + 12
      << "\" font-size=\"11\" fill=\"#666\">monitor " << monitor << "</text>\n";
  }
  o << "<polyline class=\"rms\" fill=\"none\" stroke=\"#333\" "
       "stroke-width=\"2\" points=\"";
  for (size_t i = 0; i < r.rms_history.size(); ++i) {
    o << (i ? " " : "") << x(static_cast<double>(i)) << ","
      << y(r.rms_history[i]);
  }
  o << "\"/>\n";
  if (r.rms_history.size() <= 60) {
    for (size_t i = 0; i < r.rms_history.size(); ++i) {
      o << "<circle cx=\"" << x(static_cast<double>(i)) << "\" cy=\""
        << y(r.rms_history[i]) << "\" r=\"2.5\" fill=\"#333\"/>\n";
    }
  }
  index_axis(p, static_cast<int>(r.rms_history.size()) - 1, x);
  p.frame();
  p.axis_titles("iteration", "rms orbit (mm)");
}

// The orbit at the monitors on a scale of its own; monitors left out are
// crosses on the axis.
void orbit_panel(std::ostringstream& o, double y0, const std::string& title,
                 const char* kind, const char* colour,
                 const std::vector<double>& v, const std::vector<bool>& used) {
  svg_panel p(o, 100, y0, 960, y0 + 200);
  const double r = rms(v, used);
  const size_t left_out =
      static_cast<size_t>(std::count(used.begin(), used.end(), false));
  std::vector<std::tuple<std::string, char, std::string>> legend = {
      {colour, 'l', format("reading, rms %.3g mm", r)}};
  if (left_out > 0) {
    legend.push_back({"#999", 'x', format("monitor left out (%zu)", left_out)});
  }
  p.heading(title, legend);
  double range = 0.0;
  for (size_t i = 0; i < v.size(); ++i) {
    if (used[i] && std::isfinite(v[i]))
      range = std::max(range, std::fabs(v[i]));
  }
  if (!(range > 0)) range = 1.0;
  const double step = nice_step(2 * range, 6);
  const double limit = std::ceil(range / step - 1e-9) * step;
  auto y = [&](double x) {
    return (p.y0() + p.y1()) / 2 - (p.y1() - p.y0()) / 2 * x / limit;
  };
  for (double t = -limit; t <= limit + step / 2; t += step) {
    p.y_tick(y(t), tick_label(t), std::fabs(t) < step / 2);
  }
  const size_t m = v.size();
  auto x = [&](double i) {
    return m <= 1 ? (p.x0() + p.x1()) / 2
                  : p.x0() + 10 + (p.x1() - p.x0() - 20) * i / (m - 1);
  };
  // One polyline per run of monitors in use with finite readings.
  o << "<polyline class=\"" << kind << "\" fill=\"none\" stroke=\"" << colour
    << "\" stroke-width=\"2\" points=\"";
  bool first = true;
  for (size_t i = 0; i < m; ++i) {
    if (!used[i] || !std::isfinite(v[i])) {
      if (!first)
        o << "\"/>\n<polyline class=\"" << kind << "\" fill=\"none\" stroke=\""
          << colour << "\" stroke-width=\"2\" points=\"";
      first = true;
      continue;
    }
    o << (first ? "" : " ") << x(static_cast<double>(i)) << "," << y(v[i]);
    first = false;
  }
  o << "\"/>\n";
  for (size_t i = 0; i < m; ++i) {
    if (!used[i]) {
      p.cross(x(static_cast<double>(i)), y(0), "#999");
    } else if (m <= 100 && std::isfinite(v[i])) {
      o << "<circle cx=\"" << x(static_cast<double>(i)) << "\" cy=\"" << y(v[i])
        << "\" r=\"2.5\" fill=\"" << colour << "\"/>\n";
    }
  }
  index_axis(p, static_cast<int>(m) - 1, x);
  p.frame();
  p.axis_titles("monitor", "orbit (mm)");
}

// The picture, 1000 x 980 px: the singular values and the rms orbit against
// the iteration above, the orbit before and after correction below, each
// on its own scale.
std::string make_svg(const run_record& r) {
  std::ostringstream o;
  o.setf(std::ios::fixed);
  o.precision(1);
  o << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"1000\" "
       "height=\"980\" viewBox=\"0 0 1000 980\" font-family=\"sans-serif\" "
       "font-size=\"13\">\n"
    << "<rect width=\"1000\" height=\"980\" fill=\"white\"/>\n"
    << "<text x=\"500\" y=\"28\" text-anchor=\"middle\" font-size=\"18\">"
    << xml_escape(r.title) << "</text>\n"
    << "<text x=\"500\" y=\"48\" text-anchor=\"middle\" fill=\"#555\">"
    << xml_escape(r.subtitle) << "</text>\n";
  spectrum_panel(o, r.spectrum);
  rms_panel(o, r);
  orbit_panel(o, 430, "Orbit before correction (iteration 0)", "orbit-before",
              "#d33", r.before, r.used_before);
  orbit_panel(o, 720,
              format("Orbit after correction (iteration %zu), on its own "
                     "scale",
                     r.rms_history.size() - 1),
              "orbit-after", "#2a6fdb", r.after, r.used);
  o << "</svg>\n";
  return o.str();
}

// Written beside the target and renamed over it, so that a reader never
// sees half a picture. False when it could not be written.
bool write_file(const std::string& path, const std::string& text) {
  const std::string part = path + ".part";
  std::ofstream out(part, std::ios::trunc);
  if (out) out << text;
  out.close();
  if (!out || std::rename(part.c_str(), path.c_str()) != 0) {
    std::remove(part.c_str());
    return false;
  }
  return true;
}

// ---------------------------------------- the chicane

// A bunch compressor of four 0.5 m dipoles at 0.5 T for a 1 GeV beam.
void print_chicane() {
  constexpr double kJoulePerMeV = 1.602176634e-13;
  const double E = 1000.0;  // MeV, beam energy
  const double B = 0.5;     // T, dipole field
  const double leff = 0.5;  // m, dipole length along the axis
  const double d12 = 5.0;   // m, drift between dipoles 1 and 2
  const double d23 = 1.0;   // m, drift between dipoles 2 and 3
  const double a1 = 0.001;  // T/A, field per unit current of the magnets
  const double alpha = B2alpha(B, E, leff);
  const double r = alpha2r(alpha, leff);
  const double l_bc = alpha2l_bc(alpha, r, d12, d23);
  const double axis = 4 * leff + 2 * d12 + d23;
  const double gamma = E2gamma(E * kJoulePerMeV);
  std::printf("     beam energy          %.1f MeV (gamma %.1f, beta %.9f)\n", E,
              gamma, gamma2beta(gamma));
  std::printf(
      "     dipoles              4 x %.2f m at %.3f T (%.0f A at "
      "%.1f mT/A); drifts %.1f m, %.1f m, %.1f m\n",
      leff, B, B2I(B, a1), a1 * 1e3, d12, d23, d12);
  std::printf("     bending angle        %.3f mrad (%.3f deg)\n", alpha * 1e3,
              alpha * 180.0 / 3.14159265358979323846);
  std::printf("     field back from it   %.6f T\n", alpha2B(alpha, E, leff));
  std::printf("     bending radius       %.3f m\n", r);
  std::printf("     R56                  %.3f mm\n",
              alpha2R56(alpha, leff, d12) * 1e3);
  std::printf("     offset x_bc          %.1f mm\n",
              alpha2x_bc(alpha, leff, d12) * 1e3);
  std::printf("     path length          %.6f m (axis %.3f m)\n", l_bc, axis);
  std::printf("     arrival-time shift   %.3f ps\n",
              delta_t(l_bc, leff + d12, leff + d23, leff) * 1e12);
}

// ---------------------------------------- the server

std::string clock_time(time_t t) {
  std::tm parts{};
  char buf[16] = "--:--:--";
  if (localtime_r(&t, &parts) != nullptr) {
    std::strftime(buf, sizeof buf, "%H:%M:%S", &parts);
  }
  return buf;
}

// The feedback server: its properties, and the monitors it uses.
class feedback_server {
 public:
  feedback_server(const options& o, const library_log& log)
      : o_(o),
        log_(log),
        loc_("FEEDBACK.DEMO"),
        response_("RESPONSE_MATRIX", o.monitors, o.actuators, &loc_),
        inverse_("INVERSE", o.actuators, o.monitors, &loc_),
        spectrum_("SINGULAR_VALUES", std::min(o.monitors, o.actuators), &loc_),
        history_("HISTORY", kHistorySize, &loc_),
        weights_(&loc_, o.monitors, o.actuators),
        used_(static_cast<size_t>(o.monitors), true) {}

  EqFct& location() { return loc_; }
  MDFA_ResponseMatrix& response() { return response_; }
  K_ringbuf& history() { return history_; }
  const std::vector<bool>& used() const { return used_; }
  const spectrum_view& spectrum() const { return sv_; }
  K_spectrum& spectrum_property() { return spectrum_; }

  void load() {
    zub_cli::measured_file measured = zub_cli::measure_checked(o_.file);
    if (!response_.load_file(o_.file.c_str())) {
      refuse(
          format("%s is not a %d x %d response matrix (give its shape "
                 "with --monitors and --actuators)",
                 o_.file.c_str(), o_.monitors, o_.actuators));
    }
    zub_cli::confirm_unchanged(o_.file, measured);
  }

  // Leaves monitor i out of the correction: weight 0.
  void leave_out(int i) {
    used_[static_cast<size_t>(i)] = false;
    weights_.set_monitor_weight(i, 0.0f);
  }

  // Inverts the weighted matrix and warns of what the operator must know.
  void invert() {
    float tol = o_.tol;
    int nosv = 0;
    const int errors_before = log_.errors();
    const std::string said =
        weights_.invert(response_, inverse_, spectrum_, &tol, &nosv);
    show_output(log_, said);
    if (log_.errors() != errors_before) {
      refuse("the response matrix was not inverted");
    }
    sv_.values.clear();
    std::vector<float> singular;
    for (int i = 0; i < spectrum_.spectrum_length(); ++i) {
      singular.push_back(spectrum_.spectrum_value(i));
      sv_.values.push_back(singular.back());
    }
    sv_.nosv = nosv;
    sv_.cutoff = sv_.values.empty() ? 0.0 : sv_.values.front() * tol;
    sv_.rounding_level =
        sv_.values.empty() ? 0.0
                           : zub_cli::float_rounding_level(
                                 sv_.values.front(), o_.monitors, o_.actuators);
    tol_ = tol;
    warnings_ = zub_cli::inversion_warnings(weights_.weighted(),
                                            weights_.inverted(), singular, tol,
                                            o_.tol == -1.0f, nosv, &loc_);
  }

  float tolerance() const { return tol_; }

  void print_warnings() const {
    for (const std::string& w : warnings_) zub_cli::warn(kProgram, w);
  }

  // The correction for a reading of the monitors: inverse x deviations,
  // with 0 for each monitor left out (its column of the inverse is 0, but
  // 0 x NaN would still be NaN).
  std::vector<double> correction(const std::vector<double>& reading) {
    MDFA_ResponseMatrix deviations("DEVIATIONS", o_.monitors, 1, &loc_);
    MDFA_ResponseMatrix change("CHANGE", o_.actuators, 1, &loc_);
    std::vector<double> d = reading;
    for (size_t i = 0; i < d.size(); ++i) {
      if (!used_[i]) d[i] = 0.0;
    }
    set_column(deviations, d);
    inverse_.multiply(deviations, change);
    return column_values(change);
  }

 private:
  const options& o_;
  const library_log& log_;
  EqFct loc_;
  MDFA_ResponseMatrix response_;
  MDFA_ResponseMatrix inverse_;
  K_spectrum spectrum_;
  K_ringbuf history_;
  zub_cli::weighted_inversion weights_;
  std::vector<bool> used_;
  spectrum_view sv_;
  float tol_ = -1.0f;
  std::vector<std::string> warnings_;
};

void print_inversion(const feedback_server& server, const options& o) {
  const spectrum_view& sv = server.spectrum();
  std::printf(
      "     tolerance %.2g (%s), cut-off = tolerance x s_max = %.2g\n"
      "     %d of %zu singular values kept\n",
      server.tolerance(), o.tol == -1.0f ? "internal" : "given", sv.cutoff,
      sv.nosv, sv.values.size());
}

// The monitors in use whose reading is no beam position.
std::vector<int> implausible(const std::vector<double>& reading,
                             const std::vector<bool>& used) {
  std::vector<int> out;
  for (size_t i = 0; i < reading.size(); ++i) {
    if (used[i] && !(std::isfinite(reading[i]) &&
                     std::fabs(reading[i]) <= kMonitorRange)) {
      out.push_back(static_cast<int>(i));
    }
  }
  return out;
}

int run(const options& o) {
  const library_log log(kLogStyle, !o.quiet);
  const int M = o.monitors;
  const int N = o.actuators;
  const int k = std::min(M, N);

  std::printf("zub_feedback demo: an orbit feedback server in one process\n\n");
  std::printf("1. Start-up: the location and its properties\n");
  feedback_server server(o, log);
  EqFct& loc = server.location();
  K_ringbuf& history = server.history();
  std::printf(
      "     %s: RESPONSE_MATRIX %d x %d (monitors x correctors), "
      "INVERSE %d x %d,\n     SINGULAR_VALUES (up to %d points), "
      "HISTORY (ring buffer of %d messages),\n     MONITOR_WEIGHTS %d x 1 "
      "and CORRECTOR_WEIGHTS 1 x %d (1 in use, 0 left out)\n",
      loc.name().c_str(), M, N, N, M, k, kHistorySize, M, N);
  server.load();
  for (int i : o.exclude_monitors) {
    if (!server.used()[static_cast<size_t>(i)]) continue;
    server.leave_out(i);
    std::printf("     monitor %d left out by the operator\n", i);
    history.store(format("monitor %d left out by the operator", i).c_str());
  }

  std::printf("\n2. Inversion by truncated SVD\n");
  server.invert();
  print_inversion(server, o);
  print_spectrum(server.spectrum());
  {
    // What a client of the server sees of the spectrum property.
    EqData request, reply;
    server.spectrum_property().get(nullptr, &request, &reply, &loc);
    std::printf("     a client reading SINGULAR_VALUES gets %d points\n",
                reply.length());
  }
  history.store(format("inverted %s: %d of %d singular values kept",
                       o.file.substr(o.file.find_last_of('/') + 1).c_str(),
                       server.spectrum().nosv, k)
                    .c_str());
  server.print_warnings();

  std::printf("\n3. The simulated machine\n");
  std::mt19937_64 rng(o.seed);
  std::normal_distribution<double> unit(0.0, 1.0);
  // The machine's response: the model with monitor and corrector
  // calibration errors, R_true(i, j) = R(i, j) g_i c_j.
  MDFA_ResponseMatrix calibration("CALIBRATION", M, N, &loc);
  {
    std::vector<double> g(static_cast<size_t>(M)), c(static_cast<size_t>(N));
    for (double& x : g) x = 1.0 + kMonitorGainError * unit(rng);
    for (double& x : c) x = 1.0 + kCorrectorGainError * unit(rng);
    for (int i = 0; i < M; ++i) {
      for (int j = 0; j < N; ++j) {
        calibration.set_value(static_cast<float>(g[static_cast<size_t>(i)] *
                                                 c[static_cast<size_t>(j)]),
                              i, j, -1, -1, -1, -1);
      }
    }
  }
  MDFA_ResponseMatrix machine("MACHINE", M, N, &loc);
  server.response().entrywise_product(calibration, machine);

  MDFA_ResponseMatrix kicks("KICKS", N, 1, &loc);  // mrad
  MDFA_ResponseMatrix orbit("ORBIT", M, 1, &loc);  // mm
  std::vector<double> theta(static_cast<size_t>(N));
  for (double& x : theta) x = o.errors * unit(rng);
  // The monitors' readings after `iteration` corrections.
  auto measure = [&](int iteration) {
    set_column(kicks, theta);
    machine.multiply(kicks, orbit);
    std::vector<double> x = column_values(orbit);
    for (double& v : x) v += o.noise * unit(rng);
    for (const auto& f : o.fail_monitors) {
      if (iteration < f.from) continue;
      x[static_cast<size_t>(f.monitor)] =
          iteration % 2 == 0 ? std::nan("") : kGarbageReading;
    }
    return x;
  };
  const int errors_before = log.errors();
  std::printf(
      "     corrector errors %.3g mrad rms, monitor noise %.3g mm rms, "
      "seed %llu;\n     the machine's monitors and correctors are off the "
      "model by %.0f %% and %.0f %% rms\n",
      o.errors, o.noise, o.seed, kMonitorGainError * 100,
      kCorrectorGainError * 100);
  for (const auto& f : o.fail_monitors) {
    std::printf(
        "     monitor %d breaks at iteration %d: from then on it reads "
        "garbage (%.0f mm at odd iterations, NaN at even ones)\n",
        f.monitor, f.from, kGarbageReading);
  }

  std::printf(
      "\n4. Feedback: deviations x inverse -> corrector changes x "
      "gain %.2f\n",
      o.gain);
  std::printf("     %9s  %11s  %11s  %16s  %8s\n", "iteration", "rms orbit",
              "max orbit", "largest change", "monitors");
  std::printf("     %9s  %11s  %11s  %16s  %8s\n", "", "mm", "mm", "mrad",
              "in use");
  run_record record;
  std::string stopped;  // why the feedback stopped early
  // Reads the monitors and checks every reading as a server does: one
  // monitor that reads no beam position is left out and the matrix
  // inverted again; several at once mean the orbit itself is out of range.
  auto read = [&](int iteration) {
    std::vector<double> x = measure(iteration);
    const std::vector<int> bad = implausible(x, server.used());
    if (bad.size() == 1) {
      const int i = bad.front();
      const double v = x[static_cast<size_t>(i)];
      const std::string why =
          std::isfinite(v)
              ? format("%.4g mm (beyond +-%.0f mm)", v, kMonitorRange)
              : format("%g (not a number)", v);
      server.leave_out(i);
      server.invert();
      std::printf(
          "     %9s  monitor %d reads %s: left out, matrix inverted again, "
          "%d of %d singular values kept\n",
          "", i, why.c_str(), server.spectrum().nosv, k);
      history.store(format("iteration %d: monitor %d reads %s; left out, "
                           "%d of %d singular values kept",
                           iteration, i, why.c_str(), server.spectrum().nosv, k)
                        .c_str());
      record.exclusions.push_back({iteration, i});
      server.print_warnings();
    } else if (bad.size() > 1) {
      std::string list;
      for (size_t n = 0; n < bad.size() && n < 8; ++n) {
        list += (n ? ", " : "") + std::to_string(bad[n]);
      }
      if (bad.size() > 8) list += ", ...";
      stopped = format(
          "at iteration %d, %zu monitors read no beam position (%s): the "
          "orbit is beyond the monitors' range of +-%.0f mm, and the "
          "feedback stops",
          iteration, bad.size(), list.c_str(), kMonitorRange);
    }
    if (std::count(server.used().begin(), server.used().end(), true) == 0) {
      stopped = format(
          "at iteration %d no monitor is left in use, and the "
          "feedback stops",
          iteration);
    }
    return x;
  };
  const std::vector<double> first = read(0);
  const std::vector<bool> used_at_start = server.used();
  record.rms_history.push_back(rms(first, server.used()));
  std::printf("     %9d  %11s  %11s  %16s  %8zu\n", 0,
              number(rms(first, server.used()), 4).c_str(),
              number(max_abs(first, server.used()), 4).c_str(), "-",
              static_cast<size_t>(std::count(server.used().begin(),
                                             server.used().end(), true)));
  std::vector<double> last = first;
  int done = 0;
  // The first iteration at which the orbit stood above where it started by
  // more than the monitors' noise, over the monitors then in use: a
  // feedback that amplifies noise can end on a low sample by chance.
  struct growth {
    int iteration = 0;  // 0: none
    double from = 0.0, to = 0.0;
    size_t in_use = 0;
  } grew;
  for (int it = 1; it <= o.iterations && stopped.empty(); ++it) {
    // The correction that cancels the measured orbit, scaled by the gain.
    const std::vector<double> delta = server.correction(last);
    double largest = 0.0;
    for (size_t j = 0; j < theta.size(); ++j) {
      theta[j] -= o.gain * delta[j];
      largest = std::max(largest, std::fabs(o.gain * delta[j]));
    }
    last = read(it);
    done = it;
    const std::vector<bool>& used = server.used();
    const double r = rms(last, used);
    const double mx = max_abs(last, used);
    record.rms_history.push_back(r);
    const double r_start = rms(first, used);
    if (grew.iteration == 0 && stopped.empty() && !(r <= r_start + o.noise)) {
      grew = {it, r_start, r,
              static_cast<size_t>(std::count(used.begin(), used.end(), true))};
    }
    std::printf(
        "     %9d  %11s  %11s  %16s  %8zu\n", it, number(r, 4).c_str(),
        number(mx, 4).c_str(), number(largest, 5).c_str(),
        static_cast<size_t>(std::count(used.begin(), used.end(), true)));
    history.store(format("iteration %d: orbit rms %s mm, max %s mm, "
                         "largest change %s mrad",
                         it, number(r, 4).c_str(), number(mx, 4).c_str(),
                         number(largest, 5).c_str())
                      .c_str());
  }
  if (log.errors() != errors_before) refuse("the feedback loop failed");
  // A client reading the history learns why the feedback stopped.
  if (!stopped.empty()) history.store(stopped.c_str());

  std::printf("\n5. The message history, read through the framework's get\n");
  {
    EqData request, reply;  // a request without data: the whole buffer
    history.get(nullptr, &request, &reply, &loc);
    int empty = 0;
    std::printf("     whole buffer, newest first (%d entries):\n",
                reply.length());
    for (int i = 0; i < reply.length(); ++i) {
      const USTR* e = reply.get_ustr(i);
      if (e->tm == 0) {
        ++empty;
      } else {
        std::printf("     %4d  %s  %s\n", i, clock_time(e->tm).c_str(),
                    e->str_data.c_str());
      }
    }
    if (empty > 0) std::printf("     (%d entries empty)\n", empty);
    request.set(0);  // the int 0: the newest entry alone
    history.get(nullptr, &request, &reply, &loc);
    const USTR* e = reply.get_ustr(0);
    std::printf("     entry 0 alone: %s\n",
                e != nullptr && e->tm != 0 ? e->str_data.c_str() : "(empty)");
  }

  std::printf("\n6. A sample bunch-compressor chicane\n");
  print_chicane();

  std::printf("\nSummary\n");
  // Both ends over the monitors in use at the end.
  const std::vector<bool>& used = server.used();
  const double r0 = rms(first, used), r1 = rms(last, used);
  const size_t in_use =
      static_cast<size_t>(std::count(used.begin(), used.end(), true));
  const std::string over =
      in_use == used.size() ? "" : format(" (the %zu monitors in use)", in_use);
  const bool failed = grew.iteration > 0 || !stopped.empty();
  const char* const plural = done == 1 ? "" : "s";
  if (!stopped.empty()) {
    // The last readings are those that made it stop: no orbit to show.
    std::printf(
        "     orbit rms %s mm at the start%s; the feedback stopped at "
        "iteration %d\n",
        number(r0, 4).c_str(), over.c_str(), done);
  } else if (done == 0) {
    std::printf("     no feedback iterations: orbit rms %.4f mm%s\n", r0,
                over.c_str());
  } else if (failed) {
    std::printf(
        "     orbit rms %s mm -> %s mm in %d iteration%s%s: the feedback made "
        "it grow (first above its start at iteration %d: %s mm)\n",
        number(r0, 4).c_str(), number(r1, 4).c_str(), done, plural,
        over.c_str(), grew.iteration, number(grew.to, 4).c_str());
  } else if (r1 > 0 && r1 < r0) {
    std::printf(
        "     orbit rms %.4f mm -> %.4f mm in %d iteration%s%s: %.1f "
        "times smaller\n",
        r0, r1, done, plural, over.c_str(), r0 / r1);
  } else if (r1 > 0) {
    std::printf(
        "     orbit rms %.4f mm -> %.4f mm in %d iteration%s%s: no smaller, "
        "within the monitors' noise of %.3g mm\n",
        r0, r1, done, plural, over.c_str(), o.noise);
  } else {
    std::printf("     orbit rms %.4f mm -> %.4f mm in %d iteration%s%s\n", r0,
                r1, done, plural, over.c_str());
  }

  record.title =
      "Orbit feedback on " + o.file.substr(o.file.find_last_of('/') + 1);
  record.subtitle = format(
      "%d monitors x %d correctors, gain %.2g, %d iteration%s, seed %llu", M, N,
      o.gain, done, done == 1 ? "" : "s", o.seed);
  // A picture passed on without its log still says that the run failed.
  if (!stopped.empty()) {
    record.subtitle += format("; the feedback stopped at iteration %d", done);
  } else if (grew.iteration > 0) {
    record.subtitle += format(
        "; the orbit grew above its start at iteration %d: the feedback "
        "diverges",
        grew.iteration);
  }
  record.spectrum = server.spectrum();
  record.before = first;
  record.after = last;
  record.used_before = used_at_start;
  record.used = used;
  const bool drawn = write_file(o.svg, make_svg(record));
  if (drawn) std::printf("     picture written to %s\n", o.svg.c_str());

  if (!stopped.empty()) {
    zub_cli::warn(kProgram, stopped);
  } else if (grew.iteration > 0) {
    const std::string grew_over =
        grew.in_use == used.size()
            ? ""
            : format(" (the %zu monitors in use)", grew.in_use);
    zub_cli::warn(kProgram,
                  format("the orbit grew from %s mm to %s mm rms in %d "
                         "iteration%s%s: the feedback diverges",
                         number(grew.from, 4).c_str(),
                         number(grew.to, 4).c_str(), grew.iteration,
                         grew.iteration == 1 ? "" : "s", grew_over.c_str()));
  }
  // A diverging feedback says so whether or not its picture was drawn.
  if (!drawn && !failed) refuse("cannot write " + o.svg);
  if (!drawn) zub_cli::warn(kProgram, "cannot write " + o.svg);
  return failed ? kExitDiverged : 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    const options o = parse(argc, argv);
    if (o.help) {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (o.version) {
      zub_cli::print_version(kProgram);
      return 0;
    }
    return run(o);
  } catch (const failure& f) {
    std::fflush(stdout);
    std::fprintf(stderr, "feedback_demo: %s\n", f.message.c_str());
    if (f.status == kExitUsage) {
      std::fputs("Try 'feedback_demo --help'.\n", stderr);
    }
    return f.status;
  } catch (const std::bad_alloc&) {
    std::fflush(stdout);
    std::fputs("feedback_demo: out of memory\n", stderr);
    return kExitRefused;
  } catch (const std::exception& e) {
    std::fflush(stdout);
    std::fprintf(stderr, "feedback_demo: %s\n", e.what());
    return kExitRefused;
  }
}
