// The file check: what the programs measure must be what load_file loaded.
#include <gtest/gtest.h>

#include <string>

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

}  // namespace
