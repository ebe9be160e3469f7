// Reading the arguments of `coverage` and `best_offset` into native tables, once per call.
#ifndef CORVELA_CORE_SCAN_INPUT_HPP
#define CORVELA_CORE_SCAN_INPUT_HPP

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "exact_seconds.hpp"
#include "offset_tables.hpp"
#include "owned_array.hpp"
#include "py_ref.hpp"

namespace corvela {

struct ScanInput {
    NativeArray<double> c_base;  // 2 * base_len bounds, in seconds
    Py_ssize_t base_len = 0;
    double base_total = 0.0;
    NativeArray<Microseconds> c_other_us;  // 2 * other_len bounds, exact
    Py_ssize_t other_len = 0;
    NativeArray<Microseconds> offsets;
    Py_ssize_t offset_count = 0;

    // The two tables as the offset engines take them.
    OffsetTables tables() const {
        return {c_base.data(), static_cast<std::size_t>(base_len), base_total, c_other_us.data(),
                static_cast<std::size_t>(other_len)};
    }
};

// Fills `input` from the three arguments of `coverage` (base and other exact lists, offsets any
// sequence), `timedelta` being the C timedelta type. Raises, naming the argument and the row,
// for anything `coverage` refuses, including a shift that leaves timedelta's range; -1 then.
// User code run by the conversions may change the lists: a list whose size changes while it is
// read raises RuntimeError.
int read_scan_input(PyObject* base, PyObject* other, PyObject* offsets, PyTypeObject* timedelta,
                    ScanInput& input);

// Fills the speech and subtitle tables of `input` from base and other alone, as
// read_scan_input() does, `caller` naming the function in the messages.
// With `scaled`, a timedelta subclass in other that overrides __mul__ or __rmul__ is refused.
int read_scan_tables(PyObject* base, PyObject* other, PyTypeObject* timedelta, const char* caller,
                     bool scaled, ScanInput& input);

// True when a class of `type`'s MRO before `base` defines `name` (looked up among the keys of
// the class dictionaries, so no Python code runs); also true when the MRO cannot be read.
bool overrides(PyTypeObject* type, PyTypeObject* base, const char* name);

// True when `type`, a subtype of `base`, has `base`'s own number slot `slot`: a __mul__ or
// __rmul__ (__add__ or __radd__) anywhere above `base` puts a slot wrapper there.
template <class Slot>
bool keeps_number_slot(PyTypeObject* type, PyTypeObject* base, Slot PyNumberMethods::*slot) {
    return type->tp_as_number != nullptr && base->tp_as_number != nullptr &&
           type->tp_as_number->*slot == base->tp_as_number->*slot;
}

// True for a float or an object with __float__ or __index__: what a speech bound may be.
bool is_real_number(PyObject* value);

// The exact microseconds of a timedelta that shifts exactly (timedelta, or a subclass that
// overrides none of __add__, __radd__ and total_seconds); TypeError naming `place` otherwise.
// Runs no Python code.
int read_shift(PyObject* value, PyTypeObject* timedelta, const char* place, Microseconds* out);

// Reads `sequence`, the argument `name` of `caller`, into `out` (and its length into *count)
// through read_item(item, n, &out[n]), which runs no Python code. An exact list or tuple is read
// in place, since nothing can change it meanwhile. Anything else is read by iteration, each item
// as it comes, so that a wrong item fails at once instead of after a copy of the whole sequence;
// one that gives more or fewer items than its length raises RuntimeError.
template <class T, class ReadItem>
int read_sequence(PyObject* sequence, const char* caller, const char* name, NativeArray<T>& out,
                  Py_ssize_t* count, ReadItem&& read_item) {
    if (PyList_CheckExact(sequence) || PyTuple_CheckExact(sequence)) {
        const Py_ssize_t size = PySequence_Fast_GET_SIZE(sequence);
        if (out.create(static_cast<std::size_t>(size)) < 0) {
            return -1;
        }
        PyObject** items = PySequence_Fast_ITEMS(sequence);
        for (Py_ssize_t n = 0; n < size; ++n) {
            if (read_item(items[n], n, &out.data()[n]) < 0) {
                return -1;
            }
        }
        *count = size;
        return 0;
    }
    PySequenceMethods* seq = Py_TYPE(sequence)->tp_as_sequence;
    PyMappingMethods* map = Py_TYPE(sequence)->tp_as_mapping;
    if ((seq == nullptr || seq->sq_length == nullptr) &&
        (map == nullptr || map->mp_length == nullptr)) {
        PyErr_Format(PyExc_TypeError,
                     "%s() argument '%s' must be a sequence with a length, not %.200s", caller,
                     name, Py_TYPE(sequence)->tp_name);
        return -1;
    }
    const Py_ssize_t size = PyObject_Size(sequence);
    if (size < 0) {
        return -1;
    }
    PyRef iterator(PyObject_GetIter(sequence));
    if (!iterator || out.create(static_cast<std::size_t>(size)) < 0) {
        return -1;
    }
    Py_ssize_t n = 0;
    for (;; ++n) {
        const PyRef item(PyIter_Next(iterator.get()));
        if (!item) {
            if (PyErr_Occurred()) {
                return -1;
            }
            break;
        }
        if (n == size) {
            PyErr_Format(PyExc_RuntimeError,
                         "%s changed size while %s() read it (%zd items, now more)", name, caller,
                         size);
            return -1;
        }
        if (read_item(item.get(), n, &out.data()[n]) < 0) {
            return -1;
        }
    }
    if (n != size) {
        PyErr_Format(PyExc_RuntimeError, "%s changed size while %s() read it (%zd items, now %zd)",
                     name, caller, size, n);
        return -1;
    }
    *count = size;
    return 0;
}

}  // namespace corvela

#endif
