#include "store/writer.h"

#include "store/staged_file.h"
#include "store/toml_text.h"

namespace qivo {

namespace {

// Moves the staged file over the store once it is complete and on disk. The
// store keeps the permission bits and owner it had; a new store keeps the
// staged file's 0o600.
void replace_store(StagedFile& staged, std::optional<size_t> expected_size) {
    staged.keep_target_attributes();
    staged.verify_and_sync(expected_size);
    staged.replace_target();
}

// TOML readers parse nested arrays and inline tables recursively, so a value
// nested deeply enough is written fine but cannot be read back (the standard
// reader gives up at a few hundred levels, depending on the caller's stack).
// Text this deep is parsed once with the selected reader before it may
// replace the store; shallower text always reads back.
constexpr int nesting_always_readable = 32;

void check_readable(nb::handle reader, nb::handle text, int nesting) {
    nb::object loads = optional_attr(reader, "loads"_id);
    if (!loads.is_valid()) {
        return;
    }
    try {
        loads(text);
    } catch (nb::python_error& error) {
        if (!error.matches(PyExc_RecursionError)) {
            throw;
        }
        nb::raise_from(error, PyExc_ValueError,
                       "cannot write values nested %d levels deep to the connections file: "
                       "the TOML reader could not read them back",
                       nesting);
    }
}

} // namespace

void save_connections_file(const ModuleGlobals& globals, nb::handle connections) {
    globals.require_toml();
    nb::object connections_file = globals.connections_file();
    nb::object reader = globals.toml_reader();
    nb::object dump = optional_attr(reader, "dump"_id);

    if (dump.is_valid()) {
        // A reader module that can also write (the toml package) writes the
        // text itself.
        StagedFile staged(connections_file);
        staged.write_with_open(globals, "utf-8", [&](nb::handle file) { dump(connections, file); });
        replace_store(staged, std::nullopt);
        return;
    }
    // The whole text is made first: a value that cannot be written fails
    // here, before any file is touched.
    const RenderedStore rendered = render_store_text(connections);
    const std::string& text = rendered.text;
    nb::object python_text =
        checked(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict"));
    if (rendered.nesting > nesting_always_readable) {
        check_readable(reader, python_text, rendered.nesting);
    }
    StagedFile staged(connections_file);
    staged.write_with_open(globals, "utf-8",
                           [&](nb::handle file) { file.attr("write"_id)(python_text); });
    replace_store(staged, text.size());
}

} // namespace qivo
