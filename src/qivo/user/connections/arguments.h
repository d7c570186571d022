// Binding of a vectorcall's arguments to a function's parameters, by the
// rules and with the messages of a Python function whose parameters are all
// positional-or-keyword, followed by the module's own argument checks.
#pragma once

#include "function_definition.h"

namespace qivo {

class ArgumentBinder {
public:
    // Binds and checks one call. `defaults` is the function's __defaults__
    // tuple (or None). Raises TypeError, before any body code runs, when an
    // argument is missing, superfluous or of the wrong type.
    static BoundArguments bind(const FunctionDefinition& definition, nb::handle defaults,
                               PyObject* const* args, Py_ssize_t positional_count,
                               PyObject* keyword_names);
};

} // namespace qivo
