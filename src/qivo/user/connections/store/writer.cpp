#include "store/staged_file.h"
#include "store/store.h"
#include "store/toml_text.h"

#include <cerrno>

namespace qivo {

namespace {

// Moves the staged file over the store once it is complete and on disk. The
// store keeps the permission bits and owner it had; a new store keeps the
// staged file's 0o600.
void replace_store(StagedFile& staged, const std::string& target, nb::handle connections_file,
                   std::optional<size_t> expected_size) {
    struct stat existing{};
    if (stat(target.c_str(), &existing) == 0) {
        staged.take_attributes_of(existing);
    } else if (errno != ENOENT) {
        raise_os_error(errno, connections_file);
    }
    staged.sync(expected_size);
    staged.replace_target();
}

} // namespace

void save_connections_file(const ModuleNamespace& globals, nb::handle connections) {
    globals.require_toml();
    nb::object connections_file = globals.call("get_connections_file");
    nb::object reader = globals.get("tomllib");
    PyObject* dump_function = nullptr;
    checked_status(PyObject_GetOptionalAttrString(reader.ptr(), "dump", &dump_function));
    nb::object dump = nb::steal(dump_function);

    // Writing follows a symbolic link to the file it names, so the link stays.
    const std::string target = follow_links(fs_path(connections_file), connections_file);
    if (dump.is_valid()) {
        // A reader module that can also write (the toml package) writes the
        // text itself.
        StagedFile staged(target, connections_file);
        staged.write_with_open(globals, "utf-8", [&](nb::handle file) { dump(connections, file); });
        replace_store(staged, target, connections_file, std::nullopt);
        return;
    }
    // The whole text is made first: a value that cannot be written fails
    // here, before any file is touched.
    const std::string text = render_store_text(connections);
    nb::object python_text =
        checked(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict"));
    StagedFile staged(target, connections_file);
    staged.write_with_open(globals, "utf-8",
                           [&](nb::handle file) { file.attr("write")(python_text); });
    replace_store(staged, target, connections_file, text.size());
}

} // namespace qivo
