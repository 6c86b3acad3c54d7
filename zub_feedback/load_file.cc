#include "load_file.h"

#include <string>
#include <vector>

#include "report.h"
#include "zub_feedback.h"

namespace zub_internal {

// The core reads the file once and parses it whole with the matrix's shape;
// this logs what its result says, in load_file's words, and stores the
// values all or nothing.
bool load_matrix_file(MDFA_ResponseMatrix& m, const char* fname,
                      const file_clock& clock) {
  const std::string name = "MDFA_ResponseMatrix::load_file";
  report(name, kLevelInfo, "INFO: Loading file %s ...", fname);
  const zub_feedback::result<std::string> text = read_text(fname, clock);
  if (!text) {
    report(name, kLevelError, "%s", text.error().message.c_str());
    return false;
  }
  const zub_feedback::result<zub_feedback::matrix_file> parsed =
      parse_text(text.value(), m.rows, m.cols);
  if (!parsed) {
    report(name, kLevelError, "%s", parsed.error().message.c_str());
    return false;
  }

  // The base's own store is used, whatever a subclass does. The elements'
  // former values are kept, to be put back if an exception (from the store
  // or the logger) ends the load; the core's doubles are floats, so that
  // each narrowing gives the float that the file's text gives.
  const zub_feedback::matrix& values = parsed.value().values;
  const int M = m.rows;
  const int N = m.cols;
  std::vector<float> former;
  former.reserve(values.size());
  try {
    for (int i = 0; i < M; ++i) {
      for (int j = 0; j < N; ++j) {
        former.push_back(m.K_mdfloat_array::value(i, j, -1, -1, -1, -1));
        m.K_mdfloat_array::set_value(
            static_cast<float>(
                values(static_cast<size_t>(i), static_cast<size_t>(j))),
            i, j, -1, -1, -1, -1);
      }
    }
    report(name, kLevelInfo,
           "INFO: Read %lld bytes from: %s into %d x %d GSL array",
           parsed.value().bytes, fname, M, N);
  } catch (...) {
    for (size_t k = 0; k < former.size(); ++k) {
      m.K_mdfloat_array::set_value(former[k], static_cast<int>(k / N),
                                   static_cast<int>(k % N), -1, -1, -1, -1);
    }
    throw;
  }
  return true;
}

}  // namespace zub_internal
