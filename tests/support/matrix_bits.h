// Bit-exact snapshots of response matrices, for checking that an operation
// left its result untouched (a NaN compares unequal, its bits do not).
#ifndef ZUB_TESTS_MATRIX_BITS_H
#define ZUB_TESTS_MATRIX_BITS_H

#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "zub_feedback.h"

namespace zub_test {

// The element bits, row by row.
inline std::vector<std::uint32_t> element_bits(const MDFA_ResponseMatrix& m) {
  std::vector<std::uint32_t> out;
  for (int i = 0; i < m.rows; ++i) {
    for (int j = 0; j < m.cols; ++j) {
      const float v = m.value(i, j, -1, -1, -1, -1);
      std::uint32_t b;
      std::memcpy(&b, &v, sizeof b);
      out.push_back(b);
    }
  }
  return out;
}

// Distinct values with a NaN at (0, 0), so that any write shows.
inline void fill_sentinels(MDFA_ResponseMatrix& m) {
  for (int i = 0; i < m.rows; ++i) {
    for (int j = 0; j < m.cols; ++j) {
      m.set_value(-100.0f - 10.0f * i - j, i, j, -1, -1, -1, -1);
    }
  }
  if (m.rows > 0 && m.cols > 0) {
    m.set_value(std::numeric_limits<float>::quiet_NaN(), 0, 0, -1, -1, -1, -1);
  }
}

}  // namespace zub_test

#endif  // ZUB_TESTS_MATRIX_BITS_H
