# GSL and Armadillo as targets. Included by the build and by the installed
# package configuration, so both see the same targets.
find_package(GSL REQUIRED)
find_package(Armadillo REQUIRED)

if(NOT TARGET zub::armadillo)
  add_library(zub::armadillo INTERFACE IMPORTED)
  set_target_properties(zub::armadillo PROPERTIES
    INTERFACE_INCLUDE_DIRECTORIES "${ARMADILLO_INCLUDE_DIRS}"
    INTERFACE_LINK_LIBRARIES "${ARMADILLO_LIBRARIES}")
endif()
