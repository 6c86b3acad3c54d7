// The Python module zub_feedback: the library's own loading, inversions,
// products and chicane functions on numpy arrays, its refusals as
// exceptions and its messages as records of the logger "zub_feedback".
//
// Every number comes from the library's code, called as a server calls it:
// an array becomes an MDFA_ResponseMatrix of floats, the operation runs on
// it, and its result comes back as a float32 array. Only the public
// interface is used (zub_feedback.h, chicane_physics.h, the framework's).
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <climits>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

#include "chicane_physics.h"
#include "loop_bindings.h"
#include "messages.h"
#include "zub_feedback.h"

namespace py = pybind11;

namespace {

using zub_python::call_messages;

// Refusals of the library, with its ERROR message as their text.
struct load_error : std::runtime_error {
  using std::runtime_error::runtime_error;
};
struct inversion_error : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// ---------------------------------------------------------------- messages

int python_level(unsigned level) {
  constexpr int kError = 40, kInfo = 20, kDebug = 10;  // logging's levels
  if (level & zub_feedback::kLevelError) return kError;
  if (level & zub_feedback::kLevelInfo) return kInfo;
  if (level & zub_feedback::kLevelTiming) return kDebug;
  return kInfo;
}

// Hands what a call said to the logger "zub_feedback"; the reporting
// operation is the record's attribute `operation`.
void emit(const call_messages& said) {
  if (said.messages().empty()) return;
  const py::object logger =
      py::module_::import("logging").attr("getLogger")("zub_feedback");
  for (const zub_python::message& m : said.messages()) {
    const int level = python_level(m.level);
    if (!logger.attr("isEnabledFor")(level).cast<bool>()) continue;
    logger.attr("log")(
        level, call_messages::without_line_end(m.text),
        py::arg("extra") = py::dict(py::arg("operation") = m.where));
  }
}

// Runs f, one library operation, on this thread without the GIL; then its
// messages go to logging. Returns the text of its first error message.
template <class F>
std::optional<std::string> call_library(const char* operation, F&& f) {
  call_messages said(operation);
  try {
    py::gil_scoped_release unlocked;
    f();
  } catch (...) {
    said.finish();
    emit(said);
    throw;
  }
  said.finish();
  emit(said);
  return said.first_error();
}

// ---------------------------------------------------------------- arrays

using float_array =
    py::array_t<float, py::array::c_style | py::array::forcecast>;

// `obj` as the library holds a matrix: two-dimensional float32, row by row.
// Any array of real numbers is taken, in any memory order; the values are
// narrowed to float as load_file narrows the numbers of a file.
float_array as_matrix(const py::handle& obj, const char* what) {
  const py::array a = py::array::ensure(obj);
  if (!a) {
    throw py::type_error(std::string(what) + " must be an array of numbers");
  }
  const char kind = a.dtype().kind();
  if (kind != 'f' && kind != 'i' && kind != 'u' && kind != 'b') {
    throw py::type_error(std::string(what) + " must hold real numbers, not " +
                         py::str(a.dtype()).cast<std::string>());
  }
  if (a.ndim() != 2) {
    throw py::value_error(std::string(what) +
                          " must be a two-dimensional array, not " +
                          std::to_string(a.ndim()) + "-dimensional");
  }
  if (a.shape(0) > INT_MAX || a.shape(1) > INT_MAX) {
    throw py::value_error(std::string(what) + " has more than " +
                          std::to_string(INT_MAX) + " rows or columns");
  }
  float_array narrowed = float_array::ensure(a);
  if (!narrowed) {
    throw py::type_error(std::string(what) + " cannot be narrowed to float32");
  }
  return narrowed;
}

// The framework's location that the module's matrices belong to.
EqFct& location() {
  static EqFct loc("PYTHON");
  return loc;
}

// A response matrix of the library holding the values of `a`.
class matrix {
 public:
  matrix(const char* name, int rows, int cols)
      : m_(name, rows, cols, &location()) {}
  explicit matrix(const float_array& a)
      : matrix("PYTHON.MATRIX", static_cast<int>(a.shape(0)),
               static_cast<int>(a.shape(1))) {
    const auto v = a.unchecked<2>();
    for (int i = 0; i < m_.rows; ++i) {
      for (int j = 0; j < m_.cols; ++j)
        m_.set_value(v(i, j), i, j, -1, -1, -1, -1);
    }
  }
  MDFA_ResponseMatrix& operator*() { return m_; }
  MDFA_ResponseMatrix* operator->() { return &m_; }

  py::array_t<float> to_array() const {
    py::array_t<float> out({std::max(m_.rows, 0), std::max(m_.cols, 0)});
    auto w = out.mutable_unchecked<2>();
    for (int i = 0; i < m_.rows; ++i) {
      for (int j = 0; j < m_.cols; ++j)
        w(i, j) = m_.value(i, j, -1, -1, -1, -1);
    }
    return out;
  }

 private:
  MDFA_ResponseMatrix m_;
};

// ---------------------------------------------------------------- operations

py::array_t<float> load(const py::object& path, int monitors, int correctors) {
  const std::string fname =
      py::module_::import("os").attr("fsencode")(path).cast<std::string>();
  if (fname.find('\0') != std::string::npos) {
    throw py::value_error("embedded null byte in path");
  }
  matrix R("PYTHON.MATRIX", monitors, correctors);
  bool loaded = false;
  const auto error = call_library("MDFA_ResponseMatrix::load_file", [&] {
    loaded = R->load_file(fname.c_str());
  });
  if (!loaded) {
    throw load_error(error.value_or("ERROR: " + fname + " was not loaded"));
  }
  return R.to_array();
}

struct inversion {
  py::array_t<float> inverse;
  py::array_t<float> singular_values;
  int kept = 0;
  py::object tolerance;  // numpy.float32, as the library holds it
};

inversion invert(const py::handle& obj, std::optional<float> tol) {
  const float_array a = as_matrix(obj, "matrix");
  matrix R(a);
  matrix inverse("PYTHON.INVERSE", R->cols, R->rows);
  K_spectrum spectrum("PYTHON.SINGULAR_VALUES", std::min(R->rows, R->cols),
                      &location());
  float t = tol.value_or(-1.0f);  // -1 asks for the internal tolerance
  int kept = 0;
  const auto error = call_library("MDFA_ResponseMatrix::invert", [&] {
    R->invert(*inverse, spectrum, &t, &kept);
  });
  if (error) throw inversion_error(*error);

  inversion out;
  out.inverse = inverse.to_array();
  out.singular_values = py::array_t<float>(spectrum.spectrum_length());
  auto s = out.singular_values.mutable_unchecked<1>();
  for (int i = 0; i < spectrum.spectrum_length(); ++i) {
    s(i) = spectrum.spectrum_value(i);
  }
  out.kept = kept;
  out.tolerance = py::module_::import("numpy").attr("float32")(t);
  return out;
}

py::array_t<float> pinv(const py::handle& obj, float tol) {
  const float_array a = as_matrix(obj, "matrix");
  matrix R(a);
  matrix inverse("PYTHON.INVERSE", R->cols, R->rows);
  std::optional<std::string> svd_failure;
  auto error = call_library("MDFA_ResponseMatrix::pinv", [&] {
    // Armadillo's failed SVD; other exceptions pass as they are.
    try {
      R->pinv(*inverse, &tol);
    } catch (const std::runtime_error& e) {
      svd_failure = e.what();
    }
  });
  if (svd_failure) throw inversion_error(*svd_failure);
  if (error) throw inversion_error(*error);
  return inverse.to_array();
}

// The products and the transposition: a refusal is the library's message
// of a shape that does not fit.
template <class F>
py::array_t<float> combine(const char* operation, matrix& result, F&& f) {
  const auto error = call_library(operation, std::forward<F>(f));
  if (error) throw py::value_error(*error);
  return result.to_array();
}

py::array_t<float> multiply(const py::handle& a, const py::handle& b) {
  matrix A(as_matrix(a, "a"));
  matrix B(as_matrix(b, "b"));
  matrix C("PYTHON.PRODUCT", A->rows, B->cols);
  return combine("MDFA_ResponseMatrix::multiply", C,
                 [&] { A->multiply(*B, *C); });
}

py::array_t<float> entrywise_product(const py::handle& a, const py::handle& b) {
  matrix A(as_matrix(a, "a"));
  matrix B(as_matrix(b, "b"));
  matrix C("PYTHON.PRODUCT", A->rows, A->cols);
  return combine("MDFA_ResponseMatrix::entrywise_product", C,
                 [&] { A->entrywise_product(*B, *C); });
}

py::array_t<float> transpose(const py::handle& a) {
  matrix A(as_matrix(a, "a"));
  matrix T("PYTHON.TRANSPOSED", A->cols, A->rows);
  return combine("MDFA_ResponseMatrix::transpose", T,
                 [&] { A->transpose(*T); });
}

}  // namespace

void register_measurement_bindings(py::module_& m);  // measurement_bindings.cc

PYBIND11_MODULE(zub_feedback, m) {
  zub_python::install_routing();
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
  py::register_exception<load_error>(m, "LoadError", error).doc() =
      "load_file refused the file; the text is its ERROR message.";
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
is not monitors x correctors.)");
  m.def("invert", &invert, py::arg("matrix"), py::arg("tol") = py::none(),
        R"(Truncated-SVD inverse, as invert computes it for a server.

matrix: 2-d array of real numbers (monitors x correctors), narrowed to float32.
tol: the tolerance (float32); None, or -1, for the library's internal one.
Returns an Inversion (inverse, singular_values, kept, tolerance). Raises
InversionError with the library's message when it refuses the matrix (an
element that is not finite, no rows or columns, a NaN tolerance, ...).
The GIL is released while the library computes.)");
  m.def("pinv", &pinv, py::arg("matrix"), py::arg("tol") = 0.0f,
        R"(Moore-Penrose pseudo-inverse through Armadillo, as pinv computes it.

Input elements with 0 < |a| < tol are zeroed first. Returns a float32 array,
correctors x monitors. Raises InversionError when the library refuses the
result or Armadillo's SVD fails. The GIL is released while it computes.)");
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
  m.def("chop", py::vectorize(chop), py::arg("val"),
        "val, or +0.0 where |val| < 1e-4.");
  m.def("E2gamma", py::vectorize(E2gamma), py::arg("E"),
        "Lorentz factor of an electron of total energy E (J).");
  m.def("gamma2beta", py::vectorize(gamma2beta), py::arg("gamma"),
        "v/c for the Lorentz factor gamma; NaN for |gamma| < 1.");
  m.def("E2p", py::vectorize(E2p), py::arg("E"),
        "Momentum (kg m/s) of an electron of total energy E (J).");
  m.def("B2I", py::vectorize(B2I), py::arg("B"), py::arg("a1"),
        "Magnet current (A) for the field B (T), a1 in T/A.");
  m.def("B2alpha", py::vectorize(B2alpha), py::arg("B"), py::arg("E"),
        py::arg("leff"),
        "Bending angle (rad) of a dipole of length leff (m) and field B (T) "
        "for a beam of E (MeV).");
  m.def("alpha2B", py::vectorize(alpha2B), py::arg("alpha"), py::arg("E"),
        py::arg("leff"),
        "Field (T) that bends a beam of E (MeV) by alpha (rad) in leff (m).");
  m.def("alpha2R56", py::vectorize(alpha2R56), py::arg("alpha"),
        py::arg("leff"), py::arg("d12"),
        "Momentum compaction R56 (m) of the chicane; 0.0 for alpha == 0.");
  m.def("alpha2x_bc", py::vectorize(alpha2x_bc), py::arg("alpha"),
        py::arg("leff"), py::arg("d12"),
        "Largest transverse offset (m) of the beam in the chicane.");
  m.def("alpha2r", py::vectorize(alpha2r), py::arg("alpha"), py::arg("leff"),
        "Bending radius (m): leff / sin(alpha); 0.0 for alpha == 0.");
  m.def("alpha2l_bc", py::vectorize(alpha2l_bc), py::arg("alpha"), py::arg("r"),
        py::arg("d12"), py::arg("d23"),
        "Path length (m) of the beam through the chicane.");
  m.def("delta_t", py::vectorize(delta_t), py::arg("l_bc"), py::arg("z12"),
        py::arg("z23"), py::arg("leff"),
        "Arrival-time shift (s) of a path l_bc (m) against the straight axis.");

  register_measurement_bindings(m);
}
