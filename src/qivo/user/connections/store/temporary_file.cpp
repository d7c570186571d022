#include "store/temporary_file.h"

#include "store/system_calls.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <ctime>
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

// A temporary file's name, or the ".new" name older versions created it
// under before moving it to its temporary name.
bool is_temporary_file_name(std::string_view name, const std::string& prefix) {
    if (!name.starts_with(prefix)) {
        return false;
    }
    std::string_view digits = name.substr(prefix.size());
    if (digits.ends_with(".new")) {
        digits.remove_suffix(4);
    }
    return digits.size() == random_name_length &&
           digits.find_first_not_of("0123456789abcdef") == std::string_view::npos;
}

// Locks a new temporary file and gives it exactly the bits 0o600, whatever
// the umask. Neither result needs checking: where a file system has no
// flock, the sweep cannot take a dead writer's lock either and so removes
// nothing; and a file system that refuses a mode leaves the file at 0o600
// less the umask, never more open (or, without permissions at all, as open
// as every file there).
void lock_new_file(int fd) {
    posix::flock(fd, LOCK_EX | LOCK_NB);
    posix::fchmod(fd, 0600);
}

bool same_file(const FileStatus& status, const struct statx& named) {
    return named.stx_ino == status.inode && named.stx_dev_major == status.device_major &&
           named.stx_dev_minor == status.device_minor;
}

// Removes one entry of the sweep if it is a dead writer's file: a regular
// file of this user whose lock can be taken, removed while that lock is held
// and only if its name still leads to it.
void remove_if_dead(int directory_fd, const char* name) {
    const UniqueFd file(
        posix::openat(directory_fd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    const std::optional<FileStatus> status = file ? status_of(file.get()) : std::nullopt;
    if (!status || !S_ISREG(status->mode) || status->owner != geteuid() ||
        posix::flock(file.get(), LOCK_EX | LOCK_NB) != 0) {
        return;
    }
    struct statx named{};
    if (posix::statx(directory_fd, name, AT_SYMLINK_NOFOLLOW, STATX_INO, &named) == 0 &&
        same_file(*status, named)) {
        posix::unlinkat(directory_fd, name, 0);
    }
}

} // namespace

void remove_dead_writers_files(const std::string& directory, const std::string& prefix) {
    const UniqueFd directory_fd(posix::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!directory_fd) {
        return;
    }
    for (const std::string& name : posix::directory_entries(directory_fd.get())) {
        if (is_temporary_file_name(name, prefix)) {
            remove_if_dead(directory_fd.get(), name.c_str());
        }
    }
}

TemporaryFile::TemporaryFile(std::string directory, std::string prefix, nb::handle report_path)
    : report_path_(checked(PyOS_FSPath(report_path.ptr()))), directory_(std::move(directory)),
      prefix_(std::move(prefix)) {
    if (!create_anonymous_then_name()) {
        create_named();
    }
}

TemporaryFile::~TemporaryFile() {
    // The name goes before the lock, so no one finds it unlocked.
    if (!moved_ && !path_.empty()) {
        posix::unlink(path_.c_str());
    }
}

// The file is made without a name, locked, and only then linked to its
// temporary name. Returns false where anonymous files (or /proc, to name
// them) are missing.
bool TemporaryFile::create_anonymous_then_name() {
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
            path_ = std::move(name);
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

// Without anonymous files the file is created under its temporary name and
// then locked. The name is the node the descriptor was opened on, so the
// lock, the content and the attributes are all that one file's, also on
// FUSE file systems, where a hard link can be a node of its own.
void TemporaryFile::create_named() {
    while (!fd_) {
        std::string name = directory_ + "/" + random_name(prefix_);
        fd_.reset(retry_on_interrupt([&] {
            return posix::open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                               0600);
        }));
        if (fd_) {
            path_ = std::move(name);
        } else if (errno != EEXIST) {
            raise_os_error(errno, report_path_);
        }
    }
    lock_new_file(fd_.get());
}

nb::object TemporaryFile::python_path() const {
    return checked(
        PyUnicode_DecodeFSDefaultAndSize(path_.data(), static_cast<Py_ssize_t>(path_.size())));
}

void TemporaryFile::check_still_named() const {
    const std::optional<FileStatus> file = status_of(fd_.get());
    struct statx named{};
    if (!file) {
        raise_os_error(errno, report_path_);
    }
    if (posix::statx(AT_FDCWD, path_.c_str(), AT_SYMLINK_NOFOLLOW, STATX_INO, &named) != 0 ||
        !same_file(*file, named)) {
        raise_error(PyExc_OSError,
                    "%S was not written: its temporary file was replaced by another while it was "
                    "written",
                    report_path_.ptr());
    }
}

void TemporaryFile::check_content(std::string_view expected) const {
    std::array<char, 16384> block{};
    size_t offset = 0;
    bool same = true;
    for (;;) {
        const ssize_t count = retry_on_interrupt([&] {
            return posix::pread(fd_.get(), block.data(), block.size(), static_cast<off_t>(offset));
        });
        if (count < 0) {
            raise_os_error(errno, report_path_);
        }
        if (count == 0) {
            break;
        }
        const auto size = static_cast<size_t>(count);
        same = same && offset + size <= expected.size() &&
               std::memcmp(block.data(), expected.data() + offset, size) == 0;
        offset += size;
    }
    if (offset != expected.size()) {
        raise_error(PyExc_OSError,
                    "%S was not written: %zu of %zu bytes reached the temporary file",
                    report_path_.ptr(), offset, expected.size());
    }
    if (!same) {
        raise_error(PyExc_OSError,
                    "%S was not written: the temporary file does not hold the text written to it",
                    report_path_.ptr());
    }
}

void TemporaryFile::sync() const {
    if (retry_on_interrupt([&] { return posix::fsync(fd_.get()); }) != 0) {
        raise_os_error(errno, report_path_);
    }
}

int TemporaryFile::move_over(const std::string& target) {
    if (posix::rename(path_.c_str(), target.c_str()) != 0) {
        return errno;
    }
    moved_ = true;
    return 0;
}

int TemporaryFile::move_if_absent(const std::string& target) {
    if (posix::renameat2(AT_FDCWD, path_.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) ==
        0) {
        moved_ = true;
        return 0;
    }
    if (errno != EINVAL && errno != ENOSYS) {
        return errno;
    }
    // No exclusive rename here (FUSE file systems): the test and the rename
    // are two steps, and every writer of the store takes them under its lock.
    if (status_of(target, false)) {
        return EEXIST;
    }
    if (errno != ENOENT) {
        return errno;
    }
    return move_over(target);
}

} // namespace qivo
