#include "support/atomic_file.h"

#include "matrix_file.h"

namespace zub_cli {

std::string write_outcome::message() const {
  return zub_internal::write_failure_text({ok, failed, error});
}

write_outcome write_file_atomically(const std::string& path,
                                    const std::string& text) {
  const zub_internal::write_result w =
      zub_internal::write_file_atomically(path, text);
  return {w.ok, w.failed, w.error};
}

}  // namespace zub_cli
