#include "support/file_check.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "matrix_file.h"
#include "support/format.h"
#include "support/program.h"

namespace zub_cli {

namespace {

// A word of a line as it may be shown: bytes that are not printable as
// \xNN, cut after 20 characters.
std::string shown_word(const char* p, const char* end) {
  std::string out;
  for (int n = 0; p != end && *p != ' ' && *p != '\t' && *p != '\r'; ++p) {
    if (++n > 20) {
      out += "...";
      break;
    }
    const unsigned char c = static_cast<unsigned char>(*p);
    out += c < 0x20 || c >= 0x7f ? format("\\x%02X", c) : std::string(1, *p);
  }
  return out;
}

// Where the values of a line end, at `stop` after n values: "'o' in '5o'"
// (in "5o" the loader reads 5 and ends at the o), and whether it is a
// number beyond the range of a double, which stops the reading too.
std::string where_values_end(const zub_internal::file_line& line,
                             const char* stop, long long n) {
  const char* word_start = stop;
  while (word_start != line.begin && word_start[-1] != ' ' &&
         word_start[-1] != '\t') {
    --word_start;
  }
  const std::string word = shown_word(stop, line.end);
  const std::string where =
      word_start == stop
          ? "'" + word + "'"
          : "'" + word + "' in '" + shown_word(word_start, line.end) + "'";
  const std::string token(stop, std::find_if(stop, line.end, [](char c) {
                            return c == ' ' || c == '\t' || c == '\r';
                          }));
  errno = 0;
  char* token_end = nullptr;
  const double v = std::strtod(token.c_str(), &token_end);
  const bool too_large = *token_end == '\0' && errno == ERANGE && std::isinf(v);
  return format("the values end at %s%s after %lld value%s", where.c_str(),
                too_large ? " (a number beyond the range of a double)" : "", n,
                n == 1 ? "" : "s");
}

[[noreturn]] void refuse_changed(const std::string& path) {
  refuse(format("%s changed while it was read; try again", path.c_str()));
}

[[noreturn]] void refuse_unreadable(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) {
    refuse(format("cannot read %s: %s", path.c_str(), std::strerror(errno)));
  }
  if (!S_ISREG(st.st_mode)) {
    refuse(format("%s is not a regular file", path.c_str()));
  }
  std::ifstream probe(path);
  if (!probe) {
    refuse(format("cannot read %s: %s", path.c_str(), std::strerror(errno)));
  }
  refuse(format("cannot read %s: read error", path.c_str()));
}

}  // namespace

measured_file measure(const std::string& path) {
  measured_file m;
  const std::string& bytes = m.bytes;
  switch (zub_internal::read_file_once(path.c_str(), m.bytes)) {
    case zub_internal::file_read_result::ok:
      break;
    case zub_internal::file_read_result::cannot_read:
      refuse_unreadable(path);
    case zub_internal::file_read_result::changed:
      refuse_changed(path);
  }
  const zub_internal::text_shape shape = zub_internal::measure_text(bytes);
  m.rows = shape.rows;
  m.cols = shape.cols;

  static const char kBom[] = "\xEF\xBB\xBF";
  zub_internal::value_reader values;
  zub_internal::file_line line;
  long long row = -1;
  for (zub_internal::line_cursor lines(bytes); lines.next(line);) {
    if (line.is_comment()) continue;
    ++row;
    // The library's verdict on the line; what follows only says why.
    const zub_internal::line_check check =
        zub_internal::check_data_line(values, line, m.cols);
    const long long n = check.values;
    const char* const stop = values.stop();
    const bool ends_early = stop != line.end && *stop != '#';
    if (row == m.rows - 1) {
      m.last_line = line.number;
      if (ends_early) m.last_stop = shown_word(stop, line.end);
      if (ends_early && n > 0) {
        m.note = format(
            "line %lld (row %lld) is the last data line: %s, "
            "which sets the number of columns",
            line.number, row, where_values_end(line, stop, n).c_str());
      }
    }
    // An empty last line measures no columns, which check_shape says.
    if (check.fault == zub_internal::line_fault::none || m.cols == 0) continue;
    std::vector<std::string> parts;
    if (line.number == 1 && line.end - line.begin >= 3 &&
        std::memcmp(line.begin, kBom, 3) == 0) {
      parts.push_back(
          "it starts with a byte-order mark (bytes EF BB BF), which the "
          "loader reads as text: this line is a data line whose values end "
          "at once");
    } else if (ends_early && n < m.cols) {
      parts.push_back(where_values_end(line, stop, n));
    }
    if (check.fault == zub_internal::line_fault::value_count) {
      parts.push_back(format("%lld value%s where the last data line has %lld",
                             n, n == 1 ? "" : "s", m.cols));
    } else {
      parts.push_back(
          format("value %lld is beyond the float range", check.first_beyond));
    }
    std::string text = format("line %lld (row %lld): ", line.number, row);
    for (size_t k = 0; k < parts.size(); ++k) {
      text += (k == 0 ? "" : "; ") + parts[k];
    }
    m.problems.push_back({line.number, text});
  }
  return m;
}

void print_problems(FILE* to, const measured_file& m) {
  if (m.problems.empty()) return;
  const size_t n = m.problems.size();
  std::fprintf(to,
               "offending %zu line%s: the loader refuses the file at the "
               "first of them\n"
               "          (line numbers count from 1, rows and columns from "
               "0)\n",
               n, n == 1 ? "" : "s");
  constexpr size_t kShown = 20;
  for (size_t k = 0; k < n && k < kShown; ++k) {
    std::fprintf(to, "  %s\n", m.problems[k].text.c_str());
  }
  if (n > kShown) {
    std::vector<long long> rest;
    for (size_t k = kShown; k < n; ++k) rest.push_back(m.problems[k].file_line);
    std::fprintf(to, "  ... and %zu more: lines %s\n", n - kShown,
                 ranges(rest).c_str());
  }
  if (!m.note.empty()) std::fprintf(to, "  (%s)\n", m.note.c_str());
}

void refuse_offending(const std::string& path, const measured_file& m) {
  refuse(format("%s does not load: %zu offending line%s", path.c_str(),
                m.problems.size(), m.problems.size() == 1 ? "" : "s"));
}

void confirm_unchanged(const std::string& path, measured_file& m) {
  std::string again;
  if (zub_internal::read_file_once(path.c_str(), again) !=
          zub_internal::file_read_result::ok ||
      again != m.bytes) {
    refuse_changed(path);
  }
  std::string().swap(m.bytes);
}

measured_file measure_checked(const std::string& path) {
  measured_file m = measure(path);
  if (!m.problems.empty()) {
    print_problems(stderr, m);
    refuse_offending(path, m);
  }
  return m;
}

}  // namespace zub_cli
