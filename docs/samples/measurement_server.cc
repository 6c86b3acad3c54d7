// A server that measures its response matrix, one orbit per cycle.
#include <zub_feedback/core.h>

#include <cstddef>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace zf = zub_feedback;

class matrix_measurement {
 public:
  // An operator starts it; `correctors` are the setpoints now, the bases.
  zf::status start(std::size_t monitors, const std::vector<double>& correctors,
                   double kick) {
    zf::measurement_settings s;
    s.monitors = monitors;
    s.correctors = correctors.size();
    s.kicks = {kick};
    s.settle_cycles = 3;  // power supplies and eddy currents: 3 cycles
    s.orbits = 10;
    auto created = zf::response_measurement::create(std::move(s));
    if (!created) return created.error();
    measurement_.emplace(std::move(created).value());
    base_ = correctors;
    return {};
  }

  // Every cycle, after the orbit was read: may move one or two correctors.
  void cycle(const double* orbit, std::size_t monitors,
             std::vector<double>& correctors) {
    if (!measurement_) return;
    zf::response_measurement& m = *measurement_;
    if (m.wants_orbit()) {
      const zf::status fed = m.add_orbit(orbit, monitors);
      // Not counted: the procedure waits for the next orbit.
      if (!fed) last_refusal_ = fed.error().message;
    }
    while (!m.wants_orbit() && !m.done()) {
      const zf::measurement_action a = m.next().value();
      correctors[a.corrector] = base_[a.corrector] + a.offset;
    }
  }

  // An operator's stop: the corrector that is away goes back.
  void stop(std::vector<double>& correctors) {
    if (!measurement_) return;
    const zf::measurement_action a = measurement_->abort();
    if (!a.done) correctors[a.corrector] = base_[a.corrector] + a.offset;
  }

  bool running() const { return measurement_ && !measurement_->done(); }
  // The matrix and its error bars once done; a refusal before.
  zf::result<zf::measured_response> measured() const {
    if (!measurement_) {
      zf::refusal idle;
      idle.message = "no measurement was started";
      return idle;
    }
    return measurement_->response();
  }
  const std::string& last_refusal() const { return last_refusal_; }

 private:
  std::optional<zf::response_measurement> measurement_;
  std::vector<double> base_;
  std::string last_refusal_;
};
