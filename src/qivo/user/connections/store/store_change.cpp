#include "store/store_change.h"

#include "store/store_lock.h"

#include <optional>

namespace qivo {

void ChangeReport::print(const ModuleGlobals& globals) const {
    for (const nb::object& line : lines_) {
        globals.print_check_line({line});
    }
}

bool change_store(const ModuleGlobals& globals, StoreSource source,
                  const std::function<bool(nb::handle connections, ChangeReport& report)>& change) {
    ChangeReport report;
    bool written = false;
    try {
        std::optional<StoreLock> lock;
        nb::object connections;
        if (source.connections_file().is_valid()) {
            lock.emplace(source.connections_file());
            connections = is_true(source.connections_file().attr("exists"_id)())
                              ? globals.load_store()
                              : nb::dict();
        } else {
            if (globals.toml_available()) {
                lock.emplace(globals.connections_file());
            }
            connections = globals.load_store();
        }
        if (change(connections, report)) {
            globals.save_store(connections);
            written = true;
        }
    } catch (nb::python_error& error) {
        // What happened before the failure (a copied key) is still reported;
        // an error while printing it is raised instead, in the context of
        // the first, as from a `finally` block.
        try {
            report.print(globals);
        } catch (nb::python_error& printing) {
            if (!printing.value().is(error.value())) {
                PyException_SetContext(printing.value().ptr(), Py_NewRef(error.value().ptr()));
            }
            throw;
        }
        throw;
    }
    report.print(globals);
    return written;
}

} // namespace qivo
