// The library's chicane physics on a sample bunch compressor.
#include <cstdio>

#include "sample_chicane.h"

int main() {
  std::printf("A bunch-compressor chicane\n");
  print_sample_chicane();
  return 0;
}
