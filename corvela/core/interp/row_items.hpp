// Reading the rows of a caller's list, shared by the converters of `match` and of the offset
// calls.
//
// Converting an item can run Python code, which can shrink, clear or refill the list and drop
// the last reference to the row in hand. So a row is taken through a RowSource, which applies
// the reader's rule for a list that changed size and hands back a reference of its own.
#ifndef CORVELA_CORE_ROW_ITEMS_HPP
#define CORVELA_CORE_ROW_ITEMS_HPP

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "py_ref.hpp"

namespace corvela {

// An exact list read row by row, under one of two rules for a size that changes on the way:
// - match's: the list is read as it is now, and only a row number past its current end is
//   refused, with IndexError "list index out of range";
// - the offset calls': the list must keep the size it had, and any change is refused with a
//   RuntimeError that names the argument and the function reading it.
class RowSource {
public:
    // match's rule.
    explicit RowSource(PyObject* list) noexcept : list_(list) {}
    // The offset calls' rule, for the argument `name` of `caller`(), of `rows` rows.
    RowSource(PyObject* list, Py_ssize_t rows, const char* name, const char* caller) noexcept
        : list_(list), rows_(rows), name_(name), caller_(caller) {}

    // 0 while the list is as the rule wants it; -1 with the rule's error set otherwise.
    int check_size() const;
    // Row i, held, once check_size() has passed (for match's rule: once i is below the end).
    PyRef take_row(Py_ssize_t i) const;

    const char* name() const noexcept { return name_; }

private:
    PyObject* list_;
    Py_ssize_t rows_ = -1;  // -1: match's rule
    const char* name_ = nullptr;
    const char* caller_ = nullptr;
};

// Item k (0 or 1) of a row: stored items of exact lists and tuples, otherwise the type's own
// sequence item operation, otherwise general subscription (so a mapping serves as a row).
// Null with an exception set on failure; the call may run Python code.
PyRef take_item(PyObject* row, Py_ssize_t k);

// A number as float() reads it: an exact float directly, anything else through
// PyFloat_AsDouble (which may run __float__ or __index__). -1 with an exception set on failure.
int to_double(PyObject* value, double* out);

}  // namespace corvela

#endif
