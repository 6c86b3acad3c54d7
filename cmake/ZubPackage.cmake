# `make package`: Debian packages made by CPack from the install rules.
#
#   zub-feedback                the library with its SONAME, the headers, the
#                               CMake package, the pkg-config file, rmtool,
#                               README and CHANGELOG
#   zub-feedback-karst-standin  the framework stand-in under its own names,
#                               only when the library is built against it;
#                               zub-feedback then depends on it
#   python3-zub-feedback        the Python module, when it is built, in
#                               Debian's Python path
#
# The version is the project's. Depends comes from dpkg-shlibdeps: the
# packages of the shared libraries that the library and rmtool link. A
# framework that is not installed from a Debian package has no package to
# name there; ZUB_FEEDBACK_DEB_DEPENDS adds what dpkg-shlibdeps cannot know
# (for example "karst-server (>= 4.2)").
set(ZUB_FEEDBACK_DEB_DEPENDS "" CACHE STRING
  "Further Depends of the zub-feedback Debian package, comma-separated")
set(ZUB_FEEDBACK_DEB_MAINTAINER "zub_feedback maintainers <zub-feedback@example.org>"
  CACHE STRING "Maintainer of the Debian packages")

# The Debian revision after the project's version: the packages are made
# from the project's sources as they are, the Debian way for a library that
# is not itself Debian's.
set(ZUB_FEEDBACK_DEB_REVISION 1 CACHE STRING
  "Debian revision of the packages (their version is the project's, -revision)")
set(ZUB_DEB_VERSION ${PROJECT_VERSION}-${ZUB_FEEDBACK_DEB_REVISION})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME zub-feedback)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_DEBIAN_PACKAGE_RELEASE ${ZUB_FEEDBACK_DEB_REVISION})
set(CPACK_DEBIAN_PACKAGE_SOURCE zub-feedback)
set(CPACK_PACKAGE_CONTACT "${ZUB_FEEDBACK_DEB_MAINTAINER}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${ZUB_FEEDBACK_DEB_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
# Programs linked against one version run with any later one of the same
# SONAME.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# The dynamic loader's cache is brought up to date by dpkg's ldconfig
# trigger, for the packages that hold shared libraries in its paths.
set(zub_deb_dir ${CMAKE_CURRENT_LIST_DIR}/deb)
set(CPACK_DEBIAN_ZUB_FEEDBACK_PACKAGE_CONTROL_EXTRA ${zub_deb_dir}/triggers)
set(CPACK_DEBIAN_KARST_STANDIN_PACKAGE_CONTROL_EXTRA ${zub_deb_dir}/triggers)

# Debian's change log of the packages, beside the project's (changelog.gz).
# Its date is the time of the configuration, or SOURCE_DATE_EPOCH.
string(TIMESTAMP ZUB_DEB_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
set(zub_deb_changelog ${PROJECT_BINARY_DIR}/changelog.Debian)
configure_file(${zub_deb_dir}/changelog.Debian.in
  ${zub_deb_changelog} @ONLY)
execute_process(COMMAND gzip -9nf ${zub_deb_changelog}
  RESULT_VARIABLE zub_gzip_failed)
if(zub_gzip_failed)
  message(FATAL_ERROR "gzip failed on ${zub_deb_changelog}")
endif()

# The licence, GPL-3.0-or-later: the library links GSL, which is GPL.
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)

# Files for the packages only (not for `cmake --install`): Debian's change
# log, its copyright file (the licence, which Debian keeps once in
# /usr/share/common-licenses) and lintian's overrides, each override with
# its reason.
function(zub_deb_files component package)
  install(FILES ${zub_deb_changelog}.gz ${zub_deb_dir}/copyright
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package}
    COMPONENT ${component} EXCLUDE_FROM_ALL)
  install(FILES ${zub_deb_dir}/${package}.lintian-overrides
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides
    RENAME ${package} COMPONENT ${component} EXCLUDE_FROM_ALL)
endfunction()
zub_deb_files(zub_feedback zub-feedback)

set(CPACK_COMPONENTS_ALL zub_feedback)
set(CPACK_DEBIAN_ZUB_FEEDBACK_PACKAGE_NAME zub-feedback)
set(CPACK_COMPONENT_ZUB_FEEDBACK_DESCRIPTION
"building blocks for beam-based feedback servers
zub_feedback is a C++17 shared library for servers of the KARST
control-system framework: a response-matrix property with loading from
text files, truncated-SVD inversion with its singular-value spectrum,
pseudo-inverse and products; a ring buffer of time-stamped messages; the
physics of a four-dipole bunch-compressor chicane. With its headers, CMake
package, pkg-config file and the rmtool command, which checks, inverts and
applies response-matrix files.")
set(zub_deb_depends "${ZUB_FEEDBACK_DEB_DEPENDS}")
# What building against the headers needs beyond what runs: they include
# GSL's and Armadillo's, and the CMake package looks for a BLAS to link.
set(CPACK_DEBIAN_ZUB_FEEDBACK_PACKAGE_RECOMMENDS
  "libgsl-dev, libarmadillo-dev, libopenblas-dev | liblapack-dev")

# The framework's library, where dpkg-shlibdeps looks for it: it may lie
# outside the system's library directories and belong to no package.
if(TARGET karst)
  get_target_property(zub_karst_dir karst BINARY_DIR)
  list(APPEND CPACK_COMPONENTS_ALL karst_standin)
  set(CPACK_DEBIAN_KARST_STANDIN_PACKAGE_NAME zub-feedback-karst-standin)
  set(CPACK_COMPONENT_KARST_STANDIN_DESCRIPTION
"stand-in of the KARST framework for zub_feedback's tests and demo
Not the KARST control-system framework: a small stand-in of its interface
that zub_feedback was built against here, installed as libkarst_standin,
include/karst_standin, the CMake package karst_standin and the pkg-config
module karst_standin, so that it never shadows a real installation. A
server builds zub_feedback against its real framework instead.")
  list(PREPEND zub_deb_depends
    "zub-feedback-karst-standin (= ${ZUB_DEB_VERSION})")
  zub_deb_files(karst_standin zub-feedback-karst-standin)
  install(FILES ${ZUB_FEEDBACK_CHANGELOG_GZ}
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/zub-feedback-karst-standin
    COMPONENT karst_standin EXCLUDE_FROM_ALL)
else()
  set(zub_karst_dir "")
  get_target_property(zub_karst_type karst::karst TYPE)
  if(NOT zub_karst_type STREQUAL "INTERFACE_LIBRARY")
    get_target_property(zub_karst_location karst::karst LOCATION)
    if(zub_karst_location)
      get_filename_component(zub_karst_dir "${zub_karst_location}" DIRECTORY)
    endif()
  endif()
endif()
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${zub_karst_dir})
list(JOIN zub_deb_depends ", " CPACK_DEBIAN_ZUB_FEEDBACK_PACKAGE_DEPENDS)

# The Python module, for the Python it was built for. It links the library
# and the framework, whose packages dpkg-shlibdeps cannot name while they
# are being made: they are found in the build tree and named here.
if(TARGET zub_feedback_python)
  list(APPEND CPACK_COMPONENTS_ALL python)
  set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME python3-zub-feedback)
  set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
  set(CPACK_COMPONENT_PYTHON_DESCRIPTION
"zub_feedback's response-matrix operations for Python
The Python 3 module zub_feedback calls the library that the feedback
servers run: a response-matrix file loaded, inverted by truncated SVD or
pseudo-inverted, as numpy arrays, with the very numbers, singular values,
counts and refusals of a server; the library's messages as logging records;
the chicane physics functions over numpy arrays.")
  math(EXPR zub_python_next "${Python3_VERSION_MINOR} + 1")
  set(zub_python_depends
    "zub-feedback (= ${ZUB_DEB_VERSION})"
    "python3 (>= ${Python3_VERSION_MAJOR}.${Python3_VERSION_MINOR})"
    "python3 (<< ${Python3_VERSION_MAJOR}.${zub_python_next})"
    python3-numpy)
  if(TARGET karst)
    list(PREPEND zub_python_depends
      "zub-feedback-karst-standin (= ${ZUB_DEB_VERSION})")
  endif()
  list(JOIN zub_python_depends ", " CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS)
  get_target_property(zub_library_dir zub_feedback BINARY_DIR)
  list(APPEND CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${zub_library_dir})
  zub_deb_files(python python3-zub-feedback)
  install(FILES ${ZUB_FEEDBACK_CHANGELOG_GZ}
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/python3-zub-feedback
    COMPONENT python EXCLUDE_FROM_ALL)
  # The examples that docs/python.md walks through, where Debian keeps a
  # package's examples.
  install(FILES ${PROJECT_SOURCE_DIR}/examples/python/check_matrix.py
    ${PROJECT_SOURCE_DIR}/examples/python/regularization_sweep.py
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/python3-zub-feedback/examples
    COMPONENT python EXCLUDE_FROM_ALL)
endif()

include(CPack)
