# The numerical libraries behind the response matrix, as targets:
#   zub::blas       BLAS and LAPACK, from CMake's FindBLAS and FindLAPACK
#   zub::gsl        GSL, its CBLAS calls served by zub::blas where that has
#                   CBLAS, by GSL's own CBLAS otherwise
#   zub::armadillo  Armadillo's headers calling zub::blas directly
# Included by the build and by the installed package configuration, so it
# uses nothing of the source tree and may be included more than once. Inside
# a package configuration a missing library marks that package not found.
#
# Which BLAS: the one BLA_VENDOR names, when it is set, as a CMake variable
# or in the environment (FindBLAS's vendor
# names: OpenBLAS, Generic for the reference BLAS, FlexiBLAS, Intel10_64lp,
# ...). Otherwise ZUB_FEEDBACK_PREFERRED_BLAS (OpenBLAS; the installed
# package prefers the one the library was built with) when it is found, and
# any BLAS and LAPACK that FindBLAS and FindLAPACK find when it is not.
# ZUB_FEEDBACK_BLAS_VENDOR tells afterwards which vendor was asked for ("All"
# when any would do).

macro(zub_dependency_missing what)
  if(CMAKE_FIND_PACKAGE_NAME)
    set(${CMAKE_FIND_PACKAGE_NAME}_FOUND FALSE)
    set(${CMAKE_FIND_PACKAGE_NAME}_NOT_FOUND_MESSAGE "${what} not found")
    return()
  endif()
  message(FATAL_ERROR "${what} not found (Debian: scripts/install-deps.sh)")
endmacro()

# Said once, then dropped from the cache (where earlier versions put it).
if(DEFINED ZUB_FEEDBACK_BLAS_LIBRARY)
  message(WARNING "ZUB_FEEDBACK_BLAS_LIBRARY is no longer used: choose the "
    "BLAS with -DBLA_VENDOR=... (README.md, \"Choosing the BLAS\")")
  unset(ZUB_FEEDBACK_BLAS_LIBRARY CACHE)
endif()

if(NOT DEFINED ZUB_FEEDBACK_PREFERRED_BLAS)
  set(ZUB_FEEDBACK_PREFERRED_BLAS OpenBLAS)
endif()

if(NOT TARGET zub::blas)
  if(NOT BLA_VENDOR AND DEFINED ENV{BLA_VENDOR})
    set(BLA_VENDOR "$ENV{BLA_VENDOR}")
  endif()
  if(BLA_VENDOR)
    set(ZUB_FEEDBACK_BLAS_VENDOR "${BLA_VENDOR}")
    find_package(BLAS QUIET)
    find_package(LAPACK QUIET)
  else()
    set(BLA_VENDOR "${ZUB_FEEDBACK_PREFERRED_BLAS}")
    set(ZUB_FEEDBACK_BLAS_VENDOR "${BLA_VENDOR}")
    find_package(BLAS QUIET)
    find_package(LAPACK QUIET)
    unset(BLA_VENDOR)
    if(NOT BLAS_FOUND OR NOT LAPACK_FOUND)
      set(ZUB_FEEDBACK_BLAS_VENDOR All)
      find_package(BLAS QUIET)
      find_package(LAPACK QUIET)
    endif()
  endif()
  if(NOT BLAS_FOUND OR NOT LAPACK_FOUND)
    zub_dependency_missing(
      "BLAS and LAPACK (vendor ${ZUB_FEEDBACK_BLAS_VENDOR}; libopenblas-dev)")
  endif()
  if(NOT CMAKE_FIND_PACKAGE_NAME)
    message(STATUS "BLAS and LAPACK (${ZUB_FEEDBACK_BLAS_VENDOR}): "
      "${LAPACK_LIBRARIES}")
  endif()
  # LAPACK_LIBRARIES holds the BLAS too (the LAPACK::LAPACK target needs
  # CMake 3.18).
  add_library(zub::blas INTERFACE IMPORTED)
  set_target_properties(zub::blas PROPERTIES
    INTERFACE_LINK_LIBRARIES "${LAPACK_LIBRARIES}")
  if(LAPACK_LINKER_FLAGS)
    separate_arguments(zub_blas_flags UNIX_COMMAND "${LAPACK_LINKER_FLAGS}")
    set_target_properties(zub::blas PROPERTIES
      INTERFACE_LINK_OPTIONS "${zub_blas_flags}")
  endif()
endif()

find_package(GSL QUIET)
if(NOT GSL_FOUND)
  zub_dependency_missing("GSL (libgsl-dev)")
endif()

find_package(Armadillo QUIET)
if(NOT ARMADILLO_FOUND)
  zub_dependency_missing("Armadillo (libarmadillo-dev)")
endif()

# Not GSL::gsl: that target puts GSL's reference CBLAS first, which is
# several times slower in gsl_blas_dgemm than OpenBLAS. When zub::blas has
# the CBLAS functions (OpenBLAS and Debian's reference libblas do), GSL's own
# CBLAS is left off the link line altogether: CMake puts a library that
# several targets share at its last use, so listing it after zub::blas would
# not keep it behind, and an executable that calls GSL or cblas itself
# would bind them to GSL's reference CBLAS. libgsl still needs it as a
# dependency of its own, but the dynamic loader looks there only after every
# library that the executable names. Without CBLAS in zub::blas, GSL's own
# serves the cblas_* calls.
if(NOT TARGET zub::gsl)
  include(CheckCXXSourceCompiles)
  string(MD5 zub_blas_hash "${LAPACK_LIBRARIES}")
  set(CMAKE_REQUIRED_LIBRARIES ${LAPACK_LIBRARIES})
  set(CMAKE_REQUIRED_QUIET ON)
  check_cxx_source_compiles(
    "extern \"C\" void cblas_dgemm(); int main() { cblas_dgemm(); }"
    ZUB_BLAS_HAS_CBLAS_${zub_blas_hash})
  unset(CMAKE_REQUIRED_LIBRARIES)
  unset(CMAKE_REQUIRED_QUIET)
  if(ZUB_BLAS_HAS_CBLAS_${zub_blas_hash})
    set(zub_gsl_libs "${GSL_LIBRARY};zub::blas")
  else()
    set(zub_gsl_libs "${GSL_LIBRARY};${GSL_CBLAS_LIBRARY};zub::blas")
  endif()
  add_library(zub::gsl INTERFACE IMPORTED)
  set_target_properties(zub::gsl PROPERTIES
    INTERFACE_INCLUDE_DIRECTORIES "${GSL_INCLUDE_DIRS}"
    INTERFACE_LINK_LIBRARIES "${zub_gsl_libs}")
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
