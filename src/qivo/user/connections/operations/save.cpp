#include "operations/entry.h"
#include "operations/operations.h"
#include "store/store_lock.h"

namespace qivo {

void save_connection_config(const ModuleNamespace& globals, nb::str connection_name,
                            nb::dict credentials, nb::str connection_type, bool copy_key) {
    globals.require_toml();
    nb::str name = nb::borrow<nb::str>(call_method(connection_name, "strip"));
    nb::object type = normalize_type(connection_type);
    // Names beginning with "_" belong to metadata tables such as `_primary`,
    // and an empty name cannot be looked up again: both are refused before
    // anything is created, read or written.
    if (is_reserved_name(name)) {
        raise_error(PyExc_ValueError,
                    "Invalid connection name: %R. Names must be non-empty and must not begin "
                    "with '_'",
                    name.ptr());
    }

    globals.call("initialize_velmor_directory");
    nb::object connections_file = globals.call("get_connections_file");
    StoreLock lock(connections_file);
    nb::object velmor_dir = globals.call("get_velmor_dir");

    nb::object connections = nb::dict();
    if (is_true(connections_file.attr("exists")())) {
        connections = globals.call("_load_connections_file");
    }
    nb::dict connection_entry = build_connection_entry(globals, type, credentials, copy_key,
                                                       {connections, name, velmor_dir});
    connections[name] = connection_entry;
    globals.call("_save_connections_file", connections);
    globals.print_check_line(
        {"Saved connection '", name, "' (", type, ") to ", text(connections_file)});
}

} // namespace qivo
