// The public operations on connection profiles and primary markers.
#pragma once

#include "module_globals.h"

namespace qivo {

void save_connection_config(const ModuleGlobals& globals, nb::str connection_name,
                            nb::dict credentials, nb::str connection_type, bool copy_key);

nb::object load_connection(const ModuleGlobals& globals, nb::str connection_name);

nb::object list_connections(const ModuleGlobals& globals);

bool delete_connection(const ModuleGlobals& globals, nb::str connection_name);

bool update_connection(const ModuleGlobals& globals, nb::str connection_name, nb::dict credentials,
                       nb::handle connection_type, bool copy_key);

nb::object get_primary_connection(const ModuleGlobals& globals, nb::handle connection_type);

bool set_primary_connection(const ModuleGlobals& globals, nb::str connection_name,
                            nb::handle connection_type);

} // namespace qivo
