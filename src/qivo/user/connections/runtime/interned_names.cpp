#include "runtime/interned_names.h"

#include <nanobind/nanobind.h>

namespace qivo {

PyObject* intern_name(const char* text) {
    PyObject* name = PyUnicode_InternFromString(text);
    if (name == nullptr) {
        nanobind::raise_python_error();
    }
    return name;
}

} // namespace qivo
