// Loading the files that rmtool's commands read.
#include <cstdio>
#include <string>
#include <utility>

#include "commands.h"
#include "support/format.h"
#include "support/program.h"

namespace rmtool {

using zub_cli::format;
using zub_cli::kMaxElements;
using zub_cli::measured_file;
using zub_cli::refuse;

namespace {

// The measured shape, refused when the library could not hold it.
void check_shape(const std::string& path, const measured_file& m) {
  if (m.rows == 0 || m.cols == 0) {
    refuse(format("%s holds no matrix: %s", path.c_str(),
                  m.rows == 0 ? "no data line" : m.note.c_str()));
  }
  // A short file of many empty lines and one long line measures huge.
  if (m.rows > kMaxElements / m.cols) {
    refuse(format("%s measures %lld x %lld, more than %lld elements",
                  path.c_str(), m.rows, m.cols, kMaxElements));
  }
}

}  // namespace

loaded_matrix load(const std::string& path, measured_file shape,
                   const arguments& a) {
  loaded_matrix out;
  check_shape(path, shape);
  if (shape.names_refused) refuse(path, *shape.names_refused);
  // The values and names come from the one reading that was measured: no
  // second read can meet another version of the file.
  out.file.values = std::move(shape.values);
  out.file.monitors = std::move(shape.monitors);
  out.file.correctors = std::move(shape.correctors);
  out.file.metadata = std::move(shape.metadata);
  out.shape = std::move(shape);
  show_detail(a, "load",
              format("%s: %lld x %lld values", path.c_str(), out.shape.rows,
                     out.shape.cols));
  return out;
}

loaded_matrix load_checked(const std::string& path, const arguments& a) {
  return load(path, zub_cli::measure_checked(path), a);
}

void show_detail(const arguments& a, const std::string& where,
                 const std::string& text) {
  if (a.verbose)
    std::fprintf(stderr, "  [%s] %s\n", where.c_str(), text.c_str());
}

void refuse(const std::string& what, const zub_feedback::refusal& r) {
  std::string text = what + ": " + r.message;
  if (!r.detail.empty()) text += " (" + r.detail + ")";
  zub_cli::refuse(text);
}

// A path as it may stand inside a comment line of an output file.
std::string printable(const std::string& s) {
  std::string out = s;
  for (char& c : out) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
  }
  return out;
}

std::string name_list(const std::vector<std::string>& names, size_t shown) {
  std::string out;
  for (size_t k = 0; k < names.size() && k < shown; ++k) {
    out += (k == 0 ? "" : " ") + names[k];
  }
  if (names.size() > shown) out += " ...";
  return out + format(" (%zu)", names.size());
}

}  // namespace rmtool
