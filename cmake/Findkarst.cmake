# Finds an installed KARST server framework and defines karst::karst.
#
# The framework's own CMake package (karstConfig.cmake) comes first. Without
# one, karst.h and libkarst are searched under CMAKE_PREFIX_PATH and
# KARST_ROOT, or taken as given in KARST_INCLUDE_DIR and KARST_LIBRARY (which
# skip the package search). Only the framework's own names are searched: the
# stand-in bundled with zub_feedback (karst_standin) is never taken for it.
if(NOT KARST_INCLUDE_DIR OR NOT KARST_LIBRARY)
  # A framework package installed in zub_feedback's prefix is one directory
  # up from this file.
  find_package(karst CONFIG QUIET HINTS "${CMAKE_CURRENT_LIST_DIR}/../karst")
  if(karst_FOUND)
    if(NOT karst_FIND_QUIETLY)
      message(STATUS "Found karst: ${karst_DIR}")
    endif()
    return()
  endif()
endif()

find_path(KARST_INCLUDE_DIR karst.h
  HINTS ${KARST_ROOT} ENV KARST_ROOT
  PATH_SUFFIXES include/karst include karst
  DOC "Directory of the KARST framework's karst.h")
find_library(KARST_LIBRARY karst
  HINTS ${KARST_ROOT} ENV KARST_ROOT
  PATH_SUFFIXES lib lib64
  DOC "The KARST framework's server library")

include(FindPackageHandleStandardArgs)
find_package_handle_standard_args(karst
  REQUIRED_VARS KARST_LIBRARY KARST_INCLUDE_DIR)

if(karst_FOUND AND NOT TARGET karst::karst)
  add_library(karst::karst UNKNOWN IMPORTED)
  set_target_properties(karst::karst PROPERTIES
    IMPORTED_LOCATION "${KARST_LIBRARY}"
    INTERFACE_INCLUDE_DIRECTORIES "${KARST_INCLUDE_DIR}"
    INTERFACE_COMPILE_FEATURES cxx_std_17)
endif()
