#include "timedelta_reader.hpp"

namespace corvela {

int readable_timedelta_type(PyTypeObject** type) {
    *type = nullptr;
    // The capsule exists only when datetime is backed by its C implementation.
    auto* api = static_cast<PyDateTime_CAPI*>(PyCapsule_Import(PyDateTime_CAPSULE_NAME, 0));
    if (api == nullptr) {
        return -1;
    }
    PyTypeObject* delta = api->DeltaType;
    if (delta != nullptr &&
        delta->tp_basicsize == static_cast<Py_ssize_t>(sizeof(PyDateTime_Delta))) {
        *type = delta;
    }
    return 0;
}

}  // namespace corvela
