// Reading the arguments of `best_offset` beyond the two tables.
#include "best_offset_input.hpp"

#include <cmath>

#include "py_ref.hpp"
#include "scan_input.hpp"

namespace corvela {

namespace {

constexpr Microseconds kOneSecond = 1000000;

// The factor's value, when best_offset can scale a bound by it as `bound * factor` does: a float
// (timedelta multiplies by float's as_integer_ratio, the float's exact value), or an int of at
// most 2**53 (an exact product, which scaling by that float gives too); a subclass only when it
// keeps what the product uses. Runs no Python code: the values are read from the objects.
int read_factor(PyObject* item, Py_ssize_t n, double* out) {
    PyTypeObject* type = Py_TYPE(item);
    if (PyFloat_Check(item)) {
        if (type != &PyFloat_Type && overrides(type, &PyFloat_Type, "as_integer_ratio")) {
            PyErr_Format(PyExc_TypeError,
                         "factors[%zd] has type %.200s, a float subclass that overrides "
                         "as_integer_ratio, so timedelta * factor cannot be reproduced exactly",
                         n, type->tp_name);
            return -1;
        }
        *out = PyFloat_AS_DOUBLE(item);
    } else if (PyLong_Check(item)) {
        if (!keeps_number_slot(type, &PyLong_Type, &PyNumberMethods::nb_multiply)) {
            PyErr_Format(PyExc_TypeError,
                         "factors[%zd] has type %.200s, an int subclass that overrides __mul__ or "
                         "__rmul__, so timedelta * factor cannot be reproduced exactly",
                         n, type->tp_name);
            return -1;
        }
        int overflow = 0;
        const long long value = PyLong_AsLongLongAndOverflow(item, &overflow);
        if (value == -1 && PyErr_Occurred()) {
            return -1;
        }
        if (overflow != 0 || value > kExactDoubleLimit || value < -kExactDoubleLimit) {
            PyErr_Format(PyExc_ValueError,
                         "factors[%zd] is an int beyond 2**53, which cannot be scaled by exactly",
                         n);
            return -1;
        }
        *out = static_cast<double>(value);
    } else {
        PyErr_Format(PyExc_TypeError, "factors[%zd] must be a float or an int, not %.200s", n,
                     type->tp_name);
        return -1;
    }
    if (!(std::isfinite(*out) && *out > 0.0)) {
        PyRef shown(PyFloat_FromDouble(*out));
        if (shown) {
            PyErr_Format(PyExc_ValueError,
                         "factors[%zd] is %R; a factor must be finite and above zero", n,
                         shown.get());
        }
        return -1;
    }
    return 0;
}

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
    if (read_sequence(factors, "best_offset", "factors", out.factors, &out.factor_count,
                      read_factor) < 0) {
        return -1;
    }
    if (out.factor_count == 0) {
        PyErr_SetString(PyExc_ValueError,
                        "best_offset() argument 'factors' is empty: it needs at least one factor");
        return -1;
    }
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
