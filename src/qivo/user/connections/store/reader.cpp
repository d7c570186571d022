#include "store/reader.h"

#include "runtime/context_manager.h"
#include "store/change.h"
#include "store/lock.h"
#include "store/posix_file.h"
#include "store/system_calls.h"
#include "toml/parser.h"
#include "toml/tomllib_snapshot.h"

#include <array>
#include <string_view>

namespace qivo {

namespace {

// Whether the store's bytes may be read here, to be parsed natively unless
// tomllib changes meanwhile (read_natively), instead of by `reader.load(file)`
// without any difference a caller could see: the reader is the standard
// tomllib with its own load, which gets the file first, the file was opened
// for reading bytes, and `file` is the buffered reader that open() returns
// for that.
bool reads_natively(const TomllibSnapshot* standard, nb::handle reader, nb::handle read_mode,
                    nb::handle file) {
    return standard != nullptr && PyUnicode_CheckExact(read_mode.ptr()) &&
           PyUnicode_CompareWithASCIIString(read_mode.ptr(), "rb") == 0 &&
           Py_IS_TYPE(file.ptr(),
                      reinterpret_cast<PyTypeObject*>(standard->buffered_reader_type().ptr())) &&
           standard->load_unchanged(reader);
}

// What `reader.load(file)` returns, from the bytes that its own first step,
// `file.read()`, returns. The read may wait (a FIFO, a slow file system) or
// run code, so whether tomllib is still as the module found it is checked
// after the read, right before the parse. Text the native parser declines,
// or that a changed tomllib must read, goes to `reader.load` after all, over
// the same bytes in memory: its result or its error is then tomllib's own,
// and the file is read once either way.
nb::object read_natively(const TomllibSnapshot& standard, nb::handle reader, nb::handle file) {
    nb::object data = call_method(file, "read"_id);
    if (!PyBytes_CheckExact(data.ptr())) {
        // Only a non-blocking stream reads None; load() gets it as it would.
        nb::object read = import_module("itertools"_id).attr("repeat"_id)(data).attr("__next__"_id);
        nb::object stand_in =
            import_module("types"_id).attr("SimpleNamespace"_id)(nb::arg("read") = read);
        return reader.attr("load"_id)(stand_in);
    }
    const std::string_view bytes(PyBytes_AS_STRING(data.ptr()),
                                 static_cast<size_t>(PyBytes_GET_SIZE(data.ptr())));
    if (standard.unchanged(reader)) {
        if (nb::object parsed = parse_store_text(bytes, standard.offset_timezone());
            parsed.is_valid()) {
            return parsed;
        }
    }
    return reader.attr("load"_id)(standard.bytes_io_type()(data));
}

// Whether the file starts with the UTF-8 byte-order mark, which TOML does not
// allow (false when it cannot be read).
bool starts_with_byte_order_mark(nb::handle connections_file) {
    const UniqueFd file(retry_on_interrupt(
        [&] { return posix::open(fs_path(connections_file).c_str(), O_RDONLY | O_CLOEXEC); }));
    std::array<char, 3> start{};
    return file && read_fully(file.get(), start) == 3 &&
           std::string_view(start.data(), 3) == "\xEF\xBB\xBF";
}

// Adds to an error the reader raised for the file's content (a
// TOMLDecodeError or UnicodeDecodeError, both ValueErrors) notes that name
// the file and, for a byte-order mark, say how to mend it. The error keeps
// its type and message; a note that cannot be added is left out.
void add_notes_naming_the_file(nb::python_error& error, nb::handle connections_file) {
    if (!error.matches(PyExc_ValueError)) {
        return;
    }
    auto add_note = [&](nb::handle note) {
        nb::object added =
            nb::steal(PyObject_CallMethodOneArg(error.value().ptr(), "add_note"_id, note.ptr()));
        if (!added.is_valid()) {
            PyErr_Clear();
        }
    };
    nb::object path = checked(PyOS_FSPath(connections_file.ptr()));
    add_note(concatenate({"while reading the connections file ", text(path)}));
    if (starts_with_byte_order_mark(connections_file)) {
        add_note(nb::str("the file starts with a UTF-8 byte-order mark, which TOML does not allow: "
                         "save it as UTF-8 without one (remove its first three bytes)"));
    }
}

// Opens the store for reading with the module's current `open`, in the
// module's current read mode (set in `read_mode`). A text-mode reader decodes
// the file as UTF-8, as the byte readers do, whatever the locale: the writer
// always writes UTF-8.
nb::object open_store(const ModuleGlobals& globals, nb::handle connections_file,
                      nb::object& read_mode) {
    nb::object open = globals.open();
    read_mode = globals.toml_read_mode();
    const bool text_mode =
        PyUnicode_Check(read_mode.ptr()) &&
        PyUnicode_FindChar(read_mode.ptr(), 'b', 0, PyUnicode_GET_LENGTH(read_mode.ptr()), 1) < 0;
    return text_mode ? open(connections_file, read_mode, nb::arg("encoding") = "utf-8")
                     : open(connections_file, read_mode);
}

// The store, opened. Where it seems not to exist while a writer holds its
// lock (replacing a file by a rename leaves a moment on FUSE file systems in
// which its name leads nowhere), it is looked for once more when the writer
// is done, so that a reader is never told that an existing store is missing.
nb::object open_existing_store(const ModuleGlobals& globals, nb::handle connections_file,
                               nb::object& read_mode) {
    std::optional<StoreLock> second_look;
    auto look_again = [&] {
        second_look.emplace(connections_file, StoreLock::Purpose::second_look);
        return second_look->held();
    };
    if (!is_true(connections_file.attr("exists"_id)()) &&
        (!look_again() || !is_true(connections_file.attr("exists"_id)()))) {
        raise_error(PyExc_FileNotFoundError, "Connections file not found: %S",
                    connections_file.ptr());
    }
    try {
        return open_store(globals, connections_file, read_mode);
    } catch (nb::python_error& error) {
        if (second_look || !error.matches(PyExc_FileNotFoundError) || !look_again()) {
            throw;
        }
    }
    return open_store(globals, connections_file, read_mode);
}

} // namespace

nb::object load_connections_file(const ModuleGlobals& globals) {
    globals.require_toml();
    nb::object connections_file = globals.connections_file();
    change_of_call(connections_file, "read");
    nb::object read_mode;
    nb::object file = open_existing_store(globals, connections_file, read_mode);
    const TomllibSnapshot* standard = globals.tomllib_snapshot();
    nb::object connections;
    try {
        connections = with_block(file, "connections", [&](nb::handle entered) {
            nb::object reader = globals.toml_reader();
            if (reads_natively(standard, reader, read_mode, entered)) {
                return read_natively(*standard, reader, entered);
            }
            return reader.attr("load"_id)(entered);
        });
    } catch (nb::python_error& error) {
        add_notes_naming_the_file(error, connections_file);
        throw;
    }
    if (!connections.is_none() && !PyDict_CheckExact(connections.ptr())) {
        raise_expected_type("dict", connections);
    }
    return connections;
}

} // namespace qivo
