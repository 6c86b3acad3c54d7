// Corrector limits: random steps against a checker of the rule itself
// (within the limits, one scale for all, the largest such scale, the right
// correctors named), the refusals, and a checker that a clipping bug fails.
#include "corrector_limits.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "gtest/gtest.h"

namespace {

using zub_feedback::corrector_limits;
using zub_feedback::error_code;
using zub_feedback::limit_step;
using zub_feedback::limited_step;

constexpr double kInf = std::numeric_limits<double>::infinity();

// Whether corrector j ends within its limits after the step x: within
// [lower, upper], or no further out than it already was, and |x| within its
// largest step.
bool allowed(const std::vector<double>& c, const corrector_limits& l,
             std::size_t j, double x) {
  const double end = c[j] + x;
  const double lower = l.lower.empty() ? -kInf : l.lower[j];
  const double upper = l.upper.empty() ? kInf : l.upper[j];
  if (end > upper && end > c[j]) return false;
  if (end < lower && end < c[j]) return false;
  return l.max_step.empty() || std::fabs(x) <= l.max_step[j];
}

std::vector<std::size_t> violators(const std::vector<double>& c,
                                   const std::vector<double>& d,
                                   const corrector_limits& l, double s) {
  std::vector<std::size_t> v;
  for (std::size_t j = 0; j < c.size(); ++j) {
    if (!allowed(c, l, j, s * d[j])) v.push_back(j);
  }
  return v;
}

// What is wrong with `out` as the limited step of d; empty when nothing.
std::string rule_broken(const std::vector<double>& c,
                        const std::vector<double>& d, const corrector_limits& l,
                        const limited_step& out) {
  const double s = out.scale;
  if (!(s >= 0 && s <= 1)) return "scale outside [0, 1]";
  for (std::size_t j = 0; j < c.size(); ++j) {
    if (out.step[j] != s * d[j]) return "not one scale for all correctors";
    if (!allowed(c, l, j, out.step[j])) return "a corrector passes a limit";
  }
  if (s == 1) return out.binding.empty() ? "" : "binding at full scale";
  // Maximal: a slightly larger scale breaks a limit, and each corrector
  // that it breaks is named; each named one breaks at a little more.
  const std::vector<std::size_t> over =
      violators(c, d, l, s * (1 + 1e-10) + 1e-13);
  if (over.empty()) return "a larger scale would do";
  for (std::size_t j : over) {
    if (std::find(out.binding.begin(), out.binding.end(), j) ==
        out.binding.end()) {
      return "corrector " + std::to_string(j) + " binds but is not named";
    }
  }
  const std::vector<std::size_t> further =
      violators(c, d, l, s * (1 + 1e-8) + 1e-12);
  for (std::size_t j : out.binding) {
    if (std::find(further.begin(), further.end(), j) == further.end()) {
      return "corrector " + std::to_string(j) + " named but not binding";
    }
  }
  return "";
}

struct random_case {
  std::vector<double> c, d;
  corrector_limits l;
};

// Settings in [-2, 2], some beyond limits drawn around [-1, 1]; steps of
// either sign, some 0; largest steps from 0 to 2. `which` leaves limits out.
random_case make_case(std::mt19937_64& gen, int which) {
  std::uniform_real_distribution<double> u(0.0, 1.0);
  const std::size_t n = 1 + gen() % 8;
  random_case k;
  for (std::size_t j = 0; j < n; ++j) {
    k.c.push_back(4 * u(gen) - 2);
    const double size = 0.1 + 3 * u(gen);
    k.d.push_back(u(gen) < 0.15 ? 0.0 : (u(gen) < 0.5 ? -size : size));
    k.l.lower.push_back(-1.5 + u(gen));
    k.l.upper.push_back(0.5 + u(gen));
    k.l.max_step.push_back(u(gen) < 0.1 ? 0.0 : 2 * u(gen));
  }
  if (which & 1) k.l.lower.clear();
  if (which & 2) k.l.upper.clear();
  if (which & 4) k.l.max_step.clear();
  return k;
}

// ---------------------------------------- the rule

TEST(LimitStep, RandomStepsKeepTheRule) {
  for (int which = 0; which < 8; ++which) {
    std::mt19937_64 gen(1000 + which);
    int limited = 0;
    for (int trial = 0; trial < 2000; ++trial) {
      const random_case k = make_case(gen, which);
      const auto out = limit_step(k.c, k.d, k.l);
      ASSERT_TRUE(out.ok()) << out.error().message;
      const std::string broken = rule_broken(k.c, k.d, k.l, out.value());
      ASSERT_EQ(broken, "")
          << "limits left out " << which << ", trial " << trial;
      limited += out.value().scale < 1;
    }
    // Every set of limits but none at all shortens some steps.
    if (which != 7) {
      EXPECT_GT(limited, 100) << which;
    }
  }
}

TEST(LimitStep, CorrectorAtOrBeyondALimit) {
  const corrector_limits l{{-1, -1}, {1, 1}, {}};
  struct {
    double c, d, scale;
  } cases[] = {
      {1.0, 0.5, 0.0},   // at the upper limit, outwards: blocked
      {1.5, 0.5, 0.0},   // beyond it, outwards: blocked
      {1.5, -1.0, 1.0},  // beyond it, back: allowed
      {1.5, -5.0, 0.5},  // back, as far as the lower limit
      {-1.0, 0.5, 1.0},  // at the lower limit, inwards
  };
  for (const auto& t : cases) {
    const auto out = limit_step({t.c, 0.0}, {t.d, 0.1}, l);
    ASSERT_TRUE(out.ok());
    EXPECT_EQ(out.value().scale, t.scale) << t.c << " " << t.d;
  }
}

// Both reach their limits at 0.5, though the first's quotient rounds to
// 0.5000000000000001: a tie is named whole.
TEST(LimitStep, NamesBothCorrectorsOfATie) {
  const std::vector<double> c{0.1, 0.0};
  const std::vector<double> d{1.4, 1.0};
  const corrector_limits l{{}, {0.8, 0.5}, {}};
  const auto out = limit_step(c, d, l);
  ASSERT_TRUE(out.ok());
  EXPECT_EQ(rule_broken(c, d, l, out.value()), "");
  EXPECT_EQ(out.value().binding, (std::vector<std::size_t>{0, 1}));
}

// A limiter that clips each corrector over its upper limit to that limit,
// whatever side it left by, is what the checker must reject.
TEST(LimitStep, CheckerRejectsClippingToTheUpperLimit) {
  std::mt19937_64 gen(7);
  int caught = 0;
  for (int trial = 0; trial < 200; ++trial) {
    const random_case k = make_case(gen, 4);
    limited_step clipped{k.d, 1.0, {}};
    for (std::size_t j = 0; j < k.c.size(); ++j) {
      const double end = k.c[j] + k.d[j];
      if (end > k.l.upper[j] || end < k.l.lower[j]) {
        clipped.step[j] = k.l.upper[j] - k.c[j];
      }
    }
    caught += rule_broken(k.c, k.d, k.l, clipped) != "";
  }
  EXPECT_GT(caught, 100);
}

// ---------------------------------------- refusals

TEST(LimitStep, RefusesNamingTheCorrector) {
  const double nan = std::nan("");
  struct {
    std::vector<double> c, d;
    corrector_limits l;
    error_code code;
    const char* names;
  } cases[] = {
      {{0, nan}, {1, 1}, {}, error_code::not_finite, "corrector 1: setting"},
      {{0, 0}, {1, kInf}, {}, error_code::not_finite, "corrector 1: step"},
      {{0, 0},
       {1, 1},
       {{0, nan}, {}, {}},
       error_code::not_finite,
       "corrector 1: lower"},
      {{0, 0},
       {1, 1},
       {{}, {1, nan}, {}},
       error_code::not_finite,
       "corrector 1: upper"},
      {{0, 0},
       {1, 1},
       {{0, 2}, {1, 1}, {}},
       error_code::bad_argument,
       "corrector 1: lower limit 2 above upper limit 1"},
      {{0, 0},
       {1, 1},
       {{kInf, 0}, {}, {}},
       error_code::bad_argument,
       "corrector 0: lower limit inf"},
      {{0, 0},
       {1, 1},
       {{}, {}, {1, -1}},
       error_code::bad_argument,
       "corrector 1: largest step -1"},
      {{0, 0},
       {1, 1},
       {{}, {}, {nan, 1}},
       error_code::not_finite,
       "corrector 0: largest step"},
      {{0, 0},
       {1, 1},
       {{0}, {}, {}},
       error_code::shape_mismatch,
       "lower limits: 1 values for 2"},
      {{0, 0}, {1}, {}, error_code::shape_mismatch, "steps: 1 values for 2"},
  };
  for (const auto& t : cases) {
    const auto out = limit_step(t.c, t.d, t.l);
    ASSERT_FALSE(out.ok()) << t.names;
    EXPECT_EQ(out.error().code, t.code) << t.names;
    EXPECT_NE(out.error().message.find(t.names), std::string::npos)
        << out.error().message;
  }
}

TEST(LimitStep, InPlaceRefusalLeavesTheStep) {
  const std::vector<double> c{0.0, std::nan("")};
  std::vector<double> d{5.0, 5.0};
  std::vector<std::size_t> binding{9};
  const auto s = limit_step(c.data(), d.data(), 2, {{}, {1, 1}, {}}, binding);
  EXPECT_FALSE(s.ok());
  EXPECT_EQ(d, (std::vector<double>{5.0, 5.0}));
  EXPECT_TRUE(binding.empty());
}

}  // namespace
