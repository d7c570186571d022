#include "operations/operations.h"
#include "operations/profile.h"

namespace qivo {

namespace {

// The type to rebuild the profile `name` as: the caller's, else the
// `credentials` key `connection_type`, else the type of the profile as
// stored (which must then be a table).
nb::object resolve_connection_type(const ModuleGlobals& globals, nb::handle connection_type,
                                   nb::dict credentials, nb::handle connections, nb::handle name) {
    nb::object chosen = nb::borrow(connection_type);
    if (chosen.is_none()) {
        nb::object conn_data = stored_table(globals, connections, name);
        nb::object existing_type = get_or(conn_data, "connection_type", nb::str("snowflake"));
        chosen = get_or(credentials, "connection_type", existing_type);
        if (!chosen.is_none() && !PyUnicode_CheckExact(chosen.ptr())) {
            raise_expected_type("str", chosen);
        }
    }
    return normalize_type(text(chosen));
}

} // namespace

bool update_connection(const ModuleGlobals& globals, nb::str connection_name, nb::dict credentials,
                       nb::handle connection_type, bool copy_key) {
    // Metadata tables such as `_primary` are never profiles.
    if (starts_with_underscore(connection_name)) {
        return false;
    }
    nb::object type;
    const bool updated = change_store(
        globals, StoreSource::existing(), [&](nb::handle connections, ChangeReport& report) {
            if (!contains(connections, connection_name)) {
                return false;
            }
            type = resolve_connection_type(globals, connection_type, credentials, connections,
                                           connection_name);
            nb::object velmor_dir = globals.velmor_dir();
            connections[connection_name] =
                build_connection_entry(globals, type, credentials, copy_key,
                                       {connections, connection_name, velmor_dir}, report);
            return true;
        });
    if (updated) {
        globals.print_check_line({"Updated connection '", connection_name, "' (", type, ")"});
    }
    return updated;
}

} // namespace qivo
