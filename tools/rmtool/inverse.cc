// rmtool svd and rmtool invert: the truncated-SVD inversion of a file (or
// its pseudo-inverse), with monitors and correctors left out on request.
#include <algorithm>
#include <cstdio>
#include <exception>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "commands.h"
#include "support/atomic_file.h"
#include "support/format.h"
#include "support/inversion.h"
#include "support/matrix_text.h"
#include "support/program.h"

namespace rmtool {

using zub_cli::bad_usage;
using zub_cli::format;
using zub_cli::library_log;
using zub_cli::refuse;

namespace {

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
  return v.empty() ? "none" : zub_cli::ranges(v);
}

std::string describe(const exclusions& ex) {
  return "monitors " + index_list(ex.monitors) + ", correctors " +
         index_list(ex.correctors);
}

// The inverse and what the inversion gave.
struct inversion : zub_cli::inversion_outcome {
  std::unique_ptr<MDFA_ResponseMatrix> inverse;
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
  static_cast<zub_cli::inversion_outcome&>(out) =
      weighted.invert(R, *out.inverse, spectrum, tol, log);
  if (log.shows_details() && !out.said.empty()) {
    std::fprintf(stderr, "  %s", out.said.c_str());
  }
  if (out.refused) refuse("the matrix was not inverted");
  return out;
}

void print_warnings(const inversion& inv) {
  for (const std::string& w : inv.warnings) zub_cli::warn("rmtool", w);
}

// Writes m in the loader's format: comment lines, then one line per row;
// a failed write never leaves half a matrix.
void write_matrix(const std::string& path, const std::string& header,
                  const MDFA_ResponseMatrix& m) {
  const zub_cli::write_outcome written =
      zub_cli::write_file_atomically(path, header + zub_cli::matrix_text(m));
  if (!written.ok) refuse(written.message());
}

}  // namespace

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
  std::printf("matrix     %s, %d x %d, %zu singular values\n", path.c_str(),
              R.rows, R.cols, inv.singular.size());
  if (ex.any()) {
    std::printf("excluded   %s (their rows and columns set to 0)\n",
                describe(ex).c_str());
  }
  std::printf(
      "tolerance  %.2g (%s); the inverse keeps s > tolerance x s_max "
      "= %.4g\n",
      inv.tol, inv.internal ? "internal" : "given", inv.cutoff());
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

int run_invert(const arguments& a, const library_log& log) {
  expect_positional(a, 1, "invert", "one FILE");
  if (a.out.empty()) bad_usage("invert needs -o OUT");
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
    float zero_below = a.zero_below;
    const int errors_before = log.errors();
    try {
      R.pinv(*inverse, &zero_below);
    } catch (const std::exception& e) {
      refuse(std::string("the pseudo-inverse failed: ") + e.what());
    }
    if (log.errors() != errors_before) refuse("the matrix was not inverted");
    how = "Moore-Penrose pseudo-inverse, " +
          (zero_below > 0
               ? format("input elements with |a| < %g zeroed", zero_below)
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

}  // namespace rmtool
