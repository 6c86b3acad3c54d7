// The module's RF column, sum row and measurement of a response matrix: the
// numeric core's augment_rf, augment_deviation, split_rf and
// response_measurement on float64 numpy arrays. These compute in double
// precision and print nothing; a refusal is a ValueError with the library's
// message.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cmath>
#include <cstddef>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "arrays.h"
#include "augmented_response.h"
#include "response_measurement.h"

namespace py = pybind11;
namespace zf = zub_feedback;
using zub_python::doubles;
using zub_python::real_doubles;
using zub_python::real_vector;
using zub_python::to_double_array;

namespace {

void raise_if_refused(const zf::status& s) {
  if (!s) throw py::value_error(s.error().message);
}
template <class T>
T value_or_raise(zf::result<T> r) {
  if (!r) throw py::value_error(r.error().message);
  return std::move(r).value();
}

// ---------------------------------------------------------------- RF column

zf::rf_augmented augment_rf(const py::handle& response,
                            const py::handle& dispersion,
                            std::optional<double> rf_weight,
                            std::optional<double> sum_weight) {
  const doubles r = real_doubles(response, "matrix", 2);
  const doubles eta = real_vector(dispersion, "dispersion");
  return value_or_raise(zf::augment_rf(zub_python::view_of(r), eta.data(),
                                       static_cast<std::size_t>(eta.size()),
                                       zf::rf_weights{rf_weight, sum_weight}));
}

py::array_t<double> augment_deviation(const zf::rf_augmented& a,
                                      const py::handle& deviation) {
  const doubles d = real_vector(deviation, "deviation");
  py::array_t<double> out(a.layout.rows());
  raise_if_refused(zf::augment_deviation(a.layout, d.data(),
                                         static_cast<std::size_t>(d.size()),
                                         out.mutable_data(), a.layout.rows()));
  return out;
}

py::tuple split_rf(const zf::rf_augmented& a, const py::handle& solution) {
  const doubles x = real_vector(solution, "solution");
  py::array_t<double> changes(a.layout.correctors);
  double rf_change = 0.0;
  raise_if_refused(
      zf::split_rf(a.layout, x.data(), static_cast<std::size_t>(x.size()),
                   changes.mutable_data(), a.layout.correctors, &rf_change));
  return py::make_tuple(changes, rf_change);
}

// ---------------------------------------------------------------- measurement

zf::response_measurement make_measurement(std::size_t monitors,
                                          std::size_t correctors,
                                          const py::handle& kick,
                                          std::size_t settle_cycles,
                                          std::size_t orbits) {
  const doubles k = real_doubles(kick, "kick");
  if (k.ndim() > 1) throw py::value_error("kick must be a number or a row");
  zf::measurement_settings s;
  s.monitors = monitors;
  s.correctors = correctors;
  s.kicks.assign(k.data(), k.data() + k.size());
  s.settle_cycles = settle_cycles;
  s.orbits = orbits;
  return value_or_raise(zf::response_measurement::create(std::move(s)));
}

std::string action_repr(const zf::measurement_action& a) {
  if (a.done) return "<MeasurementAction done>";
  return "<MeasurementAction corrector " + std::to_string(a.corrector) +
         " to base " + (a.offset < 0 ? "- " : "+ ") +
         py::str(py::float_(std::fabs(a.offset))).cast<std::string>() +
         ", skip " + std::to_string(a.skip) + ", take " +
         std::to_string(a.take) + ">";
}

}  // namespace

void register_measurement_bindings(py::module_& m) {
  py::class_<zf::rf_augmented>(
      m, "RfAugmentation",
      "Result of augment_rf(): the response matrix with the RF column (and "
      "the sum row), and the weights it was built with.")
      .def_property_readonly(
          "matrix",
          [](const zf::rf_augmented& a) { return to_double_array(a.response); },
          "float64 array, (monitors or monitors + 1) x (correctors + 1).")
      .def_property_readonly(
          "rf_weight",
          [](const zf::rf_augmented& a) { return a.layout.rf_weight; },
          "The RF column is rf_weight x dispersion.")
      .def_property_readonly(
          "automatic_rf_weight",
          [](const zf::rf_augmented& a) {
            return a.layout.automatic_rf_weight;
          },
          "True when the library chose rf_weight.")
      .def_property_readonly(
          "sum_weight",
          [](const zf::rf_augmented& a) -> std::optional<double> {
            if (!a.layout.sum_row()) return std::nullopt;
            return a.layout.sum_weight;
          },
          "The sum row's weight; None without a sum row.")
      .def_property_readonly(
          "monitors",
          [](const zf::rf_augmented& a) { return a.layout.monitors; })
      .def_property_readonly(
          "correctors",
          [](const zf::rf_augmented& a) { return a.layout.correctors; })
      .def("__repr__", [](const zf::rf_augmented& a) {
        return "<RfAugmentation " + std::to_string(a.response.rows()) + " x " +
               std::to_string(a.response.cols()) + ", rf_weight " +
               py::str(py::float_(a.layout.rf_weight)).cast<std::string>() +
               (a.layout.automatic_rf_weight ? " (automatic)" : "") + ">";
      });

  m.def("augment_rf", &augment_rf, py::arg("matrix"), py::arg("dispersion"),
        py::arg("rf_weight") = py::none(), py::arg("sum_weight") = py::none(),
        R"(The response matrix with the dispersion as one more column.

matrix: monitors x correctors; dispersion: one value per monitor.
rf_weight: the RF column is rf_weight x dispersion; None chooses it so that
its norm is the mean norm of the matrix's columns.
sum_weight: None for no sum row, else a last row sum_weight x (1 ... 1, 0)
that keeps the sum of the kicks near 0.
Returns an RfAugmentation. Raises ValueError with the library's message for
shapes that do not fit, a NaN or an infinity, a weight that is not
positive, and a zero dispersion without rf_weight.)");
  m.def("augment_deviation", &augment_deviation, py::arg("augmentation"),
        py::arg("deviation"),
        "The deviation (one value per monitor) with the sum row's target 0 "
        "appended when there is one: the right-hand side of the augmented "
        "system.");
  m.def("split_rf", &split_rf, py::arg("augmentation"), py::arg("solution"),
        R"(Splits a solution of the augmented system apart.

solution: the augmented matrix's inverse times augment_deviation(...),
correctors + 1 values. Returns (corrector_changes, rf_change), the RF change
in the dispersion's units. Raises ValueError for a solution of another size
or holding a NaN or an infinity.)");

  py::class_<zf::measurement_action>(
      m, "MeasurementAction",
      "What the server does next: set `corrector` to base + `offset`, then "
      "feed `skip` orbits while it settles and `take` that are averaged.")
      .def_readonly("done", &zf::measurement_action::done,
                    "Nothing more: every corrector is back at its base.")
      .def_readonly("corrector", &zf::measurement_action::corrector)
      .def_readonly("offset", &zf::measurement_action::offset,
                    "+kick, -kick, or 0 to restore the corrector.")
      .def_readonly("skip", &zf::measurement_action::skip)
      .def_readonly("take", &zf::measurement_action::take)
      .def("__repr__", &action_repr);

  const zf::measurement_settings defaults;
  py::class_<zf::response_measurement>(
      m, "ResponseMeasurement",
      R"(The bipolar measurement of a response matrix, driven by the caller.

Each cycle, after reading the orbit: if wants_orbit, add_orbit(orbit); then,
while not wants_orbit and not done, carry out next(). The matrix is
(mean orbit(+kick) - mean orbit(-kick)) / (2 kick), in orbit units per
corrector unit.)")
      .def(py::init(&make_measurement), py::arg("monitors"),
           py::arg("correctors"), py::arg("kick"),
           py::arg("settle_cycles") = defaults.settle_cycles,
           py::arg("orbits") = defaults.orbits,
           "kick: one number, or one per corrector. Raises ValueError for "
           "what cannot be measured (a kick of 0, fewer than 2 orbits, ...).")
      .def(
          "next",
          [](zf::response_measurement& r) { return value_or_raise(r.next()); },
          "The next action; ValueError while orbits are still wanted.")
      .def(
          "add_orbit",
          [](zf::response_measurement& r, const py::handle& orbit) {
            const doubles o = real_vector(orbit, "orbit");
            raise_if_refused(
                r.add_orbit(o.data(), static_cast<std::size_t>(o.size())));
          },
          py::arg("orbit"),
          "One orbit read after the current setting. ValueError, with "
          "nothing counted, for a NaN or an infinity (naming the monitor and "
          "the corrector), another size, or an orbit nobody asked for.")
      .def("abort", &zf::response_measurement::abort,
           "Ends early: the action that restores the corrector away from its "
           "base, or a done action.")
      .def_property_readonly("wants_orbit",
                             &zf::response_measurement::wants_orbit)
      .def_property_readonly("done", &zf::response_measurement::done)
      .def_property_readonly("aborted", &zf::response_measurement::aborted)
      .def_property_readonly(
          "matrix",
          [](const zf::response_measurement& r) {
            return to_double_array(value_or_raise(r.response()).response);
          },
          "monitors x correctors, float64; ValueError until done.")
      .def_property_readonly(
          "standard_error",
          [](const zf::response_measurement& r) {
            return to_double_array(value_or_raise(r.response()).standard_error);
          },
          "The standard error of each element; ValueError until done.");
}
