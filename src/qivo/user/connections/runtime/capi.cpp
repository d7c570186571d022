#include "runtime/capi.h"

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

void raise_expected_type(const char* expected, nb::handle value) {
    raise_error(PyExc_TypeError, "Expected %s, got %.200s", expected,
                Py_TYPE(value.ptr())->tp_name);
}

nb::object call_method(nb::handle value, nb::handle name) {
    return checked(PyObject_CallMethodNoArgs(value.ptr(), name.ptr()));
}

nb::object import_module(PyObject* name) {
    return checked(PyImport_Import(name));
}

nb::object try_import_module(PyObject* name) {
    if (PyObject* module = PyImport_Import(name)) {
        return nb::steal(module);
    }
    if (!PyErr_ExceptionMatches(PyExc_ImportError)) {
        nb::raise_python_error();
    }
    PyErr_Clear();
    return {};
}

nb::object optional_attr(nb::handle value, nb::handle name) {
    PyObject* found = nullptr;
    checked_status(PyObject_GetOptionalAttr(value.ptr(), name.ptr(), &found));
    return nb::steal(found);
}

nb::object dict_item(nb::handle dictionary, const char* key) {
    PyObject* found = nullptr;
    checked_status(PyDict_GetItemStringRef(dictionary.ptr(), key, &found));
    return nb::steal(found);
}

nb::object get_or(nb::handle mapping, const char* key, nb::handle default_value) {
    if (PyDict_CheckExact(mapping.ptr())) {
        nb::object found = dict_item(mapping, key);
        return found.is_valid() ? found : nb::borrow(default_value);
    }
    return checked(PyObject_CallMethodObjArgs(mapping.ptr(), "get"_id, nb::str(key).ptr(),
                                              default_value.ptr(), nullptr));
}

bool contains(nb::handle container, nb::handle key) {
    return checked_status(PySequence_Contains(container.ptr(), key.ptr())) != 0;
}

nb::object text(nb::handle value) {
    return checked(PyObject_Str(value.ptr()));
}

nb::object stripped_text(nb::handle value) {
    return call_method(text(value), "strip"_id);
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

} // namespace qivo
