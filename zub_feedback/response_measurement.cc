// The bipolar measurement of a response matrix; see response_measurement.h.
#include "response_measurement.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <utility>

namespace zub_feedback {
namespace {

enum phase : std::size_t { kPlus = 0, kMinus = 1, kRestore = 2 };

refusal refuse(error_code code, std::string message) {
  refusal r;
  r.code = code;
  r.message = std::move(message);
  return r;
}

std::string count(std::size_t n) { return std::to_string(n); }

std::string number(double v) {
  char text[32];
  std::snprintf(text, sizeof text, "%+g", v);
  return text;
}

}  // namespace

result<response_measurement> response_measurement::create(
    measurement_settings settings) {
  if (settings.monitors == 0 || settings.correctors == 0) {
    return refuse(error_code::bad_argument,
                  "a measurement of " + count(settings.monitors) +
                      " monitors and " + count(settings.correctors) +
                      " correctors");
  }
  if (settings.kicks.size() == 1) {
    settings.kicks.assign(settings.correctors, settings.kicks[0]);
  }
  if (settings.kicks.size() != settings.correctors) {
    return refuse(error_code::shape_mismatch,
                  count(settings.kicks.size()) + " kicks for " +
                      count(settings.correctors) + " correctors");
  }
  for (std::size_t j = 0; j < settings.correctors; ++j) {
    const double kick = settings.kicks[j];
    if (!std::isfinite(kick)) {
      return refuse(error_code::not_finite,
                    "the kick of corrector " + count(j) + " is not finite");
    }
    if (kick == 0.0) {
      return refuse(error_code::bad_argument,
                    "the kick of corrector " + count(j) + " is 0");
    }
  }
  if (settings.orbits < 2) {
    return refuse(error_code::bad_argument,
                  count(settings.orbits) +
                      " orbits per setting: an error bar needs at least 2");
  }
  return response_measurement(std::move(settings));
}

response_measurement::response_measurement(measurement_settings settings)
    : settings_(std::move(settings)),
      mean_(settings_.monitors),
      m2_(settings_.monitors),
      plus_mean_(settings_.monitors),
      plus_m2_(settings_.monitors),
      response_(settings_.monitors, settings_.correctors),
      error_(settings_.monitors, settings_.correctors) {}

bool response_measurement::done() const {
  return aborted_ || (step_ == total_steps() && !wants_orbit());
}

result<measurement_action> response_measurement::next() {
  if (done()) {
    measurement_action finished;
    finished.done = true;
    return finished;
  }
  if (wants_orbit()) {
    return refuse(error_code::bad_argument,
                  "next() while corrector " + count((step_ - 1) / 3) +
                      " still wants " + count(skip_left_ + take_left_) +
                      " orbits");
  }
  measurement_action a;
  a.corrector = step_ / 3;
  const double kick = settings_.kicks[a.corrector];
  switch (step_ % 3) {
    case kPlus:
      a.offset = kick;
      break;
    case kMinus:
      a.offset = -kick;
      break;
    default:
      a.offset = 0.0;
  }
  if (step_ % 3 != kRestore) {
    a.skip = settings_.settle_cycles;
    a.take = settings_.orbits;
  }
  skip_left_ = a.skip;
  take_left_ = a.take;
  taken_ = 0;
  ++step_;
  return a;
}

status response_measurement::add_orbit(const double* orbit, std::size_t size) {
  if (!wants_orbit()) {
    ++refused_;
    return refuse(error_code::bad_argument,
                  done() ? "an orbit after the measurement's end"
                         : "an orbit that no setting waits for");
  }
  const std::size_t j = (step_ - 1) / 3;
  if (size != settings_.monitors) {
    ++refused_;
    return refuse(error_code::shape_mismatch,
                  "an orbit of " + count(size) + " values for " +
                      count(settings_.monitors) + " monitors");
  }
  // All checked before anything is counted, so that a refused orbit leaves
  // the averages as they were.
  for (std::size_t i = 0; i < size; ++i) {
    if (!std::isfinite(orbit[i])) {
      ++refused_;
      const double offset =
          (step_ - 1) % 3 == kPlus ? settings_.kicks[j] : -settings_.kicks[j];
      return refuse(error_code::not_finite,
                    "monitor " + count(i) + " reads " +
                        (std::isnan(orbit[i]) ? "NaN" : "an infinity") +
                        " with corrector " + count(j) + " at " +
                        number(offset) + ": orbit not counted");
    }
  }
  if (skip_left_ > 0) {
    --skip_left_;
    return {};
  }
  ++taken_;
  const double k = static_cast<double>(taken_);
  for (std::size_t i = 0; i < size; ++i) {
    const double d = orbit[i] - mean_[i];
    mean_[i] += d / k;
    m2_[i] += d * (orbit[i] - mean_[i]);
  }
  if (--take_left_ == 0) finish_setting();
  return {};
}

// The averaged orbits of one setting are complete: those of +δ wait for
// −δ's, which then give the corrector's column.
void response_measurement::finish_setting() {
  const std::size_t j = (step_ - 1) / 3;
  if ((step_ - 1) % 3 == kPlus) {
    plus_mean_.swap(mean_);
    plus_m2_.swap(m2_);
  } else {
    const double n = static_cast<double>(settings_.orbits);
    const double two_kicks = 2.0 * settings_.kicks[j];
    for (std::size_t i = 0; i < settings_.monitors; ++i) {
      response_(i, j) = (plus_mean_[i] - mean_[i]) / two_kicks;
      // The variance of each mean is the sample variance over n.
      const double variance = (plus_m2_[i] + m2_[i]) / ((n - 1.0) * n);
      error_(i, j) = std::sqrt(variance) / std::fabs(two_kicks);
    }
  }
  std::fill(mean_.begin(), mean_.end(), 0.0);
  std::fill(m2_.begin(), m2_.end(), 0.0);
}

measurement_action response_measurement::abort() {
  measurement_action a;
  a.done = true;
  if (done()) return a;  // a finished measurement keeps its matrix
  // A corrector is away from its base between its +δ and its restore.
  if (step_ > 0 && (step_ - 1) % 3 != kRestore) {
    a.done = false;
    a.corrector = (step_ - 1) / 3;
  }
  aborted_ = true;
  skip_left_ = take_left_ = 0;
  return a;
}

result<measured_response> response_measurement::response() const {
  if (aborted_) {
    return refuse(error_code::bad_argument, "the measurement was aborted");
  }
  if (!done()) {
    return refuse(error_code::bad_argument,
                  "the measurement is not finished: " + count(step_) + " of " +
                      count(total_steps()) + " settings made");
  }
  return measured_response{response_, error_, settings_, refused_};
}

}  // namespace zub_feedback
