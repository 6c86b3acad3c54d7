// What rmtool and the feedback demo do around the library's truncated-SVD
// inversion: leaving monitors and correctors out, or weighting them, with
// the library's own blocks, and the warnings an operator needs about the
// result.
#ifndef ZUB_TOOLS_INVERSION_H
#define ZUB_TOOLS_INVERSION_H

#include <string>
#include <vector>

#include "support/library_log.h"
#include "zub_feedback.h"

namespace zub_cli {

// What an inversion gave.
struct inversion_outcome {
  std::vector<float> singular;  // all singular values, largest first
  float tol = -1.0f;            // the tolerance used, as invert stored it
  bool internal = false;        // the internal tolerance was asked for
  int nosv = 0;          // invert's count: the first nosv entered the inverse
  std::string said;      // what invert wrote to standard output
  bool refused = false;  // invert reported an error (and left the inverse)
  std::vector<std::string> warnings;  // when not refused
  // The tolerance times the largest singular value; 0 without any.
  double cutoff() const;
};

// A response matrix R (m x n) inverted with a weight for each monitor (w_m,
// m x 1) and each corrector (w_a, 1 x n); weight 0 leaves one out, 1 keeps
// it as it is. With W = w_m w_a (their outer product, m x n),
//
//   K = W_a pinv(W_m R W_a) W_m = pinv(R o W) o W^T
//
// where o is the element-wise product and W_m, W_a are the diagonal
// matrices of the weights: the minimiser of |W_m (R x - d)| with the least
// |W_a^-1 x|. A zero row or column of R o W adds a zero singular value,
// which invert counts with the infinite ones and leaves out, so a monitor
// or corrector with weight 0 gets a zero column or row in K.
class weighted_inversion {
 public:
  weighted_inversion(EqFct* loc, int m, int n);

  void set_monitor_weight(int i, float w);
  void set_corrector_weight(int j, float w);
  float monitor_weight(int i) const;

  // After invert(): the matrix that invert decomposed, R o W, and the
  // inverse that it wrote, pinv(R o W).
  MDFA_ResponseMatrix& weighted() { return weighted_; }
  MDFA_ResponseMatrix& inverted() { return inverted_; }

  // Inverts R into `inverse` (n x m) with the current weights under the
  // tolerance `tol` (-1: the internal one), as invert does it, and says
  // what the operator must know of the result (inversion_warnings). `log`
  // tells whether invert refused.
  inversion_outcome invert(MDFA_ResponseMatrix& R, MDFA_ResponseMatrix& inverse,
                           K_spectrum& spectrum, float tol,
                           const library_log& log);

 private:
  MDFA_ResponseMatrix monitor_weights_;
  MDFA_ResponseMatrix corrector_weights_;
  MDFA_ResponseMatrix weights_;
  MDFA_ResponseMatrix weights_t_;
  MDFA_ResponseMatrix weighted_;
  MDFA_ResponseMatrix inverted_;
};

// The matrix's elements are floats: a singular value at or below
// s_max x max(m, n) x 2^-23 may be nothing but their rounding.
double float_rounding_level(double s_max, int m, int n);

// The least tolerance that cuts singular value s (s > s_max x tol keeps
// it), with two digits, rounded up so that it does cut it once it is read
// as --tol is read; and the largest that keeps it, rounded down.
std::string tolerance_that_cuts(double s, double s_max);
std::string tolerance_that_keeps(double s, double s_max);

// What an operator must hear about an inversion of an m x n matrix that
// kept `nosv` of the `singular` values (largest first) under the tolerance
// `tol` (the internal one when `internal`):
// - no singular value kept at all: the inverse is all zero;
// - kept singular values at the float rounding level of the matrix: the
//   inverse multiplies the noise along them by 1/s;
// - singular values above that level that the internal tolerance cuts,
//   which happens to a matrix in large units.
std::vector<std::string> inversion_warnings(const std::vector<float>& singular,
                                            int nosv, float tol, bool internal,
                                            int m, int n);

}  // namespace zub_cli

#endif  // ZUB_TOOLS_INVERSION_H
