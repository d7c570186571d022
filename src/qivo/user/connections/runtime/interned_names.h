// Attribute and global names as interned str objects, made once: `"strip"_id`.
// CPython 3.13's type attribute cache keeps a reference to every name it
// looks up, so a name made afresh on each call would pin one more string per
// call until the cache is full.
#pragma once

#include <Python.h>

#include <algorithm>
#include <cstddef>

namespace qivo {

template <std::size_t Size>
struct NameLiteral {
    consteval NameLiteral(const char (&literal)[Size]) { std::copy_n(literal, Size, text); }
    char text[Size];
};

// The interned str of `text`; raises (throws nb::python_error) on failure.
PyObject* intern_name(const char* text);

// The name as a borrowed reference that lives as long as the process (the
// module refuses subinterpreters, so one interpreter owns it).
template <NameLiteral Name>
PyObject* operator""_id() {
    static PyObject* const name = intern_name(Name.text);
    return name;
}

} // namespace qivo
