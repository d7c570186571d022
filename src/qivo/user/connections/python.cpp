#include "python.h"

#include <cstdarg>
#include <exception>
#include <new>

namespace qivo {

void raise_error(PyObject* type, const char* format, ...) {
    va_list args;
    va_start(args, format);
    PyErr_FormatV(type, format, args);
    va_end(args);
    nb::raise_python_error();
}

nb::object call_method(nb::handle value, const char* name) {
    nb::object method_name = checked(PyUnicode_InternFromString(name));
    return checked(PyObject_CallMethodNoArgs(value.ptr(), method_name.ptr()));
}

nb::object optional_attr(nb::handle value, const char* name) {
    PyObject* found = nullptr;
    checked_status(PyObject_GetOptionalAttrString(value.ptr(), name, &found));
    return nb::steal(found);
}

nb::object stripped_text(nb::handle value) {
    return call_method(text(value), "strip");
}

nb::object text(nb::handle value) {
    return checked(PyObject_Str(value.ptr()));
}

nb::object TextPiece::get() const {
    return literal_ ? checked(PyUnicode_FromString(literal_)) : nb::borrow(object_);
}

nb::object concatenate(std::initializer_list<TextPiece> pieces) {
    nb::object joined = checked(PyUnicode_FromString(""));
    for (const TextPiece& piece : pieces) {
        joined = checked(PyUnicode_Concat(joined.ptr(), piece.get().ptr()));
    }
    return joined;
}

void raise_message(PyObject* type, std::initializer_list<TextPiece> pieces) {
    nb::object message = concatenate(pieces);
    PyErr_SetObject(type, message.ptr());
    nb::raise_python_error();
}

std::string_view utf8_of(nb::handle text) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
    if (data == nullptr) {
        nb::raise_python_error();
    }
    return {data, static_cast<size_t>(size)};
}

PyObject* set_python_error_from_current_exception() noexcept {
    try {
        throw;
    } catch (nb::python_error& error) {
        error.restore();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& error) {
        PyErr_SetString(PyExc_SystemError, error.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unknown C++ exception");
    }
    return nullptr;
}

namespace detail {

nb::object enter_context(nb::handle manager, nb::object& exit) {
    nb::object enter = checked(PyObject_GetAttrString(manager.ptr(), "__enter__"));
    exit = checked(PyObject_GetAttrString(manager.ptr(), "__exit__"));
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

} // namespace detail

} // namespace qivo
