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
// `place` names the factor in messages.
int read_factor(PyObject* item, const char* place, double* out) {
    PyTypeObject* type = Py_TYPE(item);
    if (PyFloat_Check(item)) {
        if (type != &PyFloat_Type && overrides(type, &PyFloat_Type, "as_integer_ratio")) {
            PyErr_Format(PyExc_TypeError,
                         "%s has type %.200s, a float subclass that overrides "
                         "as_integer_ratio, so timedelta * factor cannot be reproduced exactly",
                         place, type->tp_name);
            return -1;
        }
        *out = PyFloat_AS_DOUBLE(item);
    } else if (PyLong_Check(item)) {
        if (!keeps_number_slot(type, &PyLong_Type, &PyNumberMethods::nb_multiply)) {
            PyErr_Format(PyExc_TypeError,
                         "%s has type %.200s, an int subclass that overrides __mul__ or "
                         "__rmul__, so timedelta * factor cannot be reproduced exactly",
                         place, type->tp_name);
            return -1;
        }
        int overflow = 0;
        const long long value = PyLong_AsLongLongAndOverflow(item, &overflow);
        if (value == -1 && PyErr_Occurred()) {
            return -1;
        }
        if (overflow != 0 || value > kExactDoubleLimit || value < -kExactDoubleLimit) {
            PyErr_Format(PyExc_ValueError,
                         "%s is an int beyond 2**53, which cannot be scaled by exactly",
                         place);
            return -1;
        }
        *out = static_cast<double>(value);
    } else {
        PyErr_Format(PyExc_TypeError, "%s must be a float or an int, not %.200s", place,
                     type->tp_name);
        return -1;
    }
    if (!(std::isfinite(*out) && *out > 0.0)) {
        PyRef shown(PyFloat_FromDouble(*out));
        if (shown) {
            PyErr_Format(PyExc_ValueError,
                         "%s is %R; a factor must be finite and above zero", place,
                         shown.get());
        }
        return -1;
    }
    return 0;
}

// lo and hi, timedelta with lo <= hi, of `caller`().
int read_range(PyObject* lo, PyObject* hi, PyTypeObject* timedelta, const char* caller,
               Microseconds* lo_out, Microseconds* hi_out) {
    if (read_shift(lo, timedelta, "lo", lo_out) < 0 ||
        read_shift(hi, timedelta, "hi", hi_out) < 0) {
        return -1;
    }
    if (*lo_out > *hi_out) {
        PyErr_Format(PyExc_ValueError, "%s() needs lo <= hi, but lo is after hi", caller);
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
    const auto read_item = [](PyObject* item, Py_ssize_t n, double* value) {
        char place[48];
        PyOS_snprintf(place, sizeof place, "factors[%zd]", n);
        return read_factor(item, place, value);
    };
    if (read_sequence(factors, "best_offset", "factors", out.factors, &out.factor_count,
                      read_item) < 0) {
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

int read_search_arguments(PyObject* const* rest, PyTypeObject* timedelta, SearchArguments& out) {
    PyObject* const separation = rest[3];
    PyObject* const evidence = rest[4];
    if (read_range(rest[0], rest[1], timedelta, "best_offset", &out.lo, &out.hi) < 0) {
        return -1;
    }
    if (read_factors(rest[2], out) < 0) {
        return -1;
    }
    out.separation = kOneSecond;
    if (separation != nullptr) {
        if (read_shift(separation, timedelta, "separation", &out.separation) < 0) {
            return -1;
        }
        if (out.separation < 0) {
            PyErr_SetString(PyExc_ValueError, "best_offset() needs separation >= timedelta(0)");
            return -1;
        }
    }
    // Only a bool: its truth is read without running Python code.
    if (evidence != nullptr && !PyBool_Check(evidence)) {
        PyErr_Format(PyExc_TypeError, "best_offset() argument 'factor_evidence' must be bool, "
                     "not %.200s", Py_TYPE(evidence)->tp_name);
        return -1;
    }
    out.factor_evidence = evidence == Py_True;
    return 0;
}

int read_segment_arguments(PyObject* const* rest, PyTypeObject* timedelta, SegmentArguments& out) {
    PyObject* const penalty = rest[2];
    PyObject* const factor = rest[3];
    if (read_range(rest[0], rest[1], timedelta, "best_segments", &out.lo, &out.hi) < 0) {
        return -1;
    }
    // A float or an int, read without running Python code (an int through its value).
    if (PyFloat_Check(penalty)) {
        out.penalty = PyFloat_AS_DOUBLE(penalty);
    } else if (PyLong_Check(penalty)) {
        out.penalty = PyLong_AsDouble(penalty);
        if (out.penalty == -1.0 && PyErr_Occurred()) {
            return -1;
        }
    } else {
        PyErr_Format(PyExc_TypeError, "split_penalty must be a float or an int, not %.200s",
                     Py_TYPE(penalty)->tp_name);
        return -1;
    }
    if (!(out.penalty >= 0.0)) {
        PyRef shown(PyFloat_FromDouble(out.penalty));
        if (shown) {
            PyErr_Format(PyExc_ValueError,
                         "split_penalty is %R; best_segments() needs a penalty of 0 or more",
                         shown.get());
        }
        return -1;
    }
    if (factor == nullptr) {
        out.factor = 1.0;
        return 0;
    }
    return read_factor(factor, "factor", &out.factor);
}

}  // namespace corvela
