# What the Python module (python/) is built with: a Python 3 interpreter with
# its headers, NumPy, and pybind11. ZUB_PYTHON_FOUND tells whether all were
# found; Python3_EXECUTABLE is the interpreter the module is for, which runs
# its tests.
#
# Debian's own python3 when there is one: Debian's packages put pybind11 and
# NumPy there, and the Debian package installs the module into its
# dist-packages. The first python3 on PATH may be another one (pyenv, a
# virtual environment) without them, or of another version whose module
# would not load. -DPython3_EXECUTABLE=... chooses another interpreter.
if(NOT DEFINED Python3_EXECUTABLE AND EXISTS /usr/bin/python3)
  set(Python3_EXECUTABLE /usr/bin/python3 CACHE FILEPATH
    "Python interpreter that the module is built for")
endif()

# Development.Module: the headers, without the embedding library.
if(CMAKE_VERSION VERSION_LESS 3.18)
  set(zub_python_development Development)
else()
  set(zub_python_development Development.Module)
endif()
find_package(Python3 3.7 QUIET
  COMPONENTS Interpreter ${zub_python_development} NumPy)
set(ZUB_PYTHON_FOUND FALSE)
if(Python3_FOUND)
  # pybind11 uses the Python3 found above (its FindPython mode).
  find_package(pybind11 2.6 CONFIG QUIET)
  if(pybind11_FOUND)
    set(ZUB_PYTHON_FOUND TRUE)
    message(STATUS "Python module for ${Python3_EXECUTABLE} "
      "(Python ${Python3_VERSION}, pybind11 ${pybind11_VERSION})")
  endif()
endif()
