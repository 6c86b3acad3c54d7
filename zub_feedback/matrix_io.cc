// The core's file functions: the file unit (matrix_file) decides how a file
// reads and is written; these are its public face.
#include "matrix_io.h"

#include "matrix_file.h"
#include "message_text.h"

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

namespace {

result<std::size_t> index_of(const std::vector<std::string>& names,
                             const std::string& name, const char* what) {
  for (std::size_t k = 0; k < names.size(); ++k) {
    if (names[k] == name) return k;
  }
  refusal out;
  out.code = error_code::bad_argument;
  out.message = zub_internal::message_text("ERROR: no %s is named %s!", what,
                                           name.c_str());
  out.text = name;
  out.detail = names.empty() ? std::string("the matrix names no ") + what + "s"
                             : "none of its " + std::to_string(names.size()) +
                                   " " + what + "s is named \"" + name + "\"";
  return out;
}

}  // namespace

result<std::size_t> named_matrix::monitor_index(const std::string& name) const {
  return index_of(monitors, name, "monitor");
}

result<std::size_t> named_matrix::corrector_index(
    const std::string& name) const {
  return index_of(correctors, name, "corrector");
}

result<named_matrix> parse_named_matrix_text(const std::string& text) {
  return zub_internal::parse_named_text(text);
}

result<named_matrix> read_named_matrix_file(const std::string& path) {
  const result<std::string> text = read_text_file(path);
  if (!text) return text.error();
  return parse_named_matrix_text(text.value());
}

result<std::string> named_matrix_text(const named_matrix& m) {
  result<std::string> header = zub_internal::format_named_header(m);
  if (!header) return header;
  return header.value() + matrix_text(m.values);
}

status write_named_matrix_file(const std::string& path, const named_matrix& m) {
  return zub_internal::write_named_matrix(path, m);
}

}  // namespace zub_feedback
