#include "operations/key_placement.h"

#include "store/location.h"
#include "store/posix_file.h"
#include "store/temporary_file.h"

#include <climits>
#include <memory>
#include <set>
#include <string>
#include <sys/stat.h>

namespace qivo {

namespace {

// How many numbered names ("<stem>-2<suffix>" up to "<stem>-10000<suffix>")
// a key may try before the search gives up.
constexpr long last_numbered_name = 10000;

// `str.rstrip(text)`, Python's own, for a str; anything else as it is.
nb::object without_trailing_whitespace(nb::handle text) {
    if (!PyUnicode_Check(text.ptr())) {
        return nb::borrow(text);
    }
    return checked(PyObject_CallMethodOneArg(reinterpret_cast<PyObject*>(&PyUnicode_Type),
                                             "rstrip"_id, text.ptr()));
}

// The name a key file is copied under: its base name without trailing
// whitespace, since the profile records the path stripped; "key" when
// nothing else is left.
nb::object key_file_name(const ModuleGlobals& globals, nb::handle private_key_file) {
    nb::object name = without_trailing_whitespace(globals.basename(private_key_file));
    if (PyUnicode_Check(name.ptr()) && PyUnicode_GET_LENGTH(name.ptr()) == 0) {
        return nb::str("key");
    }
    return name;
}

// The key files a group of profiles records: by device and inode where the
// recorded path leads to a file, so that every spelling of one file (a home
// reached through a link, say) counts, and by the absolute text of the path
// otherwise.
class RecordedFiles {
public:
    void add(const ModuleGlobals& globals, nb::handle table) {
        nb::object recorded = get_or(table, "private_key_file", nb::none());
        if (!PyUnicode_Check(recorded.ptr()) || PyUnicode_GET_LENGTH(recorded.ptr()) == 0) {
            return;
        }
        // str.strip itself: a str subclass cannot make it return something
        // else.
        nb::object stripped = checked(PyObject_CallMethodOneArg(
            reinterpret_cast<PyObject*>(&PyUnicode_Type), "strip"_id, recorded.ptr()));
        std::string path;
        try {
            path = fs_path(globals.abspath(stripped));
        } catch (nb::python_error&) {
            return; // a path no file can have (a null byte, say) names no file
        }
        if (const std::optional<FileStatus> status = status_of(path)) {
            files_.insert(status->identity());
        } else {
            paths_.insert(std::move(path));
        }
    }

    bool contains(const FileStatus& file, const std::string& absolute_path) const {
        return files_.contains(file.identity()) || paths_.contains(absolute_path);
    }

private:
    std::set<FileIdentity> files_;
    std::set<std::string> paths_;
};

// Which key files of the store a profile may replace: its own old copy, and
// only while no other profile records that file too.
class RecordedKeys {
public:
    RecordedKeys(const ModuleGlobals& globals, const KeyOwner& owner) {
        for_each_item(owner.connections, [&](nb::handle name, nb::handle table) {
            if (PyDict_Check(table.ptr())) {
                (name.equal(owner.name) ? own_ : others_).add(globals, table);
            }
        });
    }

    bool replaceable(const FileStatus& file, const std::string& absolute_path) const {
        return own_.contains(file, absolute_path) && !others_.contains(file, absolute_path);
    }

private:
    RecordedFiles own_;
    RecordedFiles others_;
};

// Chooses where in the per-user directory a key file is copied. The key's
// own name comes first, then "<stem>-2<suffix>", "<stem>-3<suffix>", ...
// A name is free when nothing stands there, or a regular file that holds the
// same bytes as the key, or the saving profile's own old copy that no other
// profile records. A file whose content differs is otherwise never
// replaced, whoever records it and however its path is spelt (a home seen
// through a link or a mirror of another device), so no profile ever loses its
// key to another's. A symbolic link (to anything, or to nothing), a
// directory or a device is never free either, nor are the names of the
// store's own files.
class KeyDestination {
public:
    KeyDestination(const ModuleGlobals& globals, const KeyOwner& owner, nb::handle private_key_file)
        : globals_(globals), owner_(owner), private_key_file_(private_key_file) {}

    nb::object choose(nb::handle key_filename, nb::handle dest_key_path) {
        if (is_free(key_filename, dest_key_path)) {
            return nb::borrow(dest_key_path);
        }
        nb::object parts = globals_.splitext(key_filename);
        nb::object stem = parts[0];
        nb::object suffix = parts[1];
        auto numbered = [&](long number) {
            return stem + nb::str("-") + nb::str(std::to_string(number).c_str()) + suffix;
        };
        for (long number = 2; number <= last_numbered_name; ++number) {
            nb::object name = numbered(number);
            nb::object candidate = owner_.velmor_dir / name;
            if (is_free(name, candidate)) {
                return candidate;
            }
        }
        nb::object message =
            concatenate({"No free name for the private key file: ", text(numbered(2)), " to ",
                         text(numbered(last_numbered_name)), " are all taken"});
        nb::object filename = checked(PyOS_FSPath(dest_key_path.ptr()));
        PyErr_SetObject(PyExc_OSError, nb::make_tuple(EEXIST, message, filename).ptr());
        nb::raise_python_error();
    }

private:
    // What stands at the candidate is judged without following a link.
    // Anything the system cannot tell (a name too long to exist, a
    // directory that cannot be searched) is raised against the candidate,
    // before anything is copied.
    bool is_free(nb::handle name, nb::handle candidate) {
        if (PyUnicode_Check(name.ptr()) && is_store_file_name(utf8_of(name))) {
            return false;
        }
        const std::string path = fs_path(candidate);
        // A name longer than any Linux file system allows cannot exist,
        // whatever a file system reports for it (sshfs: EBADMSG).
        if (base_name_of(path).size() > NAME_MAX) {
            raise_os_error(ENAMETOOLONG, candidate);
        }
        const std::optional<FileStatus> status = status_of(path, false);
        if (!status) {
            if (errno != ENOENT) {
                raise_os_error(errno, candidate);
            }
            return true;
        }
        if (!S_ISREG(status->mode)) {
            return false;
        }
        return same_content(fs_path(private_key_file_), path) ||
               recorded_keys().replaceable(*status, fs_path(globals_.abspath(candidate)));
    }

    // Collected once, when a candidate first turns out to be occupied.
    const RecordedKeys& recorded_keys() {
        if (!recorded_) {
            recorded_.emplace(globals_, owner_);
        }
        return *recorded_;
    }

    const ModuleGlobals& globals_;
    const KeyOwner& owner_;
    nb::handle private_key_file_;
    std::optional<RecordedKeys> recorded_;
};

// Copies the key into a private temporary file in the per-user directory
// (created exclusively, never through a link) with the module's current
// `shutil.copy2`, sets its mode with `os.chmod` and syncs it; the change
// moves it over `destination` just before the store is replaced, so that a
// failure at any step (a full disk, a crash) leaves the previous copy as it
// was, and a link swapped in at `destination` is replaced, never written
// through. A key that is its own destination under another spelling goes
// to `shutil.copy2` as it is, which raises SameFileError.
void stage_key_copy(const ModuleGlobals& globals, nb::handle private_key_file,
                    nb::handle velmor_dir, nb::handle destination, ChangeReport& report) {
    const std::optional<FileStatus> source = status_of(fs_path(private_key_file));
    const std::optional<FileStatus> target = status_of(fs_path(destination));
    if (source && target && source->same_file(*target)) {
        globals.copy2(private_key_file, destination);
    }
    auto staged =
        std::make_shared<TemporaryFile>(fs_path(velmor_dir), temporary_file_prefix(), destination);
    nb::object staged_path = staged->python_path();
    globals.copy2(private_key_file, staged_path);
    globals.chmod(staged_path, 0600);
    staged->check_still_named();
    staged->sync();
    report.add_placement(
        [staged, target_path = fs_path(destination), name = nb::borrow(destination)] {
            if (const int error_number = staged->move_over(target_path); error_number != 0) {
                raise_os_error(error_number, name);
            }
            remove_dead_writers_files(staged->directory(), staged->prefix());
        },
        concatenate({"Copied private key to ", text(destination)}));
}

} // namespace

nb::object place_private_key(const ModuleGlobals& globals, nb::dict credentials, bool copy_key,
                             const KeyOwner& owner, ChangeReport& report) {
    nb::object private_key_file = get_or(credentials, "private_key_file", nb::str(""));
    if (!copy_key || !is_true(private_key_file) || !globals.is_file(private_key_file)) {
        return private_key_file;
    }
    // The key's own name in the per-user directory, as the profile would
    // record it (`dest_key_path`), and the absolute text of where the key
    // is now (`src_path`) and of that destination (`dst_path`), compared to
    // tell a key that is already in place.
    nb::object key_filename = key_file_name(globals, private_key_file);
    nb::object dest_key_path = owner.velmor_dir / key_filename;
    nb::object src_path = globals.abspath(private_key_file);
    nb::object dst_path = globals.abspath(dest_key_path);
    if (src_path.equal(dst_path)) {
        report.add_placement([&globals, dest_key_path] { globals.chmod(dest_key_path, 0600); },
                             nb::str("Private key already in .velmor directory"));
        return text(dest_key_path);
    }
    nb::object destination =
        KeyDestination(globals, owner, private_key_file).choose(key_filename, dest_key_path);
    stage_key_copy(globals, private_key_file, owner.velmor_dir, destination, report);
    return text(destination);
}

} // namespace qivo
