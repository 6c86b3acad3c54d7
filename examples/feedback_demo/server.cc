#include "server.h"

#include <algorithm>
#include <cmath>

#include "console.h"
#include "orbit.h"
#include "support/file_check.h"
#include "support/format.h"
#include "support/program.h"

namespace demo {

using zub_cli::format;
using zub_cli::refuse;

feedback_server::feedback_server(const options& o,
                                 const zub_cli::library_log& log)
    : o_(o),
      log_(log),
      loc_("FEEDBACK.DEMO"),
      response_("RESPONSE_MATRIX", o.monitors, o.actuators, &loc_),
      inverse_("INVERSE", o.actuators, o.monitors, &loc_),
      spectrum_("SINGULAR_VALUES", std::min(o.monitors, o.actuators), &loc_),
      history_("HISTORY", kHistorySize, &loc_),
      weights_(o.monitors, o.actuators),
      used_(static_cast<size_t>(o.monitors), true),
      requested_tol_(o.tol) {}

void feedback_server::load() {
  zub_cli::measured_file measured = zub_cli::measure_checked(o_.file);
  if (!response_.load_file(o_.file.c_str())) {
    refuse(
        format("%s is not a %d x %d response matrix (give its shape "
               "with --monitors and --actuators)",
               o_.file.c_str(), o_.monitors, o_.actuators));
  }
  zub_cli::confirm_unchanged(o_.file, measured, response_);
}

void feedback_server::leave_out(int i) {
  used_[static_cast<size_t>(i)] = false;
  weights_.set_monitor_weight(i, 0.0f);
}

void feedback_server::invert() {
  // The property's elements copied out, inverted by the core, and the
  // inverse and spectrum written back for the server's clients.
  const zub_feedback::result<zub_cli::inversion_outcome> result =
      weights_.invert(response_matrix(), requested_tol_);
  if (!result) {
    refuse("the response matrix was not inverted: " + result.error().message);
  }
  const zub_cli::inversion_outcome& out = result.value();
  show_inversion(log_, out);
  for (size_t i = 0; i < out.inverse.rows(); ++i) {
    for (size_t j = 0; j < out.inverse.cols(); ++j) {
      inverse_.set_value(static_cast<float>(out.inverse(i, j)),
                         static_cast<int>(i), static_cast<int>(j), -1, -1, -1,
                         -1);
    }
  }
  spectrum_.set_spectrum_length(static_cast<int>(out.singular.size()));
  for (size_t i = 0; i < out.singular.size(); ++i) {
    spectrum_.fill_spectrum(static_cast<int>(i), out.singular[i]);
  }
  sv_.values.assign(out.singular.begin(), out.singular.end());
  sv_.nosv = out.nosv;
  sv_.cutoff = out.cutoff();
  sv_.rounding_level = sv_.values.empty()
                           ? 0.0
                           : zub_cli::float_rounding_level(
                                 sv_.values.front(), o_.monitors, o_.actuators);
  tol_ = out.tol;
  warnings_ = out.warnings;
}

void feedback_server::set_response(const zub_feedback::matrix& r) {
  measured_ = true;
  for (int i = 0; i < response_.rows; ++i) {
    for (int j = 0; j < response_.cols; ++j) {
      response_.set_value(
          static_cast<float>(r(static_cast<size_t>(i), static_cast<size_t>(j))),
          i, j, -1, -1, -1, -1);
    }
  }
}

namespace {

zub_feedback::matrix elements(const MDFA_ResponseMatrix& p) {
  zub_feedback::matrix m(static_cast<size_t>(p.rows),
                         static_cast<size_t>(p.cols));
  for (int i = 0; i < p.rows; ++i) {
    for (int j = 0; j < p.cols; ++j) {
      m(static_cast<size_t>(i), static_cast<size_t>(j)) =
          p.value(i, j, -1, -1, -1, -1);
    }
  }
  return m;
}

}  // namespace

zub_feedback::matrix feedback_server::response_matrix() const {
  return elements(response_);
}

zub_feedback::matrix feedback_server::inverse_matrix() const {
  return elements(inverse_);
}

void feedback_server::print_warnings() const {
  for (const std::string& w : warnings_) zub_cli::warn(kProgram, w);
}

}  // namespace demo
