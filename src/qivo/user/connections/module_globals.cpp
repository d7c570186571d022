#include "module_globals.h"

namespace qivo {

nb::object ModuleGlobals::velmor_dir() const {
    return names_.get("get_velmor_dir"_id)();
}

nb::object ModuleGlobals::connections_file() const {
    return names_.get("get_connections_file"_id)();
}

void ModuleGlobals::initialize_velmor_directory() const {
    names_.get("initialize_velmor_directory"_id)();
}

nb::object ModuleGlobals::load_store() const {
    return names_.get("_load_connections_file"_id)();
}

void ModuleGlobals::save_store(nb::handle connections) const {
    names_.get("_save_connections_file"_id)(connections);
}

bool ModuleGlobals::toml_available() const {
    return is_true(names_.get("TOML_AVAILABLE"_id));
}

void ModuleGlobals::require_toml() const {
    if (!toml_available()) {
        raise_error(PyExc_ValueError,
                    "TOML library is required. Install one of: tomli, toml, or use Python 3.11+");
    }
}

nb::object ModuleGlobals::toml_reader() const {
    return names_.get("tomllib"_id);
}

nb::object ModuleGlobals::toml_read_mode() const {
    return names_.get("TOML_READ_MODE"_id);
}

nb::object ModuleGlobals::path_class() const {
    return names_.get("Path"_id);
}

nb::object ModuleGlobals::os_path() const {
    return names_.get("os"_id).attr("path"_id);
}

bool ModuleGlobals::is_file(nb::handle path) const {
    return is_true(os_path().attr("isfile"_id)(path));
}

nb::object ModuleGlobals::basename(nb::handle path) const {
    return os_path().attr("basename"_id)(path);
}

nb::object ModuleGlobals::abspath(nb::handle path) const {
    return os_path().attr("abspath"_id)(path);
}

nb::object ModuleGlobals::splitext(nb::handle path) const {
    return os_path().attr("splitext"_id)(path);
}

void ModuleGlobals::chmod(nb::handle path, int mode) const {
    names_.get("os"_id).attr("chmod"_id)(path, mode);
}

void ModuleGlobals::copy2(nb::handle source, nb::handle destination) const {
    names_.get("shutil"_id).attr("copy2"_id)(source, destination);
}

nb::object ModuleGlobals::open() const {
    return names_.get("open"_id);
}

void ModuleGlobals::print_check_line(std::initializer_list<TextPiece> pieces) const {
    nb::object print = names_.get("print"_id);
    print(concatenate({"\u2713 ", concatenate(pieces)}));
}

} // namespace qivo
