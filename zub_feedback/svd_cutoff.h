// Internal: which singular values enter the truncated-SVD inverse, and the
// tolerance that invert derives itself. Not installed.
#ifndef ZUB_FEEDBACK_SVD_CUTOFF_H
#define ZUB_FEEDBACK_SVD_CUTOFF_H

namespace zub_internal {

// Machine epsilon of double, 2^-52.
constexpr double kDoubleEpsilon = 2.220446049250313e-16;

// largest_sv x size x 2^-52, rounded to two significant digits; every step
// lands in a float, as the caller's tolerance variable is one. `size` is the
// larger dimension of the matrix. 0 for an all-zero matrix.
float internal_tolerance(double largest_sv, int size);

// Whether a singular value s enters the inverse under `cutoff` (the largest
// singular value times the tolerance): above the cut-off, not zero, and with
// a reciprocal that a float holds.
bool enters_inverse(double s, double cutoff);

// The magnitude at or below which an element of the inverse is written as
// 0: numerical noise, which is what lies at or below the internal tolerance
// `internal`, or the caller's `tol` if that is smaller, and never more than
// the float resolution of the inverse itself (its largest element's
// magnitude `largest` times 2^-24). The tolerances are in the matrix's
// units and the elements in their inverse, so without the second bound a
// matrix in small units (nm rather than mm) would lose kept modes.
double inverse_noise_bound(double tol, double internal, double largest);

}  // namespace zub_internal

#endif  // ZUB_FEEDBACK_SVD_CUTOFF_H
