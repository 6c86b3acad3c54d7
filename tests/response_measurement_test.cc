// The measurement of a response matrix driven as a server drives it, on a
// simulated linear machine: the protocol, the machine left as it was, the
// matrix and its error bars, and refused orbits that change nothing.
#include "response_measurement.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <limits>
#include <string>
#include <vector>

namespace {

using zub_feedback::error_code;
using zub_feedback::matrix;
using zub_feedback::measured_response;
using zub_feedback::measurement_action;
using zub_feedback::measurement_settings;
using zub_feedback::response_measurement;

constexpr std::size_t kNever = std::numeric_limits<std::size_t>::max();

// orbit_i = 0.3 i + sum_j R(i, j) (c_j − base_j), plus ±sigma alternating
// from one read to the next, and 1000 more while a setting settles (the
// first `settle` reads after a change), which an orbit counted too early
// shows at once.
class machine {
 public:
  machine(std::size_t monitors, std::size_t correctors, std::size_t settle,
          double sigma)
      : r_(monitors, correctors),
        base_(correctors),
        setting_(correctors),
        settle_(settle),
        sigma_(sigma) {
    for (std::size_t j = 0; j < correctors; ++j) {
      base_[j] = setting_[j] = 10.0 + static_cast<double>(j);
      for (std::size_t i = 0; i < monitors; ++i) {
        r_(i, j) = std::sin(1.0 + static_cast<double>(i + 2 * j));
      }
    }
  }

  std::vector<double> read() {
    std::vector<double> orbit(r_.rows());
    const double noise = reads_++ % 2 ? sigma_ : -sigma_;
    const double transient = since_change_++ < settle_ ? 1000.0 : 0.0;
    for (std::size_t i = 0; i < orbit.size(); ++i) {
      orbit[i] = 0.3 * static_cast<double>(i) + noise + transient;
      for (std::size_t j = 0; j < base_.size(); ++j) {
        orbit[i] += r_(i, j) * (setting_[j] - base_[j]);
      }
    }
    return orbit;
  }
  void apply(const measurement_action& a) {
    setting_[a.corrector] = base_[a.corrector] + a.offset;
    since_change_ = 0;
  }
  const matrix& response() const { return r_; }
  const std::vector<double>& base() const { return base_; }
  const std::vector<double>& setting() const { return setting_; }

 private:
  matrix r_;
  std::vector<double> base_, setting_;
  std::size_t settle_;
  double sigma_;
  std::size_t reads_ = 0;
  std::size_t since_change_ = kNever;
};

// A caller's mistake made once, at one cycle, before that cycle's orbit.
enum class fault { none, nan, infinity, short_orbit, early_next, unasked };

struct measurement_case {
  std::size_t monitors, correctors;
  std::vector<double> kicks;
  std::size_t settle, orbits;
  double sigma;
  fault mistake;
  std::size_t at_cycle;
  std::size_t at_monitor;
};

struct run {
  std::vector<measurement_action> actions;
  std::size_t orbits_counted = 0;
  std::vector<double> final_setting;
  measured_response measured;
};

// The server's cycle of response_measurement.h, until done.
void drive(const measurement_case& c, machine& mc, bool with_fault, run& out) {
  measurement_settings s;
  s.monitors = c.monitors;
  s.correctors = c.correctors;
  s.kicks = c.kicks;
  s.settle_cycles = c.settle;
  s.orbits = c.orbits;
  response_measurement m = response_measurement::create(s).value();
  for (std::size_t cycle = 0; !m.done(); ++cycle) {
    if (cycle > 10000) {
      ADD_FAILURE() << "the measurement does not end";
      break;
    }
    std::vector<double> orbit = mc.read();
    if (with_fault && cycle == c.at_cycle) {
      std::vector<double> bad = orbit;
      zub_feedback::status refused;
      switch (c.mistake) {
        case fault::nan:
        case fault::infinity:
          bad[c.at_monitor] = c.mistake == fault::nan
                                  ? std::nan("")
                                  : -std::numeric_limits<double>::infinity();
          refused = m.add_orbit(bad.data(), bad.size());
          ASSERT_FALSE(refused.ok());
          EXPECT_EQ(refused.error().code, error_code::not_finite);
          EXPECT_NE(refused.error().message.find(
                        "monitor " + std::to_string(c.at_monitor) + " "),
                    std::string::npos)
              << refused.error().message;
          EXPECT_NE(refused.error().message.find(
                        "corrector " +
                        std::to_string(out.actions.back().corrector) + " "),
                    std::string::npos)
              << refused.error().message;
          break;
        case fault::short_orbit:
          refused = m.add_orbit(orbit.data(), orbit.size() - 1);
          ASSERT_FALSE(refused.ok());
          EXPECT_EQ(refused.error().code, error_code::shape_mismatch);
          break;
        case fault::early_next: {
          ASSERT_TRUE(m.wants_orbit());
          const auto early = m.next();
          ASSERT_FALSE(early.ok());
          EXPECT_EQ(early.error().code, error_code::bad_argument);
          break;
        }
        case fault::unasked:
          ASSERT_FALSE(m.wants_orbit());
          refused = m.add_orbit(orbit.data(), orbit.size());
          ASSERT_FALSE(refused.ok());
          EXPECT_EQ(refused.error().code, error_code::bad_argument);
          break;
        case fault::none:
          break;
      }
      EXPECT_FALSE(m.response().ok()) << "a matrix before the end";
    }
    if (m.wants_orbit()) {
      const zub_feedback::status fed = m.add_orbit(orbit.data(), orbit.size());
      EXPECT_TRUE(fed.ok()) << fed.error().message;
      ++out.orbits_counted;
    }
    while (!m.wants_orbit() && !m.done()) {
      const measurement_action a = m.next().value();
      EXPECT_FALSE(a.done);
      out.actions.push_back(a);
      mc.apply(a);
    }
  }
  out.final_setting = mc.setting();
  out.measured = m.response().value();
  EXPECT_TRUE(m.next().value().done);
  EXPECT_FALSE(m.add_orbit(mc.read().data(), c.monitors).ok());
}

class Measurement : public ::testing::TestWithParam<measurement_case> {};

TEST_P(Measurement, MovesEachCorrectorBothWaysAndBackAndGivesTheMatrix) {
  const measurement_case& c = GetParam();
  machine mc(c.monitors, c.correctors, c.settle, c.sigma);
  run r;
  drive(c, mc, true, r);
  if (HasFatalFailure()) return;

  ASSERT_EQ(r.actions.size(), 3 * c.correctors);
  for (std::size_t j = 0; j < c.correctors; ++j) {
    const double kick = c.kicks.size() == 1 ? c.kicks[0] : c.kicks[j];
    const double offsets[] = {kick, -kick, 0.0};
    for (std::size_t p = 0; p < 3; ++p) {
      const measurement_action& a = r.actions[3 * j + p];
      EXPECT_EQ(a.corrector, j);
      EXPECT_EQ(a.offset, offsets[p]) << "corrector " << j << " step " << p;
      EXPECT_EQ(a.skip, p < 2 ? c.settle : 0u);
      EXPECT_EQ(a.take, p < 2 ? c.orbits : 0u);
    }
  }
  EXPECT_EQ(r.final_setting, mc.base());
  EXPECT_EQ(r.orbits_counted, 2 * c.correctors * (c.settle + c.orbits));
  const bool orbit_fault =
      c.mistake != fault::none && c.mistake != fault::early_next;
  EXPECT_EQ(r.measured.refused_orbits, orbit_fault ? 1u : 0u);
  EXPECT_EQ(r.measured.settings.kicks.size(), c.correctors);

  // Alternating ±sigma over an even count: each mean is exact, each sample
  // variance n sigma² / (n − 1); the element's error is the two means'
  // errors added in quadrature over 2|δ|.
  const double n = static_cast<double>(c.orbits);
  for (std::size_t i = 0; i < c.monitors; ++i) {
    for (std::size_t j = 0; j < c.correctors; ++j) {
      const double kick = c.kicks.size() == 1 ? c.kicks[0] : c.kicks[j];
      const double want_error = std::sqrt(2.0 * c.sigma * c.sigma / (n - 1.0)) /
                                (2 * std::fabs(kick));
      // The orbits are a few units: rounding of some ulps, over 2δ.
      EXPECT_NEAR(r.measured.response(i, j), mc.response()(i, j),
                  1e-12 / std::fabs(kick))
          << i << ", " << j;
      EXPECT_NEAR(r.measured.standard_error(i, j), want_error,
                  1e-9 * want_error)
          << i << ", " << j;
    }
  }

  // The mistake changed nothing: the same run without it, bit for bit.
  if (c.mistake != fault::none) {
    machine clean(c.monitors, c.correctors, c.settle, c.sigma);
    run want;
    drive(c, clean, false, want);
    EXPECT_EQ(r.measured.response, want.measured.response);
    EXPECT_EQ(r.measured.standard_error, want.measured.standard_error);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Protocol, Measurement,
    ::testing::Values(
        measurement_case{3, 2, {0.5}, 0, 2, 0.0, fault::none, 0, 0},
        measurement_case{4, 3, {0.25, -1.0, 2.0}, 2, 4, 0.01, fault::nan, 5, 2},
        measurement_case{5, 2, {1e-3}, 3, 6, 1e-4, fault::infinity, 20, 0},
        measurement_case{2, 2, {0.1}, 1, 2, 0.5, fault::short_orbit, 7, 0},
        measurement_case{2, 3, {0.1}, 1, 4, 0.5, fault::early_next, 3, 0},
        measurement_case{3, 1, {1.0}, 0, 3, 0.0, fault::unasked, 0, 0}));

// ---------------------------------------------------------------- abort

TEST(MeasurementAbort, PutsBackTheCorrectorThatIsAway) {
  // 2 correctors, settle 1, 2 orbits: each ± setting takes 3 cycles after
  // the one that set it; after 13 cycles both are back.
  struct stop {
    std::size_t after_cycles;
    bool moved;
    std::size_t corrector;
  };
  for (const stop& s : {stop{0, false, 0}, stop{1, true, 0}, stop{4, true, 0},
                        stop{7, true, 1}, stop{13, false, 0}}) {
    SCOPED_TRACE(s.after_cycles);
    machine mc(2, 2, 1, 0.0);
    response_measurement m =
        response_measurement::create({2, 2, {0.5}, 1, 2}).value();
    for (std::size_t cycle = 0; cycle < s.after_cycles; ++cycle) {
      const std::vector<double> orbit = mc.read();
      if (m.wants_orbit()) {
        ASSERT_TRUE(m.add_orbit(orbit.data(), 2).ok());
      }
      while (!m.wants_orbit() && !m.done()) mc.apply(m.next().value());
    }
    const measurement_action a = m.abort();
    EXPECT_EQ(a.done, !s.moved);
    if (s.moved) {
      EXPECT_EQ(a.corrector, s.corrector);
      EXPECT_EQ(a.offset, 0.0);
      mc.apply(a);
    }
    EXPECT_EQ(mc.setting(), mc.base());
    const bool finished = s.after_cycles == 13;
    EXPECT_TRUE(m.done() && !m.wants_orbit());
    EXPECT_EQ(m.aborted(), !finished);
    EXPECT_TRUE(m.next().value().done);
    EXPECT_TRUE(m.abort().done);
    EXPECT_EQ(m.response().ok(), finished);
  }
}

// ---------------------------------------------------------------- settings

TEST(MeasurementSettings, RefusesWhatCannotBeMeasured) {
  const double kNaN = std::numeric_limits<double>::quiet_NaN();
  struct bad {
    measurement_settings settings;
    error_code code;
  };
  for (const bad& b : {
           bad{{0, 2, {1.0}, 0, 2}, error_code::bad_argument},
           bad{{2, 0, {1.0}, 0, 2}, error_code::bad_argument},
           bad{{2, 3, {1.0, 2.0}, 0, 2}, error_code::shape_mismatch},
           bad{{2, 2, {}, 0, 2}, error_code::shape_mismatch},
           bad{{2, 2, {1.0, 0.0}, 0, 2}, error_code::bad_argument},
           bad{{2, 2, {kNaN}, 0, 2}, error_code::not_finite},
           bad{{2, 1, {HUGE_VAL}, 0, 2}, error_code::not_finite},
           bad{{2, 2, {1.0}, 0, 1}, error_code::bad_argument},
       }) {
    const auto m = response_measurement::create(b.settings);
    ASSERT_FALSE(m.ok());
    EXPECT_EQ(m.error().code, b.code) << m.error().message;
  }
  EXPECT_TRUE(response_measurement::create({1, 1, {-1e-6}, 0, 2}).ok());
}

}  // namespace
