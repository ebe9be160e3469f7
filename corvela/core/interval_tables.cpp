// Reading the caller's lists into interval tables.
//
// Any number conversion, row subscription or total_seconds() call can run Python code, and that
// code can shrink, clear or rebind the lists and drop the last reference to the row or item in
// hand. So every row and item is held by its own reference while it is read, and the list's
// current size is checked each time a row is taken.
#include "interval_tables.hpp"

#include "py_ref.hpp"

namespace corvela {

int IntervalTable::create(Py_ssize_t count) {
    if (count == 0) {
        PyErr_Format(PyExc_ValueError, "Invalid shape in axis %d: %d.", 0, 0);
        return -1;
    }
    // Two doubles a row; refuse a size that would overflow the byte count.
    if (count < 0 || static_cast<size_t>(count) > PY_SSIZE_T_MAX / (2 * sizeof(double))) {
        PyErr_SetString(PyExc_MemoryError, "unable to allocate array data.");
        return -1;
    }
    void* block = PyMem_Malloc(static_cast<size_t>(count) * 2 * sizeof(double));
    if (block == nullptr) {
        PyErr_SetString(PyExc_MemoryError, "unable to allocate array data.");
        return -1;
    }
    data_ = static_cast<double*>(block);
    count_ = count;
    return 0;
}

namespace {

// Row i of `list`, refusing an index that user code has pushed past the list's current end.
PyRef take_row(PyObject* list, Py_ssize_t i) {
    if (i >= PyList_GET_SIZE(list)) {
        PyErr_SetString(PyExc_IndexError, "list index out of range");
        return PyRef();
    }
    return PyRef::borrow(PyList_GET_ITEM(list, i));
}

// Item k (0 or 1) of a row: stored items of exact lists and tuples, otherwise the type's own
// sequence item operation, otherwise general subscription (so a mapping serves as a row).
PyRef take_item(PyObject* row, Py_ssize_t k) {
    if (PyList_CheckExact(row)) {
        if (k >= PyList_GET_SIZE(row)) {
            PyErr_SetString(PyExc_IndexError, "list index out of range");
            return PyRef();
        }
        return PyRef::borrow(PyList_GET_ITEM(row, k));
    }
    if (PyTuple_CheckExact(row)) {
        if (k >= PyTuple_GET_SIZE(row)) {
            PyErr_SetString(PyExc_IndexError, "tuple index out of range");
            return PyRef();
        }
        return PyRef::borrow(PyTuple_GET_ITEM(row, k));
    }
    PySequenceMethods* seq = Py_TYPE(row)->tp_as_sequence;
    if (seq != nullptr && seq->sq_item != nullptr) {
        return PyRef(PySequence_GetItem(row, k));
    }
    PyRef key(PyLong_FromSsize_t(k));
    if (!key) {
        return PyRef();
    }
    return PyRef(PyObject_GetItem(row, key.get()));
}

int to_double(PyObject* value, double* out) {
    if (PyFloat_CheckExact(value)) {
        *out = PyFloat_AS_DOUBLE(value);
        return 0;
    }
    const double converted = PyFloat_AsDouble(value);
    // -1.0 is an ordinary value unless the conversion raised.
    if (converted == -1.0 && PyErr_Occurred()) {
        return -1;
    }
    *out = converted;
    return 0;
}

int read_number(PyObject* list, Py_ssize_t i, Py_ssize_t k, double* out) {
    PyRef row = take_row(list, i);
    if (!row) {
        return -1;
    }
    PyRef item = take_item(row.get(), k);
    if (!item) {
        return -1;
    }
    return to_double(item.get(), out);
}

int read_duration(PyObject* list, Py_ssize_t i, Py_ssize_t k, PyObject* method, double* out) {
    PyRef row = take_row(list, i);
    if (!row) {
        return -1;
    }
    PyRef item = take_item(row.get(), k);
    if (!item) {
        return -1;
    }
    PyRef seconds(PyObject_CallMethodNoArgs(item.get(), method));
    if (!seconds) {
        return -1;
    }
    return to_double(seconds.get(), out);
}

}  // namespace

int fill_speech(PyObject* base, IntervalTable& table, double* base_total) {
    double* cells = table.data();
    const Py_ssize_t count = table.count();
    double total = 0.0;
    for (Py_ssize_t i = 0; i < count; ++i) {
        double* row = cells + 2 * i;
        if (read_number(base, i, 0, &row[0]) < 0 || read_number(base, i, 1, &row[1]) < 0) {
            return -1;
        }
        total = (row[1] - row[0]) + total;
    }
    *base_total = total;
    return 0;
}

int fill_subtitles(PyObject* other, IntervalTable& table) {
    PyRef method(PyUnicode_InternFromString("total_seconds"));
    if (!method) {
        return -1;
    }
    double* cells = table.data();
    const Py_ssize_t count = table.count();
    for (Py_ssize_t ii = 0; ii < count; ++ii) {
        double* row = cells + 2 * ii;
        if (read_duration(other, ii, 0, method.get(), &row[0]) < 0 ||
            read_duration(other, ii, 1, method.get(), &row[1]) < 0) {
            return -1;
        }
    }
    return 0;
}

}  // namespace corvela
