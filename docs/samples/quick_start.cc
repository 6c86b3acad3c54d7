// Load a response matrix, invert it, and turn an orbit into corrector changes.
#include <cstdio>

#include "zub_feedback.h"

int main() {
  EqFct location("ORBIT.FEEDBACK");  // a location of the server
  MDFA_ResponseMatrix response("RESPONSE_MATRIX", 24, 12, &location);
  MDFA_ResponseMatrix inverse("INVERSE", 12, 24, &location);
  K_spectrum spectrum("SINGULAR_VALUES", 12, &location);
  if (!response.load_file("examples/data/beamline_24x12.txt")) return 1;

  float tol = -1.0f;  // -1: the library's own tolerance, written back
  int kept = -1;      // still -1 after the call: nothing was inverted
  response.invert(inverse, spectrum, &tol, &kept);
  if (kept < 0) return 1;
  std::printf("%d of %d singular values kept, tolerance %.2g\n", kept,
              spectrum.spectrum_length(), tol);

  // 0.5 mm at monitor 10: the corrector settings that make it (mrad).
  MDFA_ResponseMatrix orbit("ORBIT", 24, 1, &location);
  MDFA_ResponseMatrix settings("SETTINGS", 12, 1, &location);
  orbit.init(0.0f);
  orbit.set_value(0.5f, 10, 0, -1, -1, -1, -1);
  inverse.multiply(orbit, settings);
  std::printf("corrector 3: %.4f mrad\n", settings.value(3, 0, -1, -1, -1, -1));
  return 0;
}
