#include "store/store.h"

namespace qivo {

nb::object load_connections_file(const ModuleNamespace& globals) {
    globals.require_toml();
    nb::object connections_file = globals.call("get_connections_file");
    if (!is_true(connections_file.attr("exists")())) {
        raise_error(PyExc_FileNotFoundError, "Connections file not found: %S",
                    connections_file.ptr());
    }
    nb::object open = globals.get("open");
    nb::object read_mode = globals.get("TOML_READ_MODE");
    // A text-mode reader decodes the file as UTF-8, as the byte readers do,
    // whatever the locale: the writer always writes UTF-8.
    const bool text_mode =
        PyUnicode_Check(read_mode.ptr()) &&
        PyUnicode_FindChar(read_mode.ptr(), 'b', 0, PyUnicode_GET_LENGTH(read_mode.ptr()), 1) < 0;
    nb::object file = text_mode ? open(connections_file, read_mode, nb::arg("encoding") = "utf-8")
                                : open(connections_file, read_mode);
    nb::object connections = with_block(file, "connections", [&](nb::handle entered) {
        return globals.get("tomllib").attr("load")(entered);
    });
    if (!connections.is_none() && !PyDict_CheckExact(connections.ptr())) {
        raise_error(PyExc_TypeError, "Expected %s, got %.200s", "dict",
                    Py_TYPE(connections.ptr())->tp_name);
    }
    return connections;
}

} // namespace qivo
