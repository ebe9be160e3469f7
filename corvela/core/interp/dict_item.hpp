// Dictionary lookups that hand back an owned value.
//
// A lookup compares keys with their __eq__, which a str subclass can define in Python, and that
// code can rebind or delete any entry: a borrowed value is only as good as the next line. These
// take the reference inside the interpreter where it offers that (3.13), and otherwise at once,
// before anything else can run.
#ifndef CORVELA_CORE_DICT_ITEM_HPP
#define CORVELA_CORE_DICT_ITEM_HPP

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "py_ref.hpp"

namespace corvela {

// dict[name] as a new reference in *value: 1 when present, 0 when absent (*value empty), -1
// with the lookup's exception set.
inline int dict_item(PyObject* dict, const char* name, PyRef* value) {
#if PY_VERSION_HEX >= 0x030D0000
    PyObject* found = nullptr;
    const int status = PyDict_GetItemStringRef(dict, name, &found);
    *value = PyRef(found);
    return status;
#else
    PyRef key(PyUnicode_FromString(name));
    if (!key) {
        *value = PyRef();
        return -1;
    }
    // The lookup restarts when a key's __eq__ changes the dictionary, so the value it returns
    // is the current one; nothing runs between its return and this reference.
    *value = PyRef::borrow(PyDict_GetItemWithError(dict, key.get()));
    if (*value) {
        return 1;
    }
    return PyErr_Occurred() ? -1 : 0;
#endif
}

}  // namespace corvela

#endif
