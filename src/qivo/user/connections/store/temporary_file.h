// Files written whole beside their final place and only then moved there with
// one rename, so that no reader ever sees, and no failure ever leaves, a
// partly written file. A temporary file is created exclusively (never
// through a link) with the bits 0o600, under a name no one gives a file by
// hand: "." + the final file's name + ".tmp-" + 16 random hex digits. Its
// creator holds an flock on it for as long as it has that name, so the files
// of writers that were killed can be told apart and are removed by the next
// writer (see remove_dead_writers_files). Temporary files are made and swept
// only under the store's lock, so a sweep never meets a file whose creator
// has not locked it yet.
#pragma once

#include "store/posix_file.h"

#include <string>
#include <string_view>

namespace qivo {

class TemporaryFile {
public:
    // Creates the file in `directory`, named with `prefix` (".name.tmp-");
    // errors are raised as OSErrors naming `report_path`.
    TemporaryFile(std::string directory, std::string prefix, nb::handle report_path);
    // Removes the file unless it was moved into place.
    ~TemporaryFile();
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;

    // The file's name, as a str (to open it or copy into it by name).
    nb::object python_path() const;
    int fd() const { return fd_.get(); }
    const std::string& directory() const { return directory_; }
    const std::string& prefix() const { return prefix_; }

    // Raises unless the temporary name still leads to this very file:
    // something written by name (open(), a copy) went elsewhere if another
    // file or a link was put in its place meanwhile.
    void check_still_named() const;

    // Raises unless the file holds exactly `expected`, read back through the
    // file itself (not from attributes a file system may have cached).
    void check_content(std::string_view expected) const;

    // Flushes the file's content to the disk.
    void sync() const;

    // Moves the file to `target`, replacing whatever stood there (a link
    // included, which is replaced, never followed). Returns the errno of a
    // failure, or 0.
    int move_over(const std::string& target);

    // Moves the file to `target` unless an entry stands there, which is then
    // left alone: 0, EEXIST, or the errno of another failure. Where the file
    // system has no exclusive rename, the test and the rename are two steps,
    // which the store's lock makes safe.
    int move_if_absent(const std::string& target);

private:
    bool create_anonymous_then_name();
    void create_named();

    nb::object report_path_;
    std::string directory_;
    std::string prefix_;
    std::string path_;
    UniqueFd fd_;
    bool moved_ = false;
};

// Removes from `directory` the temporary files named with `prefix` whose
// writers died before moving them into place (their locks can be taken),
// and the ".new" files older versions made on the way to that name.
void remove_dead_writers_files(const std::string& directory, const std::string& prefix);

} // namespace qivo
