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
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>
#include <fstream>
#include <limits>
#include <memory>
#include <new>
#include <random>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "chicane_physics.h"
#include "cli_support.h"
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

// Calibration errors of the simulated machine against the model, relative
// rms: monitor gains and corrector strengths.
constexpr double kMonitorGainError = 0.03;
constexpr double kCorrectorGainError = 0.05;

// Entries kept by the server's message history.
constexpr int kHistorySize = 8;

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
  std::string svg;
  bool quiet = false;
  bool help = false;
};

const char kUsage[] =
    "usage: feedback_demo [OPTIONS]\n"
    "Runs a small orbit-feedback server on a response-matrix file: loads\n"
    "and inverts the matrix (truncated SVD), shows its singular values,\n"
    "corrects the orbit of a simulated machine for a number of iterations,\n"
    "reads the server's message history back through the framework and\n"
    "prints the numbers of a sample bunch-compressor chicane.\n"
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
    "  --svg FILE        also write a picture: the singular values on a log\n"
    "                    scale and the orbit before and after correction\n"
    "  --quiet           show only the library's error messages\n"
    "  --help            this text\n"
    "Options take their value as the next argument or after '='.\n"
    "Exit status: 0 done, 1 a file refused, 2 bad usage.\n";

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
    } else {
      bad_usage(std::string("unknown argument '") + argv[k] + "'");
    }
  }
  if (static_cast<long long>(o.monitors) * o.actuators > kMaxElements) {
    bad_usage(format("%d x %d is more than %lld elements", o.monitors,
                     o.actuators, kMaxElements));
  }
  return o;
}

// ---------------------------------------- the library's messages

// The library's messages are shown indented under the step that caused
// them, with --quiet only the errors.
void show_detail(const std::string& where, const std::string& text) {
  std::printf("     | %s: %s\n", where.c_str(), text.c_str());
}

constexpr zub_cli::log_style kLogStyle{"feedback_demo", show_detail, true};

// A line that the library wrote to standard output, shown the same way.
void show_output(const library_log& log, const std::string& text) {
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    if (log.shows_details()) std::printf("     | (stdout) %s\n", line.c_str());
  }
}

// ---------------------------------------- vectors as one-column matrices

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

double rms(const std::vector<double>& v) {
  if (v.empty()) return 0.0;
  double sum = 0.0;
  for (double x : v) sum += x * x;
  return std::sqrt(sum / static_cast<double>(v.size()));
}

double max_abs(const std::vector<double>& v) {
  double m = 0.0;
  for (double x : v) m = std::max(m, std::fabs(x));
  return m;
}

// ---------------------------------------- the spectrum as a text chart

struct spectrum_view {
  std::vector<double> values;  // all singular values, largest first
  double cutoff = 0.0;         // s > cutoff (and s > 0) enters the inverse
  bool kept(size_t i) const { return values[i] > cutoff && values[i] > 0.0; }
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

// One picture of 1000 x 700 px: the singular values as bars on a log scale
// above, the orbit at the monitors before and after correction below.
std::string make_svg(const spectrum_view& sv, const std::vector<double>& before,
                     const std::vector<double>& after,
                     const std::string& title) {
  std::ostringstream o;
  o.setf(std::ios::fixed);
  o.precision(1);
  o << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"1000\" "
       "height=\"700\" viewBox=\"0 0 1000 700\" font-family=\"sans-serif\" "
       "font-size=\"13\">\n"
    << "<rect width=\"1000\" height=\"700\" fill=\"white\"/>\n"
    << "<text x=\"500\" y=\"26\" text-anchor=\"middle\" font-size=\"17\">"
    << xml_escape(title) << "</text>\n";

  // Top panel: x 90 ... 960, y 60 ... 290.
  const double px0 = 90, px1 = 960, py0 = 60, py1 = 290;
  double lo = 0.0, hi = 0.0;
  for (double s : sv.values) {
    if (s > 0 && (lo == 0.0 || s < lo)) lo = s;
    hi = std::max(hi, s);
  }
  const bool any_positive = hi > 0.0;
  const int e0 =
      any_positive ? static_cast<int>(std::floor(std::log10(lo))) : 0;
  int e1 = any_positive ? static_cast<int>(std::ceil(std::log10(hi))) : 1;
  if (e1 == e0) ++e1;
  auto ylog = [&](double s) {
    return py1 - (py1 - py0) * (std::log10(s) - e0) / (e1 - e0);
  };
  o << "<text x=\"" << px0
    << "\" y=\"50\" font-size=\"15\">Singular values "
       "(log scale): kept in blue, cut in grey</text>\n";
  o << "<rect x=\"" << px0 << "\" y=\"" << py0 << "\" width=\"" << px1 - px0
    << "\" height=\"" << py1 - py0 << "\" fill=\"none\" stroke=\"#444\"/>\n";
  const int step = std::max(1, (e1 - e0 + 7) / 8);
  for (int e = e0; e <= e1; e += step) {
    const double y = py1 - (py1 - py0) * (e - e0) / (e1 - e0);
    o << "<line x1=\"" << px0 << "\" y1=\"" << y << "\" x2=\"" << px1
      << "\" y2=\"" << y << "\" stroke=\"#ddd\"/>\n"
      << "<text x=\"" << px0 - 6 << "\" y=\"" << y + 4
      << "\" text-anchor=\"end\">1e" << e << "</text>\n";
  }
  const size_t k = sv.values.size();
  const double slot = (px1 - px0) / std::max<size_t>(k, 1);
  for (size_t i = 0; i < k; ++i) {
    const double s = sv.values[i];
    const double x = px0 + slot * i + slot * 0.15;
    const double w = std::max(slot * 0.7, 0.5);
    const char* fill = sv.kept(i) ? "#2a6fdb" : "#aaaaaa";
    if (s > 0) {
      const double y = ylog(s);
      o << "<rect x=\"" << x << "\" y=\"" << y << "\" width=\"" << w
        << "\" height=\"" << py1 - y << "\" fill=\"" << fill << "\"/>\n";
    } else {
      // A zero has no place on a log scale: a marker on the axis.
      o << "<text x=\"" << x + w / 2 << "\" y=\"" << py1 - 6
        << "\" text-anchor=\"middle\" fill=\"#888\">0</text>\n";
    }
    if (k <= 40) {
      o << "<text x=\"" << x + w / 2 << "\" y=\"" << py1 + 16
        << "\" text-anchor=\"middle\" font-size=\"11\">" << i << "</text>\n";
    }
  }
  if (sv.cutoff > 0 && any_positive && sv.cutoff >= std::pow(10.0, e0) &&
      sv.cutoff <= std::pow(10.0, e1)) {
    const double y = ylog(sv.cutoff);
    o << "<line x1=\"" << px0 << "\" y1=\"" << y << "\" x2=\"" << px1
      << "\" y2=\"" << y << "\" stroke=\"#d33\" stroke-dasharray=\"6,4\"/>\n"
      << "<text x=\"" << px1 - 4 << "\" y=\"" << y - 5
      << "\" text-anchor=\"end\" fill=\"#d33\">cut-off</text>\n";
  }
  {
    std::ostringstream note;
    note.precision(2);
    note << "index of the singular value; cut-off " << sv.cutoff;
    if (sv.cutoff > 0 && any_positive && sv.cutoff < std::pow(10.0, e0)) {
      note << " (below the axis)";
    }
    o << "<text x=\"" << (px0 + px1) / 2 << "\" y=\"" << py1 + 34
      << "\" text-anchor=\"middle\" fill=\"#444\">" << note.str()
      << "</text>\n";
  }

  // Bottom panel: x 90 ... 960, y 390 ... 640.
  const double qx0 = 90, qx1 = 960, qy0 = 390, qy1 = 640;
  double range = std::max(max_abs(before), max_abs(after));
  if (!(range > 0)) range = 1.0;
  // A round axis limit: 1, 2 or 5 times a power of ten.
  const double p = std::pow(10.0, std::floor(std::log10(range)));
  const double limit = range <= p       ? p
                       : range <= 2 * p ? 2 * p
                       : range <= 5 * p ? 5 * p
                                        : 10 * p;
  auto yorb = [&](double v) {
    return (qy0 + qy1) / 2 - (qy1 - qy0) / 2 * v / limit;
  };
  const size_t m = before.size();
  auto xmon = [&](size_t i) {
    return m <= 1
               ? (qx0 + qx1) / 2
               : qx0 + 10 + (qx1 - qx0 - 20) * static_cast<double>(i) / (m - 1);
  };
  o << "<text x=\"" << qx0 << "\" y=\"" << qy0 - 14
    << "\" font-size=\"15\">Orbit at the monitors (mm): before correction in "
       "red, after in blue</text>\n";
  o << "<rect x=\"" << qx0 << "\" y=\"" << qy0 << "\" width=\"" << qx1 - qx0
    << "\" height=\"" << qy1 - qy0 << "\" fill=\"none\" stroke=\"#444\"/>\n";
  for (int t = -2; t <= 2; ++t) {
    const double v = limit * t / 2;
    const double y = yorb(v);
    o << "<line x1=\"" << qx0 << "\" y1=\"" << y << "\" x2=\"" << qx1
      << "\" y2=\"" << y << "\" stroke=\"" << (t == 0 ? "#888" : "#ddd")
      << "\"/>\n";
    std::ostringstream label;
    label << v;
    o << "<text x=\"" << qx0 - 6 << "\" y=\"" << y + 4
      << "\" text-anchor=\"end\">" << label.str() << "</text>\n";
  }
  auto polyline = [&](const std::vector<double>& v, const char* colour) {
    o << "<polyline fill=\"none\" stroke=\"" << colour
      << "\" stroke-width=\"2\" points=\"";
    for (size_t i = 0; i < v.size(); ++i) {
      o << (i ? " " : "") << xmon(i) << "," << yorb(v[i]);
    }
    o << "\"/>\n";
    if (v.size() <= 100) {
      for (size_t i = 0; i < v.size(); ++i) {
        o << "<circle cx=\"" << xmon(i) << "\" cy=\"" << yorb(v[i])
          << "\" r=\"3\" fill=\"" << colour << "\"/>\n";
      }
    }
  };
  polyline(before, "#d33");
  polyline(after, "#2a6fdb");
  {
    std::ostringstream note;
    note.precision(4);
    note << "monitor index; rms " << rms(before) << " mm before, " << rms(after)
         << " mm after";
    o << "<text x=\"" << (qx0 + qx1) / 2 << "\" y=\"" << qy1 + 24
      << "\" text-anchor=\"middle\" fill=\"#444\">" << note.str()
      << "</text>\n";
  }
  o << "</svg>\n";
  return o.str();
}

void write_file(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::trunc);
  if (out) out << text;
  out.close();
  if (!out) refuse("cannot write " + path);
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

int run(const options& o) {
  const library_log log(kLogStyle, !o.quiet);
  const int M = o.monitors;
  const int N = o.actuators;
  const int k = std::min(M, N);

  std::printf("zub_feedback demo: an orbit feedback server in one process\n\n");
  std::printf("1. Start-up: the location and its properties\n");
  EqFct loc("FEEDBACK.DEMO");
  MDFA_ResponseMatrix response("RESPONSE_MATRIX", M, N, &loc);
  MDFA_ResponseMatrix inverse("INVERSE", N, M, &loc);
  K_spectrum spectrum("SINGULAR_VALUES", k, &loc);
  K_ringbuf history("HISTORY", kHistorySize, &loc);
  std::printf(
      "     %s: RESPONSE_MATRIX %d x %d (monitors x correctors), "
      "INVERSE %d x %d,\n     SINGULAR_VALUES (up to %d points), "
      "HISTORY (ring buffer of %d messages)\n",
      loc.name().c_str(), M, N, N, M, k, kHistorySize);
  if (!response.load_file(o.file.c_str())) {
    refuse(
        format("%s is not a %d x %d response matrix (give its shape with "
               "--monitors and --actuators)",
               o.file.c_str(), M, N));
  }

  std::printf("\n2. Inversion by truncated SVD\n");
  float tol = o.tol;
  int nosv = 0;
  int errors_before = log.errors();
  const std::string said =
      capture_cout([&] { response.invert(inverse, spectrum, &tol, &nosv); });
  show_output(log, said);
  if (log.errors() != errors_before) {
    refuse("the response matrix was not inverted");
  }
  spectrum_view sv;
  for (int i = 0; i < spectrum.spectrum_length(); ++i) {
    sv.values.push_back(spectrum.spectrum_value(i));
  }
  sv.cutoff = sv.values.empty() ? 0.0 : sv.values.front() * tol;
  size_t kept = 0;
  for (size_t i = 0; i < sv.values.size(); ++i) kept += sv.kept(i) ? 1 : 0;
  std::printf(
      "     tolerance %.2g (%s), cut-off = tolerance x s_max = %.2g\n"
      "     %zu of %d singular values kept\n",
      tol, o.tol == -1.0f ? "internal" : "given", sv.cutoff, kept, k);
  if (kept != static_cast<size_t>(nosv)) {
    // The count compares each value with the tolerance itself, the inverse
    // with the tolerance times the largest value.
    std::printf("     (the count that invert returns, s >= tolerance: %d)\n",
                nosv);
  }
  print_spectrum(sv);
  {
    // What a client of the server sees of the spectrum property.
    EqData request, reply;
    spectrum.get(nullptr, &request, &reply, &loc);
    std::printf("     a client reading SINGULAR_VALUES gets %d points\n",
                reply.length());
  }

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
  response.entrywise_product(calibration, machine);

  MDFA_ResponseMatrix kicks("KICKS", N, 1, &loc);    // mrad
  MDFA_ResponseMatrix orbit("ORBIT", M, 1, &loc);    // mm
  MDFA_ResponseMatrix change("CHANGE", N, 1, &loc);  // mrad
  std::vector<double> theta(static_cast<size_t>(N));
  for (double& x : theta) x = o.errors * unit(rng);
  auto measure = [&]() {
    set_column(kicks, theta);
    machine.multiply(kicks, orbit);
    std::vector<double> x = column_values(orbit);
    for (double& v : x) v += o.noise * unit(rng);
    set_column(orbit, x);
    return x;
  };
  errors_before = log.errors();
  const std::vector<double> first = measure();
  std::printf(
      "     corrector errors %.3g mrad rms, monitor noise %.3g mm rms, "
      "seed %llu;\n     the machine's monitors and correctors are off the "
      "model by %.0f %% and %.0f %% rms\n",
      o.errors, o.noise, o.seed, kMonitorGainError * 100,
      kCorrectorGainError * 100);
  std::printf("     orbit before correction: rms %.4f mm, max %.4f mm\n",
              rms(first), max_abs(first));

  std::printf(
      "\n4. Feedback: deviations x inverse -> corrector changes x "
      "gain %.2f\n",
      o.gain);
  std::printf("     %9s  %11s  %11s  %16s\n", "iteration", "rms orbit",
              "max orbit", "largest change");
  std::printf("     %9s  %11s  %11s  %16s\n", "", "mm", "mm", "mrad");
  std::printf("     %9d  %11.4f  %11.4f  %16s\n", 0, rms(first), max_abs(first),
              "-");
  std::vector<double> last = first;
  for (int it = 1; it <= o.iterations; ++it) {
    // The correction that cancels the measured orbit, scaled by the gain.
    inverse.multiply(orbit, change);
    const std::vector<double> delta = column_values(change);
    double largest = 0.0;
    for (size_t j = 0; j < theta.size(); ++j) {
      theta[j] -= o.gain * delta[j];
      largest = std::max(largest, std::fabs(o.gain * delta[j]));
    }
    last = measure();
    std::printf("     %9d  %11.4f  %11.4f  %16.5f\n", it, rms(last),
                max_abs(last), largest);
    history.store(format("iteration %d: orbit rms %.4f mm, max %.4f mm, "
                         "largest change %.5f mrad",
                         it, rms(last), max_abs(last), largest)
                      .c_str());
  }
  if (log.errors() != errors_before) refuse("the feedback loop failed");

  std::printf("\n5. The message history, read through the framework's get\n");
  {
    EqData request, reply;  // a request without data: the whole buffer
    history.get(nullptr, &request, &reply, &loc);
    std::printf("     whole buffer, newest first (%d entries):\n",
                reply.length());
    for (int i = 0; i < reply.length(); ++i) {
      const USTR* e = reply.get_ustr(i);
      if (e->tm == 0) {
        std::printf("     %4d  (empty)\n", i);
      } else {
        std::printf("     %4d  %s  %s\n", i, clock_time(e->tm).c_str(),
                    e->str_data.c_str());
      }
    }
    request.set(0);  // the int 0: the newest entry alone
    history.get(nullptr, &request, &reply, &loc);
    const USTR* e = reply.get_ustr(0);
    std::printf("     entry 0 alone: %s\n",
                e != nullptr && e->tm != 0 ? e->str_data.c_str() : "(empty)");
  }

  std::printf("\n6. A sample bunch-compressor chicane\n");
  print_chicane();

  std::printf("\nSummary\n");
  const double r0 = rms(first), r1 = rms(last);
  if (o.iterations == 0) {
    std::printf("     no feedback iterations: orbit rms %.4f mm\n", r0);
  } else if (r1 > 0) {
    std::printf(
        "     orbit rms %.4f mm -> %.4f mm in %d iterations: %.1f "
        "times smaller\n",
        r0, r1, o.iterations, r0 / r1);
  } else {
    std::printf("     orbit rms %.4f mm -> %.4f mm in %d iterations\n", r0, r1,
                o.iterations);
  }
  if (!o.svg.empty()) {
    const std::string file_name = o.file.substr(o.file.find_last_of('/') + 1);
    write_file(o.svg,
               make_svg(sv, first, last, "Orbit feedback on " + file_name));
    std::printf("     picture written to %s\n", o.svg.c_str());
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    const options o = parse(argc, argv);
    if (o.help) {
      std::fputs(kUsage, stdout);
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
