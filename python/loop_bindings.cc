// limit_step and OrbitLoop: the numeric core's corrector limits and orbit
// loop on numpy arrays of float64, as a server's cycle calls them. A refusal
// of the core is a ValueError with its message; a step's outcome is a
// StepResult, never an exception.
#include "loop_bindings.h"

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <string>
#include <utility>
#include <vector>

#include "arrays.h"
#include "corrector_limits.h"
#include "feedback_loop.h"

namespace py = pybind11;

namespace zub_python {

namespace {

using zub_feedback::orbit_loop;

zub_feedback::corrector_limits limits_of(const py::handle& lower,
                                         const py::handle& upper,
                                         const py::handle& max_step) {
  return {as_vector(lower, "lower"), as_vector(upper, "upper"),
          as_vector(max_step, "max_step")};
}

py::tuple limit_step(const py::handle& current, const py::handle& step,
                     const py::handle& lower, const py::handle& upper,
                     const py::handle& max_step) {
  const auto out = zub_feedback::limit_step(as_vector(current, "current"),
                                            as_vector(step, "step"),
                                            limits_of(lower, upper, max_step));
  if (!out) throw py::value_error(out.error().message);
  return py::make_tuple(to_double_array(out.value().step), out.value().scale,
                        to_index_array(out.value().binding));
}

struct step_result {
  py::array_t<double> delta;
  std::string status;
  double scale = 1.0;
  std::string reason;
  double rms = 0.0;
  py::object index = py::none();
  py::array_t<py::ssize_t> binding;
};

step_result step(orbit_loop& loop, const py::handle& readings,
                 const py::handle& settings) {
  const doubles r = real_doubles(readings, "readings", 1);
  const doubles c = real_doubles(settings, "settings", 1);
  step_result out;
  out.delta = py::array_t<double>(c.size());
  const zub_feedback::step_outcome o =
      loop.step(r.data(), static_cast<std::size_t>(r.size()), c.data(),
                static_cast<std::size_t>(c.size()), out.delta.mutable_data(),
                static_cast<std::size_t>(out.delta.size()));
  out.status = zub_feedback::status_name(o.status);
  out.scale = o.scale;
  out.reason = std::string(o.reason());
  out.rms = o.rms;
  using zub_feedback::loop_fault;
  if (o.fault != loop_fault::none && o.fault != loop_fault::wrong_size &&
      o.fault != loop_fault::diverging) {
    out.index = py::int_(o.index);
  }
  out.binding = to_index_array(loop.binding());
  return out;
}

orbit_loop make_loop(const py::handle& inverse, double gain,
                     const py::handle& lower, const py::handle& upper,
                     const py::handle& max_step, const py::handle& reference,
                     double integral_gain, const py::handle& integral_limit,
                     double deadband, int soft_start,
                     const py::handle& monitor_mask,
                     const py::handle& monitor_min,
                     const py::handle& monitor_max, int stale_cycles,
                     int diverge_cycles, double noise_floor,
                     int saturation_cycles) {
  zub_feedback::matrix m = matrix_of(real_doubles(inverse, "inverse", 2));
  zub_feedback::loop_options o;
  o.gain = gain;
  o.limits = limits_of(lower, upper, max_step);
  o.reference = as_vector(reference, "reference");
  o.integral_gain = integral_gain;
  o.integral_limit =
      as_vector_or_scalar(integral_limit, "integral_limit", m.rows());
  o.deadband = deadband;
  o.soft_start = soft_start;
  o.monitor_mask = as_mask(monitor_mask, "monitor_mask");
  o.monitor_min = as_vector(monitor_min, "monitor_min");
  o.monitor_max = as_vector(monitor_max, "monitor_max");
  o.stale_cycles = stale_cycles;
  o.diverge_cycles = diverge_cycles;
  o.noise_floor = noise_floor;
  o.saturation_cycles = saturation_cycles;
  auto loop = orbit_loop::create(std::move(m), std::move(o));
  if (!loop) throw py::value_error(loop.error().message);
  return std::move(loop).value();
}

template <class F>
void or_raise(F&& f) {
  const zub_feedback::status s = f();
  if (!s) throw py::value_error(s.error().message);
}

}  // namespace

void register_loop(py::module_& m) {
  m.def("limit_step", &limit_step, py::arg("current"), py::arg("step"),
        py::arg("lower") = py::none(), py::arg("upper") = py::none(),
        py::arg("max_step") = py::none(),
        R"(The step shortened as a whole so that no corrector passes a limit.

Returns (limited_step, scale, binding): s * step as float64, s the largest
number in [0, 1] that keeps every corrector within [lower, upper] (or no
further out than it already is) and every |s * step| within max_step, and
the indices of the correctors that bound s. None: no such limit. Raises
ValueError, naming the corrector, on a NaN, lower above upper, a negative
max_step or arrays of other lengths.)");

  py::class_<step_result>(m, "StepResult", "What OrbitLoop.step() did.")
      .def_readonly("delta", &step_result::delta,
                    "float64 changes to add to the settings; zeros unless "
                    "status is 'applied' or 'limited'.")
      .def_readonly("status", &step_result::status,
                    "'applied', 'deadband', 'limited', 'refused' or "
                    "'holding'.")
      .def_readonly("scale", &step_result::scale,
                    "The limits' scale; 1 when applied whole, 0 when nothing "
                    "moved.")
      .def_readonly("reason", &step_result::reason,
                    "Why the step was refused or the loop holds, naming the "
                    "monitor or corrector; '' otherwise.")
      .def_readonly("rms", &step_result::rms,
                    "rms of the deviation over the monitors in use.")
      .def_readonly("index", &step_result::index,
                    "The monitor (a reading's fault) or corrector (a "
                    "setting's or step's) that the reason names, or None.")
      .def_readonly("binding", &step_result::binding,
                    "The correctors that bound the scale.")
      .def("__repr__", [](const step_result& r) {
        return "<StepResult " + r.status +
               (r.reason.empty() ? "" : ": " + r.reason) + ">";
      });

  py::class_<orbit_loop>(m, "OrbitLoop", R"(The feedback loop of a server.

Each step: delta = -gain * inverse @ (readings - reference), plus the
integral term, ramped by the soft start, shortened by the corrector limits,
after the reading checks and the divergence guard (docs/feedback-loop.md).)")
      .def(py::init(&make_loop), py::arg("inverse"), py::arg("gain") = 0.5,
           py::arg("lower") = py::none(), py::arg("upper") = py::none(),
           py::arg("max_step") = py::none(), py::arg("reference") = py::none(),
           py::arg("integral_gain") = 0.0,
           py::arg("integral_limit") = py::none(), py::arg("deadband") = 0.0,
           py::arg("soft_start") = 0, py::arg("monitor_mask") = py::none(),
           py::arg("monitor_min") = py::none(),
           py::arg("monitor_max") = py::none(),
           py::arg("stale_cycles") = zub_feedback::loop_options{}.stale_cycles,
           py::arg("diverge_cycles") =
               zub_feedback::loop_options{}.diverge_cycles,
           py::arg("noise_floor") = 0.0, py::arg("saturation_cycles") = 0,
           R"(inverse: correctors x monitors. gain in (0, 2). lower, upper,
max_step: per corrector, None for none. reference: per monitor, None for 0.
integral_gain >= 0 with integral_limit (a number or one per corrector: the
most the integral term adds to a step). deadband: rms below which nothing
moves. soft_start: corrections over which the gain ramps up. monitor_mask:
True where a monitor is left out. monitor_min, monitor_max: the readings a
monitor can give. stale_cycles: steps of a reading unchanged bit for bit
that refuse it (0: off). diverge_cycles: steps of significant growth that
put the loop on hold (0: off). noise_floor: the rms of the monitors' noise,
0 to let the loop estimate it. saturation_cycles: steps at a limit after
which a corrector is reported in `saturated` (0: off). Raises ValueError,
naming the option, on a value out of range.)")
      .def("step", &step, py::arg("readings"), py::arg("settings"),
           "One cycle: the readings (per monitor) and the correctors' "
           "settings; returns a StepResult.")
      .def("reset", &orbit_loop::reset,
           "As created: no integral, the soft start from its beginning, no "
           "history for the checks, not holding.")
      .def(
          "set_inverse",
          [](orbit_loop& loop, const py::handle& inverse) {
            const zub_feedback::matrix m =
                matrix_of(real_doubles(inverse, "inverse", 2));
            or_raise([&] { return loop.set_inverse(m); });
          },
          py::arg("inverse"),
          "A new inverse of the same shape (e.g. zero rows for correctors "
          "left out); the loop's state stays.")
      .def(
          "set_reference",
          [](orbit_loop& loop, const py::handle& reference) {
            const std::vector<double> r = as_vector(reference, "reference");
            or_raise([&] { return loop.set_reference(r); });
          },
          py::arg("reference"), "A new reference orbit; the state stays.")
      .def(
          "leave_out_saturated",
          [](orbit_loop& loop, const py::handle& response,
             const py::object& tol) {
            const doubles r = real_doubles(response, "response", 2);
            const auto out = loop.leave_out_saturated(
                view_of(r),
                tolerance_of(tol, zub_feedback::kInternalTolerance));
            if (!out) throw py::value_error(out.error().message);
            return to_index_array(out.value());
          },
          py::arg("response"), py::arg("tol") = py::none(),
          "Leaves out for good the correctors that `saturated` names: the "
          "inverse becomes weighted_inverse(response, tol=tol) with those, "
          "the ones left out before and the masked monitors at weight 0. "
          "response: the monitors x correctors matrix the inverse came from. "
          "Returns the correctors now left out; ValueError, keeping the "
          "inverse, for a response of another shape and what "
          "weighted_inverse refuses.")
      .def_property_readonly("holding", &orbit_loop::holding)
      .def_property_readonly(
          "saturated",
          [](const orbit_loop& loop) {
            return to_index_array(loop.saturated());
          },
          "Correctors at a limit, pushed further out, for saturation_cycles "
          "steps: candidates to leave out of the inverse.")
      .def_property_readonly("integral",
                             [](const orbit_loop& loop) {
                               return to_double_array(loop.integral());
                             })
      .def_property_readonly("noise_floor", &orbit_loop::noise_floor,
                             "The floor the divergence guard uses now.")
      .def_property_readonly("monitors", &orbit_loop::monitors)
      .def_property_readonly("correctors", &orbit_loop::correctors);
}

}  // namespace zub_python
