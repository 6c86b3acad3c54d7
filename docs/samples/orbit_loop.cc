// A server's cycle with the orbit loop: the readings in, the changes out,
// and what the step did.
#include <zub_feedback/core.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

int main() {
  using namespace zub_feedback;
  // Two monitors that move 2 and 4 mm per mrad of their corrector.
  matrix inverse(2, 2);
  inverse(0, 0) = 0.5;  // mrad per mm
  inverse(1, 1) = 0.25;
  loop_options options;
  options.gain = 0.5;
  options.limits.max_step = {0.05, 0.05};  // mrad per cycle
  result<orbit_loop> loop = orbit_loop::create(std::move(inverse), options);
  if (!loop) {
    std::printf("%s\n", loop.error().message.c_str());
    return 1;
  }

  std::vector<double> settings{0.0, 0.0}, delta;
  for (int cycle = 0; cycle < 6; ++cycle) {
    std::vector<double> readings{0.3 + 2 * settings[0],
                                 -0.2 + 4 * settings[1]};  // mm
    if (cycle == 4) readings[1] = std::nan("");  // a monitor fails once
    const step_outcome out = loop.value().step(readings, settings, delta);
    const std::string reason(out.reason());
    std::printf("cycle %d: %s, rms %.3f mm, scale %.2f%s%s\n", cycle,
                status_name(out.status), out.rms, out.scale,
                reason.empty() ? "" : ": ", reason.c_str());
    for (std::size_t j = 0; j < settings.size(); ++j) settings[j] += delta[j];
  }
  return 0;
}
