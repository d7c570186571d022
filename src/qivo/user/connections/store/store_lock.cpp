#include "store/store_lock.h"

#include "store/posix_file.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace qivo {

StoreLock::StoreLock(nb::handle connections_file) {
    const std::string path = fs_path(connections_file) + ".lock";
    fd_ = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd_ < 0) {
        // flock needs no write access: an existing lock file that is not
        // writable still serves.
        fd_ = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    }
    if (fd_ < 0) {
        return;
    }
    for (;;) {
        int result = 0;
        int error_number = 0;
        Py_BEGIN_ALLOW_THREADS;
        result = flock(fd_, LOCK_EX);
        error_number = errno;
        Py_END_ALLOW_THREADS;
        if (result == 0) {
            return;
        }
        if (error_number != EINTR) {
            // No lock support here (ENOLCK, EINVAL): go on unlocked.
            break;
        }
        if (PyErr_CheckSignals() < 0) {
            close(fd_);
            nb::raise_python_error();
        }
    }
    close(fd_);
    fd_ = -1;
}

StoreLock::~StoreLock() {
    if (fd_ >= 0) {
        // Closing the only descriptor of the lock file releases the lock.
        close(fd_);
    }
}

} // namespace qivo
