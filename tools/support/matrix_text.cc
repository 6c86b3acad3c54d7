#include "support/matrix_text.h"

#include <cstdio>

namespace zub_cli {

std::string matrix_text(int rows, int cols,
                        const std::function<double(int, int)>& element) {
  std::string out;
  char buf[32];
  for (int i = 0; i < rows; ++i) {
    for (int j = 0; j < cols; ++j) {
      std::snprintf(buf, sizeof buf, "%s%.9g", j == 0 ? "" : " ",
                    element(i, j));
      out += buf;
    }
    out += '\n';
  }
  return out;
}

std::string matrix_text(const MDFA_ResponseMatrix& m) {
  return matrix_text(m.rows, m.cols, [&m](int i, int j) -> double {
    return m.value(i, j, -1, -1, -1, -1);
  });
}

}  // namespace zub_cli
