#include "operations/entry.h"

namespace qivo {

namespace {

nb::object empty_text() {
    return nb::str("");
}

// Copies the key file named in `credentials` into `velmor_dir` with mode
// 0o600, unless copying is off or the name is not an existing file; returns
// the path the entry records (still to be converted to text).
nb::object place_private_key(const ModuleNamespace& globals, nb::dict credentials, bool copy_key,
                             nb::handle velmor_dir) {
    nb::object private_key_file = get_or(credentials, "private_key_file", empty_text());
    if (!copy_key || !is_true(private_key_file) ||
        !is_true(globals.get("os").attr("path").attr("isfile")(private_key_file))) {
        return private_key_file;
    }
    nb::object key_filename = globals.get("os").attr("path").attr("basename")(private_key_file);
    nb::object dest_key_path = velmor_dir / key_filename;
    nb::object src_path = globals.get("os").attr("path").attr("abspath")(private_key_file);
    nb::object dst_path = globals.get("os").attr("path").attr("abspath")(dest_key_path);
    if (src_path.not_equal(dst_path)) {
        globals.get("shutil").attr("copy2")(private_key_file, dest_key_path);
        globals.get("os").attr("chmod")(dest_key_path, 0600);
        globals.print_check_line("Copied private key to %S", dest_key_path.ptr());
    } else {
        globals.get("os").attr("chmod")(dest_key_path, 0600);
        globals.print_check_line("Private key already in .velmor directory");
    }
    return checked(PyObject_Str(dest_key_path.ptr()));
}

} // namespace

nb::object get_or(nb::handle mapping, const char* key, nb::handle default_value) {
    if (PyDict_CheckExact(mapping.ptr())) {
        PyObject* found = nullptr;
        checked_status(PyDict_GetItemStringRef(mapping.ptr(), key, &found));
        return found ? nb::steal(found) : nb::borrow(default_value);
    }
    return mapping.attr("get")(key, default_value);
}

bool contains(nb::handle container, nb::handle key) {
    return checked_status(PySequence_Contains(container.ptr(), key.ptr())) != 0;
}

bool starts_with_underscore(nb::handle name) {
    if (PyUnicode_CheckExact(name.ptr())) {
        nb::str underscore("_");
        return checked_status(static_cast<int>(
                   PyUnicode_Tailmatch(name.ptr(), underscore.ptr(), 0, PY_SSIZE_T_MAX, -1))) != 0;
    }
    return is_true(name.attr("startswith")("_"));
}

bool is_reserved_name(nb::handle stripped_name) {
    return nb::len(stripped_name) == 0 || starts_with_underscore(stripped_name);
}

nb::str normalize_type(nb::handle connection_type) {
    return nb::borrow<nb::str>(call_method(call_method(connection_type, "strip"), "lower"));
}

nb::str stored_connection_type(nb::handle entry) {
    nb::str text = text_of(get_or(entry, "connection_type", nb::str("snowflake")));
    return nb::borrow<nb::str>(call_method(text, "lower"));
}

bool is_snowflake(nb::handle type) {
    return PyUnicode_CompareWithASCIIString(type.ptr(), "snowflake") == 0;
}

bool is_salesforce(nb::handle type) {
    return PyUnicode_CompareWithASCIIString(type.ptr(), "salesforce") == 0;
}

void raise_unknown_connection_type(nb::handle type) {
    raise_error(PyExc_ValueError,
                "Unknown connection type: %U. Must be 'snowflake' or 'salesforce'", type.ptr());
}

void copy_text_fields(nb::dict target, nb::handle source,
                      std::initializer_list<const char*> fields) {
    for (const char* field : fields) {
        target[field] = text_of(get_or(source, field, empty_text()));
    }
}

void copy_salesforce_fields(nb::dict target, nb::handle source) {
    copy_text_fields(target, source, {"client_id", "client_key"});
    target["sandbox"] = get_or(source, "sandbox", nb::borrow(Py_False));
    copy_text_fields(target, source, {"my_domain"});
    target["redirect_url"] = text_of(get_or(source, "redirect_url", nb::str(default_redirect_url)));
}

nb::dict build_connection_entry(const ModuleNamespace& globals, nb::handle type,
                                nb::dict credentials, bool copy_key, nb::handle velmor_dir) {
    nb::dict entry;
    entry["connection_type"] = type;
    if (is_snowflake(type)) {
        nb::object private_key_file = place_private_key(globals, credentials, copy_key, velmor_dir);
        entry["private_key_file"] = text_of(private_key_file);
        copy_text_fields(entry, credentials, {"private_key_passphrase", "account", "user"});
        entry["authenticator"] = nb::str("SNOWFLAKE_JWT");
        copy_text_fields(entry, credentials, {"warehouse", "database", "schema", "role"});
    } else if (is_salesforce(type)) {
        copy_salesforce_fields(entry, credentials);
    } else {
        raise_unknown_connection_type(type);
    }
    return entry;
}

} // namespace qivo
