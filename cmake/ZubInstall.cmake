# Install rules: the shared library with its SONAME, the public headers, the
# CMake package zub_feedback (target zub_feedback::zub_feedback), a
# pkg-config file, README and CHANGELOG. The bundled framework stand-in
# installs itself under its own names (karst/CMakeLists.txt).
#
# Nothing installed carries a path of the build machine: the package
# configuration looks the framework, GSL, Armadillo and the BLAS up again on
# the machine that uses it (ZubDependencies.cmake, Findkarst.cmake), and the
# pkg-config file names libraries by name and pkg-config modules.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(zub_cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/zub_feedback)
set(zub_component COMPONENT zub_feedback)

install(TARGETS zub_feedback EXPORT zub_feedbackTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} ${zub_component}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} ${zub_component}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} ${zub_component})
# The public headers: include/zub_feedback/ holds nothing else.
file(GLOB zub_public_headers ${PROJECT_SOURCE_DIR}/include/zub_feedback/*.h)
install(FILES
  ${zub_public_headers}
  ${ZUB_FEEDBACK_VERSION_HEADER}
  ${PROJECT_BINARY_DIR}/include/zub_feedback_export.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/zub_feedback ${zub_component})
install(EXPORT zub_feedbackTargets NAMESPACE zub_feedback::
  DESTINATION ${zub_cmake_dir} ${zub_component})

# README, and CHANGELOG.md as Debian's tools look for a change log:
# changelog.gz, compressed without a time stamp so that builds compare equal.
set(zub_doc_dir ${CMAKE_INSTALL_DATAROOTDIR}/doc/zub-feedback)
set(ZUB_FEEDBACK_CHANGELOG_GZ ${PROJECT_BINARY_DIR}/changelog.gz)
execute_process(COMMAND gzip -9n -c ${PROJECT_SOURCE_DIR}/CHANGELOG.md
  OUTPUT_FILE ${ZUB_FEEDBACK_CHANGELOG_GZ} RESULT_VARIABLE zub_gzip_failed)
if(zub_gzip_failed)
  message(FATAL_ERROR "gzip failed on CHANGELOG.md")
endif()
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
  ${PROJECT_SOURCE_DIR}/CHANGELOG.md)
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${ZUB_FEEDBACK_CHANGELOG_GZ}
  DESTINATION ${zub_doc_dir} ${zub_component})
# The pages that README links to, beside it, with their pictures (the
# samples' code is in the pages).
install(DIRECTORY ${PROJECT_SOURCE_DIR}/docs/ DESTINATION ${zub_doc_dir}/docs
  ${zub_component}
  FILES_MATCHING PATTERN "*.md" PATTERN "*.png" PATTERN "*.svg"
  PATTERN samples EXCLUDE)
# The licence text, for an installation that is not a Debian package (those
# carry Debian's copyright file instead, ZubPackage.cmake).
install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION ${zub_doc_dir}
  COMPONENT licence)

# rmtool's manual page, made from its --help by help2man when that is
# installed (scripts/install-deps.sh package), so that it never disagrees
# with the program.
find_program(ZUB_FEEDBACK_HELP2MAN help2man)
if(TARGET rmtool AND ZUB_FEEDBACK_HELP2MAN)
  set(zub_man ${PROJECT_BINARY_DIR}/rmtool.1)
  add_custom_command(OUTPUT ${zub_man}.gz
    COMMAND ${ZUB_FEEDBACK_HELP2MAN} --no-info --no-discard-stderr
      --version-string=${PROJECT_VERSION}
      "--name=check, invert and apply response-matrix files"
      --output=${zub_man} $<TARGET_FILE:rmtool>
    COMMAND gzip -9nf ${zub_man}
    DEPENDS rmtool VERBATIM)
  add_custom_target(zub_feedback_manpage ALL DEPENDS ${zub_man}.gz)
  install(FILES ${zub_man}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
    ${zub_component})
endif()

# Installed in a system prefix, rmtool finds the libraries where the dynamic
# loader looks anyway; elsewhere it looks beside itself (tools/).
if(TARGET rmtool AND CMAKE_INSTALL_PREFIX MATCHES "^/usr/?$")
  set_target_properties(rmtool PROPERTIES INSTALL_RPATH "")
endif()

# The framework, as the package configuration and the pkg-config file find
# it again: the stand-in under its own package name; a real framework
# through Findkarst.cmake (its CMake package karst, or karst.h and libkarst
# where the user of the package says: KARST_ROOT, CMAKE_PREFIX_PATH or
# KARST_INCLUDE_DIR and KARST_LIBRARY).
if(NOT ZUB_FEEDBACK_USE_INSTALLED_KARST)
  set(ZUB_KARST_LOOKUP
"find_dependency(karst_standin
  HINTS \"\${CMAKE_CURRENT_LIST_DIR}/../karst_standin\")")
  set(zub_pc_karst_requires "karst_standin")
  set(zub_pc_karst_libs "")
else()
  set(ZUB_KARST_LOOKUP
"set(_zub_feedback_module_path \"\${CMAKE_MODULE_PATH}\")
list(PREPEND CMAKE_MODULE_PATH \"\${CMAKE_CURRENT_LIST_DIR}\")
find_dependency(karst)
set(CMAKE_MODULE_PATH \"\${_zub_feedback_module_path}\")")
  # pkg-config: the framework's own module if it has one, else its library
  # by name (its directories are then the host's to give).
  find_package(PkgConfig QUIET)
  set(zub_pc_karst_requires "")
  set(zub_pc_karst_libs "")
  if(PKG_CONFIG_FOUND)
    execute_process(COMMAND ${PKG_CONFIG_EXECUTABLE} --exists karst
      RESULT_VARIABLE zub_karst_pc_missing)
    if(zub_karst_pc_missing EQUAL 0)
      set(zub_pc_karst_requires "karst")
    endif()
  endif()
  if(NOT zub_pc_karst_requires AND KARST_LIBRARY)
    get_filename_component(zub_karst_name "${KARST_LIBRARY}" NAME)
    string(REGEX REPLACE "^lib|\\.(so|a)(\\..*)?$" "" zub_karst_name
      "${zub_karst_name}")
    set(zub_pc_karst_libs "-l${zub_karst_name}")
  endif()
endif()

configure_package_config_file(
  ${CMAKE_CURRENT_LIST_DIR}/zub_feedbackConfig.cmake.in
  ${PROJECT_BINARY_DIR}/zub_feedbackConfig.cmake
  INSTALL_DESTINATION ${zub_cmake_dir})
write_basic_package_version_file(
  ${PROJECT_BINARY_DIR}/zub_feedbackConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES
  ${PROJECT_BINARY_DIR}/zub_feedbackConfig.cmake
  ${PROJECT_BINARY_DIR}/zub_feedbackConfigVersion.cmake
  ${CMAKE_CURRENT_LIST_DIR}/ZubDependencies.cmake
  ${CMAKE_CURRENT_LIST_DIR}/Findkarst.cmake
  DESTINATION ${zub_cmake_dir} ${zub_component})

# pkg-config: the prefix is found from the file's own place, so that
# `cmake --install --prefix` anywhere gives a working file.
file(RELATIVE_PATH zub_pc_prefix /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
string(REGEX REPLACE "/$" "" zub_pc_prefix "${zub_pc_prefix}")
# The BLAS and LAPACK by name, in the order of the link line (the BLAS
# ahead of GSL's own CBLAS, which gsl.pc brings).
set(zub_pc_blas_libs "")
foreach(lib IN LISTS LAPACK_LIBRARIES)
  if(lib MATCHES "^-")
    set(flag "${lib}")
  else()
    get_filename_component(name "${lib}" NAME)
    string(REGEX REPLACE "^lib|\\.(so|a|dylib)(\\..*)?$" "" name "${name}")
    set(flag "-l${name}")
  endif()
  if(NOT " ${zub_pc_blas_libs} " MATCHES " ${flag} ")
    string(APPEND zub_pc_blas_libs " ${flag}")
  endif()
endforeach()
string(STRIP "${zub_pc_blas_libs}" zub_pc_blas_libs)
# Armadillo is used header-only, calling the BLAS directly (as
# ZubDependencies.cmake sets it up); a system include directory is left out.
set(zub_pc_arma_cflags "-DARMA_DONT_USE_WRAPPER")
foreach(dir IN LISTS ARMADILLO_INCLUDE_DIRS)
  if(NOT dir IN_LIST CMAKE_CXX_IMPLICIT_INCLUDE_DIRECTORIES)
    string(APPEND zub_pc_arma_cflags " -I${dir}")
  endif()
endforeach()
configure_file(${CMAKE_CURRENT_LIST_DIR}/zub_feedback.pc.in
  ${PROJECT_BINARY_DIR}/zub_feedback.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/zub_feedback.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig ${zub_component})
