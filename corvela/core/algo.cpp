// The module corvela.core.algo: its definition, initialisation and the entry of `match`.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <datetime.h>
#include <frameobject.h>

#include <cstdio>
#include <cstring>

#include "coverage.hpp"
#include "dict_item.hpp"
#include "interval_tables.hpp"
#include "pending_exception.hpp"
#include "py_ref.hpp"

namespace {

using corvela::PyRef;

// The module is single-phase in spirit: one object per process, bound to the interpreter that
// first created it.
PyObject* module_object = nullptr;
int64_t main_interpreter_id = -1;

// Adds a frame with the given label to the traceback of the pending exception. A failure while
// building the frame is dropped so that the original exception survives.
void add_traceback(const char* funcname, int line, PyObject* borrowed_globals) {
    // Building the frame allocates, and a collection it starts can run finalisers.
    const PyRef globals = PyRef::borrow(borrowed_globals);
    corvela::PendingException pending;
    PyCodeObject* code = PyCode_NewEmpty("corvela/core/algo", funcname, line);
    PyFrameObject* frame = nullptr;
    // A frame without globals would crash the interpreter: no namespace, no entry.
    if (code != nullptr && globals) {
        frame = PyFrame_New(PyThreadState_Get(), code, globals.get(), nullptr);
    }
    PyErr_Clear();
    pending.restore();
    if (frame != nullptr) {
        PyTraceBack_Here(frame);
    }
    Py_XDECREF(frame);
    Py_XDECREF(code);
}

// The namespace for the entry's traceback frame: the recorded module's or, while none is
// recorded (a module made from its spec but not executed, or one whose initialisation failed),
// that of the module the function belongs to.
PyObject* module_globals(PyObject* self) {
    PyObject* module = module_object != nullptr ? module_object : self;
    return module != nullptr && PyModule_Check(module) ? PyModule_GetDict(module) : nullptr;
}

// --- match -------------------------------------------------------------------------------

PyObject* raise_count_error(Py_ssize_t given) {
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 "match", "exactly", static_cast<Py_ssize_t>(2), "s", given);
    return nullptr;
}

// Once base and other are bound, any keyword left over is an error: the first offending one in
// the dictionary's order decides which. Nothing here runs Python code (the names are compared
// as stored text), but the key is held while its message is made.
int check_unused_keywords(PyObject* kwds, Py_ssize_t nargs) {
    static const char* const names[] = {"base", "other"};
    Py_ssize_t pos = 0;
    PyObject* borrowed_key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwds, &pos, &borrowed_key, &value)) {
        const PyRef key = PyRef::borrow(borrowed_key);
        if (!PyUnicode_Check(key.get())) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", "match");
            return -1;
        }
        Py_ssize_t index = -1;
        for (Py_ssize_t n = 0; n < 2; ++n) {
            if (PyUnicode_CompareWithASCIIString(key.get(), names[n]) == 0) {
                index = n;
            }
        }
        if (index < 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", "match",
                         key.get());
            return -1;
        }
        if (index < nargs) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                         "match", key.get());
            return -1;
        }
    }
    return 0;
}

// Binds base and other, each to a reference of its own taken the moment it is bound: looking up
// the next keyword can run a key's __eq__, which can drop the dictionary's reference to a value
// already bound.
int bind_arguments(PyObject* args, PyObject* kwds, PyRef* base, PyRef* other) {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (kwds == nullptr || PyDict_GET_SIZE(kwds) == 0) {
        if (nargs != 2) {
            raise_count_error(nargs);
            return -1;
        }
        *base = PyRef::borrow(PyTuple_GET_ITEM(args, 0));
        *other = PyRef::borrow(PyTuple_GET_ITEM(args, 1));
        return 0;
    }
    if (nargs > 2) {
        raise_count_error(nargs);
        return -1;
    }
    Py_ssize_t from_keywords = 0;
    if (nargs >= 1) {
        *base = PyRef::borrow(PyTuple_GET_ITEM(args, 0));
    } else {
        const int found = corvela::dict_item(kwds, "base", base);
        if (found <= 0) {
            if (found == 0) {
                raise_count_error(0);
            }
            return -1;
        }
        ++from_keywords;
    }
    if (nargs == 2) {
        *other = PyRef::borrow(PyTuple_GET_ITEM(args, 1));
    } else {
        const int found = corvela::dict_item(kwds, "other", other);
        if (found <= 0) {
            if (found == 0) {
                raise_count_error(1);
            }
            return -1;
        }
        ++from_keywords;
    }
    if (PyDict_GET_SIZE(kwds) > from_keywords) {
        return check_unused_keywords(kwds, nargs);
    }
    return 0;
}

int check_list_or_none(PyObject* value, const char* name) {
    if (value == Py_None || PyList_CheckExact(value)) {
        return 0;
    }
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                 name, "list", Py_TYPE(value)->tp_name);
    return -1;
}

PyObject* match_entry(PyObject* self, PyObject* args, PyObject* kwds) {
    // Owned until the call ends: a caller calling from C may hand us a keyword dictionary that
    // user code run during the conversion can reach and clear.
    PyRef base;
    PyRef other;
    if (bind_arguments(args, kwds, &base, &other) < 0) {
        add_traceback("corvela.core.algo.match", 15, module_globals(self));
        return nullptr;
    }
    if (check_list_or_none(base.get(), "base") < 0 ||
        check_list_or_none(other.get(), "other") < 0) {
        return nullptr;
    }
    PyObject* result = PyFloat_FromDouble(corvela::match(base.get(), other.get()));
    if (result == nullptr) {
        add_traceback("corvela.core.algo.match", 15, module_globals(self));
    }
    return result;
}

PyMethodDef module_methods[] = {
    {"match", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(match_entry)),
     METH_VARARGS | METH_KEYWORDS,
     "\n    Based on the data structure, calculate that how much of the time that there is\n"
     "    some speech going on in base, there is a subtitle in other.\n    "},
    {nullptr, nullptr, 0, nullptr},
};

// --- initialisation ----------------------------------------------------------------------

// Copies spec.<from> into the module dictionary as <to>; a missing attribute is skipped.
int copy_spec_attribute(PyObject* spec, PyObject* dict, const char* from, const char* to,
                        bool allow_none) {
    PyRef value(PyObject_GetAttrString(spec, from));
    if (!value) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            return 0;
        }
        return -1;
    }
    if (!allow_none && value.get() == Py_None) {
        return 0;
    }
    return PyDict_SetItemString(dict, to, value.get());
}

PyObject* module_create(PyObject* spec, PyModuleDef* /*def*/) {
    const int64_t current_id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (main_interpreter_id == -1) {
        main_interpreter_id = current_id;
        if (current_id == -1) {
            return nullptr;
        }
    } else if (current_id != main_interpreter_id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return nullptr;
    }
    if (module_object != nullptr) {
        Py_INCREF(module_object);
        return module_object;
    }
    PyRef name(PyObject_GetAttrString(spec, "name"));
    if (!name) {
        return nullptr;
    }
    PyRef module(PyModule_NewObject(name.get()));
    if (!module) {
        return nullptr;
    }
    PyObject* dict = PyModule_GetDict(module.get());
    if (dict == nullptr || copy_spec_attribute(spec, dict, "loader", "__loader__", true) < 0 ||
        copy_spec_attribute(spec, dict, "origin", "__file__", true) < 0 ||
        copy_spec_attribute(spec, dict, "parent", "__package__", true) < 0 ||
        copy_spec_attribute(spec, dict, "submodule_search_locations", "__path__", false) < 0) {
        return nullptr;
    }
    return module.release();
}

// Warns, or fails, when a type the interpreter hands us is laid out differently from the
// headers this module was built with.
int check_type_size(PyObject* module, const char* module_name, const char* attribute,
                    size_t expected) {
    PyRef object(PyObject_GetAttrString(module, attribute));
    if (!object) {
        return -1;
    }
    if (!PyType_Check(object.get())) {
        PyErr_Format(PyExc_TypeError, "%.200s.%.200s is not a type object", module_name, attribute);
        return -1;
    }
    const Py_ssize_t actual = reinterpret_cast<PyTypeObject*>(object.get())->tp_basicsize;
    const Py_ssize_t header = static_cast<Py_ssize_t>(expected);
    if (static_cast<size_t>(actual) < expected) {
        PyErr_Format(PyExc_ValueError,
                     "%.200s.%.200s size changed, may indicate binary incompatibility. Expected "
                     "%zd from C header, got %zd from PyObject",
                     module_name, attribute, header, actual);
        return -1;
    }
    if (static_cast<size_t>(actual) > expected) {
        return PyErr_WarnFormat(PyExc_RuntimeWarning, 0,
                                "%s.%s size changed, may indicate binary incompatibility. "
                                "Expected %zd from C header, got %zd from PyObject",
                                module_name, attribute, header, actual);
    }
    return 0;
}

int check_types() {
    PyRef builtins(PyImport_ImportModule("builtins"));
    if (!builtins || check_type_size(builtins.get(), "builtins", "type", sizeof(PyHeapTypeObject)) < 0) {
        return -1;
    }
    PyRef datetime(PyImport_ImportModule("datetime"));
    if (!datetime) {
        return -1;
    }
    static const struct {
        const char* name;
        size_t size;
    } datetime_types[] = {
        {"date", sizeof(PyDateTime_Date)},         {"time", sizeof(PyDateTime_Time)},
        {"datetime", sizeof(PyDateTime_DateTime)}, {"timedelta", sizeof(PyDateTime_Delta)},
        {"tzinfo", sizeof(PyDateTime_TZInfo)},
    };
    for (const auto& t : datetime_types) {
        if (check_type_size(datetime.get(), "datetime", t.name, t.size) < 0) {
            return -1;
        }
    }
    return 0;
}

// Warns when the running interpreter's major.minor differs from the headers' in the characters
// that the three-character form keeps.
int check_version() {
    // Both forms keep three characters: "3.12" and "3.13.0 (main, ...)" both read as "3.1".
    char full[32];
    std::snprintf(full, sizeof full, "%d.%d", PY_MAJOR_VERSION, PY_MINOR_VERSION);
    char built[4] = {0};
    char running[4] = {0};
    std::memcpy(built, full, 3);
    std::snprintf(running, sizeof running, "%.3s", Py_GetVersion());
    if (built[0] != running[0] || built[2] != running[2]) {
        return PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                                "compiletime version %s of module '%.100s' does not match "
                                "runtime version %s",
                                built, "corvela.core.algo", running);
    }
    return 0;
}

// Set when this module's exec slot entered it in sys.modules itself (an import under another
// name), so that a failed initialisation can take the entry back out.
bool registered_by_exec = false;

int initialise(PyObject* module) {
    if (check_version() < 0) {
        return -1;
    }
    Py_INCREF(module);
    module_object = module;
    PyRef builtins(PyImport_ImportModule("builtins"));
    if (!builtins || PyObject_SetAttrString(module, "__builtins__", builtins.get()) < 0) {
        return -1;
    }
    const PyRef modules = PyRef::borrow(PyImport_GetModuleDict());
    PyRef present;
    const int found = corvela::dict_item(modules.get(), "corvela.core.algo", &present);
    if (found < 0) {
        return -1;
    }
    if (found == 0) {
        if (PyDict_SetItemString(modules.get(), "corvela.core.algo", module) < 0) {
            return -1;
        }
        registered_by_exec = true;
    }
    if (check_types() < 0) {
        return -1;
    }
    corvela::record_timedelta_type();
    PyRef test(PyDict_New());
    if (!test || PyObject_SetAttrString(module, "__test__", test.get()) < 0) {
        return -1;
    }
    return 0;
}

int module_exec(PyObject* module) {
    if (module_object != nullptr) {
        if (module_object == module) {
            return 0;
        }
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'algo' has already been imported. Re-initialisation is not "
                        "supported.");
        return -1;
    }
    if (initialise(module) == 0) {
        return 0;
    }
    if (module_object != nullptr) {
        add_traceback("init corvela.core.algo", 1, PyModule_GetDict(module_object));
        if (registered_by_exec) {
            // Otherwise the next `import corvela.core.algo` would find the half-initialised
            // module there instead of starting again from the create slot.
            corvela::PendingException pending;
            const PyRef modules = PyRef::borrow(PyImport_GetModuleDict());
            PyRef present;
            if (corvela::dict_item(modules.get(), "corvela.core.algo", &present) < 0 ||
                (present.get() == module_object &&
                 PyDict_DelItemString(modules.get(), "corvela.core.algo") < 0)) {
                PyErr_Clear();
            }
            present.reset();
            pending.restore();
            registered_by_exec = false;
        }
        Py_CLEAR(module_object);
    } else if (!PyErr_Occurred()) {
        PyErr_SetString(PyExc_ImportError, "init corvela.core.algo");
    }
    return -1;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "algo",
    "Speech coverage by subtitles, for Python 3.9 and later.\n\n"
    "Written by the corvela developers, 2026.",
    0,
    module_methods,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_algo(void) {
    return PyModuleDef_Init(&module_def);
}
