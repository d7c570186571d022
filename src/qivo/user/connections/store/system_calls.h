// The system calls the store makes, all reached through this one seam. A
// release build calls the C library directly. A build configured with
// QIVO_FAULT_INJECTION lets a test hand every call to a Python function
// first, which can make it fail with any errno (a full disk, an I/O error,
// an interrupted call, a file system without anonymous files) or run code
// between two calls; that is how the fallbacks for file systems unlike the
// test machine's are driven.
#pragma once

#include <cstddef>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <sys/types.h>
#include <vector>

namespace qivo::posix {

int open(const char* path, int flags, mode_t mode = 0);
int openat(int directory_fd, const char* path, int flags);
ssize_t read(int fd, void* buffer, size_t size);
ssize_t pread(int fd, void* buffer, size_t size, off_t offset);
ssize_t readlink(const char* path, char* buffer, size_t size);
int statx(int directory_fd, const char* path, int flags, unsigned mask, struct statx* status);
int faccessat(int directory_fd, const char* path, int mode, int flags);
int access(const char* path, int mode);
int flock(int fd, int operation);
int fchmod(int fd, mode_t mode);
int fchown(int fd, uid_t owner, gid_t group);
int fsync(int fd);
int linkat(int from_directory_fd, const char* from, int to_directory_fd, const char* to, int flags);
int rename(const char* from, const char* to);
int renameat2(int from_directory_fd, const char* from, int to_directory_fd, const char* to,
              unsigned flags);
int unlink(const char* path);
int unlinkat(int directory_fd, const char* path, int flags);
ssize_t getrandom(void* buffer, size_t size, unsigned flags);
// The names in an open directory but "." and ".."; none when it cannot be
// read.
std::vector<std::string> directory_entries(int directory_fd);

} // namespace qivo::posix

#ifdef QIVO_FAULT_INJECTION
#include <Python.h>

namespace qivo::posix {

// `_set_system_call_hook(hook)`, a function of test builds only: from now
// on every call above first runs `hook(name, *arguments)` (paths as str,
// everything else as int; None clears the hook). A hook that returns an int
// makes the call fail with that errno, without making it; None lets it
// proceed. An exception the hook raises is reported as unraisable and the
// call proceeds.
PyObject* set_system_call_hook(PyObject* module, PyObject* hook);

} // namespace qivo::posix
#endif
