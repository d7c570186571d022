// The per-user directory `.velmor` in the home directory, the store file
// `connections.toml` inside it, and their creation.
#pragma once

#include "namespace.h"

namespace qivo {

// Path.home() / ".velmor", through the module's current `Path`.
nb::object get_velmor_dir(const ModuleNamespace& globals);

// get_velmor_dir() / "connections.toml", through the module's current
// `get_velmor_dir`.
nb::object get_connections_file(const ModuleNamespace& globals);

// Creates the directory (mode 0o700) and, when no store file exists, a store
// holding the example profile; returns the directory.
nb::object initialize_velmor_directory(const ModuleNamespace& globals);

} // namespace qivo
