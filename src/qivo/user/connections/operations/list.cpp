#include "operations/operations.h"
#include "operations/profile.h"

namespace qivo {

nb::object list_connections(const ModuleGlobals& globals) {
    nb::object connections = globals.load_store();
    nb::list names;
    for_each(connections, [&](nb::handle name) {
        if (!starts_with_underscore(name)) {
            names.append(name);
        }
    });
    return names;
}

} // namespace qivo
