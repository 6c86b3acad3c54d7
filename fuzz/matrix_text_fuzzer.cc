// The core's parser on arbitrary bytes, against itself: the diagnosis, the
// parse without a shape, the named parse and the parse with one must agree
// on every input, and what parses must come back bit for bit through the
// core's writer, names and metadata too.
// The input is laid out as load_file_fuzzer's (the last two bytes choose
// the shape, each byte % 18 - 1), so that the two share their seeds.
#include <cstdint>
#include <cstring>
#include <string>

#include "data_provider.h"
#include "fuzz_check.h"
#include "matrix_file.h"
#include "matrix_io.h"

namespace {

using zub_feedback::error_code;
using zub_feedback::matrix;
using zub_feedback::refusal;

bool same_bits(const matrix& a, const matrix& b) {
  // An empty matrix may have no data to point at, and memcmp must not see
  // a null pointer even for no bytes.
  return a.rows() == b.rows() && a.cols() == b.cols() &&
         (a.size() == 0 ||
          std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0);
}

bool names_its_line(const refusal& r) {
  const std::string line = "line " + std::to_string(r.line);
  return r.detail.compare(0, line.size(), line) == 0 &&
         (r.detail.size() == line.size() || r.detail[line.size()] == ' ' ||
          r.detail[line.size()] == ':');
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
  zub_fuzz::data_provider in(data, size);
  const long long rows = in.ConsumeIntegralInRange<int>(0, 17) - 1;
  const long long cols = in.ConsumeIntegralInRange<int>(0, 17) - 1;
  const std::string text = in.ConsumeRemainingBytesAsString();

  const zub_feedback::matrix_text_diagnosis d =
      zub_feedback::diagnose_matrix_text(text);
  long long previous = 0;
  for (const refusal& r : d.lines) {
    ZUB_FUZZ_CHECK(r.line > previous, "line %lld after %lld", r.line, previous);
    previous = r.line;
    ZUB_FUZZ_CHECK(
        r.code == error_code::bad_line || r.code == error_code::beyond_float,
        "code %d", static_cast<int>(r.code));
    ZUB_FUZZ_CHECK(names_its_line(r), "line %lld: %s", r.line,
                   r.detail.c_str());
  }

  const auto shapeless = zub_feedback::parse_matrix_text(text);
  ZUB_FUZZ_CHECK(shapeless.ok() == d.lines.empty(),
                 "parsed %d with %zu lines at fault", shapeless.ok(),
                 d.lines.size());
  if (!shapeless.ok()) {
    const refusal& first = d.lines.front();
    const refusal& r = shapeless.error();
    ZUB_FUZZ_CHECK(
        r.code == first.code && r.line == first.line &&
            r.position == first.position && r.text == first.text &&
            r.message == first.message &&
            r.detail.compare(0, first.detail.size(), first.detail) == 0,
        "refused with \"%s\", the first line at fault is \"%s\"",
        r.detail.c_str(), first.detail.c_str());
  } else {
    const matrix& m = shapeless.value().values;
    ZUB_FUZZ_CHECK(m.rows() == d.shape.rows && m.cols() == d.shape.cols,
                   "%zu x %zu parsed, %zu x %zu diagnosed", m.rows(), m.cols(),
                   d.shape.rows, d.shape.cols);
    ZUB_FUZZ_CHECK(
        shapeless.value().bytes >= 0 &&
            shapeless.value().bytes <= static_cast<long long>(text.size()),
        "%lld bytes of %zu", shapeless.value().bytes, text.size());
    for (size_t k = 0; k < m.size(); ++k) {
      const double v = m.data()[k];
      ZUB_FUZZ_CHECK(std::isfinite(static_cast<float>(v)) &&
                         static_cast<double>(static_cast<float>(v)) == v,
                     "element %zu is %.17g, not a finite float", k, v);
    }
    // Through the writer and back, bit for bit.
    const auto back =
        zub_feedback::parse_matrix_text(zub_feedback::matrix_text(m), d.shape);
    ZUB_FUZZ_CHECK(back.ok() && same_bits(back.value().values, m),
                   "the written matrix did not parse back");
  }

  // The named parse: the plain parse's numbers or its refusal, and names
  // and metadata that come back whole through the writer.
  const auto named = zub_feedback::parse_named_matrix_text(text);
  if (!shapeless.ok()) {
    ZUB_FUZZ_CHECK(!named.ok() &&
                       named.error().line == shapeless.error().line &&
                       named.error().code == shapeless.error().code,
                   "the named parse refused otherwise than the plain one");
  } else if (!named.ok()) {
    const refusal& r = named.error();
    ZUB_FUZZ_CHECK(r.code == error_code::bad_names && names_its_line(r),
                   "named refusal %d: %s", static_cast<int>(r.code),
                   r.detail.c_str());
  } else {
    const zub_feedback::named_matrix& n = named.value();
    ZUB_FUZZ_CHECK(same_bits(n.values, shapeless.value().values),
                   "the named parse holds other values");
    const auto written = zub_feedback::named_matrix_text(n);
    ZUB_FUZZ_CHECK(written.ok(), "what was read is not written: %s",
                   written.ok() ? "" : written.error().detail.c_str());
    const auto back = zub_feedback::parse_named_matrix_text(written.value());
    ZUB_FUZZ_CHECK(back.ok() && same_bits(back.value().values, n.values) &&
                       back.value().monitors == n.monitors &&
                       back.value().correctors == n.correctors &&
                       back.value().metadata == n.metadata,
                   "the written named matrix did not read back");
  }

  // With a shape: it parses exactly when the text holds that shape whole.
  const auto shaped = zub_internal::parse_text(text, rows, cols);
  const bool holds = shapeless.ok() &&
                     static_cast<long long>(d.shape.rows) == rows &&
                     static_cast<long long>(d.shape.cols) == cols;
  ZUB_FUZZ_CHECK(shaped.ok() == holds,
                 "parsed %d into %lld x %lld; the text holds %zu x %zu%s",
                 shaped.ok(), rows, cols, d.shape.rows, d.shape.cols,
                 shapeless.ok() ? "" : " with lines at fault");
  if (shaped.ok()) {
    ZUB_FUZZ_CHECK(same_bits(shaped.value().values, shapeless.value().values),
                   "the shaped parse holds other values");
    return 0;
  }
  const refusal& r = shaped.error();
  ZUB_FUZZ_CHECK(r.message.rfind("ERROR: ", 0) == 0 && r.message.size() < 100,
                 "message \"%s\"", r.message.c_str());
  ZUB_FUZZ_CHECK(r.line == 0 || names_its_line(r), "line %lld: %s", r.line,
                 r.detail.c_str());
  ZUB_FUZZ_CHECK(
      (r.code != error_code::bad_line && r.code != error_code::beyond_float) ||
          r.line != 0,
      "a line refusal without its line: %s", r.message.c_str());
  return 0;
}
