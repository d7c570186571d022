#include "store/staged_file.h"

#include "runtime/context_manager.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

namespace qivo {

namespace {

// Temporary files of writers that were killed before they could move their
// file into place hold secrets and would pile up: each new staging removes
// those of its target that are long abandoned (no live writer keeps one for
// more than a moment).
void remove_abandoned_staged_files(const std::string& directory, const std::string& prefix) {
    constexpr time_t abandoned_after_seconds = 600;
    DIR* listing = opendir(directory.c_str());
    if (listing == nullptr) {
        return;
    }
    const time_t now = time(nullptr);
    while (const dirent* entry = readdir(listing)) {
        const std::string_view name(entry->d_name);
        if (!name.starts_with(prefix) || name.size() != prefix.size() + 6) {
            continue;
        }
        const std::string path = directory + "/" + entry->d_name;
        struct stat info{};
        if (lstat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == geteuid() &&
            now - info.st_mtime > abandoned_after_seconds) {
            unlink(path.c_str());
        }
    }
    closedir(listing);
}

// The path that writing to `path` would reach: `path` itself, or, when it is a
// symbolic link (even a dangling one), the file its chain of links names. A
// chain too long to end (a loop) raises OSError(ELOOP) naming `report_path`.
std::string follow_links(const std::string& path, nb::handle report_path) {
    std::string current = path;
    std::vector<char> buffer(PATH_MAX);
    // The same bound on a chain of links as the kernel's.
    for (int depth = 0; depth <= 40; ++depth) {
        const ssize_t length = readlink(current.c_str(), buffer.data(), buffer.size());
        if (length < 0) {
            return current;
        }
        std::string link(buffer.data(), static_cast<size_t>(length));
        current = link.starts_with('/') ? link : directory_of(current) + "/" + link;
    }
    raise_os_error(ELOOP, report_path);
}

} // namespace

StagedFile::StagedFile(nb::handle path)
    : target_(follow_links(fs_path(path), path)), report_path_(checked(PyOS_FSPath(path.ptr()))) {
    const std::string directory = directory_of(target_);
    const std::string prefix = "." + base_name_of(target_) + ".tmp-";
    remove_abandoned_staged_files(directory, prefix);
    std::string pattern = directory + "/" + prefix + "XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    // mkostemp creates the file exclusively, with permission bits 0o600.
    fd_ = retry_on_interrupt([&] { return mkostemp(name.data(), O_CLOEXEC); });
    if (fd_ < 0) {
        raise_os_error(errno, report_path_);
    }
    temporary_path_.assign(name.data());
}

StagedFile::~StagedFile() {
    if (fd_ >= 0) {
        close(fd_);
    }
    if (!placed_ && !temporary_path_.empty()) {
        unlink(temporary_path_.c_str());
    }
}

void StagedFile::write_with_open(const ModuleGlobals& globals, const char* encoding,
                                 const std::function<void(nb::handle file)>& write) const {
    nb::object path = checked(PyUnicode_DecodeFSDefaultAndSize(
        temporary_path_.data(), static_cast<Py_ssize_t>(temporary_path_.size())));
    nb::object open = globals.open();
    nb::object file = encoding ? open(path, "w", nb::arg("encoding") = encoding) : open(path, "w");
    with_block(file, "f", [&](nb::handle entered) {
        write(entered);
        return nb::none();
    });
}

void StagedFile::verify_and_sync(std::optional<size_t> expected_size) {
    struct stat written{};
    if (fstat(fd_, &written) != 0) {
        raise_os_error(errno, report_path_);
    }
    if (expected_size && static_cast<size_t>(written.st_size) != *expected_size) {
        raise_error(PyExc_OSError,
                    "%S was not written: %zu of %zu bytes reached the temporary file",
                    report_path_.ptr(), static_cast<size_t>(written.st_size), *expected_size);
    }
    if (retry_on_interrupt([&] { return fsync(fd_); }) != 0) {
        raise_os_error(errno, report_path_);
    }
}

void StagedFile::keep_target_attributes() {
    struct stat replaced{};
    if (stat(target_.c_str(), &replaced) != 0) {
        if (errno == ENOENT) {
            return;
        }
        raise_os_error(errno, report_path_);
    }
    if (fchmod(fd_, replaced.st_mode & 07777) != 0) {
        raise_os_error(errno, report_path_);
    }
    if ((replaced.st_uid != geteuid() || replaced.st_gid != getegid()) &&
        fchown(fd_, replaced.st_uid, replaced.st_gid) != 0 && errno != EPERM) {
        raise_os_error(errno, report_path_);
    }
}

void StagedFile::replace_target() {
    if (rename(temporary_path_.c_str(), target_.c_str()) != 0) {
        raise_os_error(errno, report_path_);
    }
    placed_ = true;
    sync_directory();
}

bool StagedFile::place_if_absent() {
    int result =
        renameat2(AT_FDCWD, temporary_path_.c_str(), AT_FDCWD, target_.c_str(), RENAME_NOREPLACE);
    if (result != 0 && (errno == EINVAL || errno == ENOSYS)) {
        // File systems without an exclusive rename: a hard link never
        // replaces an existing entry either.
        result = link(temporary_path_.c_str(), target_.c_str());
        if (result == 0) {
            unlink(temporary_path_.c_str());
        }
    }
    if (result != 0) {
        if (errno == EEXIST) {
            return false;
        }
        raise_os_error(errno, report_path_);
    }
    placed_ = true;
    sync_directory();
    return true;
}

void StagedFile::sync_directory() {
    // Makes the rename itself durable. File systems that cannot sync a
    // directory still hold the complete file, so only a real I/O error is
    // reported.
    const int directory = open(directory_of(target_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (directory < 0) {
        return;
    }
    const int result = retry_on_interrupt([&] { return fsync(directory); });
    const int error_number = errno;
    close(directory);
    if (result != 0 && error_number == EIO) {
        raise_os_error(error_number, report_path_);
    }
}

} // namespace qivo
