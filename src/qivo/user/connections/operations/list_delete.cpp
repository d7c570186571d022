#include "operations/entry.h"
#include "operations/operations.h"
#include "store/store_lock.h"

namespace qivo {

nb::object list_connections(const ModuleNamespace& globals) {
    nb::object connections = globals.call("_load_connections_file");
    nb::list names;
    for_each(connections, [&](nb::handle name) {
        if (!starts_with_underscore(name)) {
            names.append(name);
        }
    });
    return names;
}

bool delete_connection(const ModuleNamespace& globals, nb::str connection_name) {
    auto [lock, connections] = read_store_for_change(globals);
    if (!contains(connections, connection_name)) {
        return false;
    }
    checked_status(PyObject_DelItem(connections.ptr(), connection_name.ptr()));
    globals.call("_save_connections_file", connections);
    globals.print_check_line({"Deleted connection '", connection_name, "'"});
    return true;
}

} // namespace qivo
