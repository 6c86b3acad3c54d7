#include "orbit.h"

#include <algorithm>
#include <cmath>

namespace demo {

std::vector<double> column_values(const MDFA_ResponseMatrix& m) {
  std::vector<double> v(static_cast<size_t>(m.rows));
  for (int i = 0; i < m.rows; ++i)
    v[static_cast<size_t>(i)] = m.value(i, 0, -1, -1, -1, -1);
  return v;
}

void set_column(MDFA_ResponseMatrix& m, const std::vector<double>& v) {
  for (int i = 0; i < m.rows; ++i) {
    m.set_value(static_cast<float>(v[static_cast<size_t>(i)]), i, 0, -1, -1, -1,
                -1);
  }
}

double rms(const std::vector<double>& v, const std::vector<bool>& used) {
  double sum = 0.0;
  size_t n = 0;
  for (size_t i = 0; i < v.size(); ++i) {
    if (!used[i]) continue;
    sum += v[i] * v[i];
    ++n;
  }
  return n == 0 ? 0.0 : std::sqrt(sum / static_cast<double>(n));
}

double max_abs(const std::vector<double>& v, const std::vector<bool>& used) {
  double m = 0.0;
  for (size_t i = 0; i < v.size(); ++i) {
    if (!used[i]) continue;
    if (std::isnan(v[i])) return v[i];
    m = std::max(m, std::fabs(v[i]));
  }
  return m;
}

size_t in_use(const std::vector<bool>& used) {
  return static_cast<size_t>(std::count(used.begin(), used.end(), true));
}

}  // namespace demo
