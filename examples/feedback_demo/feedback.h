// The feedback: each cycle the monitors are read and the library's loop
// (zub_feedback::orbit_loop) checks the readings, computes the correctors'
// change from the server's inverse, shortens it to the correctors' limits
// and holds when the orbit keeps growing; the demo applies the change and
// acts on what the loop refused.
#ifndef ZUB_DEMO_FEEDBACK_H
#define ZUB_DEMO_FEEDBACK_H

#include <string>
#include <utility>
#include <vector>

#include "machine.h"
#include "options.h"
#include "server.h"
#include "zub_feedback/feedback_loop.h"

namespace demo {

struct feedback_result {
  std::vector<double> first;  // readings at iteration 0, mm
  std::vector<double> last;   // the last readings, mm
  std::vector<bool> used_at_start;
  int done = 0;         // iterations done
  std::string stopped;  // why the feedback stopped early, or ""
  int held_at = 0;      // the iteration at which the loop held; 0: never
  std::string hold_reason;
  // Iterations were done with an inverse that keeps no singular value: the
  // feedback corrected nothing.
  bool corrected_nothing = false;
  std::vector<double> rms_history;              // mm, at iterations 0, 1, ...
  std::vector<std::pair<int, int>> exclusions;  // (iteration, monitor)
  bool failed() const {
    return held_at > 0 || !stopped.empty() || corrected_nothing;
  }
};

// Runs the feedback for o.iterations, printing a line per iteration and
// storing one message per iteration in the server's history.
feedback_result run_feedback(const options& o, feedback_server& server,
                             simulated_machine& machine);

}  // namespace demo

#endif  // ZUB_DEMO_FEEDBACK_H
