#include "store/reader.h"

#include "runtime/context_manager.h"

namespace qivo {

nb::object load_connections_file(const ModuleGlobals& globals) {
    globals.require_toml();
    nb::object connections_file = globals.connections_file();
    if (!is_true(connections_file.attr("exists"_id)())) {
        raise_error(PyExc_FileNotFoundError, "Connections file not found: %S",
                    connections_file.ptr());
    }
    nb::object open = globals.open();
    nb::object read_mode = globals.toml_read_mode();
    // A text-mode reader decodes the file as UTF-8, as the byte readers do,
    // whatever the locale: the writer always writes UTF-8.
    const bool text_mode =
        PyUnicode_Check(read_mode.ptr()) &&
        PyUnicode_FindChar(read_mode.ptr(), 'b', 0, PyUnicode_GET_LENGTH(read_mode.ptr()), 1) < 0;
    nb::object file = text_mode ? open(connections_file, read_mode, nb::arg("encoding") = "utf-8")
                                : open(connections_file, read_mode);
    nb::object connections = with_block(file, "connections", [&](nb::handle entered) {
        return globals.toml_reader().attr("load"_id)(entered);
    });
    if (!connections.is_none() && !PyDict_CheckExact(connections.ptr())) {
        raise_expected_type("dict", connections);
    }
    return connections;
}

} // namespace qivo
