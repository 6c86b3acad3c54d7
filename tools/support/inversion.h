// What rmtool and the feedback demo do around the library's truncated-SVD
// inversion: leaving monitors and correctors out, or weighting them, with
// the library's own blocks, and the warnings an operator needs about the
// result.
#ifndef ZUB_TOOLS_INVERSION_H
#define ZUB_TOOLS_INVERSION_H

#include <string>
#include <vector>

#include "zub_feedback/matrix.h"
#include "zub_feedback/result.h"
#include "zub_feedback/weighted_inverse.h"

namespace zub_cli {

// What an inversion gave.
struct inversion_outcome {
  // n x m, each element the value of a float, as a property stores it.
  zub_feedback::matrix inverse;
  // All singular values, largest first, as floats: as the spectrum
  // publishes them.
  std::vector<float> singular;
  float tol = -1.0f;         // the tolerance used
  bool internal = false;     // the internal tolerance was asked for
  int nosv = 0;              // the first nosv entered the inverse
  int removed_infinite = 0;  // left out: zero, or a reciprocal beyond floats
  bool transposed = false;   // decomposed as its transpose (m > n)
  std::vector<std::string> warnings;
  // The tolerance times the largest singular value; 0 without any.
  double cutoff() const;
};

// A response matrix R (m x n) inverted with a weight for each monitor and
// each corrector (the core's weighted_inverse); weight 0 leaves one out, 1
// keeps it as it is. With all weights 1, the inverse is the property's
// invert of R, bit for bit.
class weighted_inversion {
 public:
  weighted_inversion(int m, int n);

  void set_monitor_weight(int i, float w);
  void set_corrector_weight(int j, float w);
  float monitor_weight(int i) const;

  // Inverts R (m x n) with the current weights under the tolerance `tol`
  // (-1: the internal one), and says what the operator must know of the
  // result (inversion_warnings); the core's refusal otherwise.
  zub_feedback::result<inversion_outcome> invert(
      zub_feedback::const_matrix_view R, float tol) const;

 private:
  zub_feedback::inverse_weights weights_;
};

// Each element rounded to float, as a property stores it.
void round_to_float(zub_feedback::matrix& m);

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
