// The check both modules' binders make of each keyword name, with Python's messages.
#ifndef CORVELA_CORE_KEYWORD_NAMES_HPP
#define CORVELA_CORE_KEYWORD_NAMES_HPP

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace corvela {

// The index of `key` among `names[0 .. count - 1]`; -1 with TypeError set, naming `function`,
// when the key is not a string or names no parameter. Runs no Python code: the names are
// compared as stored text, never hashed or compared through __eq__.
Py_ssize_t keyword_index(const char* function, PyObject* key, const char* const* names,
                         Py_ssize_t count);

}  // namespace corvela

#endif
