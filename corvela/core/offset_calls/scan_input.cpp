// Reading the arguments of `coverage`.
//
// Number conversions and the subscription of a row other than an exact list or tuple can run
// Python code, which can shrink, clear or refill the lists and drop the last reference to the
// row or item in hand. So each row and item is held by its own reference while it is read, and
// the list's size is checked before each row and once more at the end. Reading a timedelta's
// fields, checking its type and reading an offset run no Python code.
#include "scan_input.hpp"

#include <datetime.h>

#include <cstdio>

#include "interval_tables.hpp"
#include "py_ref.hpp"
#include "row_items.hpp"
#include "timedelta_reader.hpp"

namespace corvela {

namespace {

// Row i of `rows`, whose size has just been checked, refused unless it can give items 0 and 1.
PyRef take_checked_row(const RowSource& rows, Py_ssize_t i) {
    PyRef row = rows.take_row(i);
    PyObject* const held = row.get();
    Py_ssize_t stored = -1;
    if (PyList_CheckExact(held)) {
        stored = PyList_GET_SIZE(held);
    } else if (PyTuple_CheckExact(held)) {
        stored = PyTuple_GET_SIZE(held);
    } else {
        PySequenceMethods* seq = Py_TYPE(held)->tp_as_sequence;
        PyMappingMethods* map = Py_TYPE(held)->tp_as_mapping;
        if ((seq == nullptr || seq->sq_item == nullptr) &&
            (map == nullptr || map->mp_subscript == nullptr)) {
            PyErr_Format(PyExc_TypeError, "%s[%zd] must be a [start, end] row, not %.200s",
                         rows.name(), i, Py_TYPE(held)->tp_name);
            return PyRef();
        }
    }
    if (stored >= 0 && stored < 2) {
        PyErr_Format(PyExc_IndexError, "%s[%zd] has %zd item%s; a row needs a start and an end",
                     rows.name(), i, stored, stored == 1 ? "" : "s");
        return PyRef();
    }
    return row;
}

// True when `type`, a timedelta type, adds and converts as timedelta itself does: timedelta, or
// a subclass that keeps its addition and defines no total_seconds of its own.
bool shifts_like_timedelta(PyTypeObject* type, PyTypeObject* timedelta) {
    return type == timedelta || (keeps_number_slot(type, timedelta, &PyNumberMethods::nb_add) &&
                                 !overrides(type, timedelta, "total_seconds"));
}

// The value is `name`[row][item], or `name`[row] when item is negative.
int read_duration(PyObject* value, PyTypeObject* timedelta, const char* name, Py_ssize_t row,
                  int item, Microseconds* out) {
    char place[96];
    if (item < 0) {
        std::snprintf(place, sizeof place, "%s[%zd]", name, row);
    } else {
        std::snprintf(place, sizeof place, "%s[%zd][%d]", name, row, item);
    }
    return read_shift(value, timedelta, place, out);
}

// Reads items 0 and 1 of rows [first, count) of `rows` through read_bound(item, i, k), each
// row and item held while it is read, and calls after_row(i) after each row, stopping there when
// it returns true. Returns the number of the next row to read (count once all are read and the
// size has been checked one last time), or -1 with an exception set. The size is checked before
// each row.
template <class ReadBound, class AfterRow>
Py_ssize_t read_rows(const RowSource& rows, Py_ssize_t first, Py_ssize_t count,
                     ReadBound&& read_bound, AfterRow&& after_row) {
    for (Py_ssize_t i = first; i < count; ++i) {
        if (rows.check_size() < 0) {
            return -1;
        }
        const PyRef row = take_checked_row(rows, i);
        if (!row) {
            return -1;
        }
        for (Py_ssize_t k = 0; k < 2; ++k) {
            const PyRef item = take_item(row.get(), k);
            if (!item || read_bound(item.get(), i, static_cast<int>(k)) < 0) {
                return -1;
            }
        }
        if (after_row(i)) {
            return i + 1;
        }
    }
    return rows.check_size() < 0 ? -1 : count;
}

// The total is match's to the last bit, NaN included: runs of plain rows are read and summed by
// match's own loop, and every other row's length is added by match's own addition.
int read_speech(PyObject* base, const char* caller, ScanInput& input) {
    double* cells = input.c_base.data();
    const Py_ssize_t count = input.base_len;
    const RowSource rows(base, count, "base", caller);
    double total = 0.0;
    bool in_order = true;  // not needed here
    Py_ssize_t i = 0;
    // A row the plain loop leaves alone is read on its own; the plain loop then takes over again.
    while ((i = fill_plain_speech(base, cells, i, count, &total, &in_order)) < count) {
        i = read_rows(
            rows, i, count,
            [cells](PyObject* item, Py_ssize_t r, int k) {
                if (!is_real_number(item)) {
                    PyErr_Format(PyExc_TypeError,
                                 "base[%zd][%d] must be a real number, not %.200s", r, k,
                                 Py_TYPE(item)->tp_name);
                    return -1;
                }
                return to_double(item, &cells[2 * r + k]);
            },
            [cells, &total](Py_ssize_t r) {
                total = add_speech_length(total, cells[2 * r], cells[2 * r + 1]);
                return true;
            });
        if (i < 0) {
            return -1;
        }
    }
    input.base_total = total;
    return rows.check_size();
}

int read_subtitles(PyObject* other, PyTypeObject* timedelta, const char* caller, bool scaled,
                   ScanInput& input) {
    Microseconds* us = input.c_other_us.data();
    const Py_ssize_t count = input.other_len;
    return read_rows(
        RowSource(other, count, "other", caller), 0, count,
        [us, timedelta, scaled](PyObject* item, Py_ssize_t i, int k) {
            if (scaled && PyType_IsSubtype(Py_TYPE(item), timedelta) &&
                !keeps_number_slot(Py_TYPE(item), timedelta, &PyNumberMethods::nb_multiply)) {
                PyErr_Format(PyExc_TypeError,
                             "other[%zd][%d] has type %.200s, a timedelta subclass that overrides "
                             "__mul__ or __rmul__, so it cannot be scaled exactly",
                             i, k, Py_TYPE(item)->tp_name);
                return -1;
            }
            return read_duration(item, timedelta, "other", i, k, &us[2 * i + k]);
        },
        [](Py_ssize_t) { return false; }) < 0
               ? -1
               : 0;
}

int read_offsets(PyObject* offsets, PyTypeObject* timedelta, ScanInput& input) {
    return read_sequence(offsets, "coverage", "offsets", input.offsets, &input.offset_count,
                         [timedelta](PyObject* item, Py_ssize_t n, Microseconds* out) {
                             return read_duration(item, timedelta, "offsets", n, -1, out);
                         });
}

// Raises the OverflowError of `bound + offset` for the first offset, then the first bound in row
// order, that leaves timedelta's range.
int check_shifted_range(const ScanInput& input) {
    const Microseconds* us = input.c_other_us.data();
    const Py_ssize_t bounds = 2 * input.other_len;
    Microseconds lowest = us[0];
    Microseconds highest = us[0];
    for (Py_ssize_t j = 1; j < bounds; ++j) {
        lowest = us[j] < lowest ? us[j] : lowest;
        highest = us[j] > highest ? us[j] : highest;
    }
    for (Py_ssize_t n = 0; n < input.offset_count; ++n) {
        const Microseconds offset = input.offsets.data()[n];
        if (lowest + offset >= kMinMicroseconds && highest + offset <= kMaxMicroseconds) {
            continue;
        }
        for (Py_ssize_t j = 0; j < bounds; ++j) {
            const Microseconds shifted = us[j] + offset;
            if (shifted < kMinMicroseconds || shifted > kMaxMicroseconds) {
                PyErr_Format(PyExc_OverflowError,
                             "other[%zd][%zd] + offsets[%zd]: days=%lld; must have magnitude <= "
                             "999999999",
                             j / 2, j % 2, n, static_cast<long long>(floor_days(shifted)));
                return -1;
            }
        }
    }
    return 0;
}

}  // namespace

bool overrides(PyTypeObject* type, PyTypeObject* base, const char* name) {
    PyObject* mro = type->tp_mro;
    if (mro == nullptr || !PyTuple_Check(mro)) {
        return true;
    }
    for (Py_ssize_t n = 0; n < PyTuple_GET_SIZE(mro); ++n) {
        PyObject* cls = PyTuple_GET_ITEM(mro, n);
        if (cls == reinterpret_cast<PyObject*>(base)) {
            return false;
        }
        PyObject* dict = reinterpret_cast<PyTypeObject*>(cls)->tp_dict;
        if (dict == nullptr) {
            continue;
        }
        Py_ssize_t pos = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(dict, &pos, &key, &value)) {
            if (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, name) == 0) {
                return true;
            }
        }
    }
    return true;
}

bool is_real_number(PyObject* value) {
    if (PyFloat_Check(value)) {
        return true;
    }
    PyNumberMethods* num = Py_TYPE(value)->tp_as_number;
    return num != nullptr && (num->nb_float != nullptr || num->nb_index != nullptr);
}

int read_shift(PyObject* value, PyTypeObject* timedelta, const char* place, Microseconds* out) {
    PyTypeObject* type = Py_TYPE(value);
    const bool is_timedelta = type == timedelta || PyType_IsSubtype(type, timedelta);
    if (is_timedelta && shifts_like_timedelta(type, timedelta)) {
        *out = microseconds_of(value);
        return 0;
    }
    if (!is_timedelta) {
        PyErr_Format(PyExc_TypeError, "%s must be a datetime.timedelta, not %.200s", place,
                     type->tp_name);
    } else {
        PyErr_Format(PyExc_TypeError,
                     "%s has type %.200s, a timedelta subclass that overrides __add__, __radd__ "
                     "or total_seconds, so it cannot be shifted exactly",
                     place, type->tp_name);
    }
    return -1;
}

int read_scan_tables(PyObject* base, PyObject* other, PyTypeObject* timedelta, const char* caller,
                     bool scaled, ScanInput& input) {
    input.base_len = PyList_GET_SIZE(base);
    input.other_len = PyList_GET_SIZE(other);
    if (input.base_len == 0 || input.other_len == 0) {
        PyErr_Format(PyExc_ValueError, "%s() argument '%s' is empty: it needs at least one row",
                     caller, input.base_len == 0 ? "base" : "other");
        return -1;
    }
    if (input.c_base.create(2 * static_cast<std::size_t>(input.base_len)) < 0 ||
        input.c_other_us.create(2 * static_cast<std::size_t>(input.other_len)) < 0) {
        return -1;
    }
    return read_speech(base, caller, input) < 0 ||
                   read_subtitles(other, timedelta, caller, scaled, input) < 0
               ? -1
               : 0;
}

int read_scan_input(PyObject* base, PyObject* other, PyObject* offsets, PyTypeObject* timedelta,
                    ScanInput& input) {
    if (read_scan_tables(base, other, timedelta, "coverage", false, input) < 0 ||
        read_offsets(offsets, timedelta, input) < 0) {
        return -1;
    }
    return check_shifted_range(input);
}

}  // namespace corvela
