// The server of docs/api.md with monitor and corrector weights.
#include "zub_feedback.h"

class weighted_orbit_feedback {
 public:
  static constexpr int kMonitors = 24;
  static constexpr int kCorrectors = 12;

  explicit weighted_orbit_feedback(EqFct* location)
      : response_("RESPONSE_MATRIX", kMonitors, kCorrectors, location),
        inverse_("INVERSE", kCorrectors, kMonitors, location),
        spectrum_("SINGULAR_VALUES", kCorrectors, location),
        // Operators edit these: 1 in use, 0 left out, or any weight.
        monitor_weights_("MONITOR_WEIGHTS", kMonitors, 1, location),
        corrector_weights_("CORRECTOR_WEIGHTS", 1, kCorrectors, location),
        weights_("WEIGHTS", kMonitors, kCorrectors, location),
        weights_t_("WEIGHTS_T", kCorrectors, kMonitors, location),
        weighted_("WEIGHTED_RESPONSE", kMonitors, kCorrectors, location),
        deviations_("DEVIATIONS", kMonitors, 1, location),
        changes_("CHANGES", kCorrectors, 1, location) {
    monitor_weights_.init(1.0f);
    corrector_weights_.init(1.0f);
  }

  bool load(const char* path) {
    if (!response_.load_file(path)) return false;  // the old matrix stays
    invert();
    return true;
  }

  // After loading the matrix, and whenever a weight changes.
  int invert() {
    // W = w_m w_a^T: a column times a row.
    monitor_weights_.multiply(corrector_weights_, weights_);
    response_.entrywise_product(weights_, weighted_);  // R o W
    float tol = -1.0f;  // see below before giving one of your own
    int kept = 0;
    weighted_.invert(inverse_, spectrum_, &tol, &kept);  // pinv(R o W)
    weights_.transpose(weights_t_);
    inverse_.entrywise_product(weights_t_, inverse_);  // ... o W^T
    return kept;
  }

  void leave_out_monitor(int i) {
    monitor_weights_.set_value(0.0f, i, 0, -1, -1, -1, -1);
    invert();
  }

  void cycle(const float (&orbit)[kMonitors], float gain,
             float (&change)[kCorrectors]) {
    for (int i = 0; i < kMonitors; ++i) {
      // A monitor left out gets a deviation of 0: its column of the inverse
      // is 0, but 0 x NaN is still NaN.
      const bool used = monitor_weights_.value(i, 0, -1, -1, -1, -1) != 0.0f;
      deviations_.set_value(used ? orbit[i] : 0.0f, i, 0, -1, -1, -1, -1);
    }
    inverse_.multiply(deviations_, changes_);
    for (int j = 0; j < kCorrectors; ++j) {
      change[j] = -gain * changes_.value(j, 0, -1, -1, -1, -1);
    }
  }

 private:
  MDFA_ResponseMatrix response_, inverse_;
  K_spectrum spectrum_;
  MDFA_ResponseMatrix monitor_weights_, corrector_weights_;
  MDFA_ResponseMatrix weights_, weights_t_, weighted_;
  MDFA_ResponseMatrix deviations_, changes_;
};
