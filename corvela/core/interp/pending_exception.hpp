// Holding the interpreter's pending exception while other API calls run.
#ifndef CORVELA_CORE_PENDING_EXCEPTION_HPP
#define CORVELA_CORE_PENDING_EXCEPTION_HPP

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "py_ref.hpp"

namespace corvela {

// Takes the pending exception (normalised) out of the interpreter on construction; whatever is
// still held at destruction is released.
class PendingException {
public:
    PendingException() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
        exc_ = PyErr_GetRaisedException();
#else
        PyErr_Fetch(&type_, &value_, &tb_);
        // One exception object for everyone who looks at it (sys.last_value, the hooks).
        PyErr_NormalizeException(&type_, &value_, &tb_);
        if (tb_ != nullptr && value_ != nullptr) {
            PyException_SetTraceback(value_, tb_);
        }
#endif
    }
    PendingException(const PendingException&) = delete;
    PendingException& operator=(const PendingException&) = delete;
    ~PendingException() {
        if (!may_release()) {  // see py_ref.hpp
            return;
        }
#if PY_VERSION_HEX >= 0x030C0000
        Py_XDECREF(exc_);
#else
        Py_XDECREF(type_);
        Py_XDECREF(value_);
        Py_XDECREF(tb_);
#endif
    }

    // Makes the exception pending again and gives up this hold on it.
    void restore() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
        PyErr_SetRaisedException(exc_);
        exc_ = nullptr;
#else
        PyErr_Restore(type_, value_, tb_);
        type_ = value_ = tb_ = nullptr;
#endif
    }

    // Makes the exception pending again and keeps holding it.
    void restore_copy() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
        Py_XINCREF(exc_);
        PyErr_SetRaisedException(exc_);
#else
        Py_XINCREF(type_);
        Py_XINCREF(value_);
        Py_XINCREF(tb_);
        PyErr_Restore(type_, value_, tb_);
#endif
    }

private:
#if PY_VERSION_HEX >= 0x030C0000
    PyObject* exc_ = nullptr;
#else
    PyObject* type_ = nullptr;
    PyObject* value_ = nullptr;
    PyObject* tb_ = nullptr;
#endif
};

}  // namespace corvela

#endif
