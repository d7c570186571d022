#include "operations/key_placement.h"

#include "store/location.h"
#include "store/posix_file.h"

#include <string>

namespace qivo {

namespace {

// Chooses where in the per-user directory a key file is copied. The key's
// own base name comes first, then "<stem>-2<suffix>", "<stem>-3<suffix>", ...;
// a name is taken when a file stands there that another profile of the store
// records and that holds different bytes, so no profile ever loses its key to
// another's. Names of the store's own files, and anything but a regular
// file, are never taken over.
class KeyDestination {
public:
    KeyDestination(const ModuleGlobals& globals, const KeyOwner& owner, nb::handle private_key_file)
        : globals_(globals), owner_(owner), private_key_file_(private_key_file) {}

    nb::object choose(nb::handle key_filename, nb::handle dest_key_path, nb::handle dst_path) {
        if (usable(key_filename, dest_key_path, dst_path)) {
            return nb::borrow(dest_key_path);
        }
        nb::object parts = globals_.splitext(key_filename);
        nb::object stem = parts[0];
        nb::object suffix = parts[1];
        for (long number = 2;; ++number) {
            nb::object name =
                stem + nb::str("-") + nb::str(std::to_string(number).c_str()) + suffix;
            nb::object candidate = owner_.velmor_dir / name;
            if (usable(name, candidate, globals_.abspath(candidate))) {
                return candidate;
            }
        }
    }

private:
    bool usable(nb::handle name, nb::handle candidate, nb::handle absolute) {
        if (PyUnicode_Check(name.ptr()) && is_store_file_name(utf8_of(name))) {
            return false;
        }
        const std::string path = fs_path(candidate);
        switch (path_kind(path)) {
        case PathKind::missing:
            return true;
        case PathKind::character_device:
        case PathKind::other:
            return false;
        case PathKind::regular_file:
            break;
        }
        return !contains(recorded_keys(), absolute) ||
               same_content(fs_path(private_key_file_), path);
    }

    // The absolute key paths that the other profiles of the store record,
    // collected once, when a candidate first turns out to be occupied.
    nb::handle recorded_keys() {
        if (recorded_.is_valid()) {
            return recorded_;
        }
        recorded_ = checked(PySet_New(nullptr));
        for_each_item(owner_.connections, [&](nb::handle name, nb::handle table) {
            if (!PyDict_Check(table.ptr()) || name.equal(owner_.name)) {
                return;
            }
            nb::object recorded = get_or(table, "private_key_file", nb::none());
            if (PyUnicode_Check(recorded.ptr()) && PyUnicode_GET_LENGTH(recorded.ptr()) > 0) {
                // str.strip itself: a str subclass cannot make it return
                // something else.
                nb::object stripped = checked(PyObject_CallMethodOneArg(
                    reinterpret_cast<PyObject*>(&PyUnicode_Type), "strip"_id, recorded.ptr()));
                checked_status(PySet_Add(recorded_.ptr(), globals_.abspath(stripped).ptr()));
            }
        });
        return recorded_;
    }

    const ModuleGlobals& globals_;
    const KeyOwner& owner_;
    nb::handle private_key_file_;
    nb::object recorded_;
};

} // namespace

nb::object place_private_key(const ModuleGlobals& globals, nb::dict credentials, bool copy_key,
                             const KeyOwner& owner, ChangeReport& report) {
    nb::object private_key_file = get_or(credentials, "private_key_file", nb::str(""));
    if (!copy_key || !is_true(private_key_file) || !globals.is_file(private_key_file)) {
        return private_key_file;
    }
    nb::object key_filename = globals.basename(private_key_file);
    nb::object dest_key_path = owner.velmor_dir / key_filename;
    nb::object src_path = globals.abspath(private_key_file);
    nb::object dst_path = globals.abspath(dest_key_path);
    if (src_path.equal(dst_path)) {
        globals.chmod(dest_key_path, 0600);
        report.add({"Private key already in .velmor directory"});
        return text(dest_key_path);
    }
    nb::object destination = KeyDestination(globals, owner, private_key_file)
                                 .choose(key_filename, dest_key_path, dst_path);
    globals.copy2(private_key_file, destination);
    globals.chmod(destination, 0600);
    report.add({"Copied private key to ", text(destination)});
    return text(destination);
}

} // namespace qivo
