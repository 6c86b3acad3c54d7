// The file check: what the programs measure must be what load_file loaded.
#include <gtest/gtest.h>

#include <string>

#include "log_capture.h"
#include "stdout_capture.h"
#include "support/file_check.h"
#include "support/program.h"
#include "temp_file.h"

namespace {

TEST(FileCheck, RewriteBetweenMeasureAndLoadIsRefused) {
  const zub_test::TempDir dir;
  const std::string path = dir.write("m.txt", "1 2\n3 4\n");
  zub_cli::measured_file m = zub_cli::measure(path);
  EXPECT_EQ(m.rows, 2);
  EXPECT_EQ(m.cols, 2);
  EXPECT_TRUE(m.problems.empty());
  dir.write("m.txt", "1 2\n3 5\n");
  MDFA_ResponseMatrix loaded("M", 2, 2, nullptr);
  zub_test::LogCapture log;
  ASSERT_TRUE(loaded.load_file(path.c_str()));
  try {
    zub_cli::confirm_unchanged(path, m, loaded);
    ADD_FAILURE() << "a rewritten file was taken";
  } catch (const zub_cli::failure& f) {
    EXPECT_EQ(f.status, zub_cli::kExitRefused);
    EXPECT_EQ(f.message, path + " changed while it was read; try again");
  }
  // Unchanged, it is taken, and the measured values released.
  m = zub_cli::measure(path);
  zub_cli::confirm_unchanged(path, m, loaded);
  EXPECT_TRUE(m.values.empty());
}

// What the listing says of a line is read where the line ends, CR-LF
// included; 20 lines are listed in full, the rest by number; the note is
// there only when the shape as a whole needs one.
TEST(FileCheck, ReasonsListingAndNote) {
  const zub_test::TempDir dir;
  zub_cli::measured_file m =
      zub_cli::measure(dir.write("crlf.txt", "1 2\r\n3 -1e309\r\n5 6\r\n"));
  ASSERT_EQ(m.problems.size(), 1u);
  EXPECT_EQ(m.problems[0].text,
            "line 2: \"-1e309\" is beyond the range of a double; it holds 1 "
            "value, not 2");
  EXPECT_EQ(m.note, "");

  std::string twenty;
  for (int i = 0; i < 20; ++i) twenty += "1 nan\n";
  for (int i = 0; i < 21; ++i) twenty += "1 2 BPM\n";
  m = zub_cli::measure(dir.write("twenty.txt", twenty));
  ASSERT_EQ(m.problems.size(), 20u);
  EXPECT_EQ(m.note, "");
  zub_test::StdoutCapture out;
  zub_cli::print_problems(stdout, m);
  const std::string listed = out.text();
  EXPECT_NE(listed.find("  line 20: "), std::string::npos);
  EXPECT_EQ(listed.find("more: lines"), std::string::npos) << listed;

  m = zub_cli::measure(dir.write("commas.txt", "1,5 2,0\n3,1 4,2\n"));
  EXPECT_TRUE(m.problems.empty());
  EXPECT_EQ(m.note,
            "every data line holds one value; on line 1 it ends at a comma "
            "(\"1,5\"): decimal commas? The loader reads \"1,5\" as 1, as "
            "\".\" is the decimal point");
}

}  // namespace
