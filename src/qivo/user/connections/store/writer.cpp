#include "store/writer.h"

#include "runtime/context_manager.h"
#include "store/change.h"
#include "store/lock.h"
#include "store/staged_file.h"
#include "toml/parser.h"
#include "toml/read_back.h"
#include "toml/text.h"
#include "toml/tomllib_snapshot.h"

#include <sys/stat.h>

namespace qivo {

namespace {

// Writes a store whose place holds a character device (a link to /dev/null,
// say) through the device, as opening it for writing would.
void write_in_place(const ModuleGlobals& globals, nb::handle connections_file,
                    const WriteText& write) {
    write_with_open(globals, connections_file, "utf-8", write);
}

// What a write of the store needs besides its text: the change it is part
// of (whose key copies go into place just before the store is replaced), if
// any.
struct StoreWrite {
    ChangeReport* change;
    void before_replacing() const {
        if (change != nullptr) {
            change->place_pending();
        }
    }
};

// Replaces the store with what `write` writes into a text file: staged
// beside it, checked to hold exactly `expected` (when known) and moved over
// it. The store keeps the permission bits and owner it had; a new store is
// 0o600. A FIFO, socket or block device at the store's place is refused: it
// cannot be replaced by a regular file without losing what the user put
// there.
void replace_store(const ModuleGlobals& globals, nb::handle connections_file,
                   std::optional<std::string_view> expected, const StoreWrite& store_write,
                   const WriteText& write) {
    // A write outside a change takes the lock for itself.
    std::optional<StoreLock> lock;
    if (store_write.change == nullptr) {
        lock.emplace(connections_file, StoreLock::Purpose::write);
    }
    const std::string path = fs_path(connections_file);
    const std::optional<FileStatus> status = status_of(resolve_links(path).value_or(path));
    if (status && S_ISCHR(status->mode)) {
        store_write.before_replacing();
        write_in_place(globals, connections_file, write);
        return;
    }
    if (status && (S_ISFIFO(status->mode) || S_ISSOCK(status->mode) || S_ISBLK(status->mode))) {
        nb::object name = checked(PyOS_FSPath(connections_file.ptr()));
        PyErr_SetObject(PyExc_OSError, nb::make_tuple(EINVAL, "Not a regular file", name).ptr());
        nb::raise_python_error();
    }
    StagedFile staged(connections_file);
    write_with_open(globals, staged.temporary_path(), "utf-8", write);
    staged.keep_target_attributes();
    staged.verify_and_sync(expected);
    store_write.before_replacing();
    staged.replace_target();
}

// What the store's text reads back as: parsed natively when the module
// reads with the standard tomllib (the parser takes all the writer writes),
// else, or when the parser declines the text, by the reader's own `loads`;
// nothing when the reader has none.
nb::object read_back(const ModuleGlobals& globals, nb::handle reader, const std::string& text,
                     nb::handle python_text) {
    if (const TomllibSnapshot* standard = globals.tomllib_snapshot()) {
        if (nb::object parsed = parse_store_text(text, standard->offset_timezone());
            parsed.is_valid()) {
            return parsed;
        }
    }
    nb::object loads = optional_attr(reader, "loads"_id);
    if (!loads.is_valid()) {
        return loads;
    }
    try {
        return loads(python_text);
    } catch (nb::python_error& error) {
        nb::raise_from(error, PyExc_ValueError,
                       "cannot write the connections file: its text would not read back");
    }
}

// Raises ValueError, with nothing written, unless `text` reads back as the
// mapping it was rendered from: two keys with one text (str subclasses, or a
// mapping whose items() repeats one), a mapping that changed while it was
// written, or anything else the text does not carry faithfully would
// otherwise leave a store that reads back different, or not at all.
void check_reads_back(const ModuleGlobals& globals, nb::handle reader, const std::string& text,
                      nb::handle python_text, nb::handle connections) {
    nb::object parsed = read_back(globals, reader, text, python_text);
    if (!parsed.is_valid()) {
        return;
    }
    if (!reads_back_as(parsed, connections)) {
        raise_error(PyExc_ValueError,
                    "cannot write the connections file: its text would read back different "
                    "(two keys with the same text, or a mapping changed while it was written)");
    }
}

} // namespace

void write_with_open(const ModuleGlobals& globals, nb::handle path, const char* encoding,
                     const WriteText& write) {
    nb::object open = globals.open();
    nb::object file = encoding ? open(path, "w", nb::arg("encoding") = encoding) : open(path, "w");
    with_block(file, "f", [&](nb::handle entered) {
        write(entered);
        return nb::none();
    });
}

void save_connections_file(const ModuleGlobals& globals, nb::handle connections) {
    globals.require_toml();
    nb::object connections_file = globals.connections_file();
    const StoreWrite store_write{change_of_call(connections_file, "written")};
    nb::object reader = globals.toml_reader();
    nb::object dump = optional_attr(reader, "dump"_id);

    if (dump.is_valid()) {
        // A reader module that can also write (the toml package) writes the
        // text itself.
        replace_store(globals, connections_file, std::nullopt, store_write,
                      [&](nb::handle file) { dump(connections, file); });
        return;
    }
    // The whole text is made and checked first: a value that cannot be
    // written fails here, before any file is touched.
    const std::string text = render_store_text(connections);
    nb::object python_text =
        checked(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict"));
    check_reads_back(globals, reader, text, python_text, connections);
    replace_store(globals, connections_file, text, store_write,
                  [&](nb::handle file) { file.attr("write"_id)(python_text); });
}

} // namespace qivo
