#include "operations/entry.h"
#include "operations/operations.h"
#include "store/store_lock.h"

namespace qivo {

namespace {

// The type to rebuild the profile as: the caller's, else the `credentials`
// key `connection_type`, else the stored profile's own type.
nb::object resolve_connection_type(nb::handle connection_type, nb::dict credentials,
                                   nb::handle conn_data) {
    nb::object chosen = nb::borrow(connection_type);
    if (chosen.is_none()) {
        nb::object existing_type = get_or(conn_data, "connection_type", nb::str("snowflake"));
        chosen = get_or(credentials, "connection_type", existing_type);
        if (!chosen.is_none() && !PyUnicode_CheckExact(chosen.ptr())) {
            raise_error(PyExc_TypeError, "Expected %s, got %.200s", "str",
                        Py_TYPE(chosen.ptr())->tp_name);
        }
    }
    return normalize_type(checked(PyObject_Str(chosen.ptr())));
}

} // namespace

bool update_connection(const ModuleNamespace& globals, nb::str connection_name,
                       nb::dict credentials, nb::handle connection_type, bool copy_key) {
    // Metadata tables such as `_primary` are never profiles.
    if (starts_with_underscore(connection_name)) {
        return false;
    }
    auto [lock, connections] = read_store_for_change(globals);
    if (!contains(connections, connection_name)) {
        return false;
    }
    nb::object type =
        resolve_connection_type(connection_type, credentials, connections[connection_name]);
    // Any other type would reduce the profile to its type alone.
    if (!is_snowflake(type) && !is_salesforce(type)) {
        raise_unknown_connection_type(type);
    }
    nb::object velmor_dir = globals.call("get_velmor_dir");
    nb::dict connection_entry = build_connection_entry(globals, type, credentials, copy_key,
                                                       {connections, connection_name, velmor_dir});
    connections[connection_name] = connection_entry;
    globals.call("_save_connections_file", connections);
    globals.print_check_line({"Updated connection '", connection_name, "' (", type, ")"});
    return true;
}

} // namespace qivo
