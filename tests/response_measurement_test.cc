// The measurement of a response matrix driven as a server drives it, on a
// simulated linear machine: the protocol, the machine left as it was, the
// matrix and its error bars, and mistakes that change nothing.
#include "response_measurement.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <ostream>
#include <string>
#include <vector>

namespace {

using zub_feedback::error_code;
using zub_feedback::measured_response;
using zub_feedback::measurement_action;
using zub_feedback::response_measurement;

// orbit_i = 0.3 i + sum_j R(i, j) (c_j − base_j), ±sigma alternating from
// read to read, and 1000 more while a setting settles (the first `settle`
// reads after a change), which an orbit counted too early shows at once.
struct machine {
  machine(std::size_t monitors, std::size_t correctors, std::size_t settle,
          double sigma)
      : r(monitors, correctors),
        base(correctors),
        settle(settle),
        sigma(sigma) {
    for (std::size_t j = 0; j < correctors; ++j) {
      base[j] = 10.0 + static_cast<double>(j);
      for (std::size_t i = 0; i < monitors; ++i)
        r(i, j) = std::sin(i + 2.0 * j);
    }
    setting = base;
  }
  std::vector<double> read() {
    std::vector<double> orbit(r.rows());
    const double off = (reads++ % 2 ? sigma : -sigma) +
                       (since_change++ < settle ? 1000.0 : 0.0);
    for (std::size_t i = 0; i < orbit.size(); ++i) {
      orbit[i] = 0.3 * static_cast<double>(i) + off;
      for (std::size_t j = 0; j < base.size(); ++j) {
        orbit[i] += r(i, j) * (setting[j] - base[j]);
      }
    }
    return orbit;
  }
  void apply(const measurement_action& a) {
    setting[a.corrector] = base[a.corrector] + a.offset;
    since_change = 0;
  }
  zub_feedback::matrix r;
  std::vector<double> base, setting;
  std::size_t settle;
  double sigma;
  std::size_t reads = 0, since_change = 1u << 30;
};

// A caller's mistake, made once at one cycle before that cycle's orbit.
enum class fault { none, nan, infinity, short_orbit, early_next, unasked };

const char* const kFaultNames[] = {"Clean",      "NaN",       "Infinity",
                                   "ShortOrbit", "EarlyNext", "Unasked"};

struct measurement_case {
  std::size_t monitors, correctors;
  std::vector<double> kicks;
  std::size_t settle, orbits;
  double sigma;
  fault mistake;
  std::size_t at_cycle, at_monitor;
};

void PrintTo(const measurement_case& c, std::ostream* os) {
  *os << kFaultNames[static_cast<int>(c.mistake)];
}

// The server's cycle of response_measurement.h, until done.
void drive(const measurement_case& c, bool with_fault, machine& mc,
           std::vector<measurement_action>& actions, measured_response& out) {
  response_measurement m =
      response_measurement::create(
          {c.monitors, c.correctors, c.kicks, c.settle, c.orbits})
          .value();
  for (std::size_t cycle = 0; !m.done(); ++cycle) {
    ASSERT_LT(cycle, 10000u) << "the measurement does not end";
    std::vector<double> orbit = mc.read();
    orbit.push_back(std::nan(""));  // beyond the orbit: never read
    const std::size_t size = c.monitors;
    if (with_fault && c.mistake != fault::none && cycle == c.at_cycle) {
      std::vector<double> bad = orbit;
      bad[c.at_monitor] = c.mistake == fault::nan ? std::nan("") : -HUGE_VAL;
      const zub_feedback::status refused =
          c.mistake == fault::early_next
              ? zub_feedback::status(m.next().error())
          : c.mistake == fault::short_orbit
              ? m.add_orbit(orbit.data(), size - 1)
              : m.add_orbit(bad.data(), size);
      ASSERT_FALSE(refused.ok());
      const std::string& text = refused.error().message;
      if (c.mistake == fault::nan || c.mistake == fault::infinity) {
        EXPECT_EQ(refused.error().code, error_code::not_finite);
        const auto names = [&](const char* what, std::size_t k) {
          return text.find(what + std::to_string(k) + " ") != text.npos;
        };
        const bool minus = actions.back().offset < 0;
        EXPECT_TRUE(names("monitor ", c.at_monitor) &&
                    names("corrector ", actions.back().corrector) &&
                    text.find(minus ? "at -" : "at +") != text.npos)
            << text;
      }
      EXPECT_EQ(m.wants_orbit(), c.mistake != fault::unasked) << text;
    }
    if (m.wants_orbit()) {
      ASSERT_TRUE(m.add_orbit(orbit.data(), size));
    }
    while (!m.wants_orbit() && !m.done()) {
      EXPECT_FALSE(m.response().ok()) << "a matrix before the end";
      actions.push_back(m.next().value());
      mc.apply(actions.back());
    }
  }
  out = m.response().value();
  EXPECT_TRUE(m.next().value().done);
  EXPECT_FALSE(m.add_orbit(mc.read().data(), c.monitors).ok());
}

class Measurement : public ::testing::TestWithParam<measurement_case> {};

TEST_P(Measurement, MovesEachCorrectorBothWaysAndBackAndGivesTheMatrix) {
  const measurement_case& c = GetParam();
  machine mc(c.monitors, c.correctors, c.settle, c.sigma);
  std::vector<measurement_action> actions;
  measured_response got;
  ASSERT_NO_FATAL_FAILURE(drive(c, true, mc, actions, got));

  ASSERT_EQ(actions.size(), 3 * c.correctors);
  for (std::size_t s = 0; s < actions.size(); ++s) {
    const std::size_t j = s / 3, phase = s % 3;
    const double kick = c.kicks.size() == 1 ? c.kicks[0] : c.kicks[j];
    EXPECT_EQ(actions[s].corrector, j);
    EXPECT_EQ(actions[s].offset, phase == 0 ? kick : phase == 1 ? -kick : 0.0);
    EXPECT_EQ(actions[s].skip, phase < 2 ? c.settle : 0u);
    EXPECT_EQ(actions[s].take, phase < 2 ? c.orbits : 0u);
  }
  EXPECT_EQ(mc.setting, mc.base);
  EXPECT_EQ(mc.reads, 1 + c.correctors * 2 * (c.settle + c.orbits) + 1);
  const bool orbit_refused =
      c.mistake != fault::none && c.mistake != fault::early_next;
  EXPECT_EQ(got.refused_orbits, orbit_refused ? 1u : 0u);

  // ±sigma alternating over an even count: each mean is exact, each sample
  // variance n sigma² / (n − 1); the element's error is the two means'
  // errors in quadrature over 2|δ|.
  const double n = static_cast<double>(c.orbits);
  for (std::size_t i = 0; i < c.monitors; ++i) {
    for (std::size_t j = 0; j < c.correctors; ++j) {
      const double kick =
          std::fabs(c.kicks.size() == 1 ? c.kicks[0] : c.kicks[j]);
      const double error =
          std::sqrt(2 * c.sigma * c.sigma / (n - 1)) / (2 * kick);
      // Orbits of a few units: rounding of some ulps, over 2δ.
      EXPECT_NEAR(got.response(i, j), mc.r(i, j), 1e-12 / kick);
      EXPECT_NEAR(got.standard_error(i, j), error, 1e-9 * error);
    }
  }
  if (c.mistake != fault::none) {  // the same run without it, bit for bit
    machine clean(c.monitors, c.correctors, c.settle, c.sigma);
    measured_response want;
    actions.clear();
    ASSERT_NO_FATAL_FAILURE(drive(c, false, clean, actions, want));
    EXPECT_EQ(got.response, want.response);
    EXPECT_EQ(got.standard_error, want.standard_error);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Protocol, Measurement,
    ::testing::Values(
        measurement_case{3, 2, {0.5}, 0, 2, 0.0, fault::none, 0, 0},
        measurement_case{4, 3, {0.25, -1.0, 2.0}, 2, 4, 0.01, fault::nan, 8, 2},
        measurement_case{5, 2, {1e-3}, 3, 6, 1e-4, fault::infinity, 20, 0},
        measurement_case{2, 2, {0.1}, 1, 2, 0.5, fault::short_orbit, 7, 0},
        measurement_case{2, 3, {0.1}, 1, 4, 0.5, fault::early_next, 3, 0},
        measurement_case{3, 1, {1.0}, 0, 3, 0.0, fault::unasked, 0, 0}),
    [](const ::testing::TestParamInfo<measurement_case>& info) {
      return std::string(kFaultNames[static_cast<int>(info.param.mistake)]);
    });

TEST(MeasurementAbort, PutsBackTheCorrectorThatIsAway) {
  // 2 correctors, settle 1, 2 orbits: each ± setting takes the cycle that
  // sets it and 3 more; after 13 cycles both are back and it is finished.
  for (const std::size_t stop : {0, 1, 4, 7, 13}) {
    SCOPED_TRACE(stop);
    machine mc(2, 2, 1, 0.0);
    response_measurement m =
        response_measurement::create({2, 2, {0.5}, 1, 2}).value();
    for (std::size_t cycle = 0; cycle < stop; ++cycle) {
      const std::vector<double> orbit = mc.read();
      if (m.wants_orbit()) {
        ASSERT_TRUE(m.add_orbit(orbit.data(), 2));
      }
      while (!m.wants_orbit() && !m.done()) mc.apply(m.next().value());
    }
    const measurement_action a = m.abort();
    EXPECT_EQ(a.done, stop == 0 || stop == 13);
    EXPECT_EQ(a.corrector, stop == 7 ? 1u : 0u);
    if (!a.done) mc.apply(a);
    EXPECT_EQ(mc.setting, mc.base);
    EXPECT_TRUE(m.done() && m.next().value().done && m.abort().done);
    EXPECT_EQ(m.response().ok(), stop == 13);
  }
}

TEST(MeasurementSettings, RefusesWhatCannotBeMeasured) {
  using settings = zub_feedback::measurement_settings;
  const double kNaN = std::numeric_limits<double>::quiet_NaN();
  for (const auto& [s, code] : std::vector<std::pair<settings, error_code>>{
           {{0, 2, {1.0}, 0, 2}, error_code::bad_argument},
           {{2, 0, {1.0}, 0, 2}, error_code::bad_argument},
           {{2, 3, {1.0, 2.0}, 0, 2}, error_code::shape_mismatch},
           {{2, 2, {}, 0, 2}, error_code::shape_mismatch},
           {{2, 2, {1.0, 0.0}, 0, 2}, error_code::bad_argument},
           {{2, 2, {kNaN}, 0, 2}, error_code::not_finite},
           {{2, 1, {HUGE_VAL}, 0, 2}, error_code::not_finite},
           {{2, 2, {1.0}, 0, 1}, error_code::bad_argument}}) {
    const auto m = response_measurement::create(s);
    ASSERT_FALSE(m.ok());
    EXPECT_EQ(m.error().code, code) << m.error().message;
  }
  EXPECT_TRUE(response_measurement::create({1, 1, {-1e-6}, 0, 2}).ok());
}

}  // namespace
