#include "support/format.h"

#include <cstdarg>
#include <cstdio>

namespace zub_cli {

std::string format(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  va_list again;
  va_copy(again, args);
  const int n = std::vsnprintf(nullptr, 0, fmt, args);
  va_end(args);
  std::string out;
  if (n > 0) {
    out.resize(static_cast<size_t>(n) + 1);
    std::vsnprintf(&out[0], out.size(), fmt, again);
    out.pop_back();
  }
  va_end(again);
  return out;
}

std::string ranges(const std::vector<long long>& v) {
  std::string out;
  for (size_t k = 0; k < v.size();) {
    size_t e = k;
    while (e + 1 < v.size() && v[e + 1] == v[e] + 1) ++e;
    out += (out.empty() ? "" : ", ") + std::to_string(v[k]);
    if (e > k) out += "-" + std::to_string(v[e]);
    k = e + 1;
  }
  return out;
}

}  // namespace zub_cli
