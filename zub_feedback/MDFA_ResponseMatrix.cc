#include <gsl/gsl_blas.h>
#include <gsl/gsl_linalg.h>
#include <gsl/gsl_math.h>
#include <gsl/gsl_matrix.h>
#include <gsl/gsl_vector.h>

#include <algorithm>
#include <cfloat>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <iostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "gsl_owners.h"
#include "load_file.h"
#include "report.h"
#include "svd_cutoff.h"
#include "zub_feedback.h"

namespace {

using zub_internal::kLevelError;
using zub_internal::kLevelInfo;
using zub_internal::kLevelTiming;
using zub_internal::report;
using Matrix = zub_internal::gsl_matrix_owner;
using Vector = zub_internal::gsl_vector_owner;

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

// Whether `m` can have a GSL working copy; when not, reported as
// create_gsl_matrix reports it.
bool gsl_copy_possible(const MDFA_ResponseMatrix& m) {
  const char* const name = "MDFA_ResponseMatrix::create_gsl_matrix";
  const int dnum = m.dimension_count();
  if (dnum != 2) {
    report(name, kLevelError, "ERROR: allocating GSL matrix num(dim)=%d !\n",
           dnum);
    return false;
  }
  // A negative dimension would become a huge unsigned size, and GSL's
  // default error handler ends the process when that allocation fails.
  if (m.rows < 0 || m.cols < 0) {
    report(name, kLevelError,
           "ERROR: allocating GSL matrix of %d x %d elements !\n", m.rows,
           m.cols);
    return false;
  }
  return true;
}

// A working copy of m's shape whose elements are left unset, for a result
// that is computed over them; nullptr (reported) as for create_gsl_matrix.
gsl_matrix* gsl_result_matrix(const MDFA_ResponseMatrix& m) {
  if (!gsl_copy_possible(m)) return nullptr;
  return gsl_matrix_alloc(static_cast<size_t>(m.rows),
                          static_cast<size_t>(m.cols));
}

}  // namespace

gsl_matrix* MDFA_ResponseMatrix::create_gsl_matrix() {
  gsl_matrix* m = gsl_result_matrix(*this);
  if (m == nullptr) return nullptr;
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

// ---------------------------------------------------------------- products and
// transposition

namespace {

// Writes a working copy back into a response matrix of the same shape.
void store_gsl_matrix(const gsl_matrix& m, MDFA_ResponseMatrix& target) {
  const size_t M = m.size1;
  const size_t N = m.size2;
  for (size_t i = 0; i < M; ++i) {
    for (size_t j = 0; j < N; ++j) {
      target.set_value(static_cast<float>(m.data[i * m.tda + j]),
                       static_cast<int>(i), static_cast<int>(j), -1, -1, -1,
                       -1);
    }
  }
}

}  // namespace

void MDFA_ResponseMatrix::multiply(MDFA_ResponseMatrix& A,
                                   MDFA_ResponseMatrix& B) {
  // The inner dimensions are checked too: GSL would reject the product
  // through its error handler, and the default one ends the process.
  if (rows != B.rows || A.cols != B.cols || cols != A.rows) {
    report("MDFA_ResponseMatrix::multiply", kLevelError,
           "ERROR: Dimension mismatch: dim(this): %d x %d dim(A): %d x %d "
           "dim(B): %d x %d ",
           rows, cols, A.rows, A.cols, B.rows, B.cols);
    return;
  }
  // Every operand is copied before the product is formed, so B may be this
  // object or A.
  const Matrix gslA(A.create_gsl_matrix());
  if (!gslA) return;
  // The product overwrites every element of B's copy (beta 0), so B's
  // values are not read into it.
  Matrix gslB(gsl_result_matrix(B));
  if (!gslB) return;
  const Matrix gslThis(create_gsl_matrix());
  if (!gslThis) return;

  if (gslB->size1 == 0 || gslB->size2 == 0) return;  // nothing to write
  if (gslThis->size2 == 0) {
    // An empty inner dimension gives sums of no terms; BLAS refuses the
    // zero leading dimensions of such factors.
    gsl_matrix_set_zero(gslB.get());
  } else {
    // beta 0: B's former values, NaN included, take no part.
    gsl_blas_dgemm(CblasNoTrans, CblasNoTrans, 1.0, gslThis.get(), gslA.get(),
                   0.0, gslB.get());
  }
  store_gsl_matrix(*gslB, B);
}

void MDFA_ResponseMatrix::entrywise_product(MDFA_ResponseMatrix& A,
                                            MDFA_ResponseMatrix& B) {
  if (rows != A.rows || rows != B.rows || cols != A.cols || B.cols != cols) {
    report("MDFA_ResponseMatrix::entrywise_product", kLevelError,
           "ERROR: Dimension mismatch: dim(this): %d x %d dim(A): %d x %d "
           "dim(B): %d x %d ",
           rows, cols, A.rows, A.cols, B.rows, B.cols);
    return;
  }
  // Both factors of an element are read before it is written, so B may be
  // this object or A.
  for (int i = 0; i < rows; ++i) {
    for (int j = 0; j < cols; ++j) {
      const float a = value(i, j, -1, -1, -1, -1);
      const float b = A.value(i, j, -1, -1, -1, -1);
      B.set_value(a * b, i, j, -1, -1, -1, -1);
    }
  }
}

void MDFA_ResponseMatrix::transpose(MDFA_ResponseMatrix& transR) {
  const Matrix R(create_gsl_matrix());
  if (!R) return;
  // transR's values take no part: only whether it could have a working copy
  // and its shape are needed.
  if (!gsl_copy_possible(transR)) return;
  const size_t M = R->size1;
  const size_t N = R->size2;
  const size_t transM = static_cast<size_t>(transR.rows);
  const size_t transN = static_cast<size_t>(transR.cols);
  if (M != transN || N != transM) {
    report("MDFA_ResponseMatrix::transpose", kLevelError,
           "ERROR: Dimension mismatch: dim(transR) (%d x %d) must be inverse "
           "of dim(this) (%d x %d)",
           static_cast<int>(transM), static_cast<int>(transN),
           static_cast<int>(M), static_cast<int>(N));
    return;
  }
  // Read from the copy, so a square transR may be this object. Widening to
  // double and narrowing back is exact: the result is bit for bit.
  for (size_t i = 0; i < transM; ++i) {
    for (size_t j = 0; j < transN; ++j) {
      transR.set_value(static_cast<float>(R->data[j * R->tda + i]),
                       static_cast<int>(i), static_cast<int>(j), -1, -1, -1,
                       -1);
    }
  }
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

const char* const kInvert = "MDFA_ResponseMatrix::invert";

// Bit of KARST_debug that asks invert for its tables on standard output.
constexpr int kDebugTables = 0x80;

bool debug_tables() { return (KARST_debug & kDebugTables) != 0; }

double elapsed_ms(std::chrono::steady_clock::time_point t0) {
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                      std::chrono::steady_clock::now() - t0)
                      .count();
  return static_cast<double>(ns) / 1e9 * 1000;
}

// What would make GSL's default error handler end the process, or yield a
// count that disagrees with the inverse: reported, and true.
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
    report(kInvert, kLevelError, "ERROR: cannot invert a %d x %d matrix !\n",
           a.rows, a.cols);
    return true;
  }
  if (pinvR.rows != a.cols || pinvR.cols != a.rows) {
    report(kInvert, kLevelError,
           "ERROR: inverse is %d x %d, it must be %d x %d !\n", pinvR.rows,
           pinvR.cols, a.cols, a.rows);
    return true;
  }
  if (std::isnan(*tol)) {
    report(kInvert, kLevelError, "ERROR: SVD cut off tolerance is NaN !\n");
    return true;
  }
  return false;
}

// GSL's SVD gives NaN singular values for these, which the count would
// report as kept.
bool has_non_finite_element(const gsl_matrix& R) {
  for (size_t i = 0; i < R.size1; ++i) {
    const double* row = gsl_matrix_const_ptr(&R, i, 0);
    for (size_t j = 0; j < R.size2; ++j) {
      if (!std::isfinite(row[j])) {
        report(kInvert, kLevelError,
               "ERROR: element (%d, %d) is not a finite number !\n",
               static_cast<int>(i), static_cast<int>(j));
        return true;
      }
    }
  }
  return false;
}

// B = U D V^T of the c x r orientation B of the matrix (see invert).
struct decomposition {
  Matrix U;  // c x r: first B, after the decomposition its left vectors
  Matrix V;  // r x r
  Vector S;  // r singular values, largest first
  Vector work;
  size_t r = 0;
  size_t c = 0;
  bool transposed = false;  // B = A (the matrix has more rows than columns)
};

// Orients the GSL copy R of the matrix and decomposes it; false, reported,
// when the SVD fails (only through a host's error handler that returns).
bool decompose(Matrix R, decomposition& d) {
  int r = static_cast<int>(R->size1);
  int c = static_cast<int>(R->size2);
  report(kInvert, kLevelInfo, "INFO: SVD on %d x %d matrix ...", r, c);
  d.transposed = r > c;
  if (d.transposed) {
    report(kInvert, kLevelInfo, "INFO: M < N transposing matrix ...");
    std::swap(r, c);
    report(kInvert, kLevelInfo, "INFO: matrix dim changed to: %d x %d", r, c);
    d.U = std::move(R);  // B = A
  } else {
    d.U.reset(gsl_matrix_alloc(R->size2, R->size1));
    gsl_matrix_transpose_memcpy(d.U.get(), R.get());  // B = A^T
    R.reset();  // not held through the decomposition
  }
  d.r = static_cast<size_t>(r);
  d.c = static_cast<size_t>(c);
  d.V.reset(gsl_matrix_alloc(d.r, d.r));
  d.S.reset(gsl_vector_alloc(d.r));
  d.work.reset(gsl_vector_alloc(d.r));
  if (gsl_linalg_SV_decomp(d.U.get(), d.V.get(), d.S.get(), d.work.get()) !=
      GSL_SUCCESS) {
    report(kInvert, kLevelError, "ERROR: SVD failed !\n");
    return false;
  }
  return true;
}

// The tolerance of the cut-off: the caller's, or with -1 the internal one,
// stored back into *tol. Logged either way.
void choose_tolerance(float* tol, float internal) {
  if (*tol == -1.0f) {
    *tol = internal;
    report(kInvert, kLevelInfo,
           "INFO: Using internal tolerance for SVD cut off: %e",
           static_cast<double>(*tol));
  } else {
    report(kInvert, kLevelInfo,
           "INFO: Using user provided SVD cut off tolerance: %e",
           static_cast<double>(*tol));
  }
}

void print_table(const char* title, const gsl_vector& v) {
  std::puts(title);
  for (size_t i = 0; i < v.size; ++i)
    std::printf("%f  ", gsl_vector_get(&v, i));
  std::putchar('\n');
}

// The diagonal of D+ into `dplus`: 1/s for each singular value above the
// cut-off, 0 for the others, which is also the debug table of 1/s. A zero
// singular value, or one whose reciprocal no float holds, never enters,
// whatever the tolerance, and is counted as infinite. Returns the number
// that entered.
int kept_values(const gsl_vector& S, double cutoff, gsl_vector& dplus,
                unsigned& infs) {
  infs = 0;
  int kept = 0;
  for (size_t i = 0; i < S.size; ++i) {
    const double s = gsl_vector_get(&S, i);
    const double o = 1.0 / s;
    if (gsl_isinf(o) || o > FLT_MAX) ++infs;
    const bool enters = zub_internal::enters_inverse(s, cutoff);
    if (enters) ++kept;
    gsl_vector_set(&dplus, i, enters ? o : 0.0);
  }
  return kept;
}

// R+ = U (D+ V^T), with D+ V^T formed in V's place: element (i, j) is
// dplus(i) V(j, i). The + 0.0 gives a zero product the sign that a BLAS
// product gives it (its sums start at +0).
Matrix truncated_inverse(decomposition& d, const gsl_vector& dplus) {
  double* const v = d.V->data;
  const size_t tda = d.V->tda;
  for (size_t i = 0; i < d.r; ++i) {
    const double di = gsl_vector_get(&dplus, i);
    v[i * tda + i] = di * v[i * tda + i] + 0.0;
    for (size_t j = i + 1; j < d.r; ++j) {
      const double vij = v[i * tda + j];
      v[i * tda + j] = di * v[j * tda + i] + 0.0;
      v[j * tda + i] = gsl_vector_get(&dplus, j) * vij + 0.0;
    }
  }
  Matrix R_plus(gsl_matrix_alloc(d.c, d.r));
  gsl_blas_dgemm(CblasNoTrans, CblasNoTrans, 1.0, d.U.get(), d.V.get(), 0.0,
                 R_plus.get());
  return R_plus;
}

// The n x m inverse: R+ when the matrix was not transposed, R+ read
// transposed when it was.
class inverse_view {
 public:
  inverse_view(const gsl_matrix& R_plus, bool transposed)
      : p_(R_plus.data),
        tda_(R_plus.tda),
        transposed_(transposed),
        rows_(transposed ? R_plus.size2 : R_plus.size1),
        cols_(transposed ? R_plus.size1 : R_plus.size2) {}
  double operator()(size_t i, size_t j) const {
    return transposed_ ? p_[j * tda_ + i] : p_[i * tda_ + j];
  }
  size_t rows() const { return rows_; }
  size_t cols() const { return cols_; }

 private:
  const double* p_;
  size_t tda_;
  bool transposed_;
  size_t rows_;
  size_t cols_;
};

void print_inverse_table(const inverse_view& inverse) {
  std::puts("\npinv(A)\n----------------------------------------");
  for (size_t i = 0; i < inverse.rows(); ++i) {
    for (size_t j = 0; j < inverse.cols(); ++j) {
      std::printf("%.4f\t", inverse(i, j));
    }
    std::putchar('\n');
  }
}

// Writes every element into pinvR, numerical noise as 0 (svd_cutoff.h).
void write_inverse(const inverse_view& inverse, double tol, double internal,
                   MDFA_ResponseMatrix& pinvR) {
  double largest = 0.0;
  for (size_t i = 0; i < inverse.rows(); ++i) {
    for (size_t j = 0; j < inverse.cols(); ++j) {
      largest = std::max(largest, std::fabs(inverse(i, j)));
    }
  }
  const double noise =
      zub_internal::inverse_noise_bound(tol, internal, largest);
  for (size_t i = 0; i < inverse.rows(); ++i) {
    for (size_t j = 0; j < inverse.cols(); ++j) {
      const double v = inverse(i, j);
      pinvR.set_value(std::fabs(v) > noise ? static_cast<float>(v) : 0.0f,
                      static_cast<int>(i), static_cast<int>(j), -1, -1, -1, -1);
    }
  }
}

}  // namespace

// Truncated pseudo-inverse of this m x n matrix A through GSL's SVD.
//
// GSL decomposes a matrix with at least as many rows as columns, so the
// matrix decomposed is B, the c x r orientation of A with r = min(m, n) and
// c = max(m, n): B = A^T when m <= n, B = A when m > n.
//
//   B = U D V^T
//
// U is c x r with orthonormal columns (the left singular vectors), D =
// diag(s_0, ..., s_{r-1}) with s_0 >= s_1 >= ... >= 0 (the singular values)
// and V is r x r orthogonal (the right singular vectors). With D+ holding
// 1/s_i for each s_i above the cut-off and 0 elsewhere,
//
//   R+ = U D+ V^T
//
// is the truncated pseudo-inverse of B^T: pinv(A) itself when m <= n, its
// transpose when m > n.
//
// B is built straight from the GSL copy of A (no transpose when m > n), D+
// V^T is a scaling of the rows of V^T formed in V's place, and R+ is read
// transposed rather than copied; each gives the doubles of the textbook
// sequence of transposed copies and full products.
void MDFA_ResponseMatrix::invert(MDFA_ResponseMatrix& pinvR,
                                 K_spectrum& singular_val, float* tol,
                                 int* nosv) {
  const auto t0 = std::chrono::steady_clock::now();
  if (invert_refused(*this, pinvR, tol, nosv)) return;
  Matrix R(create_gsl_matrix());
  if (!R) return;  // reported by create_gsl_matrix
  if (has_non_finite_element(*R)) return;

  decomposition d;
  if (!decompose(std::move(R), d)) return;
  const double largest = gsl_vector_max(d.S.get());
  // The spectrum holds floats: a larger singular value would be published
  // as an infinity.
  if (largest > FLT_MAX) {
    report(kInvert, kLevelError,
           "ERROR: singular value %e beyond float range !\n", largest);
    return;
  }
  const float internal =
      zub_internal::internal_tolerance(largest, static_cast<int>(d.c));
  choose_tolerance(tol, internal);
  if (debug_tables()) {
    print_table("S\n----------------------------------------", *d.S);
  }

  // The caller's tolerance sets the cut-off, relative to the largest
  // singular value. D+ goes into the workspace that the SVD no longer needs.
  unsigned infs = 0;
  *nosv = kept_values(*d.S, largest * static_cast<double>(*tol), *d.work, infs);
  const Matrix R_plus = truncated_inverse(d, *d.work);
  if (infs != 0) {
    report(kInvert, kLevelInfo, "INFO: Removed %d infinite values from S",
           static_cast<int>(infs));
  }
  report(kInvert, kLevelInfo, "INFO: Using %d from %d singular values", *nosv,
         static_cast<int>(d.r));
  if (debug_tables()) {
    print_table("1/s\n----------------------------------------", *d.work);
  }

  const inverse_view inverse(*R_plus, d.transposed);
  if (d.transposed) {
    std::cout << "INFO: Matrix dim change back to: " << inverse.rows() << " x "
              << inverse.cols() << "\n";
  }
  if (debug_tables()) print_inverse_table(inverse);

  singular_val.set_spectrum_length(static_cast<int>(d.r));
  for (size_t i = 0; i < d.r; ++i) {
    singular_val.fill_spectrum(
        static_cast<int>(i), static_cast<float>(gsl_vector_get(d.S.get(), i)));
  }
  write_inverse(inverse, static_cast<double>(*tol),
                static_cast<double>(internal), pinvR);
  report(kInvert, kLevelTiming, "took (ms): %.4f", elapsed_ms(t0));
}

// ----------------------------------------------------------------
// pseudo-inverse

void MDFA_ResponseMatrix::pinv(MDFA_ResponseMatrix& pinvR, float* tolerance) {
  const std::string name = "MDFA_ResponseMatrix::pinv";
  const auto t0 = std::chrono::steady_clock::now();

  if (tolerance == nullptr) {
    report(name, kLevelError, "ERROR: no tolerance given !\n");
    return;
  }
  // arma_mat2MDFA reads the result at every index of pinvR's own shape.
  if (pinvR.rows != cols || pinvR.cols != rows) {
    report(name, kLevelError,
           "ERROR: inverse is %d x %d, it must be %d x %d !\n", pinvR.rows,
           pinvR.cols, cols, rows);
    return;
  }

  arma::mat A = MDFA2arma_mat(*this);
  // Both filters treat each element alone, so they run in memory order, and
  // without branches: a matrix that mixes kept and removed elements costs no
  // mispredictions.
  const double tol = *tolerance;
  unsigned in_filter = 0;
  for (double& a : A) {
    const bool removed = tol > std::fabs(a) && a != 0.0;
    in_filter += removed;
    a = removed ? 0.0 : a;
  }
  if (in_filter != 0) {
    report(name, kLevelInfo, "removed %d values (< %.g) in input\n",
           static_cast<int>(in_filter), tol);
  }

  // Armadillo's own tolerance and divide-and-conquer SVD; a failed SVD
  // throws std::runtime_error to the caller with pinvR untouched.
  arma::mat B = arma::pinv(A);
  // One pass both filters B and notes whether an element lies beyond the
  // range of pinvR's floats (from a singular value below 1/FLT_MAX that
  // Armadillo keeps), which would become an infinity. Such a result is
  // refused, with the first of those elements, before anything about the
  // filter is logged; the filter leaves those elements as they are.
  unsigned out_filter = 0;
  bool beyond_float = false;
  for (double& b : B) {
    const double magnitude = std::fabs(b);
    const bool removed = zub_internal::kDoubleEpsilon > magnitude && b != 0.0;
    out_filter += removed;
    beyond_float |= magnitude > FLT_MAX;
    b = removed ? 0.0 : b;
  }
  if (beyond_float) {
    const auto first = std::find_if(
        B.begin(), B.end(), [](double b) { return std::fabs(b) > FLT_MAX; });
    report(name, kLevelError,
           "ERROR: pseudo-inverse element %e beyond float range !\n", *first);
    return;
  }
  if (out_filter != 0) {
    report(name, kLevelInfo, "removed %d values (< %.g) in inverse\n",
           static_cast<int>(out_filter), zub_internal::kDoubleEpsilon);
  }

  pinvR.arma_mat2MDFA(std::move(B));

  report(name, kLevelTiming, "took (ms): %.4f", elapsed_ms(t0));
}
