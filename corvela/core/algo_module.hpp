// The parts of the module corvela.core.algo that its definition (algo.cpp) ties together: the
// entry of `match` (match_entry.cpp) and the module's set-up (module_setup.cpp).
#ifndef CORVELA_CORE_ALGO_MODULE_HPP
#define CORVELA_CORE_ALGO_MODULE_HPP

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace corvela::algo_module {

// match(base, other), as the method table calls it.
PyObject* match_entry(PyObject* self, PyObject* args, PyObject* kwds);

// Adds a frame with the given label to the traceback of the pending exception, in the namespace
// `borrowed_globals`; a failure while building the frame is dropped.
void add_traceback(const char* funcname, int line, PyObject* borrowed_globals);

// The create and exec slots.
PyObject* module_create(PyObject* spec, PyModuleDef* def);
int module_exec(PyObject* module);

// The module object once its exec slot has run, or null.
PyObject* recorded_module();

}  // namespace corvela::algo_module

#endif
