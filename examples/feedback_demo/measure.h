// Measuring the simulated machine's response matrix with the library's
// procedure (zub_feedback::response_measurement), the demo playing the
// server: it sets the corrector the procedure asks for, lets the orbits of
// the settling pass and feeds the others, noise and all.
#ifndef ZUB_DEMO_MEASURE_H
#define ZUB_DEMO_MEASURE_H

#include <cstddef>

#include "machine.h"
#include "options.h"
#include "zub_feedback/matrix.h"
#include "zub_feedback/response_measurement.h"

namespace demo {

// Each corrector is moved by +-kMeasureKick (mrad); after each setting
// kSettleCycles orbits are skipped and kMeasureOrbits averaged.
constexpr double kMeasureKick = 0.05;
constexpr std::size_t kSettleCycles = 2;
constexpr std::size_t kMeasureOrbits = 10;

// How a measured matrix compares with another of its shape.
struct comparison {
  double largest_element = 0.0;     // of the other, |R_ij|
  double largest_difference = 0.0;  // |measured - other|
  double largest_error = 0.0;       // the largest standard error
  std::size_t beyond = 0;  // elements off by more than 3 standard errors
  double relative() const {
    return largest_element > 0 ? largest_difference / largest_element : 0.0;
  }
};

struct measurement_run {
  zub_feedback::measured_response measured;
  std::size_t orbits_read = 0;
};

// Measures the machine's response, every corrector back at its setting
// afterwards; a refusal of the procedure is the demo's.
measurement_run measure(const options& o, simulated_machine& machine);

comparison compare(const zub_feedback::measured_response& measured,
                   const zub_feedback::matrix& other);

}  // namespace demo

#endif  // ZUB_DEMO_MEASURE_H
