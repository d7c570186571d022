// Late binding: every global that the module's functions use (the standard
// modules, `Path`, the TOML reader, the flags and the twelve functions
// themselves, and the builtins `open` and `print`) is looked up when it is
// used, in the module's namespace and then in the builtins, exactly as the
// body of a Python function would. Rebinding a module attribute therefore
// changes every later call.
#pragma once

#include "python.h"

#include <utility>

namespace qivo {

class ModuleNamespace {
public:
    explicit ModuleNamespace(nb::handle module) : module_(module) {}

    // The value bound to `name` now: the module's own attribute, else the
    // builtin of that name, else NameError "name '<name>' is not defined".
    nb::object get(const char* name) const;

    // Calls the callable currently bound to `name`.
    template <typename... Args>
    nb::object call(const char* name, Args&&... args) const {
        return get(name)(std::forward<Args>(args)...);
    }

    // Raises the shared ValueError unless `TOML_AVAILABLE` is true now.
    void require_toml() const;

    // `TOML_AVAILABLE` tested for truth now.
    bool toml_available() const { return is_true(get("TOML_AVAILABLE")); }

    // Prints one line through the `print` bound now.
    void print(nb::handle line) const { call("print", line); }

    // Prints "✓ " followed by the pieces joined with `+`: the line every
    // completed change reports.
    void print_check_line(std::initializer_list<TextPiece> pieces) const;

private:
    nb::handle module_;
};

} // namespace qivo
