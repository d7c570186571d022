#include "namespace.h"

namespace qivo {

namespace {

// Looks `name` up in one namespace dict: a new reference, or none.
nb::object lookup(PyObject* namespace_dict, const char* name) {
    PyObject* found = nullptr;
    checked_status(PyDict_GetItemStringRef(namespace_dict, name, &found));
    return nb::steal(found);
}

[[noreturn]] void raise_name_error(const char* name) {
    nb::object message = checked(PyUnicode_FromFormat("name '%s' is not defined", name));
    nb::object name_text = checked(PyUnicode_FromString(name));
    nb::object error = checked(PyObject_CallOneArg(PyExc_NameError, message.ptr()));
    checked_status(PyObject_SetAttrString(error.ptr(), "name", name_text.ptr()));
    PyErr_SetRaisedException(error.release().ptr());
    nb::raise_python_error();
}

} // namespace

nb::object ModuleNamespace::get(const char* name) const {
    if (nb::object value = lookup(PyModule_GetDict(module_.ptr()), name); value.is_valid()) {
        return value;
    }
    nb::object builtins = checked(PyEval_GetFrameBuiltins());
    if (nb::object value = lookup(builtins.ptr(), name); value.is_valid()) {
        return value;
    }
    raise_name_error(name);
}

void ModuleNamespace::require_toml() const {
    if (!toml_available()) {
        raise_error(PyExc_ValueError,
                    "TOML library is required. Install one of: tomli, toml, or use Python 3.11+");
    }
}

void ModuleNamespace::print_check_line(std::initializer_list<TextPiece> pieces) const {
    print(concatenate({"\u2713 ", concatenate(pieces)}));
}

} // namespace qivo
