// Late binding: a global is looked up when it is used, in the module's
// namespace and then in the builtins, exactly as the body of a Python
// function would. Rebinding a module attribute therefore changes every later
// call.
#pragma once

#include "runtime/capi.h"

namespace qivo {

class ModuleNamespace {
public:
    explicit ModuleNamespace(nb::handle module) : module_(module) {}

    // The module object itself.
    nb::handle module() const { return module_; }

    // The value bound to `name` now (an interned str): the module's own
    // attribute, else the builtin of that name, else NameError "name '<name>'
    // is not defined".
    nb::object get(nb::handle name) const;

private:
    nb::handle module_;
};

} // namespace qivo
