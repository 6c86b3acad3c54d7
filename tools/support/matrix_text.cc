#include "support/matrix_text.h"

#include "zub_feedback/matrix_io.h"

namespace zub_cli {

std::string matrix_text(int rows, int cols,
                        const std::function<double(int, int)>& element) {
  zub_feedback::matrix m(static_cast<size_t>(rows), static_cast<size_t>(cols));
  for (int i = 0; i < rows; ++i) {
    for (int j = 0; j < cols; ++j) {
      m(static_cast<size_t>(i), static_cast<size_t>(j)) = element(i, j);
    }
  }
  return zub_feedback::matrix_text(m);
}

std::string matrix_text(const MDFA_ResponseMatrix& m) {
  return matrix_text(m.rows, m.cols, [&m](int i, int j) -> double {
    return m.value(i, j, -1, -1, -1, -1);
  });
}

}  // namespace zub_cli
