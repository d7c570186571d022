// Files that are written completely beside their final place and only then
// moved there with one rename, so that no reader ever sees, and no failure
// ever leaves, a partly written file. A writer holds an flock on its
// temporary file for as long as the file has a name, so the temporary files
// of writers that were killed can be told apart and are removed by the next
// write that succeeds.
#pragma once

#include "module_globals.h"
#include "store/posix_file.h"

#include <functional>
#include <optional>
#include <string>

namespace qivo {

class StagedFile {
public:
    // Creates an empty temporary file with permission bits 0o600 beside the
    // file that writing to `path` reaches (its target, if it is a symbolic
    // link). Errors are reported against `path`; a target its owner made
    // read-only raises PermissionError, as opening it for writing would.
    explicit StagedFile(nb::handle path);
    ~StagedFile();
    StagedFile(const StagedFile&) = delete;
    StagedFile& operator=(const StagedFile&) = delete;

    // Opens the temporary file for writing in text mode with the module's
    // current `open` (passing `encoding` when given) and runs `write` on the
    // file object inside a `with` block, so it is closed on every path.
    void write_with_open(const ModuleGlobals& globals, const char* encoding,
                         const std::function<void(nb::handle file)>& write) const;

    // Checks that the file holds exactly `expected_size` bytes when given
    // (anything else means the text did not reach the file), then flushes
    // its content to the disk.
    void verify_and_sync(std::optional<size_t> expected_size);

    // Gives the file the permission bits and, where allowed, the owner of
    // the file it is to replace, if one exists.
    void keep_target_attributes();

    // Moves the file over `target`, replacing whatever stood there.
    void replace_target();

    // Moves the file to `target` unless an entry already stands there, which
    // is then left alone; returns whether the file was placed.
    bool place_if_absent();

private:
    void refuse_read_only_target() const;
    bool create_anonymous_then_name();
    void create_named();
    void published();
    void sync_directory();

    nb::object report_path_;
    std::string target_;
    std::string directory_;
    std::string prefix_; // of the temporary files' names
    std::string temporary_path_;
    UniqueFd fd_;
    bool placed_ = false;
};

} // namespace qivo
