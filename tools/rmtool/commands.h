// rmtool's commands, and what they share: the command line as parsed, and
// a matrix file loaded as the loader measures it.
#ifndef ZUB_TOOLS_RMTOOL_COMMANDS_H
#define ZUB_TOOLS_RMTOOL_COMMANDS_H

#include <string>
#include <vector>

#include "support/file_check.h"
#include "zub_feedback/matrix.h"
#include "zub_feedback/matrix_io.h"
#include "zub_feedback/result.h"

namespace rmtool {

struct arguments {
  std::vector<std::string> positional;
  bool tol_given = false;
  float tol = -1.0f;
  bool pinv = false;
  bool zero_below_given = false;
  float zero_below = 0.0f;  // --pinv's input filter
  std::string out;
  std::vector<long long> exclude_monitors;
  std::vector<long long> exclude_correctors;
  // Names given instead of indices, resolved against the file's names.
  std::vector<std::string> exclude_monitor_names;
  std::vector<std::string> exclude_corrector_names;
  bool keep_given = false;
  int keep = -1;  // --keep: at most this many modes
  bool tikhonov_given = false;
  double tikhonov = 0.0;  // --tikhonov: the damping alpha
  bool verbose = false;
  bool help = false;
  bool version = false;

  // Options that only the inversions take.
  bool inversion_options() const {
    return pinv || tol_given || zero_below_given || excludes() || regularized();
  }
  bool excludes() const {
    return !exclude_monitors.empty() || !exclude_correctors.empty() ||
           !exclude_monitor_names.empty() || !exclude_corrector_names.empty();
  }
  // --keep or --tikhonov: the regularised inverse in double precision
  // instead of the truncated SVD of the property.
  bool regularized() const { return keep_given || tikhonov_given; }
};

int run_info(const arguments& a);
int run_svd(const arguments& a);
int run_invert(const arguments& a);
int run_apply(const arguments& a);

// With --verbose: a fact about a step, on standard error.
void show_detail(const arguments& a, const std::string& where,
                 const std::string& text);

// A refusal of the core, refused with its message and, when it has one,
// its detail.
[[noreturn]] void refuse(const std::string& what,
                         const zub_feedback::refusal& r);

// A usage error unless the command got n file arguments.
void expect_positional(const arguments& a, size_t n, const char* command,
                       const char* what);

// A matrix of the shape that its file measures, as the file was read once:
// the floats that load_file would store, and the file's names and metadata.
struct loaded_matrix {
  zub_feedback::named_matrix file;
  zub_cli::measured_file shape;
  const zub_feedback::matrix& values() const { return file.values; }
};

// Takes a measured file without offending lines; one that holds no matrix,
// or a larger one than the tool allocates, or names that do not fit, is
// refused.
loaded_matrix load(const std::string& path, zub_cli::measured_file shape,
                   const arguments& a);

// A file that must load as it reads: every offending line is named on
// standard error, and the file refused.
loaded_matrix load_checked(const std::string& path, const arguments& a);

// A path as it may stand inside a comment line of an output file.
std::string printable(const std::string& s);

// "BPM.01 BPM.02 BPM.03 ... (24)": the first `shown` names and the count.
std::string name_list(const std::vector<std::string>& names, size_t shown);

}  // namespace rmtool

#endif  // ZUB_TOOLS_RMTOOL_COMMANDS_H
