// Reading timedeltas from their C fields, for both modules.
//
// A timedelta holds whole days, seconds and microseconds; its exact count of microseconds needs
// 128 bits at the ends of its range. Counts up to 2**53 in magnitude (about 285 years) also fit
// 64 bits and a double, which is what match's direct path needs.
#ifndef CORVELA_CORE_TIMEDELTA_READER_HPP
#define CORVELA_CORE_TIMEDELTA_READER_HPP

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <datetime.h>

#include <cstdint>

#include "exact_seconds.hpp"

namespace corvela {

// The C implementation's timedelta type, from the datetime capsule, into *type: null when its
// instances are laid out otherwise than this build's headers say (their fields cannot be read
// then). -1 with the capsule's import error set when there is no C datetime module.
// Types of the C datetime module are static: never freed.
int readable_timedelta_type(PyTypeObject** type);

// The exact microseconds of a timedelta of that type (or a subtype). Runs no Python code.
inline Microseconds microseconds_of(PyObject* delta) {
    return Microseconds{PyDateTime_DELTA_GET_DAYS(delta)} * kMicrosecondsPerDay +
           Microseconds{PyDateTime_DELTA_GET_SECONDS(delta)} * 1000000 +
           PyDateTime_DELTA_GET_MICROSECONDS(delta);
}

// The same count in 64 bits when its magnitude is at most kExactDoubleLimit; false otherwise.
// days * 86400 * 10**6 would overflow 64 bits for the largest timedeltas, so the seconds are
// bounded before they are scaled.
inline bool small_microseconds(PyObject* delta, std::int64_t* us) {
    const std::int64_t seconds = std::int64_t{PyDateTime_DELTA_GET_DAYS(delta)} * 86400 +
                                 PyDateTime_DELTA_GET_SECONDS(delta);
    if (seconds > kExactDoubleLimit / 1000000 || seconds < -(kExactDoubleLimit / 1000000) - 1) {
        return false;
    }
    const std::int64_t total = seconds * 1000000 + PyDateTime_DELTA_GET_MICROSECONDS(delta);
    if (total > kExactDoubleLimit || total < -kExactDoubleLimit) {
        return false;
    }
    *us = total;
    return true;
}

}  // namespace corvela

#endif
