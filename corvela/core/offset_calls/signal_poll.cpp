// Ctrl-C during work done without the interpreter lock.
#include "signal_poll.hpp"

#include "py_ref.hpp"

namespace corvela {

int handles_signals() {
    if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
        return 0;
    }
    // threading knows the main thread; it is not imported here, since importing it from another
    // thread would make that thread the main one for good. Without it no thread was started
    // through it, so this is almost surely the only one: look for signals, which at worst costs
    // another thread a moment of the lock every interval.
    PyRef name(PyUnicode_FromString("threading"));
    if (!name) {
        return -1;
    }
    PyRef threading(PyImport_GetModule(name.get()));
    if (!threading) {
        return PyErr_Occurred() ? -1 : 1;
    }
    PyRef main_thread(PyObject_CallMethod(threading.get(), "main_thread", nullptr));
    if (!main_thread) {
        return -1;
    }
    PyRef ident(PyObject_GetAttrString(main_thread.get(), "ident"));
    if (!ident) {
        return -1;
    }
    // Anything but an int is no thread's identity (the mask reads an int without running code).
    return PyLong_Check(ident.get()) &&
                   PyLong_AsUnsignedLongMask(ident.get()) == PyThread_get_thread_ident()
               ? 1
               : 0;
}

UnlockedSection::UnlockedSection(bool polls)
    : saved_(PyEval_SaveThread()), polls_(polls), last_(Clock::now()) {}

void UnlockedSection::finish() {
    PyEval_RestoreThread(saved_);
}

bool UnlockedSection::stop_requested() {
    const Clock::time_point now = Clock::now();
    if (now - last_ < kInterval) {
        return false;
    }
    // Up to CPython 3.13 this does not return while the interpreter exits: the thread is ended
    // by an unwind (see stop_check.hpp).
    PyEval_RestoreThread(saved_);
    const bool raised = PyErr_CheckSignals() < 0;
    saved_ = PyEval_SaveThread();
    last_ = Clock::now();
    return raised;
}

}  // namespace corvela
