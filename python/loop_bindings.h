// The corrector limits and the orbit loop of the numeric core, in the
// Python module (loop_bindings.cc).
#ifndef ZUB_PYTHON_LOOP_BINDINGS_H
#define ZUB_PYTHON_LOOP_BINDINGS_H

#include <pybind11/pybind11.h>

namespace zub_python {

// Adds limit_step, OrbitLoop and StepResult to the module.
void register_loop(pybind11::module_& m);

}  // namespace zub_python

#endif  // ZUB_PYTHON_LOOP_BINDINGS_H
