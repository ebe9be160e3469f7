// Reading the arguments of `coverage` and `best_offset` into native tables, once per call.
#ifndef CORVELA_CORE_SCAN_INPUT_HPP
#define CORVELA_CORE_SCAN_INPUT_HPP

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "exact_seconds.hpp"
#include "native_array.hpp"

namespace corvela {

struct ScanInput {
    NativeArray<double> speech;  // 2 * speech_len bounds, in seconds
    Py_ssize_t speech_len = 0;
    double base_total = 0.0;
    NativeArray<Microseconds> subtitles;  // 2 * subtitle_len bounds, exact
    Py_ssize_t subtitle_len = 0;
    NativeArray<Microseconds> offsets;
    Py_ssize_t offset_count = 0;
};

// Fills `input` from the three arguments of `coverage` (base and other exact lists, offsets any
// sequence), `timedelta` being the C timedelta type. Raises, naming the argument and the row,
// for anything `coverage` refuses, including a shift that leaves timedelta's range; -1 then.
// User code run by the conversions may change the lists: a list whose size changes while it is
// read raises RuntimeError.
int read_scan_input(PyObject* base, PyObject* other, PyObject* offsets, PyTypeObject* timedelta,
                    ScanInput& input);

// Fills the speech and subtitle tables of `input` from base and other alone, as
// read_scan_input() does, `caller` naming the function in the messages.
int read_scan_tables(PyObject* base, PyObject* other, PyTypeObject* timedelta, const char* caller,
                     ScanInput& input);

// True for a float or an object with __float__ or __index__: what a bound or factor may be.
bool is_real_number(PyObject* value);

// The exact microseconds of a timedelta that shifts exactly (timedelta, or a subclass that
// overrides none of __add__, __radd__ and total_seconds); TypeError naming `place` otherwise.
// Runs no Python code.
int read_shift(PyObject* value, PyTypeObject* timedelta, const char* place, Microseconds* out);

}  // namespace corvela

#endif
