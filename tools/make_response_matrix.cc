// Writes the orbit response matrix of a beamline made of identical thin-lens
// FODO cells, in the text format that MDFA_ResponseMatrix::load_file reads.
//
// The plane shown is the vertical one: every quadrupole has a beam monitor,
// and a vertical corrector sits just downstream of every defocusing
// quadrupole, where the vertical beta function is largest. A kick theta_j at
// corrector j moves the beam at monitor i by
//
//   x_i = sqrt(beta_i beta_j) sin(phi_i - phi_j) theta_j
//
// when the monitor lies downstream of the corrector, and not at all when it
// lies upstream (a single pass: nothing comes round again). With beta in
// metres and theta in mrad, x is in mm, so the elements are in mm/mrad.
// The first two monitors are upstream of every corrector (two zero rows), and
// the last corrector is downstream of every monitor: its column is zero, and
// the matrix has one singular value of zero, as a line whose last corrector
// steers into the next section has.
//
// The shipped examples/data/beamline_24x12.txt is this program's output with
// its defaults; a test checks that the two agree.
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr double kPi = 3.14159265358979323846;

struct lattice {
  int cells = 12;
  double cell_length = 10.0;    // m, from one focusing quadrupole to the next
  double phase_advance = 45.0;  // degrees per cell, vertical plane
};

// Beta function (m) and phase (rad) at one point of the line.
struct twiss_point {
  double s;      // m from the start of the line
  double beta;   // m
  double phase;  // rad from the start of the line
};

// Twiss parameters carried through a drift of length l (m): beta, alpha and
// gamma transform with the drift's transfer matrix [[1, l], [0, 1]], and the
// phase advances by atan2(l, beta - alpha l).
void drift(double l, double& beta, double& alpha, double& phase) {
  const double gamma = (1.0 + alpha * alpha) / beta;
  phase += std::atan2(l, beta - alpha * l);
  beta = beta - 2.0 * alpha * l + gamma * l * l;
  alpha = alpha - gamma * l;
}

// A thin quadrupole of focal length f (m, > 0 focuses the plane): beta is
// continuous, alpha jumps by beta / f.
void thin_lens(double f, double beta, double& alpha) { alpha += beta / f; }

// Monitor and corrector positions with their optics. In this plane the
// "focusing" quadrupole of the cell defocuses (f < 0) and the other focuses.
void optics(const lattice& lat, std::vector<twiss_point>& monitors,
            std::vector<twiss_point>& correctors) {
  const double mu = lat.phase_advance * kPi / 180.0;
  const double half = lat.cell_length / 2.0;
  // Thin-lens FODO: sin(mu/2) = L / (4 f), L the cell length.
  const double f = lat.cell_length / (4.0 * std::sin(mu / 2.0));
  // Periodic solution at the centre of a quadrupole that defocuses this
  // plane: beta is at its minimum there and alpha is 0.
  double beta = lat.cell_length * (1.0 - std::sin(mu / 2.0)) / std::sin(mu);
  double alpha = 0.0;
  double phase = 0.0;
  for (int cell = 0; cell < lat.cells; ++cell) {
    const double s0 = cell * lat.cell_length;
    // Quadrupole 1 (defocusing in this plane): monitor only. Its two
    // halves, of focal length 2f each, close one cell and open the next.
    monitors.push_back({s0, beta, phase});
    thin_lens(-2.0 * f, beta, alpha);
    drift(half, beta, alpha, phase);
    // Quadrupole 2 (focusing in this plane, beta largest): monitor, then the
    // corrector just downstream of it.
    monitors.push_back({s0 + half, beta, phase});
    correctors.push_back({s0 + half, beta, phase});
    thin_lens(f, beta, alpha);
    drift(half, beta, alpha, phase);
    thin_lens(-2.0 * f, beta, alpha);
  }
}

bool parse_number(const char* text, double& out) {
  errno = 0;
  char* end = nullptr;
  out = std::strtod(text, &end);
  return end != text && *end == '\0' && errno == 0 && std::isfinite(out);
}

int usage(FILE* to) {
  std::fputs(
      "usage: make_response_matrix [--cells N] [--cell-length M]\n"
      "                            [--phase-advance DEG] [-o FILE]\n"
      "Writes the vertical orbit response matrix (mm/mrad) of a line of N\n"
      "thin-lens FODO cells: 2N monitors (rows) x N correctors (columns).\n"
      "  --cells N            number of cells, 1 ... 1000 (default 12)\n"
      "  --cell-length M      cell length in metres, > 0 (default 10)\n"
      "  --phase-advance DEG  phase advance per cell, 0 < DEG < 180 (default "
      "45)\n"
      "  -o FILE              output file (default: standard output)\n",
      to);
  return to == stdout ? 0 : 2;
}

}  // namespace

int main(int argc, char** argv) {
  lattice lat;
  std::string out_path;
  for (int k = 1; k < argc; ++k) {
    const std::string arg = argv[k];
    if (arg == "--help" || arg == "-h") return usage(stdout);
    if (k + 1 >= argc) {
      std::fprintf(stderr,
                   "make_response_matrix: unknown or incomplete option '%s'\n",
                   arg.c_str());
      return usage(stderr);
    }
    const char* value = argv[++k];
    double v = 0.0;
    if (arg == "-o") {
      out_path = value;
    } else if (arg == "--cells" && parse_number(value, v) && v >= 1 &&
               v <= 1000 && v == std::floor(v)) {
      lat.cells = static_cast<int>(v);
    } else if (arg == "--cell-length" && parse_number(value, v) && v > 0) {
      lat.cell_length = v;
    } else if (arg == "--phase-advance" && parse_number(value, v) && v > 0 &&
               v < 180) {
      lat.phase_advance = v;
    } else {
      std::fprintf(stderr, "make_response_matrix: bad option '%s %s'\n",
                   arg.c_str(), value);
      return usage(stderr);
    }
  }

  std::vector<twiss_point> monitors;
  std::vector<twiss_point> correctors;
  optics(lat, monitors, correctors);

  FILE* out = stdout;
  if (!out_path.empty()) {
    out = std::fopen(out_path.c_str(), "w");
    if (out == nullptr) {
      std::fprintf(stderr, "make_response_matrix: cannot write %s: %s\n",
                   out_path.c_str(), std::strerror(errno));
      return 1;
    }
  }
  std::fprintf(out,
               "# Vertical orbit response matrix of a beamline of %d "
               "thin-lens FODO cells\n"
               "# (cell length %g m, phase advance %g deg per cell), "
               "generated by\n"
               "# tools/make_response_matrix from R_ij = sqrt(beta_i beta_j) "
               "sin(phi_i - phi_j)\n"
               "# for monitor i downstream of corrector j, 0 otherwise.\n"
               "# %zu rows (monitors, one at every quadrupole) x %zu columns "
               "(correctors, one\n"
               "# after every vertically focusing quadrupole), in mm of orbit "
               "per mrad of kick.\n"
               "# The first two monitors are upstream of every corrector and "
               "the last corrector\n"
               "# is downstream of every monitor: two rows and one column "
               "are zero.\n",
               lat.cells, lat.cell_length, lat.phase_advance, monitors.size(),
               correctors.size());
  for (const twiss_point& m : monitors) {
    for (size_t j = 0; j < correctors.size(); ++j) {
      const twiss_point& c = correctors[j];
      // A monitor at the corrector's own quadrupole reads upstream of it.
      const double r =
          m.s > c.s ? std::sqrt(m.beta * c.beta) * std::sin(m.phase - c.phase)
                    : 0.0;
      // Four decimals, and no "-0.0000" for values that round to zero.
      const double shown = std::fabs(r) < 5e-5 ? 0.0 : r;
      std::fprintf(out, "%s%.4f", j == 0 ? "" : " ", shown);
    }
    std::fputc('\n', out);
  }
  const bool ok = std::ferror(out) == 0;
  if (out != stdout) {
    if (std::fclose(out) != 0 || !ok) {
      std::fprintf(stderr, "make_response_matrix: cannot write %s\n",
                   out_path.c_str());
      return 1;
    }
  } else if (std::fflush(out) != 0 || !ok) {
    return 1;
  }
  return 0;
}
