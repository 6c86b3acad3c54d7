// rmtool: looks at a response-matrix file before a feedback server uses it.
//
//   rmtool info FILE                               shape, values, warnings
//   rmtool svd FILE [--tol T]                      singular values, cut-off
//   rmtool invert FILE [--tol T] [--pinv] -o OUT   the inverse, as a file
//   rmtool apply INVERSE DEVIATIONS                actuator settings
//
// Every computation is the library's: the files are read with load_file,
// inverted with invert or pinv and applied with multiply, exactly as a server
// would do it. The tool itself only measures a file's shape (the loader
// needs it given) and formats the results.
//
// Exit status: 0 done, 1 a file or its content was refused, 2 bad usage.
#include <sys/stat.h>

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
#include <sstream>
#include <string>
#include <utility>
#include <vector>

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

// ---------------------------------------- measuring a file

// One data line as the loader sees it.
struct data_line {
  long long file_line;  // 1-based line number in the file
  long long values;     // numbers read before the first thing that is none
  std::string stop;     // that thing, when it is not the end of the line
};

struct measured_file {
  long long rows = 0;  // data lines
  long long cols = 0;  // values on the last data line
  std::vector<data_line> lines;
};

// Measures a file as load_file does: every line not starting with '#' is a
// data line (an empty one too), each value is what formatted extraction of a
// double reads, and the last data line's count is the number of columns.
measured_file measure(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) {
    refuse(format("cannot read %s: %s", path.c_str(), std::strerror(errno)));
  }
  // A FIFO would block and a device might never end.
  if (!S_ISREG(st.st_mode)) {
    refuse(format("%s is not a regular file", path.c_str()));
  }
  std::ifstream in(path);
  if (!in) {
    refuse(format("cannot read %s: %s", path.c_str(), std::strerror(errno)));
  }
  measured_file m;
  std::string line;
  long long number = 0;
  while (std::getline(in, line)) {
    ++number;
    if (!line.empty() && line[0] == '#') continue;
    std::istringstream s(line);
    data_line d{number, 0, ""};
    double val;
    std::streampos at = s.tellg();
    while (s >> val) {
      ++d.values;
      at = s.tellg();
    }
    // The word at which extraction stopped (a number too large for a double
    // is consumed before it fails, so go back to where it began).
    s.clear();
    s.seekg(at);
    s >> d.stop;
    if (d.stop.size() > 20) d.stop = d.stop.substr(0, 20) + "...";
    m.lines.push_back(std::move(d));
  }
  if (in.bad()) {
    refuse(format("cannot read %s: read error", path.c_str()));
  }
  m.rows = static_cast<long long>(m.lines.size());
  m.cols = m.lines.empty() ? 0 : m.lines.back().values;
  return m;
}

// The measured shape, refused when the library could not hold it.
void check_shape(const std::string& path, const measured_file& m) {
  if (m.rows == 0 || m.cols == 0) {
    std::string why;
    if (m.rows > 0 && !m.lines.back().stop.empty()) {
      why = " (it starts with '" + m.lines.back().stop + "')";
    }
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
  return out;
}

loaded_matrix load(EqFct& loc, const std::string& path,
                   const library_log& log) {
  return load(loc, path, measure(path), log);
}

// ---------------------------------------- arguments

struct arguments {
  std::vector<std::string> positional;
  bool tol_given = false;
  float tol = -1.0f;
  bool pinv = false;
  std::string out;
  bool verbose = false;
  bool help = false;
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
    } else if (arg == "--verbose" || arg == "-v") {
      a.verbose = flag();
    } else if (arg == "--tol") {
      a.tol = parse_tolerance(value());
      a.tol_given = true;
    } else if (arg == "--pinv") {
      a.pinv = flag();
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
    "number per actuator, '#' first on a line for a comment) with the\n"
    "zub_feedback library, the way a feedback server reads and uses it.\n"
    "\n"
    "  rmtool info FILE\n"
    "      Shape as the loader measures it (data lines = monitors, values on\n"
    "      the last data line = actuators), value range, non-finite values,\n"
    "      zero rows and columns, and lines that the loader reads differently\n"
    "      from what they may look like. Exits 1 when a value is not finite:\n"
    "      the inversion refuses such a matrix.\n"
    "  rmtool svd FILE [--tol T]\n"
    "      All singular values, which of them the inverse keeps, the\n"
    "      tolerance used and the condition number.\n"
    "  rmtool invert FILE [--tol T] [--pinv] -o OUT\n"
    "      Writes the inverse (actuators x monitors) to OUT in the same text\n"
    "      format, so that load_file reads it back.\n"
    "  rmtool apply INVERSE DEVIATIONS\n"
    "      Prints INVERSE x DEVIATIONS: the actuator settings for a column of\n"
    "      monitor deviations (one number per line, or all on one line), one\n"
    "      per line. Negate them to cancel the deviations.\n"
    "\n"
    "Options:\n"
    "  --tol T    truncated SVD: -1 (default) derives the tolerance from the\n"
    "             matrix; T >= 0 keeps the singular values s > T x s_max.\n"
    "             With --pinv: input elements with 0 < |a| < T are zeroed\n"
    "             first (default 0, none).\n"
    "  --pinv     invert with the Moore-Penrose pseudo-inverse (Armadillo)\n"
    "             instead of the truncated SVD.\n"
    "  -o OUT     output file of invert (also --output OUT).\n"
    "  --verbose  also show the library's information and timing messages\n"
    "             (its error messages are always shown).\n"
    "  --help     this text.\n"
    "Options take their value as the next argument or after '='.\n"
    "\n"
    "Exit status: 0 done, 1 a file or its content refused, 2 bad usage.\n";

void expect_positional(const arguments& a, size_t n, const char* command,
                       const char* what) {
  if (a.positional.size() != n) {
    bad_usage(format("%s wants %s", command, what));
  }
}

// ---------------------------------------- info

void print_warnings(const measured_file& m) {
  std::vector<std::string> notes;
  for (size_t r = 0; r < m.lines.size(); ++r) {
    const data_line& d = m.lines[r];
    if (!d.stop.empty()) {
      notes.push_back(format(
          "line %lld (row %zu): values end at '%s' after "
          "%lld number%s; the rest of the line is ignored",
          d.file_line, r, d.stop.c_str(), d.values, d.values == 1 ? "" : "s"));
    }
    if (r + 1 < m.lines.size() && d.values != m.cols) {
      notes.push_back(format(
          "line %lld (row %zu): %lld values where the last data line has "
          "%lld; %s",
          d.file_line, r, d.values, m.cols,
          d.values < m.cols ? "the rest of its row keeps its former values"
                            : "the values beyond the last column are dropped"));
    }
  }
  if (!m.lines.empty() && m.lines.back().values == 0) {
    notes.push_back(
        format("line %lld, the last data line, has no values "
               "(an empty line at the end counts as a row)",
               m.lines.back().file_line));
  }
  constexpr size_t kShown = 10;
  for (size_t k = 0; k < notes.size() && k < kShown; ++k) {
    std::printf("warning   %s\n", notes[k].c_str());
  }
  if (notes.size() > kShown) {
    std::printf("warning   ... and %zu more\n", notes.size() - kShown);
  }
}

int run_info(const arguments& a, const library_log& log) {
  expect_positional(a, 1, "info", "one FILE");
  const std::string& path = a.positional[0];
  EqFct loc("RMTOOL");
  measured_file shape = measure(path);
  std::printf("file      %s\n", path.c_str());
  std::printf(
      "shape     %lld x %lld (data lines x values on the last data line)\n",
      shape.rows, shape.cols);
  print_warnings(shape);
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
              zc.first ? ": actuators " : "", zc.second.c_str());
  return non_finite_count == 0 ? 0 : kExitRefused;
}

// ---------------------------------------- svd and invert

struct inversion {
  std::unique_ptr<MDFA_ResponseMatrix> inverse;
  std::vector<float> singular;  // all of them, largest first
  float tol = -1.0f;
  bool internal = false;
  int nosv = 0;
};

inversion invert_svd(EqFct& loc, MDFA_ResponseMatrix& R, float tol,
                     const library_log& log) {
  inversion out;
  out.inverse = std::make_unique<MDFA_ResponseMatrix>("RMTOOL.INVERSE", R.cols,
                                                      R.rows, &loc);
  K_spectrum spectrum("RMTOOL.SPECTRUM", std::min(R.rows, R.cols), &loc);
  out.tol = tol;
  out.internal = tol == -1.0f;
  const int errors_before = log.errors();
  const std::string said = capture_cout(
      [&] { R.invert(*out.inverse, spectrum, &out.tol, &out.nosv); });
  if (log.shows_details() && !said.empty())
    std::fprintf(stderr, "  %s", said.c_str());
  if (log.errors() != errors_before) refuse("the matrix was not inverted");
  for (int i = 0; i < spectrum.spectrum_length(); ++i) {
    out.singular.push_back(spectrum.spectrum_value(i));
  }
  return out;
}

int run_svd(const arguments& a, const library_log& log) {
  expect_positional(a, 1, "svd", "one FILE");
  if (a.pinv) bad_usage("svd has no --pinv");
  EqFct loc("RMTOOL");
  const std::string& path = a.positional[0];
  loaded_matrix lm = load(loc, path, log);
  MDFA_ResponseMatrix& R = *lm.matrix;
  const inversion inv = invert_svd(loc, R, a.tol, log);

  const double s_max = inv.singular.empty() ? 0.0 : inv.singular.front();
  const double cutoff = s_max * inv.tol;
  std::printf("matrix     %s, %d x %d, %zu singular values\n", path.c_str(),
              R.rows, R.cols, inv.singular.size());
  std::printf(
      "tolerance  %.2g (%s); the inverse keeps s > tolerance x s_max "
      "= %.4g\n",
      inv.tol, inv.internal ? "internal" : "given", cutoff);
  std::printf("\n     #  singular value\n");
  int kept = 0;
  double smallest_kept = 0.0;
  for (size_t i = 0; i < inv.singular.size(); ++i) {
    const double s = inv.singular[i];
    const bool keep = s > cutoff && s > 0.0;
    if (keep) {
      ++kept;
      smallest_kept = s;
    }
    std::printf("  %4zu  %.6e  %s\n", i, s, keep ? "kept" : "cut");
  }
  std::printf("\nkept       %d of %zu\n", kept, inv.singular.size());
  if (kept != inv.nosv) {
    // The count compares each value with the tolerance itself, the inverse
    // with the tolerance times s_max.
    std::printf(
        "           (the library counts %d: it compares s with the "
        "tolerance itself)\n",
        inv.nosv);
  }
  const double s_min = inv.singular.empty() ? 0.0 : inv.singular.back();
  if (s_min > 0.0) {
    std::printf("condition  %.4g (s_max / s_min)\n", s_max / s_min);
  } else {
    std::printf("condition  infinite (s_min is 0: the matrix is singular)\n");
  }
  if (kept > 0) {
    std::printf("           %.4g for the kept values (s_max / smallest kept)\n",
                s_max / smallest_kept);
  }
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
  EqFct loc("RMTOOL");
  const std::string& path = a.positional[0];
  loaded_matrix lm = load(loc, path, log);
  MDFA_ResponseMatrix& R = *lm.matrix;

  std::unique_ptr<MDFA_ResponseMatrix> inverse;
  std::string how;
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
    how = format(
        "Moore-Penrose pseudo-inverse, input elements below %g "
        "zeroed",
        tol);
  } else {
    inversion inv = invert_svd(loc, R, a.tol, log);
    inverse = std::move(inv.inverse);
    how = format(
        "truncated SVD, tolerance %.2g (%s), %d of %zu singular "
        "values kept",
        inv.tol, inv.internal ? "internal" : "given", inv.nosv,
        inv.singular.size());
  }
  const std::string header =
      "# Inverse of " + printable(path) + " written by rmtool:\n# " +
      format("%d rows (actuators) x %d columns (monitors), ", inverse->rows,
             inverse->cols) +
      how + ".\n";
  write_matrix(a.out, header, *inverse);
  std::printf("wrote %d x %d inverse to %s (%s)\n", inverse->rows,
              inverse->cols, a.out.c_str(), how.c_str());
  return 0;
}

// ---------------------------------------- apply

int run_apply(const arguments& a, const library_log& log) {
  expect_positional(a, 2, "apply", "INVERSE and DEVIATIONS");
  if (a.pinv || a.tol_given) bad_usage("apply has no --tol or --pinv");
  EqFct loc("RMTOOL");
  loaded_matrix inv = load(loc, a.positional[0], log);
  MDFA_ResponseMatrix& K = *inv.matrix;
  loaded_matrix dev = load(loc, a.positional[1], log);
  MDFA_ResponseMatrix* d = dev.matrix.get();
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
  std::printf("# Actuator settings = %s x %s, one per actuator (%d).\n",
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
    const arguments a = parse(argc, argv, 2);
    if (a.help) {
      std::fputs(kUsage, stdout);
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
