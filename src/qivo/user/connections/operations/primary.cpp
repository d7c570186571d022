#include "operations/operations.h"
#include "operations/profile.h"

namespace qivo {

namespace {

constexpr const char* primary_table = "_primary";

// The normalised requested type, which must be one of the two services.
nb::object requested_type(nb::handle connection_type) {
    nb::object type = normalize_type(connection_type);
    if (!is_snowflake(type) && !is_salesforce(type)) {
        raise_message(PyExc_ValueError,
                      {"Invalid connection_type: ", type, ". Must be 'snowflake' or 'salesforce'"});
    }
    return type;
}

const char* marker_key(nb::handle type) {
    return is_snowflake(type) ? "snowflake_primary" : "salesforce_primary";
}

} // namespace

nb::object get_primary_connection(const ModuleGlobals& globals, nb::handle connection_type) {
    nb::object connections = globals.load_store();
    nb::str table_name(primary_table);
    if (!contains(connections, table_name)) {
        return nb::none();
    }
    nb::object primary_data = stored_table(globals, connections, table_name);
    if (connection_type.is_none() || nb::len(connection_type) == 0) {
        nb::object legacy_name = get_or(primary_data, "name", nb::none());
        return is_true(legacy_name) ? stripped_text(legacy_name) : nb::none();
    }
    nb::object type = requested_type(connection_type);
    nb::object primary_name = get_or(primary_data, marker_key(type), nb::none());
    if (!is_true(primary_name)) {
        // Legacy fallback: the untyped marker counts when it names a stored
        // profile of the requested type.
        nb::object legacy_name = get_or(primary_data, "name", nb::none());
        if (is_true(legacy_name)) {
            nb::object name = stripped_text(legacy_name);
            if (contains(connections, name) &&
                stored_connection_type(stored_table(globals, connections, name)).equal(type)) {
                primary_name = name;
            }
        }
    }
    return is_true(primary_name) ? stripped_text(primary_name) : nb::none();
}

bool set_primary_connection(const ModuleGlobals& globals, nb::str connection_name,
                            nb::handle connection_type) {
    // Metadata tables such as `_primary` are never profiles.
    if (starts_with_underscore(connection_name)) {
        return false;
    }
    nb::object type;
    const bool set =
        change_store(globals, StoreSource::existing(), [&](nb::handle connections, ChangeReport&) {
            if (!contains(connections, connection_name)) {
                return false;
            }
            nb::object given_type = nb::borrow(connection_type);
            if (given_type.is_none()) {
                given_type =
                    stored_connection_type(stored_table(globals, connections, connection_name));
            }
            type = requested_type(given_type);
            nb::str table_name(primary_table);
            if (!contains(connections, table_name)) {
                connections[table_name] = nb::dict();
            }
            nb::object primary_data = stored_table(globals, connections, table_name);
            nb::object stripped_name = call_method(connection_name, "strip"_id);
            primary_data[marker_key(type)] = stripped_name;
            primary_data["name"] = stripped_name;
            return true;
        });
    if (set) {
        globals.print_check_line({"Set '", connection_name, "' as primary ", type, " connection"});
    }
    return set;
}

} // namespace qivo
