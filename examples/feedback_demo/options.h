// The demo's command line.
#ifndef ZUB_DEMO_OPTIONS_H
#define ZUB_DEMO_OPTIONS_H

#include <string>
#include <vector>

namespace demo {

constexpr const char* kProgram = "feedback_demo";

struct options {
  std::string file;  // the shipped matrix unless --file says otherwise
  int monitors = 24;
  int actuators = 12;
  float tol = -1.0f;  // -1: the library's internal tolerance
  int iterations = 10;
  double gain = 0.6;     // fraction of the computed correction applied
  double noise = 0.005;  // mm rms, monitor reading noise
  double errors = 0.05;  // mrad rms, initial corrector errors
  unsigned long long seed = 1;
  // The correctors' limits (mrad): each setting within +-corrector_limit,
  // each change at most max_step.
  double corrector_limit = 1.0;
  double max_step = 0.03;
  double deadband = 0.0;    // mm rms: an orbit below it is left alone
  bool flip_sign = false;   // the machine responds with the matrix's opposite
  bool measure = false;     // measure the machine's matrix and use that one
  std::string measure_out;  // where the measured matrix goes, or nowhere
  std::vector<int> exclude_monitors;
  struct failing_monitor {
    int monitor;
    int from;  // the iteration from which it reads garbage
  };
  std::vector<failing_monitor> fail_monitors;
  std::string svg;
  bool quiet = false;
  bool help = false;
  bool version = false;
};

// The options, each checked, and checked against each other; --help and
// --version are left to the caller.
options parse(int argc, char** argv);

void print_usage();

}  // namespace demo

#endif  // ZUB_DEMO_OPTIONS_H
