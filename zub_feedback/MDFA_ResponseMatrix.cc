#include <gsl/gsl_matrix.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "inversion_steps.h"
#include "load_file.h"
#include "property_messages.h"
#include "refusals.h"
#include "report.h"
#include "svd_cutoff.h"
#include "zub_feedback.h"
#include "zub_feedback/arithmetic.h"
#include "zub_feedback/matrix.h"

namespace {

using zub_internal::kLevelError;
using zub_internal::kLevelInfo;
using zub_internal::kLevelTiming;
using zub_internal::report;

// A null name is the caller's error; it must not reach std::string.
std::string property_name(const char* pn) {
  if (pn == nullptr) {
    throw std::logic_error("MDFA_ResponseMatrix: null property name");
  }
  return std::string(pn);
}

}  // namespace

// ---------------------------------------------------------------- the object

MDFA_ResponseMatrix::MDFA_ResponseMatrix(const char* pn, int d1, int d0,
                                         EqFct* efp)
    : K_mdfloat_array(property_name(pn), d1, d0, efp, 0), rows(d1), cols(d0) {}

MDFA_ResponseMatrix::~MDFA_ResponseMatrix() = default;

MDFA_ResponseMatrix& MDFA_ResponseMatrix::operator=(MDFA_ResponseMatrix& rhs) {
  if (&rhs == this) return *this;
  // Only the array's value and shape travel; the property state held by
  // K_fct (name, error code, permission) stays this object's.
  data_.copy_from(&rhs.data_);
  dim_count_ = rhs.dim_count_;
  extent_ = rhs.extent_;
  element_count_ = rhs.element_count_;
  rows = rhs.rows;
  cols = rhs.cols;
  return *this;
}

bool MDFA_ResponseMatrix::operator==(const MDFA_ResponseMatrix& rhs) const {
  if (rows != rhs.rows || cols != rhs.cols) return false;
  for (int i = 0; i < rows; ++i) {
    for (int j = 0; j < cols; ++j) {
      if (value(i, j, -1, -1, -1, -1) != rhs.value(i, j, -1, -1, -1, -1)) {
        return false;
      }
    }
  }
  return true;
}

bool MDFA_ResponseMatrix::operator!=(const MDFA_ResponseMatrix& rhs) const {
  return !(*this == rhs);
}

void MDFA_ResponseMatrix::init(float val) {
  for (int i = 0; i < rows; ++i) {
    for (int j = 0; j < cols; ++j) set_value(val, i, j, -1, -1, -1, -1);
  }
}

namespace {

// Whether the elements of `m` can be copied out: a two-dimensional array of
// non-negative shape. When not, reported as create_gsl_matrix has always
// reported it, since the operations refused such a matrix through it.
bool copy_possible(const MDFA_ResponseMatrix& m) {
  const char* const name = "MDFA_ResponseMatrix::create_gsl_matrix";
  const int dnum = m.dimension_count();
  if (dnum != 2) {
    report(name, kLevelError, "ERROR: allocating GSL matrix num(dim)=%d !\n",
           dnum);
    return false;
  }
  // A negative dimension would become a huge unsigned size, whose
  // allocation fails (GSL's default error handler ends the process then).
  if (m.rows < 0 || m.cols < 0) {
    report(name, kLevelError,
           "ERROR: allocating GSL matrix of %d x %d elements !\n", m.rows,
           m.cols);
    return false;
  }
  return true;
}

}  // namespace

gsl_matrix* MDFA_ResponseMatrix::create_gsl_matrix() {
  if (!copy_possible(*this)) return nullptr;
  gsl_matrix* m =
      gsl_matrix_alloc(static_cast<size_t>(rows), static_cast<size_t>(cols));
  // The shape in locals: the element store is a call that the compiler
  // cannot see into, so members would be read again at every element.
  const int M = rows;
  const int N = cols;
  // Indexed from the start of the data: a matrix without columns may have
  // no data to point into.
  double* const out = m->data;
  const size_t tda = m->tda;
  for (int i = 0; i < M; ++i) {
    for (int j = 0; j < N; ++j) {
      out[static_cast<size_t>(i) * tda + static_cast<size_t>(j)] =
          value(i, j, -1, -1, -1, -1);
    }
  }
  return m;
}

arma::mat MDFA_ResponseMatrix::MDFA2arma_mat(MDFA_ResponseMatrix& A) {
  // Every element is written below, so the matrix is not zeroed first.
  arma::mat m(static_cast<arma::uword>(A.rows),
              static_cast<arma::uword>(A.cols), arma::fill::none);
  // Column-major: element (i, j) at i + j * ld. Shape and storage in locals,
  // as in create_gsl_matrix.
  const int M = A.rows;
  const int N = A.cols;
  double* const out = m.memptr();
  const size_t ld = static_cast<size_t>(m.n_rows);
  for (int i = 0; i < M; ++i) {
    for (int j = 0; j < N; ++j) {
      out[static_cast<size_t>(i) + static_cast<size_t>(j) * ld] =
          A.value(i, j, -1, -1, -1, -1);
    }
  }
  return m;
}

MDFA_ResponseMatrix* MDFA_ResponseMatrix::arma_mat2MDFA(arma::mat A) {
  if (A.n_rows < static_cast<arma::uword>(std::max(rows, 0)) ||
      A.n_cols < static_cast<arma::uword>(std::max(cols, 0))) {
    report("MDFA_ResponseMatrix::arma_mat2MDFA", kLevelError,
           "ERROR: source matrix (%llu x %llu) smaller than this (%d x %d)",
           static_cast<unsigned long long>(A.n_rows),
           static_cast<unsigned long long>(A.n_cols), rows, cols);
    return this;
  }
  // A's shape was checked above, so its elements are read unchecked;
  // column-major, element (i, j) at i + j * ld.
  const int M = rows;
  const int N = cols;
  const double* const in = A.memptr();
  const size_t ld = static_cast<size_t>(A.n_rows);
  for (int i = 0; i < M; ++i) {
    for (int j = 0; j < N; ++j) {
      set_value(static_cast<float>(
                    in[static_cast<size_t>(i) + static_cast<size_t>(j) * ld]),
                i, j, -1, -1, -1, -1);
    }
  }
  return this;
}

// ---------------------------------------------------------------- the
// adapters' shared steps

namespace {

// The elements of a matrix of non-negative shape as doubles, row by row,
// for a product: appended rather than written over zeros, which would cost
// the per-cycle product one more pass over the matrix. The shape in
// locals: the element store is a call that the compiler cannot see into,
// so members would be read again at every element.
struct element_copy {
  explicit element_copy(const MDFA_ResponseMatrix& m)
      : rows(static_cast<size_t>(m.rows)), cols(static_cast<size_t>(m.cols)) {
    const int M = m.rows;
    const int N = m.cols;
    values.reserve(rows * cols);
    for (int i = 0; i < M; ++i) {
      for (int j = 0; j < N; ++j) {
        values.push_back(m.value(i, j, -1, -1, -1, -1));
      }
    }
  }
  operator zub_feedback::const_matrix_view() const {
    return zub_feedback::const_matrix_view(values.data(), rows, cols);
  }
  size_t rows;
  size_t cols;
  std::vector<double> values;
};

// The same as a matrix, for an inverse, whose working copy it becomes.
zub_feedback::matrix elements_of(const MDFA_ResponseMatrix& m) {
  const int M = m.rows;
  const int N = m.cols;
  zub_feedback::matrix out(static_cast<size_t>(M), static_cast<size_t>(N));
  double* const e = out.data();
  for (int i = 0; i < M; ++i) {
    for (int j = 0; j < N; ++j) {
      e[static_cast<size_t>(i) * static_cast<size_t>(N) +
        static_cast<size_t>(j)] = m.value(i, j, -1, -1, -1, -1);
    }
  }
  return out;
}

// Writes a result of the target's shape into it as floats, row by row.
void store(const zub_feedback::matrix& m, MDFA_ResponseMatrix& target) {
  const size_t M = m.rows();
  const size_t N = m.cols();
  const double* const e = m.data();
  for (size_t i = 0; i < M; ++i) {
    for (size_t j = 0; j < N; ++j) {
      target.set_value(static_cast<float>(e[i * N + j]), static_cast<int>(i),
                       static_cast<int>(j), -1, -1, -1, -1);
    }
  }
}

// Logs a refusal of the core, and whether there was one.
bool refused(const zub_feedback::status& s, const char* name) {
  if (s) return false;
  report(name, kLevelError, "%s", s.error().message.c_str());
  return true;
}

}  // namespace

// ---------------------------------------------------------------- products and
// transposition

void MDFA_ResponseMatrix::multiply(MDFA_ResponseMatrix& A,
                                   MDFA_ResponseMatrix& B) {
  const char* const name = "MDFA_ResponseMatrix::multiply";
  // On the properties' own dimensions, which may be negative, before their
  // elements can be copied out.
  if (refused(zub_internal::check_product_shapes(rows, cols, A.rows, A.cols,
                                                 B.rows, B.cols),
              name)) {
    return;
  }
  if (!copy_possible(A) || !copy_possible(B) || !copy_possible(*this)) {
    return;
  }
  // Every operand is copied before the product is written, so B may be this
  // object or A.
  const element_copy a(*this);
  const element_copy b(A);
  zub_feedback::matrix product(static_cast<size_t>(B.rows),
                               static_cast<size_t>(B.cols));
  if (refused(zub_feedback::multiply(a, b, product.view()), name)) return;
  store(product, B);
}

void MDFA_ResponseMatrix::entrywise_product(MDFA_ResponseMatrix& A,
                                            MDFA_ResponseMatrix& B) {
  const char* const name = "MDFA_ResponseMatrix::entrywise_product";
  if (refused(zub_internal::check_entrywise_shapes(rows, cols, A.rows, A.cols,
                                                   B.rows, B.cols),
              name)) {
    return;
  }
  if (rows < 0 || cols < 0) return;  // no element to write
  // Both factors are copied before B is written, so B may be this object or
  // A. Each product of two floats, formed in double, rounds to the float
  // product.
  const element_copy a(*this);
  const element_copy b(A);
  zub_feedback::matrix product(static_cast<size_t>(rows),
                               static_cast<size_t>(cols));
  if (refused(zub_feedback::entrywise_product(a, b, product.view()), name)) {
    return;
  }
  store(product, B);
}

void MDFA_ResponseMatrix::transpose(MDFA_ResponseMatrix& transR) {
  // transR's values take no part: only whether it is a matrix and its shape
  // are needed.
  if (!copy_possible(*this) || !copy_possible(transR)) return;
  // Copied first, so a square transR may be this object. Widening to double
  // and narrowing back is exact: the result is bit for bit.
  const element_copy a(*this);
  zub_feedback::matrix t(static_cast<size_t>(transR.rows),
                         static_cast<size_t>(transR.cols));
  if (refused(zub_feedback::transpose(a, t.view()),
              "MDFA_ResponseMatrix::transpose")) {
    return;
  }
  store(t, transR);
}

// ---------------------------------------------------------------- loading from
// a file

// The body is an adapter over the core's file unit (load_file.cc), where
// tests can give it a clock of their own.
bool MDFA_ResponseMatrix::load_file(const char* fname) {
  return zub_internal::load_matrix_file(*this, fname,
                                        zub_internal::system_file_clock());
}

// ----------------------------------------------------------------
// truncated-SVD inversion

namespace {

const char* const kInvert = zub_internal::kInvertName;

// Bit of KARST_debug that asks invert for its tables on standard output.
constexpr int kDebugTables = 0x80;

bool debug_tables() { return (KARST_debug & kDebugTables) != 0; }

double elapsed_ms(std::chrono::steady_clock::time_point t0) {
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                      std::chrono::steady_clock::now() - t0)
                      .count();
  return static_cast<double>(ns) / 1e9 * 1000;
}

// What the core cannot see (null arguments, the array, its negative
// dimensions, the shape of the result): reported, and true. A matrix
// without rows or columns is refused in the core's words.
bool invert_refused(const MDFA_ResponseMatrix& a,
                    const MDFA_ResponseMatrix& pinvR, const float* tol,
                    const int* nosv) {
  if (tol == nullptr || nosv == nullptr) {
    report(kInvert, kLevelError,
           "ERROR: no tolerance or no count of singular values given !\n");
    return true;
  }
  if (a.dimension_count() != 2) {
    report(kInvert, kLevelError,
           "ERROR: cannot invert an array of %d dimensions !\n",
           a.dimension_count());
    return true;
  }
  if (a.rows <= 0 || a.cols <= 0) {
    report(kInvert, kLevelError, "%s",
           zub_internal::empty_matrix_refusal(a.rows, a.cols).message.c_str());
    return true;
  }
  if (pinvR.rows != a.cols || pinvR.cols != a.rows) {
    report(kInvert, kLevelError,
           "ERROR: inverse is %d x %d, it must be %d x %d !\n", pinvR.rows,
           pinvR.cols, a.cols, a.rows);
    return true;
  }
  return false;
}

// Logs, or prints where the property prints, what invert or pinv says.
void tell(const char* name, const zub_internal::property_messages& said) {
  for (const zub_internal::property_message& m : said) {
    if (m.printed) {
      std::cout << m.text;
    } else {
      report(name, m.level, "%s", m.text.c_str());
    }
  }
}

}  // namespace

// The truncated-SVD inverse of this matrix (zub_feedback/inversion.cc says
// how it is formed), with what invert has always logged and printed around
// it.
void MDFA_ResponseMatrix::invert(MDFA_ResponseMatrix& pinvR,
                                 K_spectrum& singular_val, float* tol,
                                 int* nosv) {
  const auto t0 = std::chrono::steady_clock::now();
  if (invert_refused(*this, pinvR, tol, nosv)) return;
  const bool tables = debug_tables();
  auto outcome = zub_internal::truncated_svd(elements_of(*this), *tol, tables);
  if (!outcome) {
    tell(kInvert,
         zub_internal::invert_messages(rows, cols, outcome.error(), 0));
    return;
  }
  zub_internal::truncated_svd_outcome& o = outcome.value();
  const zub_feedback::truncated_svd_result& r = o.result;
  *tol = r.tolerance;
  *nosv = r.kept;
  singular_val.set_spectrum_length(static_cast<int>(r.singular_values.size()));
  for (size_t i = 0; i < r.singular_values.size(); ++i) {
    singular_val.fill_spectrum(static_cast<int>(i),
                               static_cast<float>(r.singular_values[i]));
  }
  store(r.inverse, pinvR);
  // The messages after the values: "took" covers the whole call.
  const zub_internal::invert_tables shown{o.reciprocals, o.unfiltered};
  const zub_feedback::result<zub_feedback::truncated_svd_result> done(
      std::move(o.result));
  tell(kInvert, zub_internal::invert_messages(rows, cols, done, elapsed_ms(t0),
                                              tables ? &shown : nullptr));
}

// ----------------------------------------------------------------
// pseudo-inverse

void MDFA_ResponseMatrix::pinv(MDFA_ResponseMatrix& pinvR, float* tolerance) {
  const char* const name = zub_internal::kPinvName;
  const auto t0 = std::chrono::steady_clock::now();

  if (tolerance == nullptr) {
    report(name, kLevelError, "ERROR: no tolerance given !\n");
    return;
  }
  // The result is written at every index of pinvR's own shape.
  if (pinvR.rows != cols || pinvR.cols != rows) {
    report(name, kLevelError,
           "ERROR: inverse is %d x %d, it must be %d x %d !\n", pinvR.rows,
           pinvR.cols, cols, rows);
    return;
  }

  // A negative shape has no elements to copy out.
  if (rows < 0 || cols < 0) {
    report(name, kLevelError, "%s",
           zub_internal::empty_matrix_refusal(rows, cols).message.c_str());
    return;
  }

  zub_feedback::matrix a = elements_of(*this);
  const int in_filter = zub_internal::remove_small_elements(a, *tolerance);
  const auto outcome = zub_internal::pseudo_inverse_of_filtered(a);
  if (outcome) store(outcome.value().inverse, pinvR);
  tell(name, zub_internal::pinv_messages(*tolerance, in_filter, outcome,
                                         elapsed_ms(t0)));
  // A failed SVD reaches the caller as Armadillo's pinv reports it, with
  // pinvR untouched; so does a matrix that it cannot decompose.
  if (!outcome) {
    if (const char* thrown =
            zub_internal::pinv_exception_text(outcome.error())) {
      throw std::runtime_error(thrown);
    }
  }
}
