#include "runtime/context_manager.h"

namespace qivo::detail {

nb::object enter_context(nb::handle manager, nb::object& exit) {
    nb::object enter = checked(PyObject_GetAttr(manager.ptr(), "__enter__"_id));
    exit = checked(PyObject_GetAttr(manager.ptr(), "__exit__"_id));
    return checked(PyObject_CallNoArgs(enter.ptr()));
}

void exit_context_cleanly(nb::handle exit) {
    checked(PyObject_CallFunctionObjArgs(exit.ptr(), Py_None, Py_None, Py_None, nullptr));
}

bool exit_context_with_error(nb::handle exit, nb::python_error& error) {
    nb::handle value = error.value();
    nb::object type = nb::borrow(reinterpret_cast<PyObject*>(Py_TYPE(value.ptr())));
    nb::object traceback = nb::steal(PyException_GetTraceback(value.ptr()));
    PyObject* traceback_arg = traceback.is_valid() ? traceback.ptr() : Py_None;
    PyObject* swallowed =
        PyObject_CallFunctionObjArgs(exit.ptr(), type.ptr(), value.ptr(), traceback_arg, nullptr);
    if (swallowed == nullptr) {
        // An exception raised by __exit__ replaces the body's one, which
        // becomes its context, as in a `with` statement.
        PyObject* raised = PyErr_GetRaisedException();
        PyException_SetContext(raised, Py_NewRef(value.ptr()));
        PyErr_SetRaisedException(raised);
        nb::raise_python_error();
    }
    return is_true(nb::steal(swallowed));
}

} // namespace qivo::detail
