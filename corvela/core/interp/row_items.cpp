#include "row_items.hpp"

namespace corvela {

int RowSource::check_size() const {
    const Py_ssize_t now = PyList_GET_SIZE(list_);
    if (rows_ < 0 || now == rows_) {
        return 0;
    }
    PyErr_Format(PyExc_RuntimeError, "%s changed size while %s() read it (%zd rows, now %zd)",
                 name_, caller_, rows_, now);
    return -1;
}

PyRef RowSource::take_row(Py_ssize_t i) const {
    if (i >= PyList_GET_SIZE(list_)) {
        PyErr_SetString(PyExc_IndexError, "list index out of range");
        return PyRef();
    }
    return PyRef::borrow(PyList_GET_ITEM(list_, i));
}

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

}  // namespace corvela
