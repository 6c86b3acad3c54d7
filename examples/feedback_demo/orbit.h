// Orbits and corrector settings as vectors, and the figures of an orbit
// over the monitors in use.
#ifndef ZUB_DEMO_ORBIT_H
#define ZUB_DEMO_ORBIT_H

#include <cstddef>
#include <vector>

#include "zub_feedback.h"

namespace demo {

// Column 0 of a matrix, and a vector written into it.
std::vector<double> column_values(const MDFA_ResponseMatrix& m);
void set_column(MDFA_ResponseMatrix& m, const std::vector<double>& v);

// Over the monitors in use (`used` true); a NaN among them makes the result
// NaN.
double rms(const std::vector<double>& v, const std::vector<bool>& used);
double max_abs(const std::vector<double>& v, const std::vector<bool>& used);

// The number of monitors in use.
size_t in_use(const std::vector<bool>& used);

}  // namespace demo

#endif  // ZUB_DEMO_ORBIT_H
