// rmtool apply: corrector settings from an inverse and monitor deviations.
#include <cstdio>
#include <string>

#include "commands.h"
#include "support/format.h"
#include "support/inversion.h"
#include "support/matrix_summary.h"
#include "support/program.h"
#include "zub_feedback/arithmetic.h"
#include "zub_feedback/matrix_io.h"

namespace rmtool {

using zub_cli::bad_usage;
using zub_cli::format;
using zub_cli::refuse;

int run_apply(const arguments& a) {
  expect_positional(a, 2, "apply", "INVERSE and DEVIATIONS");
  if (a.inversion_options()) {
    bad_usage("apply takes no --tol, --pinv, --zero-below or exclusions");
  }
  const loaded_matrix inv = load_checked(a.positional[0], a);
  const zub_feedback::matrix& K = inv.values();
  const loaded_matrix dev = load_checked(a.positional[1], a);
  // A row of deviations is turned into the column that multiply wants.
  const zub_feedback::matrix& D = dev.values();
  const zub_feedback::matrix d =
      D.rows() == 1 && D.cols() != 1 ? zub_feedback::transpose(D) : D;
  if (d.cols() != 1 || d.rows() != K.cols()) {
    refuse(
        format("%s holds %zu x %zu values; the inverse (%zu x %zu) wants a "
               "column of %zu monitor deviations",
               a.positional[1].c_str(), D.rows(), D.cols(), K.rows(), K.cols(),
               K.cols()));
  }
  zub_feedback::result<zub_feedback::matrix> product =
      zub_feedback::multiply(K, d);
  if (!product) refuse("the product was not formed", product.error());
  // The settings as a server's property holds them: floats.
  zub_feedback::matrix& settings = product.value();
  zub_cli::round_to_float(settings);
  // What loads is finite, but the product can leave the float range.
  const std::string bad = zub_cli::first_non_finite(settings);
  if (!bad.empty()) {
    refuse(
        format("the corrector setting %s is not finite: the product "
               "leaves the float range",
               bad.c_str()));
  }
  std::printf("# Corrector settings = %s x %s, one per corrector (%zu).\n",
              printable(a.positional[0]).c_str(),
              printable(a.positional[1]).c_str(), settings.rows());
  std::fputs(zub_feedback::matrix_text(settings).c_str(), stdout);
  return 0;
}

}  // namespace rmtool
