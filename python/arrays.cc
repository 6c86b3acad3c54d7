// The module's conversions of arguments and results (arrays.h).
#include "arrays.h"

#include <algorithm>
#include <climits>
#include <utility>

namespace zub_python {

namespace {

// A new array of `shape` holding the values converted to T.
template <class T, class U>
py::array_t<T> array_of(const U* values, std::vector<py::ssize_t> shape) {
  py::array_t<T> out(std::move(shape));
  std::transform(values, values + out.size(), out.mutable_data(),
                 [](U x) { return static_cast<T>(x); });
  return out;
}

std::vector<py::ssize_t> shape_of(const zub_feedback::matrix& m) {
  return {static_cast<py::ssize_t>(m.rows()),
          static_cast<py::ssize_t>(m.cols())};
}

template <class U>
std::vector<py::ssize_t> shape_of(const std::vector<U>& v) {
  return {static_cast<py::ssize_t>(v.size())};
}

template <class T>
zub_feedback::matrix copy_of(const T& a) {
  zub_feedback::matrix m(static_cast<std::size_t>(a.shape(0)),
                         static_cast<std::size_t>(a.shape(1)));
  std::copy(a.data(), a.data() + a.size(), m.data());
  return m;
}

}  // namespace

std::string type_name(const py::handle& obj) {
  return py::str(py::type::handle_of(obj).attr("__name__")).cast<std::string>();
}

void refuse_text_and_masks(const py::handle& obj, const std::string& what) {
  if (PyUnicode_Check(obj.ptr()) || PyBytes_Check(obj.ptr())) {
    throw py::type_error(what +
                         " must be a number or an array of numbers, not " +
                         type_name(obj));
  }
  const py::object masked =
      py::module_::import("numpy").attr("ma").attr("MaskedArray");
  if (py::isinstance(obj, masked)) {
    throw py::type_error(what +
                         " is a masked array: fill it (numpy.ma.filled) or "
                         "drop the masked rows first");
  }
}

double real_number(const py::handle& obj, const char* what) {
  refuse_text_and_masks(obj, what);
  const double x = PyFloat_AsDouble(obj.ptr());
  if (x == -1.0 && PyErr_Occurred()) {
    PyErr_Clear();
    throw py::type_error(std::string(what) + " must be a real number, not " +
                         type_name(obj));
  }
  return x;
}

int mode_count(const py::object& obj, const char* what) {
  if (obj.is_none()) return -1;
  if (!PyLong_Check(obj.ptr()) && !PyIndex_Check(obj.ptr())) {
    throw py::type_error(std::string(what) + " must be an integer, not " +
                         type_name(obj));
  }
  const long long k = py::int_(obj).cast<long long>();
  if (k < 0) throw py::value_error(std::string(what) + " must not be negative");
  return static_cast<int>(std::min<long long>(k, INT_MAX));
}

float tolerance_of(const py::object& tol, float none) {
  if (tol.is_none()) return none;
  return static_cast<float>(real_number(tol, "tol"));
}

std::vector<std::size_t> as_indices(const py::object& obj, const char* what) {
  std::vector<std::size_t> out;
  if (obj.is_none()) return out;
  for (const py::handle k : obj) {
    if (k.is_none()) {
      throw py::type_error(std::string(what) + " must hold integers, not None");
    }
    out.push_back(static_cast<std::size_t>(
        mode_count(py::reinterpret_borrow<py::object>(k), what)));
  }
  return out;
}

py::array real_array(const py::handle& obj, const char* what, int ndim) {
  const py::array a = py::array::ensure(obj);
  if (!a) {
    throw py::type_error(std::string(what) + " must be an array of numbers");
  }
  const char kind = a.dtype().kind();
  if (kind != 'f' && kind != 'i' && kind != 'u' && kind != 'b') {
    throw py::type_error(std::string(what) + " must hold real numbers, not " +
                         py::str(a.dtype()).cast<std::string>());
  }
  if (ndim >= 0 && a.ndim() != ndim) {
    throw py::value_error(std::string(what) + " must be a " +
                          (ndim == 1   ? "one"
                           : ndim == 2 ? "two"
                                       : "zero") +
                          "-dimensional array, not " +
                          std::to_string(a.ndim()) + "-dimensional");
  }
  return a;
}

doubles real_doubles(const py::handle& obj, const char* what, int ndim) {
  return doubles::ensure(real_array(obj, what, ndim));
}

doubles real_vector(const py::handle& obj, const char* what) {
  doubles a = real_doubles(obj, what);
  if (a.ndim() != 1 && !(a.ndim() == 2 && a.shape(1) == 1)) {
    throw py::value_error(std::string(what) +
                          " must be one-dimensional or a column");
  }
  return a;
}

std::vector<double> as_vector(const py::handle& obj, const char* what) {
  if (obj.is_none()) return {};
  const doubles a = real_doubles(obj, what, 1);
  return std::vector<double>(a.data(), a.data() + a.size());
}

std::vector<double> as_vector_or_scalar(const py::handle& obj, const char* what,
                                        std::size_t n) {
  if (obj.is_none()) return {};
  const doubles a = real_doubles(obj, what);
  if (a.ndim() == 0) return std::vector<double>(n, *a.data());
  return as_vector(a, what);
}

std::vector<bool> as_mask(const py::handle& obj, const char* what) {
  std::vector<bool> mask;
  for (double x : as_vector(obj, what)) mask.push_back(x != 0);
  return mask;
}

py::array matrix_array(const py::handle& obj, const char* what) {
  refuse_text_and_masks(obj, what);
  const py::array a = real_array(obj, what, 2);
  if (a.shape(0) > INT_MAX || a.shape(1) > INT_MAX) {
    throw py::value_error(std::string(what) + " has more than " +
                          std::to_string(INT_MAX) + " rows or columns");
  }
  return a;
}

zub_feedback::matrix narrowed_matrix(const py::handle& obj, const char* what) {
  using floats = py::array_t<float, py::array::c_style | py::array::forcecast>;
  const floats narrowed = floats::ensure(matrix_array(obj, what));
  if (!narrowed) {
    throw py::type_error(std::string(what) + " cannot be narrowed to float32");
  }
  return copy_of(narrowed);
}

doubles exact_matrix(const py::handle& obj, const char* what) {
  return doubles::ensure(matrix_array(obj, what));
}

zub_feedback::matrix matrix_of(const doubles& a) { return copy_of(a); }

zub_feedback::const_matrix_view view_of(const doubles& a) {
  return zub_feedback::const_matrix_view(a.data(),
                                         static_cast<std::size_t>(a.shape(0)),
                                         static_cast<std::size_t>(a.shape(1)));
}

py::array_t<float> to_float_array(const zub_feedback::matrix& m) {
  return array_of<float>(m.data(), shape_of(m));
}
py::array_t<float> to_float_array(const std::vector<double>& v) {
  return array_of<float>(v.data(), shape_of(v));
}
py::array_t<double> to_double_array(const zub_feedback::matrix& m) {
  return array_of<double>(m.data(), shape_of(m));
}
py::array_t<double> to_double_array(const std::vector<double>& v) {
  return array_of<double>(v.data(), shape_of(v));
}
py::array_t<py::ssize_t> to_index_array(const std::vector<std::size_t>& v) {
  return array_of<py::ssize_t>(v.data(), shape_of(v));
}

}  // namespace zub_python
