// rmtool svd and rmtool invert: the truncated-SVD inversion of a file (or
// its pseudo-inverse, or its regularised inverse), with monitors and
// correctors left out on request.
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
#include "zub_feedback/regularized_inverse.h"

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

std::string regularization(const arguments& a);

// The indices from 0 to count - 1 that `left_out` (sorted) does not hold.
std::vector<size_t> remaining(size_t count,
                              const std::vector<long long>& left_out) {
  std::vector<size_t> out;
  size_t at = 0;
  for (size_t i = 0; i < count; ++i) {
    if (at < left_out.size() && static_cast<size_t>(left_out[at]) == i) {
      ++at;
    } else {
      out.push_back(i);
    }
  }
  return out;
}

// The relative cut-off without --tol: modes at the rounding of doubles,
// max(m, n) x 2^-52 x s_max (numpy's matrix_rank), are zero for the
// inverse, whatever the damping.
double default_rcond(size_t m, size_t n) {
  return static_cast<double>(std::max(m, n)) * 0x1p-52;
}

// The regularised inverse of R in double precision (--keep, --tikhonov),
// with a given --tol as its relative cut-off. Excluded monitors and
// correctors are left out of the matrix inverted, and the inverse gets
// zeros in their places: each counts as a zero singular value, which never
// enters, as in the truncated SVD of R with their rows and columns set to
// 0.
zub_feedback::regularized_inverse_result invert_regularized(
    const zub_feedback::matrix& R, const exclusions& ex, const arguments& a) {
  const std::vector<size_t> rows = remaining(R.rows(), ex.monitors);
  const std::vector<size_t> cols = remaining(R.cols(), ex.correctors);
  zub_feedback::matrix reduced(rows.size(), cols.size());
  for (size_t i = 0; i < rows.size(); ++i) {
    for (size_t j = 0; j < cols.size(); ++j)
      reduced(i, j) = R(rows[i], cols[j]);
  }
  zub_feedback::regularization_options o;
  o.rcond = a.tol_given ? static_cast<double>(a.tol)
                        : default_rcond(R.rows(), R.cols());
  o.keep = a.keep_given ? a.keep : -1;
  o.tikhonov = a.tikhonov;
  zub_feedback::result<zub_feedback::regularized_inverse_result> r =
      zub_feedback::regularized_inverse(reduced, o);
  if (!r) refuse("the matrix was not inverted", r.error());
  zub_feedback::regularized_inverse_result out = std::move(r).value();
  zub_feedback::matrix k(R.cols(), R.rows(), 0.0);
  for (size_t j = 0; j < cols.size(); ++j) {
    for (size_t i = 0; i < rows.size(); ++i) {
      k(cols[j], rows[i]) = out.inverse(j, i);
    }
  }
  out.inverse = std::move(k);
  const size_t all = std::min(R.rows(), R.cols());
  out.singular_values.resize(all, 0.0);
  out.filter_factors.resize(all, 0.0);
  show_detail(a, "regularize",
              format("%s, %d of %zu singular values kept",
                     regularization(a).c_str(), out.kept, all));
  return out;
}

// What --keep, --tikhonov and --tol asked of the regularised inverse.
std::string regularization(const arguments& a) {
  std::string out =
      a.tikhonov > 0.0 ? format("Tikhonov %g", a.tikhonov) : "no damping";
  if (a.keep_given) out += format(", at most %d modes", a.keep);
  out += a.tol_given
             ? format(", cut-off %.2g x s_max", static_cast<double>(a.tol))
             : std::string(", cut-off max(m, n) x 2^-52 x s_max");
  return out;
}

// Two neighbouring modes both kept (the first `kept` of `s`), more than
// 100 x apart, whose gains in the inverse are more than 100 x apart too:
// noise along the smaller is amplified out of proportion. `filter` holds
// each mode's filter factor, its gain relative to 1/s (empty: all 1, no
// damping). Named with the --keep that cuts it and the --tikhonov,
// the geometric mean of the two, that brings its gain down to that of the
// larger (its filter factor below 1/101). A smaller value at or below
// `named` has been warned of already (the float rounding level).
std::vector<std::string> gap_warnings(const std::vector<double>& s,
                                      const std::vector<double>& filter,
                                      int kept, double named) {
  std::vector<std::string> out;
  for (int i = 0; i + 1 < kept && i + 1 < static_cast<int>(s.size()); ++i) {
    const double upper = s[static_cast<size_t>(i)];
    const double lower = s[static_cast<size_t>(i) + 1];
    if (!(lower > named) || upper / lower <= 100.0) continue;
    const double jump = upper / lower *
                        (filter.empty() ? 1.0
                                        : filter[static_cast<size_t>(i) + 1] /
                                              filter[static_cast<size_t>(i)]);
    if (jump <= 100.0) continue;
    out.push_back(format(
        "singular values %d (%.3g) and %d (%.3g) are both kept but %.0f x "
        "apart: the inverse amplifies deviations along mode %d %.3g x more "
        "than along mode %d. --keep %d cuts mode %d and the smaller ones; "
        "--tikhonov %.2g (the geometric mean of the two) damps them.",
        i, upper, i + 1, lower, upper / lower, i + 1, jump, i, i + 1, i + 1,
        std::sqrt(upper * lower)));
  }
  return out;
}

void print_warnings(const std::vector<std::string>& warnings) {
  for (const std::string& w : warnings) zub_cli::warn("rmtool", w);
}

void print_warnings(const zub_cli::inversion_outcome& inv) {
  for (const std::string& w : inv.warnings) zub_cli::warn("rmtool", w);
}

// The matrix's metadata for its inverse: a unit "A/B" becomes "B/A"; a unit
// of another form is left out rather than passed on as the inverse's.
std::vector<std::pair<std::string, std::string>> inverse_metadata(
    const std::vector<std::pair<std::string, std::string>>& metadata) {
  std::vector<std::pair<std::string, std::string>> out;
  for (const auto& kv : metadata) {
    if (kv.first != "unit" && kv.first != "units") {
      out.push_back(kv);
      continue;
    }
    const std::string& v = kv.second;
    const size_t slash = v.find('/');
    if (slash == std::string::npos ||
        v.find('/', slash + 1) != std::string::npos) {
      continue;
    }
    out.emplace_back(kv.first, v.substr(slash + 1) + "/" + v.substr(0, slash));
  }
  return out;
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

// rmtool svd with --keep or --tikhonov: the spectrum with each mode's
// filter factor, and the conditions before and after the damping.
int show_regularized(const std::string& path, const loaded_matrix& lm,
                     const exclusions& ex, const arguments& a) {
  const zub_feedback::matrix& R = lm.values();
  const zub_feedback::regularized_inverse_result r =
      invert_regularized(R, ex, a);
  const std::vector<std::string> weights = mode_weights(lm, ex);
  const std::vector<double>& s = r.singular_values;
  std::printf("matrix     %s, %zu x %zu, %zu singular values\n", path.c_str(),
              R.rows(), R.cols(), s.size());
  if (ex.any()) {
    std::printf("excluded   %s (their rows and columns set to 0)\n",
                describe(ex).c_str());
  }
  std::printf("regularised %s, in double precision\n",
              regularization(a).c_str());
  if (r.tikhonov > 0.0) {
    std::printf(
        "            mode i enters with s_i / (s_i^2 + A^2), A = %g: its "
        "filter factor s_i^2 / (s_i^2 + A^2) times 1 / s_i\n",
        r.tikhonov);
  }
  std::printf(
      "\n     #  singular value  filter factor        weighing most "
      "(largest |U|, |V|)\n");
  for (size_t i = 0; i < s.size(); ++i) {
    const double f = r.filter_factors[i];
    const std::string weighing = i < weights.size() ? "  " + weights[i] : "";
    std::printf("  %4zu  %.6e    %.6f       %s%s\n", i, s[i], f,
                f > 0.0 ? "kept" : (weighing.empty() ? "cut" : "cut "),
                weighing.c_str());
  }
  std::printf("\nkept       %d of %zu\n", r.kept, s.size());
  if (r.kept > 0) {
    std::printf("condition  %.4g for the kept values (s_max / smallest kept)\n",
                r.condition);
    std::printf(
        "effective  %.4g (largest / smallest gain s_i / (s_i^2 + A^2) of the "
        "kept)\n",
        r.effective_condition);
  } else {
    zub_cli::warn("rmtool",
                  format("no singular value was kept (the largest is %.3g): "
                         "the inverse is all zero, and a feedback with it "
                         "corrects nothing.",
                         s.empty() ? 0.0 : s.front()));
  }
  print_warnings(gap_warnings(s, r.filter_factors, r.kept, 0.0));
  return 0;
}

}  // namespace

int run_svd(const arguments& a) {
  expect_positional(a, 1, "svd", "one FILE");
  if (a.pinv) bad_usage("svd has no --pinv");
  const std::string& path = a.positional[0];
  const loaded_matrix lm = load_checked(path, a);
  const zub_feedback::matrix& R = lm.values();
  const exclusions ex = check_exclusions(a, lm, path);
  if (a.regularized()) return show_regularized(path, lm, ex, a);
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
  print_warnings(gap_warnings(
      std::vector<double>(inv.singular.begin(), inv.singular.end()), {},
      inv.nosv,
      zub_cli::float_rounding_level(s_max, static_cast<int>(R.rows()),
                                    static_cast<int>(R.cols()))));
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
  } else if (a.regularized()) {
    const zub_feedback::regularized_inverse_result r =
        invert_regularized(R, ex, a);
    inverse = r.inverse;
    how = format(
        "regularised SVD in double precision, %s, %d of %zu singular "
        "values kept",
        regularization(a).c_str(), r.kept, r.singular_values.size());
    if (ex.any()) how += "; excluded " + describe(ex);
    if (r.kept == 0) {
      inv.warnings.push_back(
          "no singular value was kept: the inverse is all zero, and a "
          "feedback with it corrects nothing.");
    }
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
  out.metadata = inverse_metadata(lm.file.metadata);
  write_matrix(a.out, header, out);
  const zub_feedback::matrix& written = out.values;
  std::printf("wrote %zu x %zu inverse to %s (%s)\n", written.rows(),
              written.cols(), a.out.c_str(), how.c_str());
  print_warnings(inv);
  return 0;
}

}  // namespace rmtool
