// Reading the arguments of `best_offset` beyond the two tables.
#include "best_offset_input.hpp"

#include <cmath>

#include "py_ref.hpp"
#include "row_items.hpp"
#include "scan_input.hpp"

namespace corvela {

namespace {

constexpr Microseconds kOneSecond = 1000000;

int read_factors(PyObject* factors, SearchArguments& out) {
    if (factors == nullptr) {
        if (out.factors.create(1) < 0) {
            return -1;
        }
        out.factors.data()[0] = 1.0;
        out.factor_count = 1;
        return 0;
    }
    if (!PySequence_Check(factors)) {
        PyErr_Format(PyExc_TypeError,
                     "best_offset() argument 'factors' must be a sequence of float, not %.200s",
                     Py_TYPE(factors)->tp_name);
        return -1;
    }
    // Our own tuple holds every item while __float__ runs, whatever it does to `factors`.
    PyRef items(PySequence_Tuple(factors));
    if (!items) {
        return -1;
    }
    const Py_ssize_t count = PyTuple_GET_SIZE(items.get());
    if (count == 0) {
        PyErr_SetString(PyExc_ValueError,
                        "best_offset() argument 'factors' is empty: it needs at least one factor");
        return -1;
    }
    if (out.factors.create(static_cast<std::size_t>(count)) < 0) {
        return -1;
    }
    for (Py_ssize_t n = 0; n < count; ++n) {
        PyObject* item = PyTuple_GET_ITEM(items.get(), n);
        if (!is_real_number(item)) {
            PyErr_Format(PyExc_TypeError, "factors[%zd] must be a real number, not %.200s", n,
                         Py_TYPE(item)->tp_name);
            return -1;
        }
        double value = 0.0;
        if (to_double(item, &value) < 0) {
            return -1;
        }
        if (!(std::isfinite(value) && value > 0.0)) {
            PyRef shown(PyFloat_FromDouble(value));
            if (shown) {
                PyErr_Format(PyExc_ValueError,
                             "factors[%zd] is %R; a factor must be finite and above zero", n,
                             shown.get());
            }
            return -1;
        }
        out.factors.data()[n] = value;
    }
    out.factor_count = count;
    return 0;
}

}  // namespace

int read_search_arguments(PyObject* lo, PyObject* hi, PyObject* factors, PyObject* separation,
                          PyTypeObject* timedelta, SearchArguments& out) {
    if (read_shift(lo, timedelta, "lo", &out.lo) < 0 ||
        read_shift(hi, timedelta, "hi", &out.hi) < 0) {
        return -1;
    }
    if (out.lo > out.hi) {
        PyErr_SetString(PyExc_ValueError, "best_offset() needs lo <= hi, but lo is after hi");
        return -1;
    }
    if (read_factors(factors, out) < 0) {
        return -1;
    }
    if (separation == nullptr) {
        out.separation = kOneSecond;
        return 0;
    }
    if (read_shift(separation, timedelta, "separation", &out.separation) < 0) {
        return -1;
    }
    if (out.separation < 0) {
        PyErr_SetString(PyExc_ValueError, "best_offset() needs separation >= timedelta(0)");
        return -1;
    }
    return 0;
}

}  // namespace corvela
