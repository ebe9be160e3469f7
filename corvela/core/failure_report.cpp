// Reporting a contained failure: printed once by the exception printer (which also records
// sys.last_*), then once more through sys.unraisablehook.
#include "failure_report.hpp"

#include "pending_exception.hpp"
#include "py_ref.hpp"

namespace corvela {

double report_failure() {
    PendingException failure;
    failure.restore_copy();
    PyErr_PrintEx(1);
    PyRef context(PyUnicode_FromString("corvela.core.algo.match"));
    if (!context) {
        PyErr_Clear();
    }
    failure.restore();
    PyErr_WriteUnraisable(context ? context.get() : Py_None);
    return 0.0;
}

}  // namespace corvela
