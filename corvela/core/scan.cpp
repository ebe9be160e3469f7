// The module corvela.core.scan: `coverage`, the coverage of the speech by one subtitle list
// under each of many common shifts, with the bits `match` gives for each shifted list.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <datetime.h>

#include <cstdio>
#include <cstring>

#include "offset_scan.hpp"
#include "py_ref.hpp"
#include "scan_input.hpp"

namespace {

using corvela::PyRef;

struct ModuleState {
    PyTypeObject* timedelta;  // the C implementation's type, whose fields are read directly
};

ModuleState* state_of(PyObject* module) {
    return static_cast<ModuleState*>(PyModule_GetState(module));
}

// --- argument binding ----------------------------------------------------------------------

constexpr Py_ssize_t kParameters = 3;
const char* const kNames[kParameters] = {"base", "other", "offsets"};

int raise_missing(PyObject* const* bound) {
    Py_ssize_t missing = 0;
    for (Py_ssize_t n = 0; n < kParameters; ++n) {
        missing += bound[n] == nullptr;
    }
    // As Python words it: 'a', 'a' and 'b', 'a', 'b', and 'c'.
    char list[64] = "";
    Py_ssize_t listed = 0;
    for (Py_ssize_t n = 0; n < kParameters; ++n) {
        if (bound[n] != nullptr) {
            continue;
        }
        ++listed;
        const char* separator = listed == 1         ? ""
                                : listed < missing  ? ", "
                                : missing == 2      ? " and "
                                                    : ", and ";
        const size_t used = std::strlen(list);
        std::snprintf(list + used, sizeof list - used, "%s'%s'", separator, kNames[n]);
    }
    PyErr_Format(PyExc_TypeError, "coverage() missing %zd required positional argument%s: %s",
                 missing, missing == 1 ? "" : "s", list);
    return -1;
}

// Binds coverage(base, other, offsets), by position or keyword, into bound[0..2] (borrowed: the
// vector is the caller's for the whole call). Runs no Python code: keyword names are compared
// as strings, never hashed or compared through __eq__.
int bind_arguments(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames, PyObject** bound) {
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (nargs > kParameters) {
        PyErr_Format(PyExc_TypeError, "coverage() takes 3 positional arguments but %zd were given",
                     nargs);
        return -1;
    }
    for (Py_ssize_t n = 0; n < kParameters; ++n) {
        bound[n] = n < nargs ? args[n] : nullptr;
    }
    const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t w = 0; w < nkw; ++w) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, w);
        if (!PyUnicode_Check(key)) {
            PyErr_SetString(PyExc_TypeError, "coverage() keywords must be strings");
            return -1;
        }
        Py_ssize_t index = -1;
        for (Py_ssize_t n = 0; n < kParameters && index < 0; ++n) {
            if (PyUnicode_CompareWithASCIIString(key, kNames[n]) == 0) {
                index = n;
            }
        }
        if (index < 0) {
            PyErr_Format(PyExc_TypeError, "coverage() got an unexpected keyword argument '%U'",
                         key);
            return -1;
        }
        if (bound[index] != nullptr) {
            PyErr_Format(PyExc_TypeError, "coverage() got multiple values for argument '%s'",
                         kNames[index]);
            return -1;
        }
        bound[index] = args[nargs + w];
    }
    if (bound[0] == nullptr || bound[1] == nullptr || bound[2] == nullptr) {
        return raise_missing(bound);
    }
    return 0;
}

int check_list(PyObject* value, const char* name) {
    if (PyList_CheckExact(value)) {
        return 0;
    }
    PyErr_Format(PyExc_TypeError, "coverage() argument '%s' must be list, not %.200s", name,
                 Py_TYPE(value)->tp_name);
    return -1;
}

// --- coverage ------------------------------------------------------------------------------

PyObject* result_list(const double* values, Py_ssize_t count) {
    PyRef list(PyList_New(count));
    if (!list) {
        return nullptr;
    }
    for (Py_ssize_t k = 0; k < count; ++k) {
        PyObject* value = PyFloat_FromDouble(values[k]);
        if (value == nullptr) {
            return nullptr;
        }
        PyList_SET_ITEM(list.get(), k, value);
    }
    return list.release();
}

PyObject* coverage(PyObject* module, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    PyObject* bound[kParameters];
    if (bind_arguments(args, nargsf, kwnames, bound) < 0) {
        return nullptr;
    }
    // Held for the whole call, whatever the caller does with its own references meanwhile.
    const PyRef base = PyRef::borrow(bound[0]);
    const PyRef other = PyRef::borrow(bound[1]);
    const PyRef offsets = PyRef::borrow(bound[2]);
    if (check_list(base.get(), "base") < 0 || check_list(other.get(), "other") < 0) {
        return nullptr;
    }
    if (!PySequence_Check(offsets.get())) {
        PyErr_Format(PyExc_TypeError,
                     "coverage() argument 'offsets' must be a sequence of datetime.timedelta, not "
                     "%.200s",
                     Py_TYPE(offsets.get())->tp_name);
        return nullptr;
    }
    corvela::ScanInput input;
    if (corvela::read_scan_input(base.get(), other.get(), offsets.get(),
                                 state_of(module)->timedelta, input) < 0) {
        return nullptr;
    }
    const auto subtitle_len = static_cast<std::size_t>(input.subtitle_len);
    const auto offset_count = static_cast<std::size_t>(input.offset_count);
    corvela::NativeArray<double> work;
    corvela::NativeArray<double> results;
    if (work.create(corvela::scan_work_doubles(subtitle_len)) < 0 ||
        results.create(offset_count) < 0) {
        return nullptr;
    }
    const corvela::ShiftScan scan{input.speech.data(), static_cast<std::size_t>(input.speech_len),
                                  input.base_total, input.subtitles.data(), subtitle_len};
    // Only native tables from here on: other threads run while the offsets are computed.
    Py_BEGIN_ALLOW_THREADS
    corvela::scan_offsets(scan, input.offsets.data(), offset_count, work.data(), results.data());
    Py_END_ALLOW_THREADS
    return result_list(results.data(), input.offset_count);
}

PyMethodDef module_methods[] = {
    {"coverage", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(coverage)),
     METH_FASTCALL | METH_KEYWORDS,
     "coverage($module, /, base, other, offsets)\n--\n\n"
     "Coverage of the speech by the subtitles shifted by each offset.\n\n"
     "Element k equals match(base, [[s + offsets[k], e + offsets[k]] for s, e in other]),\n"
     "bit for bit, but each list is converted once and the offsets are computed without\n"
     "the interpreter lock.\n\n"
     "base: exactly a list of rows [start, end] of numbers, in seconds.\n"
     "other: exactly a list of rows [start, end] of datetime.timedelta (a subclass that\n"
     "    overrides __add__, __radd__ or total_seconds is refused).\n"
     "offsets: any sequence of datetime.timedelta (the same rule for subclasses).\n\n"
     "Raises TypeError for arguments, rows or bounds of the wrong type, IndexError for a\n"
     "row with fewer than two items, ValueError when base or other is empty, OverflowError\n"
     "when a shifted bound leaves timedelta's range, and RuntimeError when code run by a\n"
     "conversion changes the size of base or other."},
    {nullptr, nullptr, 0, nullptr},
};

// --- initialisation ------------------------------------------------------------------------

int module_exec(PyObject* module) {
    auto* api = static_cast<PyDateTime_CAPI*>(PyCapsule_Import(PyDateTime_CAPSULE_NAME, 0));
    if (api == nullptr) {
        return -1;
    }
    PyTypeObject* type = api->DeltaType;
    // The fields are read with this build's struct layout.
    if (type == nullptr ||
        type->tp_basicsize != static_cast<Py_ssize_t>(sizeof(PyDateTime_Delta))) {
        PyErr_SetString(PyExc_ImportError,
                        "corvela.core.scan needs the C datetime module it was built against");
        return -1;
    }
    Py_INCREF(type);
    state_of(module)->timedelta = type;
    return 0;
}

int module_traverse(PyObject* module, visitproc visit, void* arg) {
    ModuleState* state = state_of(module);
    if (state != nullptr) {
        Py_VISIT(state->timedelta);
    }
    return 0;
}

int module_clear(PyObject* module) {
    ModuleState* state = state_of(module);
    if (state != nullptr) {
        Py_CLEAR(state->timedelta);
    }
    return 0;
}

void module_free(void* module) {
    module_clear(static_cast<PyObject*>(module));
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "corvela.core.scan",
    "Speech coverage by subtitles under many candidate offsets.",
    sizeof(ModuleState),
    module_methods,
    module_slots,
    module_traverse,
    module_clear,
    module_free,
};

}  // namespace

PyMODINIT_FUNC PyInit_scan(void) {
    return PyModuleDef_Init(&module_def);
}
