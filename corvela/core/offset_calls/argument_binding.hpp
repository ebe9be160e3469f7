// Binding the arguments of a vectorcall to named parameters, with the messages Python gives.
#ifndef CORVELA_CORE_ARGUMENT_BINDING_HPP
#define CORVELA_CORE_ARGUMENT_BINDING_HPP

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace corvela {

// A function's parameters: the first `positional` may be passed by position, the first
// `required` must be passed, the rest up to `count` are keyword-only with defaults.
struct Signature {
    const char* function;
    const char* const* names;
    Py_ssize_t count;
    Py_ssize_t positional;
    Py_ssize_t required;
};

// Binds args/kwnames into bound[0 .. count - 1] (borrowed from the call; null for an omitted
// parameter with a default). Runs no Python code: keyword names are compared as strings, never
// hashed or compared through __eq__. -1 with TypeError set on a binding error.
int bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargsf,
                   PyObject* kwnames, PyObject** bound);

}  // namespace corvela

#endif
