// Named matrix files: the names and metadata of the leading comment lines,
// read and written by the core's file unit; the values exactly as the
// plain parse reads them, and a written file that load_file loads as it is.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "log_capture.h"
#include "matrix_io.h"
#include "temp_file.h"
#include "zub_feedback.h"

namespace {

using zub_feedback::error_code;
using zub_feedback::named_matrix;

std::uint32_t bits(double v) {
  const float f = static_cast<float>(v);
  std::uint32_t b;
  std::memcpy(&b, &f, sizeof b);
  return b;
}

// Random floats over many magnitudes and both signs, with names.
named_matrix random_named(size_t rows, size_t cols, unsigned seed) {
  std::mt19937 gen(seed);
  std::uniform_real_distribution<float> mantissa(-1.0f, 1.0f);
  std::uniform_int_distribution<int> exponent(-40, 38);
  named_matrix m;
  m.values = zub_feedback::matrix(rows, cols);
  for (size_t i = 0; i < rows; ++i) {
    for (size_t j = 0; j < cols; ++j) {
      m.values(i, j) = static_cast<float>(
          std::ldexp(mantissa(gen), static_cast<int>(exponent(gen) * 3.3)));
    }
  }
  for (size_t i = 0; i < rows; ++i)
    m.monitors.push_back("BPM." + std::to_string(i));
  for (size_t j = 0; j < cols; ++j)
    m.correctors.push_back("HC." + std::to_string(j));
  m.metadata = {
      {"unit", "mm/mrad"}, {"plane", "x"}, {"date", "2026-12-08 23:50"}};
  return m;
}

TEST(NamedMatrixFile, RoundTripIsBitForBitAndLoadFileReadsIt) {
  zub_test::TempDir dir;
  for (unsigned seed = 1; seed <= 4; ++seed) {
    const named_matrix m = random_named(7 + seed, 3 + seed, seed);
    const std::string path = (dir.path() / "named.txt").string();
    ASSERT_TRUE(zub_feedback::write_named_matrix_file(path, m));

    const auto back = zub_feedback::read_named_matrix_file(path);
    ASSERT_TRUE(back) << back.error().detail;
    const named_matrix& r = back.value();
    EXPECT_EQ(r.monitors, m.monitors);
    EXPECT_EQ(r.correctors, m.correctors);
    EXPECT_EQ(r.metadata, m.metadata);
    ASSERT_EQ(r.values.rows(), m.values.rows());
    ASSERT_EQ(r.values.cols(), m.values.cols());

    // The property skips the name lines and stores the same floats.
    zub_test::LogCapture log;
    MDFA_ResponseMatrix rm("RM", static_cast<int>(m.values.rows()),
                           static_cast<int>(m.values.cols()), nullptr);
    ASSERT_TRUE(rm.load_file(path.c_str()));
    for (size_t i = 0; i < m.values.rows(); ++i) {
      for (size_t j = 0; j < m.values.cols(); ++j) {
        EXPECT_EQ(bits(r.values(i, j)), bits(m.values(i, j)));
        EXPECT_EQ(bits(rm.value(static_cast<int>(i), static_cast<int>(j), -1,
                                -1, -1, -1)),
                  bits(m.values(i, j)));
      }
    }
  }
}

TEST(NamedMatrixFile, TextHoldsMetadataNamesThenValues) {
  named_matrix m;
  m.values = zub_feedback::matrix(2, 2);
  m.values(0, 0) = 0.1f;
  m.values(1, 1) = -2.5f;
  m.monitors = {"B1", "B2"};
  m.correctors = {"C1", "C2"};
  m.metadata = {{"unit", "mm/mrad"}, {"empty", ""}};
  const auto text = zub_feedback::named_matrix_text(m);
  ASSERT_TRUE(text);
  EXPECT_EQ(text.value(),
            "# unit: mm/mrad\n# empty: \n# monitors: B1 B2\n"
            "# correctors: C1 C2\n0.100000001 0\n0 -2.5\n");
  // Without names, only the values: the plain text.
  named_matrix plain;
  plain.values = m.values;
  EXPECT_EQ(zub_feedback::named_matrix_text(plain).value(),
            zub_feedback::matrix_text(m.values));
  EXPECT_EQ(m.monitor_index("B2").value(), 1u);
  EXPECT_EQ(m.corrector_index("C1").value(), 0u);
  EXPECT_EQ(m.monitor_index("C1").error().detail,
            "none of its 2 monitors is named \"C1\"");
  EXPECT_EQ(plain.corrector_index("C1").error().detail,
            "the matrix names no correctors");
}

TEST(NamedMatrixFile, PlainFilesReadWithoutNames) {
  for (const char* text :
       {"1 2\n3 4\n",
        "# Inverse of rm.txt written by rmtool:\n# 2 rows x 2\n"
        "1 2 # note: x\n# a comment\n3 4\n",
        "#http://host/rm\n#no_colon here\n1 2\n3 4\n# trailer\n"}) {
    SCOPED_TRACE(text);
    const auto r = zub_feedback::parse_named_matrix_text(text);
    ASSERT_TRUE(r) << r.error().detail;
    EXPECT_TRUE(r.value().monitors.empty());
    EXPECT_TRUE(r.value().correctors.empty());
    EXPECT_TRUE(r.value().metadata.empty());
    const auto plain = zub_feedback::parse_matrix_text(text).value().values;
    ASSERT_EQ(r.value().values.size(), plain.size());
    EXPECT_TRUE(std::equal(plain.data(), plain.data() + plain.size(),
                           r.value().values.data()));
  }
  // A file that does not load is refused as the plain parse refuses it.
  const auto bad = zub_feedback::parse_named_matrix_text(
      "# monitors: A B C\n1 2\n3 4\n5 x\n");
  ASSERT_FALSE(bad);
  EXPECT_EQ(bad.error().code,
            zub_feedback::parse_matrix_text("1 2\n3 4\n5 x\n").error().code);
  EXPECT_EQ(bad.error().line, 4);
}

TEST(NamedMatrixFile, RefusalsNameTheLine) {
  const struct {
    const char* text;
    long long line;
    const char* detail;
  } cases[] = {
      {"# monitors: A B C\n1 2\n3 4\n", 1,
       "line 1 names 3 monitors; the file holds 2 data lines (rows)"},
      {"# unit: mm\n# correctors: X\n1 2\n3 4\n", 2,
       "line 2 names 1 corrector; the file holds 2 values a row (columns)"},
      {"# monitors: A B A\n1\n2\n3\n", 1,
       "line 1: \"A\" names monitors 0 and 2 (from 0)"},
      {"# unit: mm\n# plane: x\n#unit: m\n1\n", 3,
       "line 3: \"unit:\" is given on line 1 already"},
      {"# monitors: A\n1 2\n# correctors: X Y\n", 3,
       "line 3: \"correctors:\" stands after the first data line (line 2); "
       "names go before the data"},
      {"# c\n1\n2\n# date: today\n# monitors: A B\n", 5,
       "line 5: \"monitors:\" stands after the first data line (line 2); "
       "names go before the data"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const auto r = zub_feedback::parse_named_matrix_text(c.text);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().code, error_code::bad_names);
    EXPECT_EQ(r.error().line, c.line);
    EXPECT_EQ(r.error().detail, c.detail);
    EXPECT_EQ(r.error().message.rfind("ERROR: line ", 0), 0u);
  }
}

TEST(NamedMatrixFile, WriteRefusesWhatWouldNotReadBack) {
  zub_test::TempDir dir;
  const std::string path = (dir.path() / "out.txt").string();
  const named_matrix good = random_named(2, 2, 9);
  const struct {
    void (*spoil)(named_matrix&);
    const char* detail;
  } cases[] = {
      {[](named_matrix& m) { m.monitors.pop_back(); },
       "1 monitor names for 2 monitors"},
      {[](named_matrix& m) { m.correctors[1] = "HC 1"; },
       "corrector name 1 (from 0), \"HC 1\", is empty or holds a blank"},
      {[](named_matrix& m) { m.monitors[0] = ""; },
       "monitor name 0 (from 0), \"\", is empty or holds a blank"},
      {[](named_matrix& m) { m.monitors[1] = m.monitors[0]; },
       "monitors 0 and 1 are both named \"BPM.0\""},
      {[](named_matrix& m) {
         m.metadata.push_back({"a:b", "x"});
       },
       "the key \"a:b\" is empty or holds a blank or a colon"},
      {[](named_matrix& m) {
         m.metadata.push_back({"monitors", "x"});
       },
       "the key \"monitors\" is given twice"},
      {[](named_matrix& m) {
         m.metadata.push_back({"note", "a\nb"});
       },
       "the value of \"note\" holds a line break"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.detail);
    named_matrix m = good;
    c.spoil(m);
    const zub_feedback::status s =
        zub_feedback::write_named_matrix_file(path, m);
    ASSERT_FALSE(s);
    EXPECT_EQ(s.error().code, error_code::bad_argument);
    EXPECT_EQ(s.error().detail,
              std::string(c.detail) + ": it would not read back as it is");
    EXPECT_FALSE(std::filesystem::exists(path));
  }
}

}  // namespace
