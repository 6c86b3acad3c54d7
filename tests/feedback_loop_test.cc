// The orbit loop on simulated linear machines (Armadillo's pseudo-inverse,
// not the library's): the law, mask, checks, dead-band, soft start,
// integrator, limits, saturation, the divergence guard against a wrong sign
// and against long noisy runs, refusals, and no allocation in a step.
#include "feedback_loop.h"

#include <armadillo>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <new>
#include <random>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "matrix_data.h"

// Every allocation of this test program through operator new, counted.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
namespace {
std::atomic<long> allocations{0};
}  // namespace

// Out of line, all three: valgrind replaces the program's operator new and
// delete with its own, and a delete inlined into its callers would hand
// valgrind's blocks to free().
__attribute__((noinline)) void* operator new(std::size_t size) {
  ++allocations;
  if (void* p = std::malloc(size != 0 ? size : 1)) return p;
  throw std::bad_alloc();
}
__attribute__((noinline)) void operator delete(void* p) noexcept {
  std::free(p);
}
__attribute__((noinline)) void operator delete(void* p, std::size_t) noexcept {
  std::free(p);
}

namespace {

using zub_feedback::loop_fault;
using zub_feedback::loop_options;
using zub_feedback::loop_status;
using zub_feedback::orbit_loop;
using zub_feedback::status_name;
using zub_feedback::step_outcome;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

zub_feedback::matrix to_matrix(const arma::mat& a) {
  zub_feedback::matrix out(a.n_rows, a.n_cols);
  for (arma::uword i = 0; i < a.n_rows; ++i) {
    for (arma::uword j = 0; j < a.n_cols; ++j) out(i, j) = a(i, j);
  }
  return out;
}

orbit_loop make_loop(const arma::mat& model, loop_options options) {
  auto loop = orbit_loop::create(to_matrix(arma::pinv(model)), options);
  if (!loop) throw std::runtime_error(loop.error().message);
  return std::move(loop).value();
}

// A response matrix whose singular values lie near sqrt(m).
arma::mat random_response(arma::uword m, arma::uword n, int seed) {
  arma::arma_rng::set_seed(seed);
  arma::mat r = arma::randn(m, n);
  r.diag() += std::sqrt(static_cast<double>(m));
  return r;
}

// readings = response · settings + orbit + noise.
struct machine {
  arma::mat response;
  arma::vec orbit;
  double noise = 0.0;
  std::mt19937_64 gen{1};
  std::vector<double> read(const std::vector<double>& settings) {
    std::normal_distribution<double> n(0.0, noise);
    arma::vec r = response * arma::vec(settings) + orbit;
    for (double& x : r) x += noise > 0 ? n(gen) : 0.0;
    return arma::conv_to<std::vector<double>>::from(r);
  }
};

// ---------------------------------------- the law

TEST(OrbitLoop, ClassicLawShrinksTheDeviationByOneMinusGain) {
  const arma::mat r = random_response(6, 6, 1);
  const arma::vec reference = arma::randn(6);
  for (double gain : {0.3, 1.0, 1.7}) {
    loop_options o;
    o.gain = gain;
    o.reference = arma::conv_to<std::vector<double>>::from(reference);
    orbit_loop loop = make_loop(r, o);
    machine beam{r, arma::randn(6)};
    std::vector<double> c(6, 0.0), delta;
    const arma::vec before = arma::vec(beam.read(c)) - reference;
    EXPECT_EQ(loop.step(beam.read(c), c, delta).status, loop_status::applied);
    const arma::vec after = arma::vec(beam.read(delta)) - reference;
    EXPECT_LT(arma::norm(after - (1 - gain) * before),
              1e-12 * arma::norm(before))
        << gain;
  }
}

TEST(OrbitLoop, MaskedMonitorIsNeitherCheckedNorUsed) {
  const arma::mat r = random_response(5, 3, 2);
  loop_options masked;
  masked.monitor_mask = {false, false, true, false, false};
  orbit_loop a = make_loop(r, masked);
  orbit_loop b = make_loop(r, loop_options{});
  std::vector<double> readings{0.1, -0.2, kNaN, 0.3, 0.05}, c(3, 0.0), da, db;
  EXPECT_EQ(a.step(readings, c, da).status, loop_status::applied);
  readings[2] = 0.0;  // at its reference
  b.step(readings, c, db);
  EXPECT_EQ(da, db);
}

// ---------------------------------------- checks

TEST(OrbitLoop, RefusedStepNamesTheCauseAndChangesNothing) {
  struct {
    const char* what;
    std::size_t readings, settings;
    int bad;  // the element made bad; < 0: none
    double reading, setting;
    loop_fault fault;
    const char* reason;
  } cases[] = {
      {"NaN", 6, 3, 3, kNaN, 0, loop_fault::reading_not_finite,
       "monitor 3: reading nan is not finite"},
      {"inf", 6, 3, 1, kInf, 0, loop_fault::reading_not_finite, "monitor 1"},
      {"above", 6, 3, 2, 5.5, 0, loop_fault::reading_out_of_range,
       "monitor 2: reading 5.5 is outside [-5, 5]"},
      {"below", 6, 3, 0, -7, 0, loop_fault::reading_out_of_range, "monitor 0"},
      {"setting", 6, 3, 1, 0, kNaN, loop_fault::setting_not_finite,
       "corrector 1: setting nan is not finite"},
      {"size", 5, 3, -1, 0, 0, loop_fault::wrong_size, "5 readings"},
  };
  const arma::mat r = random_response(6, 3, 3);
  loop_options o;
  o.integral_gain = 0.1;
  o.soft_start = 3;
  o.monitor_min.assign(6, -5.0);
  o.monitor_max.assign(6, 5.0);
  for (const auto& t : cases) {
    orbit_loop a = make_loop(r, o);
    orbit_loop b = make_loop(r, o);
    machine beam{r, arma::randn(6), 0.01};
    std::vector<double> c(3, 0.0), da, db;
    for (int k = 0; k < 4; ++k) {
      const std::vector<double> readings = beam.read(c);
      a.step(readings, c, da);
      b.step(readings, c, db);
      for (int j = 0; j < 3; ++j) c[j] += da[j];
    }
    std::vector<double> readings = beam.read(c), settings = c;
    readings.resize(t.readings);
    if (t.bad >= 0) readings[t.bad] = t.reading;
    if (t.bad >= 0 && t.setting != 0) settings[t.bad] = t.setting;
    da.assign(3, 1.0);
    const step_outcome out = a.step(readings, settings, da);
    EXPECT_EQ(out.status, loop_status::refused) << t.what;
    EXPECT_EQ(out.fault, t.fault) << t.what;
    EXPECT_EQ(out.index, t.bad < 0 ? 0u : static_cast<std::size_t>(t.bad));
    EXPECT_NE(std::string(out.reason()).find(t.reason), std::string::npos)
        << out.reason();
    EXPECT_EQ(da, std::vector<double>(3, 0.0)) << t.what;
    // The next good step is the one of a loop that never saw the bad one.
    readings = beam.read(c);
    a.step(readings, c, da);
    b.step(readings, c, db);
    EXPECT_EQ(da, db) << t.what;
  }
}

// A reading at a bound of its range is within it, also when another
// monitor's fault sends the step through the search for the first.
TEST(OrbitLoop, ReadingAtItsBoundIsWithinItsRange) {
  loop_options o;
  o.monitor_min = {-1.0, -2.0, -3.0};
  o.monitor_max = {1.0, 2.0, 3.0};
  orbit_loop loop = make_loop(random_response(3, 2, 16), o);
  std::vector<double> c(2, 0.0), delta;
  EXPECT_EQ(loop.step({-1.0, 2.0, 0.5}, c, delta).status, loop_status::applied);
  const step_outcome out = loop.step({-1.0, 2.0, kNaN}, c, delta);
  EXPECT_EQ(out.index, 2u);
}

TEST(OrbitLoop, StaleMonitor) {
  const arma::mat r = random_response(5, 2, 4);
  struct {
    std::size_t monitor;
    int stale_cycles;
    bool masked;
    int refused_at;  // step; -1: never
  } cases[] = {{4, 3, false, 3},  {1, 3, false, 3}, {2, 1, false, 1},
               {0, 0, false, -1}, {4, 3, true, -1}, {3, 2, true, -1}};
  for (const auto& t : cases) {
    loop_options o;
    o.stale_cycles = t.stale_cycles;
    if (t.masked) {
      o.monitor_mask.assign(5, false);
      o.monitor_mask[t.monitor] = true;
    }
    orbit_loop loop = make_loop(r, o);
    machine beam{r, arma::randn(5), 0.01};
    std::vector<double> c(2, 0.0), delta;
    int refused_at = -1;
    for (int k = 0; k < 30 && refused_at < 0; ++k) {
      std::vector<double> readings = beam.read(c);
      readings[t.monitor] = 0.25;  // stopped updating
      const step_outcome out = loop.step(readings, c, delta);
      if (out.status == loop_status::refused) {
        refused_at = k;
        EXPECT_EQ(out.fault, loop_fault::reading_stale);
        EXPECT_EQ(out.index, t.monitor);
      }
    }
    EXPECT_EQ(refused_at, t.refused_at) << t.monitor << " " << t.stale_cycles;
  }
}

// ---------------------------------------- dead-band, soft start, integral

TEST(OrbitLoop, DeadBandMovesNothing) {
  loop_options o;
  o.deadband = 0.1;
  o.noise_floor = 1e-3;
  orbit_loop loop = make_loop(random_response(4, 2, 5), o);
  std::vector<double> c(2, 0.0), delta;
  // The orbit rising inside the dead-band: nothing moves, so the rise is
  // not the loop's and never holds it.
  for (double x : {0.01, 0.02, 0.03, 0.05, 0.07, 0.08, 0.09}) {
    const step_outcome out = loop.step({x, -x, x, -x}, c, delta);
    EXPECT_EQ(out.status, loop_status::deadband) << x;
    EXPECT_EQ(delta, std::vector<double>(2, 0.0));
  }
  EXPECT_EQ(loop.step({0.11, -0.11, 0.11, -0.11}, c, delta).status,
            loop_status::applied);
}

TEST(OrbitLoop, SoftStartRampsTheStep) {
  loop_options o;
  o.soft_start = 4;
  o.stale_cycles = 0;
  orbit_loop loop = make_loop(random_response(4, 2, 6), o);
  const std::vector<double> readings{0.3, -0.1, 0.2, 0.4}, c(2, 0.0);
  std::vector<std::vector<double>> deltas(6);
  for (auto& d : deltas) loop.step(readings, c, d);
  for (int k = 0; k < 6; ++k) {
    const double ramp = std::min(1.0, (k + 1) / 4.0);
    for (int j = 0; j < 2; ++j) {
      EXPECT_NEAR(deltas[k][j], ramp * deltas[5][j], 1e-15) << k;
    }
  }
}

// A drift v per step leaves the classic law's readings behind by v / gain;
// the integral term takes that lag out.
TEST(OrbitLoop, IntegralTermRemovesTheLagOfADrift) {
  const arma::mat r = random_response(4, 4, 7);
  const arma::vec drift = 1e-3 * arma::randn(4);
  double lag[2];
  for (int with_integral = 0; with_integral < 2; ++with_integral) {
    loop_options o;
    o.integral_gain = with_integral ? 0.1 : 0.0;
    orbit_loop loop = make_loop(r, o);
    machine beam{r, arma::zeros(4)};
    std::vector<double> c(4, 0.0), delta;
    for (int k = 0; k < 400; ++k) {
      beam.orbit += drift;
      const step_outcome out = loop.step(beam.read(c), c, delta);
      ASSERT_EQ(out.status, loop_status::applied);
      lag[with_integral] = out.rms;
      for (int j = 0; j < 4; ++j) c[j] += delta[j];
    }
  }
  EXPECT_NEAR(lag[0], arma::norm(drift) / 2 / 0.5, 1e-12);
  EXPECT_LT(lag[1], 1e-6 * lag[0]);
}

TEST(OrbitLoop, IntegralIsClampedAndFrozenWhileLimited) {
  const std::vector<double> readings{0.3, -0.1, 0.2, 0.4};
  for (double max_step : {kInf, 1e-6}) {
    loop_options o;
    o.integral_gain = 0.5;
    o.integral_limit = {0.2, 0.2};
    o.stale_cycles = 0;
    if (max_step < kInf) o.limits.max_step = {max_step, max_step};
    orbit_loop loop = make_loop(random_response(4, 2, 8), o);
    std::vector<double> c(2, 0.0), delta;
    for (int k = 0; k < 50; ++k) loop.step(readings, c, delta);
    for (double i : loop.integral()) {
      EXPECT_EQ(std::fabs(0.5 * i), max_step < kInf ? 0.0 : 0.2);
    }
  }
}

// A new reference keeps the loop's state: past its soft start, the next
// step is the full step towards the new orbit.
TEST(OrbitLoop, NewReferenceKeepsTheState) {
  const arma::mat r = random_response(4, 2, 15);
  loop_options ramped;
  ramped.soft_start = 3;
  orbit_loop loop = make_loop(r, ramped);
  const std::vector<double> readings{0.3, -0.1, 0.2, 0.4}, c(2, 0.0);
  std::vector<double> delta, want;
  for (int k = 0; k < 3; ++k) loop.step({0.1, 0.2, 0.3, 0.4 + k}, c, delta);
  const std::vector<double> reference{0.05, 0.0, -0.05, 0.1};
  EXPECT_FALSE(loop.set_reference({0, 0, 0}).ok());
  EXPECT_FALSE(loop.set_reference({0, kNaN, 0, 0}).ok());
  ASSERT_TRUE(loop.set_reference(reference).ok());
  loop.step(readings, c, delta);
  loop_options fresh;
  fresh.reference = reference;
  make_loop(r, fresh).step(readings, c, want);
  EXPECT_EQ(delta, want);
}

// ---------------------------------------- limits and saturation

TEST(OrbitLoop, SaturatedCorrectorIsReportedAndCanBeLeftOut) {
  const arma::mat r = random_response(4, 2, 9);
  loop_options o;
  o.limits.upper = {10.0, 1.0};
  o.limits.lower = {-10.0, -1.0};
  o.saturation_cycles = 3;
  o.integral_gain = 0.1;
  o.stale_cycles = 0;
  orbit_loop loop = make_loop(r, o);
  // Corrector 1 at its upper limit, the orbit asking for more of it.
  const std::vector<double> c{0.0, 1.0};
  const std::vector<double> readings =
      arma::conv_to<std::vector<double>>::from(-r * arma::vec{0.0, 1.0});
  std::vector<double> delta;
  for (int k = 0; k < 3; ++k) {
    EXPECT_TRUE(loop.saturated().empty()) << k;
    const step_outcome out = loop.step(readings, c, delta);
    EXPECT_EQ(out.status, loop_status::limited);
    EXPECT_EQ(out.scale, 0.0);
    EXPECT_EQ(loop.binding(), std::vector<std::size_t>{1});
  }
  EXPECT_EQ(loop.saturated(), std::vector<std::size_t>{1});
  // Not tracked, nothing is reported.
  o.saturation_cycles = 0;
  orbit_loop untracked = make_loop(r, o);
  for (int k = 0; k < 4; ++k) untracked.step(readings, c, delta);
  EXPECT_TRUE(untracked.saturated().empty());
  // The server's inverse without corrector 1: its row is 0.
  zub_feedback::matrix without = loop.inverse();
  for (std::size_t i = 0; i < 4; ++i) without(1, i) = 0.0;
  EXPECT_FALSE(loop.set_inverse(zub_feedback::matrix(4, 2)).ok());
  zub_feedback::matrix broken = without;
  broken(1, 3) = kNaN;
  EXPECT_FALSE(loop.set_inverse(broken).ok());
  ASSERT_TRUE(loop.set_inverse(without).ok());
  EXPECT_TRUE(loop.saturated().empty());
  EXPECT_EQ(loop.step(readings, c, delta).status, loop_status::applied);
  EXPECT_EQ(delta[1], 0.0);
  EXPECT_NE(delta[0], 0.0);
  EXPECT_EQ(loop.integral()[1], 0.0);
}

TEST(OrbitLoop, LeavesOutTheSaturatedCorrectorsForGood) {
  // Elements as floats, so that the float inverse is all that rounds.
  arma::mat r = random_response(6, 3, 11);
  r.transform([](double x) { return double(float(x)); });
  loop_options o;
  o.limits.upper = {10.0, 1.0, 10.0};
  o.limits.lower = {-10.0, -1.0, -0.5};
  o.saturation_cycles = 2;
  o.stale_cycles = 0;
  o.monitor_mask = {true, false, false, false, false, false};  // monitor 0 out
  orbit_loop loop = make_loop(r, o);
  // The inverse of the matrix without monitor 0 and the correctors listed,
  // in its place.
  auto expected = [&](const arma::uvec& kept) {
    const arma::uvec monitors = arma::regspace<arma::uvec>(1, 5);
    arma::mat k(3, 6, arma::fill::zeros);
    k.submat(kept, monitors) = arma::pinv(arma::mat(r.submat(monitors, kept)));
    return k;
  };
  auto saturate = [&](const std::vector<double>& c, arma::vec push) {
    const std::vector<double> readings =
        arma::conv_to<std::vector<double>>::from(-r * push);
    std::vector<double> delta;
    for (int k = 0; k < 2; ++k) loop.step(readings, c, delta);
  };
  saturate({0.0, 1.0, 0.0}, {0.0, 1.0, 0.0});
  ASSERT_EQ(loop.saturated(), std::vector<std::size_t>{1});
  EXPECT_FALSE(loop.leave_out_saturated(to_matrix(r.t())).ok());
  const auto short_one = loop.leave_out_saturated(to_matrix(r.rows(0, 4)));
  ASSERT_FALSE(short_one);
  EXPECT_EQ(short_one.error().message,
            "ERROR: orbit_loop: the response matrix is 5 x 3, not 6 x 3");
  auto out = loop.leave_out_saturated(to_matrix(r));
  ASSERT_TRUE(out) << out.error().message;
  EXPECT_EQ(out.value(), std::vector<std::size_t>{1});
  arma::mat k = zub_test::to_arma(loop.inverse());
  EXPECT_LT(arma::abs(k - expected({0, 2})).max(), 1e-5);
  // Another corrector later: the first stays out.
  saturate({0.0, 0.0, -0.5}, {0.0, 0.0, -1.0});
  ASSERT_EQ(loop.saturated(), std::vector<std::size_t>{2});
  out = loop.leave_out_saturated(to_matrix(r));
  ASSERT_TRUE(out);
  EXPECT_EQ(out.value(), (std::vector<std::size_t>{1, 2}));
  k = zub_test::to_arma(loop.inverse());
  EXPECT_LT(arma::abs(k - expected({0})).max(), 1e-5);
  EXPECT_EQ(arma::accu(k.rows(arma::uvec{1, 2}) != 0.0), 0u);
  EXPECT_EQ(arma::accu(k.col(0) != 0.0), 0u);
}

// ---------------------------------------- the divergence guard

TEST(OrbitLoop, SignFlippedMachineHoldsUntilReset) {
  struct {
    double gain, noise_floor;
    int within;  // steps beyond diverge_cycles
  } cases[] = {{0.5, 0.01, 0}, {0.2, 0.01, 0}, {0.5, 0.0, 6}, {1.0, 0.0, 3}};
  const arma::mat r = random_response(20, 10, 10);
  for (const auto& t : cases) {
    loop_options o;
    o.gain = t.gain;
    o.noise_floor = t.noise_floor;
    orbit_loop loop = make_loop(r, o);
    machine beam{-r, arma::randn(20), 0.01};
    std::vector<double> c(10, 0.0), delta;
    int held_at = -1;
    for (int k = 0; k < 40; ++k) {
      const step_outcome out = loop.step(beam.read(c), c, delta);
      if (out.status == loop_status::holding && held_at < 0) held_at = k;
      if (held_at >= 0) {
        EXPECT_EQ(out.status, loop_status::holding);
        EXPECT_EQ(delta, std::vector<double>(10, 0.0));
      }
      for (int j = 0; j < 10; ++j) c[j] += delta[j];
    }
    EXPECT_GE(held_at, o.diverge_cycles) << t.gain << " " << t.noise_floor;
    EXPECT_LE(held_at, o.diverge_cycles + t.within) << t.gain;
    loop.reset();
    EXPECT_EQ(loop.step(beam.read(c), c, delta).status, loop_status::applied);
  }
}

// Converged to the noise, with a 10 % calibration error, the loop runs on
// for a long time without holding, its floor estimated.
TEST(OrbitLoop, ConvergedNoisyLoopNeverHolds) {
  struct {
    arma::uword m, n;
    double gain, integral_gain;
    int steps;
  } cases[] = {{1, 1, 0.5, 0.0, 200000},
               {2, 1, 1.0, 0.0, 200000},
               {3, 2, 0.5, 0.05, 100000},
               {40, 20, 0.8, 0.0, 20000}};
  for (const auto& t : cases) {
    const arma::mat model = random_response(t.m, t.n, 11);
    arma::arma_rng::set_seed(12);
    loop_options o;
    o.gain = t.gain;
    o.integral_gain = t.integral_gain;
    orbit_loop loop = make_loop(model, o);
    const arma::mat response = model % (1 + 0.1 * arma::randn(t.m, t.n));
    machine beam{response, response * arma::randn(t.n), 1e-3};
    std::vector<double> c(t.n, 0.0), delta;
    int not_applied = 0;
    double last_rms = 0.0;
    for (int k = 0; k < t.steps; ++k) {
      const step_outcome out = loop.step(beam.read(c), c, delta);
      not_applied += out.status != loop_status::applied;
      last_rms = out.rms;
      for (arma::uword j = 0; j < t.n; ++j) c[j] += delta[j];
    }
    EXPECT_EQ(not_applied, 0) << t.m << " x " << t.n;
    EXPECT_LT(last_rms, 5e-3) << t.m << " x " << t.n;
  }
}

// ---------------------------------------- allocation and creation

TEST(OrbitLoop, StepAllocatesNothing) {
  const arma::mat r = random_response(30, 12, 13);
  loop_options o;
  o.integral_gain = 0.05;
  o.integral_limit.assign(12, 1.0);
  o.soft_start = 3;
  o.deadband = 1e-3;
  o.noise_floor = 1e-5;
  o.limits = {std::vector<double>(12, -10.0), std::vector<double>(12, 10.0),
              std::vector<double>(12, 0.05)};
  o.monitor_min.assign(30, -50.0);
  o.monitor_max.assign(30, 50.0);
  o.saturation_cycles = 2;
  orbit_loop loop = make_loop(r, o);
  machine beam{r, r * arma::randn(12), 1e-6};
  std::vector<double> c(12, 0.0), delta(12);
  bool seen[5] = {};
  long during = 0;
  // Limited, then applied, refused once, down into the dead-band; then the
  // machine turns round and the loop holds.
  for (int k = 0; k < 140; ++k) {
    if (k == 100) beam.response = -r, beam.orbit += r * arma::randn(12);
    std::vector<double> readings = beam.read(c);
    if (k == 50) readings[7] = kNaN;
    const long before = allocations.load();
    const step_outcome out =
        loop.step(readings.data(), 30, c.data(), 12, delta.data(), 12);
    during += allocations.load() - before;
    seen[static_cast<int>(out.status)] = true;
    for (int j = 0; j < 12; ++j) c[j] += delta[j];
  }
  EXPECT_EQ(during, 0);
  for (int s = 0; s < 5; ++s) {
    EXPECT_TRUE(seen[s]) << status_name(static_cast<loop_status>(s));
  }
}

TEST(OrbitLoop, CreateRefusesNamingTheOption) {
  const arma::mat r = random_response(3, 2, 14);
  struct {
    void (*change)(loop_options&);
    const char* names;
  } cases[] = {
      {[](loop_options& o) { o.gain = 2.0; }, "gain 2 is not within (0, 2)"},
      {[](loop_options& o) { o.gain = kNaN; }, "gain nan"},
      {[](loop_options& o) { o.integral_gain = -1; }, "integral gain -1"},
      {[](loop_options& o) { o.deadband = kInf; }, "dead-band inf"},
      {[](loop_options& o) { o.stale_cycles = -1; }, "stale cycles -1"},
      {[](loop_options& o) {
         o.reference = {0, kNaN, 0};
       },
       "monitor 1: reference nan"},
      {[](loop_options& o) {
         o.reference = {0, 0};
       },
       "reference: 2 values for 3 monitors"},
      {[](loop_options& o) {
         o.integral_limit = {1, -1};
       },
       "corrector 1: integral limit -1"},
      {[](loop_options& o) {
         o.monitor_min = {0, 2, 0}, o.monitor_max = {1, 1, 1};
       },
       "monitor 1: range [2, 1]"},
      {[](loop_options& o) {
         o.monitor_mask = {true, true, true};
       },
       "every monitor is left out"},
      {[](loop_options& o) {
         o.limits.lower = {0, 3}, o.limits.upper = {1, 1};
       },
       "corrector 1: lower limit 3 above upper limit 1"},
  };
  for (const auto& t : cases) {
    loop_options o;
    t.change(o);
    const auto loop = orbit_loop::create(to_matrix(arma::pinv(r)), o);
    ASSERT_FALSE(loop.ok()) << t.names;
    EXPECT_NE(loop.error().message.find(t.names), std::string::npos)
        << loop.error().message;
  }
  loop_options zero_limit;
  zero_limit.integral_limit = {0.0, 0.0};  // no integral term, and allowed
  EXPECT_TRUE(orbit_loop::create(to_matrix(arma::pinv(r)), zero_limit).ok());
  zub_feedback::matrix bad = to_matrix(arma::pinv(r));
  bad(1, 2) = kInf;
  EXPECT_FALSE(orbit_loop::create(bad, {}).ok());
  EXPECT_FALSE(orbit_loop::create(zub_feedback::matrix(), {}).ok());
}

}  // namespace
