// Binding of a vectorcall's arguments to a function's parameters, by the
// rules and with the messages of a Python function whose parameters are all
// positional-or-keyword, followed by the argument checks of the parameters.
#pragma once

#include "runtime/function_definition.h"

namespace qivo {

class ArgumentBinder {
public:
    // Binds and checks one call. `defaults` is the function's __defaults__
    // tuple (or None). Raises TypeError, before any body code runs, when an
    // argument is missing, superfluous or of the wrong type.
    static BoundArguments bind(const FunctionDefinition& definition, nb::handle defaults,
                               PyObject* const* args, Py_ssize_t positional_count,
                               PyObject* keyword_names);

private:
    ArgumentBinder(const FunctionDefinition& definition, nb::handle defaults)
        : definition_(definition), defaults_(defaults) {}

    Py_ssize_t parameter_count() const;
    Py_ssize_t default_count() const;
    void reject_any_arguments(Py_ssize_t positional_count, Py_ssize_t keyword_count) const;
    void bind_positional(PyObject* const* args, Py_ssize_t positional_count);
    void bind_keywords(PyObject* const* values, PyObject* keyword_names);
    void reject_extra_positional(Py_ssize_t positional_count) const;
    void fill_defaults(Py_ssize_t positional_count);
    void take_truth_values();
    void check_types() const;

    const FunctionDefinition& definition_;
    nb::handle defaults_;
    BoundArguments bound_;
};

} // namespace qivo
