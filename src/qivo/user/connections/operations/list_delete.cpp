#include "operations/entry.h"
#include "operations/operations.h"
#include "store/store_lock.h"

namespace qivo {

nb::object list_connections(const ModuleNamespace& globals) {
    nb::object connections = globals.call("_load_connections_file");
    nb::list names;
    nb::object iterator = checked(PyObject_GetIter(connections.ptr()));
    while (nb::object name = nb::steal(PyIter_Next(iterator.ptr()))) {
        if (!starts_with_underscore(name)) {
            names.append(name);
        }
    }
    if (PyErr_Occurred()) {
        nb::raise_python_error();
    }
    return names;
}

bool delete_connection(const ModuleNamespace& globals, nb::str connection_name) {
    auto [lock, connections] = read_store_for_change(globals);
    if (!contains(connections, connection_name)) {
        return false;
    }
    checked_status(PyObject_DelItem(connections.ptr(), connection_name.ptr()));
    globals.call("_save_connections_file", connections);
    globals.print_check_line("Deleted connection '%U'", connection_name.ptr());
    return true;
}

} // namespace qivo
