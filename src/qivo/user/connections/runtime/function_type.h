// A function type of a module's own. Its objects behave like Python functions
// where callers look: __name__, __qualname__, __module__, __doc__,
// __defaults__, __kwdefaults__, __annotations__, a __signature__ for
// `inspect`, and a fast vectorcall that binds and checks the arguments
// before running the body.
#pragma once

#include "runtime/function_definition.h"

namespace qivo {

// Creates the function type of one module object (a heap type tied to it, so
// a function finds its module's namespace through its type), named
// `type_name` (dotted: "<module>.<type>").
nb::object create_function_type(nb::handle module, const char* type_name);

// Creates the function described by `definition` as an object of `function_type`.
nb::object create_function(nb::handle function_type, const FunctionDefinition& definition);

} // namespace qivo
