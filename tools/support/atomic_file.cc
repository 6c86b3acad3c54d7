#include "support/atomic_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>

namespace zub_cli {

std::string write_outcome::message() const {
  std::string out = "cannot write " + failed;
  if (error != 0) out += std::string(": ") + std::strerror(error);
  return out;
}

write_outcome write_file_atomically(const std::string& path,
                                    const std::string& text) {
  const std::string part = path + ".part";
  write_outcome outcome;
  {
    std::ofstream out(part, std::ios::trunc | std::ios::binary);
    if (!out) return {false, part, errno};
    out << text;
    out.close();
    if (!out) {
      std::remove(part.c_str());
      return {false, part, 0};
    }
  }
  if (std::rename(part.c_str(), path.c_str()) != 0) {
    const int e = errno;
    std::remove(part.c_str());
    return {false, path, e};
  }
  return outcome;
}

}  // namespace zub_cli
