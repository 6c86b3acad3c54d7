// The numeric core's products and transposition on row-major doubles.
#include "zub_feedback/arithmetic.h"

#include <gsl/gsl_cblas.h>

#include <algorithm>
#include <cstddef>

#include "refusals.h"

namespace zub_feedback {

namespace {

using zub_internal::make_refusal;
using zub_internal::overlap;

// BLAS takes a leading dimension of at least max(1, cols); a view whose rows
// overlap is the caller's error, refused rather than handed on.
status check_stride(const_matrix_view v, const char* name) {
  if (v.rows() <= 1 || v.stride() >= v.cols()) return {};
  return make_refusal(error_code::bad_argument,
                      "ERROR: %s has rows of %zu elements %zu apart !\n", name,
                      v.cols(), v.stride());
}

// What BLAS takes for the distance between rows: the stride, or for a
// single row anything of at least max(1, cols).
int leading_dimension(const_matrix_view v) {
  return static_cast<int>(v.rows() > 1 ? v.stride()
                                       : std::max<std::size_t>(1, v.cols()));
}

void copy(const_matrix_view from, matrix_view to) {
  for (std::size_t i = 0; i < from.rows(); ++i) {
    std::copy(from.row(i), from.row(i) + from.cols(), to.row(i));
  }
}

// The product into `product`, which overlaps neither factor.
void multiply_into(const_matrix_view a, const_matrix_view b,
                   matrix_view product) {
  if (product.empty()) return;
  if (a.cols() == 0) {
    // Sums of no terms; BLAS refuses the zero leading dimensions of such
    // factors.
    for (std::size_t i = 0; i < product.rows(); ++i) {
      std::fill(product.row(i), product.row(i) + product.cols(), 0.0);
    }
    return;
  }
  // As gsl_blas_dgemm calls it for GSL matrices, so that the property's
  // products stay what they were to the bit. beta 0: the output's former
  // values, NaN included, take no part.
  cblas_dgemm(CblasRowMajor, CblasNoTrans, CblasNoTrans,
              static_cast<int>(product.rows()),
              static_cast<int>(product.cols()), static_cast<int>(a.cols()), 1.0,
              a.data(), leading_dimension(a), b.data(), leading_dimension(b),
              0.0, product.data(), leading_dimension(product));
}

}  // namespace

status multiply(const_matrix_view a, const_matrix_view b, matrix_view product) {
  const status shapes = zub_internal::check_product_shapes(
      static_cast<long long>(a.rows()), static_cast<long long>(a.cols()),
      static_cast<long long>(b.rows()), static_cast<long long>(b.cols()),
      static_cast<long long>(product.rows()),
      static_cast<long long>(product.cols()));
  if (!shapes) return shapes;
  for (const status& s : {check_stride(a, "a"), check_stride(b, "b"),
                          check_stride(product, "the product")}) {
    if (!s) return s;
  }
  if (overlap(product, a) || overlap(product, b)) {
    matrix result(product.rows(), product.cols());
    multiply_into(a, b, result.view());
    copy(result, product);
  } else {
    multiply_into(a, b, product);
  }
  return {};
}

result<matrix> multiply(const_matrix_view a, const_matrix_view b) {
  matrix product(a.rows(), b.cols());
  const status s = multiply(a, b, product.view());
  if (!s) return s.error();
  return product;
}

status entrywise_product(const_matrix_view a, const_matrix_view b,
                         matrix_view product) {
  const status shapes = zub_internal::check_entrywise_shapes(
      static_cast<long long>(a.rows()), static_cast<long long>(a.cols()),
      static_cast<long long>(b.rows()), static_cast<long long>(b.cols()),
      static_cast<long long>(product.rows()),
      static_cast<long long>(product.cols()));
  if (!shapes) return shapes;
  // The product of two floats is exact in double precision (24 + 24
  // significant bits), so that its one rounding to float gives the float
  // product.
  const auto form = [&](matrix_view out) {
    for (std::size_t i = 0; i < out.rows(); ++i) {
      const double* x = a.row(i);
      const double* y = b.row(i);
      double* z = out.row(i);
      for (std::size_t j = 0; j < out.cols(); ++j) z[j] = x[j] * y[j];
    }
  };
  if (overlap(product, a) || overlap(product, b)) {
    matrix result(product.rows(), product.cols());
    form(result.view());
    copy(result, product);
  } else {
    form(product);
  }
  return {};
}

status transpose(const_matrix_view a, matrix_view transposed) {
  const status shapes = zub_internal::check_transpose_shapes(
      static_cast<long long>(a.rows()), static_cast<long long>(a.cols()),
      static_cast<long long>(transposed.rows()),
      static_cast<long long>(transposed.cols()));
  if (!shapes) return shapes;
  if (overlap(transposed, a)) {
    const matrix copy_of_a(a);
    return transpose(copy_of_a, transposed);
  }
  for (std::size_t i = 0; i < transposed.rows(); ++i) {
    double* out = transposed.row(i);
    for (std::size_t j = 0; j < transposed.cols(); ++j) out[j] = a(j, i);
  }
  return {};
}

matrix transpose(const_matrix_view a) {
  matrix t(a.cols(), a.rows());
  transpose(a, t.view());
  return t;
}

status apply(const_matrix_view inverse, const double* x, std::size_t x_size,
             double* y, std::size_t y_size) noexcept {
  if (x_size != inverse.cols() || y_size != inverse.rows()) {
    return make_refusal(error_code::shape_mismatch,
                        "ERROR: Dimension mismatch: dim(inverse): %zu x %zu "
                        "dim(x): %zu dim(y): %zu ",
                        inverse.rows(), inverse.cols(), x_size, y_size);
  }
  const status stride = check_stride(inverse, "the inverse");
  if (!stride) return stride;
  if (y_size == 0) return {};
  if (x_size == 0) {
    // dgemv returns at once for an empty row and would leave y as it was.
    std::fill(y, y + y_size, 0.0);
    return {};
  }
  cblas_dgemv(CblasRowMajor, CblasNoTrans, static_cast<int>(inverse.rows()),
              static_cast<int>(inverse.cols()), 1.0, inverse.data(),
              leading_dimension(inverse), x, 1, 0.0, y, 1);
  return {};
}

}  // namespace zub_feedback
