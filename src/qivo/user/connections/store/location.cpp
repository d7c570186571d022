#include "store/location.h"

#include "store/lock.h"
#include "store/staged_file.h"
#include "store/writer.h"

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
// file appears there meanwhile, under the store's lock like every write. The
// text is written in full beside the store and then moved into place without
// replacing anything, so a failure never leaves a partial store that later
// calls would take for a real one. The new file holds secrets later, so only
// its owner may read it.
bool create_store_from_template(const ModuleGlobals& globals, nb::handle connections_file) {
    const StoreLock lock(connections_file, StoreLock::Purpose::write);
    StagedFile staged(connections_file);
    nb::str text(store_template.data(), store_template.size());
    write_with_open(globals, staged.temporary_path(), nullptr,
                    [&](nb::handle file) { file.attr("write"_id)(text); });
    staged.verify_and_sync(store_template);
    return staged.place_if_absent();
}

constexpr std::string_view store_file_name = "connections.toml";

} // namespace

std::string temporary_file_prefix() {
    // Appended piece by piece: GCC 12's -Wrestrict misfires on `"." + std::string&&` under ASan.
    std::string prefix(".");
    prefix.append(store_file_name);
    prefix.append(".tmp-");
    return prefix;
}

bool is_store_file_name(std::string_view name) {
    const std::string store(store_file_name);
    return name == store || name == store + ".lock" || name.starts_with(temporary_file_prefix());
}

nb::object get_velmor_dir(const ModuleGlobals& globals) {
    nb::object home = globals.path_class().attr("home"_id)();
    return home / nb::str(".velmor");
}

nb::object get_connections_file(const ModuleGlobals& globals) {
    return globals.velmor_dir() / nb::str(store_file_name.data(), store_file_name.size());
}

nb::object initialize_velmor_directory(const ModuleGlobals& globals) {
    nb::object velmor_dir = globals.velmor_dir();
    nb::object connections_file = globals.connections_file();
    velmor_dir.attr("mkdir"_id)(nb::arg("mode") = 0700, nb::arg("exist_ok") = true);
    if (!is_true(connections_file.attr("exists"_id)()) &&
        create_store_from_template(globals, connections_file)) {
        globals.print_check_line({"Created ", text(connections_file)});
    }
    return velmor_dir;
}

} // namespace qivo
