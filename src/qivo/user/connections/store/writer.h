// Writing the whole store file at once.
#pragma once

#include "module_globals.h"

#include <functional>

namespace qivo {

// Replaces the whole store file with the text of `connections`, atomically:
// on any failure the previous file is left exactly as it was.
void save_connections_file(const ModuleGlobals& globals, nb::handle connections);

using WriteText = std::function<void(nb::handle file)>;

// Opens `path` for writing in text mode with the module's current `open`
// (passing `encoding` when given) and runs `write` on the file object inside
// a `with` block, so it is closed on every path.
void write_with_open(const ModuleGlobals& globals, nb::handle path, const char* encoding,
                     const WriteText& write);

} // namespace qivo
