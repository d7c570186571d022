#include "runtime/module_namespace.h"

namespace qivo {

namespace {

// Looks `name` up in one namespace dict: a new reference, or none.
nb::object lookup(PyObject* namespace_dict, nb::handle name) {
    PyObject* found = nullptr;
    checked_status(PyDict_GetItemRef(namespace_dict, name.ptr(), &found));
    return nb::steal(found);
}

[[noreturn]] void raise_name_error(nb::handle name) {
    nb::object message = checked(PyUnicode_FromFormat("name '%U' is not defined", name.ptr()));
    nb::object error = checked(PyObject_CallOneArg(PyExc_NameError, message.ptr()));
    checked_status(PyObject_SetAttr(error.ptr(), "name"_id, name.ptr()));
    PyErr_SetRaisedException(error.release().ptr());
    nb::raise_python_error();
}

} // namespace

nb::object ModuleNamespace::get(nb::handle name) const {
    if (nb::object value = lookup(PyModule_GetDict(module_.ptr()), name); value.is_valid()) {
        return value;
    }
    nb::object builtins = checked(PyEval_GetFrameBuiltins());
    if (nb::object value = lookup(builtins.ptr(), name); value.is_valid()) {
        return value;
    }
    raise_name_error(name);
}

} // namespace qivo
