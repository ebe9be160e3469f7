// Reading the caller's lists into interval tables.
//
// Any number conversion, row subscription or total_seconds() call can run Python code, and that
// code can shrink, clear or rebind the lists and drop the last reference to the row or item in
// hand. So on the general path every row and item is held by its own reference while it is read,
// and the list's current size is checked each time a row is taken.
//
// The common rows -- exact lists or tuples of exact floats, or of exact C timedeltas -- take a
// direct path instead: it reads the stored items through borrowed pointers, which is safe only
// because nothing between the read and the use can run Python code (no call, no allocation, no
// release). Whatever the direct path cannot finish falls through to the general path, which
// starts again from the list, so the two give the same values, errors and order of user code.
#include "interval_tables.hpp"

#include <datetime.h>

#include <cmath>
#include <cstdint>

#include "py_ref.hpp"
#include "row_items.hpp"
#include "timedelta_reader.hpp"

namespace corvela {

namespace {

// The C implementation's timedelta type, or null when datetime is the pure-Python one (whose
// instances have no C fields to read) or laid out otherwise: every bound then takes the call.
PyTypeObject* native_timedelta = nullptr;

}  // namespace

void record_timedelta_type() {
    if (readable_timedelta_type(&native_timedelta) < 0) {
        PyErr_Clear();
    }
}

int IntervalTable::create(Py_ssize_t count) {
    if (count == 0) {
        PyErr_Format(PyExc_ValueError, "Invalid shape in axis %d: %d.", 0, 0);
        return -1;
    }
    // Two doubles a row; the array refuses a size that would overflow the byte count.
    if (count < 0 || !cells_.allocate(2 * static_cast<size_t>(count))) {
        PyErr_SetString(PyExc_MemoryError, "unable to allocate array data.");
        return -1;
    }
    count_ = count;
    return 0;
}

namespace {

// The general path: item k of row i, with the row and the item each held while Python code
// may run. `item` is null, with an exception set, on failure.
struct HeldItem {
    HeldItem(PyObject* list, Py_ssize_t i, Py_ssize_t k) : row(RowSource(list).take_row(i)) {
        if (row) {
            item = take_item(row.get(), k);
        }
    }
    PyRef row;
    PyRef item;
};

int read_number_held(PyObject* list, Py_ssize_t i, Py_ssize_t k, double* out) {
    const HeldItem held(list, i, k);
    return held.item ? to_double(held.item.get(), out) : -1;
}

int read_duration_held(PyObject* list, Py_ssize_t i, Py_ssize_t k, PyObject* method, double* out) {
    const HeldItem held(list, i, k);
    if (!held.item) {
        return -1;
    }
    PyRef seconds(PyObject_CallMethodNoArgs(held.item.get(), method));
    if (!seconds) {
        return -1;
    }
    return to_double(seconds.get(), out);
}

// Items k of row i, as borrowed pointers, when both the row and its place in the list are plain
// storage (an exact list or tuple); null sends the caller to the general path, which raises
// whatever error is due.
inline PyObject* stored_item(PyObject* list, Py_ssize_t i, Py_ssize_t k) {
    if (i >= PyList_GET_SIZE(list)) {
        return nullptr;
    }
    PyObject* row = PyList_GET_ITEM(list, i);
    if (PyList_CheckExact(row)) {
        return k < PyList_GET_SIZE(row) ? PyList_GET_ITEM(row, k) : nullptr;
    }
    if (PyTuple_CheckExact(row)) {
        return k < PyTuple_GET_SIZE(row) ? PyTuple_GET_ITEM(row, k) : nullptr;
    }
    return nullptr;
}

// Both items of row i at once, for the common row whose two bounds both take the direct path.
inline bool stored_pair(PyObject* list, Py_ssize_t i, PyObject** first, PyObject** second) {
    if (i >= PyList_GET_SIZE(list)) {
        return false;
    }
    PyObject* row = PyList_GET_ITEM(list, i);
    PyObject** items;
    if (PyList_CheckExact(row) && PyList_GET_SIZE(row) >= 2) {
        items = reinterpret_cast<PyListObject*>(row)->ob_item;
    } else if (PyTuple_CheckExact(row) && PyTuple_GET_SIZE(row) >= 2) {
        items = reinterpret_cast<PyTupleObject*>(row)->ob_item;
    } else {
        return false;
    }
    *first = items[0];
    *second = items[1];
    return true;
}

// total_seconds() divides the exact integer microseconds by 10**6, correctly rounded. A double
// holds every integer up to 2**53 exactly, so up to there one double division rounds the same
// way (small_microseconds); past it converting to double would round first, so those values
// take the real call.

// The direct path's stand-in for the recursion check of the total_seconds() call it replaces,
// so that near the limit the same RecursionError is raised at the same bound. *passed records
// that the check is known to pass for the rest of the table; the general path clears it.
// Returns 1 when the bound may be read directly, -1 with the RecursionError set, and 0 when
// the bound must take the real call, which then is the check.
//
// Up to 3.13 the check compares the thread's recursion counters with the limit. Only the calls
// around match move them, and those stay put while a table is read, so one check made here
// gives the real call's answer.
//
// From 3.14 the check measures the C stack left at the frame that makes it, and its message
// gives the stack used there: a check made here would sit a few frames away from the real
// call's and could pass where that fails. So the first plain bound of each run takes the real
// call, from the one place in fill_subtitles that all real calls are made from. The stack
// pointer at that place is the same for every bound of the table, so once that call passed,
// every later one would pass too.
inline int stand_in_check(bool* passed) {
    if (*passed) {
        return 1;
    }
#if PY_VERSION_HEX >= 0x030E0000
    return 0;
#else
    if (Py_EnterRecursiveCall(" while calling a Python object")) {
        return -1;
    }
    Py_LeaveRecursiveCall();
    *passed = true;
    return 1;
#endif
}

// Converts the run of plain rows (exact lists or tuples of two small exact C timedeltas) that
// starts at row ii; returns the index of the first row it left alone, or -1 with the
// RecursionError of the recursion check set (see stand_in_check). Nothing is read from a bound
// before the check passed. Kept out of line like fill_plain_speech.
[[gnu::noinline]] Py_ssize_t fill_plain_subtitles(PyObject* other, double* cells, Py_ssize_t ii,
                                                  Py_ssize_t count, bool* guard_passed) {
    for (; ii < count; ++ii) {
        PyObject* start = nullptr;
        PyObject* end = nullptr;
        std::int64_t start_us = 0;
        std::int64_t end_us = 0;
        // Only the exact C type: a subclass may override total_seconds().
        if (!stored_pair(other, ii, &start, &end) || Py_TYPE(start) != native_timedelta ||
            Py_TYPE(end) != native_timedelta || !small_microseconds(start, &start_us) ||
            !small_microseconds(end, &end_us)) {
            break;
        }
        const int check = stand_in_check(guard_passed);
        if (check <= 0) {
            return check < 0 ? -1 : ii;
        }
        cells[2 * ii] = static_cast<double>(start_us) / 1e6;
        cells[2 * ii + 1] = static_cast<double>(end_us) / 1e6;
    }
    return ii;
}

}  // namespace

// Converts the run of plain rows (exact lists or tuples of two exact floats) that starts at
// row i, adding their lengths to *total; returns the index of the first row it left alone. No
// calls, so that the running sum stays in a register: the sum is the one chain of dependent
// additions in this loop, and nothing can shorten it. Kept out of line: inlined into the caller,
// whose general path makes calls, the sum would be kept in memory.
[[gnu::noinline]] Py_ssize_t fill_plain_speech(PyObject* base, double* cells, Py_ssize_t i,
                                               Py_ssize_t count, double* total, bool* in_order) {
    double sum = *total;
    // Whether the starts never decrease, noted on the way at no cost: the loop waits on the sum.
    // A NaN start fails the comparison.
    bool ordered = *in_order;
    double last = i > 0 ? cells[2 * (i - 1)] : -__builtin_inf();
    for (; i < count; ++i) {
        PyObject* start = nullptr;
        PyObject* end = nullptr;
        if (!stored_pair(base, i, &start, &end) || !PyFloat_CheckExact(start) ||
            !PyFloat_CheckExact(end)) {
            break;
        }
        const double s = PyFloat_AS_DOUBLE(start);
        const double e = PyFloat_AS_DOUBLE(end);
        cells[2 * i] = s;
        cells[2 * i + 1] = e;
        sum = (e - s) + sum;
        ordered &= s >= last;
        last = s;
    }
    *total = sum;
    *in_order = ordered;
    return i;
}

// The offset scan adds the lengths of the rows it converts one by one through this very
// function, so that its total has match's bits. Where both terms are NaN the hardware gives the
// NaN of the addition's first operand, and which one that is the compiler decides; the length's
// NaN is chosen here explicitly, as this path has always given it.
[[gnu::noinline]] double add_speech_length(double total, double start, double end) {
    const double length = end - start;
    return std::isnan(length) ? length : length + total;
}

int fill_speech(PyObject* base, IntervalTable& table, double* base_total, bool* starts_in_order) {
    double* cells = table.data();
    const Py_ssize_t count = table.count();
    double total = 0.0;
    Py_ssize_t i = 0;
    bool in_order = true;
    while ((i = fill_plain_speech(base, cells, i, count, &total, &in_order)) < count) {
        in_order = false;  // a row the plain loop left alone is not looked at for the order
        // Item by item: after a conversion that ran Python code, item 1 is looked up afresh.
        double* row = cells + 2 * i;
        for (Py_ssize_t k = 0; k < 2; ++k) {
            PyObject* item = stored_item(base, i, k);
            if (item != nullptr && PyFloat_CheckExact(item)) {
                row[k] = PyFloat_AS_DOUBLE(item);
            } else if (read_number_held(base, i, k, &row[k]) < 0) {
                return -1;
            }
        }
        total = add_speech_length(total, row[0], row[1]);
        ++i;
    }
    *base_total = total;
    *starts_in_order = in_order;
    return 0;
}

int fill_subtitles(PyObject* other, IntervalTable& table) {
    PyRef method;  // the name total_seconds, made when a bound first needs the real call
    bool guard_passed = false;
    double* cells = table.data();
    const Py_ssize_t count = table.count();
    Py_ssize_t ii = 0;
    while ((ii = fill_plain_subtitles(other, cells, ii, count, &guard_passed)) < count) {
        if (ii < 0) {
            return -1;
        }
        // Bound by bound: after a conversion that ran Python code, item 1 is looked up afresh.
        double* row = cells + 2 * ii;
        for (Py_ssize_t k = 0; k < 2; ++k) {
            PyObject* item = stored_item(other, ii, k);
            std::int64_t us = 0;
            const bool plain = item != nullptr && Py_TYPE(item) == native_timedelta &&
                               small_microseconds(item, &us);
            const int check = plain ? stand_in_check(&guard_passed) : 0;
            if (check < 0) {
                return -1;
            }
            if (check > 0) {
                row[k] = static_cast<double>(us) / 1e6;
                continue;
            }
            if (!method) {
                method = PyRef(PyUnicode_InternFromString("total_seconds"));
                if (!method) {
                    return -1;
                }
            }
            // Every real call is made from here (see stand_in_check).
            if (read_duration_held(other, ii, k, method.get(), &row[k]) < 0) {
                return -1;
            }
            // Another type's call may have been Python code, whose check is not this one.
            guard_passed = plain;
        }
        ++ii;
    }
    return 0;
}

}  // namespace corvela
