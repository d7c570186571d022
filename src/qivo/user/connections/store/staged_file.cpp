#include "store/staged_file.h"

#include "store/system_calls.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qivo {

namespace {

// Whether `path` is the root of a mount: a file mounted over another (a
// bind mount of a single file) is one.
bool is_mount_point(const std::string& path) {
    struct statx entry{};
    if (posix::statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, STATX_INO, &entry) != 0) {
        return false;
    }
    if ((entry.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) != 0) {
        return (entry.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0;
    }
    const std::optional<FileStatus> directory = status_of(directory_of(path));
    return directory && (directory->device_major != entry.stx_dev_major ||
                         directory->device_minor != entry.stx_dev_minor);
}

} // namespace

StagedFile::StagedFile(nb::handle path) : report_path_(checked(PyOS_FSPath(path.ptr()))) {
    const std::optional<std::string> target = resolve_links(fs_path(path));
    if (!target) {
        raise_os_error(ELOOP, report_path_);
    }
    target_ = *target;
    refuse_read_only_target();
    file_.emplace(directory_of(target_), '.' + base_name_of(target_) + ".tmp-", report_path_);
}

void StagedFile::refuse_read_only_target() const {
    // A store its owner made read-only is not replaced behind their back:
    // the write fails as opening the file for writing would.
    if (posix::faccessat(AT_FDCWD, target_.c_str(), W_OK, AT_EACCESS) != 0 &&
        (errno == EACCES || errno == EPERM || errno == EROFS)) {
        raise_os_error(errno, report_path_);
    }
}

void StagedFile::verify_and_sync(std::optional<std::string_view> expected) {
    file_->check_still_named();
    if (expected) {
        file_->check_content(*expected);
    }
    file_->sync();
}

void StagedFile::keep_target_attributes() {
    const std::optional<FileStatus> replaced = status_of(target_);
    if (!replaced) {
        if (errno == ENOENT) {
            return;
        }
        raise_os_error(errno, report_path_);
    }
    if (posix::fchmod(file_->fd(), replaced->mode & 07777) != 0) {
        raise_os_error(errno, report_path_);
    }
    if ((replaced->owner != geteuid() || replaced->group != getegid()) &&
        posix::fchown(file_->fd(), replaced->owner, replaced->group) != 0 && errno != EPERM) {
        raise_os_error(errno, report_path_);
    }
}

void StagedFile::replace_target() {
    if (const int error_number = file_->move_over(target_); error_number != 0) {
        raise_replace_error(error_number);
    }
    published();
}

void StagedFile::raise_replace_error(int error_number) const {
    try {
        raise_os_error(error_number, report_path_);
    } catch (nb::python_error& error) {
        if (error_number == EBUSY && is_mount_point(target_)) {
            nb::object note = nb::str(
                "the connections file is a mount point (a single file mounted over it, as a "
                "container volume of one file is), which cannot be replaced: mount the "
                "directory that holds it instead");
            nb::object added = nb::steal(
                PyObject_CallMethodOneArg(error.value().ptr(), "add_note"_id, note.ptr()));
            if (!added.is_valid()) {
                PyErr_Clear();
            }
        }
        throw;
    }
}

bool StagedFile::place_if_absent() {
    const int error_number = file_->move_if_absent(target_);
    if (error_number == EEXIST) {
        return false;
    }
    if (error_number != 0) {
        raise_os_error(error_number, report_path_);
    }
    published();
    return true;
}

void StagedFile::published() {
    sync_directory(file_->directory(), report_path_);
    remove_dead_writers_files(file_->directory(), file_->prefix());
}

void sync_directory(const std::string& directory, nb::handle report_path) {
    const UniqueFd fd(posix::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd) {
        return;
    }
    if (retry_on_interrupt([&] { return posix::fsync(fd.get()); }) != 0 && errno == EIO) {
        raise_os_error(EIO, report_path);
    }
}

} // namespace qivo
