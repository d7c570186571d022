// Small helpers for working with files through the operating system: the
// path a Python path object names, OSErrors that read like open()'s, file
// status, links, retries of interrupted calls, and owned file descriptors.
#pragma once

#include "runtime/capi.h"

#include <cerrno>
#include <compare>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <sys/types.h>
#include <utility>

namespace qivo {

// The file system path of a path-like object (str, bytes or os.PathLike), as
// the operating system receives it.
std::string fs_path(nb::handle path);

// Raises the OSError subclass that matches `error_number`, naming the file
// as open() does: by the text (or bytes) of the path-like `filename`.
[[noreturn]] void raise_os_error(int error_number, nb::handle filename);

// The directory part of a path ("." when it has none), and its last part.
std::string directory_of(const std::string& path);
std::string base_name_of(const std::string& path);

// Retries a system call interrupted by a signal; other failures are returned.
template <typename Call>
auto retry_on_interrupt(Call&& call) {
    for (;;) {
        auto result = call();
        if (result != -1 || errno != EINTR) {
            return result;
        }
    }
}

// What tells one file from every other: its device and inode.
struct FileIdentity {
    unsigned device_major;
    unsigned device_minor;
    std::uint64_t inode;
    auto operator<=>(const FileIdentity&) const = default;
};

// What the system reports of a file (through statx, which every supported
// C library offers unversioned).
struct FileStatus {
    unsigned mode; // type and permission bits
    uid_t owner;
    gid_t group;
    std::uint64_t size;
    std::uint64_t inode;
    unsigned device_major;
    unsigned device_minor;

    FileIdentity identity() const { return {device_major, device_minor, inode}; }
    bool same_file(const FileStatus& other) const { return identity() == other.identity(); }
};

// The status of the file at `path` (of the link itself when `follow` is
// false) or of an open descriptor; none, with errno set, on failure.
std::optional<FileStatus> status_of(const std::string& path, bool follow = true);
std::optional<FileStatus> status_of(int fd);

// The path that writing to `path` reaches: `path` itself or, when it is a
// symbolic link (even a dangling one), the file its chain of links names;
// none for a chain that does not end (a loop).
std::optional<std::string> resolve_links(const std::string& path);

// What stands at a path, links followed: nothing (or a dangling link), a
// regular file, a character device, or anything else.
enum class PathKind { missing, regular_file, character_device, other };
PathKind path_kind(const std::string& path);

// An open file descriptor, closed when the owner goes.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        reset(other.release());
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { reset(); }

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    int release() { return std::exchange(fd_, -1); }
    void reset(int fd = -1);

private:
    int fd_ = -1;
};

// Whether two files hold the same bytes; false when either cannot be read.
bool same_content(const std::string& first, const std::string& second);

// Reads until `buffer` is full or the file ends: the number of bytes read,
// or -1 on an error.
ssize_t read_fully(int fd, std::span<char> buffer);

} // namespace qivo
