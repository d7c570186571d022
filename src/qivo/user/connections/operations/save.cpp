#include "operations/operations.h"
#include "operations/profile.h"

namespace qivo {

void save_connection_config(const ModuleGlobals& globals, nb::str connection_name,
                            nb::dict credentials, nb::str connection_type, bool copy_key) {
    globals.require_toml();
    nb::object name = call_method(connection_name, "strip"_id);
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
    globals.initialize_velmor_directory();
    nb::object connections_file = globals.connections_file();
    nb::object velmor_dir = globals.velmor_dir();
    change_store(globals, StoreSource::may_be_missing(connections_file),
                 [&](nb::handle connections, ChangeReport& report) {
                     connections[name] =
                         build_connection_entry(globals, type, credentials, copy_key,
                                                {connections, name, velmor_dir}, report);
                     return true;
                 });
    globals.print_check_line(
        {"Saved connection '", name, "' (", type, ") to ", text(connections_file)});
}

} // namespace qivo
