#include "paths.h"

#include "store/staged_file.h"

namespace qivo {

namespace {

// The store a new `.velmor` directory starts with: one example profile.
constexpr std::string_view store_template = "[yorsk_dev1]\n"
                                            "\n"
                                            "connection_type = 'snowflake'\n"
                                            "private_key_file = ''\n"
                                            "private_key_passphrase = ''\n"
                                            "account = ''\n"
                                            "user = ''\n"
                                            "authenticator = ''\n"
                                            "warehouse = ''\n"
                                            "database = ''\n"
                                            "schema = ''\n"
                                            "role = ''\n";

// Writes the template as a new store file at `connections_file`, unless a
// file appears there meanwhile. The text is written in full beside the store
// and then moved into place without replacing anything, so a failure never
// leaves a partial store that later calls would take for a real one. The new
// file holds secrets later, so only its owner may read it.
bool create_store_from_template(const ModuleNamespace& globals, nb::handle connections_file) {
    StagedFile staged(connections_file);
    nb::str text(store_template.data(), store_template.size());
    staged.write_with_open(globals, nullptr, [&](nb::handle file) { file.attr("write")(text); });
    staged.sync(store_template.size());
    return staged.place_if_absent();
}

} // namespace

nb::object get_velmor_dir(const ModuleNamespace& globals) {
    nb::object home = globals.get("Path").attr("home")();
    return home / nb::str(".velmor");
}

nb::object get_connections_file(const ModuleNamespace& globals) {
    return globals.call("get_velmor_dir") / nb::str("connections.toml");
}

nb::object initialize_velmor_directory(const ModuleNamespace& globals) {
    nb::object velmor_dir = globals.call("get_velmor_dir");
    nb::object connections_file = globals.call("get_connections_file");
    velmor_dir.attr("mkdir")(nb::arg("mode") = 0700, nb::arg("exist_ok") = true);
    if (!is_true(connections_file.attr("exists")()) &&
        create_store_from_template(globals, connections_file)) {
        globals.print_check_line({"Created ", text(connections_file)});
    }
    return velmor_dir;
}

} // namespace qivo
