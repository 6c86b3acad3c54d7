// Uses each part of an installed zub_feedback once and checks the results:
// it links, its headers are complete, and the library works where it lies.
#include <dlfcn.h>
#include <gsl/gsl_cblas.h>

#include <cmath>
#include <cstdio>
#include <string>

#include "chicane_physics.h"
#include "zub_feedback.h"

int main() {
  int failures = 0;
  auto check = [&failures](bool ok, const char* what) {
    if (!ok) {
      std::fprintf(stderr, "consumer: %s failed\n", what);
      ++failures;
    }
  };
  // Quiet: the library's information messages are not what is checked.
  karst::set_log_sink([](const std::string&, const std::string&, unsigned) {});

  EqFct loc("CONSUMER");
  // R = [[2, 0, 0], [0, 4, 0]]: its inverse is [[0.5, 0], [0, 0.25], [0, 0]].
  MDFA_ResponseMatrix R("R", 2, 3, &loc);
  R.init(0.0f);
  R.set_value(2.0f, 0, 0, -1, -1, -1, -1);
  R.set_value(4.0f, 1, 1, -1, -1, -1, -1);
  MDFA_ResponseMatrix inverse("INVERSE", 3, 2, &loc);
  K_spectrum spectrum("SPECTRUM", 2, &loc);
  float tol = -1.0f;
  int nosv = 0;
  R.invert(inverse, spectrum, &tol, &nosv);
  check(nosv == 2 && spectrum.spectrum_value(0) == 4.0f, "invert");

  MDFA_ResponseMatrix deviations("DEVIATIONS", 2, 1, &loc);
  deviations.set_value(1.0f, 0, 0, -1, -1, -1, -1);
  deviations.set_value(2.0f, 1, 0, -1, -1, -1, -1);
  MDFA_ResponseMatrix settings("SETTINGS", 3, 1, &loc);
  inverse.multiply(deviations, settings);
  check(std::fabs(settings.value(0, 0, -1, -1, -1, -1) - 0.5f) < 1e-6f &&
            std::fabs(settings.value(1, 0, -1, -1, -1, -1) - 0.5f) < 1e-6f &&
            settings.value(2, 0, -1, -1, -1, -1) == 0.0f,
        "multiply");

  K_ringbuf history("HISTORY", 2, &loc);
  history.store("first");
  history.store("second");
  EqData request, reply;
  request.set(0);
  history.get(nullptr, &request, &reply, &loc);
  check(reply.length() == 1 && reply.get_ustr(0)->str_data == "second",
        "ring buffer");

  check(std::fabs(B2alpha(0.5, 1000.0, 0.5) - 0.07502) < 1e-4, "chicane");

  // A host that calls cblas itself gets the BLAS that the library chose
  // (the object serving the Fortran dgemm_), not GSL's reference CBLAS.
  double a = 3.0, b = 4.0, c = 0.0;
  cblas_dgemm(CblasRowMajor, CblasNoTrans, CblasNoTrans, 1, 1, 1, 1.0, &a, 1,
              &b, 1, 0.0, &c, 1);
  Dl_info cblas{}, blas{};
  check(c == 12.0 &&
            ::dladdr(::dlsym(RTLD_DEFAULT, "cblas_dgemm"), &cblas) != 0 &&
            ::dladdr(::dlsym(RTLD_DEFAULT, "dgemm_"), &blas) != 0 &&
            std::string(cblas.dli_fname) == blas.dli_fname,
        "the BLAS behind cblas");

  // The version macros agree with one another; scripts/check-install.sh
  // compares the printed version with the project's.
  char version[32];
  std::snprintf(version, sizeof version, "%d.%d.%d", ZUB_FEEDBACK_VERSION_MAJOR,
                ZUB_FEEDBACK_VERSION_MINOR, ZUB_FEEDBACK_VERSION_PATCH);
  check(std::string(version) == ZUB_FEEDBACK_VERSION_STRING, "version");

  if (failures == 0) std::printf("consumer: ok, zub_feedback %s\n", version);
  return failures == 0 ? 0 : 1;
}
