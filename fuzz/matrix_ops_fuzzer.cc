// The computations on response matrices, on small matrices (every shape up
// to 8 x 8) built from the input: NaN, infinities, denormals and huge values
// among the elements, every kind of tolerance (-1, 0, negative, NaN, ...),
// results of the right and of a wrong shape, results that are an operand.
// Whatever the input: no crash and no GSL abort (GSL's default handler stays
// installed), operands that are not the result unchanged bit for bit,
// nothing written outside a matrix (guard band), and a result either left
// bit for bit as it was after an "ERROR: " report or made of finite numbers.
// Products are checked against a double-precision reference; for them a
// non-finite operand or a product beyond the float range may give
// non-finite elements. Every operation is also done by the numeric core on
// the same numbers: the property must store its elements bit for bit and
// refuse what it refuses, with its message.
#include <cfloat>
#include <cstdint>
#include <cstdio>
#include <iostream>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "data_provider.h"
#include "fuzz_check.h"
#include "report.h"
#include "zub_feedback/core.h"

namespace {

using zub_fuzz::bits_of;
using zub_fuzz::GuardedMatrix;
using zub_fuzz::reported_error;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kDenormMin = std::numeric_limits<float>::denorm_min();

constexpr float kSpecialElements[] = {
    kNaN,     -kNaN,  kInf,    -kInf,       0.0f,       -0.0f,       1.0f,
    -1.0f,    0.5f,   FLT_MIN, -FLT_MIN,    kDenormMin, -kDenormMin, FLT_MAX,
    -FLT_MAX, 1e-20f, 1e20f,   FLT_EPSILON, 1e-38f,     3e38f};

constexpr float kSpecialTolerances[] = {
    -1.0f, 0.0f, -0.0f, -1e-3f,     -2.0f,   kNaN,
    -kNaN, kInf, -kInf, 1e-6f,      1e-3f,   0.5f,
    1.0f,  2.0f, 1e30f, kDenormMin, FLT_MAX, FLT_EPSILON};

float element(zub_fuzz::data_provider& in) {
  switch (in.ConsumeIntegralInRange(0, 3)) {
    case 0:
      return in.PickValueInArray(kSpecialElements);
    case 1:
      return static_cast<float>(in.ConsumeIntegralInRange(-4, 4));
    case 2:
      return zub_fuzz::float_of(in.ConsumeIntegral<std::uint32_t>());
    default:
      return in.ConsumeFloatingPointInRange(-10.0f, 10.0f);
  }
}

float tolerance(zub_fuzz::data_provider& in) {
  switch (in.ConsumeIntegralInRange(0, 2)) {
    case 0:
      return in.PickValueInArray(kSpecialTolerances);
    case 1:
      return zub_fuzz::float_of(in.ConsumeIntegral<std::uint32_t>());
    default:
      return in.ConsumeFloatingPoint<float>();
  }
}

int dim(zub_fuzz::data_provider& in) { return in.ConsumeIntegralInRange(0, 8); }

void fill(zub_fuzz::data_provider& in, GuardedMatrix& g) {
  for (int i = 0; i < g.rows(); ++i) {
    for (int j = 0; j < g.cols(); ++j) g.set(i, j, element(in));
  }
}

// Mostly the shape an operation wants, sometimes any other.
void pick_shape(zub_fuzz::data_provider& in, int want_rows, int want_cols,
                int& rows, int& cols) {
  if (in.ConsumeIntegralInRange(0, 3) != 0) {
    rows = want_rows;
    cols = want_cols;
  } else {
    rows = dim(in);
    cols = dim(in);
  }
}

bool same_value(float a, float b) {
  return (std::isnan(a) && std::isnan(b)) || bits_of(a) == bits_of(b);
}

// ---------------------------------------------------------------- the core
// beside the property

// The matrix's elements as the core takes them.
zub_feedback::matrix elements(const GuardedMatrix& g) {
  zub_feedback::matrix out(static_cast<size_t>(g.rows()),
                           static_cast<size_t>(g.cols()));
  for (int i = 0; i < g.rows(); ++i) {
    for (int j = 0; j < g.cols(); ++j) {
      out(static_cast<size_t>(i), static_cast<size_t>(j)) = g.at(i, j);
    }
  }
  return out;
}

// The first "ERROR: " message of the call, or "".
std::string error_message(const zub_test::LogCapture& log) {
  for (const auto& e : log.entries()) {
    if (e.message.rfind("ERROR: ", 0) == 0) return e.message;
  }
  return "";
}

// The property refused as the core did, in its words.
void check_same_refusal(const zub_feedback::status& core, bool refused,
                        const zub_test::LogCapture& log, const char* what) {
  ZUB_FUZZ_CHECK(core.ok() == !refused, "%s: core %s, property %s", what,
                 core.ok() ? "accepted" : "refused",
                 refused ? "refused" : "accepted");
  if (!refused) return;
  ZUB_FUZZ_CHECK(error_message(log) == core.error().message,
                 "%s: property said \"%s\", core \"%s\"", what,
                 error_message(log).c_str(), core.error().message.c_str());
}

template <class T>
zub_feedback::status status_of(const zub_feedback::result<T>& r) {
  if (r) return {};
  return r.error();
}

// The property's elements are the core's, each rounded to float.
void check_same_elements(const GuardedMatrix& g, const zub_feedback::matrix& m,
                         const char* what) {
  ZUB_FUZZ_CHECK(m.rows() == static_cast<size_t>(g.rows()) &&
                     m.cols() == static_cast<size_t>(g.cols()),
                 "%s: core gave %zu x %zu, property is %d x %d", what, m.rows(),
                 m.cols(), g.rows(), g.cols());
  for (int i = 0; i < g.rows(); ++i) {
    for (int j = 0; j < g.cols(); ++j) {
      const float core =
          static_cast<float>(m(static_cast<size_t>(i), static_cast<size_t>(j)));
      ZUB_FUZZ_CHECK(bits_of(g.at(i, j)) == bits_of(core),
                     "%s (%d, %d): property %g, core %g", what, i, j,
                     static_cast<double>(g.at(i, j)),
                     static_cast<double>(core));
    }
  }
}

// ---------------------------------------------------------------- inversions

void fuzz_invert(zub_fuzz::data_provider& in) {
  const int m = dim(in);
  const int n = dim(in);
  GuardedMatrix a("A", m, n);
  fill(in, a);
  int pr, pc;
  pick_shape(in, n, m, pr, pc);
  GuardedMatrix inverse("PINV", pr, pc);
  fill(in, inverse);
  K_spectrum spectrum("SV", in.ConsumeIntegralInRange(0, 10), nullptr);
  spectrum.set_spectrum_length(in.ConsumeIntegralInRange(0, 10));
  for (int i = 0; i < spectrum.spectrum_length(); ++i) {
    spectrum.fill_spectrum(i, -3.5f - static_cast<float>(i));
  }
  std::vector<float> spectrum_before;
  for (int i = 0; i < spectrum.spectrum_length(); ++i) {
    spectrum_before.push_back(spectrum.spectrum_value(i));
  }
  const float tol_before = tolerance(in);
  float tol = tol_before;
  int nosv = -12345;
  KARST_debug = in.ConsumeIntegralInRange(0, 15) == 0 ? 0x80 : 0;

  const auto a_before = a.snapshot();
  const auto inverse_before = inverse.snapshot();
  zub_test::LogCapture log;
  a.matrix().invert(inverse.matrix(), spectrum, &tol, &nosv);
  KARST_debug = 0;

  // The core does not see the shape of the property's result.
  const bool core_sees_all = pr == n && pc == m;
  const auto core =
      zub_feedback::truncated_svd_inverse(elements(a), tol_before);
  if (core_sees_all) {
    check_same_refusal(status_of(core), reported_error(log), log, "invert");
  }

  ZUB_FUZZ_CHECK(a.snapshot() == a_before, "invert changed its matrix");
  const bool must_refuse = pr != n || pc != m || m == 0 || n == 0 ||
                           std::isnan(tol_before) || !a.all_finite();
  const bool refused = reported_error(log);
  ZUB_FUZZ_CHECK(refused || !must_refuse,
                 "%d x %d into %d x %d, tolerance %g: no error reported", m, n,
                 pr, pc, static_cast<double>(tol_before));
  if (refused) {
    ZUB_FUZZ_CHECK(inverse.snapshot() == inverse_before,
                   "refused, yet the inverse changed");
    ZUB_FUZZ_CHECK(bits_of(tol) == bits_of(tol_before) && nosv == -12345,
                   "refused, yet tolerance %g count %d",
                   static_cast<double>(tol), nosv);
    std::vector<float> spectrum_after;
    for (int i = 0; i < spectrum.spectrum_length(); ++i) {
      spectrum_after.push_back(spectrum.spectrum_value(i));
    }
    ZUB_FUZZ_CHECK(spectrum_after == spectrum_before,
                   "refused, yet the spectrum changed");
    return;
  }
  ZUB_FUZZ_CHECK(inverse.guard_intact(inverse_before),
                 "an element stored outside the %d x %d inverse", pr, pc);
  ZUB_FUZZ_CHECK(inverse.all_finite(),
                 "%d x %d, tolerance %g: inverse not finite\n%s\ninverse:\n%s",
                 m, n, static_cast<double>(tol_before), a.dump().c_str(),
                 inverse.dump().c_str());
  const int k = std::min(m, n);
  ZUB_FUZZ_CHECK(nosv >= 0 && nosv <= k, "count %d of %d", nosv, k);
  if (tol_before == -1.0f) {
    ZUB_FUZZ_CHECK(std::isfinite(tol) && tol >= 0.0f, "derived tolerance %g",
                   static_cast<double>(tol));
  } else {
    ZUB_FUZZ_CHECK(bits_of(tol) == bits_of(tol_before), "tolerance changed");
  }
  ZUB_FUZZ_CHECK(
      spectrum.spectrum_length() == std::min(k, spectrum.max_length()),
      "spectrum of %d points", spectrum.spectrum_length());
  for (int i = 0; i < spectrum.spectrum_length(); ++i) {
    const float s = spectrum.spectrum_value(i);
    ZUB_FUZZ_CHECK(std::isfinite(s) && s >= 0.0f, "singular value %d: %g", i,
                   static_cast<double>(s));
    ZUB_FUZZ_CHECK(i == 0 || s <= spectrum.spectrum_value(i - 1),
                   "singular values not in non-increasing order at %d", i);
  }
  ZUB_FUZZ_CHECK(log.last().level == zub_internal::kLevelTiming,
                 "last message: %s", log.last().message.c_str());

  const zub_feedback::truncated_svd_result& c = core.value();
  check_same_elements(inverse, c.inverse, "invert");
  ZUB_FUZZ_CHECK(nosv == c.kept && bits_of(tol) == bits_of(c.tolerance),
                 "count %d tolerance %g, core %d %g", nosv,
                 static_cast<double>(tol), c.kept,
                 static_cast<double>(c.tolerance));
  for (int i = 0; i < spectrum.spectrum_length(); ++i) {
    ZUB_FUZZ_CHECK(bits_of(spectrum.spectrum_value(i)) ==
                       bits_of(static_cast<float>(
                           c.singular_values[static_cast<size_t>(i)])),
                   "singular value %d", i);
  }
}

void fuzz_pinv(zub_fuzz::data_provider& in) {
  const int m = dim(in);
  const int n = dim(in);
  GuardedMatrix a("A", m, n);
  fill(in, a);
  int pr, pc;
  pick_shape(in, n, m, pr, pc);
  GuardedMatrix inverse("PINV", pr, pc);
  fill(in, inverse);
  const float tol_before = tolerance(in);
  float tol = tol_before;

  const auto a_before = a.snapshot();
  const auto inverse_before = inverse.snapshot();
  zub_test::LogCapture log;
  bool threw = false;
  try {
    a.matrix().pinv(inverse.matrix(), &tol);
  } catch (const std::exception&) {
    // Armadillo's failed SVD (a NaN or an infinity among the elements)
    // reaches the caller; the inverse must be untouched then.
    threw = true;
  }

  ZUB_FUZZ_CHECK(a.snapshot() == a_before, "pinv changed its matrix");
  ZUB_FUZZ_CHECK(bits_of(tol) == bits_of(tol_before), "pinv changed tolerance");
  const bool refused = reported_error(log);
  ZUB_FUZZ_CHECK(refused || (pr == n && pc == m),
                 "%d x %d into %d x %d: no error reported", m, n, pr, pc);
  // A matrix that no SVD can take is refused before Armadillo sees it, and
  // thrown as a failed SVD.
  ZUB_FUZZ_CHECK(!threw || !a.all_finite() || !refused,
                 "thrown after an error report for a finite matrix");
  ZUB_FUZZ_CHECK(a.all_finite() || refused || pr != n || pc != m,
                 "a NaN or an infinity, and no error reported");
  const auto core = zub_feedback::pseudo_inverse(elements(a), tol_before);
  if (pr == n && pc == m) {
    // A failed SVD throws without a message, as Armadillo's pinv did.
    const bool silent_failure =
        !core && core.error().code == zub_feedback::error_code::svd_failed;
    if (!silent_failure) {
      check_same_refusal(status_of(core), refused, log, "pinv");
    }
    ZUB_FUZZ_CHECK(
        threw == (!core &&
                  (core.error().code == zub_feedback::error_code::svd_failed ||
                   core.error().code == zub_feedback::error_code::not_finite)),
        "pinv threw %d", threw);
  }
  if (refused || threw) {
    ZUB_FUZZ_CHECK(inverse.snapshot() == inverse_before,
                   "refused or thrown, yet the inverse changed");
    return;
  }
  check_same_elements(inverse, core.value().inverse, "pinv");
  ZUB_FUZZ_CHECK(inverse.guard_intact(inverse_before),
                 "an element stored outside the %d x %d inverse", pr, pc);
  ZUB_FUZZ_CHECK(inverse.all_finite(),
                 "%d x %d: pseudo-inverse not finite\n%s\ninverse:\n%s", m, n,
                 a.dump().c_str(), inverse.dump().c_str());
}

// ---------------------------------------------------------------- products

// Which object receives the result: a matrix of its own or an operand.
enum class Target { kOwn, kThis, kOperand };

Target pick_target(zub_fuzz::data_provider& in) {
  switch (in.ConsumeIntegralInRange(0, 5)) {
    case 0:
      return Target::kThis;
    case 1:
      return Target::kOperand;
    default:
      return Target::kOwn;
  }
}

void fuzz_multiply(zub_fuzz::data_provider& in) {
  const int m = dim(in);
  const int k = dim(in);
  int ar, ac;
  pick_shape(in, k, dim(in), ar, ac);
  GuardedMatrix x("X", m, k);
  GuardedMatrix y("A", ar, ac);
  fill(in, x);
  fill(in, y);
  int br, bc;
  pick_shape(in, m, ac, br, bc);
  GuardedMatrix own("B", br, bc);
  fill(in, own);
  const Target target = pick_target(in);
  GuardedMatrix& out = target == Target::kThis      ? x
                       : target == Target::kOperand ? y
                                                    : own;

  const auto x_before = x.snapshot();
  const auto y_before = y.snapshot();
  const auto out_before = out.snapshot();
  // The factors as they were, for the reference product.
  std::vector<std::vector<double>> xv(
      static_cast<size_t>(m), std::vector<double>(static_cast<size_t>(k)));
  std::vector<std::vector<double>> yv(
      static_cast<size_t>(ar), std::vector<double>(static_cast<size_t>(ac)));
  bool finite_factors = true;
  for (int i = 0; i < m; ++i) {
    for (int j = 0; j < k; ++j) {
      xv[i][j] = x.at(i, j);
      finite_factors = finite_factors && std::isfinite(xv[i][j]);
    }
  }
  for (int i = 0; i < ar; ++i) {
    for (int j = 0; j < ac; ++j) {
      yv[i][j] = y.at(i, j);
      finite_factors = finite_factors && std::isfinite(yv[i][j]);
    }
  }

  const zub_feedback::matrix core_x = elements(x);
  const zub_feedback::matrix core_y = elements(y);
  zub_feedback::matrix core_out(static_cast<size_t>(out.rows()),
                                static_cast<size_t>(out.cols()));
  const zub_feedback::status core =
      zub_feedback::multiply(core_x, core_y, core_out.view());

  zub_test::LogCapture log;
  x.matrix().multiply(y.matrix(), out.matrix());

  if (target != Target::kThis) {
    ZUB_FUZZ_CHECK(x.snapshot() == x_before, "multiply changed this");
  }
  if (target != Target::kOperand) {
    ZUB_FUZZ_CHECK(y.snapshot() == y_before, "multiply changed A");
  }
  const bool fits = out.rows() == m && out.cols() == ac && k == ar;
  const bool refused = reported_error(log);
  ZUB_FUZZ_CHECK(refused == !fits, "%d x %d times %d x %d into %d x %d: %s", m,
                 k, ar, ac, out.rows(), out.cols(),
                 refused ? "refused" : "not refused");
  check_same_refusal(core, refused, log, "multiply");
  if (refused) {
    ZUB_FUZZ_CHECK(out.snapshot() == out_before,
                   "refused, yet the product changed");
    return;
  }
  ZUB_FUZZ_CHECK(out.guard_intact(out_before),
                 "an element stored outside the %d x %d product", m, ac);
  check_same_elements(out, core_out, "multiply");
  for (int i = 0; i < m; ++i) {
    for (int j = 0; j < ac; ++j) {
      double sum = 0.0;
      double scale = 0.0;
      for (int l = 0; l < k; ++l) {
        sum += xv[i][l] * yv[l][j];
        scale += std::fabs(xv[i][l] * yv[l][j]);
      }
      if (!finite_factors || !std::isfinite(scale)) continue;
      const double err =
          scale * 16 * DBL_EPSILON + std::fabs(sum) * FLT_EPSILON + kDenormMin;
      if (std::fabs(sum) + err >= FLT_MAX) continue;  // beyond float range
      const float got = out.at(i, j);
      ZUB_FUZZ_CHECK(std::isfinite(got) && std::fabs(got - sum) <= err,
                     "product (%d, %d) = %g, expected %g", i, j,
                     static_cast<double>(got), sum);
    }
  }
}

void fuzz_entrywise_product(zub_fuzz::data_provider& in) {
  const int m = dim(in);
  const int n = dim(in);
  int ar, ac, br, bc;
  pick_shape(in, m, n, ar, ac);
  pick_shape(in, m, n, br, bc);
  GuardedMatrix x("X", m, n);
  GuardedMatrix y("A", ar, ac);
  GuardedMatrix own("B", br, bc);
  fill(in, x);
  fill(in, y);
  fill(in, own);
  const Target target = pick_target(in);
  GuardedMatrix& out = target == Target::kThis      ? x
                       : target == Target::kOperand ? y
                                                    : own;
  std::vector<float> want;
  for (int i = 0; i < m; ++i) {
    for (int j = 0; j < n; ++j) want.push_back(x.at(i, j) * y.at(i, j));
  }
  const auto x_before = x.snapshot();
  const auto y_before = y.snapshot();
  const auto out_before = out.snapshot();

  const zub_feedback::matrix core_x = elements(x);
  const zub_feedback::matrix core_y = elements(y);
  zub_feedback::matrix core_out(static_cast<size_t>(out.rows()),
                                static_cast<size_t>(out.cols()));
  const zub_feedback::status core =
      zub_feedback::entrywise_product(core_x, core_y, core_out.view());

  zub_test::LogCapture log;
  x.matrix().entrywise_product(y.matrix(), out.matrix());

  if (target != Target::kThis) {
    ZUB_FUZZ_CHECK(x.snapshot() == x_before, "changed this");
  }
  if (target != Target::kOperand) {
    ZUB_FUZZ_CHECK(y.snapshot() == y_before, "changed A");
  }
  const bool fits = ar == m && ac == n && out.rows() == m && out.cols() == n;
  const bool refused = reported_error(log);
  ZUB_FUZZ_CHECK(refused == !fits, "entrywise %d x %d, %d x %d into %d x %d", m,
                 n, ar, ac, out.rows(), out.cols());
  check_same_refusal(core, refused, log, "entrywise_product");
  if (refused) {
    ZUB_FUZZ_CHECK(out.snapshot() == out_before, "refused, yet changed");
    return;
  }
  ZUB_FUZZ_CHECK(out.guard_intact(out_before), "stored outside the product");
  check_same_elements(out, core_out, "entrywise_product");
  for (int i = 0; i < m; ++i) {
    for (int j = 0; j < n; ++j) {
      ZUB_FUZZ_CHECK(
          same_value(out.at(i, j), want[static_cast<size_t>(i * n + j)]),
          "element (%d, %d)", i, j);
    }
  }
}

void fuzz_transpose(zub_fuzz::data_provider& in) {
  const int m = dim(in);
  const int n = dim(in);
  GuardedMatrix x("X", m, n);
  fill(in, x);
  int tr, tc;
  pick_shape(in, n, m, tr, tc);
  GuardedMatrix own("T", tr, tc);
  fill(in, own);
  const bool onto_itself = m == n && in.ConsumeBool();
  GuardedMatrix& out = onto_itself ? x : own;
  std::vector<float> source;
  for (int i = 0; i < m; ++i) {
    for (int j = 0; j < n; ++j) source.push_back(x.at(i, j));
  }
  const auto x_before = x.snapshot();
  const auto out_before = out.snapshot();

  const zub_feedback::matrix core_x = elements(x);
  zub_feedback::matrix core_out(static_cast<size_t>(out.rows()),
                                static_cast<size_t>(out.cols()));
  const zub_feedback::status core =
      zub_feedback::transpose(core_x, core_out.view());

  zub_test::LogCapture log;
  x.matrix().transpose(out.matrix());

  if (!onto_itself) {
    ZUB_FUZZ_CHECK(x.snapshot() == x_before, "transpose changed this");
  }
  const bool fits = out.rows() == n && out.cols() == m;
  const bool refused = reported_error(log);
  ZUB_FUZZ_CHECK(refused == !fits, "%d x %d into %d x %d", m, n, out.rows(),
                 out.cols());
  check_same_refusal(core, refused, log, "transpose");
  if (refused) {
    ZUB_FUZZ_CHECK(out.snapshot() == out_before, "refused, yet changed");
    return;
  }
  ZUB_FUZZ_CHECK(out.guard_intact(out_before), "stored outside the transpose");
  check_same_elements(out, core_out, "transpose");
  for (int i = 0; i < m; ++i) {
    for (int j = 0; j < n; ++j) {
      ZUB_FUZZ_CHECK(
          same_value(out.at(j, i), source[static_cast<size_t>(i * n + j)]),
          "element (%d, %d) of the transpose", j, i);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The debug tables and the line after a transposition go to standard
  // output, Armadillo's complaints to std::cerr: neither is checked here.
  if (std::freopen("/dev/null", "w", stdout) == nullptr) return 1;
  std::cerr.rdbuf(nullptr);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
  zub_fuzz::data_provider in(data, size);
  switch (in.ConsumeIntegralInRange(0, 4)) {
    case 0:
      fuzz_invert(in);
      break;
    case 1:
      fuzz_pinv(in);
      break;
    case 2:
      fuzz_multiply(in);
      break;
    case 3:
      fuzz_entrywise_product(in);
      break;
    default:
      fuzz_transpose(in);
      break;
  }
  return 0;
}
