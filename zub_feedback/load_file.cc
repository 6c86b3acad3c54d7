#include "load_file.h"

#include <string>
#include <vector>

#include "property_messages.h"
#include "report.h"
#include "zub_feedback.h"

namespace zub_internal {

zub_feedback::result<zub_feedback::matrix_file> read_matrix(
    const char* fname, int rows, int cols, const file_clock& clock) {
  zub_feedback::result<std::string> text = read_text(fname, clock);
  if (!text) return text.error();
  return parse_text(text.value(), rows, cols);
}

// The core reads the file once and parses it whole with the matrix's shape;
// this logs what its result says, in load_file's words, and stores the
// values all or nothing.
bool load_matrix_file(MDFA_ResponseMatrix& m, const char* fname,
                      const file_clock& clock) {
  const char* const name = kLoadFileName;
  const zub_feedback::result<zub_feedback::matrix_file> parsed =
      read_matrix(fname, m.rows, m.cols, clock);
  const property_messages said = load_messages(fname, m.rows, m.cols, parsed);
  // The last message closes a load; the others come before the store.
  for (size_t k = 0; k + 1 < said.size(); ++k) {
    report(name, said[k].level, "%s", said[k].text.c_str());
  }
  if (!parsed) {
    report(name, said.back().level, "%s", said.back().text.c_str());
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
    report(name, said.back().level, "%s", said.back().text.c_str());
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
