// rmtool apply: corrector settings from an inverse and monitor deviations.
#include <cstdio>
#include <memory>
#include <string>

#include "commands.h"
#include "support/format.h"
#include "support/matrix_summary.h"
#include "support/matrix_text.h"
#include "support/program.h"

namespace rmtool {

using zub_cli::bad_usage;
using zub_cli::format;
using zub_cli::refuse;

int run_apply(const arguments& a, const zub_cli::library_log& log) {
  expect_positional(a, 2, "apply", "INVERSE and DEVIATIONS");
  if (a.inversion_options()) {
    bad_usage("apply takes no --tol, --pinv, --zero-below or exclusions");
  }
  EqFct loc("RMTOOL");
  loaded_matrix inv = load_checked(loc, a.positional[0], log);
  MDFA_ResponseMatrix& K = *inv.matrix;
  loaded_matrix dev = load_checked(loc, a.positional[1], log);
  MDFA_ResponseMatrix* d = dev.matrix.get();
  // A row of deviations is turned into the column that multiply wants.
  std::unique_ptr<MDFA_ResponseMatrix> column;
  if (d->rows == 1 && d->cols != 1) {
    column = std::make_unique<MDFA_ResponseMatrix>("RMTOOL.DEVIATIONS", d->cols,
                                                   1, &loc);
    d->transpose(*column);
    d = column.get();
  }
  if (d->cols != 1 || d->rows != K.cols) {
    refuse(
        format("%s holds %d x %d values; the inverse (%d x %d) wants a "
               "column of %d monitor deviations",
               a.positional[1].c_str(), dev.matrix->rows, dev.matrix->cols,
               K.rows, K.cols, K.cols));
  }
  MDFA_ResponseMatrix settings("RMTOOL.SETTINGS", K.rows, 1, &loc);
  const int errors_before = log.errors();
  K.multiply(*d, settings);
  if (log.errors() != errors_before) refuse("the product was not formed");
  // What loads is finite, but the product can leave the float range.
  const std::string bad = zub_cli::first_non_finite(settings);
  if (!bad.empty()) {
    refuse(
        format("the corrector setting %s is not finite: the product "
               "leaves the float range",
               bad.c_str()));
  }
  std::printf("# Corrector settings = %s x %s, one per corrector (%d).\n",
              printable(a.positional[0]).c_str(),
              printable(a.positional[1]).c_str(), settings.rows);
  std::fputs(zub_cli::matrix_text(settings).c_str(), stdout);
  return 0;
}

}  // namespace rmtool
