// Reading the whole store file at once.
#pragma once

#include "module_globals.h"

namespace qivo {

// The whole store as the selected TOML reader returns it: a fresh dict each
// call (or None, should the reader return None).
nb::object load_connections_file(const ModuleGlobals& globals);

} // namespace qivo
