// Writing the whole store file at once.
#pragma once

#include "module_globals.h"

namespace qivo {

// Replaces the whole store file with the text of `connections`, atomically:
// on any failure the previous file is left exactly as it was.
void save_connections_file(const ModuleGlobals& globals, nb::handle connections);

} // namespace qivo
