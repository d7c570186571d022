#include "operations/profile.h"

namespace qivo {

namespace {

// `str(value).strip()`, or "" for None when the field takes None as empty.
nb::object field_text(nb::handle value, NoneText none) {
    if (none == NoneText::empty && value.is_none()) {
        return nb::str("");
    }
    return stripped_text(value);
}

bool equals_text(nb::handle value, const char* text) {
    nb::str expected(text);
    return checked_status(PyObject_RichCompareBool(value.ptr(), expected.ptr(), Py_EQ)) != 0;
}

} // namespace

bool starts_with_underscore(nb::handle name) {
    nb::str underscore("_");
    if (PyUnicode_CheckExact(name.ptr())) {
        return checked_status(static_cast<int>(
                   PyUnicode_Tailmatch(name.ptr(), underscore.ptr(), 0, PY_SSIZE_T_MAX, -1))) != 0;
    }
    return is_true(name.attr("startswith"_id)(underscore));
}

bool is_reserved_name(nb::handle stripped_name) {
    return nb::len(stripped_name) == 0 || starts_with_underscore(stripped_name);
}

nb::object stored_table(const ModuleGlobals& globals, nb::handle connections, nb::handle name) {
    nb::object entry = connections[name];
    if (!PyDict_Check(entry.ptr())) {
        nb::object file = globals.connections_file();
        raise_error(PyExc_ValueError, "%s %R in %S is not a table (found %.200s)",
                    starts_with_underscore(name) ? "Entry" : "Connection", name.ptr(), file.ptr(),
                    Py_TYPE(entry.ptr())->tp_name);
    }
    return entry;
}

nb::object normalize_type(nb::handle connection_type) {
    return call_method(call_method(connection_type, "strip"_id), "lower"_id);
}

nb::object stored_connection_type(nb::handle entry) {
    return call_method(stripped_text(get_or(entry, "connection_type", nb::str("snowflake"))),
                       "lower"_id);
}

bool is_snowflake(nb::handle type) {
    return equals_text(type, "snowflake");
}

bool is_salesforce(nb::handle type) {
    return equals_text(type, "salesforce");
}

void raise_unknown_connection_type(nb::handle type) {
    raise_message(PyExc_ValueError,
                  {"Unknown connection type: ", type, ". Must be 'snowflake' or 'salesforce'"});
}

void copy_text_fields(nb::dict target, nb::handle source, std::initializer_list<const char*> fields,
                      NoneText none) {
    for (const char* field : fields) {
        target[field] = field_text(get_or(source, field, nb::str("")), none);
    }
}

void copy_salesforce_fields(nb::dict target, nb::handle source, NoneText none) {
    copy_text_fields(target, source, {"client_id", "client_key"}, none);
    target["sandbox"] = get_or(source, "sandbox", nb::borrow(Py_False));
    copy_text_fields(target, source, {"my_domain"}, none);
    target["redirect_url"] =
        field_text(get_or(source, "redirect_url", nb::str(default_redirect_url)), none);
}

nb::dict build_connection_entry(const ModuleGlobals& globals, nb::handle type, nb::dict credentials,
                                bool copy_key, const KeyOwner& owner, ChangeReport& report) {
    constexpr NoneText none = NoneText::empty;
    nb::dict entry;
    entry["connection_type"] = type;
    if (is_snowflake(type)) {
        nb::object private_key_file =
            place_private_key(globals, credentials, copy_key, owner, report);
        entry["private_key_file"] = field_text(private_key_file, none);
        copy_text_fields(entry, credentials, {"private_key_passphrase", "account", "user"}, none);
        entry["authenticator"] = nb::str("SNOWFLAKE_JWT");
        copy_text_fields(entry, credentials, {"warehouse", "database", "schema", "role"}, none);
    } else if (is_salesforce(type)) {
        copy_salesforce_fields(entry, credentials, none);
    } else {
        raise_unknown_connection_type(type);
    }
    return entry;
}

} // namespace qivo
