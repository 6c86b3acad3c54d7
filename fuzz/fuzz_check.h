// What the fuzz targets share: a failed check that libFuzzer records as a
// crash, exact float comparison, and a matrix with a guard band around it.
#ifndef ZUB_FUZZ_CHECK_H
#define ZUB_FUZZ_CHECK_H

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "log_capture.h"
#include "support/matrix_text.h"
#include "zub_feedback.h"

// A broken invariant ends the run with a message; libFuzzer saves the input.
#define ZUB_FUZZ_CHECK(cond, ...)                                           \
  do {                                                                      \
    if (!(cond)) {                                                          \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, \
                   #cond);                                                  \
      std::fprintf(stderr, __VA_ARGS__);                                    \
      std::fputc('\n', stderr);                                             \
      std::abort();                                                         \
    }                                                                       \
  } while (0)

namespace zub_fuzz {

inline std::uint32_t bits_of(float f) {
  std::uint32_t u;
  std::memcpy(&u, &f, sizeof u);
  return u;
}

inline float float_of(std::uint32_t u) {
  float f;
  std::memcpy(&f, &u, sizeof f);
  return f;
}

// Whether any message of the call began "ERROR: ".
inline bool reported_error(const zub_test::LogCapture& log) {
  for (const auto& e : log.entries()) {
    if (e.message.rfind("ERROR: ", 0) == 0) return true;
  }
  return false;
}

// A response matrix whose property is kGuard rows and columns larger than
// its `rows` x `cols`: an element stored outside the matrix lands in the
// band, which must keep its sentinel values.
class GuardedMatrix {
 public:
  static constexpr int kGuard = 2;

  GuardedMatrix(const char* name, int rows, int cols)
      : base_rows_(std::max(rows, 0) + kGuard),
        base_cols_(std::max(cols, 0) + kGuard),
        m_(name, base_rows_, base_cols_, nullptr) {
    m_.rows = rows;
    m_.cols = cols;
    for (int i = 0; i < base_rows_; ++i) {
      for (int j = 0; j < base_cols_; ++j) {
        m_.set_value(777.0f + static_cast<float>(i * base_cols_ + j), i, j, -1,
                     -1, -1, -1);
      }
    }
  }

  MDFA_ResponseMatrix& matrix() { return m_; }
  int rows() const { return m_.rows; }
  int cols() const { return m_.cols; }

  float at(int i, int j) const { return m_.value(i, j, -1, -1, -1, -1); }
  void set(int i, int j, float v) { m_.set_value(v, i, j, -1, -1, -1, -1); }

  // Every element of the property, band included, as bits.
  std::vector<std::uint32_t> snapshot() const {
    std::vector<std::uint32_t> out;
    out.reserve(static_cast<size_t>(base_rows_ * base_cols_));
    for (int i = 0; i < base_rows_; ++i) {
      for (int j = 0; j < base_cols_; ++j) out.push_back(bits_of(at(i, j)));
    }
    return out;
  }

  // Whether the band still holds what the constructor put there.
  bool guard_intact(const std::vector<std::uint32_t>& before) const {
    const std::vector<std::uint32_t> now = snapshot();
    for (int i = 0; i < base_rows_; ++i) {
      for (int j = 0; j < base_cols_; ++j) {
        if (i < m_.rows && j < m_.cols) continue;
        const size_t k = static_cast<size_t>(i * base_cols_ + j);
        if (now[k] != before[k]) return false;
      }
    }
    return true;
  }

  // The matrix's elements, for a failure message.
  std::string dump() const { return zub_cli::matrix_text(m_); }

  bool all_finite() const {
    for (int i = 0; i < m_.rows; ++i) {
      for (int j = 0; j < m_.cols; ++j) {
        if (!std::isfinite(at(i, j))) return false;
      }
    }
    return true;
  }

 private:
  int base_rows_;
  int base_cols_;
  MDFA_ResponseMatrix m_;
};

}  // namespace zub_fuzz

#endif  // ZUB_FUZZ_CHECK_H
