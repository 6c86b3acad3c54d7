// Physics of a symmetric four-dipole bunch-compressor chicane.
//
// Every dipole bends the beam by the same angle alpha in magnitude (1 and 4
// one way, 2 and 3 the other); the drifts between dipoles 1 and 2 and
// between 3 and 4 are equal. Lengths along the chicane's straight axis:
//
//   | leff |  d12  | leff |  d23  | leff |  d12  | leff |
//   |<--- z12 ---->|<--- z23 ---->|
//     dip1           dip2           dip3           dip4
//
//   leff      length of one dipole, projected on the axis (not its arc)
//   d12, d23  drifts between the facing edges of dipoles 1 and 2, and of
//             dipoles 2 and 3, projected on the axis
//   z12, z23  the same distances measured between the same edges (entrance
//             to entrance) of those dipoles: z12 = leff + d12,
//             z23 = leff + d23, and 2*z12 + z23 + leff is the chicane's
//             length along its axis
//
// Units: angles in radians, lengths in metres, fields in tesla, times in
// seconds. The energy is a total energy in joules for E2gamma and E2p, and a
// beam energy in MeV for B2alpha and alpha2B.
//
// The functions check nothing and report nothing: arguments outside a
// function's domain give the IEEE 754 result (an infinity for a division by
// zero, NaN for asin beyond +-1, sqrt of a negative number or 0/0), and NaN
// arguments propagate. The only guard is the exact zero-angle test of
// alpha2R56, alpha2x_bc and alpha2r.
#ifndef ZUB_FEEDBACK_CHICANE_PHYSICS_H
#define ZUB_FEEDBACK_CHICANE_PHYSICS_H

#include "zub_feedback_export.h"  // ZUB_FEEDBACK_API

// val, or +0.0 when |val| < 1e-4 (also for a negative val and for -0.0).
// NaN, infinities and |val| == 1e-4 come back unchanged.
ZUB_FEEDBACK_API double chop(double val);

// Lorentz factor gamma of an electron of total energy E (J): E / (m_e c^2).
ZUB_FEEDBACK_API double E2gamma(double E);

// Velocity beta = v/c for the Lorentz factor gamma: sqrt(1 - 1/gamma^2).
// NaN for |gamma| < 1.
ZUB_FEEDBACK_API double gamma2beta(double gamma);

// Momentum (kg m/s) of an electron of total energy E (J): beta gamma m_e c.
// NaN for an energy below the rest energy.
ZUB_FEEDBACK_API double E2p(double E);

// Magnet current for the field B (T), a1 being the magnet's field per unit
// current (T/A): B / a1, in A.
ZUB_FEEDBACK_API double B2I(double B, double a1);

// Bending angle (rad) of a dipole of length leff (m) and field B (T) for a
// beam of energy E (MeV; taken for its momentum times c, as for an
// ultra-relativistic beam). NaN when the field is too strong for the energy.
ZUB_FEEDBACK_API double B2alpha(double B, double E, double leff);

// Field (T) that bends a beam of energy E (MeV) by alpha (rad) in a dipole
// of length leff (m); the inverse of B2alpha.
ZUB_FEEDBACK_API double alpha2B(double alpha, double E, double leff);

// Momentum compaction R56 (m) of the chicane for the bending angle alpha
// (rad), dipole length leff (m) and outer drift d12 (m). Negative for a
// bunch compressor; about -2 alpha^2 (2/3 leff + d12) for small alpha.
// Exactly 0.0 for alpha == 0.
ZUB_FEEDBACK_API double alpha2R56(double alpha, double leff, double d12);

// Largest transverse offset x_bc (m) of the beam from the chicane's axis,
// reached between dipoles 2 and 3. Exactly 0.0 for alpha == 0.
ZUB_FEEDBACK_API double alpha2x_bc(double alpha, double leff, double d12);

// Bending radius r (m) of a dipole of length leff (m) bending by alpha
// (rad): leff / sin(alpha). 0.0, not infinity, for alpha == 0.
ZUB_FEEDBACK_API double alpha2r(double alpha, double leff);

// Path length l_bc (m) of the beam through the chicane: four arcs of radius
// r (m) and angle alpha (rad), the two outer drifts d12 (m) along the tilted
// path and the middle drift d23 (m). No zero-angle guard.
ZUB_FEEDBACK_API double alpha2l_bc(double alpha, double r, double d12,
                                   double d23);

// Arrival-time shift (s) of a beam at the speed of light whose path through
// the chicane is l_bc (m), against the straight axis 2*z12 + z23 + leff (m).
ZUB_FEEDBACK_API double delta_t(double l_bc, double z12, double z23,
                                double leff);

#endif  // ZUB_FEEDBACK_CHICANE_PHYSICS_H
