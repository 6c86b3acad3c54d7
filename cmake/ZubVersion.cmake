# The version header, zub_feedback_version.h, generated from the project's
# version into the build tree's include/, which is on the library's public
# include path (zub_feedback/CMakeLists.txt); zub_feedback.h includes it, and
# ZubInstall.cmake installs it beside that.
set(ZUB_FEEDBACK_VERSION_HEADER
  ${PROJECT_BINARY_DIR}/include/zub_feedback_version.h)
configure_file(${CMAKE_CURRENT_LIST_DIR}/zub_feedback_version.h.in
  ${ZUB_FEEDBACK_VERSION_HEADER} @ONLY)
