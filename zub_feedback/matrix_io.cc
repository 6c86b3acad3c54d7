// The core's file functions: the file unit (matrix_file) decides how a file
// reads and is written; these are its public face.
#include "matrix_io.h"

#include "matrix_file.h"

namespace zub_feedback {

result<matrix_file> parse_matrix_text(const std::string& text) {
  return zub_internal::parse_text(text);
}

result<matrix_file> parse_matrix_text(const std::string& text,
                                      matrix_shape expected) {
  return zub_internal::parse_text(text, static_cast<long long>(expected.rows),
                                  static_cast<long long>(expected.cols));
}

matrix_text_diagnosis diagnose_matrix_text(const std::string& text) {
  return zub_internal::diagnose_text(text);
}

result<std::string> read_text_file(const std::string& path) {
  return zub_internal::read_text(path.c_str());
}

result<matrix_file> read_matrix_file(const std::string& path) {
  const result<std::string> text = read_text_file(path);
  if (!text) return text.error();
  return parse_matrix_text(text.value());
}

result<matrix_file> read_matrix_file(const std::string& path,
                                     matrix_shape expected) {
  const result<std::string> text = read_text_file(path);
  if (!text) return text.error();
  return parse_matrix_text(text.value(), expected);
}

std::string matrix_text(const_matrix_view m) {
  return zub_internal::format_matrix(m);
}

status write_matrix_file(const std::string& path, const_matrix_view m) {
  return zub_internal::write_matrix(path, m);
}

}  // namespace zub_feedback
