// Reading and writing the whole store file at once.
#pragma once

#include "namespace.h"

namespace qivo {

// The whole store as the selected TOML reader returns it: a fresh dict each
// call (or None, should the reader return None).
nb::object load_connections_file(const ModuleNamespace& globals);

// Replaces the whole store file with the text of `connections`, atomically:
// on any failure the previous file is left exactly as it was.
void save_connections_file(const ModuleNamespace& globals, nb::handle connections);

} // namespace qivo
