// Owner of one strong reference to an interpreter object.
#ifndef CORVELA_CORE_PY_REF_HPP
#define CORVELA_CORE_PY_REF_HPP

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace corvela {

// Whether this thread may drop references. Up to CPython 3.13 a thread that takes the interpreter
// lock back while the interpreter exits is ended by an unwind through its C++ frames, without
// the lock (any call that can run Python code can take it back, not only the end of an unlocked
// section): the owners in those frames then let go of their objects without touching them, as
// C frames would. Outside that unwind the check costs a read of the runtime's exit flag.
inline bool may_release() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return !Py_IsFinalizing() || PyGILState_Check();
#else
    return !_Py_IsFinalizing() || PyGILState_Check();
#endif
}

class PyRef {
public:
    PyRef() noexcept = default;
    // Takes over a new reference (or null, as returned by a failed API call).
    explicit PyRef(PyObject* owned) noexcept : obj_(owned) {}
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    PyRef(PyRef&& other) noexcept : obj_(other.release()) {}
    PyRef& operator=(PyRef&& other) noexcept {
        reset(other.release());
        return *this;
    }
    ~PyRef() {
        if (obj_ != nullptr && may_release()) {
            Py_DECREF(obj_);
        }
    }

    // Takes a new reference to a borrowed object.
    static PyRef borrow(PyObject* borrowed) noexcept {
        Py_XINCREF(borrowed);
        return PyRef(borrowed);
    }

    PyObject* get() const noexcept { return obj_; }
    explicit operator bool() const noexcept { return obj_ != nullptr; }
    PyObject* release() noexcept {
        PyObject* out = obj_;
        obj_ = nullptr;
        return out;
    }
    // Drops the old reference last: its finaliser may run Python code that looks at us.
    void reset(PyObject* owned = nullptr) noexcept {
        PyObject* old = obj_;
        obj_ = owned;
        Py_XDECREF(old);
    }

private:
    PyObject* obj_ = nullptr;
};

}  // namespace corvela

#endif
