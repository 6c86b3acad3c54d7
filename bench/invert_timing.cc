// invert on a matrix file, timed: the C++ side of what the Python module's
// invert costs beside it (bench/python_invert.py).
//
//   invert_timing FILE ROWS COLS REPEATS
//
// Loads FILE once, inverts it REPEATS times with the internal tolerance, as a
// server asks for it, and prints the median time of one invert in
// milliseconds. The library's messages and its line on standard output are
// dropped, as by a server's quiet logger.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "zub_feedback.h"

namespace {

double median_invert_ms(const char* path, int rows, int cols, int repeats) {
  EqFct loc("TIMING");
  MDFA_ResponseMatrix R("MATRIX", rows, cols, &loc);
  if (!R.load_file(path)) return -1.0;
  MDFA_ResponseMatrix inverse("INVERSE", cols, rows, &loc);
  K_spectrum spectrum("SPECTRUM", std::min(rows, cols), &loc);
  std::vector<double> ms;
  for (int k = 0; k < repeats; ++k) {
    float tol = -1.0f;
    int kept = 0;
    const auto t0 = std::chrono::steady_clock::now();
    R.invert(inverse, spectrum, &tol, &kept);
    ms.push_back(std::chrono::duration<double, std::milli>(
                     std::chrono::steady_clock::now() - t0)
                     .count());
  }
  std::sort(ms.begin(), ms.end());
  return ms[ms.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5 || std::atoi(argv[4]) < 1) {
    std::fprintf(stderr, "usage: %s FILE ROWS COLS REPEATS\n", argv[0]);
    return 2;
  }
  karst::set_log_sink([](const std::string&, const std::string&, unsigned) {});
  std::ostringstream dropped;
  std::streambuf* const out = std::cout.rdbuf(dropped.rdbuf());
  const double ms = median_invert_ms(argv[1], std::atoi(argv[2]),
                                     std::atoi(argv[3]), std::atoi(argv[4]));
  std::cout.rdbuf(out);
  if (ms < 0) {
    std::fprintf(stderr, "%s: %s was not loaded\n", argv[0], argv[1]);
    return 1;
  }
  std::printf("%.4f\n", ms);
  return 0;
}
