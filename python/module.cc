// The Python module zub_feedback: the library's own loading, inversions,
// products and chicane functions on numpy arrays, its refusals as
// exceptions and its messages as records of the logger "zub_feedback".
//
// Every number comes from the library's numeric core, called as the
// property's adapters call it: an array becomes a matrix of the floats that
// the property would hold, and the result comes back as a float32 array.
// What the property would log about a result comes from the library's own
// list of its messages (property_messages.h), handed to logging.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <array>
#include <chrono>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "arrays.h"
#include "chicane_physics.h"
#include "load_file.h"
#include "loop_bindings.h"
#include "property_messages.h"
#include "zub_feedback.h"
#include "zub_feedback/core.h"

namespace py = pybind11;
using namespace zub_python;  // the conversions (arrays.h)

namespace {

// Refusals of the library, with its ERROR message as their text.
struct inversion_error : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// The type LoadError, raised with attributes of its own; the module holds
// the reference.
PyObject* load_error_type = nullptr;

std::string without_line_end(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
    text.pop_back();
  }
  return text;
}

// ---------------------------------------------------------------- messages

int python_level(unsigned level) {
  constexpr int kError = 40, kInfo = 20, kDebug = 10;  // logging's levels
  if (level & zub_feedback::kLevelError) return kError;
  if (level & zub_feedback::kLevelInfo) return kInfo;
  if (level & zub_feedback::kLevelTiming) return kDebug;
  return kInfo;
}

// Hands what the property would have said to the logger "zub_feedback";
// the reporting operation is the record's attribute `operation`. What the
// property prints is a record too.
void emit(const char* operation, const zub_internal::property_messages& said) {
  if (said.empty()) return;
  const py::object logger =
      py::module_::import("logging").attr("getLogger")("zub_feedback");
  for (const zub_internal::property_message& m : said) {
    const int level = python_level(m.level);
    if (!logger.attr("isEnabledFor")(level).cast<bool>()) continue;
    logger.attr("log")(
        level, without_line_end(m.text),
        py::arg("extra") = py::dict(py::arg("operation") = operation));
  }
}

double elapsed_ms(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double, std::milli>(
             std::chrono::steady_clock::now() - t0)
      .count();
}

// ---------------------------------------------------------------- operations

[[noreturn]] void raise_load_error(const zub_feedback::refusal& e) {
  const std::string message = without_line_end(e.message);
  py::object error =
      py::reinterpret_borrow<py::object>(load_error_type)(message);
  error.attr("message") = message;
  error.attr("line") = e.line;
  error.attr("detail") = e.detail;
  // A traceback shows the note below the message.
  if (!e.detail.empty()) error.attr("add_note")(e.detail);
  PyErr_SetObject(load_error_type, error.ptr());
  throw py::error_already_set();
}

// A path (str, bytes or path-like) as the file system takes it.
std::string file_name(const py::object& path) {
  const std::string fname =
      py::module_::import("os").attr("fsencode")(path).cast<std::string>();
  if (fname.find('\0') != std::string::npos) {
    throw py::value_error("embedded null byte in path");
  }
  return fname;
}

py::array_t<float> load(const py::object& path, int monitors, int correctors) {
  const std::string fname = file_name(path);
  std::optional<zub_feedback::result<zub_feedback::matrix_file>> parsed;
  {
    py::gil_scoped_release unlocked;
    parsed = zub_internal::read_matrix(fname.c_str(), monitors, correctors);
  }
  emit(zub_internal::kLoadFileName,
       zub_internal::load_messages(fname, monitors, correctors, *parsed));
  if (!*parsed) raise_load_error(parsed->error());
  return to_float_array(parsed->value().values);
}

struct inversion {
  py::array_t<float> inverse;
  py::array_t<float> singular_values;
  int kept = 0;
  py::object tolerance;  // numpy.float32, as the library holds it
};

inversion inversion_of(const zub_feedback::truncated_svd_result& v) {
  inversion out;
  out.inverse = to_float_array(v.inverse);
  out.singular_values = to_float_array(v.singular_values);
  out.kept = v.kept;
  out.tolerance = py::module_::import("numpy").attr("float32")(v.tolerance);
  return out;
}

inversion invert(const py::handle& obj, const py::object& tol) {
  const zub_feedback::matrix a = narrowed_matrix(obj, "matrix");
  const float t = tolerance_of(tol, zub_feedback::kInternalTolerance);
  std::optional<zub_feedback::result<zub_feedback::truncated_svd_result>> r;
  double took = 0;
  {
    py::gil_scoped_release unlocked;
    const auto t0 = std::chrono::steady_clock::now();
    r = zub_feedback::truncated_svd_inverse(a, t);
    took = elapsed_ms(t0);
  }
  emit(zub_internal::kInvertName,
       zub_internal::invert_messages(static_cast<int>(a.rows()),
                                     static_cast<int>(a.cols()), *r, took));
  if (!*r) throw inversion_error(without_line_end(r->error().message));

  return inversion_of(r->value());
}

py::array_t<float> pinv(const py::handle& obj, const py::object& tol) {
  const zub_feedback::matrix a = narrowed_matrix(obj, "matrix");
  const float t = tolerance_of(tol, 0.0f);
  std::optional<zub_feedback::result<zub_feedback::pseudo_inverse_result>> r;
  double took = 0;
  {
    py::gil_scoped_release unlocked;
    const auto t0 = std::chrono::steady_clock::now();
    r = zub_feedback::pseudo_inverse(a, t);
    took = elapsed_ms(t0);
  }
  // A refusal does not say how many elements the input filter removed.
  const int removed = *r ? r->value().removed_in_input : 0;
  emit(zub_internal::kPinvName,
       zub_internal::pinv_messages(t, removed, *r, took));
  if (!*r) {
    const char* thrown = zub_internal::pinv_exception_text(r->error());
    throw inversion_error(thrown != nullptr
                              ? std::string(thrown)
                              : without_line_end(r->error().message));
  }
  return to_float_array(r->value().inverse);
}

struct fast_inversion {
  py::array_t<double> inverse;
  py::array_t<double> singular_values;
  int kept = 0;
};

fast_inversion svd_inverse(const py::handle& obj, const py::object& rcond,
                           const py::object& keep) {
  const doubles a = exact_matrix(obj, "matrix");
  zub_feedback::svd_inverse_options options;
  if (!rcond.is_none()) options.rcond = real_number(rcond, "rcond");
  options.keep = mode_count(keep, "keep");
  const zub_feedback::const_matrix_view view = view_of(a);
  std::optional<zub_feedback::result<zub_feedback::svd_inverse_result>> r;
  {
    py::gil_scoped_release unlocked;
    r = zub_feedback::svd_inverse(view, options);
  }
  if (!*r) throw inversion_error(without_line_end(r->error().message));
  fast_inversion out;
  out.inverse = to_double_array(r->value().inverse);
  out.singular_values = to_double_array(r->value().singular_values);
  out.kept = r->value().kept;
  return out;
}

struct regularized_inversion {
  py::array_t<double> inverse;
  py::array_t<double> singular_values;
  py::array_t<double> filter_factors;
  int kept = 0;
  double tikhonov = 0.0;
  double condition = 0.0;
  double effective_condition = 0.0;
};

regularized_inversion regularized_inverse(const py::handle& obj,
                                          const py::object& rcond,
                                          const py::object& keep,
                                          const py::object& tikhonov,
                                          const py::object& tikhonov_mode,
                                          const py::object& mode_gains) {
  const doubles a = exact_matrix(obj, "matrix");
  zub_feedback::regularization_options options;
  if (!rcond.is_none()) options.rcond = real_number(rcond, "rcond");
  options.keep = mode_count(keep, "keep");
  if (!tikhonov.is_none()) options.tikhonov = real_number(tikhonov, "tikhonov");
  options.tikhonov_mode = mode_count(tikhonov_mode, "tikhonov_mode");
  if (!mode_gains.is_none()) {
    refuse_text_and_masks(mode_gains, "mode_gains");
    const doubles g = doubles::ensure(mode_gains);
    if (!g || g.ndim() != 1) {
      PyErr_Clear();
      throw py::type_error(
          "mode_gains must be a one-dimensional array of real numbers");
    }
    options.mode_gains.assign(g.data(), g.data() + g.size());
  }
  const zub_feedback::const_matrix_view view = view_of(a);
  std::optional<zub_feedback::result<zub_feedback::regularized_inverse_result>>
      r;
  {
    py::gil_scoped_release unlocked;
    r = zub_feedback::regularized_inverse(view, options);
  }
  if (!*r) throw inversion_error(without_line_end(r->error().message));
  const zub_feedback::regularized_inverse_result& v = r->value();
  regularized_inversion out;
  out.inverse = to_double_array(v.inverse);
  out.singular_values = to_double_array(v.singular_values);
  out.filter_factors = to_double_array(v.filter_factors);
  out.kept = v.kept;
  out.tikhonov = v.tikhonov;
  out.condition = v.condition;
  out.effective_condition = v.effective_condition;
  return out;
}

// The products and the transposition: a refusal is the library's message
// of a shape that does not fit.
py::array_t<float> shaped(const zub_feedback::status& s,
                          const zub_feedback::matrix& result) {
  if (!s) throw py::value_error(without_line_end(s.error().message));
  return to_float_array(result);
}

py::array_t<float> multiply(const py::handle& a, const py::handle& b) {
  const zub_feedback::matrix A = narrowed_matrix(a, "a");
  const zub_feedback::matrix B = narrowed_matrix(b, "b");
  zub_feedback::matrix C(A.rows(), B.cols());
  return shaped(zub_feedback::multiply(A, B, C.view()), C);
}

py::array_t<float> entrywise_product(const py::handle& a, const py::handle& b) {
  const zub_feedback::matrix A = narrowed_matrix(a, "a");
  const zub_feedback::matrix B = narrowed_matrix(b, "b");
  zub_feedback::matrix C(A.rows(), A.cols());
  return shaped(zub_feedback::entrywise_product(A, B, C.view()), C);
}

py::array_t<float> transpose(const py::handle& a) {
  const zub_feedback::matrix A = narrowed_matrix(a, "a");
  zub_feedback::matrix T(A.cols(), A.rows());
  return shaped(zub_feedback::transpose(A, T.view()), T);
}

// ---------------------------------------------------------------- named
// files

// A named matrix file as read: the values as float64 (the floats that
// load_file stores), the names and the metadata in file order.
struct named_file {
  py::array_t<double> values;
  std::vector<std::string> monitors;
  std::vector<std::string> correctors;
  py::dict metadata;
};

named_file read_matrix(const py::object& path) {
  const std::string fname = file_name(path);
  std::optional<zub_feedback::result<zub_feedback::named_matrix>> r;
  {
    py::gil_scoped_release unlocked;
    r = zub_feedback::read_named_matrix_file(fname);
  }
  if (!*r) raise_load_error(r->error());
  zub_feedback::named_matrix& m = r->value();
  named_file out;
  out.values = to_double_array(m.values);
  out.monitors = std::move(m.monitors);
  out.correctors = std::move(m.correctors);
  for (const auto& kv : m.metadata) out.metadata[py::str(kv.first)] = kv.second;
  return out;
}

py::object to_pandas(const named_file& f) {
  py::module_ pandas;
  try {
    pandas = py::module_::import("pandas");
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_ImportError)) throw;
    throw py::import_error(
        "NamedMatrix.to_pandas() needs pandas, which is not installed "
        "(pip install pandas, or apt install python3-pandas)");
  }
  auto labels = [](const std::vector<std::string>& names) -> py::object {
    if (names.empty()) return py::none();
    return py::cast(names);
  };
  py::object frame = pandas.attr("DataFrame")(
      f.values, py::arg("index") = labels(f.monitors),
      py::arg("columns") = labels(f.correctors), py::arg("copy") = true);
  frame.attr("index").attr("name") = "monitor";
  frame.attr("columns").attr("name") = "corrector";
  return frame;
}

std::vector<std::string> names_of(const py::object& names, const char* what) {
  if (names.is_none()) return {};
  if (PyUnicode_Check(names.ptr())) {
    throw py::type_error(std::string(what) +
                         " must be a sequence of names, not one str");
  }
  std::vector<std::string> out;
  for (const py::handle name : names) {
    if (!PyUnicode_Check(name.ptr())) {
      throw py::type_error(std::string(what) + " must hold str, not " +
                           type_name(name));
    }
    out.push_back(name.cast<std::string>());
  }
  return out;
}

// Given weights times those of the exclusions; weights of another count
// are left for the core to refuse.
std::vector<double> times(std::vector<double> given,
                          const std::vector<double>& excluded) {
  if (given.empty()) return excluded;
  if (given.size() == excluded.size()) {
    for (std::size_t k = 0; k < given.size(); ++k) given[k] *= excluded[k];
  }
  return given;
}

inversion weighted_inverse(const py::handle& obj,
                           const py::object& monitor_weights,
                           const py::object& corrector_weights,
                           const py::object& tol,
                           const py::object& exclude_monitors,
                           const py::object& exclude_correctors) {
  // A NamedMatrix's rows and columns are left out by name, an array's by
  // index.
  const bool named = py::isinstance<named_file>(obj);
  zub_feedback::named_matrix m;
  m.values = narrowed_matrix(
      named ? py::handle(obj.cast<const named_file&>().values) : obj, "matrix");
  zub_feedback::inverse_weights w{
      as_vector(monitor_weights, "monitor_weights"),
      as_vector(corrector_weights, "corrector_weights")};
  const float t = tolerance_of(tol, zub_feedback::kInternalTolerance);
  if (!exclude_monitors.is_none() || !exclude_correctors.is_none()) {
    std::optional<zub_feedback::result<zub_feedback::inverse_weights>> out;
    if (named) {
      const named_file& f = obj.cast<const named_file&>();
      m.monitors = f.monitors;
      m.correctors = f.correctors;
      out = zub_feedback::exclusion_weights(
          m, names_of(exclude_monitors, "exclude_monitors"),
          names_of(exclude_correctors, "exclude_correctors"));
    } else {
      out = zub_feedback::exclusion_weights(
          m.values, as_indices(exclude_monitors, "exclude_monitors"),
          as_indices(exclude_correctors, "exclude_correctors"));
    }
    if (!*out) throw inversion_error(without_line_end(out->error().message));
    w.monitors = times(std::move(w.monitors), out->value().monitors);
    w.correctors = times(std::move(w.correctors), out->value().correctors);
  }
  std::optional<zub_feedback::result<zub_feedback::truncated_svd_result>> r;
  {
    py::gil_scoped_release unlocked;
    r = zub_feedback::weighted_inverse(m.values, w, t);
  }
  if (!*r) throw inversion_error(without_line_end(r->error().message));
  return inversion_of(r->value());
}

void write_matrix(const py::object& path, const py::handle& values,
                  const py::object& monitors, const py::object& correctors,
                  const py::object& metadata) {
  const std::string fname = file_name(path);
  zub_feedback::named_matrix m;
  m.values = matrix_of(exact_matrix(values, "values"));
  m.monitors = names_of(monitors, "monitors");
  m.correctors = names_of(correctors, "correctors");
  if (!metadata.is_none()) {
    // A mapping in its order; a value is written as str() gives it.
    const py::object items = py::hasattr(metadata, "items")
                                 ? metadata.attr("items")()
                                 : py::object(metadata);
    for (const py::handle item : items) {
      const py::tuple kv = py::tuple(py::reinterpret_borrow<py::object>(item));
      if (kv.size() != 2 || !PyUnicode_Check(kv[0].ptr())) {
        throw py::type_error("metadata must map str keys to values");
      }
      m.metadata.emplace_back(kv[0].cast<std::string>(),
                              py::str(kv[1]).cast<std::string>());
    }
  }
  zub_feedback::status written;
  {
    py::gil_scoped_release unlocked;
    written = zub_feedback::write_named_matrix_file(fname, m);
  }
  if (written) return;
  const zub_feedback::refusal& e = written.error();
  if (e.code == zub_feedback::error_code::cannot_write) {
    PyErr_SetString(PyExc_OSError, e.detail.c_str());
    throw py::error_already_set();
  }
  throw py::value_error(without_line_end(e.message) +
                        (e.detail.empty() ? "" : " (" + e.detail + ")"));
}

// ---------------------------------------------------------------- chicane

// A chicane function on numbers or on arrays that broadcast against each
// other: text and masked arrays are refused, shapes that do not broadcast
// are numpy's ValueError.
template <class... A>
auto elementwise(double (*f)(A...),
                 std::array<const char*, sizeof...(A)> names) {
  auto v = py::vectorize(f);
  return [v, names](std::conditional_t<true, py::object, A>... args) mutable
         -> py::object {
    const std::array<py::object, sizeof...(A)> given{args...};
    const py::module_ np = py::module_::import("numpy");
    py::list shapes;
    for (size_t k = 0; k < given.size(); ++k) {
      refuse_text_and_masks(given[k], names[k]);
      const py::object a = np.attr("asarray")(given[k]);
      const char kind = a.attr("dtype").attr("kind").cast<std::string>()[0];
      if (kind != 'f' && kind != 'i' && kind != 'u' && kind != 'b') {
        throw py::type_error(std::string(names[k]) +
                             " must be real numbers, not " +
                             py::str(a.attr("dtype")).cast<std::string>());
      }
      shapes.append(a.attr("shape"));
    }
    np.attr("broadcast_shapes")(*shapes);
    return v(py::array_t<A, py::array::forcecast>::ensure(args)...);
  };
}

}  // namespace

void register_measurement_bindings(py::module_& m);  // measurement_bindings.cc

PYBIND11_MODULE(zub_feedback, m) {
  zub_python::register_loop(m);

  m.doc() =
      "zub_feedback's response-matrix operations and chicane physics on numpy\n"
      "arrays: the numbers, refusals and messages of the library that the\n"
      "feedback servers run. Messages go to the logger 'zub_feedback'.";
  m.attr("__version__") = ZUB_FEEDBACK_VERSION_STRING;
  // A library's logger: a refusal is the caller's exception, and its record
  // is printed only where the application configures logging.
  const py::module_ logging = py::module_::import("logging");
  logging.attr("getLogger")("zub_feedback")
      .attr("addHandler")(logging.attr("NullHandler")());

  static py::exception<std::runtime_error> error(m, "Error");
  error.doc() = "Base of the library's refusals.";
  static py::exception<zub_feedback::refusal> load_error(m, "LoadError", error);
  load_error.doc() =
      "load_file refused the file; the text is its ERROR message. "
      "Attributes: message, line (counted from 1, comment lines included; 0 "
      "for none) and detail (what was found there, or empty); a traceback "
      "shows the detail as a note.";
  load_error_type = load_error.ptr();
  py::register_exception<inversion_error>(m, "InversionError", error).doc() =
      "The inversion was refused or failed; the text is the library's message.";

  py::class_<inversion>(
      m, "Inversion",
      "Result of invert(): the inverse and its singular values.")
      .def_readonly("inverse", &inversion::inverse,
                    "float32 array, correctors x monitors.")
      .def_readonly("singular_values", &inversion::singular_values,
                    "All min(monitors, correctors) singular values, largest "
                    "first, as float32 (the published spectrum).")
      .def_readonly("kept", &inversion::kept,
                    "Number of singular values that entered the inverse.")
      .def_readonly("tolerance", &inversion::tolerance,
                    "The tolerance used, a numpy.float32: the internal one "
                    "when invert() was called without tol.")
      .def("__repr__", [](const inversion& r) {
        return "<Inversion " + std::to_string(r.inverse.shape(0)) + " x " +
               std::to_string(r.inverse.shape(1)) + ", kept " +
               std::to_string(r.kept) + " of " +
               std::to_string(r.singular_values.shape(0)) + ", tolerance " +
               py::str(r.tolerance).cast<std::string>() + ">";
      });

  m.def("load", &load, py::arg("path"), py::arg("monitors"),
        py::arg("correctors"),
        R"(Loads a response-matrix file as load_file does for a server.

Returns a float32 array of shape (monitors, correctors). Raises LoadError,
with the library's ERROR message, when the file cannot be read or its shape
is not monitors x correctors; its `line` and `detail` name the line at fault.)");
  m.def("invert", &invert, py::arg("matrix"), py::arg("tol") = py::none(),
        R"(Truncated-SVD inverse, as invert computes it for a server.

matrix: 2-d array of real numbers (monitors x correctors), narrowed to float32.
tol: relative cut-off (float32): a singular value s enters when
     s > s_max * tol; None, or -1, for the library's internal one.
Returns an Inversion (inverse, singular_values, kept, tolerance). Raises
InversionError with the library's message when it refuses the matrix (an
element that is not finite, no rows or columns, a NaN tolerance, ...).
The GIL is released while the library computes.)");
  m.def("weighted_inverse", &weighted_inverse, py::arg("matrix"),
        py::arg("monitor_weights") = py::none(),
        py::arg("corrector_weights") = py::none(), py::arg("tol") = py::none(),
        py::arg("exclude_monitors") = py::none(),
        py::arg("exclude_correctors") = py::none(),
        R"(invert() of matrix o W, times W^T: monitors and correctors weighted.

W = monitor_weights corrector_weights^T, one weight >= 0 per row and per
column (None: all 1); a weight of 0 leaves the monitor or corrector out,
its column or row of the inverse 0. exclude_monitors, exclude_correctors:
indices (int) of an array's rows and columns, or names (str) of a
NamedMatrix's, given weight 0. Returns an Inversion whose singular values,
kept and tolerance are those of the weighted matrix. Raises InversionError
with the library's message for weights of another count, a negative or
NaN weight, an index or name the matrix does not have, and what invert
refuses. The GIL is released while the library computes.)");
  m.def("pinv", &pinv, py::arg("matrix"), py::arg("tol") = 0.0,
        R"(Moore-Penrose pseudo-inverse through Armadillo, as pinv computes it.

Input elements with 0 < |a| < tol are zeroed first. Returns a float32 array,
correctors x monitors. Raises InversionError when the library refuses the
result, the matrix holds a NaN or an infinity, or Armadillo's SVD fails.
The GIL is released while it computes.)");

  py::class_<fast_inversion>(
      m, "SvdInverse",
      "Result of svd_inverse(): the inverse and its singular values.")
      .def_readonly("inverse", &fast_inversion::inverse,
                    "float64 array, correctors x monitors.")
      .def_readonly("singular_values", &fast_inversion::singular_values,
                    "All min(monitors, correctors) singular values, largest "
                    "first, float64.")
      .def_readonly("kept", &fast_inversion::kept,
                    "Number of singular values that entered the inverse.");
  m.def("svd_inverse", &svd_inverse, py::arg("matrix"),
        py::arg("rcond") = py::none(), py::arg("keep") = py::none(),
        R"(Fast pseudo-inverse in double precision (LAPACK's dgesdd).

Not the server's numbers (use invert for those). Modes with
s <= rcond * s_max are left out (None: 1e-15, as numpy.linalg.pinv); keep
limits the modes, largest first. Raises InversionError when the matrix holds
a NaN or an infinity or the decomposition fails. The GIL is released while
it computes.)");
  py::class_<named_file>(
      m, "NamedMatrix",
      "Result of read_matrix(): a matrix file's values, the names of its "
      "monitors and correctors, and its metadata.")
      .def_readonly("values", &named_file::values,
                    "float64 array, monitors x correctors: the floats that "
                    "load_file stores.")
      .def_readonly("monitors", &named_file::monitors,
                    "Names of the rows, or an empty list.")
      .def_readonly("correctors", &named_file::correctors,
                    "Names of the columns, or an empty list.")
      .def_readonly("metadata", &named_file::metadata,
                    "dict of the file's '# key: value' lines, in file order.")
      .def("to_pandas", &to_pandas,
           "A pandas DataFrame indexed by monitor, with a column per "
           "corrector (positions where the file names none). ImportError "
           "when pandas is not installed.")
      .def("__repr__", [](const named_file& f) {
        return "<NamedMatrix " + std::to_string(f.values.shape(0)) + " x " +
               std::to_string(f.values.shape(1)) +
               (f.monitors.empty() && f.correctors.empty() ? ", no names"
                                                           : ", named") +
               ">";
      });
  m.def("read_matrix", &read_matrix, py::arg("path"),
        R"(Reads a matrix file of any shape with its names and metadata.

The values read exactly as load_file reads them. Returns a NamedMatrix.
Raises LoadError (line, detail) when the file does not load, or its names
do not fit: another count than of rows or columns, a repeated name or key,
names or metadata after the first data line.)");
  m.def("write_matrix", &write_matrix, py::arg("path"), py::arg("values"),
        py::arg("monitors") = py::none(), py::arg("correctors") = py::none(),
        py::arg("metadata") = py::none(),
        R"(Writes a matrix file with names and metadata, atomically.

values: 2-d array of real numbers; monitors, correctors: sequences of str
without blanks, one a row or column, or None; metadata: a mapping (written
in its order, values as str()). The file loads with load_file as it is.
Raises ValueError for what would not read back (names, keys, a value that
is not finite or beyond float32) and OSError when the file cannot be
written.)");

  py::class_<regularized_inversion>(
      m, "RegularizedInverse",
      "Result of regularized_inverse(): the inverse, its spectrum and the "
      "damping of each mode.")
      .def_readonly("inverse", &regularized_inversion::inverse,
                    "float64 array, correctors x monitors.")
      .def_readonly("singular_values", &regularized_inversion::singular_values,
                    "All min(monitors, correctors) singular values, largest "
                    "first, float64.")
      .def_readonly("filter_factors", &regularized_inversion::filter_factors,
                    "Per mode, its factor in the inverse relative to 1/s: "
                    "g s^2 / (s^2 + tikhonov^2), 0 for a mode left out.")
      .def_readonly("kept", &regularized_inversion::kept,
                    "Number of modes in the inverse.")
      .def_readonly("tikhonov", &regularized_inversion::tikhonov,
                    "The Tikhonov parameter used (s[tikhonov_mode] when that "
                    "was given).")
      .def_readonly("condition", &regularized_inversion::condition,
                    "s_max / s_min over the modes kept; 0 when none is.")
      .def_readonly("effective_condition",
                    &regularized_inversion::effective_condition,
                    "Largest over smallest effective gain g s / (s^2 + "
                    "tikhonov^2) of the modes kept; condition itself without "
                    "damping and gains; 0 when none is kept.")
      .def("__repr__", [](const regularized_inversion& r) {
        return "<RegularizedInverse " + std::to_string(r.inverse.shape(0)) +
               " x " + std::to_string(r.inverse.shape(1)) + ", kept " +
               std::to_string(r.kept) + " of " +
               std::to_string(r.singular_values.shape(0)) + ", tikhonov " +
               py::str(py::float_(r.tikhonov)).cast<std::string>() + ">";
      });
  m.def("regularized_inverse", &regularized_inverse, py::arg("matrix"),
        py::arg("rcond") = py::none(), py::arg("keep") = py::none(),
        py::arg("tikhonov") = 0.0, py::arg("tikhonov_mode") = py::none(),
        py::arg("mode_gains") = py::none(),
        R"(Regularised inverse in double precision (LAPACK's dgesdd).

From matrix = U diag(s) V^T, the inverse is V diag(d) U^T with
d = g s / (s^2 + tikhonov^2) for the modes kept, 0 for the others. A mode
is kept when s > 0, s > rcond * s_max (None: no relative cut-off), it is
among the first keep (None: no limit) and its gain g is above 0.
tikhonov: the damping, in the units of s (0: plain truncation);
tikhonov_mode: an index k for tikhonov = s[k] instead. mode_gains: one gain
g >= 0 per singular value (None: all 1). Returns a RegularizedInverse.
Raises InversionError when the matrix holds a NaN or an infinity, an
option is out of its range (a negative or NaN tikhonov, tikhonov together
with tikhonov_mode, a mode beyond the spectrum, gains of another count) or
the decomposition fails. The GIL is released while it computes.)");
  m.def("multiply", &multiply, py::arg("a"), py::arg("b"),
        "a x b, formed in double precision and stored as float32. ValueError, "
        "with the library's message, when the shapes do not fit.");
  m.def("entrywise_product", &entrywise_product, py::arg("a"), py::arg("b"),
        "Element-wise product in single precision. ValueError, with the "
        "library's message, when the shapes differ.");
  m.def("transpose", &transpose, py::arg("a"),
        "The transposed matrix, as float32.");

  // The chicane functions take numpy arrays (broadcast against each other)
  // as well as plain numbers; on numbers they return a float.
  m.def("chop", elementwise(chop, {"val"}), py::arg("val"),
        "val, or +0.0 where |val| < 1e-4.");
  m.def("E2gamma", elementwise(E2gamma, {"E"}), py::arg("E"),
        "Lorentz factor of an electron of total energy E (J).");
  m.def("gamma2beta", elementwise(gamma2beta, {"gamma"}), py::arg("gamma"),
        "v/c for the Lorentz factor gamma; NaN for |gamma| < 1.");
  m.def("E2p", elementwise(E2p, {"E"}), py::arg("E"),
        "Momentum (kg m/s) of an electron of total energy E (J).");
  m.def("B2I", elementwise(B2I, {"B", "a1"}), py::arg("B"), py::arg("a1"),
        "Magnet current (A) for the field B (T), a1 in T/A.");
  m.def("B2alpha", elementwise(B2alpha, {"B", "E", "leff"}), py::arg("B"),
        py::arg("E"), py::arg("leff"),
        "Bending angle (rad) of a dipole of length leff (m) and field B (T) "
        "for a beam of E (MeV).");
  m.def("alpha2B", elementwise(alpha2B, {"alpha", "E", "leff"}),
        py::arg("alpha"), py::arg("E"), py::arg("leff"),
        "Field (T) that bends a beam of E (MeV) by alpha (rad) in leff (m).");
  m.def("alpha2R56", elementwise(alpha2R56, {"alpha", "leff", "d12"}),
        py::arg("alpha"), py::arg("leff"), py::arg("d12"),
        "Momentum compaction R56 (m) of the chicane; 0.0 for alpha == 0.");
  m.def("alpha2x_bc", elementwise(alpha2x_bc, {"alpha", "leff", "d12"}),
        py::arg("alpha"), py::arg("leff"), py::arg("d12"),
        "Largest transverse offset (m) of the beam in the chicane.");
  m.def("alpha2r", elementwise(alpha2r, {"alpha", "leff"}), py::arg("alpha"),
        py::arg("leff"),
        "Bending radius (m): leff / sin(alpha); 0.0 for alpha == 0.");
  m.def("alpha2l_bc", elementwise(alpha2l_bc, {"alpha", "r", "d12", "d23"}),
        py::arg("alpha"), py::arg("r"), py::arg("d12"), py::arg("d23"),
        "Path length (m) of the beam through the chicane.");
  m.def("delta_t", elementwise(delta_t, {"l_bc", "z12", "z23", "leff"}),
        py::arg("l_bc"), py::arg("z12"), py::arg("z23"), py::arg("leff"),
        "Arrival-time shift (s) of a path l_bc (m) against the straight axis.");

  register_measurement_bindings(m);
}
