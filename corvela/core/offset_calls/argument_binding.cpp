// Argument binding for the scan module's functions.
#include "argument_binding.hpp"

#include <cstdio>
#include <cstring>

#include "keyword_names.hpp"

namespace corvela {

namespace {

int raise_missing(const Signature& signature, PyObject* const* bound) {
    Py_ssize_t missing = 0;
    for (Py_ssize_t n = 0; n < signature.required; ++n) {
        missing += bound[n] == nullptr;
    }
    // As Python words it: 'a', 'a' and 'b', 'a', 'b', and 'c'.
    char list[128] = "";
    Py_ssize_t listed = 0;
    for (Py_ssize_t n = 0; n < signature.required; ++n) {
        if (bound[n] != nullptr) {
            continue;
        }
        ++listed;
        const char* separator = listed == 1         ? ""
                                : listed < missing  ? ", "
                                : missing == 2      ? " and "
                                                    : ", and ";
        const size_t used = std::strlen(list);
        std::snprintf(list + used, sizeof list - used, "%s'%s'", separator, signature.names[n]);
    }
    PyErr_Format(PyExc_TypeError, "%s() missing %zd required positional argument%s: %s",
                 signature.function, missing, missing == 1 ? "" : "s", list);
    return -1;
}

}  // namespace

int bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargsf,
                   PyObject* kwnames, PyObject** bound) {
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (nargs > signature.positional) {
        PyErr_Format(PyExc_TypeError, "%s() takes %zd positional arguments but %zd were given",
                     signature.function, signature.positional, nargs);
        return -1;
    }
    for (Py_ssize_t n = 0; n < signature.count; ++n) {
        bound[n] = n < nargs ? args[n] : nullptr;
    }
    const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t w = 0; w < nkw; ++w) {
        const Py_ssize_t index = keyword_index(signature.function,
                                               PyTuple_GET_ITEM(kwnames, w), signature.names,
                                               signature.count);
        if (index < 0) {
            return -1;
        }
        if (bound[index] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'",
                         signature.function, signature.names[index]);
            return -1;
        }
        bound[index] = args[nargs + w];
    }
    for (Py_ssize_t n = 0; n < signature.required; ++n) {
        if (bound[n] == nullptr) {
            return raise_missing(signature, bound);
        }
    }
    return 0;
}

}  // namespace corvela
