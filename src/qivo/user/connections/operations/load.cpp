#include "operations/operations.h"
#include "operations/profile.h"

namespace qivo {

namespace {

// Adds `field` only when its text is not empty.
void add_text_field_if_set(nb::dict credentials, nb::handle conn_data, const char* field) {
    nb::object value = stripped_text(get_or(conn_data, field, nb::str("")));
    if (is_true(value)) {
        credentials[field] = value;
    }
}

} // namespace

nb::object load_connection(const ModuleGlobals& globals, nb::str connection_name) {
    nb::object name = call_method(connection_name, "strip"_id);
    if (is_reserved_name(name)) {
        return nb::none();
    }
    nb::object connections = globals.load_store();
    if (!contains(connections, name)) {
        return nb::none();
    }
    nb::object conn_data = stored_table(globals, connections, name); // the profile as stored
    nb::object connection_type = stored_connection_type(conn_data);

    nb::dict credentials;
    credentials["connection_type"] = connection_type;
    if (is_snowflake(connection_type)) {
        copy_text_fields(credentials, conn_data,
                         {"account", "user", "role", "warehouse", "private_key_file"},
                         NoneText::converted);
        nb::object passphrase =
            stripped_text(get_or(conn_data, "private_key_passphrase", nb::str("")));
        credentials["private_key_passphrase"] = is_true(passphrase) ? passphrase : nb::none();
        add_text_field_if_set(credentials, conn_data, "database");
        add_text_field_if_set(credentials, conn_data, "schema");
    } else if (is_salesforce(connection_type)) {
        copy_salesforce_fields(credentials, conn_data, NoneText::converted);
    }
    return credentials;
}

} // namespace qivo
