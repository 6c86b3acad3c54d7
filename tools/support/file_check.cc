#include "support/file_check.h"

#include <cstring>
#include <utility>

#include "support/format.h"
#include "support/program.h"
#include "zub_feedback/matrix_io.h"

namespace zub_cli {

namespace {

[[noreturn]] void refuse_changed(const std::string& path) {
  refuse(format("%s changed while it was read; try again", path.c_str()));
}

}  // namespace

measured_file measure(const std::string& path) {
  const zub_feedback::result<std::string> text =
      zub_feedback::read_text_file(path);
  if (!text) {
    if (text.error().code == zub_feedback::error_code::file_changed) {
      refuse_changed(path);
    }
    refuse(text.error().detail);
  }
  const zub_feedback::matrix_text_diagnosis d =
      zub_feedback::diagnose_matrix_text(text.value());
  measured_file m;
  m.rows = static_cast<long long>(d.shape.rows);
  m.cols = static_cast<long long>(d.shape.cols);
  m.note = d.note;
  for (const zub_feedback::refusal& r : d.lines) {
    m.problems.push_back({r.line, r.detail});
  }
  m.more_problems = d.more_lines;
  if (m.problems.empty()) {
    // The named form of the same text: the values as the plain parse reads
    // them, and the names.
    zub_feedback::result<zub_feedback::named_matrix> named =
        zub_feedback::parse_named_matrix_text(text.value());
    if (named) {
      m.values = std::move(named.value().values);
      m.monitors = std::move(named.value().monitors);
      m.correctors = std::move(named.value().correctors);
      m.metadata = std::move(named.value().metadata);
    } else {
      m.names_refused = named.error();
      m.values =
          zub_feedback::parse_matrix_text(text.value(), d.shape).value().values;
    }
  }
  return m;
}

long long offending(const measured_file& m) {
  return static_cast<long long>(m.problems.size()) + m.more_problems;
}

void print_problems(FILE* to, const measured_file& m) {
  if (m.problems.empty()) return;
  const size_t n = m.problems.size();
  std::fprintf(to,
               "offending %lld line%s: the loader refuses the file\n"
               "          (line numbers count from 1, rows and columns from "
               "0)\n",
               offending(m), offending(m) == 1 ? "" : "s");
  constexpr size_t kShown = 20;
  for (size_t k = 0; k < n && k < kShown; ++k) {
    std::fprintf(to, "  %s\n", m.problems[k].text.c_str());
  }
  if (n > kShown) {
    std::vector<long long> rest;
    for (size_t k = kShown; k < n; ++k) rest.push_back(m.problems[k].file_line);
    const std::string unlisted =
        m.more_problems > 0 ? format(" and %lld more", m.more_problems) : "";
    std::fprintf(to, "  ... and %lld more: lines %s%s\n",
                 offending(m) - static_cast<long long>(kShown),
                 ranges(rest).c_str(), unlisted.c_str());
  }
}

void refuse_offending(const std::string& path, const measured_file& m) {
  refuse(format("%s does not load: %lld offending line%s", path.c_str(),
                offending(m), offending(m) == 1 ? "" : "s"));
}

void confirm_unchanged(const std::string& path, measured_file& m,
                       const MDFA_ResponseMatrix& loaded) {
  bool same = static_cast<long long>(m.values.rows()) == loaded.rows &&
              static_cast<long long>(m.values.cols()) == loaded.cols;
  for (int i = 0; same && i < loaded.rows; ++i) {
    for (int j = 0; same && j < loaded.cols; ++j) {
      const float want = static_cast<float>(
          m.values(static_cast<size_t>(i), static_cast<size_t>(j)));
      const float got = loaded.value(i, j, -1, -1, -1, -1);
      same = std::memcmp(&want, &got, sizeof want) == 0;
    }
  }
  if (!same) refuse_changed(path);
  m.values = zub_feedback::matrix();
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
