// The `with` statement: runs a block inside a context manager's __enter__ and
// __exit__, as the interpreter does.
#pragma once

#include "runtime/capi.h"

namespace qivo {

namespace detail {
nb::object enter_context(nb::handle manager, nb::object& exit);
void exit_context_cleanly(nb::handle exit);
// Returns true when __exit__ swallowed the exception `error`.
bool exit_context_with_error(nb::handle exit, nb::python_error& error);
} // namespace detail

// Runs `body` as the block of a `with` statement over the context manager
// `manager`: __exit__ runs on every path, receives the exception when the
// body raised, and the body's value is returned. When __exit__ swallows the
// exception nothing was produced, so `unbound_name` is reported as unbound.
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
