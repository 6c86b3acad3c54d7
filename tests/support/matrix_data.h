// Filling response matrices from literals and Armadillo matrices, reading
// them back, the core's row-major matrices to and from Armadillo's, and
// well-conditioned random test matrices.
#ifndef ZUB_TESTS_MATRIX_DATA_H
#define ZUB_TESTS_MATRIX_DATA_H

#include <armadillo>
#include <initializer_list>
#include <vector>

#include "zub_feedback.h"
#include "zub_feedback/matrix.h"

namespace zub_test {

inline void set_rows(MDFA_ResponseMatrix& m,
                     std::initializer_list<std::initializer_list<float>> rows) {
  int i = 0;
  for (const auto& row : rows) {
    int j = 0;
    for (float v : row) m.set_value(v, i, j++, -1, -1, -1, -1);
    ++i;
  }
}

inline void set_from(MDFA_ResponseMatrix& m, const arma::fmat& a) {
  for (int i = 0; i < m.rows; ++i) {
    for (int j = 0; j < m.cols; ++j) {
      m.set_value(a(static_cast<arma::uword>(i), static_cast<arma::uword>(j)),
                  i, j, -1, -1, -1, -1);
    }
  }
}

// The elements widened to double.
inline arma::mat to_arma(const MDFA_ResponseMatrix& m) {
  arma::mat a(static_cast<arma::uword>(m.rows),
              static_cast<arma::uword>(m.cols));
  for (int i = 0; i < m.rows; ++i) {
    for (int j = 0; j < m.cols; ++j) {
      a(static_cast<arma::uword>(i), static_cast<arma::uword>(j)) =
          m.value(i, j, -1, -1, -1, -1);
    }
  }
  return a;
}

inline zub_feedback::matrix to_core(const arma::mat& a) {
  zub_feedback::matrix m(a.n_rows, a.n_cols);
  for (arma::uword i = 0; i < a.n_rows; ++i) {
    for (arma::uword j = 0; j < a.n_cols; ++j) m(i, j) = a(i, j);
  }
  return m;
}

inline arma::mat to_arma(zub_feedback::const_matrix_view m) {
  arma::mat a(m.rows(), m.cols());
  for (arma::uword i = 0; i < a.n_rows; ++i) {
    for (arma::uword j = 0; j < a.n_cols; ++j) a(i, j) = m(i, j);
  }
  return a;
}

inline std::vector<float> spectrum_of(const K_spectrum& s) {
  std::vector<float> out;
  for (int i = 0; i < s.spectrum_length(); ++i) {
    out.push_back(s.spectrum_value(i));
  }
  return out;
}

// A float matrix with random singular vectors (fixed by `seed`) and singular
// values spread evenly from `largest` down to 1.
inline arma::fmat well_conditioned(arma::uword m, arma::uword n, int seed,
                                   double largest = 4.0) {
  arma::arma_rng::set_seed(static_cast<arma::arma_rng::seed_type>(seed));
  arma::mat u;
  arma::vec s;
  arma::mat v;
  arma::svd_econ(u, s, v, arma::randn<arma::mat>(m, n));
  s = arma::linspace<arma::vec>(largest, 1.0, s.n_elem);
  return arma::conv_to<arma::fmat>::from(u * arma::diagmat(s) * v.t());
}

}  // namespace zub_test

#endif  // ZUB_TESTS_MATRIX_DATA_H
