#include "operations/operations.h"
#include "store/change.h"

namespace qivo {

bool delete_connection(const ModuleGlobals& globals, nb::str connection_name) {
    const bool deleted =
        change_store(globals, StoreSource::existing(), [&](nb::handle connections, ChangeReport&) {
            if (!contains(connections, connection_name)) {
                return false;
            }
            checked_status(PyObject_DelItem(connections.ptr(), connection_name.ptr()));
            return true;
        });
    if (deleted) {
        globals.print_check_line({"Deleted connection '", connection_name, "'"});
    }
    return deleted;
}

} // namespace qivo
