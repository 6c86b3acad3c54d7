#include "sample_chicane.h"

#include <cstdio>

#include "chicane_physics.h"

void print_sample_chicane() {
  // E2gamma takes the energy in joules, B2alpha and alpha2B in MeV.
  constexpr double kJoulePerMeV = 1.602176634e-13;
  const double E = 1000.0;  // MeV, beam energy
  const double B = 0.5;     // T, dipole field
  const double leff = 0.5;  // m, dipole length along the axis
  const double d12 = 5.0;   // m, drift between dipoles 1 and 2
  const double d23 = 1.0;   // m, drift between dipoles 2 and 3
  const double a1 = 0.001;  // T/A, field per unit current of the magnets
  const double alpha = B2alpha(B, E, leff);
  const double r = alpha2r(alpha, leff);
  const double l_bc = alpha2l_bc(alpha, r, d12, d23);
  const double axis = 4 * leff + 2 * d12 + d23;
  const double gamma = E2gamma(E * kJoulePerMeV);
  std::printf("     beam energy          %.1f MeV (gamma %.1f, beta %.9f)\n", E,
              gamma, gamma2beta(gamma));
  std::printf(
      "     dipoles              4 x %.2f m at %.3f T (%.0f A at "
      "%.1f mT/A); drifts %.1f m, %.1f m, %.1f m\n",
      leff, B, B2I(B, a1), a1 * 1e3, d12, d23, d12);
  std::printf("     bending angle        %.3f mrad (%.3f deg)\n", alpha * 1e3,
              alpha * 180.0 / 3.14159265358979323846);
  std::printf("     field back from it   %.6f T\n", alpha2B(alpha, E, leff));
  std::printf("     bending radius       %.3f m\n", r);
  std::printf("     R56                  %.3f mm\n",
              alpha2R56(alpha, leff, d12) * 1e3);
  std::printf("     offset x_bc          %.1f mm\n",
              alpha2x_bc(alpha, leff, d12) * 1e3);
  std::printf("     path length          %.6f m (axis %.3f m)\n", l_bc, axis);
  std::printf("     arrival-time shift   %.3f ps\n",
              delta_t(l_bc, leff + d12, leff + d23, leff) * 1e12);
}
