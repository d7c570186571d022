#include "store/system_calls.h"

#include <dirent.h>
#include <sys/file.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string_view>

#ifdef QIVO_FAULT_INJECTION
#include "runtime/capi.h"

#include <concepts>
#endif

namespace qivo::posix {

namespace {

#ifdef QIVO_FAULT_INJECTION

// The test's hook; kept for the life of the process.
PyObject* hook = nullptr;

nb::object argument(const char* path) {
    return nb::steal(PyUnicode_DecodeFSDefault(path));
}

template <std::integral Number>
nb::object argument(Number number) {
    return nb::steal(PyLong_FromLongLong(static_cast<long long>(number)));
}

// Asks the hook about one call; returns the errno it chose, or 0. Runs with
// the interpreter lock taken here, since some calls (the store lock's wait)
// are made without it, and keeps an exception that is being raised.
template <typename... Arguments>
int injected_error(const char* name, Arguments... arguments) {
    if (hook == nullptr) {
        return 0;
    }
    const PyGILState_STATE gil = PyGILState_Ensure();
    PyObject* pending = PyErr_GetRaisedException();
    int error_number = 0;
    {
        nb::object result = nb::steal(PyObject_CallFunctionObjArgs(
            hook, argument(name).ptr(), argument(arguments).ptr()..., nullptr));
        if (!result.is_valid()) {
            PyErr_WriteUnraisable(hook);
        } else if (PyLong_Check(result.ptr())) {
            error_number = PyLong_AsInt(result.ptr());
        }
    }
    PyErr_SetRaisedException(pending);
    PyGILState_Release(gil);
    return error_number;
}

#else

template <typename... Arguments>
constexpr int injected_error(const char*, Arguments...) {
    return 0;
}

#endif

// Makes the call, unless the test hook says it fails.
template <typename Call, typename... Arguments>
auto call(const char* name, Call&& make_call, Arguments... arguments) {
    if (const int error_number = injected_error(name, arguments...); error_number != 0) {
        errno = error_number;
        return static_cast<decltype(make_call())>(-1);
    }
    return make_call();
}

} // namespace

int open(const char* path, int flags, mode_t mode) {
    return call("open", [&] { return ::open(path, flags, mode); }, path, flags);
}

int openat(int directory_fd, const char* path, int flags) {
    return call("openat", [&] { return ::openat(directory_fd, path, flags); }, path, flags);
}

ssize_t read(int fd, void* buffer, size_t size) {
    return call("read", [&] { return ::read(fd, buffer, size); }, fd);
}

ssize_t pread(int fd, void* buffer, size_t size, off_t offset) {
    return call("pread", [&] { return ::pread(fd, buffer, size, offset); }, fd);
}

ssize_t readlink(const char* path, char* buffer, size_t size) {
    return call("readlink", [&] { return ::readlink(path, buffer, size); }, path);
}

int statx(int directory_fd, const char* path, int flags, unsigned mask, struct statx* status) {
    return call(
        "statx", [&] { return ::statx(directory_fd, path, flags, mask, status); }, path, flags);
}

int faccessat(int directory_fd, const char* path, int mode, int flags) {
    return call("faccessat", [&] { return ::faccessat(directory_fd, path, mode, flags); }, path);
}

int access(const char* path, int mode) {
    return call("access", [&] { return ::access(path, mode); }, path);
}

int flock(int fd, int operation) {
    return call("flock", [&] { return ::flock(fd, operation); }, fd, operation);
}

int fchmod(int fd, mode_t mode) {
    return call("fchmod", [&] { return ::fchmod(fd, mode); }, fd, mode);
}

int fchown(int fd, uid_t owner, gid_t group) {
    return call("fchown", [&] { return ::fchown(fd, owner, group); }, fd);
}

int fsync(int fd) {
    return call("fsync", [&] { return ::fsync(fd); }, fd);
}

int linkat(int from_directory_fd, const char* from, int to_directory_fd, const char* to,
           int flags) {
    return call(
        "linkat", [&] { return ::linkat(from_directory_fd, from, to_directory_fd, to, flags); },
        from, to);
}

int rename(const char* from, const char* to) {
    return call("rename", [&] { return ::rename(from, to); }, from, to);
}

int renameat2(int from_directory_fd, const char* from, int to_directory_fd, const char* to,
              unsigned flags) {
    return call(
        "renameat2",
        [&] { return ::renameat2(from_directory_fd, from, to_directory_fd, to, flags); }, from, to);
}

int unlink(const char* path) {
    return call("unlink", [&] { return ::unlink(path); }, path);
}

int unlinkat(int directory_fd, const char* path, int flags) {
    return call("unlinkat", [&] { return ::unlinkat(directory_fd, path, flags); }, path);
}

ssize_t getrandom(void* buffer, size_t size, unsigned flags) {
    return call("getrandom", [&] { return ::getrandom(buffer, size, flags); });
}

std::vector<std::string> directory_entries(int directory_fd) {
    std::vector<std::string> names;
    const int listed_fd = call("readdir", [&] { return ::dup(directory_fd); }, directory_fd);
    DIR* listing = listed_fd >= 0 ? ::fdopendir(listed_fd) : nullptr;
    if (listing == nullptr) {
        if (listed_fd >= 0) {
            ::close(listed_fd);
        }
        return names;
    }
    while (const dirent* entry = ::readdir(listing)) {
        const std::string_view name = entry->d_name;
        if (name != "." && name != "..") {
            names.emplace_back(name);
        }
    }
    ::closedir(listing);
    return names;
}

#ifdef QIVO_FAULT_INJECTION
PyObject* set_system_call_hook(PyObject*, PyObject* new_hook) {
    Py_XSETREF(hook, Py_IsNone(new_hook) ? nullptr : Py_NewRef(new_hook));
    Py_RETURN_NONE;
}
#endif

} // namespace qivo::posix
