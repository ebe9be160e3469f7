// Native interval tables built from the Python lists handed to `match`.
#ifndef CORVELA_CORE_INTERVAL_TABLES_HPP
#define CORVELA_CORE_INTERVAL_TABLES_HPP

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "owned_array.hpp"

namespace corvela {

// `count` rows by 2 columns of doubles, row-major, in interpreter-allocated storage.
class IntervalTable {
public:
    IntervalTable() noexcept = default;
    IntervalTable(const IntervalTable&) = delete;
    IntervalTable& operator=(const IntervalTable&) = delete;

    // Allocates the rows (left uninitialised); -1 with an exception set on failure.
    int create(Py_ssize_t count);

    double* data() const noexcept { return cells_.data(); }
    Py_ssize_t count() const noexcept { return count_; }

private:
    OwnedArray<double, ObjectMemory> cells_;
    Py_ssize_t count_ = 0;
};

// Records, once at module initialisation, the C timedelta type whose instances `fill_subtitles`
// converts from their fields. Never fails: without that type every bound takes total_seconds().
void record_timedelta_type();

// Fills `table` from `base`, rows of plain numbers, and sums the row lengths into *base_total.
// *starts_in_order is set true only when every start is a number no smaller than the one before
// (false says nothing).
int fill_speech(PyObject* base, IntervalTable& table, double* base_total, bool* starts_in_order);

// The two steps of fill_speech's sum, for a caller that converts rows its own way but needs the
// same total to the last bit. fill_plain_speech converts the run of plain rows (exact lists or
// tuples of two exact floats) of `base` from row i on into `cells` (two a row), adds their
// lengths to *total, clears *in_order unless their starts never decrease (set it true before
// the first run), and returns the first row it left alone; no Python code runs. Every other
// row's length is added by add_speech_length.
Py_ssize_t fill_plain_speech(PyObject* base, double* cells, Py_ssize_t i, Py_ssize_t count,
                             double* total, bool* in_order);
double add_speech_length(double total, double start, double end);

// Fills `table` from `other`, rows of objects answering total_seconds().
int fill_subtitles(PyObject* other, IntervalTable& table);

}  // namespace corvela

#endif
