#include "runtime/datetime_api.h"

#include "runtime/capi.h"

namespace qivo {

PyDateTime_CAPI* datetime_api = nullptr;

bool import_datetime() {
    if (datetime_api != nullptr) {
        return true;
    }
    datetime_api = static_cast<PyDateTime_CAPI*>(PyCapsule_Import(PyDateTime_CAPSULE_NAME, 0));
    if (datetime_api != nullptr) {
        return true;
    }
    // The pure-Python datetime module has no capsule (AttributeError); a
    // blocked module cannot be imported at all (ImportError).
    if (!PyErr_ExceptionMatches(PyExc_AttributeError) &&
        !PyErr_ExceptionMatches(PyExc_ImportError)) {
        nb::raise_python_error();
    }
    PyErr_Clear();
    return false;
}

} // namespace qivo
