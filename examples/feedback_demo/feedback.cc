#include "feedback.h"

#include <algorithm>
#include <cstdio>
#include <optional>

#include "console.h"
#include "orbit.h"
#include "support/format.h"

namespace demo {

using zub_cli::format;
using zub_feedback::loop_fault;
using zub_feedback::loop_status;
using zub_feedback::orbit_loop;
using zub_feedback::step_outcome;

namespace {

bool reading_fault(loop_fault f) {
  return f == loop_fault::reading_not_finite ||
         f == loop_fault::reading_out_of_range ||
         f == loop_fault::reading_stale;
}

// Every monitor whose reading the loop would refuse. The loop names the
// first only, so a loop without it is asked again, until one takes the
// reading or no monitor is left.
std::vector<std::size_t> refused_monitors(const orbit_loop& loop,
                                          const std::vector<double>& reading,
                                          const std::vector<double>& settings,
                                          std::size_t first) {
  std::vector<std::size_t> out{first};
  zub_feedback::loop_options probe_options = loop.options();
  std::vector<double> delta;
  for (;;) {
    probe_options.monitor_mask[out.back()] = true;
    zub_feedback::result<orbit_loop> probe =
        orbit_loop::create(loop.inverse(), probe_options);
    if (!probe) return out;
    const step_outcome s = probe.value().step(reading, settings, delta);
    if (s.status != loop_status::refused || !reading_fault(s.fault)) return out;
    out.push_back(s.index);
  }
}

std::string monitor_list(const std::vector<std::size_t>& monitors) {
  std::string list;
  for (size_t n = 0; n < monitors.size() && n < 8; ++n) {
    list += (n ? ", " : "") + std::to_string(monitors[n]);
  }
  if (monitors.size() > 8) list += ", ...";
  return list;
}

// The loop's options for the demo's machine: its gain, dead-band and
// corrector limits, the monitors out of use masked, each reading bounded
// by the monitors' range.
zub_feedback::loop_options loop_options_for(const options& o,
                                            const std::vector<bool>& used) {
  const size_t m = static_cast<size_t>(o.monitors);
  const size_t n = static_cast<size_t>(o.actuators);
  zub_feedback::loop_options lo;
  lo.gain = o.gain;
  lo.deadband = o.deadband;
  lo.limits.lower.assign(n, -o.corrector_limit);
  lo.limits.upper.assign(n, o.corrector_limit);
  lo.limits.max_step.assign(n, o.max_step);
  lo.monitor_mask.resize(m);
  for (size_t i = 0; i < m; ++i) lo.monitor_mask[i] = !used[i];
  lo.monitor_min.assign(m, -kMonitorRange);
  lo.monitor_max.assign(m, kMonitorRange);
  // The server knows its monitors' noise. A noiseless simulated monitor
  // may repeat a reading bit for bit without being stuck.
  lo.noise_floor = o.noise;
  if (o.noise == 0) lo.stale_cycles = 0;
  return lo;
}

// What a line of the table says of a step: its status, with the scale and
// the binding correctors when limited, the reason when refused.
std::string describe(const step_outcome& s,
                     const std::vector<std::size_t>& binding) {
  const std::string name = zub_feedback::status_name(s.status);
  switch (s.status) {
    case loop_status::limited: {
      std::string which;
      for (size_t n = 0; n < binding.size() && n < 4; ++n) {
        which += (n ? ", " : "") + std::to_string(binding[n]);
      }
      if (binding.size() > 4) which += ", ...";
      return format("limited, scale %.3g (corrector%s %s)", s.scale,
                    binding.size() == 1 ? "" : "s", which.c_str());
    }
    case loop_status::refused:
      return name + ": " + std::string(s.reason());
    case loop_status::holding:  // its reason says "holding: ..."
      return std::string(s.reason());
    default:
      return name;
  }
}

class cycle_runner {
 public:
  cycle_runner(const options& o, feedback_server& server,
               simulated_machine& machine, feedback_result& r)
      : o_(o), server_(server), machine_(machine), r_(r) {}

  // A loop on the server's inverse and monitors in use; false, with the
  // reason in r.stopped, when the library refuses it.
  bool make_loop(int iteration) {
    zub_feedback::result<orbit_loop> made = orbit_loop::create(
        server_.inverse_matrix(), loop_options_for(o_, server_.used()));
    if (!made) {
      r_.stopped = in_use(server_.used()) == 0
                       ? format(
                             "at iteration %d no monitor is left in use, "
                             "and the feedback stops",
                             iteration)
                       : format(
                             "at iteration %d the loop was refused (%s), "
                             "and the feedback stops",
                             iteration, made.error().message.c_str());
      return false;
    }
    loop_.emplace(std::move(made).value());
    return true;
  }

  // One cycle: read the monitors, step the loop, apply its change.
  void cycle(int it) {
    std::vector<double> x = machine_.read(it);
    const step_outcome s = loop_->step(x, machine_.settings(), delta_);
    std::string status = describe(s, loop_->binding());
    double largest = 0.0;
    if (s.status == loop_status::applied || s.status == loop_status::limited) {
      largest = machine_.change(delta_);
    }
    if (s.status == loop_status::holding && r_.held_at == 0) {
      r_.held_at = it;
      r_.hold_reason = std::string(s.reason());
    } else if (s.status == loop_status::holding) {
      status = "holding";
    }
    if (s.status == loop_status::refused && reading_fault(s.fault)) {
      exclude(it, x, s);
    }
    if (it == 0) r_.used_at_start = server_.used();
    const std::vector<bool>& used = server_.used();
    const double now = rms(x, used);
    const double mx = max_abs(x, used);
    if (it == 0) r_.first = x;
    r_.last = x;
    r_.rms_history.push_back(now);
    std::printf("     %9d  %11s  %11s  %13s  %8zu  %s\n", it,
                number(now, 4).c_str(), number(mx, 4).c_str(),
                number(largest, 5).c_str(), in_use(used), status.c_str());
    server_.history().store(format("iteration %d: orbit rms %s mm, max %s mm, "
                                   "change %s mrad, %s",
                                   it, number(now, 4).c_str(),
                                   number(mx, 4).c_str(),
                                   number(largest, 5).c_str(), status.c_str())
                                .c_str());
  }

 private:
  // A monitor whose reading the loop refused is left out as a server does
  // it: weight 0, the matrix inverted again, a loop on the new inverse.
  // Several at once mean that the orbit itself is out of range.
  void exclude(int it, const std::vector<double>& x, const step_outcome& s) {
    const std::vector<std::size_t> bad =
        refused_monitors(*loop_, x, machine_.settings(), s.index);
    if (bad.size() > 1) {
      r_.stopped = format(
          "at iteration %d, %zu monitors read no beam position (%s): the "
          "orbit is beyond the monitors' range of +-%.0f mm, and the "
          "feedback stops",
          it, bad.size(), monitor_list(bad).c_str(), kMonitorRange);
      return;
    }
    const int i = static_cast<int>(s.index);
    server_.leave_out(i);
    server_.invert();
    const int k = std::min(o_.monitors, o_.actuators);
    std::printf(
        "     %9s  %s: monitor %d left out, matrix inverted again, %d of %d "
        "singular values kept\n",
        "", std::string(s.reason()).c_str(), i, server_.spectrum().nosv, k);
    server_.history().store(format("iteration %d: %s; monitor %d left out, "
                                   "%d of %d singular values kept",
                                   it, std::string(s.reason()).c_str(), i,
                                   server_.spectrum().nosv, k)
                                .c_str());
    r_.exclusions.push_back({it, i});
    server_.print_warnings();
    make_loop(it);
  }

  const options& o_;
  feedback_server& server_;
  simulated_machine& machine_;
  feedback_result& r_;
  std::optional<orbit_loop> loop_;
  std::vector<double> delta_;
};

}  // namespace

feedback_result run_feedback(const options& o, feedback_server& server,
                             simulated_machine& machine) {
  std::printf(
      "\n4. Feedback: the library's loop, gain %.2f, correctors within "
      "+-%.3g mrad, at most %.3g mrad a step\n",
      o.gain, o.corrector_limit, o.max_step);
  std::printf("     %9s  %11s  %11s  %13s  %8s  %s\n", "iteration", "rms orbit",
              "max orbit", "change", "monitors", "loop");
  std::printf("     %9s  %11s  %11s  %13s  %8s\n", "", "mm", "mm", "mrad",
              "in use");
  feedback_result r;
  cycle_runner runner(o, server, machine, r);
  if (!runner.make_loop(0)) return r;
  for (int it = 0; it <= o.iterations && r.stopped.empty(); ++it) {
    runner.cycle(it);
    r.done = it;
  }
  r.corrected_nothing = r.done > 0 && server.spectrum().nosv == 0;
  return r;
}

}  // namespace demo
