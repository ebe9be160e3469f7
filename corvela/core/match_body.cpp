// The body of `match`: lists in, coverage ratio out, failures contained.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "coverage.hpp"
#include "failure_report.hpp"
#include "interval_tables.hpp"

namespace corvela {

double match(PyObject* base, PyObject* other) {
    // Both lengths are measured, and both tables created, before any row is read.
    const Py_ssize_t base_len = PyObject_Length(base);
    if (base_len < 0) {
        return report_failure();
    }
    const Py_ssize_t other_len = PyObject_Length(other);
    if (other_len < 0) {
        return report_failure();
    }
    IntervalTable c_base;
    IntervalTable c_other;
    double base_total = 0.0;
    bool speech_in_order = false;
    if (c_base.create(base_len) < 0 || c_other.create(other_len) < 0 ||
        fill_speech(base, c_base, &base_total, &speech_in_order) < 0 ||
        fill_subtitles(other, c_other) < 0) {
        return report_failure();
    }
    return overlap_ratio(c_base.data(), static_cast<std::size_t>(base_len), c_other.data(),
                         static_cast<std::size_t>(other_len), base_total, speech_in_order);
}

}  // namespace corvela
