// The entry of `match`: binding its two arguments, checking their types, and the traceback
// frame its errors carry.
#include "algo_module.hpp"

#include <frameobject.h>

#include "coverage.hpp"
#include "dict_item.hpp"
#include "keyword_names.hpp"
#include "pending_exception.hpp"
#include "py_ref.hpp"

namespace corvela::algo_module {

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

namespace {

// The namespace for the entry's traceback frame: the recorded module's or, while none is
// recorded (a module made from its spec but not executed, or one whose initialisation failed),
// that of the module the function belongs to.
PyObject* module_globals(PyObject* self) {
    PyObject* module = recorded_module() != nullptr ? recorded_module() : self;
    return module != nullptr && PyModule_Check(module) ? PyModule_GetDict(module) : nullptr;
}

const char* const kParameters[] = {"base", "other"};

PyObject* raise_count_error(Py_ssize_t given) {
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 "match", "exactly", static_cast<Py_ssize_t>(2), "s", given);
    return nullptr;
}

// Once base and other are bound, any keyword left over is an error: the first offending one in
// the dictionary's order decides which. Nothing here runs Python code (the names are compared
// as stored text), but the key is held while its message is made.
int check_unused_keywords(PyObject* kwds, Py_ssize_t nargs) {
    Py_ssize_t pos = 0;
    PyObject* borrowed_key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwds, &pos, &borrowed_key, &value)) {
        const PyRef key = PyRef::borrow(borrowed_key);
        const Py_ssize_t index = keyword_index("match", key.get(), kParameters, 2);
        if (index < 0) {
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
    // In order: base, then other, so that a key's __eq__ runs as it always has.
    PyRef* const bound[] = {base, other};
    Py_ssize_t from_keywords = 0;
    for (Py_ssize_t n = 0; n < 2; ++n) {
        if (n < nargs) {
            *bound[n] = PyRef::borrow(PyTuple_GET_ITEM(args, n));
            continue;
        }
        const int found = corvela::dict_item(kwds, kParameters[n], bound[n]);
        if (found <= 0) {
            if (found == 0) {
                raise_count_error(n);
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

}  // namespace

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

}  // namespace corvela::algo_module
