// The Python module's conversions between Python objects (numbers, numpy
// arrays, nested lists) and the numeric core's matrices and vectors, shared
// by its binding units so that an argument is taken, and refused, alike
// everywhere. A refusal is a short TypeError or ValueError naming the
// argument (`what`), never printing its value.
#ifndef ZUB_PYTHON_ARRAYS_H
#define ZUB_PYTHON_ARRAYS_H

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstddef>
#include <string>
#include <vector>

#include "zub_feedback/matrix.h"

namespace zub_python {

namespace py = pybind11;
using doubles = py::array_t<double, py::array::c_style | py::array::forcecast>;

std::string type_name(const py::handle& obj);

// A string is text, not a number, even where numpy would parse it; a masked
// array's mask would be dropped silently.
void refuse_text_and_masks(const py::handle& obj, const std::string& what);

// A real number, or a short TypeError.
double real_number(const py::handle& obj, const char* what);

// A count of modes or a mode index: None gives -1 (none), a negative
// integer is refused.
int mode_count(const py::object& obj, const char* what);

// A relative tolerance as a float; None gives `none`.
float tolerance_of(const py::object& tol, float none);

// A sequence of indices (integers >= 0); None gives none.
std::vector<std::size_t> as_indices(const py::object& obj, const char* what);

// `obj` as an array of real numbers (floats, integers, booleans) as it is,
// of `ndim` dimensions unless that is negative.
py::array real_array(const py::handle& obj, const char* what, int ndim = -1);
// The same as a contiguous float64 array, without a copy when it is one.
doubles real_doubles(const py::handle& obj, const char* what, int ndim = -1);
// A row or a column of numbers: one-dimensional, or k x 1.
doubles real_vector(const py::handle& obj, const char* what);
// One-dimensional, copied; None gives an empty vector.
std::vector<double> as_vector(const py::handle& obj, const char* what);
// As as_vector, or a number taken for each of n elements.
std::vector<double> as_vector_or_scalar(const py::handle& obj, const char* what,
                                        std::size_t n);
// True where an element is not 0; None gives an empty mask.
std::vector<bool> as_mask(const py::handle& obj, const char* what);

// `obj` as the library takes a matrix: two-dimensional, real, no text or
// masked array, rows and columns counted in int.
py::array matrix_array(const py::handle& obj, const char* what);
// matrix_array's values as the property holds them: narrowed to float as
// load_file narrows a file's numbers, held as doubles.
zub_feedback::matrix narrowed_matrix(const py::handle& obj, const char* what);
// matrix_array's values in double precision, as they are.
doubles exact_matrix(const py::handle& obj, const char* what);
// A two-dimensional array copied, or seen, as the core takes a matrix.
zub_feedback::matrix matrix_of(const doubles& a);
zub_feedback::const_matrix_view view_of(const doubles& a);

// Results: new arrays. The core's float results are floats held as
// doubles, so that narrowing them is exact.
py::array_t<float> to_float_array(const zub_feedback::matrix& m);
py::array_t<float> to_float_array(const std::vector<double>& v);
py::array_t<double> to_double_array(const zub_feedback::matrix& m);
py::array_t<double> to_double_array(const std::vector<double>& v);
py::array_t<py::ssize_t> to_index_array(const std::vector<std::size_t>& v);

}  // namespace zub_python

#endif  // ZUB_PYTHON_ARRAYS_H
