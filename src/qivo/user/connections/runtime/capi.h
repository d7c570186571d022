// Bridges between CPython C API calls, which report errors through the error
// indicator, and C++ code, which reports them by throwing nb::python_error;
// and a few Python operations spelled once: str(), method calls, `+` on
// text, iteration.
#pragma once

#include "runtime/interned_names.h"

#include <nanobind/nanobind.h>

#include <initializer_list>
#include <string_view>

namespace qivo {

namespace nb = nanobind;

// Raises a Python exception of `type` with a printf-style message (the
// formats of PyUnicode_FromFormat) and throws it as nb::python_error.
[[noreturn]] void raise_error(PyObject* type, const char* format, ...);

// Raises TypeError "Expected <expected>, got <type name of value>".
[[noreturn]] void raise_expected_type(const char* expected, nb::handle value);

// Takes ownership of a new reference returned by a C API call; a null
// result means the call failed, and its pending exception is thrown.
inline nb::object checked(PyObject* result) {
    if (result == nullptr) {
        nb::raise_python_error();
    }
    return nb::steal(result);
}

// Throws the pending exception of a C API call that returned -1.
inline int checked_status(int status) {
    if (status < 0) {
        nb::raise_python_error();
    }
    return status;
}

// Truth value of an object, as `bool(value)` computes it.
inline bool is_true(nb::handle value) {
    return checked_status(PyObject_IsTrue(value.ptr())) != 0;
}

// `value.name()`: a method call resolved on the object at call time.
nb::object call_method(nb::handle value, nb::handle name);

// `import <name>` (a dotted name gives the submodule itself), with an
// interned name: `import_module("inspect"_id)`.
nb::object import_module(PyObject* name);

// The same, or an empty (invalid) object when the import raises
// ImportError (or a subclass); any other exception propagates.
nb::object try_import_module(PyObject* name);

// `getattr(value, name)`, or an empty (invalid) object when there is no such
// attribute.
nb::object optional_attr(nb::handle value, nb::handle name);

// `dictionary[key]` for an exact dict, or an empty (invalid) object when the
// key is missing.
nb::object dict_item(nb::handle dictionary, const char* key);

// `mapping.get(key, default_value)`.
nb::object get_or(nb::handle mapping, const char* key, nb::handle default_value);

// `key in container`.
bool contains(nb::handle container, nb::handle key);

// `str(value)`.
nb::object text(nb::handle value);

// `str(value).strip()`, with Python's own str() and str.strip: a str subclass
// may make its strip() return anything.
nb::object stripped_text(nb::handle value);

// One piece of a text joined with `+`: literal text, or an object that must
// be a str (anything else raises TypeError, as concatenation does).
class TextPiece {
public:
    TextPiece(const char* literal) : literal_(literal) {}
    TextPiece(nb::handle object) : object_(object) {}
    nb::object get() const;

private:
    const char* literal_ = nullptr;
    nb::handle object_;
};

// The pieces joined as `+` joins str objects.
nb::object concatenate(std::initializer_list<TextPiece> pieces);

// Raises an exception of `type` whose message is the pieces joined with `+`.
[[noreturn]] void raise_message(PyObject* type, std::initializer_list<TextPiece> pieces);

// The UTF-8 text of a str (raises UnicodeEncodeError for lone surrogates).
std::string_view utf8_of(nb::handle text);

// `for item in iterable: visit(item)`, with iteration errors propagated.
template <typename Visit>
void for_each(nb::handle iterable, Visit&& visit) {
    nb::object iterator = checked(PyObject_GetIter(iterable.ptr()));
    while (nb::object item = nb::steal(PyIter_Next(iterator.ptr()))) {
        visit(item);
    }
    if (PyErr_Occurred()) {
        nb::raise_python_error();
    }
}

// Calls `visit(key, value)` for each entry of a mapping, in its iteration
// order: directly for an exact dict, through `items()` for anything else
// (a subclass may order, or repeat, entries its own way).
template <typename Visit>
void for_each_item(nb::handle mapping, Visit&& visit) {
    if (PyDict_CheckExact(mapping.ptr())) {
        Py_ssize_t position = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(mapping.ptr(), &position, &key, &value)) {
            nb::object held_key = nb::borrow(key);
            nb::object held_value = nb::borrow(value);
            visit(held_key, held_value);
        }
        return;
    }
    for_each(call_method(mapping, "items"_id), [&](nb::handle item) {
        nb::object pair = checked(PySequence_Tuple(item.ptr()));
        if (PyTuple_GET_SIZE(pair.ptr()) != 2) {
            raise_error(PyExc_ValueError, "items() must yield (key, value) pairs");
        }
        visit(nb::borrow(PyTuple_GET_ITEM(pair.ptr(), 0)),
              nb::borrow(PyTuple_GET_ITEM(pair.ptr(), 1)));
    });
}

// Converts the C++ exceptions that can leave module code into the pending
// Python exception; returns nullptr so callers can `return` its result.
PyObject* set_python_error_from_current_exception() noexcept;

// Runs `body` at a boundary to the interpreter: its object is returned as a
// new reference, or an exception it threw is set and nullptr returned.
template <typename Body>
PyObject* python_boundary(Body&& body) noexcept {
    try {
        return body().release().ptr();
    } catch (...) {
        return set_python_error_from_current_exception();
    }
}

} // namespace qivo
