// rmtool: looks at a response-matrix file before a feedback server uses it.
//
//   rmtool info FILE                               shape, values, bad lines
//   rmtool svd FILE [--tol T] [exclusions]         singular values, cut-off
//   rmtool invert FILE [--tol T] [--pinv] [exclusions] -o OUT
//                                                  the inverse, as a file
//   rmtool apply INVERSE DEVIATIONS                corrector settings
//
// Every computation is the library's: a file is measured by the code that
// load_file runs, read with load_file, inverted with invert or pinv and
// applied with multiply, exactly as a server would do it; the count of kept
// singular values is invert's. The tool formats the results and warns.
//
// Exit status: 0 done, 1 a file or its content was refused, 2 bad usage.

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fstream>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "cli_support.h"
#include "inversion_support.h"
#include "matrix_file.h"
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
using zub_cli::measure;
using zub_cli::measured_file;
using zub_cli::print_problems;
using zub_cli::refuse;
using zub_cli::refuse_offending;

// A path as it may stand inside a comment line of an output file.
std::string printable(const std::string& s) {
  std::string out = s;
  for (char& c : out) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
  }
  return out;
}

// ---------------------------------------- library messages

// The library's errors on standard error, the rest there too with --verbose.
void show_detail(const std::string& where, const std::string& text) {
  std::fprintf(stderr, "  [%s] %s\n", where.c_str(), text.c_str());
}

constexpr zub_cli::log_style kLogStyle{"rmtool", show_detail, false};

// The measured shape, refused when the library could not hold it.
void check_shape(const std::string& path, const measured_file& m) {
  if (m.rows == 0 || m.cols == 0) {
    std::string why;
    if (!m.last_stop.empty()) why = " (it starts with '" + m.last_stop + "')";
    refuse(
        format("%s holds no matrix: %lld data lines, %lld values on the "
               "last one%s",
               path.c_str(), m.rows, m.cols, why.c_str()));
  }
  // A short file of many empty lines and one long last line measures huge.
  if (m.rows > kMaxElements / m.cols) {
    refuse(format("%s measures %lld x %lld, more than %lld elements",
                  path.c_str(), m.rows, m.cols, kMaxElements));
  }
}

// ---------------------------------------- a loaded matrix

struct loaded_matrix {
  std::unique_ptr<MDFA_ResponseMatrix> matrix;
  measured_file shape;
};

loaded_matrix load(EqFct& loc, const std::string& path, measured_file shape,
                   const library_log& log) {
  loaded_matrix out;
  out.shape = std::move(shape);
  check_shape(path, out.shape);
  out.matrix = std::make_unique<MDFA_ResponseMatrix>(
      "RMTOOL.MATRIX", static_cast<int>(out.shape.rows),
      static_cast<int>(out.shape.cols), &loc);
  const int errors_before = log.errors();
  if (!out.matrix->load_file(path.c_str()) || log.errors() != errors_before) {
    refuse(format("%s was not loaded", path.c_str()));
  }
  zub_cli::confirm_unchanged(path, out.shape);
  return out;
}

// A file that must load as it reads: every offending line is named on
// standard error, and the file refused.
loaded_matrix load_checked(EqFct& loc, const std::string& path,
                           const library_log& log) {
  return load(loc, path, zub_cli::measure_checked(path), log);
}

// The first element that is not a finite number, as "(i, j) = v", or "".
std::string first_non_finite(const MDFA_ResponseMatrix& m) {
  for (int i = 0; i < m.rows; ++i) {
    for (int j = 0; j < m.cols; ++j) {
      const float v = m.value(i, j, -1, -1, -1, -1);
      if (!std::isfinite(v)) return format("(%d, %d) = %g", i, j, v);
    }
  }
  return "";
}

// ---------------------------------------- arguments

struct arguments {
  std::vector<std::string> positional;
  bool tol_given = false;
  float tol = -1.0f;
  bool pinv = false;
  std::string out;
  std::vector<long long> exclude_monitors;
  std::vector<long long> exclude_correctors;
  bool verbose = false;
  bool help = false;
  bool version = false;
};

float parse_tolerance(const std::string& text) {
  errno = 0;
  char* end = nullptr;
  const double v = std::strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0' || errno == ERANGE || !std::isfinite(v) ||
      (v < 0 && v != -1.0) || v > 3.4e38) {
    bad_usage(
        "--tol wants -1 (the internal tolerance) or a number >= 0, not '" +
        text + "'");
  }
  return static_cast<float>(v);
}

// A list of indices from 0: "3", "3,7", "10-12", "3,10-12".
std::vector<long long> parse_index_list(const std::string& option,
                                        const std::string& text) {
  std::vector<long long> out;
  auto bad = [&]() {
    bad_usage(option +
              " wants indices from 0 separated by commas, a-b for a range, "
              "not '" +
              text + "'");
  };
  auto number = [&](const std::string& t) {
    if (t.empty() || t.size() > 9 ||
        t.find_first_not_of("0123456789") != std::string::npos) {
      bad();
    }
    return std::stoll(t);
  };
  if (text.empty()) bad();
  size_t at = 0;
  while (at <= text.size()) {
    const size_t comma = std::min(text.find(',', at), text.size());
    const std::string item = text.substr(at, comma - at);
    const size_t dash = item.find('-');
    const long long a = number(item.substr(0, dash));
    const long long b =
        dash == std::string::npos ? a : number(item.substr(dash + 1));
    if (b < a || b - a > kMaxElements) bad();
    for (long long k = a; k <= b; ++k) out.push_back(k);
    at = comma + 1;
  }
  std::sort(out.begin(), out.end());
  out.erase(std::unique(out.begin(), out.end()), out.end());
  return out;
}

arguments parse(int argc, char** argv, int first) {
  arguments a;
  for (int k = first; k < argc; ++k) {
    std::string arg = argv[k];
    // --option=value as well as --option value.
    std::string inline_value;
    bool has_inline = false;
    const size_t eq = arg.find('=');
    if (arg.rfind("--", 0) == 0 && eq != std::string::npos) {
      inline_value = arg.substr(eq + 1);
      arg.erase(eq);
      has_inline = true;
    }
    auto value = [&]() -> std::string {
      if (has_inline) return inline_value;
      if (k + 1 >= argc) bad_usage(arg + " needs a value");
      return argv[++k];
    };
    auto flag = [&]() {
      if (has_inline) bad_usage(arg + " takes no value");
      return true;
    };
    if (arg == "--help" || arg == "-h") {
      a.help = flag();
    } else if (arg == "--version") {
      a.version = flag();
    } else if (arg == "--verbose" || arg == "-v") {
      a.verbose = flag();
    } else if (arg == "--tol") {
      a.tol = parse_tolerance(value());
      a.tol_given = true;
    } else if (arg == "--pinv") {
      a.pinv = flag();
    } else if (arg == "--exclude-monitors") {
      const std::vector<long long> l = parse_index_list(arg, value());
      a.exclude_monitors.insert(a.exclude_monitors.end(), l.begin(), l.end());
    } else if (arg == "--exclude-correctors") {
      const std::vector<long long> l = parse_index_list(arg, value());
      a.exclude_correctors.insert(a.exclude_correctors.end(), l.begin(),
                                  l.end());
    } else if (arg == "-o" || arg == "--output") {
      a.out = value();
      if (a.out.empty()) bad_usage(arg + " needs a file name");
    } else if (arg.size() > 1 && arg[0] == '-') {
      bad_usage(std::string("unknown option '") + argv[k] + "'");
    } else {
      a.positional.push_back(arg);
    }
  }
  return a;
}

const char kUsage[] =
    "usage: rmtool COMMAND ARGUMENTS [--verbose]\n"
    "Checks a response-matrix file (one line of numbers per monitor, one\n"
    "number per corrector, '#' first on a line for a comment) with the\n"
    "zub_feedback library, the way a feedback server reads and uses it.\n"
    "Line numbers count from 1; monitors, correctors, rows, columns and\n"
    "singular values from 0.\n"
    "\n"
    "  rmtool info FILE\n"
    "      Shape as the loader measures it (data lines = monitors, values on\n"
    "      the last data line = correctors), value range, non-finite values,\n"
    "      zero rows and columns. Names every line from which the matrix\n"
    "      would not get what the line shows (a value the loader does not\n"
    "      read, such as nan, inf, a typo or a comma; a line with fewer or\n"
    "      more values than the last; a byte-order mark) and then exits 1,\n"
    "      as it does for a value that is not finite.\n"
    "  rmtool svd FILE [--tol T] [EXCLUSIONS]\n"
    "      All singular values, which of them the inverse keeps, the\n"
    "      tolerance used and the condition number.\n"
    "  rmtool invert FILE [--tol T] [--pinv] [EXCLUSIONS] -o OUT\n"
    "      Writes the inverse (correctors x monitors) to OUT in the same text\n"
    "      format, so that load_file reads it back.\n"
    "  rmtool apply INVERSE DEVIATIONS\n"
    "      Prints INVERSE x DEVIATIONS: the corrector settings for a column "
    "of\n"
    "      monitor deviations (one number per line, or all on one line), one\n"
    "      per line. Negate them to cancel the deviations.\n"
    "  svd, invert and apply refuse a file with an offending line.\n"
    "\n"
    "Options:\n"
    "  --tol T    truncated SVD: -1 (default) derives the tolerance from the\n"
    "             matrix; T >= 0 keeps the singular values s > T x s_max.\n"
    "             With --pinv: input elements with 0 < |a| < T are zeroed\n"
    "             first (default 0, none).\n"
    "  --pinv     invert with the Moore-Penrose pseudo-inverse (Armadillo)\n"
    "             instead of the truncated SVD.\n"
    "  --exclude-monitors LIST, --exclude-correctors LIST\n"
    "             leave these monitors (rows) or correctors (columns) out of\n"
    "             the truncated SVD: their rows or columns are set to 0, and\n"
    "             the inverse gets zeros in their places. LIST: indices from\n"
    "             0, separated by commas, a-b for a range (3,7,10-12).\n"
    "  -o OUT     output file of invert (also --output OUT).\n"
    "  --verbose  also show the library's information and timing messages\n"
    "             (its error messages are always shown).\n"
    "  --version  the version of rmtool and of the library.\n"
    "  --help     this text.\n"
    "Options take their value as the next argument or after '='.\n"
    "\n"
    "Warnings go to standard error and leave the exit status 0: a kept\n"
    "singular value at the float rounding level of the matrix, an inverse\n"
    "from which invert's element filter removed kept modes.\n"
    "Exit status: 0 done, 1 a file or its content refused, 2 bad usage.\n";

void expect_positional(const arguments& a, size_t n, const char* command,
                       const char* what) {
  if (a.positional.size() != n) {
    bad_usage(format("%s wants %s", command, what));
  }
}

// ---------------------------------------- info

int run_info(const arguments& a, const library_log& log) {
  expect_positional(a, 1, "info", "one FILE");
  if (a.pinv || a.tol_given || !a.exclude_monitors.empty() ||
      !a.exclude_correctors.empty()) {
    bad_usage("info takes no options but --verbose");
  }
  const std::string& path = a.positional[0];
  EqFct loc("RMTOOL");
  measured_file shape = measure(path);
  std::printf("file      %s\n", path.c_str());
  std::printf(
      "shape     %lld x %lld (data lines x values on the last data line)\n",
      shape.rows, shape.cols);
  print_problems(stdout, shape);
  if (shape.rows > 0 && shape.cols == 0 && shape.last_stop.empty()) {
    std::printf(
        "          line %lld, the last data line, has no values "
        "(an empty line at the end counts as a row)\n",
        shape.last_line);
  }
  // A file that does not load has no values to show.
  if (!shape.problems.empty()) refuse_offending(path, shape);
  const loaded_matrix lm = load(loc, path, std::move(shape), log);
  const MDFA_ResponseMatrix& R = *lm.matrix;

  double lo = INFINITY, hi = -INFINITY;
  long long zeros = 0;
  std::vector<std::string> non_finite;
  long long non_finite_count = 0;
  std::vector<bool> row_zero(static_cast<size_t>(R.rows), true);
  std::vector<bool> col_zero(static_cast<size_t>(R.cols), true);
  for (int i = 0; i < R.rows; ++i) {
    for (int j = 0; j < R.cols; ++j) {
      const float v = R.value(i, j, -1, -1, -1, -1);
      if (!std::isfinite(v)) {
        if (++non_finite_count <= 5) {
          non_finite.push_back(format("(%d, %d) = %g", i, j, v));
        }
      } else {
        lo = std::min<double>(lo, v);
        hi = std::max<double>(hi, v);
      }
      if (v == 0.0f) {
        ++zeros;
      } else {
        row_zero[static_cast<size_t>(i)] = false;
        col_zero[static_cast<size_t>(j)] = false;
      }
    }
  }
  std::printf("values    %lld, %lld of them zero\n",
              static_cast<long long>(R.rows) * R.cols, zeros);
  if (lo <= hi) {
    std::printf("range     %.7g ... %.7g (largest magnitude %.7g)\n", lo, hi,
                std::max(std::fabs(lo), std::fabs(hi)));
  }
  if (non_finite_count == 0) {
    std::printf("non-finite none\n");
  } else {
    std::string list;
    for (const std::string& s : non_finite)
      list += (list.empty() ? "" : ", ") + s;
    std::printf(
        "non-finite %lld: %s%s (a number beyond the float range loads "
        "as an infinity)\n",
        non_finite_count, list.c_str(), non_finite_count > 5 ? ", ..." : "");
  }
  auto list_zero = [](const std::vector<bool>& zero) {
    std::string s;
    long long n = 0;
    for (size_t k = 0; k < zero.size(); ++k) {
      if (!zero[k]) continue;
      if (++n <= 12) s += (s.empty() ? "" : " ") + std::to_string(k);
    }
    if (n > 12) s += " ...";
    return std::make_pair(n, s);
  };
  const auto zr = list_zero(row_zero);
  const auto zc = list_zero(col_zero);
  std::printf("zero rows    %lld%s%s\n", zr.first,
              zr.first ? ": monitors " : "", zr.second.c_str());
  std::printf("zero columns %lld%s%s\n", zc.first,
              zc.first ? ": correctors " : "", zc.second.c_str());
  if (non_finite_count != 0) {
    refuse(
        format("%s holds %lld value%s that %s not finite: invert refuses "
               "such a matrix",
               path.c_str(), non_finite_count, non_finite_count == 1 ? "" : "s",
               non_finite_count == 1 ? "is" : "are"));
  }
  return 0;
}

// ---------------------------------------- svd and invert

// Monitors and correctors left out, checked against the matrix.
struct exclusions {
  std::vector<long long> monitors;
  std::vector<long long> correctors;
  bool any() const { return !monitors.empty() || !correctors.empty(); }
};

exclusions check_exclusions(const arguments& a, const MDFA_ResponseMatrix& R,
                            const std::string& path) {
  auto check = [&](const std::vector<long long>& list, int count,
                   const char* what) {
    if (!list.empty() && list.back() >= count) {
      bad_usage(format("there is no %s %lld: %s has %d, 0 ... %d", what,
                       list.back(), path.c_str(), count, count - 1));
    }
  };
  check(a.exclude_monitors, R.rows, "monitor");
  check(a.exclude_correctors, R.cols, "corrector");
  return {a.exclude_monitors, a.exclude_correctors};
}

std::string index_list(const std::vector<long long>& v) {
  if (v.empty()) return "none";
  std::string out;
  for (size_t k = 0; k < v.size();) {
    size_t e = k;
    while (e + 1 < v.size() && v[e + 1] == v[e] + 1) ++e;
    out += (out.empty() ? "" : ", ") + std::to_string(v[k]);
    if (e > k) out += "-" + std::to_string(v[e]);
    k = e + 1;
  }
  return out;
}

std::string describe(const exclusions& ex) {
  return "monitors " + index_list(ex.monitors) + ", correctors " +
         index_list(ex.correctors);
}

struct inversion {
  std::unique_ptr<MDFA_ResponseMatrix> inverse;
  std::vector<float> singular;  // all of them, largest first
  float tol = -1.0f;
  bool internal = false;
  int nosv = 0;  // invert's count of the values that entered the inverse
  std::vector<std::string> warnings;
};

inversion invert_svd(EqFct& loc, MDFA_ResponseMatrix& R, float tol,
                     const exclusions& ex, const library_log& log) {
  inversion out;
  out.inverse = std::make_unique<MDFA_ResponseMatrix>("RMTOOL.INVERSE", R.cols,
                                                      R.rows, &loc);
  K_spectrum spectrum("RMTOOL.SPECTRUM", std::min(R.rows, R.cols), &loc);
  zub_cli::weighted_inversion weighted(&loc, R.rows, R.cols);
  for (long long i : ex.monitors) {
    weighted.set_monitor_weight(static_cast<int>(i), 0.0f);
  }
  for (long long j : ex.correctors) {
    weighted.set_corrector_weight(static_cast<int>(j), 0.0f);
  }
  out.tol = tol;
  out.internal = tol == -1.0f;
  const int errors_before = log.errors();
  const std::string said =
      weighted.invert(R, *out.inverse, spectrum, &out.tol, &out.nosv);
  if (log.shows_details() && !said.empty())
    std::fprintf(stderr, "  %s", said.c_str());
  if (log.errors() != errors_before) refuse("the matrix was not inverted");
  for (int i = 0; i < spectrum.spectrum_length(); ++i) {
    out.singular.push_back(spectrum.spectrum_value(i));
  }
  out.warnings = zub_cli::inversion_warnings(
      weighted.weighted(), weighted.inverted(), out.singular, out.tol,
      out.internal, out.nosv, &loc);
  return out;
}

void print_warnings(const inversion& inv) {
  for (const std::string& w : inv.warnings) zub_cli::warn("rmtool", w);
}

int run_svd(const arguments& a, const library_log& log) {
  expect_positional(a, 1, "svd", "one FILE");
  if (a.pinv) bad_usage("svd has no --pinv");
  EqFct loc("RMTOOL");
  const std::string& path = a.positional[0];
  loaded_matrix lm = load_checked(loc, path, log);
  MDFA_ResponseMatrix& R = *lm.matrix;
  const exclusions ex = check_exclusions(a, R, path);
  const inversion inv = invert_svd(loc, R, a.tol, ex, log);

  const double s_max = inv.singular.empty() ? 0.0 : inv.singular.front();
  const double cutoff = s_max * inv.tol;
  std::printf("matrix     %s, %d x %d, %zu singular values\n", path.c_str(),
              R.rows, R.cols, inv.singular.size());
  if (ex.any()) {
    std::printf("excluded   %s (their rows and columns set to 0)\n",
                describe(ex).c_str());
  }
  std::printf(
      "tolerance  %.2g (%s); the inverse keeps s > tolerance x s_max "
      "= %.4g\n",
      inv.tol, inv.internal ? "internal" : "given", cutoff);
  std::printf("\n     #  singular value\n");
  // Singular values come largest first, and those that enter the inverse
  // are a leading run of them: the first nosv.
  for (size_t i = 0; i < inv.singular.size(); ++i) {
    std::printf("  %4zu  %.6e  %s\n", i, inv.singular[i],
                static_cast<int>(i) < inv.nosv ? "kept" : "cut");
  }
  std::printf("\nkept       %d of %zu\n", inv.nosv, inv.singular.size());
  const double s_min = inv.singular.empty() ? 0.0 : inv.singular.back();
  if (s_min > 0.0) {
    std::printf("condition  %.4g (s_max / s_min)\n", s_max / s_min);
  } else {
    std::printf("condition  infinite (s_min is 0: the matrix is singular)\n");
  }
  if (inv.nosv > 0) {
    std::printf("           %.4g for the kept values (s_max / smallest kept)\n",
                s_max / inv.singular[static_cast<size_t>(inv.nosv - 1)]);
  }
  print_warnings(inv);
  return 0;
}

// Writes m in the loader's format: comment lines, then one line per row.
// Nine significant digits give every float back exactly. Written beside OUT
// and renamed over it, so that a failed write never leaves half a matrix.
void write_matrix(const std::string& path, const std::string& header,
                  const MDFA_ResponseMatrix& m) {
  const std::string part = path + ".part";
  {
    std::ofstream out(part, std::ios::trunc);
    if (!out) {
      refuse(format("cannot write %s: %s", part.c_str(), std::strerror(errno)));
    }
    out << header;
    char buf[32];
    for (int i = 0; i < m.rows; ++i) {
      for (int j = 0; j < m.cols; ++j) {
        std::snprintf(buf, sizeof buf, "%s%.9g", j == 0 ? "" : " ",
                      m.value(i, j, -1, -1, -1, -1));
        out << buf;
      }
      out << '\n';
    }
    out.close();
    if (!out) {
      std::remove(part.c_str());
      refuse(format("cannot write %s", part.c_str()));
    }
  }
  if (std::rename(part.c_str(), path.c_str()) != 0) {
    const int e = errno;
    std::remove(part.c_str());
    refuse(format("cannot write %s: %s", path.c_str(), std::strerror(e)));
  }
}

int run_invert(const arguments& a, const library_log& log) {
  expect_positional(a, 1, "invert", "one FILE");
  if (a.out.empty()) bad_usage("invert needs -o OUT");
  if (a.pinv && a.tol_given && a.tol < 0) {
    bad_usage("with --pinv, --tol is the input filter and must be >= 0");
  }
  if (a.pinv &&
      (!a.exclude_monitors.empty() || !a.exclude_correctors.empty())) {
    bad_usage(
        "--exclude-monitors and --exclude-correctors are for the "
        "truncated SVD, not --pinv");
  }
  EqFct loc("RMTOOL");
  const std::string& path = a.positional[0];
  loaded_matrix lm = load_checked(loc, path, log);
  MDFA_ResponseMatrix& R = *lm.matrix;
  const exclusions ex = check_exclusions(a, R, path);

  std::unique_ptr<MDFA_ResponseMatrix> inverse;
  std::string how;
  inversion inv;
  if (a.pinv) {
    inverse = std::make_unique<MDFA_ResponseMatrix>("RMTOOL.INVERSE", R.cols,
                                                    R.rows, &loc);
    float tol = a.tol_given ? a.tol : 0.0f;
    const int errors_before = log.errors();
    try {
      R.pinv(*inverse, &tol);
    } catch (const std::exception& e) {
      refuse(std::string("the pseudo-inverse failed: ") + e.what());
    }
    if (log.errors() != errors_before) refuse("the matrix was not inverted");
    how = "Moore-Penrose pseudo-inverse, " +
          (tol > 0 ? format("input elements with |a| < %g zeroed", tol)
                   : std::string("no input element zeroed"));
  } else {
    inv = invert_svd(loc, R, a.tol, ex, log);
    inverse = std::move(inv.inverse);
    how = format(
        "truncated SVD, tolerance %.2g (%s), %d of %zu singular "
        "values kept",
        inv.tol, inv.internal ? "internal" : "given", inv.nosv,
        inv.singular.size());
    if (ex.any()) how += "; excluded " + describe(ex);
  }
  const std::string header =
      "# Inverse of " + printable(path) + " written by rmtool:\n# " +
      format("%d rows (correctors) x %d columns (monitors), ", inverse->rows,
             inverse->cols) +
      how + ".\n";
  write_matrix(a.out, header, *inverse);
  std::printf("wrote %d x %d inverse to %s (%s)\n", inverse->rows,
              inverse->cols, a.out.c_str(), how.c_str());
  print_warnings(inv);
  return 0;
}

// ---------------------------------------- apply

int run_apply(const arguments& a, const library_log& log) {
  expect_positional(a, 2, "apply", "INVERSE and DEVIATIONS");
  if (a.pinv || a.tol_given || !a.exclude_monitors.empty() ||
      !a.exclude_correctors.empty()) {
    bad_usage("apply takes no --tol, --pinv or exclusions");
  }
  EqFct loc("RMTOOL");
  loaded_matrix inv = load_checked(loc, a.positional[0], log);
  MDFA_ResponseMatrix& K = *inv.matrix;
  std::string bad = first_non_finite(K);
  if (!bad.empty()) {
    refuse(format("%s holds a value that is not finite: %s",
                  a.positional[0].c_str(), bad.c_str()));
  }
  loaded_matrix dev = load_checked(loc, a.positional[1], log);
  MDFA_ResponseMatrix* d = dev.matrix.get();
  bad = first_non_finite(*d);
  if (!bad.empty()) {
    refuse(format("%s holds a deviation that is not finite: %s",
                  a.positional[1].c_str(), bad.c_str()));
  }
  // A row of deviations is turned into the column that multiply wants.
  std::unique_ptr<MDFA_ResponseMatrix> column;
  if (d->rows == 1 && d->cols != 1) {
    column = std::make_unique<MDFA_ResponseMatrix>("RMTOOL.DEVIATIONS", d->cols,
                                                   1, &loc);
    d->transpose(*column);
    d = column.get();
  }
  if (d->cols != 1 || d->rows != K.cols) {
    refuse(
        format("%s holds %d x %d values; the inverse (%d x %d) wants a "
               "column of %d monitor deviations",
               a.positional[1].c_str(), dev.matrix->rows, dev.matrix->cols,
               K.rows, K.cols, K.cols));
  }
  MDFA_ResponseMatrix settings("RMTOOL.SETTINGS", K.rows, 1, &loc);
  const int errors_before = log.errors();
  K.multiply(*d, settings);
  if (log.errors() != errors_before) refuse("the product was not formed");
  // Finite factors can still give a product beyond the float range.
  bad = first_non_finite(settings);
  if (!bad.empty()) {
    refuse(
        format("the corrector setting %s is not finite: the product "
               "leaves the float range",
               bad.c_str()));
  }
  std::printf("# Corrector settings = %s x %s, one per corrector (%d).\n",
              printable(a.positional[0]).c_str(),
              printable(a.positional[1]).c_str(), settings.rows);
  for (int i = 0; i < settings.rows; ++i) {
    std::printf("%.9g\n", settings.value(i, 0, -1, -1, -1, -1));
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    if (argc < 2) bad_usage("no command given");
    const std::string command = argv[1];
    if (command == "--help" || command == "-h" || command == "help") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (command == "--version") {
      zub_cli::print_version("rmtool");
      return 0;
    }
    const arguments a = parse(argc, argv, 2);
    if (a.help) {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (a.version) {
      zub_cli::print_version("rmtool");
      return 0;
    }
    const library_log log(kLogStyle, a.verbose);
    if (command == "info") return run_info(a, log);
    if (command == "svd") return run_svd(a, log);
    if (command == "invert") return run_invert(a, log);
    if (command == "apply") return run_apply(a, log);
    bad_usage("unknown command '" + command + "'");
  } catch (const failure& f) {
    std::fflush(stdout);
    std::fprintf(stderr, "rmtool: %s\n", f.message.c_str());
    if (f.status == kExitUsage) {
      std::fputs("Try 'rmtool --help'.\n", stderr);
    }
    return f.status;
  } catch (const std::bad_alloc&) {
    std::fflush(stdout);
    std::fputs("rmtool: out of memory\n", stderr);
    return kExitRefused;
  } catch (const std::exception& e) {
    std::fflush(stdout);
    std::fprintf(stderr, "rmtool: %s\n", e.what());
    return kExitRefused;
  }
}
