#include "store/staged_file.h"

#include "runtime/context_manager.h"

#include "store/system_calls.h"

#include <array>
#include <cstdio>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qivo {

namespace {

constexpr size_t random_name_length = 16;

// A temporary file's name: the prefix and 16 random lowercase hex digits,
// a form no one gives a file by hand.
std::string random_name(const std::string& prefix) {
    std::array<unsigned char, random_name_length / 2> bytes{};
    if (posix::getrandom(bytes.data(), bytes.size(), 0) != static_cast<ssize_t>(bytes.size())) {
        // No entropy source: the clock and the process still make the name
        // unlikely to be taken, and creation is exclusive anyway.
        static unsigned counter = 0;
        const auto mixed = static_cast<unsigned long long>(time(nullptr)) * 1000003ULL ^
                           static_cast<unsigned long long>(getpid()) << 20 ^ ++counter;
        for (size_t i = 0; i < bytes.size(); ++i) {
            bytes[i] = static_cast<unsigned char>(mixed >> (8 * i));
        }
    }
    std::string name = prefix;
    for (unsigned char byte : bytes) {
        std::array<char, 3> digits{};
        std::snprintf(digits.data(), digits.size(), "%02x", byte);
        name += digits.data();
    }
    return name;
}

bool is_staged_file_name(std::string_view name, const std::string& prefix) {
    if (!name.starts_with(prefix) || name.size() != prefix.size() + random_name_length) {
        return false;
    }
    const std::string_view digits = name.substr(prefix.size());
    return digits.find_first_not_of("0123456789abcdef") == std::string_view::npos;
}

// Removes the temporary files that writers killed before they could move
// theirs into place left in `directory`. Every writer holds an flock on its
// temporary file from before the file has a name until it is gone, so a file
// whose lock can be taken belongs to a dead writer; it is removed only while
// that lock is held and its name still leads to it.
void remove_dead_writers_files(const std::string& directory, const std::string& prefix) {
    const UniqueFd directory_fd(posix::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    DIR* listing = directory_fd ? fdopendir(dup(directory_fd.get())) : nullptr;
    if (listing == nullptr) {
        return;
    }
    while (const dirent* entry = readdir(listing)) {
        if (!is_staged_file_name(entry->d_name, prefix)) {
            continue;
        }
        const UniqueFd file(posix::openat(directory_fd.get(), entry->d_name,
                                          O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        const std::optional<FileStatus> status = file ? status_of(file.get()) : std::nullopt;
        if (!status || !S_ISREG(status->mode) || status->owner != geteuid() ||
            posix::flock(file.get(), LOCK_EX | LOCK_NB) != 0) {
            continue;
        }
        struct statx named{};
        if (posix::statx(directory_fd.get(), entry->d_name, AT_SYMLINK_NOFOLLOW, STATX_INO,
                         &named) == 0 &&
            named.stx_ino == status->inode && named.stx_dev_major == status->device_major &&
            named.stx_dev_minor == status->device_minor) {
            posix::unlinkat(directory_fd.get(), entry->d_name, 0);
        }
    }
    closedir(listing);
}

// Locks a new temporary file before anyone can find it under a name that a
// sweep removes, and gives it exactly the bits 0o600, whatever the umask.
// Neither result needs checking: where a file system has no flock, the sweep
// cannot take a dead writer's lock either and so removes nothing; and a file
// system that refuses a mode leaves the file at 0o600 less the umask, never
// more open, and a file that cannot be written is reported when it is
// opened for writing.
void lock_new_file(int fd) {
    posix::flock(fd, LOCK_EX | LOCK_NB);
    posix::fchmod(fd, 0600);
}

// Moves `from` to the name `to` unless an entry stands there already:
// 0, EEXIST, or the errno of another failure.
int move_if_absent(const std::string& from, const std::string& to) {
    if (posix::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
        return 0;
    }
    if (errno != EINVAL && errno != ENOSYS) {
        return errno;
    }
    // File systems without an exclusive rename: a hard link never replaces
    // an existing entry either.
    if (posix::link(from.c_str(), to.c_str()) != 0) {
        return errno;
    }
    posix::unlink(from.c_str());
    return 0;
}

} // namespace

StagedFile::StagedFile(nb::handle path) : report_path_(checked(PyOS_FSPath(path.ptr()))) {
    const std::optional<std::string> target = resolve_links(fs_path(path));
    if (!target) {
        raise_os_error(ELOOP, report_path_);
    }
    target_ = *target;
    directory_ = directory_of(target_);
    prefix_ = '.' + base_name_of(target_);
    prefix_ += ".tmp-";
    refuse_read_only_target();
    if (!create_anonymous_then_name()) {
        create_named();
    }
}

void StagedFile::refuse_read_only_target() const {
    // A store its owner made read-only is not replaced behind their back:
    // the write fails as opening the file for writing would.
    if (posix::faccessat(AT_FDCWD, target_.c_str(), W_OK, AT_EACCESS) != 0 &&
        (errno == EACCES || errno == EPERM || errno == EROFS)) {
        raise_os_error(errno, report_path_);
    }
}

// The file is made without a name, locked, and only then linked to its
// temporary name, so no one ever sees it unlocked. Returns false where
// anonymous files (or /proc, to name them) are missing.
bool StagedFile::create_anonymous_then_name() {
    UniqueFd fd(retry_on_interrupt(
        [&] { return posix::open(directory_.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600); }));
    if (!fd) {
        if (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL) {
            return false;
        }
        raise_os_error(errno, report_path_);
    }
    lock_new_file(fd.get());
    const std::string handle = "/proc/self/fd/" + std::to_string(fd.get());
    for (;;) {
        std::string name = directory_ + "/" + random_name(prefix_);
        if (posix::linkat(AT_FDCWD, handle.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) ==
            0) {
            temporary_path_ = std::move(name);
            fd_ = std::move(fd);
            return true;
        }
        if (errno == ENOENT && posix::access("/proc/self/fd", X_OK) != 0) {
            return false;
        }
        if (errno != EEXIST) {
            raise_os_error(errno, report_path_);
        }
    }
}

// Without anonymous files the file is made under a name that no sweep
// matches (its temporary name and ".new"), locked, and only then moved to a
// temporary name: a sweep by another writer never finds it unlocked.
void StagedFile::create_named() {
    std::string creating;
    UniqueFd fd;
    while (!fd) {
        creating = directory_ + "/" + random_name(prefix_) + ".new";
        fd.reset(retry_on_interrupt([&] {
            return posix::open(creating.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                               0600);
        }));
        if (!fd && errno != EEXIST) {
            raise_os_error(errno, report_path_);
        }
    }
    lock_new_file(fd.get());
    for (;;) {
        std::string name = directory_ + "/" + random_name(prefix_);
        const int error_number = move_if_absent(creating, name);
        if (error_number == 0) {
            temporary_path_ = std::move(name);
            fd_ = std::move(fd);
            return;
        }
        if (error_number != EEXIST) {
            posix::unlink(creating.c_str());
            raise_os_error(error_number, report_path_);
        }
    }
}

StagedFile::~StagedFile() {
    // The name goes before the lock, so no one finds it unlocked.
    if (!placed_ && !temporary_path_.empty()) {
        posix::unlink(temporary_path_.c_str());
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
    const std::optional<FileStatus> written = status_of(fd_.get());
    if (!written) {
        raise_os_error(errno, report_path_);
    }
    if (expected_size && written->size != *expected_size) {
        raise_error(PyExc_OSError,
                    "%S was not written: %zu of %zu bytes reached the temporary file",
                    report_path_.ptr(), static_cast<size_t>(written->size), *expected_size);
    }
    if (retry_on_interrupt([&] { return posix::fsync(fd_.get()); }) != 0) {
        raise_os_error(errno, report_path_);
    }
}

void StagedFile::keep_target_attributes() {
    const std::optional<FileStatus> replaced = status_of(target_);
    if (!replaced) {
        if (errno == ENOENT) {
            return;
        }
        raise_os_error(errno, report_path_);
    }
    if (posix::fchmod(fd_.get(), replaced->mode & 07777) != 0) {
        raise_os_error(errno, report_path_);
    }
    if ((replaced->owner != geteuid() || replaced->group != getegid()) &&
        posix::fchown(fd_.get(), replaced->owner, replaced->group) != 0 && errno != EPERM) {
        raise_os_error(errno, report_path_);
    }
}

void StagedFile::replace_target() {
    if (posix::rename(temporary_path_.c_str(), target_.c_str()) != 0) {
        raise_os_error(errno, report_path_);
    }
    published();
}

bool StagedFile::place_if_absent() {
    const int error_number = move_if_absent(temporary_path_, target_);
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
    placed_ = true;
    sync_directory();
    remove_dead_writers_files(directory_, prefix_);
}

void StagedFile::sync_directory() {
    // Makes the rename itself durable. File systems that cannot sync a
    // directory still hold the complete file, so only a real I/O error is
    // reported.
    const UniqueFd directory(posix::open(directory_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!directory) {
        return;
    }
    if (retry_on_interrupt([&] { return posix::fsync(directory.get()); }) != 0 && errno == EIO) {
        raise_os_error(EIO, report_path_);
    }
}

} // namespace qivo
