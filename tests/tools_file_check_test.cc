// The file check: what the programs measure must be what load_file loaded.
#include <gtest/gtest.h>

#include <string>

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
  try {
    zub_cli::confirm_unchanged(path, m);
    ADD_FAILURE() << "a rewritten file was taken";
  } catch (const zub_cli::failure& f) {
    EXPECT_EQ(f.status, zub_cli::kExitRefused);
    EXPECT_EQ(f.message, path + " changed while it was read; try again");
  }
  // Unchanged, it is taken, and the measured copy released.
  m = zub_cli::measure(path);
  zub_cli::confirm_unchanged(path, m);
  EXPECT_TRUE(m.bytes.empty());
}

// What the listing says of a line is read where the line ends, CR-LF
// included; 20 lines are listed in full, the rest by number; the note is
// there only when the last line's values end early.
TEST(FileCheck, ReasonsListingAndNote) {
  const zub_test::TempDir dir;
  zub_cli::measured_file m =
      zub_cli::measure(dir.write("crlf.txt", "1 2\r\n3 -1e309\r\n5 6\r\n"));
  ASSERT_EQ(m.problems.size(), 1u);
  EXPECT_EQ(m.problems[0].text,
            "line 2 (row 1): the values end at '-1e309' (a number beyond the "
            "range of a double) after 1 value; 1 value where the last data "
            "line has 2");
  EXPECT_EQ(m.note, "");

  std::string twenty;
  for (int i = 0; i < 20; ++i) twenty += "1 nan\n";
  m = zub_cli::measure(dir.write("twenty.txt", twenty + "1 2 BPM\n"));
  ASSERT_EQ(m.problems.size(), 20u);
  EXPECT_EQ(m.note,
            "line 21 (row 20) is the last data line: the values end at 'BPM' "
            "after 2 values, which sets the number of columns");
  zub_test::StdoutCapture out;
  zub_cli::print_problems(stdout, m);
  const std::string listed = out.text();
  EXPECT_NE(listed.find("  line 20 (row 19): "), std::string::npos);
  EXPECT_EQ(listed.find("more: lines"), std::string::npos) << listed;
  EXPECT_NE(listed.find("\n  (line 21 (row 20) is the last data line"),
            std::string::npos);
}

}  // namespace
