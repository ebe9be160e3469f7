// Reading one item of a row, shared by the converters of `match` and of the offset scan.
#ifndef CORVELA_CORE_ROW_ITEMS_HPP
#define CORVELA_CORE_ROW_ITEMS_HPP

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "py_ref.hpp"

namespace corvela {

// Item k (0 or 1) of a row: stored items of exact lists and tuples, otherwise the type's own
// sequence item operation, otherwise general subscription (so a mapping serves as a row).
// Null with an exception set on failure; the call may run Python code.
PyRef take_item(PyObject* row, Py_ssize_t k);

// A number as float() reads it: an exact float directly, anything else through
// PyFloat_AsDouble (which may run __float__ or __index__). -1 with an exception set on failure.
int to_double(PyObject* value, double* out);

}  // namespace corvela

#endif
