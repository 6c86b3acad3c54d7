// The library's inversion of a matrix file through C++ alone, printed
// exactly, for the Python module's tests to compare with:
//
//   reference_inversion invert FILE ROWS COLS TOL   (TOL -1: the internal one)
//   reference_inversion pinv FILE ROWS COLS TOL
//
// Prints "tolerance T", "kept K", "singular_values S...", "inverse R C" and
// the inverse's R rows (pinv: the inverse alone), every float in printf's %a
// form, which reads back exactly. Exit status 1 when the file was not loaded.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <sstream>
#include <string>

#include "zub_feedback.h"

namespace {

void print_floats(const char* label, const MDFA_ResponseMatrix& m) {
  std::printf("%s %d %d\n", label, m.rows, m.cols);
  for (int i = 0; i < m.rows; ++i) {
    for (int j = 0; j < m.cols; ++j) {
      std::printf("%s%a", j == 0 ? "" : " ",
                  static_cast<double>(m.value(i, j, -1, -1, -1, -1)));
    }
    std::printf("\n");
  }
}

int run(const char* kind, const char* path, int rows, int cols, float tol) {
  EqFct loc("REFERENCE");
  MDFA_ResponseMatrix R("MATRIX", rows, cols, &loc);
  if (!R.load_file(path)) return 1;
  MDFA_ResponseMatrix inverse("INVERSE", cols, rows, &loc);
  if (std::strcmp(kind, "pinv") == 0) {
    R.pinv(inverse, &tol);
  } else {
    K_spectrum spectrum("SPECTRUM", rows < cols ? rows : cols, &loc);
    int kept = 0;
    R.invert(inverse, spectrum, &tol, &kept);
    std::printf("tolerance %a\nkept %d\nsingular_values",
                static_cast<double>(tol), kept);
    for (int i = 0; i < spectrum.spectrum_length(); ++i) {
      std::printf(" %a", static_cast<double>(spectrum.spectrum_value(i)));
    }
    std::printf("\n");
  }
  print_floats("inverse", inverse);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 6) {
    std::fprintf(stderr, "usage: %s invert|pinv FILE ROWS COLS TOL\n", argv[0]);
    return 2;
  }
  // invert's line about a transposed matrix would land among the numbers.
  std::ostringstream said;
  std::streambuf* const out = std::cout.rdbuf(said.rdbuf());
  const int status = run(argv[1], argv[2], std::atoi(argv[3]),
                         std::atoi(argv[4]), std::strtof(argv[5], nullptr));
  std::cout.rdbuf(out);
  return status;
}
