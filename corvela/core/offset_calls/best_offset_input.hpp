// Reading the range, factors and separation of `best_offset`, and the arguments of
// `best_segments` beyond its two tables.
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
    bool factor_evidence = false;
    NativeArray<double> factors;
    Py_ssize_t factor_count = 0;
};

// Reads rest = {lo, hi, factors, separation, factor_evidence}: lo and hi (timedelta,
// lo <= hi), factors (a non-empty sequence of finite floats or ints above zero that scale a
// timedelta as exactly as best_offset does; null for the default (1.0,)), separation (a
// timedelta >= 0; null for one second) and factor_evidence (a bool; null for False). Raises,
// naming the argument (and the item of factors), for anything refused; -1 then.
int read_search_arguments(PyObject* const* rest, PyTypeObject* timedelta, SearchArguments& out);

struct SegmentArguments {
    Microseconds lo = 0;
    Microseconds hi = 0;
    double penalty = 0.0;
    double factor = 1.0;
};

// Reads rest = {lo, hi, split_penalty, factor}: lo and hi as read_search_arguments() does,
// split_penalty (a float or an int, 0 or more, infinity allowed) and factor (one factor as
// best_offset takes them; null for 1.0). Raises, naming the argument, for anything refused;
// -1 then.
int read_segment_arguments(PyObject* const* rest, PyTypeObject* timedelta, SegmentArguments& out);

}  // namespace corvela

#endif
