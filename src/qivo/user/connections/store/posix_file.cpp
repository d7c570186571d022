#include "store/posix_file.h"

#include "store/system_calls.h"

#include <array>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace qivo {

std::string fs_path(nb::handle path) {
    nb::object text = checked(PyOS_FSPath(path.ptr()));
    if (PyBytes_Check(text.ptr())) {
        return {PyBytes_AS_STRING(text.ptr()), static_cast<size_t>(PyBytes_GET_SIZE(text.ptr()))};
    }
    nb::object encoded = checked(PyUnicode_EncodeFSDefault(text.ptr()));
    std::string result(PyBytes_AS_STRING(encoded.ptr()),
                       static_cast<size_t>(PyBytes_GET_SIZE(encoded.ptr())));
    if (result.find('\0') != std::string::npos) {
        raise_error(PyExc_ValueError, "embedded null byte");
    }
    return result;
}

void raise_os_error(int error_number, nb::handle filename) {
    nb::object name = checked(PyOS_FSPath(filename.ptr()));
    errno = error_number;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, name.ptr());
    nb::raise_python_error();
}

std::string directory_of(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string base_name_of(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

void UniqueFd::reset(int fd) {
    if (fd_ >= 0) {
        close(fd_);
    }
    fd_ = fd;
}

namespace {

FileStatus status_from(const struct statx& entry) {
    return {entry.stx_mode, entry.stx_uid,       entry.stx_gid,      entry.stx_size,
            entry.stx_ino,  entry.stx_dev_major, entry.stx_dev_minor};
}

constexpr unsigned status_fields =
    STATX_TYPE | STATX_MODE | STATX_UID | STATX_GID | STATX_SIZE | STATX_INO;

} // namespace

std::optional<FileStatus> status_of(const std::string& path, bool follow) {
    struct statx entry{};
    if (posix::statx(AT_FDCWD, path.c_str(), follow ? 0 : AT_SYMLINK_NOFOLLOW, status_fields,
                     &entry) != 0) {
        return std::nullopt;
    }
    return status_from(entry);
}

std::optional<FileStatus> status_of(int fd) {
    struct statx entry{};
    if (posix::statx(fd, "", AT_EMPTY_PATH, status_fields, &entry) != 0) {
        return std::nullopt;
    }
    return status_from(entry);
}

std::optional<std::string> resolve_links(const std::string& path) {
    std::string current = path;
    std::vector<char> buffer(PATH_MAX);
    // The same bound on a chain of links as the kernel's.
    for (int depth = 0; depth <= 40; ++depth) {
        const ssize_t length = posix::readlink(current.c_str(), buffer.data(), buffer.size());
        if (length < 0) {
            return current;
        }
        std::string link(buffer.data(), static_cast<size_t>(length));
        current = link.starts_with('/') ? link : directory_of(current) + "/" + link;
    }
    return std::nullopt;
}

PathKind path_kind(const std::string& path) {
    const std::optional<FileStatus> status = status_of(path);
    if (!status) {
        if (errno == ENOENT && status_of(path, false)) {
            return PathKind::other; // a dangling link
        }
        return errno == ENOENT ? PathKind::missing : PathKind::other;
    }
    if (S_ISREG(status->mode)) {
        return PathKind::regular_file;
    }
    return S_ISCHR(status->mode) ? PathKind::character_device : PathKind::other;
}

bool same_content(const std::string& first, const std::string& second) {
    auto open_for_reading = [](const std::string& path) {
        return UniqueFd(
            retry_on_interrupt([&] { return posix::open(path.c_str(), O_RDONLY | O_CLOEXEC); }));
    };
    const UniqueFd first_file = open_for_reading(first);
    const UniqueFd second_file = open_for_reading(second);
    if (!first_file || !second_file) {
        return false;
    }
    std::array<char, 16384> first_block{};
    std::array<char, 16384> second_block{};
    for (;;) {
        const ssize_t first_size = read_fully(first_file.get(), first_block);
        const ssize_t second_size = read_fully(second_file.get(), second_block);
        if (first_size < 0 || first_size != second_size ||
            std::memcmp(first_block.data(), second_block.data(), static_cast<size_t>(first_size)) !=
                0) {
            return false;
        }
        if (first_size == 0) {
            return true;
        }
    }
}

ssize_t read_fully(int fd, std::span<char> buffer) {
    size_t filled = 0;
    while (filled < buffer.size()) {
        const ssize_t count = retry_on_interrupt(
            [&] { return posix::read(fd, buffer.data() + filled, buffer.size() - filled); });
        if (count < 0) {
            return -1;
        }
        if (count == 0) {
            break;
        }
        filled += static_cast<size_t>(count);
    }
    return static_cast<ssize_t>(filled);
}

} // namespace qivo
