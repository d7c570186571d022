#include "arguments.h"

#include <string>

namespace qivo {

namespace {

// The parameter index named by a keyword, or -1.
Py_ssize_t parameter_index(const FunctionDefinition& definition, PyObject* keyword) {
    for (size_t i = 0; i < definition.parameters.size(); ++i) {
        if (PyUnicode_CompareWithASCIIString(keyword, definition.parameters[i].name) == 0) {
            return static_cast<Py_ssize_t>(i);
        }
    }
    return -1;
}

// The interpreter's own "Did you mean" suggestion for a misspelt keyword,
// when the running interpreter offers one.
nb::object keyword_suggestion(const FunctionDefinition& definition, PyObject* keyword) {
    nb::object suggestions = nb::steal(PyImport_ImportModule("_suggestions"));
    if (!suggestions.is_valid()) {
        PyErr_Clear();
        return nb::none();
    }
    nb::object candidates = checked(PyList_New(0));
    for (const ParameterDefinition& parameter : definition.parameters) {
        nb::object name = checked(PyUnicode_FromString(parameter.name));
        checked_status(PyList_Append(candidates.ptr(), name.ptr()));
    }
    nb::object suggestion = nb::steal(PyObject_CallMethod(
        suggestions.ptr(), "_generate_suggestions", "OO", candidates.ptr(), keyword));
    if (!suggestion.is_valid()) {
        PyErr_Clear();
        return nb::none();
    }
    return suggestion;
}

[[noreturn]] void raise_unexpected_keyword(const FunctionDefinition& definition,
                                           PyObject* keyword) {
    nb::object suggestion = keyword_suggestion(definition, keyword);
    if (PyUnicode_Check(suggestion.ptr())) {
        raise_error(PyExc_TypeError,
                    "%s() got an unexpected keyword argument '%S'. Did you mean '%S'?",
                    definition.name, keyword, suggestion.ptr());
    }
    raise_error(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", definition.name,
                keyword);
}

[[noreturn]] void raise_too_many_positional(const FunctionDefinition& definition,
                                            Py_ssize_t default_count, Py_ssize_t given) {
    const auto parameter_count = static_cast<Py_ssize_t>(definition.parameters.size());
    std::string takes;
    bool plural = true;
    if (default_count > 0) {
        takes = "from " + std::to_string(parameter_count - default_count) + " to " +
                std::to_string(parameter_count);
    } else {
        takes = std::to_string(parameter_count);
        plural = parameter_count != 1;
    }
    raise_error(PyExc_TypeError, "%s() takes %s positional argument%s but %zd %s given",
                definition.name, takes.c_str(), plural ? "s" : "", given,
                given == 1 ? "was" : "were");
}

[[noreturn]] void raise_missing(const FunctionDefinition& definition,
                                const std::array<bool, max_parameters>& missing, int count) {
    // 'a'; 'a' and 'b'; 'a', 'b', and 'c': the interpreter's own phrasing.
    std::string names;
    int listed = 0;
    for (size_t i = 0; i < definition.parameters.size(); ++i) {
        if (!missing[i]) {
            continue;
        }
        ++listed;
        if (listed > 1) {
            names += count == 2 ? " and " : (listed == count ? ", and " : ", ");
        }
        names += std::string("'") + definition.parameters[i].name + "'";
    }
    raise_error(PyExc_TypeError, "%s() missing %d required positional argument%s: %s",
                definition.name, count, count == 1 ? "" : "s", names.c_str());
}

const char* expected_type_name(ArgumentCheck check) {
    return check == ArgumentCheck::exact_dict ? "dict" : "str";
}

PyTypeObject* expected_type(ArgumentCheck check) {
    return check == ArgumentCheck::exact_dict ? &PyDict_Type : &PyUnicode_Type;
}

[[noreturn]] void raise_wrong_type(const ParameterDefinition& parameter, nb::handle value) {
    PyTypeObject* expected = expected_type(parameter.check);
    const char* expected_name = expected_type_name(parameter.check);
    PyErr_Format(PyExc_TypeError,
                 "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                 parameter.name, expected_name, Py_TYPE(value.ptr())->tp_name);
    if (PyObject_TypeCheck(value.ptr(), expected)) {
        nb::python_error error;
        nb::object note = checked(PyUnicode_FromFormat(
            "Subclasses of builtin types are rejected: '%s' must be exactly a %s "
            "(convert it with %s(...) first)",
            parameter.name, expected_name, expected_name));
        checked(PyObject_CallMethod(error.value().ptr(), "add_note", "O", note.ptr()));
        throw error;
    }
    nb::raise_python_error();
}

void check_type(const ParameterDefinition& parameter, nb::handle value) {
    switch (parameter.check) {
    case ArgumentCheck::any:
    case ArgumentCheck::truth:
        return;
    case ArgumentCheck::str_or_none:
        if (value.is_none()) {
            return;
        }
        [[fallthrough]];
    case ArgumentCheck::exact_str:
    case ArgumentCheck::exact_dict:
        if (Py_IS_TYPE(value.ptr(), expected_type(parameter.check))) {
            return;
        }
        raise_wrong_type(parameter, value);
    }
}

} // namespace

BoundArguments ArgumentBinder::bind(const FunctionDefinition& definition, nb::handle defaults,
                                    PyObject* const* args, Py_ssize_t positional_count,
                                    PyObject* keyword_names) {
    const Py_ssize_t keyword_count = keyword_names ? PyTuple_GET_SIZE(keyword_names) : 0;
    const auto parameter_count = static_cast<Py_ssize_t>(definition.parameters.size());
    BoundArguments bound;

    if (parameter_count == 0) {
        if (keyword_count > 0) {
            raise_error(PyExc_TypeError, "%s() takes no keyword arguments", definition.name);
        }
        if (positional_count > 0) {
            raise_error(PyExc_TypeError, "%s() takes no arguments (%zd given)", definition.name,
                        positional_count);
        }
        return bound;
    }

    for (Py_ssize_t i = 0; i < std::min(positional_count, parameter_count); ++i) {
        bound.values_[i] = args[i];
    }
    for (Py_ssize_t k = 0; k < keyword_count; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(keyword_names, k);
        const Py_ssize_t index = parameter_index(definition, keyword);
        if (index < 0) {
            raise_unexpected_keyword(definition, keyword);
        }
        if (bound.values_[index]) {
            raise_error(PyExc_TypeError, "%s() got multiple values for argument '%S'",
                        definition.name, keyword);
        }
        bound.values_[index] = args[positional_count + k];
    }

    const Py_ssize_t default_count =
        PyTuple_Check(defaults.ptr()) ? PyTuple_GET_SIZE(defaults.ptr()) : 0;
    if (positional_count > parameter_count) {
        raise_too_many_positional(definition, default_count, positional_count);
    }
    const Py_ssize_t first_default = parameter_count - default_count;
    std::array<bool, max_parameters> missing{};
    int missing_count = 0;
    for (Py_ssize_t i = positional_count; i < first_default; ++i) {
        if (!bound.values_[i]) {
            missing[i] = true;
            ++missing_count;
        }
    }
    if (missing_count > 0) {
        raise_missing(definition, missing, missing_count);
    }
    for (Py_ssize_t i = first_default; i < parameter_count; ++i) {
        if (!bound.values_[i]) {
            bound.values_[i] = PyTuple_GET_ITEM(defaults.ptr(), i - first_default);
        }
    }

    for (Py_ssize_t i = 0; i < parameter_count; ++i) {
        if (definition.parameters[i].check == ArgumentCheck::truth) {
            bound.truth_ = is_true(bound.values_[i]);
        }
    }
    for (Py_ssize_t i = 0; i < parameter_count; ++i) {
        check_type(definition.parameters[i], bound.values_[i]);
    }
    return bound;
}

} // namespace qivo
