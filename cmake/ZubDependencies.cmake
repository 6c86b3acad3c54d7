# The numerical libraries behind the response matrix, as targets:
#   zub::blas       one library with CBLAS, BLAS and LAPACK: OpenBLAS unless
#                   ZUB_FEEDBACK_BLAS_LIBRARY names another
#   zub::gsl        GSL, its CBLAS calls served by zub::blas
#   zub::armadillo  Armadillo's headers calling zub::blas directly
# Included by the build and by the installed package configuration, so it
# uses nothing of the source tree and may be included more than once. Inside
# a package configuration a missing library marks that package not found.

macro(zub_dependency_missing what)
  if(CMAKE_FIND_PACKAGE_NAME)
    set(${CMAKE_FIND_PACKAGE_NAME}_FOUND FALSE)
    set(${CMAKE_FIND_PACKAGE_NAME}_NOT_FOUND_MESSAGE "${what} not found")
    return()
  endif()
  message(FATAL_ERROR "${what} not found (Debian: tools/install-deps.sh)")
endmacro()

find_library(ZUB_FEEDBACK_BLAS_LIBRARY NAMES openblas
  DOC "Library that provides CBLAS, BLAS and LAPACK for GSL and Armadillo")
if(NOT ZUB_FEEDBACK_BLAS_LIBRARY)
  zub_dependency_missing("OpenBLAS (libopenblas-dev)")
endif()

find_package(GSL QUIET)
if(NOT GSL_FOUND)
  zub_dependency_missing("GSL (libgsl-dev)")
endif()

find_package(Armadillo QUIET)
if(NOT ARMADILLO_FOUND)
  zub_dependency_missing("Armadillo (libarmadillo-dev)")
endif()

if(NOT TARGET zub::blas)
  add_library(zub::blas UNKNOWN IMPORTED)
  set_target_properties(zub::blas PROPERTIES
    IMPORTED_LOCATION "${ZUB_FEEDBACK_BLAS_LIBRARY}")
endif()

# Not GSL::gsl: that target brings GSL's reference CBLAS, which is several
# times slower in gsl_blas_dgemm. libgsl still depends on libgslcblas, but
# zub::blas comes first on the link line and so ahead of it in the dynamic
# loader's search order, and it is the one that serves the cblas_* calls.
if(NOT TARGET zub::gsl)
  add_library(zub::gsl INTERFACE IMPORTED)
  set_target_properties(zub::gsl PROPERTIES
    INTERFACE_INCLUDE_DIRECTORIES "${GSL_INCLUDE_DIRS}"
    INTERFACE_LINK_LIBRARIES "${GSL_LIBRARY};zub::blas")
endif()

# Debian's libarmadillo is only a wrapper that forwards to the libblas and
# liblapack chosen by the alternatives system (the reference ones unless
# OpenBLAS is installed). Calling zub::blas directly makes the choice ours,
# the same for the library and for every host that links it. Armadillo's
# ARPACK and SuperLU functions are not used here; a host that uses them links
# those libraries itself.
if(NOT TARGET zub::armadillo)
  add_library(zub::armadillo INTERFACE IMPORTED)
  set_target_properties(zub::armadillo PROPERTIES
    INTERFACE_INCLUDE_DIRECTORIES "${ARMADILLO_INCLUDE_DIRS}"
    INTERFACE_COMPILE_DEFINITIONS "ARMA_DONT_USE_WRAPPER"
    INTERFACE_LINK_LIBRARIES "zub::blas")
endif()
