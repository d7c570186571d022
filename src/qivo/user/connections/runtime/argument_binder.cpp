#include "runtime/argument_binder.h"

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

// The "Did you mean" suggestion for a misspelt keyword. It comes from the
// interpreter's own (private) helper, so that it always matches what a
// Python function would suggest; without that helper there is none.
nb::object keyword_suggestion(const FunctionDefinition& definition, PyObject* keyword) {
    nb::object suggestions = try_import_module("_suggestions"_id);
    if (!suggestions.is_valid()) {
        return nb::none();
    }
    nb::list candidates;
    for (const ParameterDefinition& parameter : definition.parameters) {
        candidates.append(nb::str(parameter.name));
    }
    nb::object suggestion = nb::steal(PyObject_CallMethodObjArgs(
        suggestions.ptr(), "_generate_suggestions"_id, candidates.ptr(), keyword, nullptr));
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

// "'a'" or "'a' and 'b'": the module's functions have at most two required
// parameters, so the interpreter's longer form ("'a', 'b', and 'c'") never
// arises.
[[noreturn]] void raise_missing(const FunctionDefinition& definition,
                                const std::array<bool, max_parameters>& missing, int count) {
    std::string names;
    for (size_t i = 0; i < definition.parameters.size(); ++i) {
        if (missing[i]) {
            names +=
                (names.empty() ? "'" : " and '") + std::string(definition.parameters[i].name) + "'";
        }
    }
    raise_error(PyExc_TypeError, "%s() missing %d required positional argument%s: %s",
                definition.name, count, count == 1 ? "" : "s", names.c_str());
}

PyTypeObject* expected_type(ArgumentCheck check) {
    return check == ArgumentCheck::exact_dict ? &PyDict_Type : &PyUnicode_Type;
}

[[noreturn]] void raise_wrong_type(const ParameterDefinition& parameter, nb::handle value) {
    PyTypeObject* expected = expected_type(parameter.check);
    const char* expected_name = expected->tp_name;
    PyErr_Format(PyExc_TypeError,
                 "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                 parameter.name, expected_name, Py_TYPE(value.ptr())->tp_name);
    if (PyObject_TypeCheck(value.ptr(), expected)) {
        nb::python_error error;
        nb::object note = checked(PyUnicode_FromFormat(
            "Subclasses of builtin types are rejected: '%s' must be exactly a %s "
            "(convert it with %s(...) first)",
            parameter.name, expected_name, expected_name));
        checked(PyObject_CallMethodOneArg(error.value().ptr(), "add_note"_id, note.ptr()));
        throw error;
    }
    nb::raise_python_error();
}

void check_type(const ParameterDefinition& parameter, nb::handle value) {
    switch (parameter.check) {
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
    ArgumentBinder binder(definition, defaults);
    if (binder.parameter_count() == 0) {
        binder.reject_any_arguments(positional_count,
                                    keyword_names ? PyTuple_GET_SIZE(keyword_names) : 0);
        return binder.bound_;
    }
    binder.bind_positional(args, positional_count);
    binder.bind_keywords(args + positional_count, keyword_names);
    binder.reject_extra_positional(positional_count);
    binder.fill_defaults(positional_count);
    binder.take_truth_values();
    binder.check_types();
    return binder.bound_;
}

Py_ssize_t ArgumentBinder::parameter_count() const {
    return static_cast<Py_ssize_t>(definition_.parameters.size());
}

Py_ssize_t ArgumentBinder::default_count() const {
    return PyTuple_Check(defaults_.ptr()) ? PyTuple_GET_SIZE(defaults_.ptr()) : 0;
}

void ArgumentBinder::reject_any_arguments(Py_ssize_t positional_count,
                                          Py_ssize_t keyword_count) const {
    if (keyword_count > 0) {
        raise_error(PyExc_TypeError, "%s() takes no keyword arguments", definition_.name);
    }
    if (positional_count > 0) {
        raise_error(PyExc_TypeError, "%s() takes no arguments (%zd given)", definition_.name,
                    positional_count);
    }
}

void ArgumentBinder::bind_positional(PyObject* const* args, Py_ssize_t positional_count) {
    for (Py_ssize_t i = 0; i < std::min(positional_count, parameter_count()); ++i) {
        bound_.values_[i] = args[i];
    }
}

void ArgumentBinder::bind_keywords(PyObject* const* values, PyObject* keyword_names) {
    const Py_ssize_t keyword_count = keyword_names ? PyTuple_GET_SIZE(keyword_names) : 0;
    for (Py_ssize_t k = 0; k < keyword_count; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(keyword_names, k);
        const Py_ssize_t index = parameter_index(definition_, keyword);
        if (index < 0) {
            raise_unexpected_keyword(definition_, keyword);
        }
        if (bound_.values_[index]) {
            raise_error(PyExc_TypeError, "%s() got multiple values for argument '%S'",
                        definition_.name, keyword);
        }
        bound_.values_[index] = values[k];
    }
}

void ArgumentBinder::reject_extra_positional(Py_ssize_t positional_count) const {
    if (positional_count <= parameter_count()) {
        return;
    }
    // "takes 1 positional argument", "takes 2 positional arguments" or
    // "takes from 1 to 2 positional arguments", as the interpreter says.
    const Py_ssize_t optional = default_count();
    const std::string takes = optional > 0
                                  ? "from " + std::to_string(parameter_count() - optional) +
                                        " to " + std::to_string(parameter_count())
                                  : std::to_string(parameter_count());
    const bool plural = optional > 0 || parameter_count() != 1;
    raise_error(PyExc_TypeError, "%s() takes %s positional argument%s but %zd %s given",
                definition_.name, takes.c_str(), plural ? "s" : "", positional_count,
                positional_count == 1 ? "was" : "were");
}

void ArgumentBinder::fill_defaults(Py_ssize_t positional_count) {
    const Py_ssize_t first_default = parameter_count() - default_count();
    std::array<bool, max_parameters> missing{};
    int missing_count = 0;
    for (Py_ssize_t i = positional_count; i < first_default; ++i) {
        if (!bound_.values_[i]) {
            missing[i] = true;
            ++missing_count;
        }
    }
    if (missing_count > 0) {
        raise_missing(definition_, missing, missing_count);
    }
    for (Py_ssize_t i = first_default; i < parameter_count(); ++i) {
        if (!bound_.values_[i]) {
            bound_.values_[i] = PyTuple_GET_ITEM(defaults_.ptr(), i - first_default);
        }
    }
}

void ArgumentBinder::take_truth_values() {
    for (Py_ssize_t i = 0; i < parameter_count(); ++i) {
        if (definition_.parameters[i].check == ArgumentCheck::truth) {
            bound_.truth_ = is_true(bound_.values_[i]);
        }
    }
}

void ArgumentBinder::check_types() const {
    for (Py_ssize_t i = 0; i < parameter_count(); ++i) {
        check_type(definition_.parameters[i], bound_.values_[i]);
    }
}

} // namespace qivo
