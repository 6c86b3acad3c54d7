// An executable linked through the library's link interface that calls GSL
// and cblas itself: the cblas functions, its own calls and GSL's alike, are
// served by the chosen BLAS (the object that serves the Fortran BLAS,
// dgemm_), never by GSL's slower reference CBLAS.
#include <dlfcn.h>
#include <gsl/gsl_blas.h>
#include <gsl/gsl_cblas.h>
#include <gtest/gtest.h>

#include <string>

namespace {

// The file of the object that serves `symbol` in this process's global
// scope, where both this executable's calls and libgsl's are bound.
std::string served_by(const char* symbol) {
  Dl_info info{};
  void* const f = ::dlsym(RTLD_DEFAULT, symbol);
  if (f == nullptr || ::dladdr(f, &info) == 0 || info.dli_fname == nullptr) {
    return "";
  }
  return info.dli_fname;
}

TEST(BlasBinding, CblasIsServedByTheChosenBlas) {
  // Both kinds of call, so that both are linked.
  double a[] = {1, 2, 3, 4};
  double b[] = {5, 6, 7, 8};
  double c[4] = {};
  cblas_dgemm(CblasRowMajor, CblasNoTrans, CblasNoTrans, 2, 2, 2, 1.0, a, 2, b,
              2, 0.0, c, 2);
  EXPECT_EQ(c[0], 19.0);
  gsl_matrix_view ga = gsl_matrix_view_array(a, 2, 2);
  gsl_matrix_view gb = gsl_matrix_view_array(b, 2, 2);
  gsl_matrix_view gc = gsl_matrix_view_array(c, 2, 2);
  gsl_blas_dgemm(CblasNoTrans, CblasNoTrans, 1.0, &ga.matrix, &gb.matrix, 0.0,
                 &gc.matrix);
  EXPECT_EQ(c[3], 50.0);

  const std::string blas = served_by("dgemm_");
  ASSERT_NE(blas, "") << "no Fortran BLAS loaded";
  for (const char* symbol : {"cblas_dgemm", "cblas_dgemv"}) {
    const std::string by = served_by(symbol);
    EXPECT_EQ(by, blas) << symbol;
    EXPECT_EQ(by.find("gslcblas"), std::string::npos) << symbol;
  }
}

}  // namespace
