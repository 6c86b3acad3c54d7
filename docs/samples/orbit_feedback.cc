// A server in a few lines: the demo's feedback, less the simulation.
#include <cstdio>

#include "zub_feedback.h"

// One orbit feedback on a location of the server: 24 monitors, 12 correctors.
class orbit_feedback {
 public:
  static constexpr int kMonitors = 24;
  static constexpr int kCorrectors = 12;

  explicit orbit_feedback(EqFct* location)
      : response_("RESPONSE_MATRIX", kMonitors, kCorrectors, location),
        inverse_("INVERSE", kCorrectors, kMonitors, location),
        spectrum_("SINGULAR_VALUES", kCorrectors, location),
        history_("HISTORY", 100, location),
        deviations_("DEVIATIONS", kMonitors, 1, location),
        changes_("CHANGES", kCorrectors, 1, location) {}

  // At start-up and whenever an operator loads a new matrix.
  bool load(const char* path) {
    if (!response_.load_file(path)) return false;  // the old matrix stays
    float tol = -1.0f;  // the library derives the tolerance and returns it
    int kept = 0;
    response_.invert(inverse_, spectrum_, &tol, &kept);
    char text[128];
    std::snprintf(text, sizeof text, "loaded %s: %d of %d singular values kept",
                  path, kept, kCorrectors);
    history_.store(text);
    return true;
  }

  // Every cycle: monitor deviations (mm) in, corrector changes (mrad) out.
  void cycle(const float (&orbit)[kMonitors], float gain,
             float (&change)[kCorrectors]) {
    for (int i = 0; i < kMonitors; ++i) {
      deviations_.set_value(orbit[i], i, 0, -1, -1, -1, -1);
    }
    inverse_.multiply(deviations_, changes_);
    for (int j = 0; j < kCorrectors; ++j) {
      change[j] = -gain * changes_.value(j, 0, -1, -1, -1, -1);
    }
  }

 private:
  MDFA_ResponseMatrix response_;
  MDFA_ResponseMatrix inverse_;
  K_spectrum spectrum_;
  K_ringbuf history_;
  MDFA_ResponseMatrix deviations_;
  MDFA_ResponseMatrix changes_;
};
