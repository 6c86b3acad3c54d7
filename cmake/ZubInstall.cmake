# Install rules: the shared library with its SONAME, the public headers, the
# CMake package zub_feedback (target zub_feedback::zub_feedback) and a
# pkg-config file. The bundled framework stand-in installs itself as the
# package karst (karst/CMakeLists.txt); with an installed framework the
# package configuration finds that one again.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(zub_cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/zub_feedback)

install(TARGETS zub_feedback EXPORT zub_feedbackTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES
  ${PROJECT_SOURCE_DIR}/zub_feedback/zub_feedback.h
  ${PROJECT_SOURCE_DIR}/zub_feedback/chicane_physics.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/zub_feedback)
install(EXPORT zub_feedbackTargets NAMESPACE zub_feedback::
  DESTINATION ${zub_cmake_dir})

# A framework found without a package of its own is found the same way by
# the package's users, starting from the paths found here.
if(ZUB_FEEDBACK_USE_INSTALLED_KARST AND NOT karst_CONFIG)
  set(ZUB_KARST_HINTS
"set(KARST_INCLUDE_DIR \"${KARST_INCLUDE_DIR}\" CACHE PATH \"\")
set(KARST_LIBRARY \"${KARST_LIBRARY}\" CACHE FILEPATH \"\")")
  set(zub_pc_requires "")
  set(zub_pc_libs "${KARST_LIBRARY}")
  set(zub_pc_cflags "-I${KARST_INCLUDE_DIR}")
else()
  set(ZUB_KARST_HINTS "")
  set(zub_pc_requires "karst")
  set(zub_pc_libs "")
  set(zub_pc_cflags "")
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
  DESTINATION ${zub_cmake_dir})

# pkg-config: the prefix is found from the file's own place, so that
# `cmake --install --prefix` anywhere gives a working file.
file(RELATIVE_PATH zub_pc_prefix /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
string(REGEX REPLACE "/$" "" zub_pc_prefix "${zub_pc_prefix}")
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
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
