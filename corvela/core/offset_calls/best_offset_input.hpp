// Reading the range, factors and separation of `best_offset`.
#ifndef CORVELA_CORE_BEST_OFFSET_INPUT_HPP
#define CORVELA_CORE_BEST_OFFSET_INPUT_HPP

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "exact_seconds.hpp"
#include "owned_array.hpp"

namespace corvela {

struct SearchArguments {
    Microseconds lo = 0;
    Microseconds hi = 0;
    Microseconds separation = 0;
    NativeArray<double> factors;
    Py_ssize_t factor_count = 0;
};

// Reads lo and hi (timedelta, lo <= hi), factors (a non-empty sequence of finite floats or ints
// above zero that scale a timedelta as exactly as best_offset does; null for the default (1.0,))
// and separation (a timedelta >= 0; null for one second). Raises, naming the argument (and the
// item of factors), for anything refused; -1 then.
int read_search_arguments(PyObject* lo, PyObject* hi, PyObject* factors, PyObject* separation,
                          PyTypeObject* timedelta, SearchArguments& out);

}  // namespace corvela

#endif
