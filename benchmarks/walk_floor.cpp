// The floor of a whole match() call for the benchmarks: reads every row and item of the two
// lists the way match's direct conversion does (exact lists or tuples of exact floats; exact C
// timedeltas through their fields) and writes both tables, with no overlap kernel. Built only
// with -DCORVELA_WALK_FLOOR=ON, as the module corvela_walk_floor; never shipped.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <datetime.h>

#include <cstdint>

namespace {

PyObject** row_items(PyObject* row) {
    if (PyList_CheckExact(row) && PyList_GET_SIZE(row) >= 2) {
        return reinterpret_cast<PyListObject*>(row)->ob_item;
    }
    if (PyTuple_CheckExact(row) && PyTuple_GET_SIZE(row) >= 2) {
        return reinterpret_cast<PyTupleObject*>(row)->ob_item;
    }
    return nullptr;
}

double seconds_of(PyObject* delta) {
    const std::int64_t us = (std::int64_t{PyDateTime_DELTA_GET_DAYS(delta)} * 86400 +
                             PyDateTime_DELTA_GET_SECONDS(delta)) * 1000000 +
                            PyDateTime_DELTA_GET_MICROSECONDS(delta);
    return static_cast<double>(us) / 1e6;
}

// walk(base, other) -> the speech total; TypeError for rows outside the direct path.
PyObject* walk(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 2 || !PyList_CheckExact(args[0]) || !PyList_CheckExact(args[1])) {
        PyErr_SetString(PyExc_TypeError, "walk(base: list, other: list)");
        return nullptr;
    }
    const Py_ssize_t n = PyList_GET_SIZE(args[0]);
    const Py_ssize_t m = PyList_GET_SIZE(args[1]);
    double* c_base = static_cast<double*>(PyMem_Malloc(2 * sizeof(double) * (n + 1)));
    double* c_other = static_cast<double*>(PyMem_Malloc(2 * sizeof(double) * (m + 1)));
    double total = 0.0;
    bool ok = c_base != nullptr && c_other != nullptr;
    for (Py_ssize_t i = 0; ok && i < n; ++i) {
        PyObject** items = row_items(PyList_GET_ITEM(args[0], i));
        ok = items != nullptr && PyFloat_CheckExact(items[0]) && PyFloat_CheckExact(items[1]);
        if (ok) {
            c_base[2 * i] = PyFloat_AS_DOUBLE(items[0]);
            c_base[2 * i + 1] = PyFloat_AS_DOUBLE(items[1]);
            total = (c_base[2 * i + 1] - c_base[2 * i]) + total;
        }
    }
    for (Py_ssize_t i = 0; ok && i < m; ++i) {
        PyObject** items = row_items(PyList_GET_ITEM(args[1], i));
        ok = items != nullptr && PyDelta_CheckExact(items[0]) && PyDelta_CheckExact(items[1]);
        if (ok) {
            c_other[2 * i] = seconds_of(items[0]);
            c_other[2 * i + 1] = seconds_of(items[1]);
        }
    }
    // Keep the subtitle table observable, so that its writes are not dropped.
    if (ok && m > 0) {
        total = total + 0.0 * c_other[2 * m - 1];
    }
    PyMem_Free(c_base);
    PyMem_Free(c_other);
    if (!ok) {
        PyErr_SetString(PyExc_TypeError, "rows outside the direct conversion");
        return nullptr;
    }
    return PyFloat_FromDouble(total);
}

PyMethodDef methods[] = {
    {"walk", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(walk)), METH_FASTCALL,
     "Reads both lists into tables as match does, without the kernel."},
    {nullptr, nullptr, 0, nullptr}};

PyModuleDef module = {PyModuleDef_HEAD_INIT, "corvela_walk_floor", nullptr, -1, methods,
                      nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_corvela_walk_floor() {
    PyDateTime_IMPORT;
    if (PyDateTimeAPI == nullptr) {
        return nullptr;
    }
    return PyModule_Create(&module);
}
