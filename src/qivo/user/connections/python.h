// Small helpers shared by every source of the module: the nanobind alias and
// the few bridges between C API calls that report errors through the error
// indicator and C++ code that reports them by throwing nb::python_error.
#pragma once

#include <nanobind/nanobind.h>

#include <initializer_list>
#include <string_view>

namespace qivo {

namespace nb = nanobind;

// Raises a Python exception of `type` with a printf-style message (the
// formats of PyUnicode_FromFormat) and throws it as nb::python_error.
[[noreturn]] void raise_error(PyObject* type, const char* format, ...);

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
nb::object call_method(nb::handle value, const char* name);

// `getattr(value, name)`, or an empty (invalid) object when there is no such
// attribute.
nb::object optional_attr(nb::handle value, const char* name);

// `str(value).strip()`, with Python's own str() and str.strip: a str subclass
// may make its strip() return anything.
nb::object stripped_text(nb::handle value);

// `str(value)`.
nb::object text(nb::handle value);

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

// Runs `body` as the block of a `with` statement over the context manager
// `manager`: __exit__ runs on every path, receives the exception when the
// body raised, and the body's value is returned. When __exit__ swallows the
// exception nothing was produced, so `unbound_name` is reported as unbound.
template <typename Body>
nb::object with_block(nb::handle manager, const char* unbound_name, Body&& body);

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

// Calls `visit(key, value)` for each entry of a dict, in its iteration order
// (its `items()` for subclasses, which may order entries their own way).
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
    for_each(call_method(mapping, "items"), [&](nb::handle item) {
        nb::object pair = checked(PySequence_Tuple(item.ptr()));
        if (PyTuple_GET_SIZE(pair.ptr()) != 2) {
            raise_error(PyExc_ValueError, "items() of a table must yield (key, value) pairs");
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

namespace detail {
nb::object enter_context(nb::handle manager, nb::object& exit);
void exit_context_cleanly(nb::handle exit);
// Returns true when __exit__ swallowed the exception `error`.
bool exit_context_with_error(nb::handle exit, nb::python_error& error);
} // namespace detail

template <typename Body>
nb::object with_block(nb::handle manager, const char* unbound_name, Body&& body) {
    nb::object exit;
    nb::object entered = detail::enter_context(manager, exit);
    nb::object result;
    try {
        result = body(entered);
    } catch (nb::python_error& error) {
        if (!detail::exit_context_with_error(exit, error)) {
            throw;
        }
        raise_error(PyExc_UnboundLocalError,
                    "cannot access local variable '%s' where it is not associated with a value",
                    unbound_name);
    }
    detail::exit_context_cleanly(exit);
    return result;
}

} // namespace qivo
