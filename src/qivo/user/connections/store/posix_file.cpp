#include "store/posix_file.h"

#include <array>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

PathKind path_kind(const std::string& path) {
    struct statx entry{};
    if (statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, STATX_TYPE, &entry) != 0) {
        return errno == ENOENT ? PathKind::missing : PathKind::other;
    }
    struct statx target{};
    return statx(AT_FDCWD, path.c_str(), 0, STATX_TYPE, &target) == 0 && S_ISREG(target.stx_mode)
               ? PathKind::regular_file
               : PathKind::other;
}

bool same_content(const std::string& first, const std::string& second) {
    auto open_for_reading = [](const std::string& path) {
        return UniqueFd(
            retry_on_interrupt([&] { return open(path.c_str(), O_RDONLY | O_CLOEXEC); }));
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
            [&] { return read(fd, buffer.data() + filled, buffer.size() - filled); });
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
