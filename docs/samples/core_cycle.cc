// The numeric core: invert a response matrix once, then turn each orbit
// into corrector changes, without the framework.
#include <algorithm>
#include <cstdio>

#include "zub_feedback/core.h"

int main() {
  // 3 monitors x 2 correctors (mm per mrad), row by row.
  const double values[] = {1.0, 0.5, 0.25, 1.0, 0.0, 0.75};
  zub_feedback::matrix response(3, 2);
  std::copy(values, values + 6, response.data());

  // invert's numbers, with its internal tolerance.
  const auto inverted = zub_feedback::truncated_svd_inverse(response);
  if (!inverted) {
    std::printf("%s", inverted.error().message.c_str());
    return 1;
  }
  const zub_feedback::truncated_svd_result& r = inverted.value();
  std::printf("%d of %zu singular values kept\n", r.kept,
              r.singular_values.size());

  // Every cycle: nothing allocated, nothing logged.
  const double orbit[3] = {0.5, 0.0, 0.25};  // mm
  double change[2];                          // mrad
  const zub_feedback::status applied =
      zub_feedback::apply(r.inverse, orbit, 3, change, 2);
  if (!applied) return 1;
  std::printf("changes %.4f %.4f mrad\n", -change[0], -change[1]);

  // A refusal is a value, with the message the property would log.
  const zub_feedback::status refused =
      zub_feedback::apply(r.inverse, orbit, 2, change, 2);
  std::printf("%s\n", refused.error().message.c_str());
  return 0;
}
