// One change of the whole store: lock it, read it, let the operation change
// the mapping, write it back, release the lock, then print what the change
// reported.
#pragma once

#include "module_globals.h"

#include <functional>
#include <initializer_list>
#include <vector>

namespace qivo {

// What a change reports, and what it does to files other than the store (a
// key file copied into the per-user directory). Those are done just before
// the store is replaced, once everything that can fail before it has not
// (the store's text is staged and checked, and its path has not moved), so
// a change that fails leaves them undone; see Placement below. The lines
// (without their "✓ ") are printed only once the lock is released, so that
// a blocked standard output never holds up other writers and a `print` that
// changes the store does not wait for itself. Lines of what was done before
// a failure are printed all the same.
class ChangeReport {
public:
    void add(std::initializer_list<TextPiece> pieces) { lines_.push_back(concatenate(pieces)); }

    // `place` runs when the change's pending placements are done, and
    // `line` is reported once it has; if the change fails first, neither
    // happens (and whatever `place` holds is released then).
    void add_placement(std::function<void()> place, nb::object line);

    // Does the pending placements, in the order they were added.
    void place_pending();

    void print(const ModuleGlobals& globals) const;

private:
    struct Placement {
        std::function<void()> place;
        nb::object line;
    };

    std::vector<nb::object> lines_;
    std::vector<Placement> pending_;
};

// Where a change finds the store it changes.
class StoreSource {
public:
    // An existing store, read with `_load_connections_file` (which raises
    // when there is none). The lock is taken on `get_connections_file()`,
    // unless no TOML reader is available and reading is bound to fail.
    static StoreSource existing() { return StoreSource(nb::handle()); }

    // The store at `connections_file`, which a save has just initialised but
    // which may be missing all the same: the change then starts from an empty
    // dict.
    static StoreSource may_be_missing(nb::handle connections_file) {
        return StoreSource(connections_file);
    }

    // The store file that may be missing, or none for an existing store.
    nb::handle connections_file() const { return connections_file_; }

private:
    explicit StoreSource(nb::handle connections_file) : connections_file_(connections_file) {}

    nb::handle connections_file_;
};

// The report of the change whose own call of the reader or the writer is
// under way on this thread, or null outside one. Raises RuntimeError, naming
// both paths, when that reader or writer computes a store path other than
// the one the change locked: the home may have moved meanwhile (a value's
// __str__, or another thread, changing HOME), and reading one home's store
// and writing another's would lose the second's profiles. `doing` is "read"
// or "written".
ChangeReport* change_of_call(nb::handle connections_file, const char* doing);

// Runs one change: locks the store, reads it, calls `change(connections,
// report)`, which alters the mapping and returns whether it must be written
// (false: nothing to do), writes it with `_save_connections_file` (which
// does the pending placements just before it replaces the store; a writer
// that does not leaves them to be done after it returns), releases the lock
// and prints the reported lines. Returns whether the store was written.
bool change_store(const ModuleGlobals& globals, StoreSource source,
                  const std::function<bool(nb::handle connections, ChangeReport& report)>& change);

} // namespace qivo
