// Writing a file so that a reader never sees half of it: the core's atomic
// write (the text to PATH.part beside it, flushed to the disk, then renamed
// over PATH), for any text a program writes.
#ifndef ZUB_TOOLS_ATOMIC_FILE_H
#define ZUB_TOOLS_ATOMIC_FILE_H

#include <string>

namespace zub_cli {

struct write_outcome {
  bool ok = true;
  std::string failed;  // the file that could not be written (PATH.part or PATH)
  int error = 0;       // errno of the failure, 0 where none is known
  // "cannot write FILE", with the reason where it is known.
  std::string message() const;
};

// Writes `text` to PATH.part and renames that over `path`. On a failure
// neither PATH.part is left nor PATH changed.
write_outcome write_file_atomically(const std::string& path,
                                    const std::string& text);

}  // namespace zub_cli

#endif  // ZUB_TOOLS_ATOMIC_FILE_H
