// The feedback loop: read the monitors, check every reading as a server
// does, correct by inverse x deviations times the gain, and tell a growing
// orbit from a shrinking one.
#ifndef ZUB_DEMO_FEEDBACK_H
#define ZUB_DEMO_FEEDBACK_H

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "machine.h"
#include "options.h"
#include "server.h"

namespace demo {

// The first iteration at which the orbit stood above where it started by
// more than the monitors' noise, over the monitors then in use: a feedback
// that amplifies noise can end on a low sample by chance.
struct growth {
  int iteration = 0;  // 0: none
  double from = 0.0, to = 0.0;
  size_t in_use = 0;
};

struct feedback_result {
  std::vector<double> first;  // readings at iteration 0, mm
  std::vector<double> last;   // the last readings, mm
  std::vector<bool> used_at_start;
  int done = 0;         // iterations done
  std::string stopped;  // why the feedback stopped early, or ""
  growth grew;
  // Iterations were done with an inverse that keeps no singular value: the
  // feedback corrected nothing.
  bool corrected_nothing = false;
  std::vector<double> rms_history;              // mm, at iterations 0, 1, ...
  std::vector<std::pair<int, int>> exclusions;  // (iteration, monitor)
  bool failed() const {
    return grew.iteration > 0 || !stopped.empty() || corrected_nothing;
  }
};

// Runs the feedback for o.iterations, printing a line per iteration and
// storing one message per iteration in the server's history.
feedback_result run_feedback(const options& o, feedback_server& server,
                             simulated_machine& machine);

}  // namespace demo

#endif  // ZUB_DEMO_FEEDBACK_H
