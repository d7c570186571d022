// The one door to the module's late-bound globals: each method looks its
// name up in the module's namespace (then the builtins) at the moment of the
// call, so rebinding a module attribute changes every later call. No other
// source spells a global's name.
#pragma once

#include "module_state.h"
#include "runtime/module_namespace.h"

#include <initializer_list>

namespace qivo {

class ModuleGlobals {
public:
    explicit ModuleGlobals(const ModuleNamespace& names) : names_(names) {}

    // The module's own functions.
    nb::object velmor_dir() const;                 // get_velmor_dir()
    nb::object connections_file() const;           // get_connections_file()
    void initialize_velmor_directory() const;      // initialize_velmor_directory()
    nb::object load_store() const;                 // _load_connections_file()
    void save_store(nb::handle connections) const; // _save_connections_file(connections)

    // The TOML reader chosen at import.
    bool toml_available() const; // TOML_AVAILABLE, tested for truth
    // Raises the shared ValueError unless a TOML reader is available now.
    void require_toml() const;
    nb::object toml_reader() const;    // tomllib
    nb::object toml_read_mode() const; // TOML_READ_MODE
    // The standard tomllib as the module found it at import, when it chose
    // that reader (not a global: kept in the module's state).
    const TomllibSnapshot* tomllib_snapshot() const {
        return module_state(names_.module())->tomllib_snapshot;
    }

    // The standard library.
    nb::object path_class() const;                               // Path
    bool is_file(nb::handle path) const;                         // os.path.isfile(path)
    nb::object basename(nb::handle path) const;                  // os.path.basename(path)
    nb::object abspath(nb::handle path) const;                   // os.path.abspath(path)
    nb::object splitext(nb::handle path) const;                  // os.path.splitext(path)
    void chmod(nb::handle path, int mode) const;                 // os.chmod(path, mode)
    void copy2(nb::handle source, nb::handle destination) const; // shutil.copy2(...)

    // The builtins.
    nb::object open() const; // open
    // print("✓ " + the pieces joined with `+`): the line every completed
    // change reports.
    void print_check_line(std::initializer_list<TextPiece> pieces) const;

private:
    nb::object os_path() const;

    ModuleNamespace names_;
};

} // namespace qivo
