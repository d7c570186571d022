#include "store/change.h"

#include "store/lock.h"
#include "store/posix_file.h"

#include <optional>
#include <string>
#include <utility>

namespace qivo {

namespace {

// The store path locked by the change whose reader or writer call is under
// way on this thread, or null.
thread_local const nb::object* expected_store = nullptr;

// Runs `call` (the change's own call of the reader or the writer) with the
// store it must reach armed for check_store_of_change.
template <typename Call>
auto with_expected_store(const nb::object& connections_file, Call&& call) {
    struct Armed {
        const nb::object* previous;
        explicit Armed(const nb::object& path) : previous(expected_store) {
            expected_store = path.is_valid() ? &path : nullptr;
        }
        ~Armed() { expected_store = previous; }
        Armed(const Armed&) = delete;
        Armed& operator=(const Armed&) = delete;
    } armed(connections_file);
    return call();
}

} // namespace

void check_store_of_change(nb::handle connections_file, const char* doing) {
    const nb::object* expected = std::exchange(expected_store, nullptr);
    if (expected == nullptr || fs_path(*expected) == fs_path(connections_file)) {
        return;
    }
    nb::object locked = checked(PyOS_FSPath(expected->ptr()));
    nb::object other = checked(PyOS_FSPath(connections_file.ptr()));
    raise_error(PyExc_RuntimeError,
                "the connections store moved during a change: %S was locked, but %S would be %s "
                "(the home directory changed meanwhile); nothing was written",
                locked.ptr(), other.ptr(), doing);
}

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
        nb::object locked;
        if (source.connections_file().is_valid()) {
            locked = nb::borrow(source.connections_file());
        } else if (globals.toml_available()) {
            locked = globals.connections_file();
        }
        if (locked.is_valid()) {
            lock.emplace(locked);
        }
        nb::object connections;
        if (source.connections_file().is_valid() && !is_true(locked.attr("exists"_id)())) {
            connections = nb::dict();
        } else {
            connections = with_expected_store(locked, [&] { return globals.load_store(); });
        }
        if (change(connections, report)) {
            with_expected_store(locked, [&] {
                globals.save_store(connections);
                return 0;
            });
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
