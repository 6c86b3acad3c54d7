// The demo's picture, 1000 x 980 px: the singular values and the rms orbit
// against the iteration above, the orbit before and after correction
// below, each on its own scale.
#ifndef ZUB_DEMO_PICTURE_H
#define ZUB_DEMO_PICTURE_H

#include <string>
#include <utility>
#include <vector>

#include "server.h"

namespace demo {

// What the picture shows of a run.
struct run_record {
  std::string title;
  std::string subtitle;
  spectrum_view spectrum;             // of the last inversion
  std::vector<double> before, after;  // readings, mm
  std::vector<bool> used_before;      // monitors in use at iteration 0
  std::vector<bool> used;             // monitors in use at the end
  std::vector<double> rms_history;    // mm, at iterations 0, 1, ...
  double noise = 0.0;                 // mm rms, of a monitor reading
  std::vector<std::pair<int, int>> exclusions;  // (iteration, monitor)
};

std::string make_svg(const run_record& r);

}  // namespace demo

#endif  // ZUB_DEMO_PICTURE_H
