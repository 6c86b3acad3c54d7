// Loading the files that rmtool's commands read.
#include <memory>
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

loaded_matrix load(EqFct& loc, const std::string& path, measured_file shape,
                   const zub_cli::library_log& log) {
  loaded_matrix out;
  out.shape = std::move(shape);
  check_shape(path, out.shape);
  out.matrix = std::make_unique<MDFA_ResponseMatrix>(
      "RMTOOL.MATRIX", static_cast<int>(out.shape.rows),
      static_cast<int>(out.shape.cols), &loc);
  const int errors_before = log.errors();
  if (!out.matrix->load_file(path.c_str()) || log.errors() != errors_before) {
    refuse(format("%s was not loaded", path.c_str()));
  }
  zub_cli::confirm_unchanged(path, out.shape, *out.matrix);
  return out;
}

loaded_matrix load_checked(EqFct& loc, const std::string& path,
                           const zub_cli::library_log& log) {
  return load(loc, path, zub_cli::measure_checked(path), log);
}

// A path as it may stand inside a comment line of an output file.
std::string printable(const std::string& s) {
  std::string out = s;
  for (char& c : out) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
  }
  return out;
}

}  // namespace rmtool
