// rmtool svd and rmtool invert: the truncated-SVD inversion of a file (or
// its pseudo-inverse), with monitors and correctors left out on request.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "commands.h"
#include "lapack_svd.h"
#include "support/atomic_file.h"
#include "support/format.h"
#include "support/inversion.h"
#include "support/program.h"
#include "zub_feedback/inversion.h"
#include "zub_feedback/matrix_io.h"

namespace rmtool {

using zub_cli::bad_usage;
using zub_cli::format;
using zub_cli::refuse;

namespace {

// Monitors and correctors left out, checked against the matrix.
struct exclusions {
  std::vector<long long> monitors;
  std::vector<long long> correctors;
  bool any() const { return !monitors.empty() || !correctors.empty(); }
};

// The indices given, and those of the names given, looked up in the
// file's names: sorted, each once.
std::vector<long long> resolve(
    std::vector<long long> list, const std::vector<std::string>& names,
    const std::string& path,
    zub_feedback::result<size_t> (zub_feedback::named_matrix::*index)(
        const std::string&) const,
    const zub_feedback::named_matrix& file) {
  for (const std::string& name : names) {
    const zub_feedback::result<size_t> k = (file.*index)(name);
    if (!k) bad_usage(path + ": " + k.error().detail);
    list.push_back(static_cast<long long>(k.value()));
  }
  std::sort(list.begin(), list.end());
  list.erase(std::unique(list.begin(), list.end()), list.end());
  return list;
}

exclusions check_exclusions(const arguments& a, const loaded_matrix& lm,
                            const std::string& path) {
  auto check = [&](const std::vector<long long>& list, size_t size,
                   const char* what) {
    const long long count = static_cast<long long>(size);
    if (!list.empty() && list.back() >= count) {
      bad_usage(format("there is no %s %lld: %s has %lld, 0 ... %lld", what,
                       list.back(), path.c_str(), count, count - 1));
    }
  };
  exclusions out;
  out.monitors = resolve(a.exclude_monitors, a.exclude_monitor_names, path,
                         &zub_feedback::named_matrix::monitor_index, lm.file);
  out.correctors =
      resolve(a.exclude_correctors, a.exclude_corrector_names, path,
              &zub_feedback::named_matrix::corrector_index, lm.file);
  check(out.monitors, lm.values().rows(), "monitor");
  check(out.correctors, lm.values().cols(), "corrector");
  return out;
}

// The `count` entries of largest magnitude among n, by name where there
// are names, by index otherwise; a tie goes to the first.
std::string heaviest(size_t n, size_t count,
                     const std::vector<std::string>& names,
                     const std::function<double(size_t)>& weight) {
  std::vector<size_t> order(n);
  for (size_t k = 0; k < n; ++k) order[k] = k;
  const size_t shown = std::min(count, n);
  std::partial_sort(order.begin(), order.begin() + static_cast<long>(shown),
                    order.end(), [&](size_t x, size_t y) {
                      const double wx = std::fabs(weight(x));
                      const double wy = std::fabs(weight(y));
                      return wx > wy || (wx == wy && x < y);
                    });
  std::string out;
  for (size_t k = 0; k < shown; ++k) {
    out += (k == 0 ? "" : " ") +
           (names.empty() ? std::to_string(order[k]) : names[order[k]]);
  }
  return out;
}

// For each mode of R, its excluded rows and columns set to 0, the three
// monitors and correctors that weigh most in it; empty when the
// decomposition fails.
std::vector<std::string> mode_weights(const loaded_matrix& lm,
                                      const exclusions& ex) {
  zub_feedback::matrix R = lm.values();
  for (long long i : ex.monitors) {
    for (size_t j = 0; j < R.cols(); ++j) R(static_cast<size_t>(i), j) = 0;
  }
  for (long long j : ex.correctors) {
    for (size_t i = 0; i < R.rows(); ++i) R(i, static_cast<size_t>(j)) = 0;
  }
  const zub_feedback::result<zub_internal::svd_factors> f =
      zub_internal::lapack_svd(R);
  std::vector<std::string> out;
  if (!f) return out;
  const zub_internal::svd_factors& svd = f.value();
  for (size_t k = 0; k < svd.s.size(); ++k) {
    out.push_back("monitors " +
                  heaviest(R.rows(), 3, lm.file.monitors,
                           [&](size_t i) { return svd.u(i, k); }) +
                  "; correctors " +
                  heaviest(R.cols(), 3, lm.file.correctors,
                           [&](size_t j) { return svd.vt(k, j); }));
  }
  return out;
}

std::string index_list(const std::vector<long long>& v) {
  return v.empty() ? "none" : zub_cli::ranges(v);
}

std::string describe(const exclusions& ex) {
  return "monitors " + index_list(ex.monitors) + ", correctors " +
         index_list(ex.correctors);
}

zub_cli::inversion_outcome invert_svd(const zub_feedback::matrix& R, float tol,
                                      const exclusions& ex,
                                      const arguments& a) {
  zub_cli::weighted_inversion weighted(static_cast<int>(R.rows()),
                                       static_cast<int>(R.cols()));
  for (long long i : ex.monitors) {
    weighted.set_monitor_weight(static_cast<int>(i), 0.0f);
  }
  for (long long j : ex.correctors) {
    weighted.set_corrector_weight(static_cast<int>(j), 0.0f);
  }
  zub_feedback::result<zub_cli::inversion_outcome> out =
      weighted.invert(R, tol);
  if (!out) refuse("the matrix was not inverted", out.error());
  const zub_cli::inversion_outcome& inv = out.value();
  show_detail(
      a, "invert",
      format("tolerance %e (%s), %d of %zu singular values kept",
             static_cast<double>(inv.tol), inv.internal ? "internal" : "given",
             inv.nosv, inv.singular.size()));
  if (inv.removed_infinite != 0) {
    show_detail(a, "invert",
                format("%d singular values left out as zero or with a "
                       "reciprocal beyond the float range",
                       inv.removed_infinite));
  }
  if (inv.transposed) {
    show_detail(a, "invert",
                "decomposed as its transpose (more monitors than correctors)");
  }
  return std::move(out).value();
}

void print_warnings(const zub_cli::inversion_outcome& inv) {
  for (const std::string& w : inv.warnings) zub_cli::warn("rmtool", w);
}

// Writes m in the loader's format: comment lines, the metadata and names
// of a named file, then one line per row; a failed write never leaves half
// a matrix.
void write_matrix(const std::string& path, const std::string& header,
                  const zub_feedback::named_matrix& m) {
  const zub_feedback::result<std::string> text =
      zub_feedback::named_matrix_text(m);
  if (!text) refuse("the inverse was not written", text.error());
  const zub_cli::write_outcome written =
      zub_cli::write_file_atomically(path, header + text.value());
  if (!written.ok) refuse(written.message());
}

}  // namespace

int run_svd(const arguments& a) {
  expect_positional(a, 1, "svd", "one FILE");
  if (a.pinv) bad_usage("svd has no --pinv");
  const std::string& path = a.positional[0];
  const loaded_matrix lm = load_checked(path, a);
  const zub_feedback::matrix& R = lm.values();
  const exclusions ex = check_exclusions(a, lm, path);
  const zub_cli::inversion_outcome inv = invert_svd(R, a.tol, ex, a);
  const std::vector<std::string> weights = mode_weights(lm, ex);

  const double s_max = inv.singular.empty() ? 0.0 : inv.singular.front();
  std::printf("matrix     %s, %zu x %zu, %zu singular values\n", path.c_str(),
              R.rows(), R.cols(), inv.singular.size());
  if (ex.any()) {
    std::printf("excluded   %s (their rows and columns set to 0)\n",
                describe(ex).c_str());
  }
  std::printf(
      "tolerance  %.2g (%s); the inverse keeps s > tolerance x s_max "
      "= %.4g\n",
      inv.tol, inv.internal ? "internal" : "given", inv.cutoff());
  std::printf(
      "\n     #  singular value        weighing most (largest |U|, |V|)\n");
  // Singular values come largest first, and those that enter the inverse
  // are a leading run of them: the first nosv.
  for (size_t i = 0; i < inv.singular.size(); ++i) {
    const std::string weighing = i < weights.size() ? "  " + weights[i] : "";
    std::printf("  %4zu  %.6e  %s%s\n", i, inv.singular[i],
                static_cast<int>(i) < inv.nosv
                    ? "kept"
                    : (weighing.empty() ? "cut" : "cut "),
                weighing.c_str());
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

int run_invert(const arguments& a) {
  expect_positional(a, 1, "invert", "one FILE");
  if (a.out.empty()) bad_usage("invert needs -o OUT");
  if (a.pinv && a.excludes()) {
    bad_usage(
        "--exclude-monitors and --exclude-correctors are for the "
        "truncated SVD, not --pinv");
  }
  const std::string& path = a.positional[0];
  const loaded_matrix lm = load_checked(path, a);
  const zub_feedback::matrix& R = lm.values();
  const exclusions ex = check_exclusions(a, lm, path);

  zub_feedback::matrix inverse;
  std::string how;
  zub_cli::inversion_outcome inv;
  if (a.pinv) {
    zub_feedback::result<zub_feedback::pseudo_inverse_result> p =
        zub_feedback::pseudo_inverse(R, a.zero_below);
    if (!p) refuse("the matrix was not inverted", p.error());
    show_detail(
        a, "pinv",
        format("%d input elements zeroed, %d elements of the inverse "
               "below 2^-52 set to 0",
               p.value().removed_in_input, p.value().removed_in_inverse));
    inverse = std::move(p.value().inverse);
    // As a property holds it, and as load_file reads it back.
    zub_cli::round_to_float(inverse);
    how = "Moore-Penrose pseudo-inverse, " +
          (a.zero_below > 0 ? format("input elements with |a| < %g zeroed",
                                     static_cast<double>(a.zero_below))
                            : std::string("no input element zeroed"));
  } else {
    inv = invert_svd(R, a.tol, ex, a);
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
      format("%zu rows (correctors) x %zu columns (monitors), ", inverse.rows(),
             inverse.cols()) +
      how + ".\n";
  // The inverse's rows are the matrix's correctors, its columns the
  // monitors.
  zub_feedback::named_matrix out;
  out.values = std::move(inverse);
  out.monitors = lm.file.correctors;
  out.correctors = lm.file.monitors;
  out.metadata = lm.file.metadata;
  write_matrix(a.out, header, out);
  const zub_feedback::matrix& written = out.values;
  std::printf("wrote %zu x %zu inverse to %s (%s)\n", written.rows(),
              written.cols(), a.out.c_str(), how.c_str());
  print_warnings(inv);
  return 0;
}

}  // namespace rmtool
