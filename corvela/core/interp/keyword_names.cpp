#include "keyword_names.hpp"

namespace corvela {

Py_ssize_t keyword_index(const char* function, PyObject* key, const char* const* names,
                         Py_ssize_t count) {
    if (!PyUnicode_Check(key)) {
        PyErr_Format(PyExc_TypeError, "%s() keywords must be strings", function);
        return -1;
    }
    for (Py_ssize_t n = 0; n < count; ++n) {
        if (PyUnicode_CompareWithASCIIString(key, names[n]) == 0) {
            return n;
        }
    }
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", function, key);
    return -1;
}

}  // namespace corvela
