// The set-up of the module corvela.core.algo: one module object per process, bound to the
// interpreter that first made it, and the checks that the running interpreter is the one the
// module was built for.
#include "algo_module.hpp"

#include <datetime.h>

#include <cstdio>
#include <cstring>

#include "dict_item.hpp"
#include "interval_tables.hpp"
#include "pending_exception.hpp"
#include "py_ref.hpp"

namespace corvela::algo_module {

namespace {

// The module is single-phase in spirit: one object per process, bound to the interpreter that
// first created it.
PyObject* module_object = nullptr;
int64_t main_interpreter_id = -1;

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

}  // namespace

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

namespace {

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

}  // namespace

PyObject* recorded_module() {
    return module_object;
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

}  // namespace corvela::algo_module
