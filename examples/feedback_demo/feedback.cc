#include "feedback.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "console.h"
#include "orbit.h"
#include "support/format.h"

namespace demo {

using zub_cli::format;

namespace {

// Reads the monitors and checks every reading as a server does: one
// monitor that reads no beam position is left out and the matrix inverted
// again; several at once mean the orbit itself is out of range.
std::vector<double> read(int iteration, feedback_server& server,
                         simulated_machine& machine, feedback_result& r) {
  const int k = std::min(server.response().rows, server.response().cols);
  K_ringbuf& history = server.history();
  std::vector<double> x = machine.read(iteration);
  const std::vector<int> bad = implausible(x, server.used());
  if (bad.size() == 1) {
    const int i = bad.front();
    const double v = x[static_cast<size_t>(i)];
    const std::string why =
        std::isfinite(v)
            ? format("%.4g mm (beyond +-%.0f mm)", v, kMonitorRange)
            : format("%g (not a number)", v);
    server.leave_out(i);
    server.invert();
    std::printf(
        "     %9s  monitor %d reads %s: left out, matrix inverted again, "
        "%d of %d singular values kept\n",
        "", i, why.c_str(), server.spectrum().nosv, k);
    history.store(format("iteration %d: monitor %d reads %s; left out, "
                         "%d of %d singular values kept",
                         iteration, i, why.c_str(), server.spectrum().nosv, k)
                      .c_str());
    r.exclusions.push_back({iteration, i});
    server.print_warnings();
  } else if (bad.size() > 1) {
    std::string list;
    for (size_t n = 0; n < bad.size() && n < 8; ++n) {
      list += (n ? ", " : "") + std::to_string(bad[n]);
    }
    if (bad.size() > 8) list += ", ...";
    r.stopped = format(
        "at iteration %d, %zu monitors read no beam position (%s): the "
        "orbit is beyond the monitors' range of +-%.0f mm, and the "
        "feedback stops",
        iteration, bad.size(), list.c_str(), kMonitorRange);
  }
  if (in_use(server.used()) == 0) {
    r.stopped = format(
        "at iteration %d no monitor is left in use, and the "
        "feedback stops",
        iteration);
  }
  return x;
}

}  // namespace

feedback_result run_feedback(const options& o, feedback_server& server,
                             simulated_machine& machine) {
  std::printf(
      "\n4. Feedback: deviations x inverse -> corrector changes x "
      "gain %.2f\n",
      o.gain);
  std::printf("     %9s  %11s  %11s  %16s  %8s\n", "iteration", "rms orbit",
              "max orbit", "largest change", "monitors");
  std::printf("     %9s  %11s  %11s  %16s  %8s\n", "", "mm", "mm", "mrad",
              "in use");
  feedback_result r;
  r.first = read(0, server, machine, r);
  r.used_at_start = server.used();
  r.rms_history.push_back(rms(r.first, server.used()));
  std::printf("     %9d  %11s  %11s  %16s  %8zu\n", 0,
              number(rms(r.first, server.used()), 4).c_str(),
              number(max_abs(r.first, server.used()), 4).c_str(), "-",
              in_use(server.used()));
  r.last = r.first;
  for (int it = 1; it <= o.iterations && r.stopped.empty(); ++it) {
    // The correction that cancels the measured orbit, scaled by the gain.
    const double largest = machine.correct(server.correction(r.last));
    r.last = read(it, server, machine, r);
    r.done = it;
    const std::vector<bool>& used = server.used();
    const double now = rms(r.last, used);
    const double mx = max_abs(r.last, used);
    r.rms_history.push_back(now);
    const double at_start = rms(r.first, used);
    if (r.grew.iteration == 0 && r.stopped.empty() &&
        !(now <= at_start + o.noise)) {
      r.grew = {it, at_start, now, in_use(used)};
    }
    std::printf("     %9d  %11s  %11s  %16s  %8zu\n", it,
                number(now, 4).c_str(), number(mx, 4).c_str(),
                number(largest, 5).c_str(), in_use(used));
    server.history().store(format("iteration %d: orbit rms %s mm, max %s mm, "
                                  "largest change %s mrad",
                                  it, number(now, 4).c_str(),
                                  number(mx, 4).c_str(),
                                  number(largest, 5).c_str())
                               .c_str());
  }
  r.corrected_nothing = r.done > 0 && server.spectrum().nosv == 0;
  return r;
}

}  // namespace demo
