// The store file's next content, staged in a temporary file beside the file
// it replaces (see temporary_file.h) and moved over it only once it is
// complete, checked and on the disk.
#pragma once

#include "store/temporary_file.h"

#include <optional>
#include <string>
#include <string_view>

namespace qivo {

class StagedFile {
public:
    // Creates an empty temporary file with permission bits 0o600 beside the
    // file that writing to `path` reaches (its target, if it is a symbolic
    // link). Errors are reported against `path`; a target its owner made
    // read-only raises PermissionError, as opening it for writing would.
    explicit StagedFile(nb::handle path);

    // The temporary file's path, for writing it by name with open().
    nb::object temporary_path() const { return file_->python_path(); }

    // Checks that what was written by name reached the temporary file and,
    // when `expected` is given, that the file holds exactly that; then
    // flushes it to the disk.
    void verify_and_sync(std::optional<std::string_view> expected);

    // Gives the file the permission bits and, where allowed, the owner of
    // the file it is to replace, if one exists.
    void keep_target_attributes();

    // Moves the file over `target`, replacing whatever stood there. A target
    // that is a mount point (a file mounted over the store, as containers
    // mount single files) cannot be replaced: the OSError says so in a note.
    void replace_target();

    // Moves the file to `target` unless an entry already stands there, which
    // is then left alone; returns whether the file was placed.
    bool place_if_absent();

private:
    void refuse_read_only_target() const;
    [[noreturn]] void raise_replace_error(int error_number) const;
    void published();

    nb::object report_path_;
    std::string target_;
    std::optional<TemporaryFile> file_;
};

// Makes a rename in `directory` durable. File systems that cannot sync a
// directory still hold the complete file, so only a real I/O error is
// raised (against `report_path`).
void sync_directory(const std::string& directory, nb::handle report_path);

} // namespace qivo
