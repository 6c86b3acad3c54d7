// Writing beside a file and renaming over it: never half a file, never a
// part left behind, and a reason when it fails.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "run_program.h"
#include "support/atomic_file.h"
#include "temp_file.h"

namespace {

namespace fs = std::filesystem;

TEST(AtomicFile, ReplacesTheFileAndLeavesNoPart) {
  const zub_test::TempDir dir;
  const std::string path = dir.write("m.txt", "old content, longer\n");
  const zub_cli::write_outcome w =
      zub_cli::write_file_atomically(path, "new\n");
  EXPECT_TRUE(w.ok) << w.message();
  EXPECT_EQ(zub_test::read_whole_file(path), "new\n");
  EXPECT_FALSE(fs::exists(path + ".part"));
}

TEST(AtomicFile, FailuresNameTheFileAndTheReason) {
  const zub_test::TempDir dir;
  const std::string missing = (dir.path() / "no" / "m.txt").string();
  zub_cli::write_outcome w = zub_cli::write_file_atomically(missing, "x");
  EXPECT_FALSE(w.ok);
  EXPECT_EQ(w.message(),
            "cannot write " + missing + ".part: No such file or directory");
  // A directory in the way of the rename: the part goes, the directory
  // stays as it was.
  const fs::path busy = dir.path() / "busy";
  fs::create_directories(busy / "inside");
  w = zub_cli::write_file_atomically(busy.string(), "x");
  EXPECT_FALSE(w.ok);
  EXPECT_EQ(w.message(), "cannot write " + busy.string() + ": Is a directory");
  EXPECT_FALSE(fs::exists(busy.string() + ".part"));
  EXPECT_TRUE(fs::exists(busy / "inside"));
}

}  // namespace
