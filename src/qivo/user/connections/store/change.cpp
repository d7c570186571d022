#include "store/change.h"

#include "store/lock.h"
#include "store/posix_file.h"

#include <optional>
#include <string>
#include <utility>

namespace qivo {

namespace {

// The change whose reader or writer call is under way on this thread: the
// store path it locked and its report.
struct ChangeCall {
    const nb::object* store;
    ChangeReport* report;
};
thread_local ChangeCall current_call{};

// Runs `call` (the change's own call of the reader or the writer) with the
// store it must reach and its report armed for change_of_call.
template <typename Call>
auto as_change_call(const nb::object& connections_file, ChangeReport& report, Call&& call) {
    struct Armed {
        ChangeCall previous;
        Armed(const nb::object& path, ChangeReport& report) : previous(current_call) {
            current_call = path.is_valid() ? ChangeCall{&path, &report} : ChangeCall{};
        }
        ~Armed() { current_call = previous; }
        Armed(const Armed&) = delete;
        Armed& operator=(const Armed&) = delete;
    } armed(connections_file, report);
    return call();
}

} // namespace

ChangeReport* change_of_call(nb::handle connections_file, const char* doing) {
    const ChangeCall call = std::exchange(current_call, ChangeCall{});
    const nb::object* expected = call.store;
    if (expected == nullptr || fs_path(*expected) == fs_path(connections_file)) {
        return call.report;
    }
    nb::object locked = checked(PyOS_FSPath(expected->ptr()));
    nb::object other = checked(PyOS_FSPath(connections_file.ptr()));
    raise_error(PyExc_RuntimeError,
                "the connections store moved during a change: %S was locked, but %S would be %s "
                "(the home directory changed meanwhile); nothing was written",
                locked.ptr(), other.ptr(), doing);
}

void ChangeReport::add_placement(std::function<void()> place, nb::object line) {
    pending_.push_back({std::move(place), std::move(line)});
}

void ChangeReport::place_pending() {
    std::vector<Placement> pending = std::exchange(pending_, {});
    for (Placement& placement : pending) {
        placement.place();
        lines_.push_back(std::move(placement.line));
    }
}

void ChangeReport::print(const ModuleGlobals& globals) const {
    for (const nb::object& line : lines_) {
        globals.print_check_line({line});
    }
}

namespace {

// The store a change locks: the one given, else get_connections_file()
// (none when no TOML reader is available and reading is bound to fail).
nb::object store_to_lock(const ModuleGlobals& globals, StoreSource source) {
    if (source.connections_file().is_valid()) {
        return nb::borrow(source.connections_file());
    }
    return globals.toml_available() ? globals.connections_file() : nb::object();
}

// The locked store as `_load_connections_file` reads it, or an empty dict
// for a store that may be missing and is.
nb::object read_locked_store(const ModuleGlobals& globals, StoreSource source,
                             const nb::object& locked, ChangeReport& report) {
    if (source.connections_file().is_valid() && !is_true(locked.attr("exists"_id)())) {
        return nb::dict();
    }
    return as_change_call(locked, report, [&] { return globals.load_store(); });
}

} // namespace

bool change_store(const ModuleGlobals& globals, StoreSource source,
                  const std::function<bool(nb::handle connections, ChangeReport& report)>& change) {
    ChangeReport report;
    bool written = false;
    try {
        nb::object locked = store_to_lock(globals, source);
        std::optional<StoreLock> lock;
        if (locked.is_valid()) {
            lock.emplace(locked, StoreLock::Purpose::change);
        }
        nb::object connections = read_locked_store(globals, source, locked, report);
        if (change(connections, report)) {
            as_change_call(locked, report, [&] {
                globals.save_store(connections);
                return 0;
            });
            report.place_pending();
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
