#include "operations/entry.h"

#include "store/posix_file.h"

#include <array>
#include <cstring>
#include <string>
#include <sys/stat.h>

namespace qivo {

namespace {

nb::object empty_text() {
    return nb::str("");
}

// `str(value).strip()`, or "" for None when the field takes None as empty.
nb::object field_text(nb::handle value, NoneText none) {
    if (none == NoneText::empty && value.is_none()) {
        return nb::str("");
    }
    return stripped_text(value);
}

// Names in the per-user directory that belong to the store itself: the
// store, its lock file and the writer's temporary files.
bool is_store_file_name(nb::handle name) {
    if (!PyUnicode_Check(name.ptr())) {
        return false;
    }
    const std::string_view text = utf8_of(name);
    return text == "connections.toml" || text == "connections.toml.lock" ||
           text.starts_with(".connections.toml.tmp-");
}

// Whether two files hold the same bytes; false when either cannot be read.
bool same_content(nb::handle first_path, nb::handle second_path) {
    const UniqueFd first(open_for_reading(first_path));
    const UniqueFd second(open_for_reading(second_path));
    if (!first || !second) {
        return false;
    }
    std::array<char, 16384> first_block{};
    std::array<char, 16384> second_block{};
    for (;;) {
        const ssize_t first_size = read_fully(first.get(), first_block);
        const ssize_t second_size = read_fully(second.get(), second_block);
        if (first_size < 0 || first_size != second_size ||
            std::memcmp(first_block.data(), second_block.data(), static_cast<size_t>(first_size)) !=
                0) {
            return false;
        }
        if (first_size == 0) {
            return true;
        }
    }
}

// What stands at a path in the per-user directory, for placing a key there.
enum class Occupant { nothing, regular_file, other };

Occupant occupant_of(nb::handle path) {
    const std::string fs = fs_path(path);
    struct stat info{};
    if (lstat(fs.c_str(), &info) != 0) {
        return errno == ENOENT ? Occupant::nothing : Occupant::other;
    }
    return stat(fs.c_str(), &info) == 0 && S_ISREG(info.st_mode) ? Occupant::regular_file
                                                                 : Occupant::other;
}

// Chooses where in the per-user directory a key file is copied. The key's
// own base name comes first, then "<stem>-2<suffix>", "<stem>-3<suffix>", ...;
// a name is taken when a file stands there that another profile of the store
// records and that holds different bytes, so no profile ever loses its key to
// another's. Names of the store's own files, and anything but a regular
// file, are never taken over.
class KeyDestination {
public:
    KeyDestination(const ModuleNamespace& globals, const EntryTarget& target,
                   nb::handle private_key_file)
        : globals_(globals), target_(target), private_key_file_(private_key_file) {}

    nb::object choose(nb::handle key_filename, nb::handle dest_key_path, nb::handle dst_path) {
        if (usable(key_filename, dest_key_path, dst_path)) {
            return nb::borrow(dest_key_path);
        }
        nb::object parts = os_path().attr("splitext")(key_filename);
        nb::object stem = parts[0];
        nb::object suffix = parts[1];
        for (long number = 2;; ++number) {
            nb::object name =
                stem + nb::str("-") + nb::str(std::to_string(number).c_str()) + suffix;
            nb::object candidate = target_.velmor_dir / name;
            if (usable(name, candidate, os_path().attr("abspath")(candidate))) {
                return candidate;
            }
        }
    }

private:
    nb::object os_path() const { return globals_.get("os").attr("path"); }

    bool usable(nb::handle name, nb::handle candidate, nb::handle absolute) {
        if (is_store_file_name(name)) {
            return false;
        }
        switch (occupant_of(candidate)) {
        case Occupant::nothing:
            return true;
        case Occupant::other:
            return false;
        case Occupant::regular_file:
            break;
        }
        return !contains(recorded_keys(), absolute) || same_content(private_key_file_, candidate);
    }

    // The absolute key paths that the other profiles of the store record,
    // collected once, when a candidate first turns out to be occupied.
    nb::handle recorded_keys() {
        if (recorded_.is_valid()) {
            return recorded_;
        }
        recorded_ = checked(PySet_New(nullptr));
        nb::object abspath = os_path().attr("abspath");
        for_each_item(target_.connections, [&](nb::handle name, nb::handle table) {
            if (!PyDict_Check(table.ptr()) || name.equal(target_.name)) {
                return;
            }
            nb::object recorded = get_or(table, "private_key_file", nb::none());
            if (PyUnicode_Check(recorded.ptr()) && PyUnicode_GET_LENGTH(recorded.ptr()) > 0) {
                nb::object stripped = checked(PyObject_CallMethod(
                    reinterpret_cast<PyObject*>(&PyUnicode_Type), "strip", "O", recorded.ptr()));
                checked_status(PySet_Add(recorded_.ptr(), abspath(stripped).ptr()));
            }
        });
        return recorded_;
    }

    const ModuleNamespace& globals_;
    const EntryTarget& target_;
    nb::handle private_key_file_;
    nb::object recorded_;
};

// Copies the key file named in `credentials` into the per-user directory
// with mode 0o600, unless copying is off or the name is not an existing file;
// returns the path the entry records (still to be converted to text).
nb::object place_private_key(const ModuleNamespace& globals, nb::dict credentials, bool copy_key,
                             const EntryTarget& target) {
    nb::object private_key_file = get_or(credentials, "private_key_file", empty_text());
    if (!copy_key || !is_true(private_key_file) ||
        !is_true(globals.get("os").attr("path").attr("isfile")(private_key_file))) {
        return private_key_file;
    }
    nb::object key_filename = globals.get("os").attr("path").attr("basename")(private_key_file);
    nb::object dest_key_path = target.velmor_dir / key_filename;
    nb::object src_path = globals.get("os").attr("path").attr("abspath")(private_key_file);
    nb::object dst_path = globals.get("os").attr("path").attr("abspath")(dest_key_path);
    if (src_path.equal(dst_path)) {
        globals.get("os").attr("chmod")(dest_key_path, 0600);
        globals.print_check_line({"Private key already in .velmor directory"});
        return checked(PyObject_Str(dest_key_path.ptr()));
    }
    nb::object destination = KeyDestination(globals, target, private_key_file)
                                 .choose(key_filename, dest_key_path, dst_path);
    globals.get("shutil").attr("copy2")(private_key_file, destination);
    globals.get("os").attr("chmod")(destination, 0600);
    globals.print_check_line({"Copied private key to ", text(destination)});
    return checked(PyObject_Str(destination.ptr()));
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

nb::object normalize_type(nb::handle connection_type) {
    return call_method(call_method(connection_type, "strip"), "lower");
}

nb::object stored_connection_type(nb::handle entry) {
    return call_method(stripped_text(get_or(entry, "connection_type", nb::str("snowflake"))),
                       "lower");
}

bool is_snowflake(nb::handle type) {
    nb::str snowflake("snowflake");
    return checked_status(PyObject_RichCompareBool(type.ptr(), snowflake.ptr(), Py_EQ)) != 0;
}

bool is_salesforce(nb::handle type) {
    nb::str salesforce("salesforce");
    return checked_status(PyObject_RichCompareBool(type.ptr(), salesforce.ptr(), Py_EQ)) != 0;
}

void raise_unknown_connection_type(nb::handle type) {
    raise_message(PyExc_ValueError,
                  {"Unknown connection type: ", type, ". Must be 'snowflake' or 'salesforce'"});
}

void copy_text_fields(nb::dict target, nb::handle source, std::initializer_list<const char*> fields,
                      NoneText none) {
    for (const char* field : fields) {
        target[field] = field_text(get_or(source, field, empty_text()), none);
    }
}

void copy_salesforce_fields(nb::dict target, nb::handle source, NoneText none) {
    copy_text_fields(target, source, {"client_id", "client_key"}, none);
    target["sandbox"] = get_or(source, "sandbox", nb::borrow(Py_False));
    copy_text_fields(target, source, {"my_domain"}, none);
    target["redirect_url"] =
        field_text(get_or(source, "redirect_url", nb::str(default_redirect_url)), none);
}

nb::dict build_connection_entry(const ModuleNamespace& globals, nb::handle type,
                                nb::dict credentials, bool copy_key, const EntryTarget& target) {
    constexpr NoneText none = NoneText::empty;
    nb::dict entry;
    entry["connection_type"] = type;
    if (is_snowflake(type)) {
        nb::object private_key_file = place_private_key(globals, credentials, copy_key, target);
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
