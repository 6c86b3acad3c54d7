#include <gsl/gsl_blas.h>
#include <gsl/gsl_linalg.h>
#include <gsl/gsl_math.h>
#include <gsl/gsl_matrix.h>
#include <gsl/gsl_vector.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>

#include "zub_feedback.h"

namespace {

// Message levels: single-bit masks fixed per kind of message.
constexpr unsigned kLevelError = 0x80000000u;
constexpr unsigned kLevelInfo = 0x80u;
constexpr unsigned kLevelTiming = 0x8u;

// Every message is cut to what fits this buffer (99 characters).
constexpr size_t kMessageBufferSize = 100;

// Formats one message into the fixed buffer and hands it to the framework.
__attribute__((format(printf, 3, 4))) void report(const std::string& name,
                                                   unsigned level,
                                                   const char* format, ...) {
  char emsg[kMessageBufferSize];
  va_list args;
  va_start(args, format);
  std::vsnprintf(emsg, sizeof emsg, format, args);
  va_end(args);
  karst::printtostderr(name, emsg, level);
}

struct MatrixFree {
  void operator()(gsl_matrix* m) const noexcept { gsl_matrix_free(m); }
};
struct VectorFree {
  void operator()(gsl_vector* v) const noexcept { gsl_vector_free(v); }
};
using Matrix = std::unique_ptr<gsl_matrix, MatrixFree>;
using Vector = std::unique_ptr<gsl_vector, VectorFree>;

}  // namespace

// ---------------------------------------------------------------- the object

MDFA_ResponseMatrix::MDFA_ResponseMatrix(const char* pn, int d1, int d0,
                                         EqFct* efp)
    : K_mdfloat_array(std::string(pn), d1, d0, efp, 0), rows(d1), cols(d0) {}

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

gsl_matrix* MDFA_ResponseMatrix::create_gsl_matrix() {
  const std::string name = "MDFA_ResponseMatrix::create_gsl_matrix";
  const int dnum = dimension_count();
  if (dnum != 2) {
    report(name, kLevelError, "ERROR: allocating GSL matrix num(dim)=%d !\n",
           dnum);
    return nullptr;
  }
  // A negative dimension would become a huge unsigned size, and GSL's
  // default error handler ends the process when that allocation fails.
  if (rows < 0 || cols < 0) {
    report(name, kLevelError,
           "ERROR: allocating GSL matrix of %d x %d elements !\n", rows, cols);
    return nullptr;
  }
  gsl_matrix* m = gsl_matrix_alloc(static_cast<size_t>(rows),
                                   static_cast<size_t>(cols));
  for (int i = 0; i < rows; ++i) {
    for (int j = 0; j < cols; ++j) {
      gsl_matrix_set(m, static_cast<size_t>(i), static_cast<size_t>(j),
                     value(i, j, -1, -1, -1, -1));
    }
  }
  return m;
}

arma::mat MDFA_ResponseMatrix::MDFA2arma_mat(MDFA_ResponseMatrix& A) {
  arma::mat m(static_cast<arma::uword>(A.rows), static_cast<arma::uword>(A.cols),
              arma::fill::zeros);
  for (int i = 0; i < A.rows; ++i) {
    for (int j = 0; j < A.cols; ++j) {
      m(static_cast<arma::uword>(i), static_cast<arma::uword>(j)) =
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
  for (int i = 0; i < rows; ++i) {
    for (int j = 0; j < cols; ++j) {
      set_value(static_cast<float>(
                    A(static_cast<arma::uword>(i), static_cast<arma::uword>(j))),
                i, j, -1, -1, -1, -1);
    }
  }
  return this;
}

// ---------------------------------------------------------------- products and transposition

// ---------------------------------------------------------------- loading from a file

// ---------------------------------------------------------------- truncated-SVD inversion

// ---------------------------------------------------------------- pseudo-inverse
