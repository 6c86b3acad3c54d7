// The core's response-matrix files: what a text is refused for, named so
// that an operator can mend it; what a text holds without a shape; and the
// writer, whose files come back float for float.
#include "matrix_io.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <limits>
#include <string>
#include <vector>

#include "log_capture.h"
#include "matrix_bits.h"
#include "temp_file.h"
#include "zub_feedback.h"

namespace {

using zub_feedback::error_code;
using zub_feedback::matrix;

// ---------------------------------------------------------------- with a
// shape: load_file's message, and the first line at fault

TEST(ParseMatrixText, RefusalNamesTheFirstLineAtFault) {
  const struct {
    const char* text;
    size_t rows, cols;
    error_code code;
    const char* message;
    long long line, position;
    const char* found;
    const char* detail;
  } cases[] = {
      {"1 2 3\n4 5 6\n7 8 NaN\n", 3, 3, error_code::bad_cols,
       "ERROR: No. columns (2) do not match no. of actuators (3)!", 3, 3, "NaN",
       "line 3: \"NaN\" is not a number; it holds 2 values, not 3"},
      {"1 2 3\n4 5 6\n7 8\n", 3, 3, error_code::bad_cols,
       "ERROR: No. columns (2) do not match no. of actuators (3)!", 3, 0, "",
       "line 3 holds 2 values, not 3"},
      {"\xEF\xBB\xBF# c\n1 2\n3 4\n", 2, 2, error_code::bad_rows,
       "ERROR: No. rows (3) do not match no. of monitors (2)!", 1, 1,
       "\\xEF\\xBB\\xBF",
       "line 1 starts with a byte-order mark (bytes EF BB BF), so the loader "
       "reads no value from it"},
      {"1 2\n  # note\n3 4\n", 2, 2, error_code::bad_rows,
       "ERROR: No. rows (3) do not match no. of monitors (2)!", 2, 1, "#",
       "line 2: \"#\" after blanks is not a comment: the \"#\" must be the "
       "line's first character"},
      {"1 2\n3 4\n\n", 2, 2, error_code::bad_rows,
       "ERROR: No. rows (3) do not match no. of monitors (2)!", 3, 0, "",
       "line 3 is blank: a blank line after the last row counts as a row"},
      {"1 2\n \r\n# c\n3 4\n", 3, 2, error_code::bad_line,
       "ERROR: line 2 has 0 values, not 2!", 2, 0, "",
       "line 2 is blank: a blank line counts as a row"},
      {"1 2\n1,5 2\n3 4\n", 3, 2, error_code::bad_line,
       "ERROR: line 2 has 1 values, not 2!", 2, 2, ",5",
       "line 2: the \",\" in \"1,5\" is not a number: blanks separate the "
       "values, and \".\" is the decimal point; it holds 1 value, not 2"},
      {"1 2 3\n4 5o 6\n7 8 9\n", 3, 3, error_code::bad_line,
       "ERROR: line 2 has 2 values, not 3!", 2, 3, "o",
       "line 2: \"o\" in \"5o\" is not a number; it holds 2 values, not 3"},
      {"1 1e+400\n", 1, 2, error_code::bad_cols,
       "ERROR: No. columns (1) do not match no. of actuators (2)!", 1, 2,
       "1e+400",
       "line 1: \"1e+400\" is beyond the range of a double; it holds 1 "
       "value, not 2"},
      {"1 2\n3 4e\n", 2, 2, error_code::bad_cols,
       "ERROR: No. columns (1) do not match no. of actuators (2)!", 2, 2, "4e",
       "line 2: \"4e\" is not a number; it holds 1 value, not 2"},
      {"1 2\n3 1e39\n", 2, 2, error_code::beyond_float,
       "ERROR: value 2 of line 2 is beyond the float range!", 2, 2, "1e39",
       "line 2: value 2, \"1e39\", is beyond the float range"},
      {"1 2 3\n4 5\n6 7\n", 3, 2, error_code::bad_line,
       "ERROR: line 1 has 3 values, not 2!", 1, 3, "3",
       "line 1 holds 3 values, not 2"},
      // Rows joined on one line; a file of more rows than monitors; fewer.
      {"1 2 3 4\n5 6\n", 3, 2, error_code::bad_rows,
       "ERROR: No. rows (2) do not match no. of monitors (3)!", 1, 3, "3",
       "line 1 holds 4 values, not 2"},
      {"# c\n1 2\n3 4\n5 6\n", 2, 2, error_code::bad_rows,
       "ERROR: No. rows (3) do not match no. of monitors (2)!", 4, 0, "",
       "line 4 is data line 3: the file holds 3 data lines, not 2"},
      {"1 2\n", 2, 2, error_code::bad_rows,
       "ERROR: No. rows (1) do not match no. of monitors (2)!", 0, 0, "",
       "the file holds 1 data line, not 2"},
      {"", 0, 3, error_code::bad_cols,
       "ERROR: No. columns (0) do not match no. of actuators (3)!", 0, 0, "",
       "the file holds no data line"},
      // What is found is shown printable, and cut.
      {"1 2\n3 \x01yyyyyyyyyyyyyyyyyyyyyyyyy\n", 2, 2, error_code::bad_cols,
       "ERROR: No. columns (1) do not match no. of actuators (2)!", 2, 2,
       "\\x01yyyyyyyyyyyyyyyyyyy...",
       "line 2: \"\\x01yyyyyyyyyyyyyyyyyyy...\" is not a number; it holds 1 "
       "value, not 2"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const auto r = zub_feedback::parse_matrix_text(c.text, {c.rows, c.cols});
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().code, c.code);
    EXPECT_EQ(r.error().message, c.message);
    EXPECT_EQ(r.error().line, c.line);
    EXPECT_EQ(r.error().position, c.position);
    EXPECT_EQ(r.error().text, c.found);
    EXPECT_EQ(r.error().detail, c.detail);
  }
}

TEST(ParseMatrixText, HoldsTheFloatsThatTheTextGives) {
  const auto r = zub_feedback::parse_matrix_text(
      "# c\n0.1 1e-50\n-3 4 BPM\n# tail\n", {2, 2});
  ASSERT_TRUE(r.ok()) << r.error().detail;
  EXPECT_EQ(r.value().bytes, 23);
  EXPECT_EQ(r.value().values(0, 0), 0.100000001490116119384765625);
  EXPECT_EQ(r.value().values(0, 1), 0.0);
  EXPECT_EQ(r.value().values(1, 0), -3.0);
  EXPECT_EQ(r.value().values(1, 1), 4.0);
}

// ---------------------------------------------------------------- without
// a shape: what most lines hold, and every line that differs

TEST(DiagnoseMatrixText, ShapeIsWhatMostLinesHold) {
  const struct {
    const char* text;
    size_t rows, cols;
    std::vector<long long> at_fault;
    const char* note;
  } cases[] = {
      {"1 2 3\n4 5 6\n7 8 NaN\n", 3, 3, {3}, ""},
      // On a tie the count met last decides, as the last line does for
      // load_file.
      {"1 2 3 4\n5 6 7\n", 2, 3, {1}, ""},
      {"1 2\n3\n4 5\n6\n", 4, 1, {1, 3}, ""},
      // A blank line holds no count of its own.
      {"1 2\n3 4\n\n\n", 4, 2, {3, 4}, ""},
      {"1 2\n3 1e39\n5 6\n", 3, 2, {2}, ""},
      {"1,5 2,0\n3,1 4,2\n",
       2,
       1,
       {},
       "every data line holds one value; on line 1 it ends at a comma "
       "(\"1,5\"): decimal commas? The loader reads \"1,5\" as 1, as \".\" is "
       "the decimal point"},
      {"1 2 # note\n3 4 BPM\n", 2, 2, {}, ""},
      {"1 BPM1\n2 BPM2\n", 2, 1, {}, ""},
      {"\nx 1\n",
       2,
       0,
       {},
       "no data line holds a value (line 2: \"x\" is not a number)"},
      {"\n \n", 2, 0, {}, "no data line holds a value"},
      {"# only\n", 0, 0, {}, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const zub_feedback::matrix_text_diagnosis d =
        zub_feedback::diagnose_matrix_text(c.text);
    EXPECT_EQ(d.shape.rows, c.rows);
    EXPECT_EQ(d.shape.cols, c.cols);
    std::vector<long long> lines;
    for (const auto& r : d.lines) lines.push_back(r.line);
    EXPECT_EQ(lines, c.at_fault);
    EXPECT_EQ(d.note, c.note);
  }
}

TEST(DiagnoseMatrixText, ParseRefusesAtTheFirstLineAndCountsTheOthers) {
  const auto r =
      zub_feedback::parse_matrix_text("1 nan\n1 2\n1 x\n1 2\n1 2\n\n");
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().message, "ERROR: line 1 has 1 values, not 2!");
  EXPECT_EQ(r.error().detail,
            "line 1: \"nan\" is not a number; it holds 1 value, not 2; 2 more "
            "lines do not load");
  // A text of many faults lists a thousand of them and counts the others.
  const std::string blanks = "1 2\n3 4\n" + std::string(1002, '\n');
  const zub_feedback::matrix_text_diagnosis d =
      zub_feedback::diagnose_matrix_text(blanks);
  EXPECT_EQ(d.lines.size(), 1000u);
  EXPECT_EQ(d.more_lines, 2);
  EXPECT_EQ(d.lines.back().line, 1002);
  EXPECT_EQ(zub_feedback::parse_matrix_text(blanks).error().detail,
            "line 3 is blank: a blank line after the last row counts as a "
            "row; 1001 more lines do not load");
  EXPECT_EQ(zub_feedback::parse_matrix_text("1 2\n3\n4 5\n").error().detail,
            "line 2 holds 1 value, not 2");
  const auto ok = zub_feedback::parse_matrix_text("1 2\n3 4 BPM\n");
  ASSERT_TRUE(ok.ok());
  EXPECT_EQ(ok.value().values,
            matrix(zub_feedback::const_matrix_view(
                std::vector<double>{1, 2, 3, 4}.data(), 2, 2)));
}

// ---------------------------------------------------------------- reading

TEST(ReadTextFile, FilesThatAreNotReadSayWhy) {
  const zub_test::TempDir dir;
  const std::string absent = (dir.path() / "absent.txt").string();
  const std::string here = dir.path().string();
  for (const auto& [path, detail] :
       std::vector<std::pair<std::string, std::string>>{
           {absent, "cannot read " + absent + ": No such file or directory"},
           {here, here + " is not a regular file"}}) {
    const auto r = zub_feedback::read_matrix_file(path, {1, 1});
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().code, error_code::cannot_read);
    EXPECT_EQ(r.error().message, "ERROR: file " + path + " not found!");
    EXPECT_EQ(r.error().detail, detail);
  }
}

// ---------------------------------------------------------------- writing

TEST(WriteMatrixFile, FloatsComeBackBitForBit) {
  const float floats[] = {0.1f,    1.0f / 3,    -FLT_MAX, FLT_MIN,
                          1e-45f,  16777217.0f, -0.0f,    123456.789f,
                          FLT_MAX, -1e-45f,     2.5e-40f, 7.0f};
  matrix m(3, 4);
  for (size_t k = 0; k < 12; ++k) m.data()[k] = floats[k];
  const std::string text = zub_feedback::matrix_text(m);
  EXPECT_EQ(text.substr(0, text.find('\n') + 1),
            "0.100000001 0.333333343 -3.40282347e+38 1.17549435e-38\n");
  const zub_test::TempDir dir;
  const std::string path = (dir.path() / "m.txt").string();
  dir.write("m.txt", "an older file, longer than the new one\n");
  ASSERT_TRUE(zub_feedback::write_matrix_file(path, m).ok());
  EXPECT_FALSE(std::filesystem::exists(path + ".part"));

  const auto back = zub_feedback::read_matrix_file(path, {3, 4});
  ASSERT_TRUE(back.ok()) << back.error().detail;
  EXPECT_EQ(std::memcmp(back.value().values.data(), m.data(),
                        m.size() * sizeof(double)),
            0);
  MDFA_ResponseMatrix loaded("M", 3, 4, nullptr);
  zub_test::LogCapture log;
  ASSERT_TRUE(loaded.load_file(path.c_str()));
  const std::vector<std::uint32_t> bits = zub_test::element_bits(loaded);
  for (size_t k = 0; k < 12; ++k) {
    std::uint32_t want;
    std::memcpy(&want, &floats[k], sizeof want);
    EXPECT_EQ(bits[k], want) << k;
  }
  // A view with a stride writes its own elements only.
  const double wide[] = {1, 2, 9, 3, 4, 9};
  EXPECT_EQ(
      zub_feedback::matrix_text(zub_feedback::const_matrix_view(wide, 2, 2, 3)),
      "1 2\n3 4\n");
}

TEST(WriteMatrixFile, RefusesWhatWouldNotLoadBackAndWritesNothing) {
  const zub_test::TempDir dir;
  const std::string path = (dir.path() / "m.txt").string();
  const struct {
    double value;
    error_code code;
  } cases[] = {{std::nan(""), error_code::not_finite},
               {-INFINITY, error_code::not_finite},
               {3.5e38, error_code::beyond_float}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value);
    matrix m(2, 2, 1.0);
    m(1, 0) = c.value;
    const zub_feedback::status s = zub_feedback::write_matrix_file(path, m);
    ASSERT_FALSE(s.ok());
    EXPECT_EQ(s.error().code, c.code);
    EXPECT_EQ(s.error().detail.rfind("element (1, 0) is ", 0), 0u)
        << s.error().detail;
    EXPECT_FALSE(std::filesystem::exists(path));
  }
  const std::string nowhere = (dir.path() / "no" / "m.txt").string();
  const zub_feedback::status s =
      zub_feedback::write_matrix_file(nowhere, matrix(1, 1));
  ASSERT_FALSE(s.ok());
  EXPECT_EQ(s.error().code, error_code::cannot_write);
  EXPECT_EQ(s.error().detail,
            "cannot write " + nowhere + ".part: No such file or directory");
}

}  // namespace
