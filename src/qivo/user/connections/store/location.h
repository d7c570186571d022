// Where the store lives: the per-user directory `.velmor` in the home
// directory and the store file `connections.toml` inside it, and their
// creation.
#pragma once

#include "module_globals.h"

namespace qivo {

// Path.home() / ".velmor", through the module's current `Path`.
nb::object get_velmor_dir(const ModuleGlobals& globals);

// get_velmor_dir() / "connections.toml", through the module's current
// `get_velmor_dir`.
nb::object get_connections_file(const ModuleGlobals& globals);

// Creates the directory (mode 0o700) and, when no store file exists, a store
// holding the example profile; returns the directory.
nb::object initialize_velmor_directory(const ModuleGlobals& globals);

// The prefix of the names of the temporary files made in the per-user
// directory: the store's own, and key copies on their way into place.
std::string temporary_file_prefix();

// Whether a name in the per-user directory belongs to the store itself: the
// store file, its lock file or one of the writer's temporary files.
bool is_store_file_name(std::string_view name);

} // namespace qivo
